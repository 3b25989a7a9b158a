// Every message text of the module and every traceback site: one table
// each, indexed by the enums of module.hpp.
#include "module/module.hpp"

#include <iterator>

namespace tarn {
namespace {

constexpr const char *kMessages[] = {
    // Count
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
    // MultipleValues
    "%s() got multiple values for keyword argument '%U'",
    // UnexpectedKeyword
    "%s() got an unexpected keyword argument '%U'",
    // KeywordType
    "%.200s() keywords must be strings",
    // KeywordTypeHost
    "keywords must be strings",
    // MissingInstance
    "%.200s() %s",
    // ArgumentType
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
    // RefusedWrite
    "Expected %s, got %.200s",
    // NotNone
    "cannot pass None into a C function argument that is declared 'not None'",
    // NodeConversion
    "Cannot convert %.200s to %.200s",
    // NoneAttribute
    "'NoneType' object has no attribute '%.30s'",
    // NoneIteration
    "'NoneType' object is not iterable",
    // NoneIndex
    "'NoneType' object is not subscriptable",
    // IntegerRequired
    "an integer is required",
    // IntReturnedNonInt
    "__int__ returned non-int (type %.200s)",
    // IntReturnedSubclass
    "__int__ returned non-int (type %.200s).  The ability to return an "
    "instance of a strict subclass of int is deprecated, and may be removed "
    "in a future version of Python.",
    // IntOverflow
    "Python int too large to convert to C int",
    // UndefinedName
    "name '%U' is not defined",
    // JoinOverflow
    "join() result is too long for a Python string",
    // DeletionRefused
    "__del__",
    // NotFoundHead
    "Node '",
    // NotFoundTail
    "' not found in DAG",
    // ForeignSelf
    "descriptor '%s' for '%s' objects doesn't apply to a '%.200s' object",
    // DepIsNone
    "add_dependency() cannot link a node to None",
    // InterpreterChange
    "Interpreter change detected - this module can only be loaded into one "
    "interpreter per process.",
    // Reinitialisation
    "Module 'tarnwick' has already been imported. Re-initialisation is not "
    "supported.",
    // VersionMismatch
    "compile time Python version %d.%d of module '%.100s' %s runtime "
    "version %d.%d",
    // PicklingInit
    "Unable to initialize pickling for %.200s",
    // Checksum
    "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))",
    // PopEmpty
    "pop from empty list",
    // TupleIndex
    "tuple index out of range",
    // NeedsArgument
    "needs an argument",
    // DoesNotMatch
    "does not match",
    // StaticRecursion
    " while evaluating static dependencies",
    // StaticCycle
    "maximum recursion depth exceeded while evaluating static dependencies",
    // NoGetattr
    "builtins.getattr is missing",
    // NotAnException
    "exceptions must derive from BaseException",
};
static_assert(std::size(kMessages) == static_cast<size_t>(Msg::kCount));

struct SiteRow {
    const char *qualname;
    const char *file;
    int line;
};

constexpr const char *kSrc = "tarn/tarnwick";
constexpr const char *kPkl = "<stringsource>";

constexpr SiteRow kSites[] = {
    {"tarn.tarnwick.Node.__init__", kSrc, 32},
    {"tarn.tarnwick.Node.__init__", kSrc, 38},
    {"tarn.tarnwick.Node.__init__", kSrc, 39},
    {"tarn.tarnwick.Node.__init__", kSrc, 41},
    {"tarn.tarnwick.Node.name.__set__", kSrc, 22},
    {"tarn.tarnwick.Node.dependencies.__set__", kSrc, 24},
    {"tarn.tarnwick.Node.dependents.__set__", kSrc, 25},
    {"tarn.tarnwick.Node.is_valid.__set__", kSrc, 26},
    {"tarn.tarnwick.Node.is_explicit.__set__", kSrc, 27},
    {"tarn.tarnwick.Node.flags.__set__", kSrc, 29},
    {"tarn.tarnwick.Node.flags.__get__", kSrc, 29},
    {"tarn.tarnwick.Node.static_dependencies.__set__", kSrc, 30},
    {"tarn.tarnwick.Node.add_dependency", kSrc, 43},
    {"tarn.tarnwick.Node.add_dependency", kSrc, 45},
    {"tarn.tarnwick.Node.add_dependency", kSrc, 46},
    {"tarn.tarnwick.Node.add_dependency", kSrc, 47},
    {"tarn.tarnwick.Node.invalidate", kSrc, 49},
    {"tarn.tarnwick.Node.invalidate", kSrc, 61},
    {"tarn.tarnwick.Node.invalidate", kSrc, 62},
    {"tarn.tarnwick.DAGEngine.nodes.__set__", kSrc, 67},
    {"tarn.tarnwick.DAGEngine.call_stack.__set__", kSrc, 68},
    {"tarn.tarnwick.DAGEngine.__init__", kSrc, 71},
    {"tarn.tarnwick.DAGEngine.__init__", kSrc, 72},
    {"tarn.tarnwick.DAGEngine.add_node", kSrc, 74},
    {"tarn.tarnwick.DAGEngine.add_node", kSrc, 75},
    {"tarn.tarnwick.DAGEngine.add_node", kSrc, 76},
    {"tarn.tarnwick.DAGEngine.add_edge", kSrc, 79},
    {"tarn.tarnwick.DAGEngine.add_edge", kSrc, 80},
    {"tarn.tarnwick.DAGEngine.add_edge", kSrc, 81},
    {"tarn.tarnwick.DAGEngine.add_edge", kSrc, 83},
    {"tarn.tarnwick.DAGEngine.record_access", kSrc, 85},
    {"tarn.tarnwick.DAGEngine.record_access", kSrc, 89},
    {"tarn.tarnwick.DAGEngine.record_access", kSrc, 90},
    {"tarn.tarnwick.DAGEngine.invalidate", kSrc, 92},
    {"tarn.tarnwick.DAGEngine.invalidate", kSrc, 93},
    {"tarn.tarnwick.DAGEngine.invalidate", kSrc, 95},
    {"tarn.tarnwick.DAGEngine.evaluate", kSrc, 97},
    {"tarn.tarnwick.DAGEngine.evaluate", kSrc, 98},
    {"tarn.tarnwick.DAGEngine.evaluate", kSrc, 101},
    {"tarn.tarnwick.DAGEngine.evaluate", kSrc, 106},
    {"tarn.tarnwick.DAGEngine.evaluate", kSrc, 107},
    {"tarn.tarnwick.DAGEngine.evaluate", kSrc, 109},
    {"tarn.tarnwick.DAGEngine.evaluate", kSrc, 111},
    {"tarn.tarnwick.DAGEngine.evaluate", kSrc, 115},
    {"tarn.tarnwick.Node.__reduce_cython__", kPkl, 5},
    {"tarn.tarnwick.Node.__reduce_cython__", kPkl, 6},
    {"tarn.tarnwick.Node.__reduce_cython__", kPkl, 7},
    {"tarn.tarnwick.Node.__reduce_cython__", kPkl, 8},
    {"tarn.tarnwick.Node.__reduce_cython__", kPkl, 13},
    {"tarn.tarnwick.Node.__reduce_cython__", kPkl, 15},
    {"tarn.tarnwick.DAGEngine.__reduce_cython__", kPkl, 5},
    {"tarn.tarnwick.DAGEngine.__reduce_cython__", kPkl, 6},
    {"tarn.tarnwick.DAGEngine.__reduce_cython__", kPkl, 7},
    {"tarn.tarnwick.DAGEngine.__reduce_cython__", kPkl, 8},
    {"tarn.tarnwick.DAGEngine.__reduce_cython__", kPkl, 13},
    {"tarn.tarnwick.DAGEngine.__reduce_cython__", kPkl, 15},
    {"tarn.tarnwick.Node.__setstate_cython__", kPkl, 16},
    {"tarn.tarnwick.Node.__setstate_cython__", kPkl, 17},
    {"tarn.tarnwick.DAGEngine.__setstate_cython__", kPkl, 16},
    {"tarn.tarnwick.DAGEngine.__setstate_cython__", kPkl, 17},
    {"tarn.tarnwick.__pyx_unpickle_Node", kPkl, 4},
    {"tarn.tarnwick.__pyx_unpickle_Node", kPkl, 6},
    {"tarn.tarnwick.__pyx_unpickle_Node", kPkl, 7},
    {"tarn.tarnwick.__pyx_unpickle_Node", kPkl, 9},
    {"tarn.tarnwick.__pyx_unpickle_DAGEngine", kPkl, 4},
    {"tarn.tarnwick.__pyx_unpickle_DAGEngine", kPkl, 6},
    {"tarn.tarnwick.__pyx_unpickle_DAGEngine", kPkl, 7},
    {"tarn.tarnwick.__pyx_unpickle_DAGEngine", kPkl, 9},
    {"tarn.tarnwick.__pyx_unpickle_Node__set_state", kPkl, 12},
    {"tarn.tarnwick.__pyx_unpickle_Node__set_state", kPkl, 13},
    {"tarn.tarnwick.__pyx_unpickle_DAGEngine__set_state", kPkl, 12},
    {"tarn.tarnwick.__pyx_unpickle_DAGEngine__set_state", kPkl, 13},
    {"init tarn.tarnwick", kSrc, 1},
};
static_assert(std::size(kSites) == static_cast<size_t>(Site::kCount));

}  // namespace

const char *
message(Msg m) noexcept
{
    return kMessages[static_cast<int>(m)];
}

std::nullptr_t
raise(PyObject *type, Msg m) noexcept
{
    PyErr_SetString(type, message(m));
    return nullptr;
}

void
add_traceback_entry(Site site) noexcept
{
    const SiteRow &row = kSites[static_cast<int>(site)];
    add_traceback_entry(row.qualname, row.file, row.line);
}

}  // namespace tarn
