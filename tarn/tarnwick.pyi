"""Type information for the native dependency-graph engine.

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

    # Deleting one of these object fields stores None.
    name: str | None
    func: Any
    dependencies: list[Any] | None
    dependents: list[Any] | None
    cached_value: Any
    static_dependencies: list[Any] | None
    # A signed 32-bit value carried for the caller; it cannot be deleted, and
    # a float written to it is truncated.
    flags: int
    # The two flags read as bool and store the truth value of what is
    # written; they cannot be deleted.
    @property
    def is_valid(self) -> bool: ...
    @is_valid.setter
    def is_valid(self, value: object) -> None: ...
    @property
    def is_explicit(self) -> bool: ...
    @is_explicit.setter
    def is_explicit(self, value: object) -> None: ...
    def __init__(
        self,
        name: str | None,
        func: Any,
        is_explicit: object = False,
        explicit_value: Any = None,
        flags: int = 0,
    ) -> None: ...
    def add_dependency(self, dep: Node) -> None: ...
    def invalidate(self) -> None: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...

@disjoint_base
class DAGEngine:
    """Manages the lifecycle and topology of the graph."""

    # Registry of nodes by name; deleting the attribute stores None.
    nodes: dict[str | None, Node] | None
    # Names of the nodes whose functions are running, innermost last.
    call_stack: list[Any] | None
    def __init__(self) -> None: ...
    def add_node(
        self,
        name: str | None,
        func: Any,
        is_explicit: object = False,
        explicit_value: Any = None,
        flags: int = 0,
    ) -> Node: ...
    def add_edge(
        self, dependent_name: str | None, dependency_name: str | None
    ) -> None: ...
    def record_access(self, accessed_node_name: str | None) -> None: ...
    def invalidate(self, name: str | None) -> None: ...
    def evaluate(self, name: str | None, instance: Any) -> Any: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...

def __pyx_unpickle_Node(
    __pyx_type: type[_NodeT],
    __pyx_checksum: int,
    __pyx_state: tuple[Any, ...] | None,
) -> _NodeT: ...
def __pyx_unpickle_DAGEngine(
    __pyx_type: type[_EngineT],
    __pyx_checksum: int,
    __pyx_state: tuple[Any, ...] | None,
) -> _EngineT: ...
