// Changes to graphs: setting an input, registering a node (over a name or
// anew), removing one, and unlinking a graph that is being freed.
//
// Each change either completes or does not happen. Everything that can
// fail (copies of reader lists, room for the references it drops, the
// registry's own store) comes before the first write. What follows the
// writes is the invalidation of the readers, the core's own walk: when
// that fails (an allocation, an override of a foreign node raising), the
// floor revision moves to the current revision, so that every value
// computed before it is checked again before it is used, and the failure
// is raised.
#include "layer/layer.hpp"

namespace tarn::layer {

namespace {

// A copy of a node's readers: invalidating them runs finalisers of the
// values it drops, which may change the list. New / null. Read-only: with
// no readers it is a list shared by every caller.
PyObject *
readers_of(PyObject *node) noexcept
{
    // One empty list stands for "no readers" (most inputs have none when
    // set): it is only ever read, and never shown to scripts.
    static PyObject *none = nullptr;
    PyObject *readers = as_node(node)->dependents;
    if (!PyList_CheckExact(readers) || PyList_GET_SIZE(readers) == 0) {
        if (!none) {
            none = PyList_New(0);
            if (!none) {
                return nullptr;
            }
        }
        return Py_NewRef(none);
    }
    return PyList_GetSlice(readers, 0, PyList_GET_SIZE(readers));
}

// Invalidates each reader through the core's walk; `force` also makes a
// record compute again rather than take its last value back (its edges no
// longer say what it read). 0 / -1.
int
invalidate(PyObject *readers, bool force) noexcept
{
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(readers); ++i) {
        PyObject *reader = PyList_GET_ITEM(readers, i);
        if (Py_IS_TYPE(reader, &RecordType)) {
            RecordObject *r = as_record(reader);
            if (force) {
                r->ok = 0;
            }
            NodeObject *n = &r->node;
            if (!n->is_valid || n->is_explicit) {
                continue;  // stale already (so is all it reaches), or an input
            }
            if (PyList_CheckExact(n->dependents) &&
                PyList_GET_SIZE(n->dependents) == 0) {
                // A reader nothing reads: its whole walk is this, and its
                // type carries no replacement of invalidate. The readers'
                // copy holds it, so what the old value's finaliser does
                // cannot pull it away.
                n->is_valid = 0;
                PyObject *old = n->cached_value;
                n->cached_value = Py_NewRef(Py_None);
                Py_DECREF(old);
                continue;
            }
        }
        else if (!is_node_like(reader)) {
            continue;
        }
        if (core_node_table->invalidate(as_node(reader), 1) < 0) {
            floor_revision = revision;
            return -1;
        }
    }
    return 0;
}

// Takes `node` out of the graph it was in: out of its dependencies'
// reader lists, out of its readers' dependency lists (with `readers`), and
// out of the tables of names it missed. The references dropped go to
// `dropped`, which must have room for every edge plus three. Never fails.
void
detach(PyObject *node, bool readers, PyObject *empty_deps,
       PyObject *empty_readers, Dropped &dropped) noexcept
{
    NodeObject *n = as_node(node);
    if (PyList_CheckExact(n->dependencies)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(n->dependencies); ++i) {
            PyObject *dep = PyList_GET_ITEM(n->dependencies, i);
            if (is_node_like(dep) && PyList_CheckExact(as_node(dep)->dependents)) {
                dropped.add(list_take(as_node(dep)->dependents, node));
            }
        }
    }
    if (readers && PyList_CheckExact(n->dependents)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(n->dependents); ++i) {
            PyObject *reader = PyList_GET_ITEM(n->dependents, i);
            if (is_node_like(reader) &&
                PyList_CheckExact(as_node(reader)->dependencies)) {
                dropped.add(list_take(as_node(reader)->dependencies, node));
            }
        }
    }
    dropped.add(n->dependencies);
    n->dependencies = Py_NewRef(empty_deps);
    dropped.add(n->dependents);
    n->dependents = Py_NewRef(empty_readers);
    if (Py_IS_TYPE(node, &RecordType)) {
        RecordObject *r = as_record(node);
        forget_misses(node, r->missed, nullptr);
        dropped.add(r->missed);
        r->missed = nullptr;
        // Out of the registry: a computation of it still running caches
        // nothing and links nothing.
        r->trusted = 0;
    }
}

// While this thread traces: what invalidating `roots` (and `more`) will
// clear, as labels, found before the walk clears it (each valid computed
// node reached through the readers' lists). Null when not tracing.
Ref
traced_reach(PyObject *roots, PyObject *more = nullptr) noexcept
{
    if (!tracer()) {
        return {};
    }
    PyObject *raised = PyErr_GetRaisedException();
    Ref found = Ref::steal(PyList_New(0));
    Ref seen = Ref::steal(PySet_New(nullptr));
    Ref todo = Ref::steal(PyList_New(0));
    bool ok = found && seen && todo;
    for (PyObject *list : {roots, more}) {
        if (ok && list && PyList_CheckExact(list)) {
            ok = PyList_SetSlice(todo.get(), PyList_GET_SIZE(todo.get()),
                                 PyList_GET_SIZE(todo.get()), list) == 0;
        }
    }
    while (ok && PyList_GET_SIZE(todo.get()) > 0) {
        Py_ssize_t last = PyList_GET_SIZE(todo.get()) - 1;
        Ref node = Ref::borrow(PyList_GET_ITEM(todo.get(), last));
        ok = PyList_SetSlice(todo.get(), last, last + 1, nullptr) == 0;
        if (!ok || !is_node_like(node.get())) {
            continue;
        }
        NodeObject *n = as_node(node.get());
        int already = PySet_Contains(seen.get(), node.get());
        if (already != 0 || n->is_explicit || !n->is_valid) {
            ok = already >= 0;
            continue;
        }
        Ref shown = Ref::steal(trace_label(node.get()));
        ok = shown && PySet_Add(seen.get(), node.get()) == 0 &&
             PyList_Append(found.get(), shown.get()) == 0;
        if (ok && PyList_CheckExact(n->dependents)) {
            ok = PyList_SetSlice(todo.get(), PyList_GET_SIZE(todo.get()),
                                 PyList_GET_SIZE(todo.get()), n->dependents) == 0;
        }
    }
    if (!ok) {
        PyErr_Clear();
        found = Ref();
    }
    PyErr_SetRaisedException(raised);
    return found;
}

// Tells this thread's tracer of a change.
void
report(const char *kind, PyObject *node, PyObject *reached) noexcept
{
    if (!tracer()) {
        return;
    }
    Ref shown = Ref::steal(trace_label(node));
    Ref nodes = reached ? Ref::steal(PyList_AsTuple(reached)) : Ref::steal(PyTuple_New(0));
    if (!shown || !nodes) {
        PyErr_Clear();
        return;
    }
    Ref what = Ref::steal(PyUnicode_FromString(kind));
    if (!what) {
        PyErr_Clear();
        return;
    }
    PyObject *args[] = {what.get(), shown.get(), nodes.get()};
    trace("change", args, 3);
}

// The end of a change: the effects it made stale run, unless the change
// already failed (its error is raised; they run after the next change).
int
finish(int rc) noexcept
{
    if (rc < 0) {
        return -1;
    }
    return after_change();
}

Py_ssize_t
edges_of(PyObject *node) noexcept
{
    NodeObject *n = as_node(node);
    Py_ssize_t count = 0;
    if (PyList_CheckExact(n->dependencies)) {
        count += PyList_GET_SIZE(n->dependencies);
    }
    if (PyList_CheckExact(n->dependents)) {
        count += PyList_GET_SIZE(n->dependents);
    }
    return count;
}

}  // namespace

namespace {

// The change of an input, made: its readers are invalidated through the
// core's walk. `value` is the new value, or null for a touch. 0 / -1.
int
change_input(PyObject *node, PyObject *value) noexcept
{
    Ref readers = Ref::steal(readers_of(node));
    Dropped dropped;
    if (!readers || dropped.reserve(1) < 0) {
        return -1;
    }
    ++revision;
    if (Py_IS_TYPE(node, &RecordType)) {
        as_record(node)->changed = revision;
    }
    if (value) {
        dropped.add(as_node(node)->cached_value);
        as_node(node)->cached_value = Py_NewRef(value);
    }
    Ref reached = traced_reach(readers.get());
    int rc = invalidate(readers.get(), false);
    report(value ? "set" : "touch", node, reached.get());
    dropped.release();
    return finish(rc);
}

}  // namespace

int
set_input(GraphObject *graph, PyObject *node, PyObject *value) noexcept
{
    Ref held_node = Ref::borrow(node);
    if (guard(graph, as_node(node)->name, "set") < 0) {
        return -1;
    }
    PyObject *old = as_node(node)->cached_value;
    if (old == value) {
        return 0;  // the very object: nothing changes
    }
    PyObject *equal = Py_IS_TYPE(node, &RecordType) ? as_record(node)->equal : nullptr;
    if (equal) {
        // An unchanged value under the input's own equality changes nothing.
        Ref held_old = Ref::borrow(old);
        int same = unchanged(equal, value, old);
        if (same != 0) {
            return same < 0 ? -1 : 0;
        }
    }
    return change_input(node, value);
}

int
touch_input(GraphObject *graph, PyObject *node) noexcept
{
    Ref held_node = Ref::borrow(node);
    if (guard(graph, as_node(node)->name, "touch") < 0) {
        return -1;
    }
    return change_input(node, nullptr);
}

int
register_node(GraphObject *graph, PyObject *name, PyObject *record) noexcept
{
    Ref held_record = Ref::borrow(record);
    PyObject *nodes = graph->nodes;
    if (!nodes || !PyDict_CheckExact(nodes)) {
        PyErr_SetString(PyExc_TypeError, "the graph's registry is not a dict");
        return -1;
    }
    Ref held_nodes = Ref::borrow(nodes);
    Ref old = Ref::borrow(PyDict_GetItemWithError(nodes, name));
    if (!old && PyErr_Occurred()) {
        return -1;
    }
    if (old && !is_node_like(old.get())) {
        old = Ref();  // not a node: simply replaced
    }
    Ref waiting;
    if (graph->missing) {
        PyObject *table = PyDict_GetItemWithError(graph->missing, name);
        if (table) {
            waiting = Ref::steal(PyDict_Keys(table));
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    // Everything that can fail, before anything changes.
    Ref readers, empty_deps, empty_readers;
    Dropped dropped;
    if (old) {
        readers = Ref::steal(readers_of(old.get()));
        empty_deps = readers ? Ref::steal(PyList_New(0)) : Ref();
        empty_readers = empty_deps ? Ref::steal(PyList_New(0)) : Ref();
        if (!empty_readers || dropped.reserve(edges_of(old.get()) + 4) < 0) {
            return -1;
        }
    }
    if (PyDict_SetItem(nodes, name, record) < 0) {
        return -1;
    }
    // From here on nothing fails until the readers are invalidated.
    if (old || (waiting && PyList_GET_SIZE(waiting.get()) > 0)) {
        ++revision;
        as_record(record)->changed = revision;
    }
    if (old) {
        // The new node takes the old one's place in its readers' lists.
        NodeObject *o = as_node(old.get());
        if (PyList_CheckExact(o->dependents)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o->dependents); ++i) {
                PyObject *reader = PyList_GET_ITEM(o->dependents, i);
                if (!is_node_like(reader)) {
                    continue;
                }
                PyObject *deps = as_node(reader)->dependencies;
                if (!PyList_CheckExact(deps)) {
                    continue;
                }
                for (Py_ssize_t j = 0; j < PyList_GET_SIZE(deps); ++j) {
                    if (PyList_GET_ITEM(deps, j) == old.get()) {
                        // The list's reference to the old node goes to
                        // `dropped`.
                        dropped.add(PyList_GET_ITEM(deps, j));
                        PyList_SET_ITEM(deps, j, Py_NewRef(record));
                        break;
                    }
                }
            }
            // The record's own empty list goes to the old node instead.
            PyObject *mine = as_node(record)->dependents;
            as_node(record)->dependents = o->dependents;
            o->dependents = mine;
        }
        detach(old.get(), false, empty_deps.get(), empty_readers.get(), dropped);
    }
    if (graph->missing && waiting) {
        if (PyDict_DelItem(graph->missing, name) < 0) {
            PyErr_Clear();
        }
    }
    Ref reached = traced_reach(readers ? readers.get() : nullptr, waiting.get());
    int rc = 0;
    if (readers) {
        rc = invalidate(readers.get(), true);
    }
    if (rc == 0 && waiting) {
        rc = invalidate(waiting.get(), true);
    }
    report("register", record, reached.get());
    dropped.release();
    return finish(rc);
}

int
remove_node(GraphObject *graph, PyObject *name, PyObject *node) noexcept
{
    Ref held_node = Ref::borrow(node);
    PyObject *nodes = graph->nodes;
    Ref readers = Ref::steal(readers_of(node));
    Ref empty_deps = readers ? Ref::steal(PyList_New(0)) : Ref();
    Ref empty_readers = empty_deps ? Ref::steal(PyList_New(0)) : Ref();
    Dropped dropped;
    if (!empty_readers || dropped.reserve(edges_of(node) + 4) < 0) {
        return -1;
    }
    Ref held_nodes = Ref::borrow(nodes);
    if (PyDict_DelItem(nodes, name) < 0) {
        return -1;
    }
    ++revision;
    Ref reached = traced_reach(readers.get());
    detach(node, true, empty_deps.get(), empty_readers.get(), dropped);
    int rc = invalidate(readers.get(), true);
    report("delete", node, reached.get());
    dropped.release();
    return finish(rc);
}

void
graph_unlink(GraphObject *graph) noexcept
{
    if (!graph->crossed || !graph->nodes || !PyDict_CheckExact(graph->nodes)) {
        return;
    }
    graph->crossed = 0;
    PyObject *raised = PyErr_GetRaisedException();
    AnchorObject *anchor = graph->anchor;
    Ref held_nodes = Ref::borrow(graph->nodes);
    Ref records = Ref::steal(PyDict_Values(graph->nodes));
    if (!records) {
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
        return;
    }
    Dropped dropped;
    // Another graph's node taken out of a list here is still held by its
    // own registry, so even when no room is left to defer its release,
    // releasing it at once runs nothing.
    auto drop = [&](PyObject *o) {
        if (!o) {
            return;
        }
        if (dropped.reserve(1) < 0) {
            PyErr_Clear();
            Py_DECREF(o);
            return;
        }
        dropped.add(o);
    };
    auto foreign = [&](PyObject *o) {
        return !Py_IS_TYPE(o, &RecordType) || as_record(o)->anchor != anchor;
    };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.get()); ++i) {
        PyObject *node = PyList_GET_ITEM(records.get(), i);
        if (!Py_IS_TYPE(node, &RecordType) || as_record(node)->anchor != anchor) {
            continue;
        }
        NodeObject *n = as_node(node);
        if (PyList_CheckExact(n->dependencies)) {
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(n->dependencies);) {
                PyObject *dep = PyList_GET_ITEM(n->dependencies, j);
                if (!foreign(dep) || !is_node_like(dep)) {
                    ++j;
                    continue;
                }
                if (PyList_CheckExact(as_node(dep)->dependents)) {
                    drop(list_take(as_node(dep)->dependents, node));
                }
                drop(list_take(n->dependencies, dep));
            }
        }
        if (PyList_CheckExact(n->dependents)) {
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(n->dependents);) {
                PyObject *reader = PyList_GET_ITEM(n->dependents, j);
                if (!foreign(reader) || !is_node_like(reader)) {
                    ++j;
                    continue;
                }
                if (PyList_CheckExact(as_node(reader)->dependencies)) {
                    drop(list_take(as_node(reader)->dependencies, node));
                }
                drop(list_take(n->dependents, reader));
            }
        }
        RecordObject *r = as_record(node);
        forget_misses(node, r->missed, nullptr);
    }
    // Readers that missed a name here no longer need to hear of it: the
    // graph is being freed, or its model instance is, and then none of its
    // nodes can be registered again.
    if (graph->missing) {
        PyObject *table = graph->missing;
        graph->missing = nullptr;
        drop(table);
    }
    dropped.release();
    PyErr_SetRaisedException(raised);
}

void
graph_release_edges(GraphObject *graph) noexcept
{
    // The registry must be held by the graph and its engine alone, and the
    // engine by the graph alone, or a script could still reach a record.
    PyObject *nodes = graph->nodes;
    PyObject *engine = graph->engine;
    if (!nodes || !PyDict_CheckExact(nodes) || !engine || Py_REFCNT(engine) != 1 ||
        as_engine(engine)->nodes != nodes || Py_REFCNT(nodes) != 2) {
        return;
    }
    AnchorObject *anchor = graph->anchor;
    auto ours = [&](PyObject *o) {
        return Py_IS_TYPE(o, &RecordType) && as_record(o)->anchor == anchor &&
               as_record(o)->trusted;
    };
    auto edges = [](PyObject *list) {
        return PyList_CheckExact(list) ? PyList_GET_SIZE(list) : Py_ssize_t(0);
    };
    // Each reference counted here is a real one, so every record holds at
    // least as many as it is counted for; equal sums mean no record is held
    // from anywhere else (a running computation, a value, a script).
    Py_ssize_t held = 0, internal = 0, pos = 0;
    PyObject *key, *node;
    while (PyDict_Next(nodes, &pos, &key, &node)) {
        if (!ours(node)) {
            return;
        }
        NodeObject *n = as_node(node);
        for (PyObject *list : {n->dependencies, n->dependents}) {
            if (edges(list) && Py_REFCNT(list) != 1) {
                return;  // a script holds the list itself
            }
            for (Py_ssize_t i = 0; i < edges(list); ++i) {
                if (!ours(PyList_GET_ITEM(list, i))) {
                    return;
                }
            }
            internal += edges(list);
        }
        held += Py_REFCNT(node);
        internal += 1;  // the registry's
    }
    if (held != internal) {
        return;
    }
    // Every record stays held by the registry, so releasing the lists'
    // references frees nothing and runs no code.
    pos = 0;
    while (PyDict_Next(nodes, &pos, &key, &node)) {
        NodeObject *n = as_node(node);
        for (PyObject *list : {n->dependencies, n->dependents}) {
            Py_ssize_t size = edges(list);
            for (Py_ssize_t i = 0; i < size; ++i) {
                Py_DECREF(PyList_GET_ITEM(list, i));
            }
            if (size) {
                Py_SET_SIZE(reinterpret_cast<PyVarObject *>(list), 0);
            }
        }
    }
}

}  // namespace tarn::layer
