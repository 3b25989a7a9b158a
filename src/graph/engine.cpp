// DAGEngine: the registry of nodes by name and the call stack, node
// creation and edges by name, memoised evaluation, access recording and
// invalidation by name.
#include "graph/graph.hpp"
#include "persistence/persistence.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace tarn {
namespace {

// ---------------------------------------------------------------------------
// Construction, collection, attributes

PyObject *
engine_tp_new(PyTypeObject *type, PyObject *, PyObject *)
{
    return engine_new_blank(type).release();
}

int
engine_tp_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    DictArgs a;
    if (bind_dict(Op::EngineInit, args, kwargs, a) < 0) {
        return -1;
    }
    EngineObject *e = as_engine(self);
    Ref nodes = Ref::steal(PyDict_New());
    if (!nodes) {
        add_traceback_entry(Site::EngineInit71);
        return -1;
    }
    set_field(e->nodes, std::move(nodes));
    Ref stack = Ref::steal(PyList_New(0));
    if (!stack) {
        add_traceback_entry(Site::EngineInit72);
        return -1;
    }
    set_field(e->call_stack, std::move(stack));
    return 0;
}

int
engine_traverse(PyObject *self, visitproc visit, void *arg)
{
    EngineObject *e = as_engine(self);
    Py_VISIT(e->nodes);
    Py_VISIT(e->call_stack);
    return 0;
}

int
engine_clear(PyObject *self)
{
    EngineObject *e = as_engine(self);
    set_field(e->nodes, Py_None);
    set_field(e->call_stack, Py_None);
    return 0;
}

void
engine_dealloc(PyObject *self)
{
    if (finalizer_revived(self, engine_dealloc)) {
        return;
    }
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, engine_dealloc)
    EngineObject *e = as_engine(self);
    Py_CLEAR(e->nodes);
    Py_CLEAR(e->call_stack);
    type->tp_free(self);
    Py_TRASHCAN_END
}

PyObject *
engine_get_nodes(PyObject *self, void *)
{
    return Py_NewRef(as_engine(self)->nodes);
}

int
engine_set_nodes(PyObject *self, PyObject *value, void *)
{
    return write_typed(as_engine(self)->nodes, value, &PyDict_Type, "dict", Site::EngineNodesSet);
}

PyObject *
engine_get_call_stack(PyObject *self, void *)
{
    return Py_NewRef(as_engine(self)->call_stack);
}

int
engine_set_call_stack(PyObject *self, PyObject *value, void *)
{
    return write_typed(as_engine(self)->call_stack, value, &PyList_Type, "list", Site::EngineCallStackSet);
}

PyGetSetDef engine_getset[] = {
    {"nodes", engine_get_nodes, engine_set_nodes, nullptr, nullptr},
    {"call_stack", engine_get_call_stack, engine_set_call_stack, nullptr,
     nullptr},
    {nullptr},
};

// ---------------------------------------------------------------------------
// Registry lookups

// What a registry lookup found (borrowed, or null when absent or failed):
// the node, None for an absent name, or nullptr with TypeError for a value
// that is not a node.
Ref
registry_value(PyObject *found) noexcept
{
    if (!found) {
        return PyErr_Occurred() ? Ref() : Ref::none();
    }
    if (found != Py_None && !is_node(found)) {
        raise_format(PyExc_TypeError, Msg::NodeConversion,
                     Py_TYPE(found)->tp_name, NodeType.tp_name);
        return {};
    }
    return Ref::borrow(found);
}

// Looks `name` up in the engine's registry, read afresh. Returns the node
// (a new reference), None for an absent name, or nullptr with an exception
// set: AttributeError when the registry is None, TypeError when the value
// found is not a node.
Ref
lookup_node(EngineObject *self, PyObject *name) noexcept
{
    // Held: a key's __eq__ may replace the registry during the lookup.
    Ref nodes = Ref::borrow(self->nodes);
    if (nodes.get() == Py_None) {
        raise_format(PyExc_AttributeError, Msg::NoneAttribute, "get");
        return {};
    }
    return registry_value(PyDict_GetItemWithError(nodes.get(), name));
}

// Removes the last element of the call stack (read afresh).
int
pop_call_stack(EngineObject *self) noexcept
{
    Ref stack = Ref::borrow(self->call_stack);
    if (stack.get() == Py_None) {
        raise_format(PyExc_AttributeError, Msg::NoneAttribute, "pop");
        return -1;
    }
    Py_ssize_t n = PyList_GET_SIZE(stack.get());
    if (n == 0) {
        raise(PyExc_IndexError, Msg::PopEmpty);
        return -1;
    }
    // The list only shrinks by one, so its storage stays as it is; the
    // element is released after the list no longer holds it.
    PyObject *last = PyList_GET_ITEM(stack.get(), n - 1);
    Py_SET_SIZE(stack.get(), n - 1);
    Py_DECREF(last);
    return 0;
}

// Raises the ValueError of an unregistered name.
void
not_found(PyObject *name) noexcept
{
    Ref text = name == Py_None ? Ref::steal(PyUnicode_FromString("None"))
                               : Ref::borrow(name);
    if (!text) {
        return;
    }
    constexpr Py_ssize_t kFixed = 6 + 18;  // "Node '" and "' not found in DAG"
    if (PyUnicode_GET_LENGTH(text.get()) > PY_SSIZE_T_MAX - kFixed) {
        raise(PyExc_OverflowError, Msg::JoinOverflow);
        return;
    }
    Ref text_message = Ref::steal(
        PyUnicode_FromFormat("%s%U%s", message(Msg::NotFoundHead), text.get(),
                             message(Msg::NotFoundTail)));
    if (!text_message) {
        return;
    }
    Ref exc = Ref::steal(
        PyObject_CallOneArg(PyExc_ValueError, text_message.get()));
    if (exc) {
        PyErr_SetObject(PyExc_ValueError, exc.get());
    }
}

// ---------------------------------------------------------------------------
// The overridable operations (internal entries)

PyObject *
engine_add_node_impl(EngineObject *self, PyObject *name, PyObject *func,
                     int is_explicit, PyObject *explicit_value, int flags,
                     int dispatch)
{
    if (dispatch && may_override(as_object(self))) {
        Ref replacement;
        int found = find_override(as_object(self), strings.add_node,
                                  Op::EngineAddNode, replacement);
        if (found < 0) {
            add_traceback_entry(Site::EngineAddNode74);
            return nullptr;
        }
        if (found > 0) {
            Ref flags_obj = Ref::steal(PyLong_FromLong(flags));
            if (!flags_obj) {
                add_traceback_entry(Site::EngineAddNode74);
                return nullptr;
            }
            PyObject *argv[] = {name, func, is_explicit ? Py_True : Py_False,
                                explicit_value, flags_obj.get()};
            Ref result = Ref::steal(
                PyObject_Vectorcall(replacement.get(), argv, 5, nullptr));
            if (!result) {
                add_traceback_entry(Site::EngineAddNode74);
                return nullptr;
            }
            if (result.get() != Py_None && !is_node(result.get())) {
                raise_format(PyExc_TypeError, Msg::NodeConversion,
                             Py_TYPE(result.get())->tp_name, NodeType.tp_name);
                add_traceback_entry(Site::EngineAddNode74);
                return nullptr;
            }
            return result.release();
        }
    }
    // The constructor's own checks cannot fail on these arguments (a str or
    // None name, a flag, a 32-bit integer), so the node is made directly.
    Ref node = node_create(name, func, is_explicit, explicit_value, flags);
    if (!node) {
        add_traceback_entry(Site::EngineAddNode75);
        return nullptr;
    }
    Ref nodes = Ref::borrow(self->nodes);
    if (nodes.get() == Py_None) {
        raise(PyExc_TypeError, Msg::NoneIndex);
        add_traceback_entry(Site::EngineAddNode76);
        return nullptr;
    }
    if (PyDict_SetItem(nodes.get(), name, node.get()) < 0) {
        add_traceback_entry(Site::EngineAddNode76);
        return nullptr;
    }
    return node.release();
}

int
engine_add_edge_impl(EngineObject *self, PyObject *dependent_name,
                     PyObject *dependency_name, int dispatch)
{
    if (dispatch && may_override(as_object(self))) {
        Ref replacement;
        int found = find_override(as_object(self), strings.add_edge,
                                  Op::EngineAddEdge, replacement);
        if (found < 0) {
            add_traceback_entry(Site::EngineAddEdge79);
            return -1;
        }
        if (found > 0) {
            PyObject *argv[] = {dependent_name, dependency_name};
            Ref result = Ref::steal(
                PyObject_Vectorcall(replacement.get(), argv, 2, nullptr));
            if (!result) {
                add_traceback_entry(Site::EngineAddEdge79);
                return -1;
            }
            return 0;
        }
    }
    Ref dependent = lookup_node(self, dependent_name);
    if (!dependent) {
        add_traceback_entry(Site::EngineAddEdge80);
        return -1;
    }
    Ref dependency = lookup_node(self, dependency_name);
    if (!dependency) {
        add_traceback_entry(Site::EngineAddEdge81);
        return -1;
    }
    if (dependent.get() == Py_None || dependency.get() == Py_None) {
        return 0;
    }
    if (node_table.add_dependency(as_node(dependent.get()), dependency.get(),
                                  1) < 0) {
        add_traceback_entry(Site::EngineAddEdge83);
        return -1;
    }
    return 0;
}

// Inequality of the running node's name and the accessed name, with the
// common cases decided without a comparison call. 1, 0, or -1.
int
names_differ(PyObject *a, PyObject *b) noexcept
{
    if (a == b) {
        return 0;
    }
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        // A str is always stored in its narrowest kind, so equal strings
        // have equal lengths, kinds and bytes: no ordering is needed.
        Py_ssize_t length = PyUnicode_GET_LENGTH(a);
        int kind = PyUnicode_KIND(a);
        return length != PyUnicode_GET_LENGTH(b) || kind != PyUnicode_KIND(b) ||
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                           static_cast<size_t>(length) * kind) != 0;
    }
    if ((PyUnicode_CheckExact(a) && b == Py_None) ||
        (a == Py_None && PyUnicode_CheckExact(b))) {
        return 1;
    }
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
    if (!result) {
        return -1;
    }
    return PyObject_IsTrue(result.get());
}

int
engine_record_access_impl(EngineObject *self, PyObject *accessed, int dispatch)
{
    if (dispatch && may_override(as_object(self))) {
        Ref replacement;
        int found = find_override(as_object(self), strings.record_access,
                                  Op::EngineRecordAccess, replacement);
        if (found < 0) {
            add_traceback_entry(Site::EngineRecordAccess85);
            return -1;
        }
        if (found > 0) {
            Ref result =
                Ref::steal(PyObject_CallOneArg(replacement.get(), accessed));
            if (!result) {
                add_traceback_entry(Site::EngineRecordAccess85);
                return -1;
            }
            return 0;
        }
    }
    PyObject *stack = self->call_stack;
    if (stack == Py_None || PyList_GET_SIZE(stack) == 0) {
        return 0;
    }
    Ref running = Ref::borrow(PyList_GET_ITEM(stack, PyList_GET_SIZE(stack) - 1));
    Ref held = Ref::borrow(accessed);
    int differ = names_differ(running.get(), accessed);
    if (differ < 0) {
        add_traceback_entry(Site::EngineRecordAccess89);
        return -1;
    }
    if (differ &&
        engine_table.add_edge(self, running.get(), accessed, 1) < 0) {
        add_traceback_entry(Site::EngineRecordAccess90);
        return -1;
    }
    return 0;
}

int
engine_invalidate_impl(EngineObject *self, PyObject *name, int dispatch)
{
    if (dispatch && may_override(as_object(self))) {
        Ref replacement;
        int found = find_override(as_object(self), strings.invalidate,
                                  Op::EngineInvalidate, replacement);
        if (found < 0) {
            add_traceback_entry(Site::EngineInvalidate92);
            return -1;
        }
        if (found > 0) {
            Ref result =
                Ref::steal(PyObject_CallOneArg(replacement.get(), name));
            if (!result) {
                add_traceback_entry(Site::EngineInvalidate92);
                return -1;
            }
            return 0;
        }
    }
    Ref node = lookup_node(self, name);
    if (!node) {
        add_traceback_entry(Site::EngineInvalidate93);
        return -1;
    }
    if (node.get() != Py_None &&
        node_table.invalidate(as_node(node.get()), 1) < 0) {
        add_traceback_entry(Site::EngineInvalidate95);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Evaluation
//
// Evaluating an invalid node first evaluates each of its static
// dependencies through the whole of evaluation (dispatch, lookup, validity,
// that node's own static dependencies, the call). Those levels live on an
// explicit stack instead of the native one, so a chain of any depth costs
// heap; only a call into a script's replacement of evaluate nests natively,
// under the interpreter's recursion counter.

// One level of a static walk: a node whose static dependencies are being
// evaluated, with the name it was reached by and the list it walks. The
// frame owns all three, so a script that replaces the node's list, drops
// the node from the registry or re-initialises it pulls nothing away from
// under the walk, which follows the list the level started with.
struct StaticFrame {
    PyObject *node;
    PyObject *name;
    PyObject *statics;
    Py_ssize_t index;
};

// A set of node pointers: open addressing with linear probing, where a
// removal shifts the entries after it back so that no tombstones build up.
class PointerSet {
public:
    PointerSet() noexcept = default;
    PointerSet(const PointerSet &) = delete;
    PointerSet &operator=(const PointerSet &) = delete;
    ~PointerSet()
    {
        if (slots_) {  // most walks never need the set
            PyMem_Free(slots_);
        }
    }

    // Takes over an empty buffer of `capacity` slots (a power of two, or
    // nothing when `slots` is null) before anything is added.
    void adopt(PyObject **slots, size_t capacity) noexcept
    {
        if (slots) {
            slots_ = slots;
            mask_ = capacity - 1;
            shift_ = 64 - std::countr_zero(capacity);
        }
    }

    // Hands over the buffer, which is empty again once everything added
    // was removed. Its capacity goes to `capacity`.
    PyObject **surrender(size_t &capacity) noexcept
    {
        capacity = slots_ ? mask_ + 1 : 0;
        mask_ = 0;
        shift_ = 64;
        return std::exchange(slots_, nullptr);
    }

    bool contains(PyObject *p) const noexcept
    {
        if (!slots_) {
            return false;
        }
        for (size_t i = home(p);; i = (i + 1) & mask_) {
            if (slots_[i] == p) {
                return true;
            }
            if (!slots_[i]) {
                return false;
            }
        }
    }

    // `p` must not be in the set.
    [[nodiscard]] int add(PyObject *p) noexcept
    {
        if ((count_ + 1) * 2 > mask_ + 1 || !slots_) {
            if (grow() < 0) {
                return -1;
            }
        }
        insert(p);
        ++count_;
        return 0;
    }

    // `p` must be in the set.
    void remove(PyObject *p) noexcept
    {
        size_t i = home(p);
        while (slots_[i] != p) {
            i = (i + 1) & mask_;
        }
        slots_[i] = nullptr;
        for (size_t j = (i + 1) & mask_; slots_[j]; j = (j + 1) & mask_) {
            size_t k = home(slots_[j]);
            // Entry j stays unless its home lies cyclically outside (i, j].
            bool stays = i < j ? (i < k && k <= j) : (i < k || k <= j);
            if (!stays) {
                slots_[i] = slots_[j];
                slots_[j] = nullptr;
                i = j;
            }
        }
        --count_;
    }

private:
    size_t home(PyObject *p) const noexcept
    {
        auto h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
        return static_cast<size_t>((h * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void insert(PyObject *p) noexcept
    {
        size_t i = home(p);
        while (slots_[i]) {
            i = (i + 1) & mask_;
        }
        slots_[i] = p;
    }

    int grow() noexcept
    {
        size_t capacity = slots_ ? (mask_ + 1) * 2 : 64;
        auto *slots = static_cast<PyObject **>(
            PyMem_Calloc(capacity, sizeof(PyObject *)));
        if (!slots) {
            PyErr_NoMemory();
            return -1;
        }
        PyObject **old = slots_;
        size_t old_capacity = old ? mask_ + 1 : 0;
        slots_ = slots;
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        for (size_t i = 0; i < old_capacity; ++i) {
            if (old[i]) {
                insert(old[i]);
            }
        }
        PyMem_Free(old);
        return 0;
    }

    PyObject **slots_ = nullptr;
    size_t mask_ = 0;
    int shift_ = 64;
    size_t count_ = 0;
};

// The buffers of a static walk that outgrows its first few levels are
// kept between walks, so a deep walk does not allocate and grow them
// afresh each time. One walk at a time holds them (a walk started while
// they are held, by a node function or another thread, uses its own).
StaticFrame *cached_static_frames = nullptr;
Py_ssize_t cached_static_capacity = 0;
PyObject **cached_pending_slots = nullptr;
size_t cached_pending_capacity = 0;
bool static_cache_taken = false;
constexpr size_t kMaxCachedStaticBytes = size_t{64} << 20;

// The levels of one static walk. A node is pending while its level is on
// the stack; reaching a pending node again would go round the same cycle
// for ever. The first few levels are searched directly; the nodes of the
// deeper ones are also kept in a set.
class StaticWalk {
public:
    StaticWalk() noexcept = default;
    StaticWalk(const StaticWalk &) = delete;
    StaticWalk &operator=(const StaticWalk &) = delete;
    ~StaticWalk()
    {
        while (size_ > 0) {
            pop();
        }
        // Every node added to the set was removed again: it is empty.
        size_t slots_capacity;
        PyObject **slots = deep_.surrender(slots_capacity);
        if (!from_cache_) {
            PyMem_Free(heap_);
            PyMem_Free(slots);
            return;
        }
        keep(cached_static_frames, cached_static_capacity, heap_,
             heap_capacity_, sizeof(StaticFrame));
        size_t kept = 0;
        keep(cached_pending_slots, kept, slots,
             static_cast<Py_ssize_t>(slots_capacity), sizeof(PyObject *));
        cached_pending_capacity = kept;
        static_cache_taken = false;
    }

    bool pending(PyObject *node) const noexcept
    {
        Py_ssize_t shallow = size_ < kInline ? size_ : kInline;
        for (Py_ssize_t i = 0; i < shallow; ++i) {
            if (frames_[i].node == node) {
                return true;
            }
        }
        return size_ > kInline && deep_.contains(node);
    }

    // Adopts the three references. The first level always fits.
    [[nodiscard]] int push(Ref node, Ref name, Ref statics) noexcept
    {
        if (size_ == capacity_ && grow() < 0) {
            return -1;
        }
        if (size_ >= kInline && deep_.add(node.get()) < 0) {
            return -1;
        }
        frames_[size_++] = StaticFrame{node.release(), name.release(),
                                       statics.release(), 0};
        return 0;
    }

    // Releasing may run script code; the frame is off the stack by then.
    void pop() noexcept
    {
        StaticFrame f = frames_[--size_];
        if (size_ >= kInline) {
            deep_.remove(f.node);
        }
        Py_DECREF(f.statics);
        Py_DECREF(f.name);
        Py_DECREF(f.node);
    }

    StaticFrame &top() noexcept { return frames_[size_ - 1]; }
    Py_ssize_t size() const noexcept { return size_; }

private:
    static constexpr Py_ssize_t kInline = 8;

    // Stores a buffer in the cache, or frees it when it is too large.
    template <typename T>
    static void keep(T *&cached, auto &cached_capacity, T *buffer,
                     Py_ssize_t capacity, size_t item) noexcept
    {
        if (static_cast<size_t>(capacity) * item <= kMaxCachedStaticBytes) {
            cached = buffer;
            cached_capacity = capacity;
        }
        else {
            PyMem_Free(buffer);
        }
    }

    int grow() noexcept
    {
        if (!heap_ && !from_cache_ && !static_cache_taken) {
            static_cache_taken = true;
            from_cache_ = true;
            heap_ = std::exchange(cached_static_frames, nullptr);
            heap_capacity_ = std::exchange(cached_static_capacity, 0);
            deep_.adopt(std::exchange(cached_pending_slots, nullptr),
                        std::exchange(cached_pending_capacity, 0));
        }
        Py_ssize_t capacity = capacity_ * 2;
        if (heap_capacity_ < capacity) {
            if (static_cast<size_t>(capacity) >
                PY_SSIZE_T_MAX / sizeof(StaticFrame)) {
                PyErr_NoMemory();
                return -1;
            }
            auto *heap = static_cast<StaticFrame *>(
                PyMem_Realloc(heap_, capacity * sizeof(StaticFrame)));
            if (!heap) {
                PyErr_NoMemory();
                return -1;
            }
            heap_ = heap;
            heap_capacity_ = capacity;
        }
        if (frames_ == inline_) {
            std::memcpy(heap_, inline_, size_ * sizeof(StaticFrame));
        }
        frames_ = heap_;
        capacity_ = heap_capacity_;
        return 0;
    }

    StaticFrame inline_[kInline];
    StaticFrame *frames_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = kInline;
    StaticFrame *heap_ = nullptr;  // owned, whether in use yet or not
    Py_ssize_t heap_capacity_ = 0;
    bool from_cache_ = false;
    PointerSet deep_;  // the nodes of frames [kInline, size_)
};

// Adds the entry of every level of the walk below the failure, innermost
// first, as each level of a recursive evaluation would.
std::nullptr_t
fail_levels(Py_ssize_t levels) noexcept
{
    for (Py_ssize_t i = 0; i < levels; ++i) {
        add_traceback_entry(Site::EngineEvaluate107);
    }
    return nullptr;
}

// A level's start, once its node was found invalid: takes the node's
// static dependencies and pushes the level.
int
open_level(StaticWalk &walk, Ref node, PyObject *name) noexcept
{
    Ref statics = Ref::borrow(as_node(node.get())->static_dependencies);
    if (statics.get() == Py_None) {
        raise(PyExc_TypeError, Msg::NoneIteration);
        add_traceback_entry(Site::EngineEvaluate106);
        return -1;
    }
    return walk.push(std::move(node), Ref::borrow(name), std::move(statics));
}

// A level's end, once its static dependencies are done: push the name,
// call the function, cache its value, pop. New reference / nullptr.
[[gnu::always_inline]] inline PyObject *
call_node(EngineObject *self, NodeObject *node, PyObject *name,
          PyObject *instance) noexcept
{
    {
        Ref stack = Ref::borrow(self->call_stack);
        if (stack.get() == Py_None) {
            raise_format(PyExc_AttributeError, Msg::NoneAttribute, "append");
            add_traceback_entry(Site::EngineEvaluate109);
            return nullptr;
        }
        if (PyList_Append(stack.get(), name) < 0) {
            add_traceback_entry(Site::EngineEvaluate109);
            return nullptr;
        }
    }
    Ref func = Ref::borrow(node->func);
    Ref value = Ref::steal(PyObject_CallOneArg(func.get(), instance));
    if (value) {
        set_field(node->cached_value, value.get());
        node->is_valid = 1;
        if (pop_call_stack(self) < 0) {
            add_traceback_entry(Site::EngineEvaluate115);
            return nullptr;
        }
        return value.release();
    }
    // The function raised: restore the call stack with its exception as
    // the one being handled, so that a failure of the removal names it as
    // its context. Only the innermost slot of the thread's handled-exception
    // stack is written, so it is that slot, exactly as it was (empty in a
    // generator that handles nothing), which is put back.
    PyObject *raised = PyErr_GetRaisedException();
    _PyErr_StackItem *slot = PyThreadState_Get()->exc_info;
    PyObject *saved = slot->exc_value;  // its reference moves to us
    slot->exc_value = Py_XNewRef(raised);
    int popped = pop_call_stack(self);
    PyObject *during = slot->exc_value;
    slot->exc_value = saved;
    Py_XDECREF(during);
    if (popped < 0) {
        Py_XDECREF(raised);
        add_traceback_entry(Site::EngineEvaluate115);
        return nullptr;
    }
    PyErr_SetRaisedException(raised);
    add_traceback_entry(Site::EngineEvaluate111);
    return nullptr;
}

// Override dispatch of evaluate for a static dependency. 1 when a
// replacement ran (its value discarded), 0 when the engine does its own
// work, -1 on failure with that evaluation's own entries.
[[gnu::noinline]] int
dispatch_dependency(EngineObject *self, PyObject *name,
                    PyObject *instance) noexcept
{
    // A replacement nests natively: the guard turns unbounded nesting into
    // RecursionError instead of a stack overflow.
    RecursionGuard guard(message(Msg::StaticRecursion));
    if (!guard.entered()) {
        return -1;
    }
    Ref replacement;
    int found = find_override(as_object(self), strings.evaluate,
                              Op::EngineEvaluate, replacement);
    if (found > 0) {
        PyObject *argv[] = {name, instance};
        Ref result = Ref::steal(
            PyObject_Vectorcall(replacement.get(), argv, 2, nullptr));
        found = result ? 1 : -1;
    }
    if (found < 0) {
        add_traceback_entry(Site::EngineEvaluate97);
    }
    return found;
}

// Evaluates `node` (invalid, reached by `name`): its static dependencies
// depth first and in list order, each as a level of `walk`, then its own
// function. New reference / nullptr with every level's entries added.
PyObject *
evaluate_walk(EngineObject *self, Ref node, PyObject *name,
              PyObject *instance) noexcept
{
    StaticWalk walk;
    if (open_level(walk, std::move(node), name) < 0) {
        return nullptr;
    }
    for (;;) {
        StaticFrame &level = walk.top();
        if (level.index < PyList_GET_SIZE(level.statics)) {
            Ref dep = Ref::borrow(PyList_GET_ITEM(level.statics, level.index));
            ++level.index;
            if (!is_name(dep.get())) {
                raise_format(PyExc_TypeError, Msg::RefusedWrite, "str",
                             Py_TYPE(dep.get())->tp_name);
                add_traceback_entry(Site::EngineEvaluate106);
                return fail_levels(walk.size() - 1);
            }
            // The dependency's own evaluation, with dispatch allowed.
            if (may_override(as_object(self))) {
                int handled = dispatch_dependency(self, dep.get(), instance);
                if (handled < 0) {
                    return fail_levels(walk.size());
                }
                if (handled > 0) {
                    continue;
                }
            }
            Ref found = lookup_node(self, dep.get());
            if (!found) {
                add_traceback_entry(Site::EngineEvaluate98);
                return fail_levels(walk.size());
            }
            if (found.get() == Py_None) {
                not_found(dep.get());
                add_traceback_entry(Site::EngineEvaluate101);
                return fail_levels(walk.size());
            }
            if (as_node(found.get())->is_valid) {
                continue;
            }
            if (walk.pending(found.get())) {
                raise(PyExc_RecursionError, Msg::StaticCycle);
                return fail_levels(walk.size());
            }
            Py_ssize_t levels = walk.size();
            if (open_level(walk, std::move(found), dep.get()) < 0) {
                return fail_levels(levels);
            }
            continue;
        }
        // The frame owns both while the function runs; nothing else pushes
        // onto this walk's stack meanwhile.
        PyObject *value = call_node(self, as_node(level.node), level.name,
                                    instance);
        if (!value) {
            return fail_levels(walk.size() - 1);
        }
        if (walk.size() == 1) {
            return value;
        }
        // A dependency's value is only kept by its node.
        Py_DECREF(value);
        walk.pop();
    }
}

// Evaluation once the registry lookup is done: `node` is the node, None
// for an absent name, or empty when the lookup failed.
PyObject *
evaluate_found(EngineObject *self, Ref node, PyObject *name,
               PyObject *instance) noexcept
{
    if (!node) {
        add_traceback_entry(Site::EngineEvaluate98);
        return nullptr;
    }
    if (node.get() == Py_None) {
        not_found(name);
        add_traceback_entry(Site::EngineEvaluate101);
        return nullptr;
    }
    NodeObject *n = as_node(node.get());
    if (n->is_valid) {
        return Py_NewRef(n->cached_value);
    }
    PyObject *statics = n->static_dependencies;
    if (statics != Py_None && PyList_GET_SIZE(statics) == 0) {
        // Nothing to walk: the function at once, the node held here.
        return call_node(self, n, name, instance);
    }
    return evaluate_walk(self, std::move(node), name, instance);
}

PyObject *
engine_evaluate_impl(EngineObject *self, PyObject *name, PyObject *instance,
                     int dispatch)
{
    if (dispatch && may_override(as_object(self))) {
        Ref replacement;
        int found = find_override(as_object(self), strings.evaluate,
                                  Op::EngineEvaluate, replacement);
        if (found < 0) {
            add_traceback_entry(Site::EngineEvaluate97);
            return nullptr;
        }
        if (found > 0) {
            PyObject *argv[] = {name, instance};
            PyObject *result =
                PyObject_Vectorcall(replacement.get(), argv, 2, nullptr);
            if (!result) {
                add_traceback_entry(Site::EngineEvaluate97);
            }
            return result;
        }
    }
    return evaluate_found(self, lookup_node(self, name), name, instance);
}

}  // namespace

// ---------------------------------------------------------------------------
// Script-visible methods

PyObject *
engine_add_node(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames)
{
    if (nargs == 2 && !kwnames && is_name(args[0])) {
        // A name and a function bind to themselves, with every default.
        PyObject *node = engine_add_node_impl(as_engine(self), args[0],
                                              args[1], 0, Py_None, 0, 0);
        if (!node) {
            add_traceback_entry(Site::EngineAddNode74);
        }
        return node;
    }
    Args a;
    if (bind_vector(Op::EngineAddNode, args, nargs, kwnames, a) < 0) {
        return nullptr;
    }
    PyObject *node = engine_add_node_impl(as_engine(self), a.obj[0], a.obj[1],
                                          a.num[2], a.obj[3], a.num[4], 0);
    if (!node) {
        add_traceback_entry(Site::EngineAddNode74);
    }
    return node;
}

PyObject *
engine_add_edge(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames)
{
    Args a;
    if (nargs == 2 && !kwnames && is_name(args[0]) && is_name(args[1])) {
        a.obj[0] = args[0];  // two names bind to themselves
        a.obj[1] = args[1];
    }
    else if (bind_vector(Op::EngineAddEdge, args, nargs, kwnames, a) < 0) {
        return nullptr;
    }
    if (engine_add_edge_impl(as_engine(self), a.obj[0], a.obj[1], 0) < 0) {
        add_traceback_entry(Site::EngineAddEdge79);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *
engine_record_access(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames)
{
    Args a;
    if (nargs == 1 && !kwnames && is_name(args[0])) {
        a.obj[0] = args[0];  // a name binds to itself
    }
    else if (bind_vector(Op::EngineRecordAccess, args, nargs, kwnames, a) <
             0) {
        return nullptr;
    }
    if (engine_record_access_impl(as_engine(self), a.obj[0], 0) < 0) {
        add_traceback_entry(Site::EngineRecordAccess85);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *
engine_invalidate(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames)
{
    Args a;
    if (bind_vector(Op::EngineInvalidate, args, nargs, kwnames, a) < 0) {
        return nullptr;
    }
    if (engine_invalidate_impl(as_engine(self), a.obj[0], 0) < 0) {
        add_traceback_entry(Site::EngineInvalidate92);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The rest of a call whose lookup did not hit, kept out of line so that
// the hit path stays short: `found` is what the lookup in `nodes` gave, and
// the reference to `nodes` taken for the lookup is dropped here.
[[gnu::noinline]] static PyObject *
evaluate_missed(PyObject *self, PyObject *const *args, PyObject *nodes,
                PyObject *found) noexcept
{
    Ref node = registry_value(found);
    Py_DECREF(nodes);
    PyObject *value =
        evaluate_found(as_engine(self), std::move(node), args[0], args[1]);
    if (!value) {
        add_traceback_entry(Site::EngineEvaluate97);
    }
    return value;
}

// Any other call: bound from scratch.
[[gnu::noinline]] static PyObject *
evaluate_bound(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames) noexcept
{
    Args a;
    if (bind_vector(Op::EngineEvaluate, args, nargs, kwnames, a) < 0) {
        return nullptr;
    }
    PyObject *value =
        engine_evaluate_impl(as_engine(self), a.obj[0], a.obj[1], 0);
    if (!value) {
        add_traceback_entry(Site::EngineEvaluate97);
    }
    return value;
}

// Two positional arguments: a proper name binds to itself, and a valid
// node then costs one lookup and one field read.
[[gnu::always_inline]] static inline PyObject *
evaluate_two(PyObject *self, PyObject *const *args) noexcept
{
    PyObject *nodes = as_engine(self)->nodes;
    if (!is_name(args[0]) || !PyDict_CheckExact(nodes)) {
        return evaluate_bound(self, args, 2, nullptr);
    }
    // Held: a stored key's __eq__ may replace the registry.
    Py_INCREF(nodes);
    PyObject *found = PyDict_GetItemWithError(nodes, args[0]);
    if (found && Py_IS_TYPE(found, &NodeType) && as_node(found)->is_valid) {
        PyObject *value = Py_NewRef(as_node(found)->cached_value);
        Py_DECREF(nodes);
        return value;
    }
    return evaluate_missed(self, args, nodes, found);
}

PyObject *
engine_evaluate(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames)
{
    if (nargs == 2 && !kwnames) {
        return evaluate_two(self, args);
    }
    return evaluate_bound(self, args, nargs, kwnames);
}

PyObject *
engine_evaluate_vectorcall(PyObject *callable, PyObject *const *args,
                           size_t nargsf, PyObject *kwnames)
{
    // An exact engine needs no instance check beyond its type.
    if (PyVectorcall_NARGS(nargsf) == 3 && !kwnames &&
        Py_IS_TYPE(args[0], &EngineType)) {
        return evaluate_two(args[0], args + 1);
    }
    return function_vectorcall(callable, args, nargsf, kwnames);
}

const EngineTable engine_table = {
    engine_add_node_impl,    engine_add_edge_impl, engine_record_access_impl,
    engine_invalidate_impl,  engine_evaluate_impl,
};

Ref
engine_new_blank(PyTypeObject *type) noexcept
{
    PyObject *o = alloc_instance(type);
    if (!o) {
        return {};
    }
    as_engine(o)->nodes = Py_NewRef(Py_None);
    as_engine(o)->call_stack = Py_NewRef(Py_None);
    return Ref::steal(o);
}

PyTypeObject EngineType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn.tarnwick.DAGEngine",
    .tp_basicsize = sizeof(EngineObject),
    .tp_dealloc = engine_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Manages the lifecycle and topology of the graph.",
    .tp_traverse = engine_traverse,
    .tp_clear = engine_clear,
    .tp_methods = engine_pickle_methods,
    .tp_getset = engine_getset,
    .tp_init = engine_tp_init,
    .tp_new = engine_tp_new,
};

int
engine_type_ready(PyObject *module) noexcept
{
    return ready_type(module, &EngineType, &engine_table, "DAGEngine");
}

}  // namespace tarn
