// The registered operations: one row each, the single source from which
// function objects are made and arguments are bound.
#include "module/module.hpp"
#include "graph/graph.hpp"
#include "persistence/persistence.hpp"

#include <iterator>

namespace tarn {
namespace {

constexpr const char *kSrc = "tarn/tarnwick";
constexpr const char *kPkl = "<stringsource>";

constexpr ParamSpec kState[] = {{"__pyx_state", Kind::Object, Default::None}};

const OpSpec kOps[] = {
    {Owner::Node, "add_dependency", "Node.add_dependency",
     "Creates a bidirectional edge. Prevents duplicates during dynamic access.",
     kSrc, 43, Site::NodeAddDependency43, 1, 1,
     {{"dep", Kind::Node, Default::None}}, node_add_dependency},
    {Owner::Node, "invalidate", "Node.invalidate",
     "\n        Fast C-level recursive invalidation.\n        Uses bint (boolean "
     "integer) for 0-overhead checks.\n        ",
     kSrc, 49, Site::NodeInvalidate49, 0, 0, {}, node_invalidate},
    {Owner::Node, "__reduce_cython__", "Node.__reduce_cython__", nullptr, kPkl,
     1, Site::NodeReduce5, 0, 0, {}, node_reduce},
    {Owner::Node, "__setstate_cython__", "Node.__setstate_cython__", nullptr,
     kPkl, 16, Site::NodeSetstate16, 1, 1, {kState[0]}, node_setstate},
    {Owner::Engine, "add_node", "DAGEngine.add_node", nullptr, kSrc, 74,
     Site::EngineAddNode74, 5, 2,
     {{"name", Kind::Str, Default::None},
      {"func", Kind::Object, Default::None},
      {"is_explicit", Kind::Flag, Default::False},
      {"explicit_value", Kind::Object, Default::None},
      {"flags", Kind::Int, Default::Zero}},
     engine_add_node},
    {Owner::Engine, "add_edge", "DAGEngine.add_edge", nullptr, kSrc, 79,
     Site::EngineAddEdge79, 2, 2,
     {{"dependent_name", Kind::Str, Default::None},
      {"dependency_name", Kind::Str, Default::None}},
     engine_add_edge},
    {Owner::Engine, "record_access", "DAGEngine.record_access", nullptr, kSrc,
     85, Site::EngineRecordAccess85, 1, 1,
     {{"accessed_node_name", Kind::Str, Default::None}}, engine_record_access},
    {Owner::Engine, "invalidate", "DAGEngine.invalidate", nullptr, kSrc, 92,
     Site::EngineInvalidate92, 1, 1, {{"name", Kind::Str, Default::None}},
     engine_invalidate},
    {Owner::Engine, "evaluate", "DAGEngine.evaluate", nullptr, kSrc, 97,
     Site::EngineEvaluate97, 2, 2,
     {{"name", Kind::Str, Default::None},
      {"instance", Kind::Object, Default::None}},
     engine_evaluate},
    {Owner::Engine, "__reduce_cython__", "DAGEngine.__reduce_cython__",
     nullptr, kPkl, 1, Site::EngineReduce5, 0, 0, {}, engine_reduce},
    {Owner::Engine, "__setstate_cython__", "DAGEngine.__setstate_cython__",
     nullptr, kPkl, 16, Site::EngineSetstate16, 1, 1, {kState[0]},
     engine_setstate},
    {Owner::Module, "__pyx_unpickle_Node", "__pyx_unpickle_Node", nullptr, kPkl,
     4, Site::UnpickleNode4, 3, 3,
     {{"__pyx_type", Kind::Object, Default::None},
      {"__pyx_checksum", Kind::Int, Default::None},
      {"__pyx_state", Kind::Object, Default::None}},
     unpickle_node},
    {Owner::Module, "__pyx_unpickle_DAGEngine", "__pyx_unpickle_DAGEngine",
     nullptr, kPkl, 4, Site::UnpickleEngine4, 3, 3,
     {{"__pyx_type", Kind::Object, Default::None},
      {"__pyx_checksum", Kind::Int, Default::None},
      {"__pyx_state", Kind::Object, Default::None}},
     unpickle_engine},
    {Owner::Node, "__init__", "Node.__init__", nullptr, kSrc, 32,
     Site::NodeInit32, 5, 2,
     {{"name", Kind::Str, Default::None},
      {"func", Kind::Object, Default::None},
      {"is_explicit", Kind::Flag, Default::False},
      {"explicit_value", Kind::Object, Default::None},
      {"flags", Kind::Int, Default::Zero}},
     nullptr},  // constructors are bound from tp_init, never called here
    {Owner::Engine, "__init__", "DAGEngine.__init__", nullptr, kSrc, 71,
     Site::EngineInit71, 0, 0, {}, nullptr},
};
static_assert(std::size(kOps) == static_cast<size_t>(Op::kCount));

}  // namespace

const OpSpec &
op_spec(Op op) noexcept
{
    return kOps[static_cast<int>(op)];
}

}  // namespace tarn
