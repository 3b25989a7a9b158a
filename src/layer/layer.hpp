// tarn._layer: graphs and models that track their own reads. The whole
// algorithm lives here, once: reads and their tracking, the refresh of
// stale nodes over recorded edges, computations and their commit, the cut-off
// comparison, cycles, depth, and every change (set, registration, deletion).
// The Python package (tarn/_graph.py, tarn/_model.py, tarn/_pickling.py)
// only checks arguments and shapes the API around these types.
//
//   Record      a node made by a graph: the core's Node record followed by
//               the layer's bookkeeping (records.cpp);
//   Anchor      what a graph's records hold instead of the graph, so that
//               a dropped graph is freed even while other graphs' edge lists
//               still hold its records (records.cpp);
//   Frame       one running computation: its node, its reads, its parent
//               (frames.cpp);
//   Driver      one outermost read that computes: the explicit stack that
//               lets a first read go to any depth, held-back results, and
//               the refreshes running under it (frames.cpp);
//   GraphBase,  the bases of Graph, Model, Input and computed attributes
//   ModelBase,  (bases.cpp): `graph[name]`, `instance.attr`, their writes;
//   InputBase,
//   ComputedBase
//
// What it may touch in the core: the fields of Node records (records.hpp),
// read and written under the core's attribute rules, and the core's
// operations only through their internal entries with dispatch allowed (the
// table published in Node's __pyx_vtable__): the invalidation of a node's
// readers is the core's own walk. The core is a separate shared library;
// nothing of it is linked here. Its Node and DAGEngine types are taken from
// the imported tarn.tarnwick module, and the exception classes of the layer
// from tarn._errors.
//
// Every function here returns a new reference or 0 on success and nullptr
// or -1 with an exception set on failure, unless it says otherwise. The GIL
// is held throughout; what script code can do while it runs (a node
// function, an __eq__, a finaliser of a released value) is said before the
// code that defends against it.
#pragma once

#include "graph/records.hpp"

#include <cstdint>

namespace tarn::layer {

struct AnchorObject;
struct GraphObject;
struct Frame;
struct DriverObject;

// ---------------------------------------------------------------------------
// Records (records.cpp)

struct RecordObject {
    NodeObject node;        // the core's fields, laid out as Node's
    AnchorObject *anchor;   // the graph that made it; null: made otherwise
    PyObject *last;         // the value of its last cached computation
    PyObject *missed;       // null, or a list of (anchor, name) pairs: the
                            // names its last cached computation missed
    PyObject *equal;        // cut-off: null (none), True (identity, then
                            // ==) or a callable (old, new) -> unchanged
    PyObject *kept_tb;      // the traceback of a kept error's first raise
    int64_t changed;        // revision at which its value last changed
    int64_t verified;       // revision at which it was last computed or
                            // confirmed; -1 when never
    uint64_t read_by;       // serial of the latest computation that read it
                            // (never lowered): a read set's first test
    int32_t busy;           // frames, refresh levels and driver stacks
                            // holding it now
    uint8_t kept;           // valid, keeping an exception (cached_value)
                            // until something it read changes
    uint8_t ok;             // its edges are exactly what its last cached
                            // computation read, and `last` is that value
    uint8_t trusted;        // made by a graph and still in its registry,
                            // with no layer field written by script code
};

// The graph a record belongs to, by way of a small object the records
// share: the graph clears `graph` when it is freed.
struct AnchorObject {
    PyObject_HEAD
    GraphObject *graph;  // borrowed; null once the graph is gone
};

extern PyTypeObject RecordType;
extern PyTypeObject AnchorType;

// The core's Node and DAGEngine types and Node's table of operations.
extern PyTypeObject *core_node_type;
extern PyTypeObject *core_engine_type;
extern const NodeTable *core_node_table;

inline RecordObject *
as_record(PyObject *o) noexcept
{
    return reinterpret_cast<RecordObject *>(o);
}

// A record the fast paths may use: of the record type, made by a graph and
// still in its registry, its layer fields untouched by script code.
inline bool
is_trusted(PyObject *o) noexcept
{
    return Py_IS_TYPE(o, &RecordType) && as_record(o)->trusted;
}

// The revision: moves on every change that can alter a value. A
// computation is cached only if it did not move while it ran.
extern int64_t revision;
// Computed records verified before this revision are checked again before
// their value is used: set when a change could not invalidate every
// reader (an allocation failure, an exception from a foreign node's
// override), so that nothing stale is ever returned.
extern int64_t floor_revision;

// Whether a read of a trusted record can return its cached value at once.
inline bool
is_hit(RecordObject *r) noexcept
{
    return r->node.is_explicit ||
           (r->node.is_valid && r->verified >= floor_revision);
}

// A Node of any kind: the record type, the core's, or a script subclass.
inline bool
is_node_like(PyObject *o) noexcept
{
    return Py_IS_TYPE(o, &RecordType) || PyObject_TypeCheck(o, core_node_type);
}

// A new trusted record of `anchor`'s graph, with empty edge lists;
// `equal` as the field says (null, True or a callable).
PyObject *record_new(AnchorObject *anchor, PyObject *name, PyObject *func,
                     bool is_explicit, PyObject *value, PyObject *equal) noexcept;

// The cut-off that `value` asks for: null (False or None), True, or a
// callable; TypeError for anything else. Borrowed / null.
[[nodiscard]] int cutoff_of(PyObject *value, PyObject *&equal) noexcept;

// The result of a read of a hit: its value, or its kept error raised
// again with the traceback of its first raise. New / null.
PyObject *hit_result(RecordObject *r) noexcept;

// Takes `item` out of the exact list `list` (its first occurrence, by
// identity) without running any code. Returns the reference the list held,
// which the caller releases once it is safe to run code, or null when the
// item was not there (no error).
PyObject *list_take(PyObject *list, PyObject *item) noexcept;

// References released only after a step's writes are done: dropping the
// last reference to a value may run its finaliser, which may read the
// records being written.
class Dropped {
public:
    Dropped() noexcept = default;
    Dropped(const Dropped &) = delete;
    Dropped &operator=(const Dropped &) = delete;
    ~Dropped() { release(); }
    // Room for `more` references, so that adding them cannot fail. 0 / -1.
    [[nodiscard]] int reserve(Py_ssize_t more) noexcept;
    // Adds a reference (may be null); room must have been reserved.
    void add(PyObject *o) noexcept;
    void release() noexcept;

private:
    static constexpr Py_ssize_t kInline = 8;
    PyObject *inline_[kInline];
    PyObject **items_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = kInline;
};

// ---------------------------------------------------------------------------
// Frames and drivers (frames.cpp)
//
// Which computation runs in a thread or asyncio task is found through a
// context variable that holds the driver of the outermost read, set once
// when that read starts computing and reset when it ends; the driver points
// at its innermost running frame, and each frame at the one whose read
// started it. Frames live on the native stack of the computation they
// stand for, so a computation allocates no frame object and sets no
// context variable.

// The reads of one computation, in first-read order, without duplicates.
// A record read by the computation of serial S carries S in `read_by` (or a
// later serial, never an earlier one), so the common test for a duplicate is
// one comparison; only a record a later computation read since (one nested
// in this, or another thread's) is looked for in the set itself, by a scan
// or, past a few reads, a table of the pointers made then.
struct ReadSet {
    static constexpr Py_ssize_t kInline = 8;
    PyObject **items;   // strong references; `inline_items` until it grows
    Py_ssize_t size;
    Py_ssize_t capacity;
    PyObject **index;   // open-addressing table over `items` (borrowed),
                        // made when first needed past a linear scan
    Py_ssize_t slots;
    uint64_t serial;    // the computation's; 0: no record carries it
    PyObject *inline_items[kInline];

    explicit ReadSet(uint64_t serial_ = 0) noexcept
        : items(inline_items), size(0), capacity(kInline), index(nullptr),
          slots(0), serial(serial_)
    {
    }
    ReadSet(const ReadSet &) = delete;
    ReadSet &operator=(const ReadSet &) = delete;
    ~ReadSet() { clear(); }
    // Adds `node` unless it is there. 0 / -1.
    [[nodiscard]] int add(PyObject *node) noexcept;
    // Whether `node` is there; -1 (with MemoryError) when the table it
    // needed could not be made.
    [[nodiscard]] int has(PyObject *node) noexcept;
    // Makes the table now if a lookup could need it, so that later ones
    // cannot fail. 0 / -1.
    [[nodiscard]] int prepare() noexcept { return size > kInline ? find(nullptr) : 0; }
    // Empties the set, releasing its references (may run code).
    void clear() noexcept;

private:
    int find(PyObject *node) noexcept;
    int append(PyObject *node) noexcept;
};

struct Frame {
    PyObject *node;          // the record computing (held by `compute`)
    Frame *parent;           // the frame whose read started it, or null
    DriverObject *driver;
    PyObject *misses;        // null, or a list of (anchor, name) pairs
    ReadSet reads;
    int depth;               // 1 for a computation a driver started
    int py_start, c_start;   // the interpreter's recursion budgets then
    int suspended;           // cut-off comparisons running inside its reads
    uint8_t stale;           // a read returned something not cached
    uint8_t unwound;         // an unwinding passes through it
    uint8_t ahead;           // computed ahead of need by a refresh
    uint8_t effect;          // an effect's run: its reads are outermost
                             // reads of their own, so no unwinding passes
                             // through it

    Frame(PyObject *node, Frame *parent, DriverObject *driver,
          PyThreadState *tstate, bool ahead) noexcept;
    Frame(const Frame &) = delete;
    Frame &operator=(const Frame &) = delete;
    ~Frame() { Py_CLEAR(misses); }
};

// One level of a refresh (compute.cpp) or one entry of a driver's stack.
struct Level {
    PyObject *node;   // strong; its `busy` counts this level
    Py_ssize_t pos;   // next dependency to look at
    uint8_t mark;     // refresh: Same, Fresh or Changed
    uint8_t predicted;  // driver: the read into it was a refresh's guess
};

// A growable array of levels in Python's allocator.
struct Levels {
    Level *items = nullptr;
    Py_ssize_t size = 0;
    Py_ssize_t capacity = 0;
    // Room for `more` levels, so that pushing them cannot fail. 0 / -1.
    [[nodiscard]] int reserve(Py_ssize_t more) noexcept;
    // Pushes a trusted record (taking a reference and a busy count). 0 / -1.
    [[nodiscard]] int push(PyObject *node, bool predicted) noexcept;
    // Pops the top level; the caller owns the reference it returns.
    [[nodiscard]] PyObject *take() noexcept;
    void clear() noexcept;  // releases every level (may run code)
    void free() noexcept;   // after clear
};

// A refresh running under a driver, on the native stack of the read that
// started it; linked so that a read can tell that a node is pending there.
struct Refresh {
    Refresh *outer;
    Levels levels;
};

struct DriverObject {
    PyObject_HEAD
    PyThreadState *tstate;   // the thread whose outermost read it is
    uint64_t serial;
    Frame *current;          // the innermost running computation, or null
    Levels stack;            // nodes to compute, the top first
    PyObject *computed;      // null, or a set of the nodes it computed
                             // from its stack (never requested again)
    PyObject *held;          // null, or a dict record -> exception
    PyObject *held_values;   // null, or a dict record -> uncached value
    Refresh *refreshes;      // innermost first
    int max_py, max_c;       // the most one level of nesting has cost
    uint8_t running;         // its outermost read has not returned
    uint8_t changed;         // a change was made while it ran
    uint8_t exact;           // no refresh predicts: stale nodes compute
    uint8_t unwinding;       // an Unwinding is on its way to it
    uint8_t restart;         // ...and asks it to start again, exactly
};

extern PyTypeObject FrameType;   // what `current()` shows of a frame
extern PyTypeObject DriverType;
// The exception that unwinds computations to their driver (a
// BaseException): created at start-up.
extern PyObject *Unwinding;
// The context variable holding the driver of this context's outermost read.
extern PyObject *current_var;
// Computations running now, anywhere: while there are none, a read need
// not look at the context variable.
extern Py_ssize_t active_frames;

// The innermost running computation of this context, or null (borrowed: it
// lives on the native stack below the caller). With `tracking`, null also
// when that computation is suspended (a read in a cut-off comparison).
// Sets `failed` on an error.
Frame *running_frame(PyThreadState *tstate, bool tracking, bool &failed) noexcept;

// The layer set or reset the context variable: the driver cached for
// reads is no longer trusted. Never fails.
void forget_cached_driver() noexcept;

// A new driver for an outermost read in this thread. New / null.
DriverObject *driver_new(PyThreadState *tstate) noexcept;

// A Python snapshot of `frame` and the frames below it (for `current()`).
PyObject *frame_snapshot(Frame *frame) noexcept;

// ---------------------------------------------------------------------------
// Graphs and models (bases.cpp)

struct GraphObject {
    PyObject_HEAD
    PyObject *nodes;       // `_nodes`: the registry, name -> record
    PyObject *engine;      // `engine`: the DAGEngine whose `nodes` it is
    PyObject *missing;     // null, or a dict name -> {record: None}: readers
                           // whose cached computations missed the name
    AnchorObject *anchor;
    PyObject *model;       // borrowed: the instance a model graph belongs
                           // to; null for a plain graph or once it is gone
    PyObject *weaklist;
    uint8_t of_model;
    uint8_t crossed;       // an edge or a missed name links it to another
};

struct ModelObject {
    PyObject_HEAD
    PyObject *graph;   // `_tarn_graph`, a Graph; may be null
    PyObject *nodes;   // `_tarn_nodes`; may be null or of any type
    PyObject *weaklist;
};

struct AttributeObject {
    PyObject_HEAD
    PyObject *name;    // may be null or of any type
    PyObject *func;    // computed attributes: the function
    PyObject *cutoff;  // False, True or a callable; may be null
    uint8_t overridden;  // a subclass redefines the name
};

extern PyTypeObject GraphBaseType;
extern PyTypeObject ModelBaseType;
extern PyTypeObject InputBaseType;
extern PyTypeObject ComputedBaseType;

// What node functions of `graph` take: the graph, or its model instance
// (borrowed; null once that instance is gone).
PyObject *graph_owner(GraphObject *graph) noexcept;
// Takes every edge and missed-name record between the graph's nodes and
// other graphs' out of both sides. Never fails.
void graph_unlink(GraphObject *graph) noexcept;
// Empties the edge lists of the graph's records when nothing but its
// registry and those lists refers to any of them, so that they are freed
// with the registry instead of waiting for the cyclic collector. For a graph
// freed by its last reference, after `graph_unlink`. Never fails.
void graph_release_edges(GraphObject *graph) noexcept;

// ---------------------------------------------------------------------------
// The algorithm (compute.cpp)

// The value of `node`, found in a registry under `name`, for a read:
// tracked in the running computation, computed when stale. New / null.
PyObject *read_found(PyObject *node, PyObject *name) noexcept;
// A read of a missing `name` of `graph`: raises NodeNotFound, and inside
// a computation records the miss. Always null.
PyObject *read_missing(GraphObject *graph, PyObject *name) noexcept;
// Whether `value` is unchanged from `last` under `equal` (True: identity,
// then ==; or a callable (old, new) -> unchanged), compared outside any
// computation's tracking. 1 / 0 (an Exception counts as a change) / -1.
int unchanged(PyObject *equal, PyObject *value, PyObject *last) noexcept;

// The chain of active frames of this context: refuses a change of `graph`
// while one of its nodes computes. 0 / -1.
[[nodiscard]] int guard(GraphObject *graph, PyObject *name,
                        const char *action) noexcept;

// Changes (changes.cpp). Each completes or does not happen; when a
// reader's invalidation fails, the floor revision makes every older value
// checked again, and the failure is raised.
[[nodiscard]] int set_input(GraphObject *graph, PyObject *node,
                            PyObject *value) noexcept;
// The input was changed in place: its readers are invalidated as by a set.
[[nodiscard]] int touch_input(GraphObject *graph, PyObject *node) noexcept;
[[nodiscard]] int register_node(GraphObject *graph, PyObject *name,
                                PyObject *record) noexcept;
[[nodiscard]] int remove_node(GraphObject *graph, PyObject *name,
                              PyObject *node) noexcept;
// Takes `reader`'s missed-name records out of the graphs' tables, keeping
// the entries `keep` (a list of pairs, or null) lists. Never fails.
void forget_misses(PyObject *reader, PyObject *entries, PyObject *keep) noexcept;

// ---------------------------------------------------------------------------
// Reactions (reactions.cpp): what the Python side of effects, watchers,
// batches and traces needs of the engine. While no effect exists and no
// trace is open, none of it costs more than a test of a global.

// A change completed (a set, touch, registration or deletion): tells the
// registered reactions so that stale effects run, unless a computation of
// this thread is running (then the outermost read tells them when it
// returns). 0 / -1 (an effect failed, or the hook did).
[[nodiscard]] int after_change() noexcept;
// The outermost read `driver` returned: if a change was made meanwhile,
// the reactions hear of it now. 0 / -1.
[[nodiscard]] int after_read(DriverObject *driver) noexcept;

// The tracer of this thread, or null (borrowed). Cheap while none exists.
PyObject *tracer() noexcept;
extern Py_ssize_t tracers;
// A node as a trace shows it: (owner, name), the owner its graph or model
// instance. New / null.
PyObject *trace_label(PyObject *node) noexcept;
// Reports an event to this thread's tracer: tracer(kind, *args). A failing
// tracer is reported as unraisable. Never fails.
void trace(const char *kind, PyObject *const *args, Py_ssize_t nargs) noexcept;

// An effect's run: `record`'s function in a frame whose reads are
// outermost reads, its edges made exactly what it read (also when it
// failed), valid again unless a read left it stale. New / null.
PyObject *run_effect(PyObject *record) noexcept;

[[nodiscard]] int reactions_ready(PyObject *module) noexcept;

// ---------------------------------------------------------------------------
// Messages (messages.cpp): every text the layer raises.

enum class Msg {
    NameType,          // "node names must be str, not %.200s"
    SetComputed,       // "cannot set %R: it is a computed node"
    TouchComputed,     // "cannot touch %R: it is a computed node"
    Guard,             // "cannot %s %R while %R is computing"
    NoStructure,       // "cannot %s %R: a model's nodes come from its class"
    ModelGone,         // "the model that held node %R no longer exists"
    GraphGone,         // "the graph that held node %R no longer exists"
    Foreign,           // "node %R was not made by this graph and is stale"
    NotANode,          // "the registry holds %.200s under %R, not a node"
    SetComputedAttr,   // "cannot set computed attribute %R"
    DeleteComputedAttr,// "cannot delete computed attribute %R"
    DeleteInput,       // "cannot delete input %R"
    NoGraph,           // "%.200s has no graph: its __init__ did not run"
    FrameCreate,       // "cannot create 'tarn._layer.Frame' instances"
    OneInterpreter,    // "tarn._layer can be loaded in one interpreter only"
    NotCoreNode,       // "tarn.tarnwick.Node is not the engine's node type"
    UnwindingDoc,      // the docstring of Unwinding
    kCount
};

const char *message(Msg m) noexcept;

template <typename... A>
std::nullptr_t
raise(PyObject *type, Msg m, A... args) noexcept
{
    if constexpr (sizeof...(A) == 0) {
        PyErr_SetString(type, message(m));
    }
    else {
        PyErr_Format(type, message(m), args...);
    }
    return nullptr;
}

// What tarn._errors defines, imported at start-up: the exception classes,
// and the error of a write to a name that is none of a model's inputs.
extern PyObject *node_not_found;
extern PyObject *cycle_error;
extern PyObject *missing_input;

// Readies every type and publishes it on the module. 0 / -1.
[[nodiscard]] int records_ready(PyObject *module) noexcept;
[[nodiscard]] int frames_ready(PyObject *module) noexcept;
[[nodiscard]] int bases_ready(PyObject *module) noexcept;

// PyType_Ready for a static type that an earlier failed import may have
// left half-readied. 0 / -1.
[[nodiscard]] int ready_static(PyTypeObject *type) noexcept;

}  // namespace tarn::layer
