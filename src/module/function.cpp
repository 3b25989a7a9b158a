// The module's own function type. Each registered operation is one of
// these: it reports names, docstring, globals and a code object with the
// parameter names, so signature introspection sees the operation's real
// parameter list, and it is called through vectorcall with the instance
// in args[0] (the method-descriptor protocol spares `obj.method(...)` the
// bound-method object).
#include "module/module.hpp"
#include "graph/graph.hpp"

#include <cstddef>

namespace tarn {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Op op;
    Entry call;           // the operation's entry point
    PyTypeObject *owner;  // the type whose instances it takes; null for
                          // module functions
    PyObject *name;
    PyObject *qualname;
    PyObject *doc;
    PyObject *module_name;
    PyObject *globals;
    PyObject *code;
    PyObject *defaults;
};

FunctionObject *
as_function(PyObject *o) noexcept
{
    return reinterpret_cast<FunctionObject *>(o);
}

PyTypeObject *
owner_type(Owner owner) noexcept
{
    return owner == Owner::Node ? &NodeType : &EngineType;
}

PyObject *
function_descr_get(PyObject *self, PyObject *obj, PyObject *)
{
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject *
function_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<function %U at %p>",
                                as_function(self)->qualname, self);
}

int
function_traverse(PyObject *self, visitproc visit, void *arg)
{
    FunctionObject *f = as_function(self);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    return 0;
}

int
function_clear(PyObject *self)
{
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    return 0;
}

void
function_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    FunctionObject *f = as_function(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module_name);
    Py_TYPE(self)->tp_free(self);
}

PyObject *
get_or_none(PyObject *v) noexcept
{
    return Py_NewRef(v ? v : Py_None);
}

PyObject *
function_get_name(PyObject *self, void *)
{
    return get_or_none(as_function(self)->name);
}
PyObject *
function_get_qualname(PyObject *self, void *)
{
    return get_or_none(as_function(self)->qualname);
}
PyObject *
function_get_doc(PyObject *self, void *)
{
    return get_or_none(as_function(self)->doc);
}
PyObject *
function_get_module(PyObject *self, void *)
{
    return get_or_none(as_function(self)->module_name);
}
PyObject *
function_get_globals(PyObject *self, void *)
{
    return get_or_none(as_function(self)->globals);
}
PyObject *
function_get_code(PyObject *self, void *)
{
    return get_or_none(as_function(self)->code);
}
PyObject *
function_get_defaults(PyObject *self, void *)
{
    return get_or_none(as_function(self)->defaults);
}
PyObject *
function_get_kwdefaults(PyObject *, void *)
{
    Py_RETURN_NONE;
}

// Pickled by reference, as the interpreter's own functions are.
PyObject *
function_reduce(PyObject *self, PyObject *)
{
    const OpSpec &spec = op_spec(as_function(self)->op);
    if (spec.owner == Owner::Module) {
        return Py_NewRef(as_function(self)->name);
    }
    PyObject *builtins = PyEval_GetBuiltins();  // borrowed
    PyObject *getattr = PyDict_GetItemString(builtins, "getattr");
    if (!getattr) {
        return raise(PyExc_RuntimeError, Msg::NoGetattr);
    }
    return Py_BuildValue("O(OO)", getattr,
                         reinterpret_cast<PyObject *>(owner_type(spec.owner)),
                         as_function(self)->name);
}

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", function_get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", function_get_doc, nullptr, nullptr, nullptr},
    {"__module__", function_get_module, nullptr, nullptr, nullptr},
    {"__globals__", function_get_globals, nullptr, nullptr, nullptr},
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", function_get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr},
};

// A code object that carries the operation's file, first line and
// parameter names, and no code.
Ref
make_code(const OpSpec &spec) noexcept
{
    Ref empty = Ref::steal(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(spec.file, spec.name, spec.line)));
    if (!empty) {
        return {};
    }
    bool method = spec.owner != Owner::Module;
    Py_ssize_t count = spec.nparams + (method ? 1 : 0);
    Ref names = Ref::steal(PyTuple_New(count));
    if (!names) {
        return {};
    }
    Py_ssize_t at = 0;
    if (method) {
        PyObject *self_name = PyUnicode_InternFromString("self");
        if (!self_name) {
            return {};
        }
        PyTuple_SET_ITEM(names.get(), at++, self_name);
    }
    for (int i = 0; i < spec.nparams; ++i) {
        PyObject *n = PyUnicode_InternFromString(spec.params[i].name);
        if (!n) {
            return {};
        }
        PyTuple_SET_ITEM(names.get(), at++, n);
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) {
        return {};
    }
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    Ref argcount = Ref::steal(PyLong_FromSsize_t(count));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!qualname || !argcount || !kwargs ||
        PyDict_SetItemString(kwargs.get(), "co_argcount", argcount.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_nlocals", argcount.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_varnames", names.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_qualname", qualname.get()) < 0) {
        return {};
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        return {};
    }
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), kwargs.get()));
}

}  // namespace

PyObject *
function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                    PyObject *kwnames)
{
    FunctionObject *f = as_function(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyTypeObject *owner = f->owner;
    if (!owner) {
        return f->call(nullptr, args, nargs, kwnames);
    }
    if (nargs < 1) {
        return raise_format(PyExc_TypeError, Msg::MissingInstance,
                            op_spec(f->op).name, message(Msg::NeedsArgument));
    }
    PyObject *self = args[0];
    if (!PyObject_TypeCheck(self, owner)) {
        return raise_format(PyExc_TypeError, Msg::ForeignSelf,
                            op_spec(f->op).name, owner->tp_name,
                            Py_TYPE(self)->tp_name);
    }
    return f->call(self, args + 1, nargs - 1, kwnames);
}


PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn.tarnwick.native_function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_methods = function_methods,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
};

int
ready_static_type(PyTypeObject *type) noexcept
{
    if (!(type->tp_flags & Py_TPFLAGS_READY)) {
        Py_CLEAR(type->tp_dict);
        Py_CLEAR(type->tp_mro);
        Py_CLEAR(type->tp_bases);
    }
    return PyType_Ready(type);
}

int
function_ready() noexcept
{
    return ready_static_type(&FunctionType);
}

Ref
make_function(Op op, PyObject *defaults) noexcept
{
    const OpSpec &spec = op_spec(op);
    Ref code = make_code(spec);
    if (!code) {
        return {};
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    Ref module_name = Ref::steal(PyUnicode_FromString("tarn.tarnwick"));
    Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc))
                       : Ref::none();
    if (!name || !qualname || !module_name || !doc) {
        return {};
    }
    FunctionObject *f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) {
        return {};
    }
    // evaluate's hit path is the hottest call of all: it gets an entry of
    // the engine's own that checks the instance and arguments itself.
    f->vectorcall = op == Op::EngineEvaluate ? engine_evaluate_vectorcall
                                             : function_vectorcall;
    f->op = op;
    f->call = spec.call;
    f->owner = spec.owner == Owner::Module ? nullptr : owner_type(spec.owner);
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = doc.release();
    f->module_name = module_name.release();
    f->globals = Py_XNewRef(module_dict());
    f->code = code.release();
    f->defaults = Py_XNewRef(defaults);
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject *>(f));
}

bool
is_own_method(PyObject *attr, Op op) noexcept
{
    PyObject *f = attr;
    if (PyMethod_Check(f)) {
        f = PyMethod_GET_FUNCTION(f);
    }
    if (Py_IS_TYPE(f, &FunctionType)) {
        return as_function(f)->op == op;
    }
    if (PyCFunction_Check(f)) {
        auto entry = reinterpret_cast<void (*)(void)>(op_spec(op).call);
        return reinterpret_cast<void (*)(void)>(PyCFunction_GET_FUNCTION(f)) ==
               entry;
    }
    return false;
}

}  // namespace tarn
