"""A native memoised dependency-graph engine.

The engine itself lives in the extension module :mod:`tarn.tarnwick`.
"""

from tarn.tarnwick import DAGEngine, Node

# Graphs and models that record their own dependencies, built on the engine.
from tarn._errors import CycleError, NodeNotFound
from tarn._graph import Graph
from tarn._model import Input, Model, computed, graph_of

__all__ = [
    "CycleError",
    "DAGEngine",
    "Graph",
    "Input",
    "Model",
    "Node",
    "NodeNotFound",
    "computed",
    "graph_of",
]
