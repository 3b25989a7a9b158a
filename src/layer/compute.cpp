// A node's computation in native code: the same steps as the layer's Python
// `_compute`, which stays registered and takes every case this one does not
// (a node not exactly of the node class, a part missing or laid out
// otherwise, an unset slot, edge lists that are not plain lists of nodes).
//
// It calls the node's function in a new Frame set as the current one, and
// caches the result, under the layer's lock, only when the frame saw no
// stale read and the revision counter did not move while it ran. With
// cut-off, a value equal to the last one leaves `changed` as it was. The
// edges are made exactly what the computation read, in both directions; the
// lists are changed by identity, with no Python code running in between,
// which is what `list.remove` and `==` do on nodes of the node class.
#include "layer/layer.hpp"

#include <cstring>
#include <utility>
#include <vector>

namespace tarn::layer {

Layout layout;

namespace {

PyObject *&
slot(PyObject *o, Py_ssize_t offset) noexcept
{
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + offset);
}

// The offset of object slot `name` of `type`, or -1 (no error set).
Py_ssize_t
slot_offset(PyTypeObject *type, const char *name) noexcept
{
    Ref d = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), name));
    if (!d) {
        PyErr_Clear();
        return -1;
    }
    if (!Py_IS_TYPE(d.get(), &PyMemberDescr_Type)) {
        return -1;
    }
    auto *m = reinterpret_cast<PyMemberDescrObject *>(d.get());
    if (!PyType_IsSubtype(type, m->d_common.d_type) ||
        m->d_member->type != Py_T_OBJECT_EX ||
        (m->d_member->flags & Py_READONLY)) {
        return -1;
    }
    return m->d_member->offset;
}

// The value of slot `offset` of `o`, borrowed; null with AttributeError when
// it is unset.
PyObject *
get_slot(PyObject *o, Py_ssize_t offset, const char *name) noexcept
{
    PyObject *v = slot(o, offset);
    if (!v) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'",
                     Py_TYPE(o)->tp_name, name);
    }
    return v;
}

PyObject *
python_part(PyObject *part, PyObject *const *args, size_t nargs) noexcept
{
    if (!part) {
        PyErr_SetString(PyExc_RuntimeError,
                        "tarn._layer is not set up: import tarn first");
        return nullptr;
    }
    Ref held = Ref::borrow(part);
    return PyObject_Vectorcall(held.get(), args, nargs, nullptr);
}

// Whether the revision counter moved from `start`: 1 / 0 / -1.
int
moved(PyObject *start) noexcept
{
    if (!layout.ready || !parts.clock ||
        !Py_IS_TYPE(parts.clock, layout.clock_type)) {
        PyErr_SetString(PyExc_RuntimeError, "tarn._layer's clock was replaced");
        return -1;
    }
    PyObject *now = get_slot(parts.clock, layout.rev, "rev");
    if (!now) {
        return -1;
    }
    if (now == start) {
        return 0;
    }
    Ref held = Ref::borrow(now);
    return PyObject_RichCompareBool(held.get(), start, Py_NE);
}

bool
is_cell(PyObject *o) noexcept
{
    return Py_IS_TYPE(o, parts.cell);
}

bool usable(PyObject *node) noexcept;

// Index of `node` in `list` by identity, or -1; `plain` is cleared when an
// element before it (or any, when absent) is not of the node class, whose
// comparison with `node` might run code.
Py_ssize_t
find(PyObject *list, PyObject *node, bool &plain) noexcept
{
    Py_ssize_t size = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if (item == node) {
            return i;
        }
        if (!is_cell(item)) {
            plain = false;
        }
    }
    return -1;
}

bool
in_list(PyObject *list, PyObject *item) noexcept
{
    Py_ssize_t size = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (PyList_GET_ITEM(list, i) == item) {
            return true;
        }
    }
    return false;
}

// Makes the node's dependencies exactly the keys of `reads`, in both
// directions. The list replaced goes to `dropped`, so that the caller
// releases it (and whatever finaliser that runs) after its other writes.
// 0 / -1.
int
relink(PyObject *node, PyObject *reads, Ref &dropped) noexcept
{
    NodeObject *n = as_node(node);
    Ref old = Ref::borrow(n->dependencies);
    auto python = [&]() -> int {
        PyObject *args[] = {node, reads};
        Ref done = Ref::steal(python_part(parts.relink, args, 2));
        return done ? 0 : -1;
    };
    if (!PyList_CheckExact(old.get()) || !PyDict_CheckExact(reads)) {
        return python();
    }
    // The common case, the same reads in the same order, needs no new list.
    if (PyDict_GET_SIZE(reads) == PyList_GET_SIZE(old.get())) {
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *unused;
        bool same = true;
        while (PyDict_Next(reads, &pos, &key, &unused)) {
            if (key != PyList_GET_ITEM(old.get(), i++) || !is_cell(key)) {
                same = false;
                break;
            }
        }
        if (same) {
            return 0;
        }
    }
    Ref fresh = Ref::steal(PyDict_Keys(reads));
    if (!fresh) {
        return -1;
    }
    Py_ssize_t old_size = PyList_GET_SIZE(old.get());
    Py_ssize_t new_size = PyList_GET_SIZE(fresh.get());
    bool same = old_size == new_size;
    for (Py_ssize_t i = 0; i < old_size; ++i) {
        PyObject *dep = PyList_GET_ITEM(old.get(), i);
        if (!is_cell(dep)) {
            return python();
        }
        if (same && dep != PyList_GET_ITEM(fresh.get(), i)) {
            same = false;
        }
    }
    for (Py_ssize_t i = 0; i < new_size; ++i) {
        if (!is_cell(PyList_GET_ITEM(fresh.get(), i))) {
            return python();
        }
    }
    if (same) {
        return 0;
    }
    // What was read before, for the membership test of each new read.
    Ref known;
    if (old_size > 8) {
        known = Ref::steal(PySet_New(old.get()));
        if (!known) {
            return -1;
        }
    }
    auto was_read = [&](PyObject *dep) -> int {
        return known ? PySet_Contains(known.get(), dep)
                     : in_list(old.get(), dep);
    };
    // Every list to change is checked before any is changed.
    for (Py_ssize_t i = 0; i < old_size; ++i) {
        PyObject *dep = PyList_GET_ITEM(old.get(), i);
        int kept = PyDict_Contains(reads, dep);
        if (kept < 0) {
            return -1;
        }
        if (!kept) {
            PyObject *readers = as_node(dep)->dependents;
            bool plain = true;
            if (!PyList_CheckExact(readers)) {
                return python();
            }
            find(readers, node, plain);
            if (!plain) {
                return python();
            }
        }
    }
    for (Py_ssize_t i = 0; i < new_size; ++i) {
        PyObject *dep = PyList_GET_ITEM(fresh.get(), i);
        int was = was_read(dep);
        if (was < 0) {
            return -1;
        }
        if (!was && !PyList_CheckExact(as_node(dep)->dependents)) {
            return python();
        }
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(old.get()); ++i) {
        Ref dep = Ref::borrow(PyList_GET_ITEM(old.get(), i));
        int kept = PyDict_Contains(reads, dep.get());
        if (kept < 0) {
            return -1;
        }
        PyObject *readers = as_node(dep.get())->dependents;
        if (kept || !PyList_CheckExact(readers)) {
            continue;
        }
        bool plain = true;
        Py_ssize_t at = find(readers, node, plain);
        if (at >= 0 && PyList_SetSlice(readers, at, at + 1, nullptr) < 0) {
            return -1;
        }
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fresh.get()); ++i) {
        PyObject *dep = PyList_GET_ITEM(fresh.get(), i);
        int was = was_read(dep);
        if (was < 0) {
            return -1;
        }
        PyObject *readers = as_node(dep)->dependents;
        if (!was && PyList_CheckExact(readers) &&
            PyList_Append(readers, node) < 0) {
            return -1;
        }
    }
    PyObject *replaced = n->dependencies;
    n->dependencies = fresh.release();
    dropped = Ref::steal(replaced);
    return 0;
}

// Stores `value` in `field`, handing the old value to `dropped` (released
// by the caller once every write is done, as its finaliser may run code).
void
store(PyObject *&field, PyObject *value, Ref &dropped) noexcept
{
    dropped = Ref::steal(field);
    field = Py_NewRef(value);
}

// Under the lock: caches `value` when the counter is still at `start`.
// 0 / -1.
int
commit(PyObject *node, FrameObject *frame, PyObject *value, PyObject *start,
       bool changed) noexcept
{
    // The parts might have been registered again while it ran.
    if (!usable(node)) {
        return 0;
    }
    int m = moved(start);
    if (m != 0) {
        return m < 0 ? -1 : 0;
    }
    if (!frame->reads) {
        PyErr_SetString(PyExc_RuntimeError, "the computation's frame was cleared");
        return -1;
    }
    Ref reads = Ref::borrow(frame->reads);
    Ref dropped[6];
    if (relink(node, reads.get(), dropped[0]) < 0) {
        return -1;
    }
    // The Python relink, when it took over, may have run anything.
    if (!usable(node)) {
        return 0;
    }
    store(slot(node, layout.last), value, dropped[1]);
    store(slot(node, layout.verified), start, dropped[2]);
    if (changed) {
        store(slot(node, layout.changed), start, dropped[3]);
    }
    store(slot(node, layout.ok), Py_True, dropped[4]);
    store(as_node(node)->cached_value, value, dropped[5]);
    as_node(node)->is_valid = 1;
    return 0;
}

// Resets the context variable to `token`, keeping an exception raised
// before (which becomes the context of one the reset raises). 0 / -1.
int
reset(PyObject *current, PyObject *token) noexcept
{
    PyObject *raised = PyErr_GetRaisedException();
    if (PyContextVar_Reset(current, token) < 0) {
        if (raised) {
            PyObject *now = PyErr_GetRaisedException();
            PyException_SetContext(now, raised);
            PyErr_SetRaisedException(now);
        }
        return -1;
    }
    if (raised) {
        PyErr_SetRaisedException(raised);
        return -1;
    }
    return 0;
}

bool
usable(PyObject *node) noexcept
{
    if (!layout.ready || !is_cell(node) || !parts.current ||
        !Py_IS_TYPE(parts.clock, layout.clock_type) ||
        !slot(parts.clock, layout.rev)) {
        return false;
    }
    for (Py_ssize_t offset : {layout.graph, layout.cutoff, layout.last,
                              layout.ok, layout.changed, layout.verified}) {
        if (!slot(node, offset)) {
            return false;
        }
    }
    return true;
}


// Releases the layer's lock with whatever exception is being raised set
// aside in `raised` (the caller raises it again). A failing release raises
// its own exception, with the set-aside one as its context: -1.
int
release_lock(PyObject *release, PyObject *&raised) noexcept
{
    raised = PyErr_GetRaisedException();
    Ref freed = Ref::steal(PyObject_CallNoArgs(release));
    if (!freed) {
        if (raised) {
            PyObject *now = PyErr_GetRaisedException();
            PyException_SetContext(now, raised);
            PyErr_SetRaisedException(now);
        }
        return -1;
    }
    return 0;
}

PyObject *
compute_node(PyObject *node, PyObject *parent, PyObject *held) noexcept
{
    if (!usable(node)) {
        PyObject *args[] = {node, parent, held};
        return python_part(parts.compute, args, 3);
    }
    // Interned once: the name outlives every computation.
    static PyObject *target_name = nullptr;
    if (!target_name) {
        target_name = PyUnicode_InternFromString("_target");
        if (!target_name) {
            return nullptr;
        }
    }
    Ref graph = Ref::borrow(slot(node, layout.graph));
    Ref target = Ref::steal(PyObject_GetAttr(graph.get(), target_name));
    if (!target) {
        return nullptr;
    }
    Ref owner = Ref::steal(PyObject_CallNoArgs(target.get()));
    if (!owner) {
        return nullptr;
    }
    if (owner.get() == Py_None) {
        PyErr_Format(PyExc_ReferenceError,
                     "the model that held node %R no longer exists",
                     as_node(node)->name);
        return nullptr;
    }
    if (!usable(node)) {
        PyObject *args[] = {node, parent, held};
        return python_part(parts.compute, args, 3);
    }
    Ref frame = Ref::steal(frame_create(node, parent, held));
    if (!frame) {
        return nullptr;
    }
    PyObject *ok = get_slot(node, layout.ok, "ok");
    if (!ok) {
        return nullptr;
    }
    Ref had_value = Ref::borrow(ok);
    set_field(slot(node, layout.ok), Py_False);
    PyObject *rev = parts.clock ? get_slot(parts.clock, layout.rev, "rev") : nullptr;
    if (!rev) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "tarn._layer has no clock");
        }
        return nullptr;
    }
    Ref start = Ref::borrow(rev);
    Ref current = Ref::borrow(parts.current);
    Ref token = Ref::steal(PyContextVar_Set(current.get(), frame.get()));
    if (!token) {
        return nullptr;
    }
    Ref func = Ref::borrow(as_node(node)->func);
    PyObject *args[] = {owner.get()};
    Ref value = Ref::steal(PyObject_Vectorcall(func.get(), args, 1, nullptr));
    if (reset(current.get(), token.get()) < 0) {
        return nullptr;
    }
    if (reinterpret_cast<FrameObject *>(frame.get())->stale || !usable(node)) {
        return value.release();
    }
    int m = moved(start.get());
    if (m != 0) {
        return m < 0 ? nullptr : value.release();
    }
    bool changed = true;
    int had = PyObject_IsTrue(had_value.get());
    if (had < 0) {
        return nullptr;
    }
    if (had) {
        PyObject *c = get_slot(node, layout.cutoff, "cutoff");
        int cutoff = -1;
        if (c) {
            Ref held_cutoff = Ref::borrow(c);
            cutoff = PyObject_IsTrue(held_cutoff.get());
        }
        if (cutoff < 0) {
            return nullptr;
        }
        if (cutoff) {
            int differs = -1;
            PyObject *l = get_slot(node, layout.last, "last");
            if (l) {
                Ref last = Ref::borrow(l);
                Ref equal = Ref::steal(
                    PyObject_RichCompare(value.get(), last.get(), Py_EQ));
                if (equal) {
                    differs = PyObject_Not(equal.get());
                }
            }
            if (differs < 0) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                    return nullptr;
                }
                PyErr_Clear();
                differs = 1;
            }
            changed = differs != 0;
        }
    }
    if (!layout.acquire || !layout.release) {
        PyErr_SetString(PyExc_RuntimeError, "tarn._layer has no lock");
        return nullptr;
    }
    Ref acquire = Ref::borrow(layout.acquire);
    Ref release = Ref::borrow(layout.release);
    Ref got = Ref::steal(PyObject_CallNoArgs(acquire.get()));
    if (!got) {
        return nullptr;
    }
    int done = commit(node, reinterpret_cast<FrameObject *>(frame.get()),
                      value.get(), start.get(), changed);
    PyObject *raised = nullptr;
    if (release_lock(release.get(), raised) < 0) {
        return nullptr;
    }
    if (raised) {
        PyErr_SetRaisedException(raised);
    }
    if (done < 0) {
        return nullptr;
    }
    return value.release();
}


// ---------------------------------------------------------------------------
// The refresh of a stale node, as the Python `_read` and `_refresh` do it.
// Nodes of the node class are read by their fields; anything else in an
// edge list is read by attribute, as the Python walk would.

// A node's attribute: its field when it is of the node class. New / null.
PyObject *
attribute(PyObject *o, Py_ssize_t offset, const char *name) noexcept
{
    if (layout.ready && is_cell(o)) {
        PyObject *v = get_slot(o, offset, name);
        return v ? Py_NewRef(v) : nullptr;
    }
    return PyObject_GetAttrString(o, name);
}

int
truth(PyObject *o, Py_ssize_t offset, const char *name) noexcept
{
    Ref v = Ref::steal(attribute(o, offset, name));
    return v ? PyObject_IsTrue(v.get()) : -1;
}

int
valid(PyObject *o) noexcept
{
    if (is_cell(o)) {
        return as_node(o)->is_valid;
    }
    Ref v = Ref::steal(PyObject_GetAttrString(o, "is_valid"));
    return v ? PyObject_IsTrue(v.get()) : -1;
}

PyObject *
dependencies(PyObject *o) noexcept
{
    if (is_cell(o)) {
        return Py_NewRef(as_node(o)->dependencies);
    }
    return PyObject_GetAttrString(o, "dependencies");
}

// Whether o's `changed` or `verified` (at `offset`) is after the reader's
// `verified`. 1 / 0 / -1.
int
after(PyObject *o, Py_ssize_t offset, const char *name, PyObject *reader) noexcept
{
    Ref mine = Ref::steal(attribute(o, offset, name));
    if (!mine) {
        return -1;
    }
    Ref theirs = Ref::steal(attribute(reader, layout.verified, "verified"));
    if (!theirs) {
        return -1;
    }
    return PyObject_RichCompareBool(mine.get(), theirs.get(), Py_GT);
}

int
contains(PyObject *container, PyObject *item) noexcept
{
    return PyDict_CheckExact(container) ? PyDict_Contains(container, item)
                                        : PySequence_Contains(container, item);
}

// Computes a node ahead of any read of it, holding back in `held` the
// Exception it raises. 0 / -1.
int
settle(PyObject *node, PyObject *parent, PyObject *held) noexcept
{
    for (PyObject *walk = parent; walk != Py_None;
         walk = reinterpret_cast<FrameObject *>(walk)->parent) {
        if (!Py_IS_TYPE(walk, &FrameType) ||
            !reinterpret_cast<FrameObject *>(walk)->parent ||
            reinterpret_cast<FrameObject *>(walk)->node == node) {
            // A cycle, or frames this walk does not know: the Python one.
            PyObject *args[] = {node, parent, held};
            Ref done = Ref::steal(python_part(parts.settle, args, 3));
            return done ? 0 : -1;
        }
    }
    Ref value = Ref::steal(compute_node(node, parent, held));
    if (value) {
        return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return -1;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    return PyObject_SetItem(held, node, exc.get());
}

// Makes a node valid again with its last value if the counter is still at
// `start`. The value (new) / null with no error (not restored) / null with
// an error.
PyObject *
restore(PyObject *node, PyObject *start) noexcept
{
    if (!layout.ready || !is_cell(node)) {
        PyObject *args[] = {node, start};
        Ref pair = Ref::steal(python_part(parts.restore, args, 2));
        if (!pair) {
            return nullptr;
        }
        if (!PyTuple_CheckExact(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_SetString(PyExc_TypeError, "_restore must return a pair");
            return nullptr;
        }
        int done = PyObject_IsTrue(PyTuple_GET_ITEM(pair.get(), 0));
        if (done <= 0) {
            return nullptr;
        }
        return Py_NewRef(PyTuple_GET_ITEM(pair.get(), 1));
    }
    Ref acquire = Ref::borrow(layout.acquire);
    Ref release = Ref::borrow(layout.release);
    Ref got = Ref::steal(PyObject_CallNoArgs(acquire.get()));
    if (!got) {
        return nullptr;
    }
    Ref value;
    Ref dropped[2];
    int m = usable(node) ? moved(start) : 1;
    if (m == 0) {
        PyObject *last = get_slot(node, layout.last, "last");
        if (last) {
            value = Ref::borrow(last);
            store(as_node(node)->cached_value, value.get(), dropped[0]);
            store(slot(node, layout.verified), start, dropped[1]);
            as_node(node)->is_valid = 1;
        }
    }
    dropped[0] = Ref();
    dropped[1] = Ref();
    PyObject *raised = nullptr;
    if (release_lock(release.get(), raised) < 0) {
        return nullptr;
    }
    PyErr_SetRaisedException(raised);
    return value.release();
}

enum Mark { Same, Fresh, Changed };

struct Level {
    Ref node;
    Py_ssize_t pos;
    Mark mark;
};

// Folds a settled dependency into its reader's level. 0 / -1.
int
fold(PyObject *dep, Level &level, Mark state) noexcept
{
    int v = valid(dep);
    if (v < 0) {
        return -1;
    }
    int later = v ? after(dep, layout.changed, "changed", level.node.get()) : 1;
    if (later < 0) {
        return -1;
    }
    if (later) {
        level.mark = Changed;
        return 0;
    }
    if (state == Same) {
        int fresh = after(dep, layout.verified, "verified", level.node.get());
        if (fresh < 0) {
            return -1;
        }
        if (fresh) {
            level.mark = Fresh;
        }
    }
    return 0;
}

// The Python `_refresh`: brings a stale node with recorded dependencies up
// to date, in dependency order, on an explicit stack. New reference / null.
PyObject *
refresh(PyObject *top, PyObject *parent) noexcept
{
    Ref held;
    if (parent != Py_None && reinterpret_cast<FrameObject *>(parent)->held &&
        reinterpret_cast<FrameObject *>(parent)->held != Py_None) {
        held = Ref::borrow(reinterpret_cast<FrameObject *>(parent)->held);
    }
    else {
        held = Ref::steal(PyDict_New());
        if (!held) {
            return nullptr;
        }
    }
    PyObject *rev = get_slot(parts.clock, layout.rev, "rev");
    if (!rev) {
        return nullptr;
    }
    Ref start = Ref::borrow(rev);
    // The nodes on the stack; made when the walk first goes deeper or meets
    // something that is not of the node class (until then only `top` is on
    // it, and nodes of the node class are equal by identity alone).
    Ref pending;
    auto make_pending = [&]() -> int {
        if (pending) {
            return 0;
        }
        pending = Ref::steal(PySet_New(nullptr));
        return pending ? PySet_Add(pending.get(), top) : -1;
    };
    std::vector<Level> stack;
    stack.push_back(Level{Ref::borrow(top), 0, Same});
    while (true) {
        Level &level = stack.back();
        Ref node = Ref::borrow(level.node.get());
        Mark state = level.mark;
        if (state != Changed) {
            Ref deps = Ref::steal(dependencies(node.get()));
            if (!deps) {
                return nullptr;
            }
            Py_ssize_t size = PyList_CheckExact(deps.get())
                                  ? PyList_GET_SIZE(deps.get())
                                  : PyObject_Size(deps.get());
            if (size < 0) {
                return nullptr;
            }
            Py_ssize_t at = level.pos;
            if (at < size) {
                level.pos = at + 1;
                Ref dep = Ref::steal(
                    PyList_CheckExact(deps.get())
                        ? Py_NewRef(PyList_GET_ITEM(deps.get(), at))
                        : PySequence_GetItem(deps.get(), at));
                if (!dep) {
                    return nullptr;
                }
                int v = valid(dep.get());
                if (v < 0) {
                    return nullptr;
                }
                if (!v) {
                    int skip = contains(held.get(), dep.get());
                    if (skip == 0 && !pending && !is_cell(dep.get())) {
                        skip = make_pending();
                    }
                    if (skip == 0) {
                        skip = pending ? PySet_Contains(pending.get(), dep.get())
                                       : dep.get() == top;
                    }
                    if (skip < 0) {
                        return nullptr;
                    }
                    if (!skip) {
                        Ref below = Ref::steal(dependencies(dep.get()));
                        int more = below ? PyObject_IsTrue(below.get()) : -1;
                        if (more < 0) {
                            return nullptr;
                        }
                        if (more) {
                            if (make_pending() < 0 ||
                                PySet_Add(pending.get(), dep.get()) < 0) {
                                return nullptr;
                            }
                            stack.push_back(Level{std::move(dep), 0, Same});
                            continue;
                        }
                        if (settle(dep.get(), parent, held.get()) < 0) {
                            return nullptr;
                        }
                    }
                }
                // `level` may have moved: settling pushes nothing, but the
                // reference is taken again for clarity.
                if (fold(dep.get(), stack.back(), state) < 0) {
                    return nullptr;
                }
                continue;
            }
        }
        stack.pop_back();
        if (pending && PySet_Discard(pending.get(), node.get()) < 0) {
            return nullptr;
        }
        int restorable = 0;
        if (state == Fresh) {
            restorable = truth(node.get(), layout.ok, "ok");
            if (restorable < 0) {
                return nullptr;
            }
        }
        if (stack.empty()) {
            if (restorable) {
                PyObject *value = restore(node.get(), start.get());
                if (value || PyErr_Occurred()) {
                    return value;
                }
            }
            return compute_node(node.get(), parent, held.get());
        }
        bool restored = false;
        if (restorable) {
            Ref value = Ref::steal(restore(node.get(), start.get()));
            if (!value && PyErr_Occurred()) {
                return nullptr;
            }
            restored = static_cast<bool>(value);
        }
        if (!restored && settle(node.get(), parent, held.get()) < 0) {
            return nullptr;
        }
        Level &reader = stack.back();
        int v = valid(node.get());
        if (v < 0) {
            return nullptr;
        }
        int later = v ? after(node.get(), layout.changed, "changed", reader.node.get()) : 1;
        if (later < 0) {
            return nullptr;
        }
        if (later) {
            reader.mark = Changed;
        }
        else if (reader.mark == Same) {
            int fresh = after(node.get(), layout.verified, "verified", reader.node.get());
            if (fresh < 0) {
                return nullptr;
            }
            if (fresh) {
                reader.mark = Fresh;
            }
        }
    }
}

// The Python `_read` without its exceptional cases (a cycle, a failure
// held back, frames it does not know), which go to it whole.
PyObject *
read_stale(PyObject *node, PyObject *frame) noexcept
{
    bool known = layout.ready && is_cell(node) && parts.clock &&
                 Py_IS_TYPE(parts.clock, layout.clock_type);
    PyObject *held = Py_None;
    for (PyObject *walk = frame; known && walk != Py_None;
         walk = reinterpret_cast<FrameObject *>(walk)->parent) {
        if (!Py_IS_TYPE(walk, &FrameType) ||
            !reinterpret_cast<FrameObject *>(walk)->parent ||
            reinterpret_cast<FrameObject *>(walk)->node == node) {
            known = false;
            break;
        }
    }
    if (known && frame != Py_None) {
        held = reinterpret_cast<FrameObject *>(frame)->held;
        if (!held) {
            known = false;
        }
        else if (held != Py_None) {
            int in = contains(held, node);
            if (in < 0) {
                reinterpret_cast<FrameObject *>(frame)->stale = 1;
                return nullptr;
            }
            known = in == 0;
        }
    }
    if (!known) {
        PyObject *args[] = {node, frame};
        return python_part(parts.read, args, 2);
    }
    Ref held_ref = Ref::borrow(held);
    Ref value;
    Ref deps = Ref::borrow(as_node(node)->dependencies);
    int more = PyList_CheckExact(deps.get()) ? PyList_GET_SIZE(deps.get()) > 0
                                              : PyObject_IsTrue(deps.get());
    if (more > 0) {
        value = Ref::steal(refresh(node, frame));
    }
    else if (more == 0) {
        value = Ref::steal(compute_node(node, frame, held));
    }
    if (frame != Py_None && (!value || !as_node(node)->is_valid)) {
        reinterpret_cast<FrameObject *>(frame)->stale = 1;
    }
    return value.release();
}

}  // namespace

void
layout_refresh() noexcept
{
    PyObject *raised = PyErr_GetRaisedException();
    layout.ready = false;
    Py_CLEAR(layout.acquire);
    Py_CLEAR(layout.release);
    layout.clock_type = parts.clock ? Py_TYPE(parts.clock) : nullptr;
    if (parts.lock) {
        layout.acquire = PyObject_GetAttrString(parts.lock, "acquire");
        layout.release = PyObject_GetAttrString(parts.lock, "release");
        if (!layout.acquire || !layout.release) {
            PyErr_Clear();
            Py_CLEAR(layout.acquire);
            Py_CLEAR(layout.release);
        }
    }
    if (parts.cell && layout.clock_type) {
        PyTypeObject *cell = parts.cell;
        layout.graph = slot_offset(cell, "graph");
        layout.cutoff = slot_offset(cell, "cutoff");
        layout.last = slot_offset(cell, "last");
        layout.ok = slot_offset(cell, "ok");
        layout.changed = slot_offset(cell, "changed");
        layout.verified = slot_offset(cell, "verified");
        layout.rev = slot_offset(layout.clock_type, "rev");
        layout.ready = layout.graph > 0 && layout.cutoff > 0 && layout.last > 0 &&
                       layout.ok > 0 && layout.changed > 0 &&
                       layout.verified > 0 && layout.rev > 0 &&
                       layout.acquire && layout.release;
    }
    PyErr_SetRaisedException(raised);
}

PyObject *
read_node(PyObject *node, PyObject *frame) noexcept
{
    return read_stale(node, frame);
}

PyObject *
compute(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError,
                     "compute() takes 3 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    return compute_node(args[0], args[1], args[2]);
}

}  // namespace tarn::layer
