"""A native memoised dependency-graph engine.

The engine itself lives in the extension module :mod:`tarn.tarnwick`.
"""

# The one place the release number is kept; the build reads it from here.
__version__ = "0.1.0"

try:
    from tarn.tarnwick import DAGEngine, Node
    # The native read paths of graphs and models.
    import tarn._layer as _layer  # noqa: F401
except ModuleNotFoundError as error:
    if error.name not in ("tarn.tarnwick", "tarn._layer"):
        raise
    raise ModuleNotFoundError(
        f"tarn's native module {error.name} is not built in {__path__[0]}: "
        "install the package (pip install tarnwick, or pip install . in a "
        "clone), or build it in place with tools/build-dev",
        name=error.name,
    ) from None

# Graphs and models that record their own dependencies, built on the engine.
from tarn._errors import CycleError, NodeNotFound
from tarn._graph import Graph
from tarn._model import Input, Model, computed, graph_of
from tarn._reactions import Effect, Trace, batch, effect, touch, trace, untracked, update, watch

__all__ = [
    "CycleError",
    "DAGEngine",
    "Effect",
    "Graph",
    "Input",
    "Model",
    "Node",
    "NodeNotFound",
    "Trace",
    "batch",
    "computed",
    "effect",
    "graph_of",
    "touch",
    "trace",
    "untracked",
    "update",
    "watch",
]
