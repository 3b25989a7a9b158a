"""Type information for the native dependency-graph engine.

Reads of the container attributes are typed as what they hold in practice
(a list, a dictionary); writes also accept None, which is what deleting one
stores. Code that stores None itself must expect None back.

Parameters whose names start with two underscores (``__pyx_state`` and the
three of the reconstruction functions) also accept keywords at run time;
type checkers read such names as positional-only, which is the stricter view.
"""

from typing import Any, TypeVar

from typing_extensions import disjoint_base

_NodeT = TypeVar("_NodeT", bound=Node)
_EngineT = TypeVar("_EngineT", bound=DAGEngine)

__test__: dict[Any, Any]

@disjoint_base
class Node:
    """A single vertex: a function, its memoised value and its edges."""

    name: str | None
    """The node's name (None is a legal name)."""
    func: Any
    """Called with the instance by ``DAGEngine.evaluate``."""
    cached_value: Any
    """The memoised value; current while ``is_valid`` is true."""
    # A signed 32-bit value carried for the caller; it cannot be deleted, and
    # a float written to it is truncated.
    flags: int
    """An integer carried for the caller and never interpreted."""
    @property
    def dependencies(self) -> list[Node]:
        """Nodes this node depends on, in the order the edges were added."""
    @dependencies.setter
    def dependencies(self, value: list[Node] | None) -> None: ...
    @property
    def dependents(self) -> list[Node]:
        """Nodes that depend on this node; invalidation walks this list."""
    @dependents.setter
    def dependents(self, value: list[Node] | None) -> None: ...
    @property
    def static_dependencies(self) -> list[str | None]:
        """Names that ``DAGEngine.evaluate`` evaluates before calling ``func``."""
    @static_dependencies.setter
    def static_dependencies(
        self, value: list[str] | list[str | None] | None
    ) -> None: ...
    # The two flags read as bool and store the truth value of what is
    # written; they cannot be deleted.
    @property
    def is_valid(self) -> bool:
        """Whether ``cached_value`` is current."""
    @is_valid.setter
    def is_valid(self, value: object) -> None: ...
    @property
    def is_explicit(self) -> bool:
        """Whether the value was given; invalidation stops at such a node."""
    @is_explicit.setter
    def is_explicit(self, value: object) -> None: ...
    def __init__(
        self,
        name: str | None,
        func: Any,
        is_explicit: object = False,
        explicit_value: Any = None,
        flags: int = 0,
    ) -> None:
        """A node with empty edge lists; it starts valid only if explicit,
        with ``explicit_value`` as its cached value."""
    def add_dependency(self, dep: Node) -> None:
        """Make this node depend on ``dep``: appends ``dep`` to
        ``dependencies`` and this node to ``dep.dependents``, once."""
    def invalidate(self) -> None:
        """Clear this node and, following ``dependents``, the nodes computed
        from it; the walk does not pass explicit nodes."""
    def __reduce_cython__(self) -> tuple[Any, ...]:
        """Pickle support: how to rebuild this node."""
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Pickle support: restore the fields from a pickled state."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickle support: how to rebuild this node."""
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Pickle support: restore the fields from a pickled state."""

@disjoint_base
class DAGEngine:
    """Manages the lifecycle and topology of the graph."""

    @property
    def nodes(self) -> dict[str | None, Node]:
        """The registry of nodes by name (the object itself, not a copy)."""
    @nodes.setter
    def nodes(
        self, value: dict[str, Node] | dict[str | None, Node] | None
    ) -> None: ...
    @property
    def call_stack(self) -> list[str | None]:
        """Names of the nodes whose functions are running, innermost last."""
    @call_stack.setter
    def call_stack(self, value: list[str] | list[str | None] | None) -> None: ...
    def __init__(self) -> None:
        """An engine with an empty registry and call stack."""
    def add_node(
        self,
        name: str | None,
        func: Any,
        is_explicit: object = False,
        explicit_value: Any = None,
        flags: int = 0,
    ) -> Node:
        """Create a ``Node``, register it under ``name`` (replacing any node
        there) and return it."""
    def add_edge(
        self, dependent_name: str | None, dependency_name: str | None
    ) -> None:
        """Make the first named node depend on the second; nothing happens
        if either is not registered."""
    def record_access(self, accessed_node_name: str | None) -> None:
        """Record that the node whose function is running reads the named
        node, so invalidating that node also clears the running one; nothing
        happens outside an evaluation."""
    def invalidate(self, name: str | None) -> None:
        """Invalidate the named node and everything computed from it; nothing
        happens if it is not registered."""
    def evaluate(self, name: str | None, instance: Any) -> Any:
        """The named node's value for ``instance``: the cached value if valid,
        else its static dependencies are evaluated, its function is called
        with ``instance`` and the result is cached and returned."""
    def __reduce_cython__(self) -> tuple[Any, ...]:
        """Pickle support: how to rebuild this engine."""
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Pickle support: restore the registry and call stack."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickle support: how to rebuild this engine."""
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Pickle support: restore the registry and call stack."""

def __pyx_unpickle_Node(
    __pyx_type: type[_NodeT],
    __pyx_checksum: int,
    __pyx_state: tuple[Any, ...] | None,
) -> _NodeT:
    """Rebuild a node of ``__pyx_type`` from a pickle stream."""

def __pyx_unpickle_DAGEngine(
    __pyx_type: type[_EngineT],
    __pyx_checksum: int,
    __pyx_state: tuple[Any, ...] | None,
) -> _EngineT:
    """Rebuild an engine of ``__pyx_type`` from a pickle stream."""
