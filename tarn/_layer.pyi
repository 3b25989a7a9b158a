"""Graphs and models that track their own reads: the algorithm, in native code."""

from collections.abc import Callable, Mapping
from contextvars import ContextVar
from typing import Any, final

from typing_extensions import disjoint_base

from tarn.tarnwick import DAGEngine, Node

@final
class Record(Node):
    """A node made by a graph: the engine's node with the layer's bookkeeping."""

    @property
    def graph(self) -> GraphBase | None: ...
    @graph.setter
    def graph(self, value: GraphBase | None) -> None: ...
    cutoff: bool | Callable[[Any, Any], object]
    kept: bool
    @property
    def last(self) -> Any: ...
    @last.setter
    def last(self, value: Any) -> None: ...
    ok: bool
    changed: int
    verified: int
    @property
    def missed(self) -> tuple[tuple[GraphBase | None, str], ...]: ...
    @property
    def trusted(self) -> bool: ...

@final
class Frame:
    """What a running computation looked like when current() was called: its node, what it had read, and the computation whose read started it."""

    @property
    def node(self) -> Record: ...
    @property
    def reads(self) -> tuple[Node, ...]: ...
    @property
    def parent(self) -> Frame | None: ...
    @property
    def depth(self) -> int: ...

@final
class Driver:
    """One outermost read that computes."""

class Unwinding(BaseException):
    """Raised inside node functions when a read needs a node that is computed further down first."""

current_computation: ContextVar[Driver]

@disjoint_base
class GraphBase:
    """The base of Graph: its registry, reads, writes and registration."""

    @property
    def engine(self) -> DAGEngine: ...
    @property
    def _nodes(self) -> dict[str, Any]: ...
    @property
    def _missing(self) -> dict[str, dict[Record, None]] | None: ...
    @property
    def _owner(self) -> Any: ...
    @property
    def _of_model(self) -> bool: ...
    def __getitem__(self, name: str, /) -> Any: ...
    def __setitem__(self, name: str, value: Any, /) -> None: ...
    def __delitem__(self, name: str, /) -> None: ...
    def _input(self, name: str, value: Any, cutoff: bool | Callable[[Any, Any], object], /) -> None: ...
    def _define(self, name: str, func: Callable[[Any], Any], cutoff: bool | Callable[[Any, Any], object], /) -> None: ...
    def _touch(self, name: str, /) -> None: ...
    def peek(self, name: str, /) -> Any:
        """Read a node without recording the read: no running computation or
        effect comes to depend on it. A stale node is computed as by any
        read."""

@disjoint_base
class ModelBase:
    """The base of Model: an instance's graph and nodes."""

    @property
    def _tarn_graph(self) -> Any: ...
    @property
    def _tarn_nodes(self) -> dict[str, Any]: ...

@disjoint_base
class InputBase:
    """The base of Input: reads and writes of an input attribute."""

    name: str
    """The attribute's name, set when the class is created."""
    cutoff: bool | Callable[[Any, Any], object]
    """False, True (unchanged: the same object, or ``==``) or a callable
    ``(old, new) -> bool`` saying "unchanged": setting the input to an
    unchanged value changes nothing."""
    def __get__(self, instance: Any, owner: type | None = None, /) -> Any: ...
    def __set__(self, instance: Any, value: Any, /) -> None: ...
    def __delete__(self, instance: Any, /) -> None: ...

@disjoint_base
class ComputedBase:
    """The base of computed attributes: their reads."""

    name: str
    """The attribute's name, set when the class is created."""
    func: Callable[[Any], Any]
    """The method that computes the attribute from the instance."""
    cutoff: bool | Callable[[Any, Any], object]
    """False, True (unchanged: the same object, or ``==``) or a callable
    ``(old, new) -> bool`` saying "unchanged": a recomputation to an
    unchanged value leaves the attribute's readers as they were."""
    overridden: bool
    """Whether a subclass defines an attribute of the same name; a read
    through this one is then a ``super()`` read unless the instance's class
    uses it."""
    def __get__(self, instance: Any, owner: type | None = None, /) -> Any: ...
    def __set__(self, instance: Any, value: Any, /) -> None: ...
    def __delete__(self, instance: Any, /) -> None: ...

def model_graph(instance: ModelBase, graph_class: type[GraphBase], /) -> Any:
    """Makes a model instance's graph, empty, and returns it."""

def build_model(
    instance: ModelBase,
    graph_class: type[GraphBase],
    values: Mapping[str, Any],
    inputs: Mapping[str, InputBase],
    computeds: Mapping[str, ComputedBase],
    /,
) -> None:
    """Makes a model instance's graph with its inputs and computed nodes."""

def make_record(
    graph: GraphBase,
    name: str,
    func: Any,
    is_explicit: object,
    value: Any,
    cutoff: object,
    valid: object,
    ok: object,
    last: Any,
    changed: int,
    verified: int,
    /,
) -> Record:
    """A node of `graph` in the state given, not registered."""

def note_missing(graph: GraphBase, name: str, reader: Record, /) -> None:
    """Records that the reader's cached computation missed `name` of `graph`."""

def plain_function(func: object, /) -> bool:
    """Whether `func` is a plain function that is not asynchronous."""

def revision() -> int:
    """The revision: it moves on every change."""

def floor() -> int:
    """Values computed before this revision are checked again before use."""

def current() -> Frame | None:
    """A snapshot of the computation running in this thread or task that reads are recorded into, or None."""

@final
class untracked:
    """A context manager: reads in its block are recorded by no computation (the running one, or an effect), and what they compute is computed on its own."""

    def __new__(cls) -> untracked: ...
    def __enter__(self) -> untracked: ...
    def __exit__(self, *exc_info: object) -> None: ...

def set_reactions(hook: Callable[[], object], /) -> None:
    """Registers, once, what runs the effects a completed change made stale."""

def set_live(flag: object, /) -> None:
    """Whether effects exist: while none does, changes call no hook."""

def set_tracer(tracer: Callable[..., object] | None, /) -> None:
    """This thread's tracer, called as tracer(kind, *details); None ends it."""

def tracer() -> Callable[..., object] | None:
    """This thread's tracer, or None."""

def running() -> str | None:
    """What runs in this thread now: None, 'node' or 'effect'."""

def run_effect(node: Record, /) -> object:
    """Runs an effect's node: its function, its reads recorded as its edges, each read computed on its own."""
