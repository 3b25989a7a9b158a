// _tablecheck: a module for the test suite only. It calls the tables of
// overridable operations that tarn.tarnwick publishes under __pyx_vtable__,
// the way another native module would, with override dispatch allowed or
// suppressed as the caller asks.
//
// It also holds the benchmark's floors: the least code that does a cache
// hit's or an invalidation's work on the engine's own records, so that the
// benchmark can show how far the engine's operations are from them.
//
// Only the record and table layouts are taken from graph.hpp: nothing
// declared there is called, since the engine's objects are not linked in.
#include <cstddef>

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

// The floors. Both take the engine as it is and check nothing about it:
// callers pass a tarn.tarnwick.DAGEngine whose registry is a dict of Nodes
// with list-valued dependents. They hold no references while walking, so
// they are only for graphs whose cached values release nothing that runs
// script code (the benchmark's ints and None).

// A cache hit's least work: one dict lookup, the validity test, the value.
// A builtin function with the fast calling convention, so the interpreter
// calls it through its own quick path.
PyObject *
floor_lookup(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "floor_lookup(engine, name)");
        return nullptr;
    }
    PyObject *nodes = reinterpret_cast<EngineObject *>(args[0])->nodes;
    PyObject *found = PyDict_GetItemWithError(nodes, args[1]);
    if (found == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetObject(PyExc_KeyError, args[1]);
        }
        return nullptr;
    }
    NodeObject *node = reinterpret_cast<NodeObject *>(found);
    if (!node->is_valid) {
        PyErr_SetString(PyExc_LookupError, "floor_lookup: the node is not valid");
        return nullptr;
    }
    return Py_NewRef(node->cached_value);
}

// One level of the walk: a dependents list and the next index in it.
struct FloorFrame {
    PyObject *list;
    Py_ssize_t next;
};

// Kept from walk to walk, as a walk that reuses its buffer would.
FloorFrame *floor_stack = nullptr;
size_t floor_capacity = 0;

// Clears one node as invalidation does and returns its dependents to walk,
// or nullptr when the node stops the walk (explicit or already invalid).
inline PyObject *
floor_clear(NodeObject *node)
{
    if (node->is_explicit || !node->is_valid) {
        return nullptr;
    }
    node->is_valid = 0;
    PyObject *old = node->cached_value;
    node->cached_value = Py_NewRef(Py_None);
    Py_DECREF(old);
    return node->dependents;
}

bool
floor_reserve(size_t depth)
{
    if (depth < floor_capacity) {
        return true;
    }
    size_t capacity = floor_capacity ? 2 * floor_capacity : 1024;
    void *grown = PyMem_RawRealloc(floor_stack, capacity * sizeof(FloorFrame));
    if (grown == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    floor_stack = static_cast<FloorFrame *>(grown);
    floor_capacity = capacity;
    return true;
}

// Invalidation's least work: the node named, then every node reachable
// along dependents lists, depth first in list order, each cleared once;
// an explicit stack of (list, index) frames, no dispatch, no type tests.
PyObject *
floor_invalidate(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "floor_invalidate(engine, name)");
        return nullptr;
    }
    PyObject *nodes = reinterpret_cast<EngineObject *>(args[0])->nodes;
    PyObject *found = PyDict_GetItemWithError(nodes, args[1]);
    if (found == nullptr) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    PyObject *list = floor_clear(reinterpret_cast<NodeObject *>(found));
    if (list == nullptr) {
        Py_RETURN_NONE;
    }
    if (!floor_reserve(0)) {
        return nullptr;
    }
    size_t depth = 1;
    floor_stack[0] = {list, 0};
    while (depth > 0) {
        FloorFrame &top = floor_stack[depth - 1];
        if (top.next >= PyList_GET_SIZE(top.list)) {
            --depth;
            continue;
        }
        PyObject *item = PyList_GET_ITEM(top.list, top.next);
        ++top.next;
        PyObject *dependents = floor_clear(reinterpret_cast<NodeObject *>(item));
        if (dependents == nullptr || PyList_GET_SIZE(dependents) == 0) {
            continue;
        }
        if (!floor_reserve(depth)) {
            return nullptr;
        }
        floor_stack[depth++] = {dependents, 0};
    }
    Py_RETURN_NONE;
}

// METH_FASTCALL functions stored in the PyCFunction slot.
PyCFunction
as_method(PyObject *(*f)(PyObject *, PyObject *const *, Py_ssize_t))
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
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
    {"floor_lookup", as_method(floor_lookup), METH_FASTCALL,
     "floor_lookup(engine, name): the cached value of a valid node, with "
     "nothing but the lookup and the validity test."},
    {"floor_invalidate", as_method(floor_invalidate),
     METH_FASTCALL,
     "floor_invalidate(engine, name): the invalidation walk with nothing "
     "but the walk; for the benchmark's graphs only."},
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
