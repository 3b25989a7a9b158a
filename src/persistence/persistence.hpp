// Pickle support for Node and DAGEngine: state capture (__reduce_cython__),
// state restore (__setstate_cython__), the module-level reconstruction
// functions and the layout checksums they test.
#pragma once

#include "module/module.hpp"

namespace tarn {

// The two pickle methods each type carries before it is readied (its
// tp_methods); all-null sentinel at the end.
extern PyMethodDef node_pickle_methods[];
extern PyMethodDef engine_pickle_methods[];

// Puts __reduce_cython__ and __setstate_cython__ of a readied type under
// __reduce__ and __setstate__ (exec steps 8 and 9).
[[nodiscard]] int install_pickle_hooks(PyTypeObject *type) noexcept;

// Entry points of the registered operations.
PyObject *node_reduce(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames);
PyObject *node_setstate(PyObject *self, PyObject *const *args,
                        Py_ssize_t nargs, PyObject *kwnames);
PyObject *engine_reduce(PyObject *self, PyObject *const *args,
                        Py_ssize_t nargs, PyObject *kwnames);
PyObject *engine_setstate(PyObject *self, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames);
PyObject *unpickle_node(PyObject *module, PyObject *const *args,
                        Py_ssize_t nargs, PyObject *kwnames);
PyObject *unpickle_engine(PyObject *module, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames);

}  // namespace tarn
