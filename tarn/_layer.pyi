"""The reads of graphs and models that hit, in native code."""

from collections.abc import Callable
from contextvars import ContextVar
from typing import Any, final

from typing_extensions import disjoint_base

from tarn.tarnwick import Node

@final
class Frame:
    """One running computation: its node, what it read, and the frame that started it."""

    def __new__(cls, node: Any, parent: Frame | None, held: dict[Any, BaseException] | None, /) -> Frame: ...
    @property
    def node(self) -> Any: ...
    @property
    def reads(self) -> dict[Any, None]: ...
    @property
    def parent(self) -> Frame | None: ...
    @property
    def held(self) -> dict[Any, BaseException] | None: ...
    stale: bool

@disjoint_base
class GraphBase:
    """The base of Graph: its nodes and the read graph[name]."""

    _nodes: dict[str, Any]
    def __getitem__(self, name: str, /) -> Any: ...

@disjoint_base
class ModelBase:
    """The base of Model: an instance's graph and nodes."""

    _tarn_graph: Any
    _tarn_nodes: dict[str, Any]

@disjoint_base
class InputBase:
    """The base of Input: the read of an input attribute."""

    name: str
    def __get__(self, instance: Any, owner: type | None = None, /) -> Any: ...

@disjoint_base
class ComputedBase:
    """The base of Computed: the read of a computed attribute."""

    name: str
    overridden: bool
    def __get__(self, instance: Any, owner: type | None = None, /) -> Any: ...

def setup(
    *,
    cell: type[Node] = ...,
    current: ContextVar[Any] = ...,
    read: Callable[[Any, Any], Any] = ...,
    graph_read: Callable[[Any, str], Any] = ...,
    input_read: Callable[[Any, Any], Any] = ...,
    computed_read: Callable[[Any, Any], Any] = ...,
    clock: Any = ...,
    lock: Any = ...,
    compute: Callable[[Any, Any, Any], Any] = ...,
    relink: Callable[[Any, Any], Any] = ...,
    settle: Callable[[Any, Any, Any], Any] = ...,
    restore: Callable[[Any, Any], Any] = ...,
) -> None:
    """Registers the Python layer's parts."""

def compute(node: Any, parent: Frame | None, held: dict[Any, BaseException] | None, /) -> Any:
    """Calls a node's function in a new frame and caches the result when nothing changed meanwhile."""
