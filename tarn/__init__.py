"""A native memoised dependency-graph engine.

The engine itself lives in the extension module :mod:`tarn.tarnwick`.
"""

from tarn.tarnwick import DAGEngine, Node

__all__ = ["DAGEngine", "Node"]
