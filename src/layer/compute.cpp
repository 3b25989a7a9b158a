// Reads, computations and their commit, the refresh of stale nodes over
// their recorded edges, cycles, and the driver that lets a first read go to
// any depth.
//
// A read that needs a computation and runs outside any computation drives
// it: it keeps a stack of nodes to compute, the node read at its bottom.
// Computations nest as reads inside node functions need them, until a read
// finds the nesting too deep (a fixed number of levels, or the
// interpreter's recursion budgets running low): that read raises
// Unwinding, which passes up through the computations above it to the
// driver. Their nodes, and the node the read needed, are pushed on the
// driver's stack first, and it computes from the top, each node one level
// deep, so the unwound computations run again with what they need cached.
//
// A refresh brings a stale node with recorded edges up to date without
// nesting, guessing from those edges what its function will read. When a
// read meets a node that is already computing or being refreshed on its own
// chain and a guess lies on the way, the driver starts again in exact mode,
// in which stale nodes are computed by their functions alone: then the
// chain of running computations is exactly the chain of reads, and a node
// met on it again is a cycle whose path is that chain.
#include "layer/layer.hpp"

namespace tarn::layer {

namespace {

enum Mark : uint8_t { Same, Fresh, Changed };

// Computations a driver nests before its reads unwind, and what is left of
// the interpreter's budgets, beyond twice the most one level has cost, when
// they unwind earlier. The budgets are what the interpreter itself trusts
// its native stack with; in practice they, not the cap, end the nesting.
constexpr int kMaxDepth = 1000;
constexpr int kPyReserve = 30;
constexpr int kCReserve = 60;

PyObject *drive(RecordObject *rec, PyThreadState *tstate) noexcept;
PyObject *advance(RecordObject *rec, Frame *parent, DriverObject *driver,
                  PyThreadState *tstate) noexcept;

// ---------------------------------------------------------------------------
// Unwinding and cycles

bool
too_deep(Frame *frame, DriverObject *driver, PyThreadState *tstate) noexcept
{
    return frame->depth >= kMaxDepth ||
           tstate->py_recursion_remaining < kPyReserve + 2 * driver->max_py ||
           tstate->c_recursion_remaining < kCReserve + 2 * driver->max_c;
}

// Starts an unwinding from a read in `frame` (null: a refresh the driver
// started itself) to the driver: with `request`, the frames' nodes and the
// request go on the driver's stack; without, the driver starts again in
// exact mode. Always -1, with Unwinding (or MemoryError) set.
int
unwind(Frame *frame, DriverObject *driver, PyObject *request) noexcept
{
    if (!driver->unwinding) {
        if (!request) {
            driver->restart = 1;
        }
        else {
            // The frames from the outermost down to `frame`, then the
            // request; the outermost is the driver's top unless a refresh
            // computed it ahead of need.
            int depth = frame ? frame->depth : 0;
            if (driver->stack.reserve(depth + 1) < 0) {
                return -1;
            }
            Level *top = &driver->stack.items[driver->stack.size - 1];
            Py_ssize_t base = driver->stack.size;
            Frame *outermost = frame;
            while (outermost && outermost->parent) {
                outermost = outermost->parent;
            }
            bool skip = outermost && outermost->node == top->node;
            Py_ssize_t count = depth - (skip ? 1 : 0);
            Py_ssize_t at = base + count;
            for (Frame *f = frame; f; f = f->parent) {
                if (f == outermost && skip) {
                    break;
                }
                --at;
                ++as_record(f->node)->busy;
                driver->stack.items[at] =
                    Level{Py_NewRef(f->node), 0, 0, f->ahead};
            }
            driver->stack.size = base + count;
            if (driver->stack.push(request, false) < 0) {
                return -1;  // reserved: cannot happen
            }
        }
        driver->unwinding = 1;
    }
    for (Frame *f = frame; f; f = f->parent) {
        f->unwound = 1;
        f->stale = 1;
    }
    PyErr_SetNone(Unwinding);
    return -1;
}

// Raises CycleError with the names of `path` (records). Always -1.
int
raise_cycle(PyObject *const *path, Py_ssize_t size) noexcept
{
    Ref names = Ref::steal(PyList_New(size));
    if (!names) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyList_SET_ITEM(names.get(), i, Py_NewRef(as_node(path[i])->name));
    }
    Ref error = Ref::steal(PyObject_CallOneArg(cycle_error, names.get()));
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())),
                        error.get());
    }
    return -1;
}

// `rec`, which some computation, refresh or stack holds, is needed again by
// a read in `frame` (null: by a refresh the driver itself runs); `guessed`
// says that this read is a refresh's guess. When `rec` is on this driver's
// chain of reads, that is a cycle: raised with its path when every arrow on
// it is a read really made, and otherwise the driver starts again exactly.
// 0 when `rec` is not on the chain (another thread computes it) / -1.
int
check_chain(RecordObject *rec, Frame *frame, DriverObject *driver,
            bool guessed) noexcept
{
    PyObject *node = reinterpret_cast<PyObject *>(rec);
    bool guess = guessed;
    Frame *found = nullptr;
    for (Frame *f = frame; f; f = f->parent) {
        if (f->node == node) {
            found = f;
            break;
        }
        guess = guess || f->ahead;
    }
    Py_ssize_t at = -1;
    if (!found) {
        for (Refresh *r = driver->refreshes; r && at < 0; r = r->outer) {
            for (Py_ssize_t i = 0; i < r->levels.size; ++i) {
                if (r->levels.items[i].node == node) {
                    // Pending in a refresh: the read into it was a guess.
                    return driver->exact ? 0 : unwind(frame, driver, nullptr);
                }
            }
        }
        for (Py_ssize_t i = driver->stack.size - 1; i >= 0; --i) {
            if (driver->stack.items[i].node == node) {
                at = i;
                break;
            }
            guess = guess || driver->stack.items[i].predicted;
        }
        if (at < 0) {
            return 0;
        }
    }
    if (guess && !driver->exact) {
        return unwind(frame, driver, nullptr);
    }
    // The path: the stack from `at`, the frames outermost first (from
    // `found` when the node is one of them), and the node again.
    Py_ssize_t frames = 0;
    for (Frame *f = frame; f; f = f->parent) {
        ++frames;
        if (f == found) {
            break;
        }
    }
    Py_ssize_t stacked = at >= 0 ? driver->stack.size - at : 0;
    auto *path = static_cast<PyObject **>(PyMem_Malloc(
        static_cast<size_t>(stacked + frames + 1) * sizeof(PyObject *)));
    if (!path) {
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t n = 0;
    for (Py_ssize_t i = 0; i < stacked; ++i) {
        path[n++] = driver->stack.items[at + i].node;
    }
    Py_ssize_t k = n + frames;
    for (Frame *f = frame; k > n; f = f->parent) {
        path[--k] = f->node;
    }
    // The outermost frame computes the stack's top: named once.
    if (stacked > 0 && frames > 0 && path[n] == path[n - 1]) {
        for (Py_ssize_t i = n; i + 1 < n + frames; ++i) {
            path[i] = path[i + 1];
        }
        --frames;
    }
    n += frames;
    path[n++] = node;
    raise_cycle(path, n);
    PyMem_Free(path);
    return -1;
}

// ---------------------------------------------------------------------------
// Held results: what a driver computed for a reader further up that was not
// cached (a failure, or a value overtaken by a change) waits for that
// reader, so that it is neither lost nor computed again.

int
hold(PyObject *&table, PyObject *node, PyObject *result) noexcept
{
    if (!table) {
        table = PyDict_New();
        if (!table) {
            return -1;
        }
    }
    return PyDict_SetItem(table, node, result);
}

// The held result of `node`: 1 with the value in `out`, -1 with the held
// exception raised (or an error), 0 when nothing is held.
int
held(DriverObject *driver, PyObject *node, Ref &out) noexcept
{
    // Records hash and compare by identity: these lookups run no code.
    if (driver->held) {
        if (PyObject *exc = PyDict_GetItemWithError(driver->held, node)) {
            PyErr_SetRaisedException(Py_NewRef(exc));
            return -1;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    if (driver->held_values) {
        if (PyObject *v = PyDict_GetItemWithError(driver->held_values, node)) {
            out = Ref::borrow(v);
            return 1;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    return 0;
}

bool
is_held(DriverObject *driver, PyObject *node) noexcept
{
    return (driver->held && PyDict_Contains(driver->held, node) > 0) ||
           (driver->held_values &&
            PyDict_Contains(driver->held_values, node) > 0);
}

// ---------------------------------------------------------------------------
// Commit

// Appends `item` to the exact list `list`, or takes it off again (`undo`):
// used in pairs, with no code running between them.
void
take_last(PyObject *list, PyObject *item) noexcept
{
    auto *l = reinterpret_cast<PyListObject *>(list);
    Py_ssize_t size = Py_SIZE(l);
    if (size > 0 && l->ob_item[size - 1] == item) {
        Py_SET_SIZE(l, size - 1);
        Py_DECREF(item);  // the caller holds another reference
    }
}

void
note_crossing(RecordObject *rec, PyObject *other) noexcept
{
    AnchorObject *mine = rec->anchor;
    AnchorObject *theirs = Py_IS_TYPE(other, &RecordType)
                               ? as_record(other)->anchor
                               : nullptr;
    if (mine == theirs) {
        return;
    }
    if (mine && mine->graph) {
        mine->graph->crossed = 1;
    }
    if (theirs && theirs->graph) {
        theirs->graph->crossed = 1;
    }
}

// Makes the record's dependencies exactly the frame's reads, in both
// directions: every step that can fail comes first, so a failure changes
// nothing. 0 / 1 (cannot be linked: a neighbour's list is not a list) / -1.
int
relink(RecordObject *rec, Frame *frame, Dropped &dropped) noexcept
{
    PyObject *node = reinterpret_cast<PyObject *>(rec);
    ReadSet &reads = frame->reads;
    PyObject *old = rec->node.dependencies;
    bool old_list = PyList_CheckExact(old);
    Py_ssize_t old_size = old_list ? PyList_GET_SIZE(old) : 0;
    PyObject **old_items =
        old_list ? reinterpret_cast<PyListObject *>(old)->ob_item : nullptr;
    // The common case, the same reads in the same order, changes nothing.
    if (old_list && old_size == reads.size) {
        Py_ssize_t i = 0;
        while (i < old_size && old_items[i] == reads.items[i]) {
            ++i;
        }
        if (i == old_size) {
            return 0;
        }
    }
    for (Py_ssize_t i = 0; i < reads.size; ++i) {
        if (!PyList_CheckExact(as_node(reads.items[i])->dependents)) {
            return 1;
        }
    }
    // What was read before: a set of its own once it is long. Both sets'
    // tables are made now, so that no lookup below can fail.
    ReadSet before;
    bool indexed = old_size > ReadSet::kInline;
    for (Py_ssize_t i = 0; indexed && i < old_size; ++i) {
        if (before.add(old_items[i]) < 0) {
            return -1;
        }
    }
    if (before.prepare() < 0 || reads.prepare() < 0) {
        return -1;
    }
    auto was_read = [&](PyObject *dep) {
        if (indexed) {
            return before.has(dep) > 0;
        }
        for (Py_ssize_t i = 0; i < old_size; ++i) {
            if (old_items[i] == dep) {
                return true;
            }
        }
        return false;
    };
    // A first computation fills its empty list in place; any other gets a
    // new one, swapped in once nothing can fail.
    bool in_place = old_list && old_size == 0;
    auto undo_in_place = [&] {
        if (in_place) {
            PyList_SetSlice(old, 0, PyList_GET_SIZE(old), nullptr);  // frees
        }
    };
    Ref fresh;
    if (in_place) {
        for (Py_ssize_t i = 0; i < reads.size; ++i) {
            if (PyList_Append(old, reads.items[i]) < 0) {
                undo_in_place();
                return -1;
            }
        }
    }
    else {
        fresh = Ref::steal(PyList_New(reads.size));
        if (!fresh) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < reads.size; ++i) {
            PyList_SET_ITEM(fresh.get(), i, Py_NewRef(reads.items[i]));
        }
    }
    if (dropped.reserve(old_size + 1) < 0) {
        undo_in_place();
        return -1;
    }
    // Appends, undone in full if one fails.
    for (Py_ssize_t appended = 0; appended < reads.size; ++appended) {
        PyObject *dep = reads.items[appended];
        if (was_read(dep)) {
            continue;
        }
        if (PyList_Append(as_node(dep)->dependents, node) < 0) {
            for (Py_ssize_t j = 0; j < appended; ++j) {
                PyObject *undo = reads.items[j];
                if (!was_read(undo)) {
                    take_last(as_node(undo)->dependents, node);
                }
            }
            undo_in_place();
            return -1;
        }
        note_crossing(rec, dep);
    }
    // Removals, which cannot fail.
    for (Py_ssize_t i = 0; i < old_size; ++i) {
        PyObject *dep = old_items[i];
        if (reads.has(dep) > 0 || !is_node_like(dep)) {
            continue;
        }
        PyObject *readers = as_node(dep)->dependents;
        if (PyList_CheckExact(readers)) {
            dropped.add(list_take(readers, node));
        }
    }
    if (!in_place) {
        dropped.add(old);
        rec->node.dependencies = fresh.release();
    }
    return 0;
}

// Under no code running between the caller's revision check and the last
// write: caches `value`, or with `error` keeps the exception `value` as the
// node's result. A value unchanged under the node's cut-off leaves the
// previous object in place. 0 / 1 (not cached) / -1.
int
commit(RecordObject *rec, Frame *frame, PyObject *value, int64_t start,
       bool changed, bool error) noexcept
{
    Dropped dropped;
    if (dropped.reserve(5) < 0) {
        return -1;
    }
    int linked = relink(rec, frame, dropped);
    if (linked != 0) {
        return linked;
    }
    forget_misses(reinterpret_cast<PyObject *>(rec), rec->missed, frame->misses);
    dropped.add(rec->missed);
    rec->missed = frame->misses;
    frame->misses = nullptr;
    rec->verified = start;
    if (changed) {
        rec->changed = start;
    }
    PyObject *kept = changed ? value : rec->last;
    dropped.add(rec->kept_tb);
    rec->kept_tb = nullptr;
    if (error) {
        // Not a value to compare the next one with: no record to restore.
        dropped.add(rec->last);
        rec->last = nullptr;
        rec->ok = 0;
        rec->kept = 1;
        rec->kept_tb = PyException_GetTraceback(value);
    }
    else {
        if (changed) {
            dropped.add(rec->last);
            rec->last = Py_NewRef(value);
        }
        rec->ok = 1;
        rec->kept = 0;
    }
    dropped.add(rec->node.cached_value);
    rec->node.cached_value = Py_NewRef(kept);
    rec->node.is_valid = 1;
    return 0;
}

// The cut-off comparison: identity, then ==, or the node's own callable
// (old, new) -> unchanged. It is no read of any computation: the frame its
// reads would be recorded into is suspended meanwhile, so they are
// outermost reads of their own. 1 unchanged / 0 changed (an Exception
// counts as a change) / -1 (a BaseException).
}  // namespace

int
unchanged(PyObject *equal, PyObject *value, PyObject *last) noexcept
{
    bool callable = equal != Py_True;
    if (!callable && value == last) {
        return 1;
    }
    bool failed = false;
    Frame *frame = running_frame(PyThreadState_Get(), false, failed);
    if (failed) {
        return -1;
    }
    if (frame) {
        ++frame->suspended;
    }
    Ref held_equal = Ref::borrow(equal);
    Ref held_value = Ref::borrow(value);
    Ref held_last = Ref::borrow(last);
    int same;
    if (callable) {
        PyObject *args[] = {last, value};
        Ref answer = Ref::steal(PyObject_Vectorcall(equal, args, 2, nullptr));
        same = answer ? PyObject_IsTrue(answer.get()) : -1;
    }
    else {
        same = PyObject_RichCompareBool(value, last, Py_EQ);
    }
    if (frame) {
        --frame->suspended;
    }
    if (same < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    return same;
}

namespace {

// Tells this thread's tracer of a computation: its node, what it read and
// how it ended ("changed", "unchanged", "kept error", "uncached",
// "failed" or "restored").
void
traced(RecordObject *rec, const ReadSet *reads, const char *outcome) noexcept
{
    if (!tracer()) {
        return;
    }
    PyObject *raised = PyErr_GetRaisedException();
    Ref shown = Ref::steal(trace_label(reinterpret_cast<PyObject *>(rec)));
    Ref read = Ref::steal(PyTuple_New(reads ? reads->size : 0));
    Ref how = Ref::steal(PyUnicode_FromString(outcome));
    bool ok = shown && read && how;
    for (Py_ssize_t i = 0; ok && reads && i < reads->size; ++i) {
        PyObject *one = trace_label(reads->items[i]);
        ok = one != nullptr;
        if (ok) {
            PyTuple_SET_ITEM(read.get(), i, one);
        }
    }
    if (ok) {
        PyObject *args[] = {shown.get(), read.get(), how.get()};
        trace("compute", args, 3);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
}

// Whether an exception a node's function raised may be kept as its
// result: an Exception that does not depend on where the node was
// computed (not a recursion, memory or cycle failure).
bool
keepable(PyObject *exc) noexcept
{
    return exc && PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject *>(PyExc_Exception)) &&
           !PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject *>(PyExc_RecursionError)) &&
           !PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject *>(PyExc_MemoryError)) &&
           !PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject *>(cycle_error));
}

// ---------------------------------------------------------------------------
// Computing

// Calls the record's function in a new frame and caches the result when no
// read it made ended stale and nothing changed while it ran. New / null.
PyObject *
compute(RecordObject *rec, Frame *parent, DriverObject *driver, bool ahead,
        PyThreadState *tstate) noexcept
{
    PyObject *node = reinterpret_cast<PyObject *>(rec);
    GraphObject *graph = rec->anchor ? rec->anchor->graph : nullptr;
    if (!graph) {
        return raise(PyExc_ReferenceError, Msg::GraphGone, rec->node.name);
    }
    PyObject *owner = graph_owner(graph);
    if (!owner) {
        return raise(PyExc_ReferenceError, Msg::ModelGone, rec->node.name);
    }
    // The function may drop every other reference to these.
    Ref held_node = Ref::borrow(node);
    Ref held_owner = Ref::borrow(owner);
    Ref func = Ref::borrow(rec->node.func);
    if (parent) {
        // What one level of nesting costs, for the next read's depth test.
        int py = parent->py_start - tstate->py_recursion_remaining;
        int c = parent->c_start - tstate->c_recursion_remaining;
        driver->max_py = py > driver->max_py ? py : driver->max_py;
        driver->max_c = c > driver->max_c ? c : driver->max_c;
    }
    Frame here(node, parent, driver, tstate, ahead);
    Frame *frame = &here;
    uint8_t had = rec->ok;
    rec->ok = 0;
    ++rec->busy;
    int64_t start = revision;
    Frame *outer = driver->current;
    driver->current = frame;
    ++active_frames;
    PyObject *args[] = {owner};
    Ref value = Ref::steal(PyObject_Vectorcall(func.get(), args, 1, nullptr));
    driver->current = outer;
    --active_frames;
    --rec->busy;
    if (frame->unwound) {
        // The function did not finish whatever it made of the unwinding
        // that passed through it (it may have caught it): it goes on.
        forget_misses(node, frame->misses, rec->missed);
        PyObject *raised = tstate->current_exception;
        if (value || !raised ||
            !PyObject_TypeCheck(raised, reinterpret_cast<PyTypeObject *>(Unwinding))) {
            value = Ref();
            PyErr_SetNone(Unwinding);
        }
        return nullptr;
    }
    if (!value) {
        // An Exception raised where a value would have been cached is kept
        // as the node's result until something it read changes.
        PyObject *raised = tstate->current_exception;
        if (!frame->stale && revision == start && rec->trusted && keepable(raised)) {
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            int done = commit(rec, frame, exc.get(), start, true, true);
            if (done != 0) {
                forget_misses(node, frame->misses, rec->missed);
            }
            if (done < 0) {
                return nullptr;  // the commit's error, not the function's
            }
            traced(rec, &frame->reads, done == 0 ? "kept error" : "failed");
            PyErr_SetRaisedException(exc.release());
            return nullptr;
        }
        forget_misses(node, frame->misses, rec->missed);
        traced(rec, &frame->reads, "failed");
        return nullptr;
    }
    if (frame->stale || revision != start || !rec->trusted) {
        forget_misses(node, frame->misses, rec->missed);
        traced(rec, &frame->reads, "uncached");
        return value.release();
    }
    bool changed = true;
    if (had && rec->equal && rec->last) {
        int same = unchanged(rec->equal, value.get(), rec->last);
        if (same < 0) {
            forget_misses(node, frame->misses, rec->missed);
            return nullptr;
        }
        changed = !same;
        if (revision != start || !rec->trusted) {
            forget_misses(node, frame->misses, rec->missed);
            return value.release();
        }
    }
    int done = commit(rec, frame, value.get(), start, changed, false);
    if (done != 0) {
        forget_misses(node, frame->misses, rec->missed);
        if (done < 0) {
            return nullptr;
        }
    }
    traced(rec, &frame->reads, done != 0 ? "uncached" : changed ? "changed" : "unchanged");
    if (!changed && done == 0) {
        // Unchanged: the reader gets the previous object, as the node keeps.
        return Py_NewRef(rec->node.cached_value);
    }
    return value.release();
}

// Computes a node ahead of need for a refresh: its Exception waits, held,
// for a reader that reads it. 0 / -1.
int
settle(RecordObject *rec, Frame *parent, DriverObject *driver,
       PyThreadState *tstate) noexcept
{
    if (rec->busy && check_chain(rec, parent, driver, true) < 0) {
        return -1;
    }
    Ref value = Ref::steal(compute(rec, parent, driver, true, tstate));
    if (value) {
        return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return -1;  // Unwinding and other BaseExceptions go on
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    return hold(driver->held, reinterpret_cast<PyObject *>(rec), exc.get());
}

// Makes a node valid again with its last value when nothing changed since
// `start`. The value / null with no error (not restored).
PyObject *
restore(RecordObject *rec, int64_t start) noexcept
{
    if (revision != start || !rec->trusted || !rec->last) {
        return nullptr;
    }
    PyObject *old = rec->node.cached_value;
    rec->node.cached_value = Py_NewRef(rec->last);
    rec->verified = start;
    rec->kept = 0;
    rec->node.is_valid = 1;
    Ref value = Ref::borrow(rec->node.cached_value);
    Py_DECREF(old);
    traced(rec, nullptr, "restored");
    return value.release();
}

// Folds a settled dependency into its reader's level.
void
fold(RecordObject *dep, Level &level) noexcept
{
    RecordObject *reader = as_record(level.node);
    if (!is_hit(dep) || dep->changed > reader->verified) {
        level.mark = Changed;
    }
    else if (level.mark == Same && dep->verified > reader->verified) {
        level.mark = Fresh;
    }
}

// Brings a stale node with recorded dependencies up to date, dependencies
// first, on an explicit stack. A node whose last computation was cached
// gets its last value back when none of its dependencies changed after it
// was verified and at least one was computed or confirmed since (what made
// it stale stopped at a cut-off below it); any other node is computed, the
// ones below `top` ahead of the read that will need them. New / null.
PyObject *
refresh(RecordObject *top, Frame *parent, DriverObject *driver,
        PyThreadState *tstate) noexcept
{
    Refresh here{driver->refreshes, Levels{}};
    driver->refreshes = &here;
    struct Leave {
        DriverObject *driver;
        Refresh &here;
        ~Leave()
        {
            driver->refreshes = here.outer;
            here.levels.clear();
            here.levels.free();
        }
    } leave{driver, here};
    Levels &levels = here.levels;
    int64_t start = revision;
    if (levels.push(reinterpret_cast<PyObject *>(top), false) < 0) {
        return nullptr;
    }
    for (;;) {
        Level *level = &levels.items[levels.size - 1];
        RecordObject *rec = as_record(level->node);
        PyObject *deps = rec->node.dependencies;
        if (level->mark != Changed && !PyList_CheckExact(deps)) {
            level->mark = Changed;
        }
        if (level->mark != Changed && level->pos < PyList_GET_SIZE(deps)) {
            Ref dep = Ref::borrow(PyList_GET_ITEM(deps, level->pos));
            ++level->pos;
            if (!is_trusted(dep.get())) {
                // A node of another kind: the function reads what it needs.
                level->mark = Changed;
                continue;
            }
            RecordObject *d = as_record(dep.get());
            if (!is_hit(d) && !is_held(driver, dep.get())) {
                if (d->busy && check_chain(d, parent, driver, true) < 0) {
                    return nullptr;
                }
                PyObject *below = d->node.dependencies;
                if (PyList_CheckExact(below) && PyList_GET_SIZE(below) > 0) {
                    if (levels.push(dep.get(), false) < 0) {
                        return nullptr;
                    }
                    continue;
                }
                if (settle(d, parent, driver, tstate) < 0) {
                    return nullptr;
                }
            }
            fold(d, levels.items[levels.size - 1]);
            continue;
        }
        uint8_t state = level->mark;
        Ref node = Ref::steal(levels.take());
        bool restorable = state == Fresh && rec->ok;
        if (levels.size == 0) {
            if (restorable) {
                if (PyObject *value = restore(rec, start)) {
                    return value;
                }
            }
            return compute(rec, parent, driver, false, tstate);
        }
        Ref restored = restorable ? Ref::steal(restore(rec, start)) : Ref();
        if (!restored && settle(rec, parent, driver, tstate) < 0) {
            return nullptr;
        }
        fold(rec, levels.items[levels.size - 1]);
    }
}

PyObject *
advance(RecordObject *rec, Frame *parent, DriverObject *driver,
        PyThreadState *tstate) noexcept
{
    PyObject *deps = rec->node.dependencies;
    if (!driver->exact && PyList_CheckExact(deps) &&
        PyList_GET_SIZE(deps) > 0) {
        return refresh(rec, parent, driver, tstate);
    }
    return compute(rec, parent, driver, false, tstate);
}

// A read in `frame` of a trusted record that is not a hit.
PyObject *
read_stale(RecordObject *rec, Frame *frame, PyThreadState *tstate) noexcept
{
    if (frame->effect) {
        // An effect's read: recorded in the effect, computed on its own, so
        // that no unwinding ever passes through an effect.
        Ref value = Ref::steal(drive(rec, tstate));
        if (!is_hit(rec)) {
            frame->stale = 1;
        }
        return value.release();
    }
    DriverObject *driver = frame->driver;
    Ref held_rec = Ref::borrow(reinterpret_cast<PyObject *>(rec));
    if (frame->unwound || driver->unwinding) {
        // A finally block on the way up: its reads wait for the rerun.
        frame->stale = 1;
        PyErr_SetNone(Unwinding);
        return nullptr;
    }
    if (rec->busy && check_chain(rec, frame, driver, false) < 0) {
        frame->stale = 1;
        return nullptr;
    }
    Ref value;
    int got = held(driver, held_rec.get(), value);
    if (got != 0) {
        frame->stale = 1;
        return got > 0 ? value.release() : nullptr;
    }
    if (too_deep(frame, driver, tstate) &&
        !(driver->computed && PySet_Contains(driver->computed, held_rec.get()) > 0)) {
        unwind(frame, driver, held_rec.get());
        return nullptr;
    }
    value = Ref::steal(advance(rec, frame, driver, tstate));
    // A kept error is a result like a value: the reader is cached.
    if (!is_hit(rec)) {
        frame->stale = 1;
    }
    return value.release();
}

// An outermost read: computes `rec` and, first, whatever its reads find
// too deep, from the driver's stack.
PyObject *
drive_loop(RecordObject *rec, DriverObject *driver, PyThreadState *tstate) noexcept;

PyObject *
drive(RecordObject *rec, PyThreadState *tstate) noexcept
{
    Ref driver_ref = Ref::steal(reinterpret_cast<PyObject *>(driver_new(tstate)));
    if (!driver_ref) {
        return nullptr;
    }
    DriverObject *driver = reinterpret_cast<DriverObject *>(driver_ref.get());
    Ref value = Ref::steal(drive_loop(rec, driver, tstate));
    // Changes made by node functions meanwhile (to other graphs) run the
    // effects they made stale now that the outermost read returned.
    if (driver->changed) {
        if (value) {
            if (after_read(driver) < 0) {
                return nullptr;
            }
        }
        else {
            PyObject *raised = PyErr_GetRaisedException();
            if (after_read(driver) < 0) {
                PyErr_WriteUnraisable(nullptr);
            }
            PyErr_SetRaisedException(raised);
        }
    }
    return value.release();
}

PyObject *
drive_loop(RecordObject *rec, DriverObject *driver, PyThreadState *tstate) noexcept
{
    Ref driver_ref = Ref::borrow(reinterpret_cast<PyObject *>(driver));
    // The reads of this context find their computations through it from
    // here until the read returns.
    Ref token = Ref::steal(PyContextVar_Set(current_var, driver_ref.get()));
    forget_cached_driver();
    if (!token) {
        return nullptr;
    }
    // A context copied meanwhile (a task, a thread) may keep the driver
    // after the read returns: it stops running then, and what it holds is
    // released. A reset that fails leaves a driver that no longer runs in
    // the variable, which counts as none.
    struct Done {
        DriverObject *driver;
        PyObject *token;
        ~Done()
        {
            PyObject *raised = PyErr_GetRaisedException();
            driver->running = 0;
            driver->current = nullptr;
            if (PyContextVar_Reset(current_var, token) < 0) {
                PyErr_Clear();
            }
            forget_cached_driver();
            driver->stack.clear();
            Py_CLEAR(driver->held);
            Py_CLEAR(driver->held_values);
            PyErr_SetRaisedException(raised);
        }
    } done{driver, token.get()};
    if (driver->stack.push(reinterpret_cast<PyObject *>(rec), false) < 0) {
        return nullptr;
    }
    for (;;) {
        Ref node = Ref::borrow(driver->stack.items[driver->stack.size - 1].node);
        RecordObject *top = as_record(node.get());
        Ref value;
        if (is_hit(top)) {
            value = Ref::steal(hit_result(top));
        }
        else {
            value = Ref::steal(advance(top, nullptr, driver, tstate));
        }
        bool outermost = driver->stack.size == 1;
        if (!value) {
            if (driver->unwinding && PyErr_ExceptionMatches(Unwinding)) {
                PyErr_Clear();
                driver->unwinding = 0;
                if (driver->restart) {
                    driver->restart = 0;
                    driver->exact = 1;
                    // Only the outermost node was really read from outside.
                    while (driver->stack.size > 1) {
                        Ref done = Ref::steal(driver->stack.take());
                    }
                }
                continue;
            }
            if (outermost || !PyErr_ExceptionMatches(PyExc_Exception)) {
                return nullptr;
            }
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            if (hold(driver->held, node.get(), exc.get()) < 0) {
                return nullptr;
            }
        }
        else if (outermost) {
            return value.release();
        }
        else {
            if (!driver->computed && !(driver->computed = PySet_New(nullptr))) {
                return nullptr;
            }
            if (PySet_Add(driver->computed, node.get()) < 0) {
                return nullptr;
            }
            if (!is_hit(top) &&
                hold(driver->held_values, node.get(), value.get()) < 0) {
                return nullptr;
            }
        }
        Ref done = Ref::steal(driver->stack.take());
    }
}

// A registry entry that is not a trusted record: read as the engine's
// fields say, and never computed here.
PyObject *
read_foreign(PyObject *node, PyObject *name) noexcept
{
    bool failed = false;
    Frame *frame = running_frame(PyThreadState_Get(), true, failed);
    if (failed) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(node, core_node_type)) {
        return raise(PyExc_TypeError, Msg::NotANode, Py_TYPE(node)->tp_name,
                     name);
    }
    Ref held_node = Ref::borrow(node);
    if (frame && frame->reads.add(node) < 0) {
        frame->stale = 1;
        return nullptr;
    }
    NodeObject *n = as_node(node);
    if (n->is_explicit || n->is_valid) {
        return Py_NewRef(n->cached_value);
    }
    if (frame) {
        frame->stale = 1;
    }
    return raise(PyExc_TypeError, Msg::Foreign, n->name);
}

// Records in the running computation that it missed `name` of `graph`,
// both in the frame and in the graph's table, so that registering the name
// reaches the reader. 0 / -1.
int
record_miss(Frame *frame, GraphObject *graph, PyObject *name) noexcept
{
    Ref pair = Ref::steal(PyTuple_Pack(2, graph->anchor, name));
    if (!pair) {
        return -1;
    }
    if (!frame->misses) {
        frame->misses = PyList_New(0);
        if (!frame->misses) {
            return -1;
        }
    }
    if (PyList_Append(frame->misses, pair.get()) < 0) {
        return -1;
    }
    if (!graph->missing) {
        graph->missing = PyDict_New();
        if (!graph->missing) {
            return -1;
        }
    }
    // Exact str keys and records: no code runs in these lookups.
    PyObject *readers = PyDict_GetItemWithError(graph->missing, name);
    Ref made;
    if (!readers) {
        if (PyErr_Occurred()) {
            return -1;
        }
        made = Ref::steal(PyDict_New());
        if (!made || PyDict_SetItem(graph->missing, name, made.get()) < 0) {
            return -1;
        }
        readers = made.get();
    }
    if (PyDict_SetItem(readers, frame->node, Py_None) < 0) {
        return -1;
    }
    AnchorObject *mine = as_record(frame->node)->anchor;
    if (mine != graph->anchor) {
        graph->crossed = 1;
        if (mine && mine->graph) {
            mine->graph->crossed = 1;
        }
    }
    return 0;
}

}  // namespace

PyObject *
run_effect(PyObject *node) noexcept
{
    RecordObject *rec = as_record(node);
    GraphObject *graph = rec->anchor ? rec->anchor->graph : nullptr;
    PyObject *owner = graph ? graph_owner(graph) : nullptr;
    if (!owner) {
        return raise(PyExc_ReferenceError, Msg::GraphGone, rec->node.name);
    }
    Ref held_node = Ref::borrow(node);
    Ref held_owner = Ref::borrow(owner);
    Ref func = Ref::borrow(rec->node.func);
    PyThreadState *tstate = PyThreadState_Get();
    Ref driver_ref = Ref::steal(reinterpret_cast<PyObject *>(driver_new(tstate)));
    if (!driver_ref) {
        return nullptr;
    }
    auto *driver = reinterpret_cast<DriverObject *>(driver_ref.get());
    Ref token = Ref::steal(PyContextVar_Set(current_var, driver_ref.get()));
    forget_cached_driver();
    if (!token) {
        return nullptr;
    }
    Frame here(node, nullptr, driver, tstate, false);
    here.effect = 1;
    int64_t start = revision;
    driver->current = &here;
    ++active_frames;
    ++rec->busy;
    PyObject *args[] = {owner};
    Ref value = Ref::steal(PyObject_Vectorcall(func.get(), args, 1, nullptr));
    --rec->busy;
    --active_frames;
    driver->current = nullptr;
    driver->running = 0;
    PyObject *raised = PyErr_GetRaisedException();
    if (PyContextVar_Reset(current_var, token.get()) < 0) {
        PyErr_Clear();
    }
    forget_cached_driver();
    // Its edges are what this run read, also when it failed; it is
    // pending again at once when a read left it stale.
    Dropped dropped;
    int linked = dropped.reserve(3) < 0 ? -1 : relink(rec, &here, dropped);
    if (linked < 0) {
        if (raised) {
            PyErr_WriteUnraisable(node);
        }
        else {
            raised = PyErr_GetRaisedException();
        }
        forget_misses(node, here.misses, rec->missed);
    }
    else {
        forget_misses(node, rec->missed, here.misses);
        dropped.add(rec->missed);
        rec->missed = here.misses;
        here.misses = nullptr;
        rec->verified = start;
        // `ok`: its reads ended up to date, so it has settled unless what
        // it read changed while it ran (then it is valid no more and runs
        // again); not ok, it waits for the next change.
        bool settled = !here.stale && linked == 0;
        bool current = true;
        for (Py_ssize_t i = 0; settled && i < here.reads.size; ++i) {
            PyObject *dep = here.reads.items[i];
            if (Py_IS_TYPE(dep, &RecordType)) {
                RecordObject *d = as_record(dep);
                if (!is_hit(d)) {
                    settled = false;
                }
                else if (d->changed > start) {
                    current = false;
                }
            }
        }
        rec->ok = settled;
        rec->node.is_valid = settled && current;
    }
    PyErr_SetRaisedException(raised);
    return raised ? nullptr : value.release();
}

PyObject *
read_found(PyObject *node, PyObject *name) noexcept
{
    if (!is_trusted(node)) {
        return read_foreign(node, name);
    }
    RecordObject *rec = as_record(node);
    if (active_frames == 0) {
        // No computation runs anywhere, so none can record this read.
        if (is_hit(rec)) {
            return hit_result(rec);
        }
        return drive(rec, PyThreadState_Get());
    }
    Ref held_node = Ref::borrow(node);
    PyThreadState *tstate = PyThreadState_Get();
    bool failed = false;
    Frame *f = running_frame(tstate, true, failed);
    if (failed) {
        return nullptr;
    }
    if (f && f->reads.add(node) < 0) {
        f->stale = 1;
        return nullptr;
    }
    if (is_hit(rec)) {
        return hit_result(rec);
    }
    return f ? read_stale(rec, f, tstate) : drive(rec, tstate);
}

PyObject *
read_missing(GraphObject *graph, PyObject *name) noexcept
{
    bool failed = false;
    Frame *f = running_frame(PyThreadState_Get(), true, failed);
    if (failed) {
        return nullptr;
    }
    Ref held_graph = Ref::borrow(reinterpret_cast<PyObject *>(graph));
    PyObject *reader = Py_None;
    if (f) {
        // A name of a str subclass is recorded as the str it equals, which
        // is what a registration stores.
        if (PyUnicode_Check(name)) {
            Ref exact = Ref::steal(PyUnicode_FromObject(name));
            if (!exact || record_miss(f, graph, exact.get()) < 0) {
                f->stale = 1;
                return nullptr;
            }
        }
        reader = as_node(f->node)->name;
    }
    PyObject *args[] = {name, reader, reinterpret_cast<PyObject *>(graph)};
    Ref error = Ref::steal(PyObject_Vectorcall(node_not_found, args, 3, nullptr));
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())),
                        error.get());
    }
    return nullptr;
}

int
guard(GraphObject *graph, PyObject *name, const char *action) noexcept
{
    if (active_frames == 0) {
        return 0;
    }
    bool failed = false;
    Frame *frame = running_frame(PyThreadState_Get(), false, failed);
    if (failed) {
        return -1;
    }
    // A computation an unwinding moved to its driver's stack is still
    // computing: it runs again once what it needs is computed.
    DriverObject *seen = nullptr;
    for (Frame *f = frame; f; f = f->parent) {
        PyObject *computing = nullptr;
        if (Py_IS_TYPE(f->node, &RecordType) &&
            as_record(f->node)->anchor == graph->anchor) {
            computing = f->node;
        }
        if (!computing && f->driver && f->driver != seen) {
            seen = f->driver;
            const Levels &stack = seen->stack;
            for (Py_ssize_t i = stack.size - 1; i >= 0 && !computing; --i) {
                PyObject *node = stack.items[i].node;
                if (as_record(node)->anchor == graph->anchor) {
                    computing = node;
                }
            }
        }
        if (computing) {
            raise(PyExc_RuntimeError, Msg::Guard, action, name,
                  as_node(computing)->name);
            return -1;
        }
    }
    return 0;
}

void
forget_misses(PyObject *reader, PyObject *entries, PyObject *keep) noexcept
{
    if (!entries || !PyList_CheckExact(entries)) {
        return;
    }
    PyObject *raised = PyErr_GetRaisedException();
    Ref held_reader = Ref::borrow(reader);
    Ref held_entries = Ref::borrow(entries);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
        PyObject *pair = PyList_GET_ITEM(entries, i);
        PyObject *anchor = PyTuple_GET_ITEM(pair, 0);
        PyObject *name = PyTuple_GET_ITEM(pair, 1);
        bool kept = false;
        if (keep && PyList_CheckExact(keep)) {
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(keep) && !kept; ++j) {
                PyObject *other = PyList_GET_ITEM(keep, j);
                kept = PyTuple_GET_ITEM(other, 0) == anchor &&
                       PyUnicode_Compare(PyTuple_GET_ITEM(other, 1), name) == 0;
            }
        }
        GraphObject *graph = reinterpret_cast<AnchorObject *>(anchor)->graph;
        if (kept || !graph || !graph->missing) {
            continue;
        }
        // Exact str names and records: nothing here runs code, and the
        // values dropped (the reader, an emptied dict) are held or empty.
        PyObject *readers = PyDict_GetItemWithError(graph->missing, name);
        if (readers && PyDict_DelItem(readers, reader) == 0 &&
            PyDict_GET_SIZE(readers) == 0) {
            PyDict_DelItem(graph->missing, name);
        }
        PyErr_Clear();
    }
    PyErr_SetRaisedException(raised);
}

}  // namespace tarn::layer
