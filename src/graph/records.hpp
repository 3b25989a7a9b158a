// The records of the graph, as other native modules see them: the layout
// of Node and DAGEngine and each type's table of overridable operations
// (published in the type's __pyx_vtable__ capsule). Nothing here calls into
// the core; a module that reads records and calls the operations through
// their tables needs only this header and ref.hpp.
#pragma once

#include "module/ref.hpp"

namespace tarn {

struct NodeObject {
    PyObject_HEAD
    PyObject *name;
    PyObject *func;
    PyObject *dependencies;
    PyObject *dependents;
    int is_valid;
    int is_explicit;
    PyObject *cached_value;
    int flags;
    PyObject *static_dependencies;
};

struct EngineObject {
    PyObject_HEAD
    PyObject *nodes;
    PyObject *call_stack;
};

inline NodeObject *
as_node(PyObject *o) noexcept
{
    return reinterpret_cast<NodeObject *>(o);
}

inline EngineObject *
as_engine(PyObject *o) noexcept
{
    return reinterpret_cast<EngineObject *>(o);
}

inline PyObject *
as_object(NodeObject *n) noexcept
{
    return reinterpret_cast<PyObject *>(n);
}

inline PyObject *
as_object(EngineObject *e) noexcept
{
    return reinterpret_cast<PyObject *>(e);
}

// Slot order is part of the published layout.
struct NodeTable {
    // 0 / -1 with an exception set.
    int (*add_dependency)(NodeObject *self, PyObject *dep, int dispatch);
    int (*invalidate)(NodeObject *self, int dispatch);
};

struct EngineTable {
    // New reference (a Node or None) / nullptr.
    PyObject *(*add_node)(EngineObject *self, PyObject *name, PyObject *func,
                          int is_explicit, PyObject *explicit_value,
                          int flags, int dispatch);
    int (*add_edge)(EngineObject *self, PyObject *dependent_name,
                    PyObject *dependency_name, int dispatch);
    int (*record_access)(EngineObject *self, PyObject *accessed_node_name,
                         int dispatch);
    int (*invalidate)(EngineObject *self, PyObject *name, int dispatch);
    // New reference / nullptr.
    PyObject *(*evaluate)(EngineObject *self, PyObject *name,
                          PyObject *instance, int dispatch);
};

}  // namespace tarn
