// tarn._layer: the reads of graphs and models that hit, in native code.
//
// The graph-and-model layer lives in Python (tarn/_graph.py, tarn/_model.py)
// and keeps every rule there. This module owns only the records a read
// touches and the read itself:
//
//   Frame          one running computation: its node, the nodes it read (an
//                  insertion-ordered dict), its parent frame, the stale flag
//                  and the failures held back during a refresh;
//   GraphBase      the base of Graph: its name -> node dict (`_nodes`) and
//                  `graph[name]`;
//   ModelBase      the base of Model: the instance's graph and nodes dict;
//   InputBase,     the bases of the Input and Computed descriptors: the
//   ComputedBase   attribute's name and the reads `instance.attr`.
//
// A read finds the node in the dict and, when the context's current frame
// (the layer's context variable) is a Frame, records the node in the frame's
// reads. While no Frame exists at all, nothing can be recording, and a read
// of a node that needs no computation does not look at the context variable. A computed node or graph node that is valid returns its cached
// value; one that is not is handed to the layer's Python `_read(node,
// frame)`. Anything out of the ordinary (a name that is not exactly str, a
// missing name, a dict or node of another type, an overridden computed
// attribute, a context value that is not a Frame) is handed whole to the
// Python read that the layer registered for that kind of read, which does
// what it always did. The Python side registers its parts with `setup` when
// it is imported; before that every read raises RuntimeError.
//
// It also recomputes (compute.cpp): the Python `_read`, `_refresh`,
// `_settle`, `_restore` and `_compute` have native twins that take the
// common cases and hand the rest to them, registered through `setup`.
//
// What it may touch in the core: the Node record's fields, read directly,
// of nodes whose type is exactly the registered node class (a subclass of
// tarn.tarnwick.Node, so the record layout is the core's); a computation
// writes `is_valid`, `cached_value` and `dependencies` (always a list) and
// the `dependents` lists of the nodes it read. It calls no core operation;
// it is a separate shared library and links nothing of the core. The Node
// type is taken from the imported tarn.tarnwick module.
#pragma once

#include "graph/graph.hpp"

namespace tarn::layer {

struct FrameObject {
    PyObject_HEAD
    PyObject *node;    // the node computing
    PyObject *reads;   // exactly dict, read-only to scripts
    PyObject *parent;  // a Frame or None
    PyObject *held;    // a dict or None
    char stale;        // a read returned something that is not cached
};

struct GraphBaseObject {
    PyObject_HEAD
    PyObject *nodes;  // `_nodes`; may be null (unset) or of any type
};

struct ModelBaseObject {
    PyObject_HEAD
    PyObject *graph;  // `_tarn_graph`; may be null
    PyObject *nodes;  // `_tarn_nodes`; may be null or of any type
};

struct AttributeObject {
    PyObject_HEAD
    PyObject *name;    // may be null or of any type
    char overridden;   // computed attributes: a subclass redefines the name
};

extern PyTypeObject FrameType;
extern PyTypeObject GraphBaseType;
extern PyTypeObject ModelBaseType;
extern PyTypeObject InputBaseType;
extern PyTypeObject ComputedBaseType;

// What the Python layer registers (strong references, null until set).
struct Parts {
    PyTypeObject *cell;       // the node class: a subclass of Node
    PyObject *current;        // the ContextVar holding the current Frame
    PyObject *read;           // read(node, frame): a node that is not valid
    PyObject *graph_read;     // graph_read(graph, name): the whole graph read
    PyObject *input_read;     // input_read(descriptor, instance)
    PyObject *computed_read;  // computed_read(descriptor, instance)
    PyObject *clock;          // holds the revision counter in slot `rev`
    PyObject *lock;           // the lock guarding check-and-commit
    PyObject *compute;        // compute(node, parent, held), in Python
    PyObject *relink;         // relink(node, reads), in Python
    PyObject *settle;         // settle(node, parent, held), in Python
    PyObject *restore;        // restore(node, start) -> (done, value)
};
extern Parts parts;

// Where a computation finds what it reads and writes: the offsets of the
// node class's and the clock's slots, and the lock's bound methods, taken
// from the registered parts by `layout_refresh`. `ready` is false while any
// part is missing or not laid out as expected; computations then go to the
// Python `compute`.
struct Layout {
    bool ready;
    PyTypeObject *clock_type;  // borrowed: parts.clock holds it
    Py_ssize_t graph, cutoff, last, ok, changed, verified, rev;
    PyObject *acquire;  // strong references or null
    PyObject *release;
};
extern Layout layout;

// Takes the layout from the parts stored now. Never raises.
void layout_refresh() noexcept;

// A new Frame for `node` (new reference / nullptr).
PyObject *frame_create(PyObject *node, PyObject *parent, PyObject *held) noexcept;

// The value of a node that is not valid, read in `frame` (a Frame or None):
// the layer's `_read`, natively where it can. New reference / nullptr.
PyObject *read_node(PyObject *node, PyObject *frame) noexcept;

// The module's `compute(node, parent, held)`.
PyObject *compute(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// Readies the five types and adds them to the module. 0 / -1.
[[nodiscard]] int types_ready(PyObject *module) noexcept;

// The module's `setup(**parts)`: stores the parts given. None / nullptr.
PyObject *setup(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames);

}  // namespace tarn::layer
