// Module start-up of tarn._layer and `setup`, through which the Python
// layer registers its parts.
#include "layer/layer.hpp"

#include <cstdint>
#include <cstring>

namespace tarn::layer {

namespace {

// The parts refer to one interpreter's objects: one interpreter per process.
int64_t first_interpreter = -1;

// tarn.tarnwick.Node, checked to be the core's own type: a static type of
// that name and of the record's size. New reference / nullptr.
PyObject *
core_node_type() noexcept
{
    Ref core = Ref::steal(PyImport_ImportModule("tarn.tarnwick"));
    if (!core) {
        return nullptr;
    }
    Ref type = Ref::steal(PyObject_GetAttrString(core.get(), "Node"));
    if (!type) {
        return nullptr;
    }
    PyTypeObject *t = reinterpret_cast<PyTypeObject *>(type.get());
    if (!PyType_Check(type.get()) || (t->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
        t->tp_basicsize != static_cast<Py_ssize_t>(sizeof(NodeObject)) ||
        std::strcmp(t->tp_name, "tarn.tarnwick.Node") != 0) {
        PyErr_SetString(PyExc_TypeError,
                        "tarn.tarnwick.Node is not the engine's node type");
        return nullptr;
    }
    return type.release();
}

int
check_cell(PyObject *value) noexcept
{
    Ref node = Ref::steal(core_node_type());
    if (!node) {
        return -1;
    }
    if (!PyType_Check(value) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(value),
                          reinterpret_cast<PyTypeObject *>(node.get()))) {
        PyErr_Format(PyExc_TypeError,
                     "setup(): cell must be a subclass of tarn.tarnwick.Node, "
                     "not %.200R", value);
        return -1;
    }
    return 0;
}

int
check_part(const char *key, PyObject *value) noexcept
{
    if (std::strcmp(key, "cell") == 0) {
        return check_cell(value);
    }
    if (std::strcmp(key, "current") == 0) {
        if (!PyContextVar_CheckExact(value)) {
            PyErr_Format(PyExc_TypeError,
                         "setup(): current must be a ContextVar, not %.200s",
                         Py_TYPE(value)->tp_name);
            return -1;
        }
        return 0;
    }
    if (std::strcmp(key, "clock") == 0 || std::strcmp(key, "lock") == 0) {
        return 0;  // laid out as expected or not: see layout_refresh
    }
    if (!PyCallable_Check(value)) {
        PyErr_Format(PyExc_TypeError, "setup(): %s must be callable, not %.200s",
                     key, Py_TYPE(value)->tp_name);
        return -1;
    }
    return 0;
}

// The field of `parts` that keyword `key` sets, or null.
PyObject **
part_slot(const char *key) noexcept
{
    struct Named {
        const char *key;
        PyObject **slot;
    };
    const Named named[] = {
        {"cell", reinterpret_cast<PyObject **>(&parts.cell)},
        {"current", &parts.current},
        {"read", &parts.read},
        {"graph_read", &parts.graph_read},
        {"input_read", &parts.input_read},
        {"computed_read", &parts.computed_read},
        {"clock", &parts.clock},
        {"lock", &parts.lock},
        {"compute", &parts.compute},
        {"relink", &parts.relink},
        {"settle", &parts.settle},
        {"restore", &parts.restore},
    };
    for (const Named &n : named) {
        if (std::strcmp(n.key, key) == 0) {
            return n.slot;
        }
    }
    return nullptr;
}

}  // namespace

PyObject *
setup(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (PyVectorcall_NARGS(nargs) != 0) {
        PyErr_SetString(PyExc_TypeError,
                        "setup() takes keyword arguments only");
        return nullptr;
    }
    Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    // Every part is checked before any is stored.
    for (Py_ssize_t i = 0; i < count; ++i) {
        const char *key = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, i));
        if (!key) {
            return nullptr;
        }
        if (!part_slot(key)) {
            PyErr_Format(PyExc_TypeError,
                         "setup() got an unexpected keyword argument '%s'",
                         key);
            return nullptr;
        }
        if (check_part(key, args[i]) < 0) {
            return nullptr;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const char *key = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, i));
        if (!key) {
            return nullptr;
        }
        set_field(*part_slot(key), args[i]);
    }
    layout_refresh();
    Py_RETURN_NONE;
}

namespace {

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
        PyErr_SetString(PyExc_ImportError,
                        "tarn._layer can be loaded in one interpreter only");
        return -1;
    }
    return types_ready(module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyMethodDef module_methods[] = {
    {"setup", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(setup)),
     METH_FASTCALL | METH_KEYWORDS,
     "setup(**parts)\n--\n\n"
     "Registers the Python layer's parts: cell, current, read, graph_read, "
     "input_read, computed_read, clock, lock, compute, relink, settle, restore."},
    {"compute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(compute)),
     METH_FASTCALL,
     "compute(node, parent, held, /)\n--\n\n"
     "Calls a node's function in a new frame and caches the result when "
     "nothing changed meanwhile."},
    {nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarn._layer",
    .m_doc = "The reads of graphs and models that hit, in native code.",
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
};

}  // namespace

}  // namespace tarn::layer

PyMODINIT_FUNC
PyInit__layer(void)
{
    return PyModuleDef_Init(&tarn::layer::module_def);
}
