// _tablecheck: a module for the test suite only. It calls the tables of
// overridable operations that tarn.tarnwick publishes under __pyx_vtable__,
// the way another native module would, with override dispatch allowed or
// suppressed as the caller asks.
//
// Only the record and table layouts are taken from graph.hpp: nothing
// declared there is called, since the engine's objects are not linked in.
#include "graph/graph.hpp"

namespace {

using tarn::EngineObject;
using tarn::EngineTable;
using tarn::NodeObject;
using tarn::NodeTable;

// The internal entries take names that are exactly str or None; anything
// else would be handed on unchecked, so refuse it here.
bool
check_name(PyObject *v, const char *what)
{
    if (v == Py_None || PyUnicode_CheckExact(v)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s must be str or None, not %.200s", what,
                 Py_TYPE(v)->tp_name);
    return false;
}

// Is `obj` an instance of tarn.tarnwick.<type_name> (or of a subclass)?
// 1, 0, or -1 with an exception set.
int
is_instance_of(PyObject *obj, const char *type_name)
{
    PyObject *mod = PyImport_ImportModule("tarn.tarnwick");
    if (mod == nullptr) {
        return -1;
    }
    PyObject *type = PyObject_GetAttrString(mod, type_name);
    Py_DECREF(mod);
    if (type == nullptr) {
        return -1;
    }
    int found = PyType_Check(type) &&
                PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject *>(type));
    Py_DECREF(type);
    return found;
}

// The table behind type(obj).__pyx_vtable__, after checking that `obj` is
// an instance of the module's type `type_name`. nullptr with an exception.
const void *
table_of(PyObject *obj, const char *type_name)
{
    int ok = is_instance_of(obj, type_name);
    if (ok < 0) {
        return nullptr;
    }
    if (ok == 0) {
        PyErr_Format(PyExc_TypeError,
                     "expected a tarn.tarnwick.%s instance, got %.200s",
                     type_name, Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    PyObject *capsule = PyObject_GetAttrString(
        reinterpret_cast<PyObject *>(Py_TYPE(obj)), "__pyx_vtable__");
    if (capsule == nullptr) {
        return nullptr;
    }
    // The tables are static in the engine's module: the pointer outlives
    // the capsule reference dropped here.
    void *table = PyCapsule_GetPointer(capsule, nullptr);
    Py_DECREF(capsule);
    return table;
}

const EngineTable *
engine_table_of(PyObject *obj)
{
    return static_cast<const EngineTable *>(table_of(obj, "DAGEngine"));
}

const NodeTable *
node_table_of(PyObject *obj)
{
    return static_cast<const NodeTable *>(table_of(obj, "Node"));
}

// The int-returning slots give None, or raise what the slot left set.
PyObject *
status_result(int status)
{
    if (status < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *
engine_add_node(PyObject *, PyObject *args)
{
    PyObject *engine, *name, *func, *explicit_value;
    int is_explicit, flags, dispatch;
    if (!PyArg_ParseTuple(args, "OOOiOii:engine_add_node", &engine, &name,
                          &func, &is_explicit, &explicit_value, &flags,
                          &dispatch)) {
        return nullptr;
    }
    const EngineTable *t = engine_table_of(engine);
    if (t == nullptr || !check_name(name, "name")) {
        return nullptr;
    }
    return t->add_node(reinterpret_cast<EngineObject *>(engine), name, func,
                       is_explicit != 0, explicit_value, flags, dispatch);
}

PyObject *
engine_add_edge(PyObject *, PyObject *args)
{
    PyObject *engine, *dependent, *dependency;
    int dispatch;
    if (!PyArg_ParseTuple(args, "OOOi:engine_add_edge", &engine, &dependent,
                          &dependency, &dispatch)) {
        return nullptr;
    }
    const EngineTable *t = engine_table_of(engine);
    if (t == nullptr || !check_name(dependent, "dependent_name") ||
        !check_name(dependency, "dependency_name")) {
        return nullptr;
    }
    return status_result(t->add_edge(reinterpret_cast<EngineObject *>(engine),
                                     dependent, dependency, dispatch));
}

PyObject *
engine_record_access(PyObject *, PyObject *args)
{
    PyObject *engine, *name;
    int dispatch;
    if (!PyArg_ParseTuple(args, "OOi:engine_record_access", &engine, &name,
                          &dispatch)) {
        return nullptr;
    }
    const EngineTable *t = engine_table_of(engine);
    if (t == nullptr || !check_name(name, "accessed_node_name")) {
        return nullptr;
    }
    return status_result(t->record_access(
        reinterpret_cast<EngineObject *>(engine), name, dispatch));
}

PyObject *
engine_invalidate(PyObject *, PyObject *args)
{
    PyObject *engine, *name;
    int dispatch;
    if (!PyArg_ParseTuple(args, "OOi:engine_invalidate", &engine, &name,
                          &dispatch)) {
        return nullptr;
    }
    const EngineTable *t = engine_table_of(engine);
    if (t == nullptr || !check_name(name, "name")) {
        return nullptr;
    }
    return status_result(t->invalidate(
        reinterpret_cast<EngineObject *>(engine), name, dispatch));
}

PyObject *
engine_evaluate(PyObject *, PyObject *args)
{
    PyObject *engine, *name, *instance;
    int dispatch;
    if (!PyArg_ParseTuple(args, "OOOi:engine_evaluate", &engine, &name,
                          &instance, &dispatch)) {
        return nullptr;
    }
    const EngineTable *t = engine_table_of(engine);
    if (t == nullptr || !check_name(name, "name")) {
        return nullptr;
    }
    return t->evaluate(reinterpret_cast<EngineObject *>(engine), name,
                       instance, dispatch);
}

PyObject *
node_add_dependency(PyObject *, PyObject *args)
{
    PyObject *node, *dep;
    int dispatch;
    if (!PyArg_ParseTuple(args, "OOi:node_add_dependency", &node, &dep,
                          &dispatch)) {
        return nullptr;
    }
    const NodeTable *t = node_table_of(node);
    if (t == nullptr) {
        return nullptr;
    }
    if (dep != Py_None) {
        int ok = is_instance_of(dep, "Node");
        if (ok <= 0) {
            if (ok == 0) {
                PyErr_Format(PyExc_TypeError,
                             "dep must be a Node or None, not %.200s",
                             Py_TYPE(dep)->tp_name);
            }
            return nullptr;
        }
    }
    return status_result(t->add_dependency(
        reinterpret_cast<NodeObject *>(node), dep, dispatch));
}

PyObject *
node_invalidate(PyObject *, PyObject *args)
{
    PyObject *node;
    int dispatch;
    if (!PyArg_ParseTuple(args, "Oi:node_invalidate", &node, &dispatch)) {
        return nullptr;
    }
    const NodeTable *t = node_table_of(node);
    if (t == nullptr) {
        return nullptr;
    }
    return status_result(
        t->invalidate(reinterpret_cast<NodeObject *>(node), dispatch));
}

PyMethodDef methods[] = {
    {"engine_add_node", engine_add_node, METH_VARARGS,
     "engine_add_node(engine, name, func, is_explicit, explicit_value, "
     "flags, dispatch): slot 0 of the engine's table."},
    {"engine_add_edge", engine_add_edge, METH_VARARGS,
     "engine_add_edge(engine, dependent_name, dependency_name, dispatch): "
     "slot 1."},
    {"engine_record_access", engine_record_access, METH_VARARGS,
     "engine_record_access(engine, accessed_node_name, dispatch): slot 2."},
    {"engine_invalidate", engine_invalidate, METH_VARARGS,
     "engine_invalidate(engine, name, dispatch): slot 3."},
    {"engine_evaluate", engine_evaluate, METH_VARARGS,
     "engine_evaluate(engine, name, instance, dispatch): slot 4."},
    {"node_add_dependency", node_add_dependency, METH_VARARGS,
     "node_add_dependency(node, dep, dispatch): slot 0 of the node's table."},
    {"node_invalidate", node_invalidate, METH_VARARGS,
     "node_invalidate(node, dispatch): slot 1."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_tablecheck",
    .m_doc = "Calls tarn.tarnwick's tables of overridable operations.",
    .m_size = 0,
    .m_methods = methods,
};

}  // namespace

PyMODINIT_FUNC
PyInit__tablecheck(void)
{
    return PyModuleDef_Init(&module_def);
}
