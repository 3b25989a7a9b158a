// Module start-up: the definition, create (one interpreter per process,
// one module object per process) and exec, which readies both types and
// registers every operation in a fixed order.
#include "module/module.hpp"
#include "graph/graph.hpp"
#include "persistence/persistence.hpp"

#include <cstdint>
#include <cstdio>

namespace tarn {

Strings strings;

namespace {

// Process-wide state: set by create and exec, only read afterwards.
int64_t first_interpreter = -1;
PyObject *the_module = nullptr;       // strong
PyObject *the_module_dict = nullptr;  // borrowed from the_module
// The key under which an exec that has not yet succeeded registered the
// module in sys.modules (because it was loaded under another name); kept so
// that removing the entry again needs no memory. Strong, or null.
PyObject *added_module_key = nullptr;

// The interpreter version this module was compiled for; an import by any
// other major.minor warns. Test builds may claim another minor version so
// that the warning can be seen with the interpreter at hand.
constexpr int kBuiltForMajor = PY_MAJOR_VERSION;
#ifdef TARN_PRETEND_PY_MINOR
constexpr int kBuiltForMinor = TARN_PRETEND_PY_MINOR;
#else
constexpr int kBuiltForMinor = PY_MINOR_VERSION;
#endif

int
intern(PyObject *&slot, const char *text) noexcept
{
    if (!slot) {
        slot = PyUnicode_InternFromString(text);
    }
    return slot ? 0 : -1;
}

int
make_constants() noexcept
{
    Strings &s = strings;
    if (intern(s.add_dependency, "add_dependency") < 0 ||
        intern(s.invalidate, "invalidate") < 0 ||
        intern(s.add_node, "add_node") < 0 ||
        intern(s.add_edge, "add_edge") < 0 ||
        intern(s.record_access, "record_access") < 0 ||
        intern(s.evaluate, "evaluate") < 0 ||
        intern(s.dict, "__dict__") < 0 || intern(s.new_, "__new__") < 0 ||
        intern(s.update, "update") < 0 ||
        intern(s.getstate, "__getstate__") < 0 ||
        intern(s.reduce, "__reduce__") < 0 ||
        intern(s.reduce_ex, "__reduce_ex__") < 0 ||
        intern(s.reduce_cython, "__reduce_cython__") < 0 ||
        intern(s.setstate, "__setstate__") < 0 ||
        intern(s.setstate_cython, "__setstate_cython__") < 0 ||
        intern(s.name, "__name__") < 0 ||
        intern(s.unpickle_node, "__pyx_unpickle_Node") < 0 ||
        intern(s.unpickle_engine, "__pyx_unpickle_DAGEngine") < 0 ||
        intern(s.pickle, "pickle") < 0 ||
        intern(s.pickle_error, "PickleError") < 0) {
        return -1;
    }
    for (int op = 0; op < static_cast<int>(Op::kCount); ++op) {
        const OpSpec &spec = op_spec(static_cast<Op>(op));
        for (int i = 0; i < spec.nparams; ++i) {
            if (intern(s.params[op][i], spec.params[i].name) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

// Copies spec.<attr> to module.<key>; a missing attribute is skipped.
int
copy_spec_attr(PyObject *spec, PyObject *dict, const char *attr,
               const char *key, bool skip_none) noexcept
{
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (skip_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject *
module_create(PyObject *spec, PyModuleDef *)
{
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return nullptr;
    }
    if (first_interpreter == -1) {
        first_interpreter = current;
    }
    else if (first_interpreter != current) {
        return raise(PyExc_ImportError, Msg::InterpreterChange);
    }
    if (the_module) {
        return Py_NewRef(the_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject *dict = PyModule_GetDict(module.get());
    if (!dict ||
        copy_spec_attr(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__",
                       true) < 0) {
        return nullptr;
    }
    return module.release();
}

// Stores a method object in an (immutable) type's dictionary.
int
store_method(PyTypeObject *type, Op op, PyObject *defaults) noexcept
{
    Ref f = make_function(op, defaults);
    if (!f) {
        return -1;
    }
    PyObject *name = PyObject_GetAttrString(f.get(), "__name__");
    if (!name) {
        return -1;
    }
    int rc = PyDict_SetItem(type->tp_dict, name, f.get());
    Py_DECREF(name);
    if (rc < 0) {
        return -1;
    }
    PyType_Modified(type);
    // The pickle protocol's names are the very same operations.
    PyObject *alias = op == Op::NodeReduce || op == Op::EngineReduce
                          ? strings.reduce
                      : op == Op::NodeSetstate || op == Op::EngineSetstate
                          ? strings.setstate
                          : nullptr;
    if (alias) {
        if (PyDict_SetItem(type->tp_dict, alias, f.get()) < 0) {
            return -1;
        }
        PyType_Modified(type);
    }
    return 0;
}

int
store_module_function(PyObject *dict, Op op) noexcept
{
    Ref f = make_function(op, nullptr);
    if (!f) {
        return -1;
    }
    return PyDict_SetItemString(dict, op_spec(op).name, f.get());
}

int
fail_at(const char *file, int line) noexcept
{
    add_traceback_entry("init tarn.tarnwick", file, line);
    return -1;
}

int
fail_op(Op op) noexcept
{
    const OpSpec &spec = op_spec(op);
    return fail_at(spec.file, spec.line);
}

// Exec steps from the constants on; every failure adds an entry.
int
exec_registration(PyObject *module) noexcept
{
    if (make_constants() < 0) {
        return fail_at("tarn/tarnwick", 1);
    }
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    Ref key = Ref::steal(PyUnicode_FromString("tarn.tarnwick"));
    int has = key ? PyDict_Contains(modules, key.get()) : -1;
    if (has < 0) {
        return fail_at("tarn/tarnwick", 1);
    }
    if (!has) {
        if (PyDict_SetItem(modules, key.get(), module) < 0) {
            return fail_at("tarn/tarnwick", 1);
        }
        added_module_key = key.release();
    }
    Ref defaults = Ref::steal(Py_BuildValue("(OOi)", Py_False, Py_None, 0));
    if (!defaults || function_ready() < 0) {
        return fail_at("tarn/tarnwick", 1);
    }
    if (node_type_ready(module) < 0 || install_pickle_hooks(&NodeType) < 0) {
        return fail_at("tarn/tarnwick", 1);
    }
    if (engine_type_ready(module) < 0 ||
        install_pickle_hooks(&EngineType) < 0) {
        return fail_at("tarn/tarnwick", 1);
    }
    static constexpr Op kMethods[] = {
        Op::NodeAddDependency, Op::NodeInvalidate, Op::NodeReduce,
        Op::NodeSetstate, Op::EngineAddNode, Op::EngineAddEdge,
        Op::EngineRecordAccess, Op::EngineInvalidate, Op::EngineEvaluate,
        Op::EngineReduce, Op::EngineSetstate,
    };
    for (Op op : kMethods) {
        const OpSpec &spec = op_spec(op);
        PyTypeObject *type =
            spec.owner == Owner::Node ? &NodeType : &EngineType;
        PyObject *d = op == Op::EngineAddNode ? defaults.get() : nullptr;
        if (store_method(type, op, d) < 0) {
            return fail_op(op);
        }
    }
    PyObject *dict = PyModule_GetDict(module);
    if (store_module_function(dict, Op::UnpickleNode) < 0) {
        return fail_op(Op::UnpickleNode);
    }
    if (store_module_function(dict, Op::UnpickleEngine) < 0) {
        return fail_op(Op::UnpickleEngine);
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(dict, "__test__", test.get()) < 0) {
        return fail_at("tarn/tarnwick", 1);
    }
    return 0;
}

int
exec_steps(PyObject *module) noexcept
{
    PyObject *dict = PyModule_GetDict(module);
    if (!dict) {
        return -1;
    }
    the_module = Py_NewRef(module);
    the_module_dict = dict;

    PyObject *builtins = PyImport_ImportModule("builtins");
    if (!builtins) {
        return -1;
    }
    int rc = PyDict_SetItemString(dict, "__builtins__", builtins);
    Py_DECREF(builtins);
    if (rc < 0) {
        return -1;
    }

    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major != kBuiltForMajor || minor != kBuiltForMinor) {
        char text[200];
        std::snprintf(text, sizeof text, message(Msg::VersionMismatch),
                      kBuiltForMajor, kBuiltForMinor, "tarn.tarnwick",
                      message(Msg::DoesNotMatch), major, minor);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0) {
            return -1;
        }
    }
    return exec_registration(module);
}

// Removes the entry that exec added to sys.modules if it still holds
// `module`. Allocates nothing, and keeps the exception being raised.
void
forget_module_entry(PyObject *module) noexcept
{
    PyObject *raised = PyErr_GetRaisedException();
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    // The entry is only compared by address, never used.
    if (PyDict_GetItemWithError(modules, added_module_key) == module) {
        PyDict_DelItem(modules, added_module_key);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
}

int
module_exec(PyObject *module)
{
    if (the_module) {
        if (the_module == module) {
            return 0;
        }
        raise(PyExc_RuntimeError, Msg::Reinitialisation);
        return -1;
    }
    int rc = exec_steps(module);
    if (rc < 0) {
        // A later import starts afresh with a new module object, so the
        // half-built one must not stay reachable under the full name.
        if (added_module_key) {
            forget_module_entry(module);
        }
        the_module_dict = nullptr;
        Py_CLEAR(the_module);
    }
    Py_CLEAR(added_module_key);
    return rc;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyMethodDef module_methods[] = {
    {nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarnwick",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
};

}  // namespace

PyObject *
module_dict() noexcept
{
    return the_module_dict;
}

}  // namespace tarn

PyMODINIT_FUNC
PyInit_tarnwick(void)
{
    return PyModuleDef_Init(&tarn::module_def);
}
