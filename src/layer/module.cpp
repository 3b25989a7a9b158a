// Module start-up of tarn._layer: its types, the context variable and the
// Unwinding exception, the core's types and table, and the layer's
// exception classes from tarn._errors. Nothing is registered from Python.
#include "layer/layer.hpp"

namespace tarn::layer {

extern PyMethodDef module_functions[];

PyObject *node_not_found = nullptr;
PyObject *cycle_error = nullptr;
PyObject *missing_input = nullptr;

namespace {

// Everything here refers to one interpreter's objects.
int64_t first_interpreter = -1;

int
take_errors() noexcept
{
    Ref errors = Ref::steal(PyImport_ImportModule("tarn._errors"));
    if (!errors) {
        return -1;
    }
    Ref missing = Ref::steal(PyObject_GetAttrString(errors.get(), "NodeNotFound"));
    Ref cycle = missing ? Ref::steal(PyObject_GetAttrString(errors.get(), "CycleError"))
                        : Ref();
    Ref no_input = cycle ? Ref::steal(PyObject_GetAttrString(errors.get(), "missing_input"))
                         : Ref();
    if (!no_input) {
        return -1;
    }
    if (!PyExceptionClass_Check(missing.get()) || !PyExceptionClass_Check(cycle.get())) {
        PyErr_SetString(PyExc_TypeError,
                        "tarn._errors must define NodeNotFound and CycleError");
        return -1;
    }
    if (!PyCallable_Check(no_input.get())) {
        PyErr_SetString(PyExc_TypeError, "tarn._errors.missing_input must be callable");
        return -1;
    }
    // Kept until the process ends, as the module's types are.
    Py_XSETREF(node_not_found, missing.release());
    Py_XSETREF(cycle_error, cycle.release());
    Py_XSETREF(missing_input, no_input.release());
    return 0;
}

int
module_exec(PyObject *module)
{
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return -1;
    }
    if (first_interpreter == -1) {
        first_interpreter = current;
    }
    else if (first_interpreter != current) {
        raise(PyExc_ImportError, Msg::OneInterpreter);
        return -1;
    }
    if (records_ready(module) < 0 || frames_ready(module) < 0 ||
        bases_ready(module) < 0 || reactions_ready(module) < 0 ||
        take_errors() < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarn._layer",
    .m_doc = "Graphs and models that track their own reads: the algorithm, "
             "in native code.",
    .m_size = 0,
    .m_methods = module_functions,
    .m_slots = module_slots,
};

}  // namespace

}  // namespace tarn::layer

PyMODINIT_FUNC
PyInit__layer(void)
{
    return PyModuleDef_Init(&tarn::layer::module_def);
}
