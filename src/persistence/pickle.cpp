// Pickle support: state capture and restore for both types, the two
// module-level reconstruction functions, the layout checksums, and the
// import step that installs the operations as __reduce__/__setstate__.
#include "persistence/persistence.hpp"
#include "graph/graph.hpp"

namespace tarn {
namespace {

// The accepted checksums of each state layout: the leading 28 bits of the
// SHA-256, SHA-1 and MD5 digests of the field names in state order joined
// by spaces. The first is the one written.
constexpr int kNodeChecksums[] = {0x73a6ee8, 0xb14322f, 0x987ea32};
constexpr int kEngineChecksums[] = {0x643d950, 0x63229e1, 0xa6d9f6b};
constexpr const char *kNodeFields =
    "cached_value, dependencies, dependents, flags, func, is_explicit, "
    "is_valid, name, static_dependencies";
constexpr const char *kEngineFields = "call_stack, nodes";

constexpr Py_ssize_t kNodeStateSize = 9;
constexpr Py_ssize_t kEngineStateSize = 2;

// What differs between the two types on the common paths.
struct Layout {
    PyTypeObject *type;
    PyObject *Strings::*unpickle_name;
    const int *checksums;
    const char *fields;
    Site reduce_state, reduce_dict, reduce_truth, reduce_append,
        reduce_three, reduce_two;
    Site setstate_arg;
    Site unpickle_checksum, unpickle_new, unpickle_state;
    Site set_state_field, set_state_dict;
};

const Layout kNode = {
    &NodeType, &Strings::unpickle_node, kNodeChecksums, kNodeFields,
    Site::NodeReduce5, Site::NodeReduce6, Site::NodeReduce7,
    Site::NodeReduce8, Site::NodeReduce13, Site::NodeReduce15,
    Site::NodeSetstate17,
    Site::UnpickleNode6, Site::UnpickleNode7, Site::UnpickleNode9,
    Site::NodeSetState12, Site::NodeSetState13,
};

const Layout kEngine = {
    &EngineType, &Strings::unpickle_engine, kEngineChecksums, kEngineFields,
    Site::EngineReduce5, Site::EngineReduce6, Site::EngineReduce7,
    Site::EngineReduce8, Site::EngineReduce13, Site::EngineReduce15,
    Site::EngineSetstate17,
    Site::UnpickleEngine6, Site::UnpickleEngine7, Site::UnpickleEngine9,
    Site::EngineSetState12, Site::EngineSetState13,
};

// ---------------------------------------------------------------------------
// State capture

// A new tuple holding a reference to each item, in order.
template <typename... Items>
Ref
tuple_of(Items... items) noexcept
{
    PyObject *t = PyTuple_New(sizeof...(items));
    if (!t) {
        return {};
    }
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(t, i++, Py_NewRef(items)), ...);
    return Ref::steal(t);
}

// Looks a module-level name up at run time: the module, then the builtins.
Ref
global_name(PyObject *name) noexcept
{
    PyObject *found = PyDict_GetItemWithError(module_dict(), name);
    if (found) {
        return Ref::borrow(found);
    }
    if (PyErr_Occurred()) {
        return {};
    }
    PyObject *builtins = PyEval_GetBuiltins();
    if (builtins) {
        found = PyDict_GetItemWithError(builtins, name);
        if (found) {
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) {
            return {};
        }
    }
    raise_format(PyExc_NameError, Msg::UndefinedName, name);
    return {};
}

// Finishes a capture from the state tuple; `any_field` says whether an
// object field holds something other than None.
PyObject *
capture(PyObject *self, Ref state, bool any_field, const Layout &layout)
{
    Ref dict = Ref::none();
    if (!Py_IS_TYPE(self, layout.type)) {
        // The module's own types have no __dict__: only subclasses look.
        dict = Ref::steal(PyObject_GetAttr(self, strings.dict));
        if (!dict) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                add_traceback_entry(layout.reduce_dict);
                return nullptr;
            }
            PyErr_Clear();
            dict = Ref::none();
        }
    }
    bool use_setstate = any_field;
    if (dict.get() != Py_None) {
        int truth = PyObject_IsTrue(dict.get());
        if (truth < 0) {
            add_traceback_entry(layout.reduce_truth);
            return nullptr;
        }
        if (truth) {
            Ref extra = Ref::steal(PyTuple_Pack(1, dict.get()));
            Ref longer = extra ? Ref::steal(PySequence_Concat(state.get(),
                                                              extra.get()))
                               : Ref();
            if (!longer) {
                add_traceback_entry(layout.reduce_append);
                return nullptr;
            }
            state = std::move(longer);
            use_setstate = true;
        }
    }
    Site site = use_setstate ? layout.reduce_three : layout.reduce_two;
    Ref unpickle = global_name(strings.*layout.unpickle_name);
    if (!unpickle) {
        add_traceback_entry(site);
        return nullptr;
    }
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    Ref checksum = Ref::steal(PyLong_FromLong(layout.checksums[0]));
    Ref arguments =
        !checksum ? Ref()
        : use_setstate
            ? tuple_of(type, checksum.get(), Py_None)
            : tuple_of(type, checksum.get(), state.get());
    Ref result = !arguments ? Ref()
                 : use_setstate
                     ? tuple_of(unpickle.get(), arguments.get(), state.get())
                     : tuple_of(unpickle.get(), arguments.get());
    if (!result) {
        add_traceback_entry(site);
    }
    return result.release();
}

int
refuse_arguments(Op op, PyObject *const *args, Py_ssize_t nargs,
                 PyObject *kwnames) noexcept
{
    if (nargs == 0 && !kwnames) {
        return 0;
    }
    Args a;
    return bind_vector(op, args, nargs, kwnames, a);
}

// ---------------------------------------------------------------------------
// State restore

int
store_list(PyObject *&field, PyObject *value) noexcept
{
    if (check_exact(value, &PyList_Type, "list") < 0) {
        return -1;
    }
    set_field(field, value);
    return 0;
}

// Takes element `i`, or raises the tuple's own IndexError.
PyObject *
element(PyObject *state, Py_ssize_t i) noexcept
{
    if (i >= PyTuple_GET_SIZE(state)) {
        raise(PyExc_IndexError, Msg::TupleIndex);
        return nullptr;
    }
    return PyTuple_GET_ITEM(state, i);
}

// Merges the instance-dictionary element, if any, at index `at`.
int
restore_dict(PyObject *self, PyObject *state, Py_ssize_t at) noexcept
{
    if (PyTuple_GET_SIZE(state) <= at) {
        return 0;
    }
    Ref extra = Ref::borrow(PyTuple_GET_ITEM(state, at));
    int truth = PyObject_IsTrue(extra.get());
    if (truth <= 0) {
        return truth;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        return -1;
    }
    if (PyDict_CheckExact(dict.get())) {
        return PyDict_Update(dict.get(), extra.get());
    }
    Ref result = Ref::steal(
        PyObject_CallMethodOneArg(dict.get(), strings.update, extra.get()));
    return result ? 0 : -1;
}

int
node_set_state(PyObject *self, PyObject *state) noexcept
{
    NodeObject *n = as_node(self);
    for (Py_ssize_t i = 0; i < kNodeStateSize; ++i) {
        PyObject *v = element(state, i);
        int rc = 0;
        if (!v) {
            rc = -1;
        }
        else {
            Ref value = Ref::borrow(v);
            switch (i) {
            case 0: set_field(n->cached_value, v); break;
            case 1: rc = store_list(n->dependencies, v); break;
            case 2: rc = store_list(n->dependents, v); break;
            case 3: rc = to_int32(v, &n->flags); break;
            case 4: set_field(n->func, v); break;
            case 5: rc = to_flag(v, &n->is_explicit); break;
            case 6: rc = to_flag(v, &n->is_valid); break;
            case 7:
                rc = check_exact(v, &PyUnicode_Type, "str");
                if (rc == 0) {
                    set_field(n->name, v);
                }
                break;
            case 8: rc = store_list(n->static_dependencies, v); break;
            }
        }
        if (rc < 0) {
            add_traceback_entry(Site::NodeSetState12);
            return -1;
        }
    }
    if (restore_dict(self, state, kNodeStateSize) < 0) {
        add_traceback_entry(Site::NodeSetState13);
        return -1;
    }
    return 0;
}

int
engine_set_state(PyObject *self, PyObject *state) noexcept
{
    EngineObject *e = as_engine(self);
    PyObject *v = element(state, 0);
    if (!v || store_list(e->call_stack, v) < 0) {
        add_traceback_entry(Site::EngineSetState12);
        return -1;
    }
    v = element(state, 1);
    if (!v || check_exact(v, &PyDict_Type, "dict") < 0) {
        add_traceback_entry(Site::EngineSetState12);
        return -1;
    }
    set_field(e->nodes, v);
    if (restore_dict(self, state, kEngineStateSize) < 0) {
        add_traceback_entry(Site::EngineSetState13);
        return -1;
    }
    return 0;
}

using SetState = int (*)(PyObject *, PyObject *) noexcept;

PyObject *
setstate(Op op, SetState set_state, const Layout &layout, PyObject *self,
         PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    Args a;
    if (bind_vector(op, args, nargs, kwnames, a) < 0) {
        return nullptr;
    }
    PyObject *state = a.obj[0];
    if (state == Py_None) {
        raise(PyExc_TypeError, Msg::NotNone);
        add_traceback_entry(layout.setstate_arg);
        return nullptr;
    }
    if (!PyTuple_CheckExact(state)) {
        raise_format(PyExc_TypeError, Msg::RefusedWrite, "tuple",
                     Py_TYPE(state)->tp_name);
        add_traceback_entry(layout.setstate_arg);
        return nullptr;
    }
    Ref held = Ref::borrow(state);
    if (set_state(self, state) < 0) {
        add_traceback_entry(layout.setstate_arg);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Reconstruction

using NewBlank = Ref (*)(PyTypeObject *) noexcept;

PyObject *
unpickle(Op op, const Layout &layout, NewBlank new_blank, SetState set_state,
         PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    Args a;
    if (bind_vector(op, args, nargs, kwnames, a) < 0) {
        return nullptr;
    }
    PyObject *type = a.obj[0];
    int checksum = a.num[1];
    PyObject *state = a.obj[2];
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        return raise_format(PyExc_TypeError, Msg::ArgumentType, "__pyx_state",
                            "tuple", Py_TYPE(state)->tp_name);
    }
    if (checksum != layout.checksums[0] && checksum != layout.checksums[1] &&
        checksum != layout.checksums[2]) {
        Ref pickle = Ref::steal(PyImport_Import(strings.pickle));
        Ref error = pickle ? Ref::steal(PyObject_GetAttr(pickle.get(),
                                                         strings.pickle_error))
                           : Ref();
        if (error && !PyExceptionClass_Check(error.get())) {
            // A script rebound pickle.PickleError: raising it is what a
            // raise statement would refuse, so refuse it the same way.
            raise(PyExc_TypeError, Msg::NotAnException);
        }
        else if (error) {
            PyErr_Format(error.get(), message(Msg::Checksum),
                         static_cast<unsigned>(checksum),
                         static_cast<unsigned>(layout.checksums[0]),
                         static_cast<unsigned>(layout.checksums[1]),
                         static_cast<unsigned>(layout.checksums[2]),
                         layout.fields);
        }
        add_traceback_entry(layout.unpickle_checksum);
        return nullptr;
    }
    Ref held_state = Ref::borrow(state);
    Ref obj;
    if (type == reinterpret_cast<PyObject *>(layout.type)) {
        obj = new_blank(layout.type);
    }
    else {
        // Through the type's __new__, with the interpreter's own checks of
        // the type argument.
        Ref new_ = Ref::steal(PyObject_GetAttr(
            reinterpret_cast<PyObject *>(layout.type), strings.new_));
        if (new_) {
            obj = Ref::steal(PyObject_CallOneArg(new_.get(), type));
        }
    }
    if (!obj) {
        add_traceback_entry(layout.unpickle_new);
        return nullptr;
    }
    if (state != Py_None && set_state(obj.get(), state) < 0) {
        add_traceback_entry(layout.unpickle_state);
        return nullptr;
    }
    return obj.release();
}

// ---------------------------------------------------------------------------
// Installing the hooks

bool
is_named(PyObject *callable, const char *name) noexcept
{
    Ref n = Ref::steal(PyObject_GetAttr(callable, strings.name));
    if (!n) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(n.get()) &&
           PyUnicode_CompareWithASCIIString(n.get(), name) == 0;
}

// Looks an attribute up on a type; absent gives an empty Ref, no error.
Ref
type_attr(PyTypeObject *type, PyObject *name) noexcept
{
    Ref v = Ref::steal(
        PyObject_GetAttr(reinterpret_cast<PyObject *>(type), name));
    if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    }
    return v;
}

int
move_attr(PyTypeObject *type, PyObject *from, PyObject *to,
          PyObject *value) noexcept
{
    if (PyDict_SetItem(type->tp_dict, to, value) < 0) {
        return -1;
    }
    return PyDict_DelItem(type->tp_dict, from);
}

int
install(PyTypeObject *type) noexcept
{
    PyTypeObject *base = &PyBaseObject_Type;
    Ref getstate = type_attr(type, strings.getstate);
    Ref object_getstate = type_attr(base, strings.getstate);
    if (PyErr_Occurred()) {
        return -1;
    }
    if (getstate.get() != object_getstate.get()) {
        return 0;
    }
    Ref reduce_ex = type_attr(type, strings.reduce_ex);
    Ref object_reduce_ex = type_attr(base, strings.reduce_ex);
    if (PyErr_Occurred()) {
        return -1;
    }
    if (reduce_ex.get() != object_reduce_ex.get()) {
        return 0;
    }
    Ref reduce = type_attr(type, strings.reduce);
    Ref object_reduce = type_attr(base, strings.reduce);
    if (!reduce || !object_reduce) {
        return -1;
    }
    if (reduce.get() == object_reduce.get() ||
        is_named(reduce.get(), "__reduce_cython__")) {
        Ref own = type_attr(type, strings.reduce_cython);
        if (own) {
            if (move_attr(type, strings.reduce_cython, strings.reduce,
                          own.get()) < 0) {
                return -1;
            }
        }
        else if (PyErr_Occurred() || reduce.get() == object_reduce.get()) {
            return -1;
        }
    }
    Ref setstate = type_attr(type, strings.setstate);
    if (PyErr_Occurred()) {
        return -1;
    }
    if (!setstate || is_named(setstate.get(), "__setstate_cython__")) {
        Ref own = type_attr(type, strings.setstate_cython);
        if (own) {
            if (move_attr(type, strings.setstate_cython, strings.setstate,
                          own.get()) < 0) {
                return -1;
            }
        }
        else if (PyErr_Occurred() || !setstate) {
            return -1;
        }
    }
    PyType_Modified(type);
    return 0;
}

}  // namespace

int
install_pickle_hooks(PyTypeObject *type) noexcept
{
    if (install(type) < 0) {
        if (!PyErr_Occurred()) {
            raise_format(PyExc_RuntimeError, Msg::PicklingInit, type->tp_name);
        }
        return -1;
    }
    return 0;
}

PyObject *
node_reduce(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
            PyObject *kwnames)
{
    if (refuse_arguments(Op::NodeReduce, args, nargs, kwnames) < 0) {
        return nullptr;
    }
    NodeObject *n = as_node(self);
    Ref flags = Ref::steal(PyLong_FromLong(n->flags));
    Ref state = !flags ? Ref()
                       : tuple_of(n->cached_value, n->dependencies,
                                  n->dependents, flags.get(), n->func,
                                  n->is_explicit ? Py_True : Py_False,
                                  n->is_valid ? Py_True : Py_False, n->name,
                                  n->static_dependencies);
    if (!state) {
        add_traceback_entry(Site::NodeReduce5);
        return nullptr;
    }
    bool any_field = n->cached_value != Py_None ||
                     n->dependencies != Py_None || n->dependents != Py_None ||
                     n->func != Py_None || n->name != Py_None ||
                     n->static_dependencies != Py_None;
    return capture(self, std::move(state), any_field, kNode);
}

PyObject *
engine_reduce(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames)
{
    if (refuse_arguments(Op::EngineReduce, args, nargs, kwnames) < 0) {
        return nullptr;
    }
    EngineObject *e = as_engine(self);
    Ref state = tuple_of(e->call_stack, e->nodes);
    if (!state) {
        add_traceback_entry(Site::EngineReduce5);
        return nullptr;
    }
    bool any_field = e->call_stack != Py_None || e->nodes != Py_None;
    return capture(self, std::move(state), any_field, kEngine);
}

PyObject *
node_setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames)
{
    return setstate(Op::NodeSetstate, node_set_state, kNode, self, args, nargs,
                    kwnames);
}

PyObject *
engine_setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames)
{
    return setstate(Op::EngineSetstate, engine_set_state, kEngine, self, args,
                    nargs, kwnames);
}

PyObject *
unpickle_node(PyObject *, PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames)
{
    return unpickle(Op::UnpickleNode, kNode, node_new_blank, node_set_state,
                    args, nargs, kwnames);
}

PyObject *
unpickle_engine(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames)
{
    return unpickle(Op::UnpickleEngine, kEngine, engine_new_blank,
                    engine_set_state, args, nargs, kwnames);
}

#define TARN_FASTCALL(f)                                                     \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef node_pickle_methods[] = {
    {"__reduce_cython__", TARN_FASTCALL(node_reduce),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", TARN_FASTCALL(node_setstate),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr},
};

PyMethodDef engine_pickle_methods[] = {
    {"__reduce_cython__", TARN_FASTCALL(engine_reduce),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", TARN_FASTCALL(engine_setstate),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr},
};

}  // namespace tarn
