"""The `layer` fixture: the layer's behaviour tests run once against tarn's
native layer and once against the pure-Python reference (layer_reference),
with the same expectations."""

import types

import pytest

import layer_reference
import tarn

LAYER_NAMES = (
    "Graph", "Model", "Input", "computed", "graph_of", "NodeNotFound", "CycleError",
    "effect", "Effect", "watch", "batch", "update", "untracked", "touch", "trace",
)

LAYERS = {
    name: types.SimpleNamespace(name=name, **{attr: getattr(module, attr) for attr in LAYER_NAMES})
    for name, module in (("native", tarn), ("reference", layer_reference))
}


@pytest.fixture(params=sorted(LAYERS))
def layer(request):
    """A namespace with the layer's API of one implementation (``layer.name``
    says which): Graph, Model, Input, computed, graph_of, NodeNotFound,
    CycleError, and the reactions: effect, Effect, watch, batch, update,
    untracked, touch and trace."""
    return LAYERS[request.param]
