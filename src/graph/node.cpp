// Node: the record, its attributes, construction, garbage collection, and
// its two overridable operations: add_dependency (a two-way edge without
// duplicates) and invalidate (the depth-first walk over dependents).
#include "graph/graph.hpp"
#include "persistence/persistence.hpp"

#include <cstddef>
#include <cstdint>

namespace tarn {
namespace {

// ---------------------------------------------------------------------------
// Construction

// The assignments of __init__, in their order.
int
node_init_fields(NodeObject *n, PyObject *name, PyObject *func,
                 int is_explicit, PyObject *explicit_value, int flags) noexcept
{
    set_field(n->name, name);
    set_field(n->func, func);
    n->is_explicit = is_explicit;
    n->is_valid = is_explicit;
    set_field(n->cached_value, explicit_value);
    Ref list = Ref::steal(PyList_New(0));
    if (!list) {
        add_traceback_entry(Site::NodeInit38);
        return -1;
    }
    set_field(n->dependencies, std::move(list));
    list = Ref::steal(PyList_New(0));
    if (!list) {
        add_traceback_entry(Site::NodeInit39);
        return -1;
    }
    set_field(n->dependents, std::move(list));
    n->flags = flags;
    list = Ref::steal(PyList_New(0));
    if (!list) {
        add_traceback_entry(Site::NodeInit41);
        return -1;
    }
    set_field(n->static_dependencies, std::move(list));
    return 0;
}

PyObject *
node_tp_new(PyTypeObject *type, PyObject *, PyObject *)
{
    return node_new_blank(type).release();
}

int
node_tp_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    DictArgs a;
    if (bind_dict(Op::NodeInit, args, kwargs, a) < 0) {
        return -1;
    }
    return node_init_fields(as_node(self), a.obj[0], a.obj[1], a.num[2],
                            a.obj[3], a.num[4]);
}

// ---------------------------------------------------------------------------
// Garbage collection and destruction

int
node_traverse(PyObject *self, visitproc visit, void *arg)
{
    NodeObject *n = as_node(self);
    Py_VISIT(n->func);
    Py_VISIT(n->dependencies);
    Py_VISIT(n->dependents);
    Py_VISIT(n->cached_value);
    Py_VISIT(n->static_dependencies);
    return 0;
}

int
node_clear(PyObject *self)
{
    NodeObject *n = as_node(self);
    set_field(n->func, Py_None);
    set_field(n->dependencies, Py_None);
    set_field(n->dependents, Py_None);
    set_field(n->cached_value, Py_None);
    set_field(n->static_dependencies, Py_None);
    return 0;
}

void
node_dealloc(PyObject *self)
{
    if (finalizer_revived(self, node_dealloc)) {
        return;
    }
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // The trashcan turns the release of a long chain of nodes held through
    // their fields into a loop instead of a native recursion.
    Py_TRASHCAN_BEGIN(self, node_dealloc)
    NodeObject *n = as_node(self);
    Py_CLEAR(n->name);
    Py_CLEAR(n->func);
    Py_CLEAR(n->dependencies);
    Py_CLEAR(n->dependents);
    Py_CLEAR(n->cached_value);
    Py_CLEAR(n->static_dependencies);
    type->tp_free(self);
    Py_TRASHCAN_END
}

// ---------------------------------------------------------------------------
// Attributes

PyObject *
get_object(PyObject *field) noexcept
{
    return Py_NewRef(field);
}

int
set_list(PyObject *&field, PyObject *value, Site site) noexcept
{
    return write_typed(field, value, &PyList_Type, "list", site);
}

int
set_flag(int &field, PyObject *value, Site site) noexcept
{
    if (!value) {
        raise(PyExc_NotImplementedError, Msg::DeletionRefused);
        return -1;
    }
    int v;
    if (to_flag(value, &v) < 0) {
        add_traceback_entry(site);
        return -1;
    }
    field = v;
    return 0;
}

PyObject *
node_get_name(PyObject *self, void *)
{
    return get_object(as_node(self)->name);
}

int
node_set_name(PyObject *self, PyObject *value, void *)
{
    return write_typed(as_node(self)->name, value, &PyUnicode_Type, "str",
                       Site::NodeNameSet);
}

PyObject *
node_get_func(PyObject *self, void *)
{
    return get_object(as_node(self)->func);
}

int
node_set_func(PyObject *self, PyObject *value, void *)
{
    set_field(as_node(self)->func, value ? value : Py_None);
    return 0;
}

PyObject *
node_get_dependencies(PyObject *self, void *)
{
    return get_object(as_node(self)->dependencies);
}

int
node_set_dependencies(PyObject *self, PyObject *value, void *)
{
    return set_list(as_node(self)->dependencies, value,
                    Site::NodeDependenciesSet);
}

PyObject *
node_get_dependents(PyObject *self, void *)
{
    return get_object(as_node(self)->dependents);
}

int
node_set_dependents(PyObject *self, PyObject *value, void *)
{
    return set_list(as_node(self)->dependents, value, Site::NodeDependentsSet);
}

PyObject *
node_get_is_valid(PyObject *self, void *)
{
    return PyBool_FromLong(as_node(self)->is_valid);
}

int
node_set_is_valid(PyObject *self, PyObject *value, void *)
{
    return set_flag(as_node(self)->is_valid, value, Site::NodeIsValidSet);
}

PyObject *
node_get_is_explicit(PyObject *self, void *)
{
    return PyBool_FromLong(as_node(self)->is_explicit);
}

int
node_set_is_explicit(PyObject *self, PyObject *value, void *)
{
    return set_flag(as_node(self)->is_explicit, value,
                    Site::NodeIsExplicitSet);
}

PyObject *
node_get_cached_value(PyObject *self, void *)
{
    return get_object(as_node(self)->cached_value);
}

int
node_set_cached_value(PyObject *self, PyObject *value, void *)
{
    set_field(as_node(self)->cached_value, value ? value : Py_None);
    return 0;
}

PyObject *
node_get_flags(PyObject *self, void *)
{
    PyObject *v = PyLong_FromLong(as_node(self)->flags);
    if (!v) {
        add_traceback_entry(Site::NodeFlagsGet);
    }
    return v;
}

int
node_set_flags(PyObject *self, PyObject *value, void *)
{
    if (!value) {
        raise(PyExc_NotImplementedError, Msg::DeletionRefused);
        return -1;
    }
    int v;
    if (to_int32(value, &v) < 0) {
        add_traceback_entry(Site::NodeFlagsSet);
        return -1;
    }
    as_node(self)->flags = v;
    return 0;
}

PyObject *
node_get_static_dependencies(PyObject *self, void *)
{
    return get_object(as_node(self)->static_dependencies);
}

int
node_set_static_dependencies(PyObject *self, PyObject *value, void *)
{
    return set_list(as_node(self)->static_dependencies, value,
                    Site::NodeStaticDependenciesSet);
}

PyGetSetDef node_getset[] = {
    {"name", node_get_name, node_set_name, nullptr, nullptr},
    {"func", node_get_func, node_set_func, nullptr, nullptr},
    {"dependencies", node_get_dependencies, node_set_dependencies, nullptr,
     nullptr},
    {"dependents", node_get_dependents, node_set_dependents, nullptr, nullptr},
    {"is_valid", node_get_is_valid, node_set_is_valid, nullptr, nullptr},
    {"is_explicit", node_get_is_explicit, node_set_is_explicit, nullptr,
     nullptr},
    {"cached_value", node_get_cached_value, node_set_cached_value, nullptr,
     nullptr},
    {"flags", node_get_flags, node_set_flags, nullptr, nullptr},
    {"static_dependencies", node_get_static_dependencies,
     node_set_static_dependencies, nullptr, nullptr},
    {nullptr},
};

// ---------------------------------------------------------------------------
// add_dependency

// The list's own containment test (identity, then equality), except that
// two objects both exactly Node are equal only when identical: Node has no
// equality of its own, so the comparison could only say so.
int
contains_node(PyObject *list, PyObject *dep) noexcept
{
    if (!PyList_CheckExact(list)) {
        return PySequence_Contains(list, dep);
    }
    Py_ssize_t start = 0;
    if (Py_IS_TYPE(dep, &NodeType)) {
        // No script code runs while every element before the match is
        // exactly a Node too, so the identity test can go first: a tight
        // scan of the pointers, then one of the types in front of the match.
        PyObject **items = reinterpret_cast<PyListObject *>(list)->ob_item;
        Py_ssize_t size = PyList_GET_SIZE(list);
        Py_ssize_t match = 0;
        while (match < size && items[match] != dep) {
            ++match;
        }
        while (start < match && Py_IS_TYPE(items[start], &NodeType)) {
            ++start;
        }
        if (start == match) {
            return match < size;
        }
    }
    // From the first element that may compare equal, in order.
    bool plain = Py_IS_TYPE(dep, &NodeType);
    for (Py_ssize_t i = start; i < PyList_GET_SIZE(list); ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if (item == dep) {
            return 1;
        }
        if (plain && Py_IS_TYPE(item, &NodeType)) {
            continue;
        }
        Ref held = Ref::borrow(item);
        int cmp = PyObject_RichCompareBool(held.get(), dep, Py_EQ);
        if (cmp != 0) {
            return cmp;
        }
    }
    return 0;
}

int
append_to(PyObject *list, PyObject *item) noexcept
{
    if (list == Py_None) {
        raise_format(PyExc_AttributeError, Msg::NoneAttribute, "append");
        return -1;
    }
    return PyList_Append(list, item);
}

int
node_add_dependency_impl(NodeObject *self, PyObject *dep, int dispatch)
{
    if (dispatch && may_override(as_object(self))) {
        Ref replacement;
        int found = find_override(as_object(self), strings.add_dependency,
                                  Op::NodeAddDependency, replacement);
        if (found < 0) {
            add_traceback_entry(Site::NodeAddDependency43);
            return -1;
        }
        if (found > 0) {
            Ref result =
                Ref::steal(PyObject_CallOneArg(replacement.get(), dep));
            if (!result) {
                add_traceback_entry(Site::NodeAddDependency43);
                return -1;
            }
            return 0;
        }
    }
    // None would have to record this node in None's dependents: refuse it
    // before anything changes.
    if (dep == Py_None) {
        raise_format(PyExc_TypeError, Msg::NodeConversion, "NoneType",
                     NodeType.tp_name);
        add_traceback_entry(Site::NodeAddDependency45);
        return -1;
    }
    Ref held_dep = Ref::borrow(dep);
    Ref dependencies = Ref::borrow(self->dependencies);
    int found = contains_node(dependencies.get(), dep);
    if (found < 0) {
        add_traceback_entry(Site::NodeAddDependency45);
        return -1;
    }
    if (found) {
        return 0;
    }
    // Equality tests may have run script code: read the fields afresh.
    dependencies = Ref::borrow(self->dependencies);
    if (append_to(dependencies.get(), dep) < 0) {
        add_traceback_entry(Site::NodeAddDependency46);
        return -1;
    }
    Ref dependents = Ref::borrow(as_node(dep)->dependents);
    if (append_to(dependents.get(), as_object(self)) < 0) {
        add_traceback_entry(Site::NodeAddDependency47);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// invalidate
//
// The walk is depth first and in list order. Plain nodes are walked with an
// explicit stack of (list, index) frames, so a chain of any depth costs
// heap, not native stack; each frame stands for one level of the
// recursion the operation describes, and a failure adds one entry per
// level exactly as a recursive walk would.

// How many elements ahead a wide walk asks for the nodes it will visit.
constexpr Py_ssize_t kPrefetchAhead = 8;

// Frames borrow their lists while no script code can run: each list is
// then kept alive by the node that holds it, and that node by the list one
// frame down (the first by the node the walk started at). Before anything
// that may run script code (an override, or dropping the last reference to
// an old cached value or to the node in hand), `secure` gives every
// borrowed frame a reference of its own. So the borrowed frames are exactly
// those pushed since script code last had a chance to run.
//
// A frame pushed while the frame below it had no elements left ends that
// frame too, unless script code runs meanwhile and appends to its list: so
// while a frame is still borrowed, ending it pops every such frame below at
// once (`drop_to`), and unwinding a deep chain touches neither the lists
// nor the frames in between.
struct Frame {
    PyObject *list;
    Py_ssize_t index;
    size_t drop_to;  // where the top is once this frame ends, while it is
                     // borrowed: bytes from the start of the buffer
};

// One buffer of frames outlives the walks, so a deep walk does not map its
// stack afresh each time. A walk takes it and hands it back at its end; a
// walk that finds it taken (an override or a finaliser started another
// walk, or another thread did) uses a buffer of its own.
Frame *cached_frames = nullptr;
Py_ssize_t cached_capacity = 0;
bool cached_taken = false;
constexpr size_t kMaxCachedBytes = size_t{64} << 20;

class WalkStack {
public:
    WalkStack() noexcept
    {
        if (!cached_taken) {
            cached_taken = true;
            from_cache_ = true;
            frames_ = std::exchange(cached_frames, nullptr);
            end_ = frames_ + std::exchange(cached_capacity, 0);
            top_ = strong_ = frames_;
        }
    }
    WalkStack(const WalkStack &) = delete;
    WalkStack &operator=(const WalkStack &) = delete;
    ~WalkStack()
    {
        top_ = strong_;  // the borrowed frames need nothing
        while (top_ > frames_) {
            pop();
        }
        Py_ssize_t capacity = end_ - frames_;
        if (from_cache_ &&
            static_cast<size_t>(capacity) * sizeof(Frame) <= kMaxCachedBytes) {
            cached_frames = frames_;
            cached_capacity = capacity;
        }
        else {
            PyMem_Free(frames_);
        }
        if (from_cache_) {
            cached_taken = false;
        }
    }

    // Borrows `list`, which the caller's node holds. `below_done` says
    // that the top frame has no elements left.
    [[nodiscard]] int push(PyObject *list, bool below_done) noexcept
    {
        if (top_ == end_ && grow() < 0) {
            return -1;
        }
        size_t drop_to = offset(top_);
        if (below_done && top_ > strong_) {
            drop_to = top_[-1].drop_to;
        }
        *top_++ = Frame{list, 0, drop_to};
        return 0;
    }

    // Ends the top frame, and with it the frames below that it ends.
    void finish() noexcept
    {
        if (top_ > strong_) {
            // Borrowed, as is every frame down to `drop_to` that is above
            // the owning ones.
            auto *drop_to = reinterpret_cast<Frame *>(
                reinterpret_cast<char *>(frames_) + top_[-1].drop_to);
            top_ = drop_to > strong_ ? drop_to : strong_;
            return;
        }
        pop();
    }

    // Called before anything that may run script code.
    void secure() noexcept
    {
        for (Frame *f = strong_; f < top_; ++f) {
            Py_INCREF(f->list);
        }
        strong_ = top_;
    }

    // Drops a reference the walk held, securing the frames first when it
    // is the last one.
    void release(PyObject *o) noexcept
    {
        if (Py_REFCNT(o) == 1) {
            secure();
        }
        Py_DECREF(o);
    }

    // The top frame; null when the stack is empty.
    Frame *top() noexcept { return top_ > frames_ ? top_ - 1 : nullptr; }
    Py_ssize_t size() const noexcept { return top_ - frames_; }

private:
    size_t offset(Frame *f) const noexcept
    {
        return static_cast<size_t>(reinterpret_cast<char *>(f) -
                                   reinterpret_cast<char *>(frames_));
    }

    void pop() noexcept
    {
        --top_;
        if (top_ < strong_) {
            // Releasing may run script code; the frames below are ours.
            strong_ = top_;
            Py_DECREF(top_->list);
        }
    }

    int grow() noexcept
    {
        Py_ssize_t size = top_ - frames_;
        Py_ssize_t strong = strong_ - frames_;
        Py_ssize_t capacity = size ? size * 2 : 64;
        if (static_cast<size_t>(capacity) > PY_SSIZE_T_MAX / sizeof(Frame)) {
            PyErr_NoMemory();
            return -1;
        }
        auto *frames = static_cast<Frame *>(
            PyMem_Realloc(frames_, capacity * sizeof(Frame)));
        if (!frames) {
            PyErr_NoMemory();
            return -1;
        }
        frames_ = frames;
        top_ = frames + size;
        strong_ = frames + strong;
        end_ = frames + capacity;
        return 0;
    }

    Frame *frames_ = nullptr;
    Frame *top_ = nullptr;     // one past the top frame
    Frame *end_ = nullptr;     // the end of the buffer
    Frame *strong_ = nullptr;  // frames below this one own their lists
    bool from_cache_ = false;
};

// A new reference to None. None is immortal, so the count it would add is
// never read.
static_assert(PY_VERSION_HEX >= 0x030C0000, "None is immortal from 3.12");
inline PyObject *
none_ref() noexcept
{
    return Py_None;
}

// The walk's inline path takes Node itself and one more type, learned the
// first time the general path meets it: a static subtype of Node made by
// another native module, without an instance dictionary and not abstract.
// `may_override` is false for such a type, so no replacement of invalidate
// can exist for it and its records need exactly the steps a Node does.
PyTypeObject *inline_other = nullptr;

inline bool
walks_inline(PyObject *o) noexcept
{
    PyTypeObject *t = Py_TYPE(o);
    return t == &NodeType || t == inline_other;
}

void
learn_inline(PyTypeObject *t) noexcept
{
    if (!inline_other && t->tp_base == &NodeType && t->tp_dictoffset == 0 &&
        !(t->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT))) {
        inline_other = t;
    }
}

// Override dispatch of invalidate: 1 when a replacement ran, 0 when the
// node does its own work, -1 on failure (with the operation's entry).
[[gnu::noinline]] int
invalidate_dispatch(NodeObject *node) noexcept
{
    Ref replacement;
    int found = find_override(as_object(node), strings.invalidate,
                              Op::NodeInvalidate, replacement);
    if (found > 0) {
        Ref result = Ref::steal(PyObject_CallNoArgs(replacement.get()));
        found = result ? 1 : -1;
    }
    if (found < 0) {
        add_traceback_entry(Site::NodeInvalidate49);
    }
    return found;
}

// The end of a node's step once it is cleared: push its dependents for the
// walk. -1 with this level's entry added.
inline int
push_dependents(NodeObject *node, WalkStack &stack,
                bool below_done = false) noexcept
{
    PyObject *dependents = node->dependents;
    if (dependents == Py_None) {
        raise(PyExc_TypeError, Msg::NoneIteration);
        add_traceback_entry(Site::NodeInvalidate61);
        return -1;
    }
    // An empty list has nothing to walk; a leaf needs no frame.
    if (PyList_GET_SIZE(dependents) > 0 &&
        stack.push(dependents, below_done) < 0) {
        add_traceback_entry(Site::NodeInvalidate61);
        return -1;
    }
    return 0;
}

// One node's own step of invalidation: dispatch, the barrier test, the
// clearing, and pushing its dependents for the walk. The caller holds
// `node`. Returns -1 with this level's entries added.
[[gnu::noinline]] int
invalidate_step(NodeObject *node, int dispatch, WalkStack &stack) noexcept
{
    if (dispatch && may_override(as_object(node))) {
        stack.secure();
        int handled = invalidate_dispatch(node);
        if (handled != 0) {
            return handled < 0 ? -1 : 0;
        }
    }
    if (node->is_explicit || !node->is_valid) {
        return 0;
    }
    node->is_valid = 0;
    PyObject *old = node->cached_value;
    node->cached_value = Py_NewRef(Py_None);
    stack.release(old);
    // Read after the release: the old value's finaliser may have replaced
    // the list.
    return push_dependents(node, stack);
}

int
fail_levels(Py_ssize_t levels) noexcept
{
    for (Py_ssize_t i = 0; i < levels; ++i) {
        add_traceback_entry(Site::NodeInvalidate62);
    }
    return -1;
}

// Any element that is not a plain node whose old value can be dropped
// without running script code: held for its whole step.
[[gnu::noinline]] int
visit_general(PyObject *element, WalkStack &stack) noexcept
{
    if (element == Py_None) {
        return 0;  // nothing to invalidate
    }
    Py_ssize_t depth = stack.size();
    if (!is_node(element)) {
        raise_format(PyExc_TypeError, Msg::NodeConversion,
                     Py_TYPE(element)->tp_name, NodeType.tp_name);
        add_traceback_entry(Site::NodeInvalidate61);
        return fail_levels(depth - 1);
    }
    learn_inline(Py_TYPE(element));
    Py_INCREF(element);
    int rc = invalidate_step(as_node(element), 1, stack);
    stack.release(element);
    return rc < 0 ? fail_levels(depth) : 0;
}

int
node_invalidate_impl(NodeObject *self, int dispatch)
{
    WalkStack stack;
    // Holds the node whose step is running: an override may drop the last
    // other reference to it.
    Ref hold = Ref::borrow(as_object(self));
    if (invalidate_step(self, dispatch, stack) < 0) {
        return -1;
    }
    while (Frame *top = stack.top()) {
        PyObject *list = top->list;
        Py_ssize_t size = PyList_GET_SIZE(list);
        Py_ssize_t index = top->index;
        if (index >= size) {
            stack.finish();
            continue;
        }
        PyObject **items = reinterpret_cast<PyListObject *>(list)->ob_item;
        // The frame's list, element by element, for as long as no script
        // code can run and no level opens: meanwhile the list cannot
        // change, so its length and items stay as read.
        for (;;) {
            if (index + kPrefetchAhead < size) {
                // Wide lists are walked faster when the nodes a few steps
                // ahead are already on their way into the cache.
                if (index + 2 * kPrefetchAhead < size) {
                    __builtin_prefetch(items[index + 2 * kPrefetchAhead], 1);
                }
                // Asked for a round ago, so its header is likely here.
                PyObject *ahead = items[index + kPrefetchAhead];
                if (walks_inline(ahead)) {
                    __builtin_prefetch(as_node(ahead)->dependents, 0);
                }
            }
            // Borrowed: nothing below runs script code before the walk is
            // done with it, or it goes the general way.
            PyObject *element = items[index++];
            if (walks_inline(element)) {
                NodeObject *node = as_node(element);
                if (node->is_explicit || !node->is_valid) {
                    if (index < size) {
                        continue;
                    }
                    top->index = index;
                    break;
                }
                PyObject *old = node->cached_value;
                // Unless its finaliser may run script code.
                if (Py_REFCNT(old) != 1) {
                    node->is_valid = 0;
                    node->cached_value = none_ref();
                    // Not the last reference, so nothing runs (and an
                    // immortal object keeps its count).
                    Py_SET_REFCNT(old, Py_REFCNT(old) - 1);
                    PyObject *dependents = node->dependents;
                    if (dependents != Py_None &&
                        PyList_GET_SIZE(dependents) == 0) {
                        if (index < size) {
                            continue;  // a leaf needs no frame
                        }
                        top->index = index;
                        break;
                    }
                    top->index = index;
                    if (push_dependents(node, stack, index >= size) < 0) {
                        // The push did not happen.
                        return fail_levels(stack.size());
                    }
                    break;
                }
            }
            top->index = index;
            if (visit_general(element, stack) < 0) {
                return -1;
            }
            break;
        }
    }
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared helpers and the script-visible methods

int
find_override(PyObject *self, PyObject *name, Op op, Ref &out) noexcept
{
    Ref attr = Ref::steal(PyObject_GetAttr(self, name));
    if (!attr) {
        return -1;
    }
    if (is_own_method(attr.get(), op)) {
        return 0;
    }
    out = std::move(attr);
    return 1;
}

PyObject *
alloc_instance(PyTypeObject *type) noexcept
{
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
        // Refused with the interpreter's own message.
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty) {
            return nullptr;
        }
        return PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
    }
    return type->tp_alloc(type, 0);
}

bool
finalizer_revived(PyObject *self, destructor dealloc) noexcept
{
    PyTypeObject *type = Py_TYPE(self);
    return type->tp_finalize && !PyObject_GC_IsFinalized(self) &&
           type->tp_dealloc == dealloc &&
           PyObject_CallFinalizerFromDealloc(self) < 0;
}


namespace {

// The fields of a blank node: objects None, flags and integer zero.
void
fill_blank(NodeObject *n) noexcept
{
    n->name = Py_NewRef(Py_None);
    n->func = Py_NewRef(Py_None);
    n->dependencies = Py_NewRef(Py_None);
    n->dependents = Py_NewRef(Py_None);
    n->is_valid = 0;
    n->is_explicit = 0;
    n->cached_value = Py_NewRef(Py_None);
    n->flags = 0;
    n->static_dependencies = Py_NewRef(Py_None);
}

}  // namespace

Ref
node_new_blank(PyTypeObject *type) noexcept
{
    PyObject *o = alloc_instance(type);
    if (!o) {
        return {};
    }
    NodeObject *n = as_node(o);
    fill_blank(n);
    return Ref::steal(o);
}

Ref
node_create(PyObject *name, PyObject *func, int is_explicit,
            PyObject *explicit_value, int flags) noexcept
{
    // The type is exactly Node, so the generic allocator's clearing is left
    // out: every field has its value before the collector tracks the node.
    NodeObject *n = PyObject_GC_New(NodeObject, &NodeType);
    if (!n) {
        return {};
    }
    fill_blank(n);
    Ref node = Ref::steal(as_object(n));
    PyObject_GC_Track(n);
    if (node_init_fields(n, name, func, is_explicit, explicit_value, flags) <
        0) {
        return {};
    }
    return node;
}

PyObject *
node_add_dependency(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames)
{
    Args a;
    if (bind_vector(Op::NodeAddDependency, args, nargs, kwnames, a) < 0) {
        return nullptr;
    }
    if (node_add_dependency_impl(as_node(self), a.obj[0], 0) < 0) {
        add_traceback_entry(Site::NodeAddDependency43);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *
node_invalidate(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames)
{
    if (nargs != 0 || kwnames) {
        Args a;
        if (bind_vector(Op::NodeInvalidate, args, nargs, kwnames, a) < 0) {
            return nullptr;
        }
    }
    if (node_invalidate_impl(as_node(self), 0) < 0) {
        add_traceback_entry(Site::NodeInvalidate49);
        return nullptr;
    }
    Py_RETURN_NONE;
}

const NodeTable node_table = {
    node_add_dependency_impl,
    node_invalidate_impl,
};

PyTypeObject NodeType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarn.tarnwick.Node",
    .tp_basicsize = sizeof(NodeObject),
    .tp_dealloc = node_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "\n    A C-level extension type representing a single node in the "
              "DAG.\n    ",
    .tp_traverse = node_traverse,
    .tp_clear = node_clear,
    .tp_methods = node_pickle_methods,
    .tp_getset = node_getset,
    .tp_init = node_tp_init,
    .tp_new = node_tp_new,
};

int
ready_type(PyObject *module, PyTypeObject *type, const void *table,
           const char *name) noexcept
{
    if (ready_static_type(type) < 0) {
        return -1;
    }
    Ref capsule = Ref::steal(
        PyCapsule_New(const_cast<void *>(table), nullptr, nullptr));
    if (!capsule ||
        PyDict_SetItemString(type->tp_dict, "__pyx_vtable__", capsule.get()) <
            0) {
        return -1;
    }
    PyType_Modified(type);
    return PyModule_AddObjectRef(module, name,
                                 reinterpret_cast<PyObject *>(type));
}

int
node_type_ready(PyObject *module) noexcept
{
    return ready_type(module, &NodeType, &node_table, "Node");
}

}  // namespace tarn
