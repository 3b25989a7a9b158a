// The native bases of Graph, Model, Input and computed attributes: the
// reads `graph[name]` and `instance.attr`, the writes `graph[name] = value`,
// `del graph[name]` and `instance.attr = value`, registration, and the
// lifetime of graphs and model instances (unlinked from other graphs when
// freed).
#include "layer/layer.hpp"

#include <cstddef>

namespace tarn::layer {

namespace {

GraphObject *
as_graph(PyObject *o) noexcept
{
    return reinterpret_cast<GraphObject *>(o);
}

ModelObject *
as_model(PyObject *o) noexcept
{
    return reinterpret_cast<ModelObject *>(o);
}

AttributeObject *
as_attribute(PyObject *o) noexcept
{
    return reinterpret_cast<AttributeObject *>(o);
}

// The registry entry under `name`: borrowed, null with no error when absent.
// A name of another type than str may run its __eq__ while compared: the
// caller holds the registry and the name.
PyObject *
lookup(PyObject *nodes, PyObject *name) noexcept
{
    return PyDict_GetItemWithError(nodes, name);
}

int
check_name(PyObject *name) noexcept
{
    if (!PyUnicode_CheckExact(name)) {
        raise(PyExc_TypeError, Msg::NameType, Py_TYPE(name)->tp_name);
        return -1;
    }
    return 0;
}

int
no_structure(GraphObject *graph, PyObject *name, const char *action) noexcept
{
    if (graph->of_model) {
        raise(PyExc_TypeError, Msg::NoStructure, action, name);
        return -1;
    }
    return 0;
}

// Registers a new record under `name`, over whatever is there. 0 / -1.
int
define(GraphObject *graph, PyObject *name, PyObject *func, bool is_explicit,
       PyObject *value, PyObject *cutoff) noexcept
{
    if (no_structure(graph, name, "register") < 0 ||
        guard(graph, name, "register") < 0) {
        return -1;
    }
    Ref record = Ref::steal(
        record_new(graph->anchor, name, func, is_explicit, value, cutoff));
    if (!record) {
        return -1;
    }
    return register_node(graph, name, record.get());
}

// ---------------------------------------------------------------------------
// GraphBase

PyObject *
graph_new(PyTypeObject *type, PyObject *, PyObject *)
{
    Ref engine = Ref::steal(PyObject_CallNoArgs(
        reinterpret_cast<PyObject *>(core_engine_type)));
    if (!engine) {
        return nullptr;
    }
    PyObject *nodes = as_engine(engine.get())->nodes;
    if (!PyDict_CheckExact(nodes)) {
        PyErr_SetString(PyExc_TypeError, "a new engine's registry is not a dict");
        return nullptr;
    }
    Ref anchor = Ref::steal(reinterpret_cast<PyObject *>(
        PyObject_New(AnchorObject, &AnchorType)));
    if (!anchor) {
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    GraphObject *g = as_graph(self.get());
    g->nodes = Py_NewRef(nodes);
    g->engine = engine.release();
    g->missing = nullptr;
    g->anchor = reinterpret_cast<AnchorObject *>(anchor.release());
    g->anchor->graph = g;
    g->model = nullptr;
    g->weaklist = nullptr;
    g->of_model = 0;
    g->crossed = 0;
    return self.release();
}

int
graph_traverse(PyObject *self, visitproc visit, void *arg)
{
    GraphObject *g = as_graph(self);
    Py_VISIT(g->nodes);
    Py_VISIT(g->engine);
    Py_VISIT(g->missing);
    return 0;
}

int
graph_clear(PyObject *self)
{
    GraphObject *g = as_graph(self);
    Py_CLEAR(g->nodes);
    Py_CLEAR(g->engine);
    Py_CLEAR(g->missing);
    return 0;
}

// A graph nothing refers to but other graphs' edge lists (through its
// records, which hold only its anchor) is freed: its records leave those
// lists first, so a long-lived graph it read does not keep dead readers.
void
graph_finalize(PyObject *self)
{
    graph_unlink(as_graph(self));
}

void
graph_dealloc(PyObject *self)
{
    if (PyObject_CallFinalizerFromDealloc(self) < 0) {
        return;  // revived by a finaliser
    }
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    GraphObject *g = as_graph(self);
    if (g->weaklist) {
        PyObject_ClearWeakRefs(self);
    }
    graph_unlink(g);
    graph_release_edges(g);
    if (g->anchor) {
        g->anchor->graph = nullptr;
        Py_CLEAR(g->anchor);
    }
    graph_clear(self);
    type->tp_free(self);
}

PyObject *
graph_subscript(PyObject *self, PyObject *name)
{
    GraphObject *g = as_graph(self);
    PyObject *nodes = g->nodes;
    if (!nodes) {
        return raise(PyExc_ReferenceError, Msg::GraphGone, name);
    }
    if (PyUnicode_CheckExact(name)) {
        // An exact str compared with the keys runs no code.
        if (PyObject *found = lookup(nodes, name)) {
            // The common read: a hit with no computation running anywhere.
            if (active_frames == 0 && is_trusted(found)) {
                RecordObject *rec = as_record(found);
                if (is_hit(rec) && !rec->kept) {
                    return Py_NewRef(rec->node.cached_value);
                }
            }
            return read_found(found, name);
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
        return read_missing(g, name);
    }
    Ref held_self = Ref::borrow(self);
    Ref held_nodes = Ref::borrow(nodes);
    Ref held_name = Ref::borrow(name);
    Ref found = Ref::borrow(lookup(nodes, name));
    if (found) {
        return read_found(found.get(), name);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return read_missing(g, name);
}

int
graph_assign(PyObject *self, PyObject *name, PyObject *value)
{
    GraphObject *g = as_graph(self);
    if (!g->nodes) {
        raise(PyExc_ReferenceError, Msg::GraphGone, name);
        return -1;
    }
    Ref held_self = Ref::borrow(self);
    Ref held_name = Ref::borrow(name);
    if (!value) {
        if (no_structure(g, name, "delete") < 0) {
            return -1;
        }
        Ref node = Ref::borrow(lookup(g->nodes, name));
        if (!node) {
            if (!PyErr_Occurred()) {
                PyObject *args[] = {name, Py_None, self};
                Ref error = Ref::steal(
                    PyObject_Vectorcall(node_not_found, args, 3, nullptr));
                if (error) {
                    PyErr_SetObject(reinterpret_cast<PyObject *>(
                                        Py_TYPE(error.get())),
                                    error.get());
                }
            }
            return -1;
        }
        if (guard(g, name, "delete") < 0) {
            return -1;
        }
        return remove_node(g, name, node.get());
    }
    if (check_name(name) < 0) {
        return -1;
    }
    Ref node = Ref::borrow(lookup(g->nodes, name));
    if (!node) {
        if (PyErr_Occurred()) {
            return -1;
        }
        return define(g, name, Py_None, true, value, nullptr);
    }
    if (!is_node_like(node.get()) || !as_node(node.get())->is_explicit) {
        raise(PyExc_TypeError, Msg::SetComputed, name);
        return -1;
    }
    return set_input(g, node.get(), value);
}

PyMappingMethods graph_mapping = {
    .mp_subscript = graph_subscript,
    .mp_ass_subscript = graph_assign,
};

PyObject *
graph_input(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "_input() takes 3 arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    GraphObject *g = as_graph(self);
    PyObject *name = args[0];
    PyObject *equal = nullptr;
    if (check_name(name) < 0 || cutoff_of(args[2], equal) < 0) {
        return nullptr;
    }
    Ref node = Ref::borrow(lookup(g->nodes, name));
    if (!node && PyErr_Occurred()) {
        return nullptr;
    }
    if (node && is_node_like(node.get()) && as_node(node.get())->is_explicit) {
        if (Py_IS_TYPE(node.get(), &RecordType)) {
            RecordObject *r = as_record(node.get());
            PyObject *old = r->equal;
            r->equal = Py_XNewRef(equal);
            Py_XDECREF(old);
        }
        if (set_input(g, node.get(), args[1]) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    if (define(g, name, Py_None, true, args[1], equal) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *
graph_define(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "_define() takes 3 arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    PyObject *equal = nullptr;
    if (cutoff_of(args[2], equal) < 0 || check_name(args[0]) < 0 ||
        define(as_graph(self), args[0], args[1], false, Py_None, equal) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// _touch(name): the input `name` was changed in place: its readers are
// invalidated as if it had been set.
PyObject *
graph_touch(PyObject *self, PyObject *name)
{
    GraphObject *g = as_graph(self);
    Ref held_name = Ref::borrow(name);
    Ref node = Ref::borrow(g->nodes ? lookup(g->nodes, name) : nullptr);
    if (!node) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        PyObject *args[] = {name, Py_None, self};
        Ref error = Ref::steal(PyObject_Vectorcall(node_not_found, args, 3, nullptr));
        if (error) {
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())),
                            error.get());
        }
        return nullptr;
    }
    if (!is_node_like(node.get()) || !as_node(node.get())->is_explicit) {
        return raise(PyExc_TypeError, Msg::TouchComputed, name);
    }
    if (touch_input(g, node.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// peek(name): graph[name], recorded by no computation.
PyObject *
graph_peek(PyObject *self, PyObject *name)
{
    bool failed = false;
    Frame *frame = running_frame(PyThreadState_Get(), false, failed);
    if (failed) {
        return nullptr;
    }
    if (frame) {
        ++frame->suspended;
    }
    PyObject *value = graph_subscript(self, name);
    if (frame) {
        --frame->suspended;
    }
    return value;
}

PyObject *
graph_get_missing(PyObject *self, void *)
{
    PyObject *missing = as_graph(self)->missing;
    return Py_NewRef(missing ? missing : Py_None);
}

PyObject *
graph_get_nodes(PyObject *self, void *)
{
    PyObject *nodes = as_graph(self)->nodes;
    return Py_NewRef(nodes ? nodes : Py_None);
}

PyObject *
graph_get_engine(PyObject *self, void *)
{
    PyObject *engine = as_graph(self)->engine;
    return Py_NewRef(engine ? engine : Py_None);
}

PyObject *
graph_get_owner(PyObject *self, void *)
{
    PyObject *owner = graph_owner(as_graph(self));
    return Py_NewRef(owner ? owner : Py_None);
}

PyObject *
graph_get_of_model(PyObject *self, void *)
{
    return PyBool_FromLong(as_graph(self)->of_model);
}

PyMethodDef graph_methods[] = {
    {"_input", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(graph_input)),
     METH_FASTCALL,
     "_input($self, name, value, cutoff, /)\n--\n\n"
     "Sets the input `name`, or registers an input of that name over "
     "whatever is there; `cutoff` becomes its equality."},
    {"_touch", graph_touch, METH_O,
     "_touch($self, name, /)\n--\n\n"
     "Invalidates the readers of the input `name` as a set would."},
    {"peek", graph_peek, METH_O,
     "peek($self, name, /)\n--\n\n"
     "The value of node `name`, as graph[name] gives it, recorded by no "
     "computation."},
    {"_define", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(graph_define)),
     METH_FASTCALL,
     "_define($self, name, func, cutoff, /)\n--\n\n"
     "Registers a computed node over whatever is there."},
    {nullptr},
};

PyGetSetDef graph_getset[] = {
    {"engine", graph_get_engine, nullptr,
     "The engine whose registry holds the graph's nodes.", nullptr},
    {"_nodes", graph_get_nodes, nullptr,
     "The graph's nodes by name (its engine's registry).", nullptr},
    {"_missing", graph_get_missing, nullptr,
     "Readers whose cached computations missed a name, by that name "
     "(None when there are none).", nullptr},
    {"_owner", graph_get_owner, nullptr,
     "What node functions take: the graph, or its model instance (None "
     "once that is gone).", nullptr},
    {"_of_model", graph_get_of_model, nullptr,
     "The graph belongs to a model instance.", nullptr},
    {nullptr},
};

// ---------------------------------------------------------------------------
// ModelBase

int
model_traverse(PyObject *self, visitproc visit, void *arg)
{
    ModelObject *m = as_model(self);
    Py_VISIT(m->graph);
    Py_VISIT(m->nodes);
    return 0;
}

int
model_clear(PyObject *self)
{
    ModelObject *m = as_model(self);
    Py_CLEAR(m->graph);
    Py_CLEAR(m->nodes);
    return 0;
}

// A model instance's nodes refer to it only weakly: when it is freed, its
// nodes leave other graphs' lists, as a graph's do.
void
model_finalize(PyObject *self)
{
    PyObject *graph = as_model(self)->graph;
    if (graph && PyObject_TypeCheck(graph, &GraphBaseType)) {
        graph_unlink(as_graph(graph));
    }
}

void
model_dealloc(PyObject *self)
{
    if (PyObject_CallFinalizerFromDealloc(self) < 0) {
        return;
    }
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    ModelObject *m = as_model(self);
    if (m->weaklist) {
        PyObject_ClearWeakRefs(self);
    }
    PyObject *graph = m->graph;
    if (graph && PyObject_TypeCheck(graph, &GraphBaseType)) {
        // A subclass's __del__ replaces the finaliser above: unlink here too.
        graph_unlink(as_graph(graph));
        if (as_graph(graph)->model == self) {
            as_graph(graph)->model = nullptr;
        }
    }
    model_clear(self);
    type->tp_free(self);
}

// Writes to a model instance: a data descriptor of its class (an input, a
// computed attribute, a property with a setter) takes them, and so does a
// name beginning with an underscore; any other name is a mistake, most
// likely a mistyped input, and refused.
int
model_setattro(PyObject *self, PyObject *name, PyObject *value)
{
    if (value && PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0 &&
        PyUnicode_READ_CHAR(name, 0) != '_') {
        PyObject *descr = _PyType_Lookup(Py_TYPE(self), name);  // borrowed
        if (!descr || !Py_TYPE(descr)->tp_descr_set) {
            PyObject *args[] = {reinterpret_cast<PyObject *>(Py_TYPE(self)), name};
            Ref error = Ref::steal(PyObject_Vectorcall(missing_input, args, 2, nullptr));
            if (error) {
                PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())),
                                error.get());
            }
            return -1;
        }
    }
    return PyObject_GenericSetAttr(self, name, value);
}

PyObject *
model_get_graph(PyObject *self, void *)
{
    PyObject *graph = as_model(self)->graph;
    if (!graph) {
        return raise(PyExc_AttributeError, Msg::NoGraph, Py_TYPE(self)->tp_name);
    }
    return Py_NewRef(graph);
}

PyObject *
model_get_nodes(PyObject *self, void *)
{
    PyObject *nodes = as_model(self)->nodes;
    if (!nodes) {
        return raise(PyExc_AttributeError, Msg::NoGraph, Py_TYPE(self)->tp_name);
    }
    return Py_NewRef(nodes);
}

PyGetSetDef model_getset[] = {
    {"_tarn_graph", model_get_graph, nullptr, "The instance's graph.", nullptr},
    {"_tarn_nodes", model_get_nodes, nullptr,
     "The nodes of the instance's graph by name.", nullptr},
    {nullptr},
};

// ---------------------------------------------------------------------------
// InputBase and ComputedBase

int
attribute_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(as_attribute(self)->name);
    Py_VISIT(as_attribute(self)->func);
    Py_VISIT(as_attribute(self)->cutoff);
    return 0;
}

int
attribute_clear(PyObject *self)
{
    Py_CLEAR(as_attribute(self)->name);
    Py_CLEAR(as_attribute(self)->func);
    Py_CLEAR(as_attribute(self)->cutoff);
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

// The node of attribute `self` in `instance`, or null with an exception.
Ref
attribute_node(PyObject *self, PyObject *instance) noexcept
{
    PyObject *name = as_attribute(self)->name;
    if (!PyObject_TypeCheck(instance, &ModelBaseType) ||
        !as_model(instance)->nodes || !name) {
        raise(PyExc_AttributeError, Msg::NoGraph, Py_TYPE(instance)->tp_name);
        return {};
    }
    ModelObject *m = as_model(instance);
    Ref nodes = Ref::borrow(m->nodes);
    Ref held_name = Ref::borrow(name);
    Ref node;
    if (PyDict_CheckExact(nodes.get())) {
        // A name of another type than str may run code while compared.
        node = Ref::borrow(PyDict_GetItemWithError(nodes.get(), name));
    }
    else {
        node = Ref::steal(PyObject_GetItem(nodes.get(), name));
        if (!node && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
        }
    }
    if (!node && !PyErr_Occurred()) {
        PyObject *graph = m->graph;
        if (graph && PyObject_TypeCheck(graph, &GraphBaseType)) {
            read_missing(as_graph(graph), name);
        }
        else {
            raise(PyExc_AttributeError, Msg::NoGraph, Py_TYPE(instance)->tp_name);
        }
    }
    return node;
}

PyObject *
input_get(PyObject *self, PyObject *instance, PyObject *)
{
    if (!instance || instance == Py_None) {
        return Py_NewRef(self);
    }
    Ref node = attribute_node(self, instance);
    if (!node) {
        return nullptr;
    }
    return read_found(node.get(), as_attribute(self)->name);
}

int
input_set(PyObject *self, PyObject *instance, PyObject *value)
{
    AttributeObject *a = as_attribute(self);
    if (!value) {
        raise(PyExc_AttributeError, Msg::DeleteInput, a->name ? a->name : Py_None);
        return -1;
    }
    Ref node = attribute_node(self, instance);
    if (!node) {
        return -1;
    }
    PyObject *graph = as_model(instance)->graph;
    if (!graph || !PyObject_TypeCheck(graph, &GraphBaseType)) {
        raise(PyExc_AttributeError, Msg::NoGraph, Py_TYPE(instance)->tp_name);
        return -1;
    }
    if (!is_node_like(node.get()) || !as_node(node.get())->is_explicit) {
        raise(PyExc_TypeError, Msg::SetComputed, a->name);
        return -1;
    }
    Ref held_graph = Ref::borrow(graph);
    return set_input(as_graph(graph), node.get(), value);
}

PyObject *
computed_get(PyObject *self, PyObject *instance, PyObject *)
{
    if (!instance || instance == Py_None) {
        return Py_NewRef(self);
    }
    AttributeObject *a = as_attribute(self);
    if (a->overridden) {
        // A subclass redefines the name: unless this is still the
        // attribute the instance's class uses, the read is a super() call,
        // which runs this function as part of the current computation.
        Ref computeds = Ref::steal(PyObject_GetAttrString(
            reinterpret_cast<PyObject *>(Py_TYPE(instance)), "_tarn_computed"));
        if (!computeds) {
            return nullptr;
        }
        Ref used = Ref::steal(PyObject_CallMethod(computeds.get(), "get", "O",
                                                  a->name ? a->name : Py_None));
        if (!used) {
            return nullptr;
        }
        if (used.get() != self) {
            if (!a->func) {
                return raise(PyExc_AttributeError, Msg::NoGraph,
                             Py_TYPE(instance)->tp_name);
            }
            Ref func = Ref::borrow(a->func);
            return PyObject_CallOneArg(func.get(), instance);
        }
    }
    Ref node = attribute_node(self, instance);
    if (!node) {
        return nullptr;
    }
    return read_found(node.get(), a->name);
}

int
computed_set(PyObject *self, PyObject *, PyObject *value)
{
    PyObject *name = as_attribute(self)->name;
    raise(PyExc_AttributeError,
          value ? Msg::SetComputedAttr : Msg::DeleteComputedAttr,
          name ? name : Py_None);
    return -1;
}

PyMemberDef input_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(AttributeObject, name), 0,
     "The attribute's name (its node's name)."},
    {"cutoff", Py_T_OBJECT_EX, offsetof(AttributeObject, cutoff), 0,
     "False, True or a callable (old, new) -> unchanged: a set to an "
     "unchanged value changes nothing."},
    {nullptr},
};

PyMemberDef computed_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(AttributeObject, name), 0,
     "The attribute's name (its node's name)."},
    {"func", Py_T_OBJECT_EX, offsetof(AttributeObject, func), 0,
     "The function that computes the attribute."},
    {"cutoff", Py_T_OBJECT_EX, offsetof(AttributeObject, cutoff), 0,
     "False, True or a callable (old, new) -> unchanged: a recomputation "
     "to an unchanged value leaves the readers as they were."},
    {"overridden", Py_T_BOOL, offsetof(AttributeObject, overridden), 0,
     "A subclass defines its own attribute of this name."},
    {nullptr},
};

constexpr unsigned long kBaseFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

}  // namespace

PyObject *
graph_owner(GraphObject *graph) noexcept
{
    return graph->of_model ? graph->model : reinterpret_cast<PyObject *>(graph);
}

PyTypeObject GraphBaseType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.GraphBase",
    .tp_basicsize = sizeof(GraphObject),
    .tp_dealloc = graph_dealloc,
    .tp_as_mapping = &graph_mapping,
    .tp_flags = kBaseFlags,
    .tp_doc = "The base of Graph: its registry, reads, writes and "
              "registration.",
    .tp_traverse = graph_traverse,
    .tp_clear = graph_clear,
    .tp_weaklistoffset = offsetof(GraphObject, weaklist),
    .tp_methods = graph_methods,
    .tp_getset = graph_getset,
    .tp_new = graph_new,
    .tp_finalize = graph_finalize,
};

PyTypeObject ModelBaseType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.ModelBase",
    .tp_basicsize = sizeof(ModelObject),
    .tp_dealloc = model_dealloc,
    .tp_setattro = model_setattro,
    .tp_flags = kBaseFlags,
    .tp_doc = "The base of Model: an instance's graph and nodes, and the "
              "refusal of names that are none of its inputs.",
    .tp_traverse = model_traverse,
    .tp_clear = model_clear,
    .tp_weaklistoffset = offsetof(ModelObject, weaklist),
    .tp_getset = model_getset,
    .tp_new = PyType_GenericNew,
    .tp_finalize = model_finalize,
};

PyTypeObject InputBaseType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.InputBase",
    .tp_basicsize = sizeof(AttributeObject),
    .tp_dealloc = attribute_dealloc,
    .tp_flags = kBaseFlags,
    .tp_doc = "The base of Input: reads and writes of an input attribute.",
    .tp_traverse = attribute_traverse,
    .tp_clear = attribute_clear,
    .tp_members = input_members,
    .tp_descr_get = input_get,
    .tp_descr_set = input_set,
    .tp_new = PyType_GenericNew,
};

PyTypeObject ComputedBaseType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn._layer.ComputedBase",
    .tp_basicsize = sizeof(AttributeObject),
    .tp_dealloc = attribute_dealloc,
    .tp_flags = kBaseFlags,
    .tp_doc = "The base of computed attributes: their reads.",
    .tp_traverse = attribute_traverse,
    .tp_clear = attribute_clear,
    .tp_members = computed_members,
    .tp_descr_get = computed_get,
    .tp_descr_set = computed_set,
    .tp_new = PyType_GenericNew,
};

// ---------------------------------------------------------------------------
// Module functions used by the Python package

namespace {

// model_graph(instance, graph_class): makes `instance`'s graph, empty.
PyObject *
model_graph(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2 || !PyObject_TypeCheck(args[0], &ModelBaseType) ||
        !PyType_Check(args[1]) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(args[1]),
                          &GraphBaseType)) {
        PyErr_SetString(PyExc_TypeError,
                        "model_graph() takes a model instance and a Graph class");
        return nullptr;
    }
    Ref graph = Ref::steal(PyObject_CallNoArgs(args[1]));
    if (!graph) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(graph.get(), &GraphBaseType)) {
        PyErr_SetString(PyExc_TypeError, "the Graph class made no graph");
        return nullptr;
    }
    GraphObject *g = as_graph(graph.get());
    ModelObject *m = as_model(args[0]);
    g->of_model = 1;
    g->model = args[0];
    PyObject *old_graph = m->graph;
    PyObject *old_nodes = m->nodes;
    m->graph = Py_NewRef(graph.get());
    m->nodes = Py_NewRef(g->nodes);
    if (old_graph && PyObject_TypeCheck(old_graph, &GraphBaseType) &&
        as_graph(old_graph)->model == args[0]) {
        as_graph(old_graph)->model = nullptr;
    }
    Py_XDECREF(old_graph);
    Py_XDECREF(old_nodes);
    return graph.release();
}

// The cut-off an attribute asks for (borrowed), or -1 for a bad one.
int
attribute_cutoff(PyObject *attribute, PyObject *&equal) noexcept
{
    equal = nullptr;
    if (!PyObject_TypeCheck(attribute, &InputBaseType) &&
        !PyObject_TypeCheck(attribute, &ComputedBaseType)) {
        return 0;
    }
    PyObject *cutoff = as_attribute(attribute)->cutoff;
    return cutoff ? cutoff_of(cutoff, equal) : 0;
}

// build_model(instance, graph_class, values, inputs, computeds): the
// instance's graph with an input per item of `values` (name -> value, with
// the equality of inputs[name]) and a computed node per item of
// `computeds` (name -> computed attribute).
PyObject *
build_model(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 5 || !PyDict_Check(args[2]) || !PyDict_Check(args[3]) ||
        !PyDict_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError,
                        "build_model() takes an instance, a Graph class and "
                        "three dicts");
        return nullptr;
    }
    Ref graph = Ref::steal(model_graph(module, args, 2));
    if (!graph) {
        return nullptr;
    }
    GraphObject *g = as_graph(graph.get());
    Ref nodes = Ref::borrow(g->nodes);
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(args[2], &pos, &name, &value)) {
        if (check_name(name) < 0) {
            return nullptr;
        }
        PyObject *spec = PyDict_GetItemWithError(args[3], name);
        PyObject *equal = nullptr;
        if ((!spec && PyErr_Occurred()) ||
            (spec && attribute_cutoff(spec, equal) < 0)) {
            return nullptr;
        }
        Ref record = Ref::steal(record_new(g->anchor, name, Py_None, true, value, equal));
        if (!record || PyDict_SetItem(nodes.get(), name, record.get()) < 0) {
            return nullptr;
        }
    }
    pos = 0;
    while (PyDict_Next(args[4], &pos, &name, &value)) {
        if (check_name(name) < 0) {
            return nullptr;
        }
        if (!PyObject_TypeCheck(value, &ComputedBaseType) ||
            !as_attribute(value)->func) {
            PyErr_Format(PyExc_TypeError, "%R is not a computed attribute", value);
            return nullptr;
        }
        AttributeObject *a = as_attribute(value);
        PyObject *equal = nullptr;
        if (attribute_cutoff(value, equal) < 0) {
            return nullptr;
        }
        Ref record = Ref::steal(
            record_new(g->anchor, name, a->func, false, Py_None, equal));
        if (!record || PyDict_SetItem(nodes.get(), name, record.get()) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// make_record(graph, name, func, is_explicit, value, cutoff, valid, ok,
// last, changed, verified): a record of `graph` with the state given, not
// registered (pickling builds graphs from these).
PyObject *
make_record(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 11 || !PyObject_TypeCheck(args[0], &GraphBaseType)) {
        PyErr_SetString(PyExc_TypeError,
                        "make_record() takes a graph and ten fields");
        return nullptr;
    }
    if (check_name(args[1]) < 0) {
        return nullptr;
    }
    int is_explicit = PyObject_IsTrue(args[3]);
    PyObject *equal = nullptr;
    int valid = is_explicit < 0 || cutoff_of(args[5], equal) < 0
                    ? -1
                    : PyObject_IsTrue(args[6]);
    int ok = valid < 0 ? -1 : PyObject_IsTrue(args[7]);
    if (ok < 0) {
        return nullptr;
    }
    long long changed = PyLong_AsLongLong(args[9]);
    long long verified = changed == -1 && PyErr_Occurred()
                             ? -1
                             : PyLong_AsLongLong(args[10]);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    GraphObject *g = as_graph(args[0]);
    PyObject *record = record_new(g->anchor, args[1], args[2], is_explicit,
                                  is_explicit || valid ? args[4] : Py_None,
                                  equal);
    if (!record) {
        return nullptr;
    }
    RecordObject *r = as_record(record);
    r->node.is_valid = is_explicit || valid;
    r->ok = static_cast<uint8_t>(ok);
    if (ok) {
        r->last = Py_NewRef(args[8]);
    }
    r->changed = changed;
    r->verified = verified;
    return record;
}

// note_missing(graph, name, reader): records that `reader`'s cached
// computation missed `name` of `graph`.
PyObject *
note_missing(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3 || !PyObject_TypeCheck(args[0], &GraphBaseType) ||
        !is_trusted(args[2])) {
        PyErr_SetString(PyExc_TypeError,
                        "note_missing() takes a graph, a name and a record");
        return nullptr;
    }
    if (check_name(args[1]) < 0) {
        return nullptr;
    }
    GraphObject *g = as_graph(args[0]);
    RecordObject *r = as_record(args[2]);
    Ref pair = Ref::steal(PyTuple_Pack(2, g->anchor, args[1]));
    if (!pair) {
        return nullptr;
    }
    if (!r->missed && !(r->missed = PyList_New(0))) {
        return nullptr;
    }
    if (!g->missing && !(g->missing = PyDict_New())) {
        return nullptr;
    }
    PyObject *readers = PyDict_GetItemWithError(g->missing, args[1]);
    Ref made;
    if (!readers) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        made = Ref::steal(PyDict_New());
        if (!made || PyDict_SetItem(g->missing, args[1], made.get()) < 0) {
            return nullptr;
        }
        readers = made.get();
    }
    if (PyList_Append(r->missed, pair.get()) < 0 ||
        PyDict_SetItem(readers, args[2], Py_None) < 0) {
        return nullptr;
    }
    if (r->anchor != g->anchor) {
        g->crossed = 1;
        if (r->anchor && r->anchor->graph) {
            r->anchor->graph->crossed = 1;
        }
    }
    Py_RETURN_NONE;
}

PyObject *
get_revision(PyObject *, PyObject *)
{
    return PyLong_FromLongLong(revision);
}

PyObject *
get_floor(PyObject *, PyObject *)
{
    return PyLong_FromLongLong(floor_revision);
}

PyObject *
get_current(PyObject *, PyObject *)
{
    bool failed = false;
    Frame *frame = running_frame(PyThreadState_Get(), true, failed);
    if (failed) {
        return nullptr;
    }
    return frame_snapshot(frame);
}

}  // namespace

// Whether `func` is a plain function that is not asynchronous: its code's
// flags say so, unless it was marked a coroutine function by hand, which
// leaves a marker in its dictionary (looked at without making one).
PyObject *
plain_function(PyObject *, PyObject *func)
{
    if (!PyFunction_Check(func)) {
        Py_RETURN_FALSE;
    }
    auto *f = reinterpret_cast<PyFunctionObject *>(func);
    PyObject *code = f->func_code;
    if (!PyCode_Check(code) || (reinterpret_cast<PyCodeObject *>(code)->co_flags &
                                (CO_COROUTINE | CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE))) {
        Py_RETURN_FALSE;
    }
    PyObject *dict = f->func_dict;
    if (dict && PyDict_GET_SIZE(dict) != 0) {
        Ref key = Ref::steal(PyUnicode_InternFromString("_is_coroutine_marker"));
        if (!key) {
            return nullptr;
        }
        int has = PyDict_Contains(dict, key.get());
        if (has != 0) {
            return has < 0 ? nullptr : Py_NewRef(Py_False);
        }
    }
    Py_RETURN_TRUE;
}

PyMethodDef module_functions[] = {
    {"plain_function", plain_function, METH_O,
     "plain_function(func, /)\n--\n\n"
     "Whether `func` is a plain function that is not asynchronous."},
    {"model_graph", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(model_graph)),
     METH_FASTCALL,
     "model_graph(instance, graph_class, /)\n--\n\n"
     "Makes a model instance's graph, empty, and returns it."},
    {"build_model", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(build_model)),
     METH_FASTCALL,
     "build_model(instance, graph_class, values, inputs, computeds, /)\n--\n\n"
     "Makes a model instance's graph with its inputs and computed nodes."},
    {"make_record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(make_record)),
     METH_FASTCALL,
     "make_record(graph, name, func, is_explicit, value, cutoff, valid, ok, "
     "last, changed, verified, /)\n--\n\n"
     "A node of `graph` in the state given, not registered."},
    {"note_missing", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(note_missing)),
     METH_FASTCALL,
     "note_missing(graph, name, reader, /)\n--\n\n"
     "Records that the reader's cached computation missed `name` of `graph`."},
    {"revision", get_revision, METH_NOARGS,
     "revision()\n--\n\nThe revision: it moves on every change."},
    {"floor", get_floor, METH_NOARGS,
     "floor()\n--\n\n"
     "Values computed before this revision are checked again before use."},
    {"current", get_current, METH_NOARGS,
     "current()\n--\n\n"
     "A snapshot of the computation running in this thread or task that "
     "reads are recorded into, or None."},
    {nullptr},
};

int
bases_ready(PyObject *module) noexcept
{
    struct Entry {
        PyTypeObject *type;
        const char *name;
    };
    static const Entry entries[] = {
        {&GraphBaseType, "GraphBase"},
        {&ModelBaseType, "ModelBase"},
        {&InputBaseType, "InputBase"},
        {&ComputedBaseType, "ComputedBase"},
    };
    for (const Entry &e : entries) {
        if (ready_static(e.type) < 0 ||
            PyModule_AddObjectRef(module, e.name,
                                  reinterpret_cast<PyObject *>(e.type)) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace tarn::layer
