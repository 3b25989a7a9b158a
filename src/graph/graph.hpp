// The graph: the Node record with its edges and invalidation walk, and the
// DAGEngine record with its registry, evaluation and access recording.
//
// Each type publishes a table of its overridable operations (the internal
// entries). Internal entries take a `dispatch` flag: when it is set and the
// instance's type may carry a script replacement, the operation's name is
// looked up on the instance and a replacement runs instead of the native
// work. Script-visible methods always pass 0; the operations' calls to one
// another pass 1.
#pragma once

#include "graph/records.hpp"
#include "module/module.hpp"

namespace tarn {

// Readies a type, stores its table of overridable operations as the
// capsule __pyx_vtable__ and publishes the type on the module as `name`.
[[nodiscard]] int ready_type(PyObject *module, PyTypeObject *type,
                             const void *table, const char *name) noexcept;

extern PyTypeObject NodeType;
extern PyTypeObject EngineType;
// Every instance, of the types and of their script subclasses, uses these.
extern const NodeTable node_table;
extern const EngineTable engine_table;

inline bool
is_node(PyObject *o) noexcept
{
    return Py_IS_TYPE(o, &NodeType) || PyObject_TypeCheck(o, &NodeType);
}

// Could the type of `self` carry a replacement of an operation? Only types
// with instance dictionaries, types made at run time and abstract types.
inline bool
may_override(PyObject *self) noexcept
{
    PyTypeObject *t = Py_TYPE(self);
    return t->tp_dictoffset != 0 ||
           (t->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT));
}

// Looks `name` up on `self`. Returns 1 with the replacement in `out` when
// it is not the module's own method for `op`, 0 when it is (nothing to
// call), -1 when the lookup failed.
[[nodiscard]] int find_override(PyObject *self, PyObject *name, Op op,
                                Ref &out) noexcept;

// Readies the type, stores its __pyx_vtable__ capsule and publishes it on
// the module (exec steps 8 and 9, before the pickle hooks).
[[nodiscard]] int node_type_ready(PyObject *module) noexcept;
[[nodiscard]] int engine_type_ready(PyObject *module) noexcept;

// Allocates an instance of `type` (the module's type or a subclass); a type
// marked abstract is refused the way `object` refuses it.
PyObject *alloc_instance(PyTypeObject *type) noexcept;

// The start of both types' destruction: runs a pending finaliser when
// `dealloc` is the type's own. True when the finaliser revived `self`.
bool finalizer_revived(PyObject *self, destructor dealloc) noexcept;

// Blank instances, bypassing __init__ (unpickling starts from these).
Ref node_new_blank(PyTypeObject *type) noexcept;
Ref engine_new_blank(PyTypeObject *type) noexcept;

// A new, initialised Node, as the constructor makes it from already
// converted arguments (a name that is exactly str or None).
Ref node_create(PyObject *name, PyObject *func, int is_explicit,
                PyObject *explicit_value, int flags) noexcept;

// Script-visible methods (entry points of the registered operations).
PyObject *node_add_dependency(PyObject *self, PyObject *const *args,
                              Py_ssize_t nargs, PyObject *kwnames);
PyObject *node_invalidate(PyObject *self, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames);
PyObject *engine_add_node(PyObject *self, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames);
PyObject *engine_add_edge(PyObject *self, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames);
PyObject *engine_record_access(PyObject *self, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames);
PyObject *engine_invalidate(PyObject *self, PyObject *const *args,
                            Py_ssize_t nargs, PyObject *kwnames);
PyObject *engine_evaluate(PyObject *self, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames);

// The vectorcall entry of evaluate's function object: the hit path of an
// exact DAGEngine, and `function_vectorcall` for everything else.
PyObject *engine_evaluate_vectorcall(PyObject *callable, PyObject *const *args,
                                     size_t nargsf, PyObject *kwnames);

}  // namespace tarn
