// The layer's records: Record (a Node with the layer's bookkeeping), the
// Anchor its graph leaves in it, the revision counters, and the small list
// and release helpers every step that rewires edges uses.
#include "layer/layer.hpp"

#include <cstring>

namespace tarn::layer {

int64_t revision = 0;
int64_t floor_revision = 0;

PyTypeObject *core_node_type = nullptr;
PyTypeObject *core_engine_type = nullptr;
const NodeTable *core_node_table = nullptr;

// ---------------------------------------------------------------------------
// Lists and deferred releases

PyObject *
list_take(PyObject *list, PyObject *item) noexcept
{
    auto *l = reinterpret_cast<PyListObject *>(list);
    Py_ssize_t size = Py_SIZE(l);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (l->ob_item[i] == item) {
            std::memmove(&l->ob_item[i], &l->ob_item[i + 1],
                         static_cast<size_t>(size - i - 1) * sizeof(PyObject *));
            Py_SET_SIZE(l, size - 1);
            return item;
        }
    }
    return nullptr;
}

int
Dropped::reserve(Py_ssize_t more) noexcept
{
    if (size_ + more <= capacity_) {
        return 0;
    }
    Py_ssize_t capacity = capacity_ * 2;
    while (capacity < size_ + more) {
        capacity *= 2;
    }
    auto *items = static_cast<PyObject **>(
        PyMem_Malloc(static_cast<size_t>(capacity) * sizeof(PyObject *)));
    if (!items) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < size_; ++i) {
        items[i] = items_[i];
    }
    if (items_ != inline_) {
        PyMem_Free(items_);
    }
    items_ = items;
    capacity_ = capacity;
    return 0;
}

void
Dropped::add(PyObject *o) noexcept
{
    if (o) {
        items_[size_++] = o;
    }
}

void
Dropped::release() noexcept
{
    // Each release may run code, which cannot reach this object: take the
    // array first all the same, so that the object is empty meanwhile.
    PyObject **items = items_;
    Py_ssize_t size = size_;
    items_ = inline_;
    size_ = 0;
    capacity_ = kInline;
    for (Py_ssize_t i = 0; i < size; ++i) {
        Py_DECREF(items[i]);
    }
    if (items != inline_) {
        PyMem_Free(items);
    }
}

// ---------------------------------------------------------------------------
// Anchor

namespace {

void
anchor_dealloc(PyObject *self)
{
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

PyTypeObject AnchorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.Anchor",
    .tp_basicsize = sizeof(AnchorObject),
    .tp_dealloc = anchor_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "What a graph's nodes hold of it: the graph while it lives.",
};

// ---------------------------------------------------------------------------
// Record

namespace {

int
record_traverse(PyObject *self, visitproc visit, void *arg)
{
    RecordObject *r = as_record(self);
    int rc = core_node_type->tp_traverse(self, visit, arg);
    if (rc) {
        return rc;
    }
    Py_VISIT(r->last);
    Py_VISIT(r->missed);
    Py_VISIT(r->equal);
    Py_VISIT(r->kept_tb);
    return 0;
}

int
record_clear(PyObject *self)
{
    RecordObject *r = as_record(self);
    r->trusted = 0;
    Py_CLEAR(r->last);
    Py_CLEAR(r->missed);
    Py_CLEAR(r->equal);
    Py_CLEAR(r->kept_tb);
    return core_node_type->tp_clear(self);
}

void
record_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // A chain of a million records, each holding the next through its
    // lists or values, is released in a loop instead of a recursion.
    Py_TRASHCAN_BEGIN(self, record_dealloc)
    RecordObject *r = as_record(self);
    NodeObject *n = &r->node;
    Py_CLEAR(r->anchor);
    Py_CLEAR(r->last);
    Py_CLEAR(r->missed);
    Py_CLEAR(r->equal);
    Py_CLEAR(r->kept_tb);
    Py_CLEAR(n->name);
    Py_CLEAR(n->func);
    Py_CLEAR(n->dependencies);
    Py_CLEAR(n->dependents);
    Py_CLEAR(n->cached_value);
    Py_CLEAR(n->static_dependencies);
    type->tp_free(self);
    Py_TRASHCAN_END
}

// The layer's fields read as the Python side reads them; a write from
// script code makes the record a foreign node that no fast path trusts.

PyObject *
record_get_graph(PyObject *self, void *)
{
    AnchorObject *a = as_record(self)->anchor;
    if (!a || !a->graph) {
        Py_RETURN_NONE;
    }
    return Py_NewRef(reinterpret_cast<PyObject *>(a->graph));
}

int
record_set_graph(PyObject *self, PyObject *value, void *)
{
    RecordObject *r = as_record(self);
    if (value && value != Py_None && !PyObject_TypeCheck(value, &GraphBaseType)) {
        PyErr_Format(PyExc_TypeError, "graph must be a Graph or None, not %.200s",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    r->trusted = 0;
    AnchorObject *anchor = nullptr;
    if (value && value != Py_None) {
        anchor = reinterpret_cast<GraphObject *>(value)->anchor;
        Py_XINCREF(anchor);
    }
    AnchorObject *old = r->anchor;
    r->anchor = anchor;
    Py_XDECREF(old);
    return 0;
}

PyObject *
record_get_last(PyObject *self, void *)
{
    PyObject *v = as_record(self)->last;
    return Py_NewRef(v ? v : Py_None);
}

int
record_set_last(PyObject *self, PyObject *value, void *)
{
    RecordObject *r = as_record(self);
    r->trusted = 0;
    PyObject *old = r->last;
    r->last = Py_XNewRef(value);
    Py_XDECREF(old);
    return 0;
}

template <uint8_t RecordObject::*Field>
PyObject *
get_flag(PyObject *self, void *)
{
    return PyBool_FromLong(as_record(self)->*Field);
}

template <uint8_t RecordObject::*Field>
int
set_flag(PyObject *self, PyObject *value, void *)
{
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete this attribute");
        return -1;
    }
    int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        return -1;
    }
    RecordObject *r = as_record(self);
    r->trusted = 0;
    r->*Field = static_cast<uint8_t>(truth);
    return 0;
}

template <int64_t RecordObject::*Field>
PyObject *
get_revision(PyObject *self, void *)
{
    return PyLong_FromLongLong(as_record(self)->*Field);
}

template <int64_t RecordObject::*Field>
int
set_revision(PyObject *self, PyObject *value, void *)
{
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete this attribute");
        return -1;
    }
    long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) {
        return -1;
    }
    RecordObject *r = as_record(self);
    r->trusted = 0;
    r->*Field = v;
    return 0;
}

// The names the last cached computation failed to find, as (graph, name)
// pairs (graph None once it is gone).
PyObject *
record_get_missed(PyObject *self, void *)
{
    PyObject *missed = as_record(self)->missed;
    Py_ssize_t size = missed && PyList_CheckExact(missed) ? PyList_GET_SIZE(missed) : 0;
    Ref out = Ref::steal(PyTuple_New(size));
    if (!out) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *pair = PyList_GET_ITEM(missed, i);
        auto *anchor = reinterpret_cast<AnchorObject *>(PyTuple_GET_ITEM(pair, 0));
        PyObject *graph = anchor->graph ? reinterpret_cast<PyObject *>(anchor->graph) : Py_None;
        PyObject *shown = PyTuple_Pack(2, graph, PyTuple_GET_ITEM(pair, 1));
        if (!shown) {
            return nullptr;
        }
        PyTuple_SET_ITEM(out.get(), i, shown);
    }
    return out.release();
}

PyObject *
record_get_cutoff(PyObject *self, void *)
{
    PyObject *equal = as_record(self)->equal;
    return Py_NewRef(equal ? equal : Py_False);
}

int
record_set_cutoff(PyObject *self, PyObject *value, void *)
{
    PyObject *equal = nullptr;
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete this attribute");
        return -1;
    }
    if (cutoff_of(value, equal) < 0) {
        return -1;
    }
    RecordObject *r = as_record(self);
    r->trusted = 0;
    PyObject *old = r->equal;
    r->equal = Py_XNewRef(equal);
    Py_XDECREF(old);
    return 0;
}

PyObject *
record_get_trusted(PyObject *self, void *)
{
    return PyBool_FromLong(is_trusted(self));
}

PyGetSetDef record_getset[] = {
    {"graph", record_get_graph, record_set_graph,
     "The graph (or the model's graph) that made the node, or None.", nullptr},
    {"cutoff", record_get_cutoff, record_set_cutoff,
     "False, True (unchanged: the same object, or ==) or a callable "
     "(old, new) that says the value is unchanged.", nullptr},
    {"kept", get_flag<&RecordObject::kept>, set_flag<&RecordObject::kept>,
     "Its value is an exception its function raised, kept until something "
     "it read changes.", nullptr},
    {"last", record_get_last, record_set_last,
     "The value of the last cached computation (None before one).", nullptr},
    {"ok", get_flag<&RecordObject::ok>, set_flag<&RecordObject::ok>,
     "The edges are exactly what the last cached computation read.", nullptr},
    {"changed", get_revision<&RecordObject::changed>,
     set_revision<&RecordObject::changed>,
     "The revision at which the value last changed.", nullptr},
    {"verified", get_revision<&RecordObject::verified>,
     set_revision<&RecordObject::verified>,
     "The revision at which the node was last computed or confirmed "
     "(-1: never).", nullptr},
    {"missed", record_get_missed, nullptr,
     "The names its last cached computation failed to find, as (graph, "
     "name) pairs.", nullptr},
    {"trusted", record_get_trusted, nullptr,
     "Made by a graph, still in its registry, and untouched by scripts.",
     nullptr},
    {nullptr},
};

}  // namespace

PyTypeObject RecordType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.Record",
    .tp_basicsize = sizeof(RecordObject),
    .tp_dealloc = record_dealloc,
    // No subclasses: the type carries no replacement of any operation, so
    // the core walks its records on its inline path.
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A node made by a graph: the engine's node with the layer's "
              "bookkeeping.",
    .tp_traverse = record_traverse,
    .tp_clear = record_clear,
    .tp_getset = record_getset,
};

int
cutoff_of(PyObject *value, PyObject *&equal) noexcept
{
    if (value == Py_None || value == Py_False) {
        equal = nullptr;
        return 0;
    }
    if (value == Py_True || PyCallable_Check(value)) {
        equal = value;
        return 0;
    }
    PyErr_Format(PyExc_TypeError,
                 "cutoff must be True, False or a callable (old, new) -> bool, "
                 "not %.200s", Py_TYPE(value)->tp_name);
    return -1;
}

PyObject *
hit_result(RecordObject *r) noexcept
{
    PyObject *value = r->node.cached_value;
    if (!r->kept) {
        return Py_NewRef(value);
    }
    // Raised again as first raised: its traceback is the first raise's
    // (the reader's frames are added as it propagates), its context and
    // cause as they were.
    if (PyExceptionInstance_Check(value)) {
        PyException_SetTraceback(value, r->kept_tb ? r->kept_tb : Py_None);
        PyErr_SetRaisedException(Py_NewRef(value));
    }
    else {
        PyErr_SetObject(PyExc_RuntimeError, value);
    }
    return nullptr;
}

PyObject *
record_new(AnchorObject *anchor, PyObject *name, PyObject *func,
           bool is_explicit, PyObject *value, PyObject *equal) noexcept
{
    // Every field has its value before the collector can see the record.
    Ref deps = Ref::steal(PyList_New(0));
    Ref readers = deps ? Ref::steal(PyList_New(0)) : Ref();
    Ref statics = readers ? Ref::steal(PyList_New(0)) : Ref();
    if (!statics) {
        return nullptr;
    }
    RecordObject *r = PyObject_GC_New(RecordObject, &RecordType);
    if (!r) {
        return nullptr;
    }
    NodeObject *n = &r->node;
    n->name = Py_NewRef(name);
    n->func = Py_NewRef(func);
    n->dependencies = deps.release();
    n->dependents = readers.release();
    n->is_valid = is_explicit;
    n->is_explicit = is_explicit;
    n->cached_value = Py_NewRef(value);
    n->flags = 0;
    n->static_dependencies = statics.release();
    r->anchor = reinterpret_cast<AnchorObject *>(
        Py_NewRef(reinterpret_cast<PyObject *>(anchor)));
    r->last = nullptr;
    r->missed = nullptr;
    r->changed = revision;
    r->verified = -1;
    r->read_by = 0;
    r->busy = 0;
    r->equal = Py_XNewRef(equal);
    r->kept_tb = nullptr;
    r->kept = 0;
    r->ok = 0;
    r->trusted = 1;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(r));
    return reinterpret_cast<PyObject *>(r);
}

int
ready_static(PyTypeObject *type) noexcept
{
    // A failed import may have left the type half-readied: readying it
    // again over those fields would corrupt its dictionary.
    if (!(type->tp_flags & Py_TPFLAGS_READY)) {
        Py_CLEAR(type->tp_dict);
        Py_CLEAR(type->tp_mro);
        Py_CLEAR(type->tp_bases);
    }
    return PyType_Ready(type);
}

namespace {

// tarn.tarnwick's Node, DAGEngine and Node's table of operations, checked
// to be the core's own: static types of their names and record sizes.
int
take_core() noexcept
{
    Ref core = Ref::steal(PyImport_ImportModule("tarn.tarnwick"));
    if (!core) {
        return -1;
    }
    Ref node = Ref::steal(PyObject_GetAttrString(core.get(), "Node"));
    Ref engine = node ? Ref::steal(PyObject_GetAttrString(core.get(), "DAGEngine"))
                      : Ref();
    if (!engine) {
        return -1;
    }
    auto static_type = [](PyObject *o, const char *name, size_t size) {
        if (!PyType_Check(o)) {
            return false;
        }
        auto *t = reinterpret_cast<PyTypeObject *>(o);
        return !(t->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
               t->tp_basicsize == static_cast<Py_ssize_t>(size) &&
               std::strcmp(t->tp_name, name) == 0;
    };
    if (!static_type(node.get(), "tarn.tarnwick.Node", sizeof(NodeObject)) ||
        !static_type(engine.get(), "tarn.tarnwick.DAGEngine",
                     sizeof(EngineObject))) {
        raise(PyExc_TypeError, Msg::NotCoreNode);
        return -1;
    }
    auto *node_type = reinterpret_cast<PyTypeObject *>(node.get());
    PyObject *capsule = PyDict_GetItemString(node_type->tp_dict, "__pyx_vtable__");
    const void *table = capsule ? PyCapsule_GetPointer(capsule, nullptr) : nullptr;
    if (!table) {
        if (!PyErr_Occurred()) {
            raise(PyExc_TypeError, Msg::NotCoreNode);
        }
        return -1;
    }
    // Static types live until the process ends: borrowed for good.
    core_node_type = node_type;
    core_engine_type = reinterpret_cast<PyTypeObject *>(engine.get());
    core_node_table = static_cast<const NodeTable *>(table);
    return 0;
}

}  // namespace

int
records_ready(PyObject *module) noexcept
{
    if (take_core() < 0) {
        return -1;
    }
    RecordType.tp_base = core_node_type;
    if (ready_static(&AnchorType) < 0 || ready_static(&RecordType) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "Record",
                                 reinterpret_cast<PyObject *>(&RecordType));
}

}  // namespace tarn::layer
