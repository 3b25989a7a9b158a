// The module frame: what every operation of tarn.tarnwick shares.
//
// It owns the texts of every message and traceback entry, the table of
// registered operations (names, parameters, defaults, lines, entry points),
// argument binding and the value conversions, the traceback entries that a
// failing operation adds, the module's own function type, and module
// start-up. Functions here return nullptr (an empty Ref) or -1 with an
// exception set on failure unless they say otherwise.
#pragma once

#include "module/ref.hpp"

#include <cstddef>

namespace tarn {

// ---------------------------------------------------------------------------
// Messages. Every text the module raises lives in one table (messages.cpp).
// Texts with a variable piece are PyErr_Format formats.

enum class Msg {
    Count,             // "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
    MultipleValues,    // "%s() got multiple values for keyword argument '%U'"
    UnexpectedKeyword, // "%s() got an unexpected keyword argument '%U'"
    KeywordType,       // "%.200s() keywords must be strings"
    KeywordTypeHost,   // "keywords must be strings"
    MissingInstance,   // "%.200s() %s"
    ArgumentType,      // "Argument '%.200s' has incorrect type (...)"
    RefusedWrite,      // "Expected %s, got %.200s"
    NotNone,           // "cannot pass None into a C function argument ..."
    NodeConversion,    // "Cannot convert %.200s to %.200s"
    NoneAttribute,     // "'NoneType' object has no attribute '%.30s'"
    NoneIteration,     // "'NoneType' object is not iterable"
    NoneIndex,         // "'NoneType' object is not subscriptable"
    IntegerRequired,   // "an integer is required"
    IntReturnedNonInt, // "__int__ returned non-int (type %.200s)"
    IntReturnedSubclass, // the DeprecationWarning text
    IntOverflow,       // "Python int too large to convert to C int"
    UndefinedName,     // "name '%U' is not defined"
    JoinOverflow,      // "join() result is too long for a Python string"
    DeletionRefused,   // "__del__"
    NotFoundHead,      // "Node '"
    NotFoundTail,      // "' not found in DAG"
    ForeignSelf,       // "descriptor '%s' for '%s' objects doesn't apply to a '%.200s' object"
    DepIsNone,         // "add_dependency() cannot link a node to None"
    InterpreterChange, // ImportError of a second interpreter
    Reinitialisation,  // RuntimeError of exec on another module object
    VersionMismatch,   // "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d"
    PicklingInit,      // "Unable to initialize pickling for %.200s"
    Checksum,          // "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))"
    PopEmpty,          // "pop from empty list"
    TupleIndex,        // "tuple index out of range"
    NeedsArgument,     // "needs an argument", the missing-instance fill
    DoesNotMatch,      // "does not match", the version-warning fill
    StaticRecursion,   // RecursionError suffix of static dependencies
    StaticCycle,       // RecursionError of a static walk that comes back
    NoGetattr,         // "builtins.getattr is missing"
    NotAnException,    // "exceptions must derive from BaseException"
    kCount
};

const char *message(Msg m) noexcept;

// Raise `type` with a fixed text; returns nullptr for `return raise(...)`.
std::nullptr_t raise(PyObject *type, Msg m) noexcept;

// Raise `type` with a formatted text.
template <typename... A>
std::nullptr_t
raise_format(PyObject *type, Msg m, A... args) noexcept
{
    PyErr_Format(type, message(m), args...);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Traceback entries: (qualified name, file, line), one row per place where
// the module adds an entry (messages.cpp).

enum class Site {
    NodeInit32, NodeInit38, NodeInit39, NodeInit41,
    NodeNameSet, NodeDependenciesSet, NodeDependentsSet, NodeIsValidSet,
    NodeIsExplicitSet, NodeFlagsSet, NodeFlagsGet, NodeStaticDependenciesSet,
    NodeAddDependency43, NodeAddDependency45, NodeAddDependency46,
    NodeAddDependency47,
    NodeInvalidate49, NodeInvalidate61, NodeInvalidate62,
    EngineNodesSet, EngineCallStackSet, EngineInit71, EngineInit72,
    EngineAddNode74, EngineAddNode75, EngineAddNode76,
    EngineAddEdge79, EngineAddEdge80, EngineAddEdge81, EngineAddEdge83,
    EngineRecordAccess85, EngineRecordAccess89, EngineRecordAccess90,
    EngineInvalidate92, EngineInvalidate93, EngineInvalidate95,
    EngineEvaluate97, EngineEvaluate98, EngineEvaluate101,
    EngineEvaluate106, EngineEvaluate107, EngineEvaluate109,
    EngineEvaluate111, EngineEvaluate115,
    NodeReduce5, NodeReduce6, NodeReduce7, NodeReduce8, NodeReduce13,
    NodeReduce15,
    EngineReduce5, EngineReduce6, EngineReduce7, EngineReduce8,
    EngineReduce13, EngineReduce15,
    NodeSetstate16, NodeSetstate17, EngineSetstate16, EngineSetstate17,
    UnpickleNode4, UnpickleNode6, UnpickleNode7, UnpickleNode9,
    UnpickleEngine4, UnpickleEngine6, UnpickleEngine7, UnpickleEngine9,
    NodeSetState12, NodeSetState13, EngineSetState12, EngineSetState13,
    Init1,
    kCount
};

// Adds the entry of `site` to the exception being raised. Never fails: if
// the entry cannot be made it is lost (and, when the code object cannot be
// made, that MemoryError replaces the exception).
void add_traceback_entry(Site site) noexcept;
void add_traceback_entry(const char *qualname, const char *file,
                         int line) noexcept;

// ---------------------------------------------------------------------------
// Registered operations. One constexpr row each (registry.cpp) is the
// single source of the function objects and of argument binding.

enum class Op {
    NodeAddDependency, NodeInvalidate, NodeReduce, NodeSetstate,
    EngineAddNode, EngineAddEdge, EngineRecordAccess, EngineInvalidate,
    EngineEvaluate, EngineReduce, EngineSetstate,
    UnpickleNode, UnpickleEngine,
    // Constructors: bound like the others, but not registered as methods.
    NodeInit, EngineInit,
    kCount
};
constexpr int kRegisteredOps = static_cast<int>(Op::NodeInit);

enum class Kind { Object, Str, Node, Flag, Int };
enum class Owner { Node, Engine, Module };
// Defaults of optional parameters.
enum class Default { None, False, Zero };

constexpr int kMaxParams = 5;

struct ParamSpec {
    const char *name;
    Kind kind;
    Default fallback;  // used only for optional parameters
};

// A fastcall entry point: `self` is the instance (the module for module
// functions); args hold only the arguments after self.
using Entry = PyObject *(*)(PyObject *self, PyObject *const *args,
                            Py_ssize_t nargs, PyObject *kwnames);

struct OpSpec {
    Owner owner;
    const char *name;      // bare name, shown in messages
    const char *qualname;  // __qualname__ ("Node.add_dependency")
    const char *doc;       // nullptr for none
    const char *file;
    int line;              // definition line
    Site entry;            // traceback entry of binding failures
    int nparams;
    int nrequired;
    ParamSpec params[kMaxParams];
    Entry call;
};

const OpSpec &op_spec(Op op) noexcept;

// ---------------------------------------------------------------------------
// Argument binding. On success `obj` holds one borrowed value per parameter
// (defaults filled in) and `num` the converted value of each flag and
// integer parameter. Binding failures of operations with parameters add the
// operation's definition-line entry; argument-type failures add none.

struct Args {
    PyObject *obj[kMaxParams];
    int num[kMaxParams];
};

// Binding from a dictionary: the dictionary belongs to the caller, and
// script code that runs during the conversions (`__bool__`, `__int__`, a
// warning filter) may clear it, so the bound values are owned here until
// the operation has finished with them.
struct DictArgs : Args {
    Ref held[kMaxParams];
};

// Keywords given as a vectorcall names tuple (may be null).
[[nodiscard]] int bind_vector(Op op, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames, Args &out) noexcept;
// Keywords given as a dictionary (may be null), positional ones as a tuple.
[[nodiscard]] int bind_dict(Op op, PyObject *args, PyObject *kwargs,
                            DictArgs &out) noexcept;

// Truth conversion: True 1, False and None 0, else the object's truth.
[[nodiscard]] int to_flag(PyObject *value, int *out) noexcept;
// Integer conversion to a signed 32-bit value.
[[nodiscard]] int to_int32(PyObject *value, int *out) noexcept;

// A node name: exactly str, or None.
inline bool
is_name(PyObject *v) noexcept
{
    return v == Py_None || PyUnicode_CheckExact(v);
}

// Typed-field test: None or exactly `type`; otherwise the refused-write
// message naming `type_name`.
[[nodiscard]] int check_exact(PyObject *value, PyTypeObject *type,
                              const char *type_name) noexcept;

// Writes a typed object attribute: deleting (null `value`) stores None;
// otherwise `check_exact`, adding `site`'s entry when the value is refused.
[[nodiscard]] int write_typed(PyObject *&field, PyObject *value,
                              PyTypeObject *type, const char *type_name,
                              Site site) noexcept;

// ---------------------------------------------------------------------------
// Module state, fixed after a successful import.

// The module dictionary: globals of every function object and entry.
PyObject *module_dict() noexcept;

// Interned strings made at start-up.
struct Strings {
    PyObject *add_dependency, *invalidate, *add_node, *add_edge,
        *record_access, *evaluate, *dict, *new_, *update, *getstate,
        *reduce, *reduce_ex, *reduce_cython, *setstate, *setstate_cython,
        *name, *unpickle_node, *unpickle_engine, *pickle, *pickle_error;
    PyObject *params[static_cast<int>(Op::kCount)][kMaxParams];
};
extern Strings strings;

// ---------------------------------------------------------------------------
// The module's own function type: binds like a function, reports names,
// docstring and signature, and is called through vectorcall.

extern PyTypeObject FunctionType;

// The vectorcall entry of every function object: checks the instance
// against the owning type and calls the operation's entry point.
PyObject *function_vectorcall(PyObject *callable, PyObject *const *args,
                              size_t nargsf, PyObject *kwnames);

// A new function object for `op`; `defaults` may be null.
Ref make_function(Op op, PyObject *defaults) noexcept;

// Does `attr` (an attribute looked up on an instance) resolve to the
// module's own method for `op`? Used by override dispatch.
bool is_own_method(PyObject *attr, Op op) noexcept;

[[nodiscard]] int function_ready() noexcept;

// PyType_Ready for one of the module's static types. A readying that failed
// part-way (an import that ran out of memory) leaves a half-filled type
// dictionary, MRO and bases behind; these are dropped first, so that every
// attempt starts from the type as it was compiled. Readying the leftovers
// again corrupts the type dictionary on 3.13.
[[nodiscard]] int ready_static_type(PyTypeObject *type) noexcept;

}  // namespace tarn
