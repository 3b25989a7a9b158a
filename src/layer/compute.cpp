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
// directions. 0 / -1.
int
relink(PyObject *node, PyObject *reads) noexcept
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
    set_field(n->dependencies, std::move(fresh));
    return 0;
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
    if (relink(node, reads.get()) < 0) {
        return -1;
    }
    set_field(slot(node, layout.last), value);
    set_field(slot(node, layout.verified), start);
    if (changed) {
        set_field(slot(node, layout.changed), start);
    }
    set_field(slot(node, layout.ok), Py_True);
    set_field(as_node(node)->cached_value, value);
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

PyObject *
compute_node(PyObject *node, PyObject *parent, PyObject *held) noexcept
{
    if (!usable(node)) {
        PyObject *args[] = {node, parent, held};
        return python_part(parts.compute, args, 3);
    }
    Ref target = Ref::steal(
        PyObject_GetAttrString(slot(node, layout.graph), "_target"));
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
    PyObject *raised = PyErr_GetRaisedException();
    Ref freed = Ref::steal(PyObject_CallNoArgs(release.get()));
    if (!freed) {
        if (raised) {
            PyObject *now = PyErr_GetRaisedException();
            PyException_SetContext(now, raised);
            PyErr_SetRaisedException(now);
        }
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
