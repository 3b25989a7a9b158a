// Every text tarn._layer raises, in one table indexed by Msg.
#include "layer/layer.hpp"

namespace tarn::layer {

namespace {

constexpr const char *kMessages[] = {
    "node names must be str, not %.200s",
    "cannot set %R: it is a computed node",
    "cannot touch %R: it is a computed node",
    "cannot %s %R while %R is computing",
    "cannot %s %R: a model's nodes come from its class",
    "the model that held node %R no longer exists",
    "the graph that held node %R no longer exists",
    "node %R was not made by this graph and is not valid",
    "the registry holds %.200s under %R, not a node",
    "cannot set computed attribute %R",
    "cannot delete computed attribute %R",
    "cannot delete input %R",
    "%.200s has no graph: its __init__ did not run",
    "cannot create 'tarn._layer.Frame' instances",
    "tarn._layer can be loaded in one interpreter only",
    "tarn.tarnwick.Node is not the engine's node type",
    "Raised inside node functions when a read needs a node that is computed "
    "further down first: the computations it passes through are run again "
    "afterwards. Let it propagate.",
};

static_assert(sizeof(kMessages) / sizeof(kMessages[0]) ==
              static_cast<size_t>(Msg::kCount));

}  // namespace

const char *
message(Msg m) noexcept
{
    return kMessages[static_cast<int>(m)];
}

}  // namespace tarn::layer
