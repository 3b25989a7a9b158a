// Frames (one running computation each, on the native stack), drivers (one
// outermost read that computes), the context variable that says which
// driver runs in a thread or task, and the reads a frame records.
#include "layer/layer.hpp"

namespace tarn::layer {

PyObject *Unwinding = nullptr;
PyObject *current_var = nullptr;
Py_ssize_t active_frames = 0;

namespace {

uint64_t driver_serial = 0;
// Every computation's serial is larger than any before it.
uint64_t frame_serial = 0;

// ---------------------------------------------------------------------------
// Read sets

size_t
slot_of(PyObject *node, Py_ssize_t slots) noexcept
{
    auto h = reinterpret_cast<uintptr_t>(node) >> 4;
    h *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> 17) & static_cast<size_t>(slots - 1);
}

void
index_put(PyObject **index, Py_ssize_t slots, PyObject *node) noexcept
{
    size_t i = slot_of(node, slots);
    while (index[i]) {
        i = (i + 1) & static_cast<size_t>(slots - 1);
    }
    index[i] = node;
}

}  // namespace

// By the pointers alone: a scan, or past a few items the table (made now
// if it was not). 1 / 0 / -1.
int
ReadSet::find(PyObject *node) noexcept
{
    if (!index && size <= kInline) {
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (items[i] == node) {
                return 1;
            }
        }
        return 0;
    }
    if (!index) {
        Py_ssize_t more = 64;
        while (more < size * 2) {
            more *= 2;
        }
        auto *table = static_cast<PyObject **>(
            PyMem_Calloc(static_cast<size_t>(more), sizeof(PyObject *)));
        if (!table) {
            PyErr_NoMemory();
            return -1;
        }
        for (Py_ssize_t i = 0; i < size; ++i) {
            index_put(table, more, items[i]);
        }
        index = table;
        slots = more;
    }
    size_t i = slot_of(node, slots);
    while (PyObject *at = index[i]) {
        if (at == node) {
            return 1;
        }
        i = (i + 1) & static_cast<size_t>(slots - 1);
    }
    return 0;
}

int
ReadSet::has(PyObject *node) noexcept
{
    if (serial && Py_IS_TYPE(node, &RecordType)) {
        uint64_t mark = as_record(node)->read_by;
        if (mark == serial) {
            return 1;
        }
        if (mark < serial) {
            return 0;  // had this computation read it, the mark would be this
        }
    }
    return find(node);
}

int
ReadSet::append(PyObject *node) noexcept
{
    if (size == capacity) {
        Py_ssize_t grown_to = capacity * 2;
        PyObject **grown;
        if (items == inline_items) {
            grown = static_cast<PyObject **>(
                PyMem_Malloc(static_cast<size_t>(grown_to) * sizeof(PyObject *)));
            if (grown) {
                for (Py_ssize_t i = 0; i < size; ++i) {
                    grown[i] = items[i];
                }
            }
        }
        else {
            grown = static_cast<PyObject **>(PyMem_Realloc(
                items, static_cast<size_t>(grown_to) * sizeof(PyObject *)));
        }
        if (!grown) {
            PyErr_NoMemory();
            return -1;
        }
        items = grown;
        capacity = grown_to;
    }
    if (index && (size + 1) * 2 > slots) {
        // The table keeps at most half its slots full.
        Py_ssize_t more = slots * 2;
        auto *table = static_cast<PyObject **>(
            PyMem_Calloc(static_cast<size_t>(more), sizeof(PyObject *)));
        if (!table) {
            PyErr_NoMemory();
            return -1;
        }
        for (Py_ssize_t i = 0; i < size; ++i) {
            index_put(table, more, items[i]);
        }
        PyMem_Free(index);
        index = table;
        slots = more;
    }
    items[size++] = Py_NewRef(node);
    if (index) {
        index_put(index, slots, node);
    }
    return 0;
}

int
ReadSet::add(PyObject *node) noexcept
{
    if (serial && Py_IS_TYPE(node, &RecordType)) {
        RecordObject *r = as_record(node);
        if (r->read_by == serial) {
            return 0;
        }
        if (r->read_by < serial) {
            r->read_by = serial;
            return append(node);
        }
        // A later computation read it since: only the set itself knows.
    }
    int there = find(node);
    if (there != 0) {
        return there < 0 ? -1 : 0;
    }
    return append(node);
}

void
ReadSet::clear() noexcept
{
    PyObject **held = items;
    Py_ssize_t count = size;
    PyMem_Free(index);
    index = nullptr;
    slots = 0;
    items = inline_items;
    size = 0;
    capacity = kInline;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_DECREF(held[i]);
    }
    if (held != inline_items) {
        PyMem_Free(held);
    }
}

// ---------------------------------------------------------------------------
// Frames

Frame::Frame(PyObject *node_, Frame *parent_, DriverObject *driver_,
             PyThreadState *tstate, bool ahead_) noexcept
    : node(node_), parent(parent_), driver(driver_), misses(nullptr),
      reads(++frame_serial),
      depth(parent_ ? parent_->depth + 1 : 1),
      py_start(tstate->py_recursion_remaining),
      c_start(tstate->c_recursion_remaining), suspended(0), stale(0),
      unwound(0), ahead(ahead_), effect(0)
{
}

namespace {

// The driver found last through the context variable, with the context
// object it was found in (strong; null when none). A read in the same
// context of the same thread finds it again without asking the variable.
// Only the layer sets the variable in a context it runs in, and it drops
// this cache whenever it does.
PyObject *cached_context = nullptr;
DriverObject *cached_driver = nullptr;

}  // namespace

void
forget_cached_driver() noexcept
{
    DriverObject *driver = cached_driver;
    cached_driver = nullptr;
    cached_context = nullptr;
    Py_XDECREF(reinterpret_cast<PyObject *>(driver));
}

Frame *
running_frame(PyThreadState *tstate, bool tracking, bool &failed) noexcept
{
    failed = false;
    if (active_frames == 0) {
        return nullptr;
    }
    DriverObject *driver = cached_driver;
    if (!driver || tstate->context != cached_context || driver->tstate != tstate ||
        !driver->running) {
        PyObject *value = nullptr;
        if (PyContextVar_Get(current_var, nullptr, &value) < 0) {
            failed = true;
            return nullptr;
        }
        // Script code can reach the variable (through copy_context()) and
        // set anything: only a running driver of this thread counts. One
        // of another thread (a context copied there) computes nothing
        // here, and one whose read returned (a task that copied the
        // context, a reset that failed) counts as absent.
        driver = nullptr;
        if (value && Py_IS_TYPE(value, &DriverType)) {
            auto *found = reinterpret_cast<DriverObject *>(value);
            if (found->running && found->tstate == tstate) {
                driver = found;
                DriverObject *old = cached_driver;
                cached_driver = reinterpret_cast<DriverObject *>(Py_NewRef(value));
                cached_context = tstate->context;
                Py_XDECREF(reinterpret_cast<PyObject *>(old));
            }
        }
        Py_XDECREF(value);
        if (!driver) {
            return nullptr;
        }
    }
    Frame *frame = driver->current;
    if (frame && tracking && frame->suspended) {
        return nullptr;
    }
    return frame;
}

// ---------------------------------------------------------------------------
// What `current()` shows of a frame: a snapshot.

namespace {

struct SnapshotObject {
    PyObject_HEAD
    PyObject *node;
    PyObject *reads;   // a tuple
    PyObject *parent;  // a snapshot or None
    int depth;
};

int
snapshot_traverse(PyObject *self, visitproc visit, void *arg)
{
    auto *s = reinterpret_cast<SnapshotObject *>(self);
    Py_VISIT(s->node);
    Py_VISIT(s->reads);
    Py_VISIT(s->parent);
    return 0;
}

int
snapshot_clear(PyObject *self)
{
    auto *s = reinterpret_cast<SnapshotObject *>(self);
    Py_CLEAR(s->node);
    Py_CLEAR(s->reads);
    Py_CLEAR(s->parent);
    return 0;
}

void
snapshot_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, snapshot_dealloc)
    snapshot_clear(self);
    type->tp_free(self);
    Py_TRASHCAN_END
}

PyObject *
snapshot_get(PyObject *self, void *which)
{
    auto *s = reinterpret_cast<SnapshotObject *>(self);
    switch (reinterpret_cast<uintptr_t>(which)) {
    case 0:
        return Py_NewRef(s->node);
    case 1:
        return Py_NewRef(s->reads);
    case 2:
        return Py_NewRef(s->parent);
    default:
        return PyLong_FromLong(s->depth);
    }
}

PyGetSetDef snapshot_getset[] = {
    {"node", snapshot_get, nullptr, "The node computing.",
     reinterpret_cast<void *>(0)},
    {"reads", snapshot_get, nullptr,
     "The nodes it had read, in first-read order.", reinterpret_cast<void *>(1)},
    {"parent", snapshot_get, nullptr,
     "The computation whose read started it, or None.",
     reinterpret_cast<void *>(2)},
    {"depth", snapshot_get, nullptr,
     "How many computations nested there, this one included.",
     reinterpret_cast<void *>(3)},
    {nullptr},
};

PyObject *
snapshot_new(PyTypeObject *, PyObject *, PyObject *)
{
    return raise(PyExc_TypeError, Msg::FrameCreate);
}

// ---------------------------------------------------------------------------
// Driver

int
driver_traverse(PyObject *self, visitproc visit, void *arg)
{
    auto *d = reinterpret_cast<DriverObject *>(self);
    for (Py_ssize_t i = 0; i < d->stack.size; ++i) {
        Py_VISIT(d->stack.items[i].node);
    }
    Py_VISIT(d->held);
    Py_VISIT(d->held_values);
    Py_VISIT(d->computed);
    return 0;
}

int
driver_clear(PyObject *self)
{
    auto *d = reinterpret_cast<DriverObject *>(self);
    d->stack.clear();
    Py_CLEAR(d->held);
    Py_CLEAR(d->held_values);
    Py_CLEAR(d->computed);
    return 0;
}

void
driver_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    driver_clear(self);
    reinterpret_cast<DriverObject *>(self)->stack.free();
    type->tp_free(self);
}

}  // namespace

PyTypeObject FrameType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.Frame",
    .tp_basicsize = sizeof(SnapshotObject),
    .tp_dealloc = snapshot_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "What a running computation looked like when current() was "
              "called: its node, what it had read, and the computation whose "
              "read started it.",
    .tp_traverse = snapshot_traverse,
    .tp_clear = snapshot_clear,
    .tp_getset = snapshot_getset,
    .tp_new = snapshot_new,
};

PyTypeObject DriverType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.Driver",
    .tp_basicsize = sizeof(DriverObject),
    .tp_dealloc = driver_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "One outermost read that computes.",
    .tp_traverse = driver_traverse,
    .tp_clear = driver_clear,
};

PyObject *
frame_snapshot(Frame *frame) noexcept
{
    if (!frame) {
        Py_RETURN_NONE;
    }
    Ref parent = Ref::steal(frame_snapshot(frame->parent));
    if (!parent) {
        return nullptr;
    }
    Ref reads = Ref::steal(PyTuple_New(frame->reads.size));
    if (!reads) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < frame->reads.size; ++i) {
        PyTuple_SET_ITEM(reads.get(), i, Py_NewRef(frame->reads.items[i]));
    }
    auto *s = PyObject_GC_New(SnapshotObject, &FrameType);
    if (!s) {
        return nullptr;
    }
    s->node = Py_NewRef(frame->node);
    s->reads = reads.release();
    s->parent = parent.release();
    s->depth = frame->depth;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(s));
    return reinterpret_cast<PyObject *>(s);
}

// ---------------------------------------------------------------------------
// Levels

int
Levels::reserve(Py_ssize_t more) noexcept
{
    if (size + more <= capacity) {
        return 0;
    }
    Py_ssize_t grown_to = capacity ? capacity * 2 : 16;
    while (grown_to < size + more) {
        grown_to *= 2;
    }
    auto *grown = static_cast<Level *>(
        PyMem_Realloc(items, static_cast<size_t>(grown_to) * sizeof(Level)));
    if (!grown) {
        PyErr_NoMemory();
        return -1;
    }
    items = grown;
    capacity = grown_to;
    return 0;
}

int
Levels::push(PyObject *node, bool predicted) noexcept
{
    if (size == capacity && reserve(1) < 0) {
        return -1;
    }
    ++as_record(node)->busy;
    items[size++] = Level{Py_NewRef(node), 0, 0, static_cast<uint8_t>(predicted)};
    return 0;
}

PyObject *
Levels::take() noexcept
{
    PyObject *node = items[--size].node;
    --as_record(node)->busy;
    return node;
}

void
Levels::clear() noexcept
{
    while (size > 0) {
        PyObject *node = items[--size].node;
        --as_record(node)->busy;
        Py_DECREF(node);
    }
}

void
Levels::free() noexcept
{
    PyMem_Free(items);
    items = nullptr;
    capacity = 0;
}

DriverObject *
driver_new(PyThreadState *tstate) noexcept
{
    DriverObject *d = PyObject_GC_New(DriverObject, &DriverType);
    if (!d) {
        return nullptr;
    }
    d->tstate = tstate;
    d->serial = ++driver_serial;
    d->current = nullptr;
    d->stack = Levels{};
    d->held = nullptr;
    d->held_values = nullptr;
    d->computed = nullptr;
    d->refreshes = nullptr;
    d->max_py = 0;
    d->max_c = 0;
    d->running = 1;
    d->changed = 0;
    d->exact = 0;
    d->unwinding = 0;
    d->restart = 0;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(d));
    return d;
}

int
frames_ready(PyObject *module) noexcept
{
    if (ready_static(&FrameType) < 0 || ready_static(&DriverType) < 0 ||
        PyModule_AddObjectRef(module, "Frame",
                              reinterpret_cast<PyObject *>(&FrameType)) < 0 ||
        PyModule_AddObjectRef(module, "Driver",
                              reinterpret_cast<PyObject *>(&DriverType)) < 0) {
        return -1;
    }
    // Made once per process (the module refuses a second interpreter) and
    // kept until it ends.
    if (!Unwinding) {
        Unwinding = PyErr_NewExceptionWithDoc("tarn._layer.Unwinding",
                                              message(Msg::UnwindingDoc),
                                              PyExc_BaseException, nullptr);
        if (!Unwinding) {
            return -1;
        }
    }
    if (!current_var) {
        current_var = PyContextVar_New("tarn_outermost_read", nullptr);
        if (!current_var) {
            return -1;
        }
    }
    if (PyModule_AddObjectRef(module, "Unwinding", Unwinding) < 0 ||
        PyModule_AddObjectRef(module, "current_computation", current_var) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace tarn::layer
