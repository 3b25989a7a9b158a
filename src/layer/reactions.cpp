// What effects, watchers, batches and traces need of the engine: the hook
// that hears of completed changes, the tracers that hear of what happens,
// the state of this thread's computations, and reads recorded by none.
#include "layer/layer.hpp"

#include <cstddef>

namespace tarn::layer {

Py_ssize_t tracers = 0;

namespace {

// The reactions' hook, registered once by tarn._reactions: hook() runs
// the effects made stale by the change that just completed (or notes that
// they wait for a batch's end). Null until registered, and while no effect
// exists: a change then costs a test of this pointer and of `live`.
PyObject *hook = nullptr;
bool live = false;

// One tracer per thread that opened a trace: few, so a small array.
struct Tracer {
    PyThreadState *tstate;
    PyObject *callable;  // strong
};
constexpr Py_ssize_t kMaxTracers = 64;
Tracer tracer_table[kMaxTracers];

int
call_hook() noexcept
{
    Ref held = Ref::borrow(hook);
    Ref done = Ref::steal(PyObject_CallNoArgs(held.get()));
    return done ? 0 : -1;
}

}  // namespace

int
after_change() noexcept
{
    if (!hook || !live) {
        return 0;
    }
    bool failed = false;
    Frame *frame = running_frame(PyThreadState_Get(), false, failed);
    if (failed) {
        return -1;
    }
    if (frame) {
        // A node function (or an effect) changed something: the effects
        // run when its outermost read returns, never nested in it.
        frame->driver->changed = 1;
        return 0;
    }
    return call_hook();
}

int
after_read(DriverObject *driver) noexcept
{
    if (!driver->changed || !hook || !live) {
        return 0;
    }
    driver->changed = 0;
    bool failed = false;
    Frame *frame = running_frame(PyThreadState_Get(), false, failed);
    if (failed) {
        return -1;
    }
    if (frame) {
        frame->driver->changed = 1;  // an outer read returns later
        return 0;
    }
    return call_hook();
}

PyObject *
tracer() noexcept
{
    if (tracers == 0) {
        return nullptr;
    }
    PyThreadState *tstate = PyThreadState_Get();
    for (Py_ssize_t i = 0; i < tracers; ++i) {
        if (tracer_table[i].tstate == tstate) {
            return tracer_table[i].callable;
        }
    }
    return nullptr;
}

PyObject *
trace_label(PyObject *node) noexcept
{
    PyObject *owner = Py_None;
    if (Py_IS_TYPE(node, &RecordType) && as_record(node)->anchor &&
        as_record(node)->anchor->graph) {
        PyObject *o = graph_owner(as_record(node)->anchor->graph);
        owner = o ? o : Py_None;
    }
    return PyTuple_Pack(2, owner, as_node(node)->name);
}

void
trace(const char *kind, PyObject *const *args, Py_ssize_t nargs) noexcept
{
    PyObject *callable = tracer();
    if (!callable) {
        return;
    }
    PyObject *raised = PyErr_GetRaisedException();
    Ref held = Ref::borrow(callable);
    Ref call_args = Ref::steal(PyTuple_New(nargs + 1));
    Ref name = Ref::steal(PyUnicode_FromString(kind));
    if (call_args && name) {
        PyTuple_SET_ITEM(call_args.get(), 0, name.release());
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            PyTuple_SET_ITEM(call_args.get(), i + 1, Py_NewRef(args[i]));
        }
        Ref done = Ref::steal(PyObject_Call(held.get(), call_args.get(), nullptr));
        if (done) {
            PyErr_SetRaisedException(raised);
            return;
        }
    }
    PyErr_WriteUnraisable(callable);
    PyErr_SetRaisedException(raised);
}

namespace {

// ---------------------------------------------------------------------------
// Untracked: reads in its block are recorded by no computation.

struct UntrackedObject {
    PyObject_HEAD
    PyObject *driver;  // the driver whose frame it suspended, or null
    Frame *frame;      // that frame, checked to be running before use
};

void
untracked_dealloc(PyObject *self)
{
    Py_CLEAR(reinterpret_cast<UntrackedObject *>(self)->driver);
    Py_TYPE(self)->tp_free(self);
}

PyObject *
untracked_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "untracked() takes no arguments");
        return nullptr;
    }
    auto *u = reinterpret_cast<UntrackedObject *>(type->tp_alloc(type, 0));
    if (u) {
        u->driver = nullptr;
        u->frame = nullptr;
    }
    return reinterpret_cast<PyObject *>(u);
}

PyObject *
untracked_enter(PyObject *self, PyObject *)
{
    auto *u = reinterpret_cast<UntrackedObject *>(self);
    if (u->frame) {
        PyErr_SetString(PyExc_RuntimeError, "untracked() is already entered");
        return nullptr;
    }
    bool failed = false;
    Frame *frame = running_frame(PyThreadState_Get(), false, failed);
    if (failed) {
        return nullptr;
    }
    if (frame) {
        ++frame->suspended;
        u->frame = frame;
        u->driver = Py_NewRef(reinterpret_cast<PyObject *>(frame->driver));
    }
    return Py_NewRef(self);
}

PyObject *
untracked_exit(PyObject *self, PyObject *const *, Py_ssize_t)
{
    auto *u = reinterpret_cast<UntrackedObject *>(self);
    if (u->frame) {
        // The frame lives on a native stack: touch it only while its
        // computation still runs.
        auto *driver = reinterpret_cast<DriverObject *>(u->driver);
        if (driver->running) {
            for (Frame *f = driver->current; f; f = f->parent) {
                if (f == u->frame) {
                    --f->suspended;
                    break;
                }
            }
        }
        u->frame = nullptr;
        Py_CLEAR(u->driver);
    }
    Py_RETURN_FALSE;
}

PyMethodDef untracked_methods[] = {
    {"__enter__", untracked_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(untracked_exit)),
     METH_FASTCALL, nullptr},
    {nullptr},
};

PyTypeObject UntrackedType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.untracked",
    .tp_basicsize = sizeof(UntrackedObject),
    .tp_dealloc = untracked_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "untracked()\n--\n\n"
              "A context manager: reads in its block are recorded by no "
              "computation (the running one, or an effect), and what they "
              "compute is computed on its own.",
    .tp_methods = untracked_methods,
    .tp_new = untracked_new,
};

// ---------------------------------------------------------------------------
// Module functions

PyObject *
set_reactions(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 1 || !PyCallable_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "set_reactions() takes a callable");
        return nullptr;
    }
    // Registered once: code running in the middle of a change must not
    // find another hook in its place.
    if (hook && hook != args[0]) {
        PyErr_SetString(PyExc_RuntimeError, "the reactions are registered already");
        return nullptr;
    }
    if (!hook) {
        hook = Py_NewRef(args[0]);
    }
    Py_RETURN_NONE;
}

PyObject *
set_live(PyObject *, PyObject *arg)
{
    int truth = PyObject_IsTrue(arg);
    if (truth < 0) {
        return nullptr;
    }
    live = truth;
    Py_RETURN_NONE;
}

PyObject *
set_tracer(PyObject *, PyObject *arg)
{
    PyThreadState *tstate = PyThreadState_Get();
    Py_ssize_t at = -1;
    for (Py_ssize_t i = 0; i < tracers; ++i) {
        if (tracer_table[i].tstate == tstate) {
            at = i;
        }
    }
    if (arg == Py_None) {
        if (at >= 0) {
            PyObject *old = tracer_table[at].callable;
            tracer_table[at] = tracer_table[--tracers];
            Py_DECREF(old);
        }
        Py_RETURN_NONE;
    }
    if (!PyCallable_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "set_tracer() takes a callable or None");
        return nullptr;
    }
    if (at >= 0) {
        PyObject *old = tracer_table[at].callable;
        tracer_table[at].callable = Py_NewRef(arg);
        Py_DECREF(old);
        Py_RETURN_NONE;
    }
    if (tracers == kMaxTracers) {
        PyErr_SetString(PyExc_RuntimeError, "too many threads trace at once");
        return nullptr;
    }
    tracer_table[tracers++] = Tracer{tstate, Py_NewRef(arg)};
    Py_RETURN_NONE;
}

PyObject *
get_tracer(PyObject *, PyObject *)
{
    PyObject *t = tracer();
    return Py_NewRef(t ? t : Py_None);
}

// What runs in this thread now: None, "node" (a node's function) or
// "effect" (an effect's run, a node's function nested in none).
PyObject *
running(PyObject *, PyObject *)
{
    bool failed = false;
    Frame *frame = running_frame(PyThreadState_Get(), false, failed);
    if (failed) {
        return nullptr;
    }
    if (!frame) {
        Py_RETURN_NONE;
    }
    return PyUnicode_FromString(frame->effect ? "effect" : "node");
}

PyObject *
effect_run(PyObject *, PyObject *arg)
{
    if (!is_trusted(arg)) {
        PyErr_SetString(PyExc_TypeError, "run_effect() takes a node made by a graph");
        return nullptr;
    }
    return run_effect(arg);
}

}  // namespace

PyMethodDef reaction_functions[] = {
    {"set_reactions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(set_reactions)),
     METH_FASTCALL,
     "set_reactions(hook, /)\n--\n\n"
     "Registers, once, what runs the effects a completed change made stale."},
    {"set_live", set_live, METH_O,
     "set_live(flag, /)\n--\n\n"
     "Whether effects exist: while none does, changes call no hook."},
    {"set_tracer", set_tracer, METH_O,
     "set_tracer(tracer, /)\n--\n\n"
     "This thread's tracer, called as tracer(kind, *details); None ends it."},
    {"tracer", get_tracer, METH_NOARGS,
     "tracer()\n--\n\nThis thread's tracer, or None."},
    {"running", running, METH_NOARGS,
     "running()\n--\n\n"
     "What runs in this thread now: None, 'node' or 'effect'."},
    {"run_effect", effect_run, METH_O,
     "run_effect(node, /)\n--\n\n"
     "Runs an effect's node: its function, its reads recorded as its "
     "edges, each read computed on its own."},
    {nullptr},
};

int
reactions_ready(PyObject *module) noexcept
{
    if (ready_static(&UntrackedType) < 0 ||
        PyModule_AddObjectRef(module, "untracked",
                              reinterpret_cast<PyObject *>(&UntrackedType)) < 0) {
        return -1;
    }
    return PyModule_AddFunctions(module, reaction_functions);
}

}  // namespace tarn::layer
