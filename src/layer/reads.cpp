// The records a read touches (Frame and the bases of Graph, Model, Input and
// Computed) and the reads themselves.
#include "layer/layer.hpp"

namespace tarn::layer {

Parts parts;

namespace {

// Frames alive now, anywhere. While there are none, no context can hold a
// computation to record into, and a read skips the context variable.
Py_ssize_t live_frames = 0;

FrameObject *
as_frame(PyObject *o) noexcept
{
    return reinterpret_cast<FrameObject *>(o);
}

// ---------------------------------------------------------------------------
// Reads

enum class Via { Graph, Input, Computed };

// The Python read of `via`, which does the whole read as the layer defines
// it. New reference / nullptr.
PyObject *
python_read(Via via, PyObject *first, PyObject *second) noexcept
{
    PyObject *read = via == Via::Graph   ? parts.graph_read
                     : via == Via::Input ? parts.input_read
                                         : parts.computed_read;
    if (!read) {
        PyErr_SetString(PyExc_RuntimeError,
                        "tarn._layer is not set up: import tarn first");
        return nullptr;
    }
    // The callable is held for the call: a re-registration may drop it.
    Ref held = Ref::borrow(read);
    PyObject *args[] = {first, second};
    return PyObject_Vectorcall(held.get(), args, 2, nullptr);
}

// The value of a node that is not valid: the layer's read. New reference.
PyObject *
compute(PyObject *node, PyObject *frame) noexcept
{
    return read_node(node, frame);
}

// A read of `name` in `nodes` on behalf of (`first`, `second`), the
// arguments of the Python read of `via`; the caller holds all four.
// New reference / nullptr.
PyObject *
read(Via via, PyObject *nodes, PyObject *name, PyObject *first,
     PyObject *second) noexcept
{
    if (!nodes || !name || !PyDict_CheckExact(nodes) ||
        !PyUnicode_CheckExact(name) || !parts.current) {
        return python_read(via, first, second);
    }
    // Comparing the name with a key of another type that shares its hash
    // runs that key's __eq__, which may replace the field the dict or the
    // name came from: both are held for the lookup. The node found is
    // borrowed until the new reference below, and nothing runs in between.
    Ref held_nodes = Ref::borrow(nodes);
    Ref held_name = Ref::borrow(name);
    PyObject *found = PyDict_GetItemWithError(nodes, name);
    if (!found) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        return python_read(via, first, second);
    }
    if (Py_TYPE(found) != parts.cell) {
        return python_read(via, first, second);
    }
    NodeObject *n = as_node(found);
    if (live_frames == 0 && (via == Via::Input || n->is_valid)) {
        return Py_NewRef(n->cached_value);
    }
    Ref node = Ref::borrow(found);
    PyObject *value = nullptr;
    if (PyContextVar_Get(parts.current, nullptr, &value) < 0) {
        return nullptr;
    }
    Ref frame = Ref::steal(value);
    if (frame.get() != Py_None) {
        // A frame that the collector cleared (it was reached through a
        // cycle being released) has no reads left to record into.
        if (!frame || !Py_IS_TYPE(frame.get(), &FrameType) ||
            !as_frame(frame.get())->reads) {
            return python_read(via, first, second);
        }
        // Nodes hash and compare by identity, but the Python read may have
        // put a key of another type there whose __eq__ runs: the node and
        // the frame are held, and the node's fields are read afterwards.
        if (PyDict_SetItem(as_frame(frame.get())->reads, node.get(),
                           Py_None) < 0) {
            return nullptr;
        }
    }
    if (via == Via::Input || n->is_valid) {
        return Py_NewRef(n->cached_value);
    }
    return compute(node.get(), frame.get());
}

// ---------------------------------------------------------------------------
// Frame

PyObject *
frame_make(PyTypeObject *type, PyObject *node, PyObject *parent,
           PyObject *held) noexcept
{
    Ref reads = Ref::steal(PyDict_New());
    if (!reads) {
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    ++live_frames;
    FrameObject *f = as_frame(self.get());
    f->node = Py_NewRef(node);
    f->reads = reads.release();
    f->parent = Py_NewRef(parent);
    f->held = Py_NewRef(held);
    f->stale = 0;
    return self.release();
}

PyObject *
frame_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "Frame() takes no keyword arguments");
        return nullptr;
    }
    PyObject *node, *parent, *held;
    if (!PyArg_UnpackTuple(args, "Frame", 3, 3, &node, &parent, &held)) {
        return nullptr;
    }
    return frame_make(type, node, parent, held);
}

int
frame_traverse(PyObject *self, visitproc visit, void *arg)
{
    FrameObject *f = as_frame(self);
    Py_VISIT(f->node);
    Py_VISIT(f->reads);
    Py_VISIT(f->parent);
    Py_VISIT(f->held);
    return 0;
}

int
frame_clear(PyObject *self)
{
    FrameObject *f = as_frame(self);
    Py_CLEAR(f->node);
    Py_CLEAR(f->reads);
    Py_CLEAR(f->parent);
    Py_CLEAR(f->held);
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
    --live_frames;
    Py_TRASHCAN_END
}

PyMemberDef frame_members[] = {
    {"node", Py_T_OBJECT_EX, offsetof(FrameObject, node), Py_READONLY,
     "The node computing."},
    {"reads", Py_T_OBJECT_EX, offsetof(FrameObject, reads), Py_READONLY,
     "The nodes read so far, in first-read order (values are None)."},
    {"parent", Py_T_OBJECT_EX, offsetof(FrameObject, parent), Py_READONLY,
     "The frame of the computation that started this one, or None."},
    {"held", Py_T_OBJECT_EX, offsetof(FrameObject, held), Py_READONLY,
     "Failures of nodes computed ahead of need, or None."},
    {"stale", Py_T_BOOL, offsetof(FrameObject, stale), 0,
     "A read returned a value that is not cached."},
    {nullptr},
};

// ---------------------------------------------------------------------------
// GraphBase

int
graph_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<GraphBaseObject *>(self)->nodes);
    return 0;
}

int
graph_clear(PyObject *self)
{
    Py_CLEAR(reinterpret_cast<GraphBaseObject *>(self)->nodes);
    return 0;
}

void
graph_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    graph_clear(self);
    type->tp_free(self);
}

PyObject *
graph_subscript(PyObject *self, PyObject *name)
{
    return read(Via::Graph, reinterpret_cast<GraphBaseObject *>(self)->nodes,
                name, self, name);
}

PyMappingMethods graph_mapping = {
    .mp_subscript = graph_subscript,
};

PyMemberDef graph_members[] = {
    {"_nodes", Py_T_OBJECT_EX, offsetof(GraphBaseObject, nodes), 0,
     "The graph's nodes by name (its engine's registry)."},
    {nullptr},
};

// ---------------------------------------------------------------------------
// ModelBase

int
model_traverse(PyObject *self, visitproc visit, void *arg)
{
    ModelBaseObject *m = reinterpret_cast<ModelBaseObject *>(self);
    Py_VISIT(m->graph);
    Py_VISIT(m->nodes);
    return 0;
}

int
model_clear(PyObject *self)
{
    ModelBaseObject *m = reinterpret_cast<ModelBaseObject *>(self);
    Py_CLEAR(m->graph);
    Py_CLEAR(m->nodes);
    return 0;
}

void
model_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    model_clear(self);
    type->tp_free(self);
}

PyMemberDef model_members[] = {
    {"_tarn_graph", Py_T_OBJECT_EX, offsetof(ModelBaseObject, graph), 0,
     "The instance's graph."},
    {"_tarn_nodes", Py_T_OBJECT_EX, offsetof(ModelBaseObject, nodes), 0,
     "The nodes of the instance's graph by name."},
    {nullptr},
};

// ---------------------------------------------------------------------------
// InputBase and ComputedBase

AttributeObject *
as_attribute(PyObject *o) noexcept
{
    return reinterpret_cast<AttributeObject *>(o);
}

int
attribute_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(as_attribute(self)->name);
    return 0;
}

int
attribute_clear(PyObject *self)
{
    Py_CLEAR(as_attribute(self)->name);
    return 0;
}

void
attribute_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    attribute_clear(self);
    type->tp_free(self);
}

// The nodes dict of `instance` when it is a model, else null (borrowed).
PyObject *
model_nodes(PyObject *instance) noexcept
{
    if (!PyObject_TypeCheck(instance, &ModelBaseType)) {
        return nullptr;
    }
    return reinterpret_cast<ModelBaseObject *>(instance)->nodes;
}

PyObject *
input_get(PyObject *self, PyObject *instance, PyObject *)
{
    if (!instance || instance == Py_None) {
        return Py_NewRef(self);
    }
    return read(Via::Input, model_nodes(instance), as_attribute(self)->name,
                self, instance);
}

PyObject *
computed_get(PyObject *self, PyObject *instance, PyObject *)
{
    if (!instance || instance == Py_None) {
        return Py_NewRef(self);
    }
    AttributeObject *a = as_attribute(self);
    if (a->overridden) {
        return python_read(Via::Computed, self, instance);
    }
    return read(Via::Computed, model_nodes(instance), a->name, self,
                instance);
}

PyMemberDef input_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(AttributeObject, name), 0,
     "The attribute's name (its node's name)."},
    {nullptr},
};

PyMemberDef computed_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(AttributeObject, name), 0,
     "The attribute's name (its node's name)."},
    {"overridden", Py_T_BOOL, offsetof(AttributeObject, overridden), 0,
     "A subclass defines its own attribute of this name."},
    {nullptr},
};

constexpr unsigned long kBaseFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

}  // namespace

PyTypeObject FrameType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.Frame",
    .tp_basicsize = sizeof(FrameObject),
    .tp_dealloc = frame_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Frame(node, parent, held, /)\n--\n\n"
              "One running computation: its node, what it read, and the "
              "frame that started it.",
    .tp_traverse = frame_traverse,
    .tp_clear = frame_clear,
    .tp_members = frame_members,
    .tp_new = frame_new,
};

PyTypeObject GraphBaseType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.GraphBase",
    .tp_basicsize = sizeof(GraphBaseObject),
    .tp_dealloc = graph_dealloc,
    .tp_as_mapping = &graph_mapping,
    .tp_flags = kBaseFlags,
    .tp_doc = "The base of Graph: its nodes and the read graph[name].",
    .tp_traverse = graph_traverse,
    .tp_clear = graph_clear,
    .tp_members = graph_members,
    .tp_new = PyType_GenericNew,
};

PyTypeObject ModelBaseType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.ModelBase",
    .tp_basicsize = sizeof(ModelBaseObject),
    .tp_dealloc = model_dealloc,
    .tp_flags = kBaseFlags,
    .tp_doc = "The base of Model: an instance's graph and nodes.",
    .tp_traverse = model_traverse,
    .tp_clear = model_clear,
    .tp_members = model_members,
    .tp_new = PyType_GenericNew,
};

PyTypeObject InputBaseType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.InputBase",
    .tp_basicsize = sizeof(AttributeObject),
    .tp_dealloc = attribute_dealloc,
    .tp_flags = kBaseFlags,
    .tp_doc = "The base of Input: the read of an input attribute.",
    .tp_traverse = attribute_traverse,
    .tp_clear = attribute_clear,
    .tp_members = input_members,
    .tp_descr_get = input_get,
    .tp_new = PyType_GenericNew,
};

PyTypeObject ComputedBaseType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.ComputedBase",
    .tp_basicsize = sizeof(AttributeObject),
    .tp_dealloc = attribute_dealloc,
    .tp_flags = kBaseFlags,
    .tp_doc = "The base of Computed: the read of a computed attribute.",
    .tp_traverse = attribute_traverse,
    .tp_clear = attribute_clear,
    .tp_members = computed_members,
    .tp_descr_get = computed_get,
    .tp_new = PyType_GenericNew,
};

PyObject *
frame_create(PyObject *node, PyObject *parent, PyObject *held) noexcept
{
    return frame_make(&FrameType, node, parent, held);
}

int
types_ready(PyObject *module) noexcept
{
    struct Entry {
        PyTypeObject *type;
        const char *name;
    };
    static const Entry entries[] = {
        {&FrameType, "Frame"},
        {&GraphBaseType, "GraphBase"},
        {&ModelBaseType, "ModelBase"},
        {&InputBaseType, "InputBase"},
        {&ComputedBaseType, "ComputedBase"},
    };
    for (const Entry &e : entries) {
        if (PyType_Ready(e.type) < 0 ||
            PyModule_AddObjectRef(module, e.name,
                                  reinterpret_cast<PyObject *>(e.type)) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace tarn::layer
