// Frames (one running computation each) and drivers (one outermost read
// that computes), the context variable that says which computation runs in
// a thread or task, and the reads a frame records.
#include "layer/layer.hpp"

namespace tarn::layer {

PyObject *Unwinding = nullptr;
PyObject *current_var = nullptr;
Py_ssize_t active_frames = 0;

namespace {

uint64_t driver_serial = 0;

// ---------------------------------------------------------------------------
// Read sets

// Up to this many reads a frame looks for a duplicate by a linear scan;
// beyond, through a table of the pointers.
constexpr Py_ssize_t kLinear = 8;

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

// Rebuilds the table for `slots` slots (a power of two). 0 / -1.
int
index_build(ReadSet &reads, Py_ssize_t slots) noexcept
{
    auto *index = static_cast<PyObject **>(
        PyMem_Calloc(static_cast<size_t>(slots), sizeof(PyObject *)));
    if (!index) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < reads.size; ++i) {
        index_put(index, slots, reads.items[i]);
    }
    PyMem_Free(reads.index);
    reads.index = index;
    reads.slots = slots;
    return 0;
}

}  // namespace

void
reads_free(ReadSet &reads) noexcept
{
    PyObject **items = reads.items;
    Py_ssize_t size = reads.size;
    PyMem_Free(reads.index);
    reads = ReadSet{};
    for (Py_ssize_t i = 0; i < size; ++i) {
        Py_DECREF(items[i]);
    }
    PyMem_Free(items);
}

bool
reads_contain(const ReadSet &reads, PyObject *node) noexcept
{
    if (!reads.index) {
        for (Py_ssize_t i = 0; i < reads.size; ++i) {
            if (reads.items[i] == node) {
                return true;
            }
        }
        return false;
    }
    size_t i = slot_of(node, reads.slots);
    while (PyObject *at = reads.index[i]) {
        if (at == node) {
            return true;
        }
        i = (i + 1) & static_cast<size_t>(reads.slots - 1);
    }
    return false;
}

int
reads_add(ReadSet &reads, PyObject *node) noexcept
{
    if (reads_contain(reads, node)) {
        return 0;
    }
    if (reads.size == reads.capacity) {
        Py_ssize_t capacity = reads.capacity ? reads.capacity * 2 : 4;
        auto *items = static_cast<PyObject **>(PyMem_Realloc(
            reads.items, static_cast<size_t>(capacity) * sizeof(PyObject *)));
        if (!items) {
            PyErr_NoMemory();
            return -1;
        }
        reads.items = items;
        reads.capacity = capacity;
    }
    if (reads.size >= kLinear && (reads.size + 1) * 2 > reads.slots) {
        if (index_build(reads, reads.slots ? reads.slots * 2 : 64) < 0) {
            return -1;
        }
    }
    reads.items[reads.size++] = Py_NewRef(node);
    if (reads.index) {
        index_put(reads.index, reads.slots, node);
    }
    return 0;
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

void
Levels::pop(Dropped &dropped) noexcept
{
    PyObject *node = items[--size].node;
    --as_record(node)->busy;
    dropped.add(node);
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

// ---------------------------------------------------------------------------
// Frame

namespace {

int
frame_traverse(PyObject *self, visitproc visit, void *arg)
{
    FrameObject *f = as_frame(self);
    Py_VISIT(f->node);
    Py_VISIT(reinterpret_cast<PyObject *>(f->parent));
    Py_VISIT(reinterpret_cast<PyObject *>(f->driver));
    Py_VISIT(f->misses);
    for (Py_ssize_t i = 0; i < f->reads.size; ++i) {
        Py_VISIT(f->reads.items[i]);
    }
    return 0;
}

int
frame_clear(PyObject *self)
{
    FrameObject *f = as_frame(self);
    Py_CLEAR(f->node);
    Py_CLEAR(f->parent);
    Py_CLEAR(f->driver);
    Py_CLEAR(f->misses);
    reads_free(f->reads);
    return 0;
}

void
frame_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Frames hold their parents: a deep nest is released in a loop.
    Py_TRASHCAN_BEGIN(self, frame_dealloc)
    frame_clear(self);
    type->tp_free(self);
    Py_TRASHCAN_END
}

PyObject *
frame_get_reads(PyObject *self, void *)
{
    const ReadSet &reads = as_frame(self)->reads;
    PyObject *tuple = PyTuple_New(reads.size);
    if (!tuple) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < reads.size; ++i) {
        PyTuple_SET_ITEM(tuple, i, Py_NewRef(reads.items[i]));
    }
    return tuple;
}

PyObject *
frame_get_node(PyObject *self, void *)
{
    PyObject *node = as_frame(self)->node;
    return Py_NewRef(node ? node : Py_None);
}

PyObject *
frame_get_parent(PyObject *self, void *)
{
    auto *parent = reinterpret_cast<PyObject *>(as_frame(self)->parent);
    return Py_NewRef(parent ? parent : Py_None);
}

PyObject *
frame_get_depth(PyObject *self, void *)
{
    return PyLong_FromLong(as_frame(self)->depth);
}

PyObject *
frame_get_active(PyObject *self, void *)
{
    return PyBool_FromLong(as_frame(self)->active);
}

PyGetSetDef frame_getset[] = {
    {"node", frame_get_node, nullptr, "The node computing.", nullptr},
    {"reads", frame_get_reads, nullptr,
     "The nodes read so far, in first-read order.", nullptr},
    {"parent", frame_get_parent, nullptr,
     "The frame of the computation whose read started this one, or None.",
     nullptr},
    {"depth", frame_get_depth, nullptr,
     "How many computations nest here, this one included.", nullptr},
    {"active", frame_get_active, nullptr,
     "The node's function is still running.", nullptr},
    {nullptr},
};

PyObject *
frame_new(PyTypeObject *, PyObject *, PyObject *)
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
    return 0;
}

int
driver_clear(PyObject *self)
{
    auto *d = reinterpret_cast<DriverObject *>(self);
    d->stack.clear();
    Py_CLEAR(d->held);
    Py_CLEAR(d->held_values);
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
    .tp_basicsize = sizeof(FrameObject),
    .tp_dealloc = frame_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "One running computation: its node, what it read, and the "
              "frame whose read started it.",
    .tp_traverse = frame_traverse,
    .tp_clear = frame_clear,
    .tp_getset = frame_getset,
    .tp_new = frame_new,
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

FrameObject *
frame_start(PyObject *node, FrameObject *parent, DriverObject *driver,
            bool ahead) noexcept
{
    FrameObject *f = PyObject_GC_New(FrameObject, &FrameType);
    if (!f) {
        return nullptr;
    }
    PyThreadState *tstate = PyThreadState_Get();
    f->node = Py_NewRef(node);
    f->parent = reinterpret_cast<FrameObject *>(
        Py_XNewRef(reinterpret_cast<PyObject *>(parent)));
    f->driver = reinterpret_cast<DriverObject *>(
        Py_NewRef(reinterpret_cast<PyObject *>(driver)));
    f->misses = nullptr;
    f->reads = ReadSet{};
    f->depth = parent ? parent->depth + 1 : 1;
    f->py_start = tstate->py_recursion_remaining;
    f->c_start = tstate->c_recursion_remaining;
    f->suspended = 0;
    f->active = 1;
    f->stale = 0;
    f->unwound = 0;
    f->ahead = ahead;
    ++active_frames;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return f;
}

void
frame_finish(FrameObject *frame) noexcept
{
    if (frame->active) {
        frame->active = 0;
        --active_frames;
    }
}

Ref
running_frame(bool tracking, bool &failed) noexcept
{
    failed = false;
    if (active_frames == 0) {
        return {};
    }
    PyObject *value = nullptr;
    if (PyContextVar_Get(current_var, nullptr, &value) < 0) {
        failed = true;
        return {};
    }
    Ref held = Ref::steal(value);
    // Script code can reach the variable (through copy_context()) and set
    // anything: only a Frame counts.
    if (!held || !Py_IS_TYPE(held.get(), &FrameType)) {
        return {};
    }
    FrameObject *f = as_frame(held.get());
    while (f && !f->active) {
        f = f->parent;
    }
    if (!f || (tracking && f->suspended)) {
        return {};
    }
    return Ref::borrow(reinterpret_cast<PyObject *>(f));
}

DriverObject *
driver_new() noexcept
{
    DriverObject *d = PyObject_GC_New(DriverObject, &DriverType);
    if (!d) {
        return nullptr;
    }
    d->tstate = PyThreadState_Get();
    d->serial = ++driver_serial;
    d->stack = Levels{};
    d->held = nullptr;
    d->held_values = nullptr;
    d->refreshes = nullptr;
    d->max_py = 0;
    d->max_c = 0;
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
                              reinterpret_cast<PyObject *>(&FrameType)) < 0) {
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
        current_var = PyContextVar_New("tarn_current_computation", nullptr);
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
