"""Graphs of named values that record what their computations read.

`Graph` is API glue over its native base, `tarn._layer.GraphBase`, which
holds the graph's engine and registry and does the reads (``graph[name]``),
the writes (``graph[name] = value``, ``del graph[name]``) and the
registrations; this module adds argument checks, the decorator, the
inspection methods and pickling.
"""

from __future__ import annotations

import pickle
from collections.abc import Callable, Iterator, Mapping
from functools import partial
from typing import Any, SupportsIndex, TypeVar, cast, overload

from tarn._errors import NodeNotFound
from tarn._layer import GraphBase
from tarn._pickling import graph_of_instance, load_graph, reduce_member
from tarn._reactions import Effect, update_graph, watch_graph
from tarn._tracking import Cutoff, Record, check_function, plain_function
from tarn.diagram import to_html_table, to_markdown
from tarn.tarnwick import DAGEngine

__all__ = ["Graph"]

# Node functions take the graph they are registered on.
_F = TypeVar("_F", bound="Callable[[Graph], object]")
_R = TypeVar("_R")


class Graph(GraphBase):
    """Named inputs and computed nodes that record what they read.

    ``graph[name]`` reads a node, computing what is stale; ``graph[name] =
    value`` sets an input; ``@graph.node`` registers a computed node whose
    function takes the graph and reads other nodes through it.
    """

    __module__ = "tarn"
    __slots__ = ()

    engine: DAGEngine
    """The engine whose registry holds the graph's nodes (read-only).

    Read the nodes through the graph, not with the engine's ``evaluate``;
    ``graph.engine.invalidate(name)`` makes a node and its readers compute
    again."""
    _nodes: dict[str, Record]

    def input(self, name: str, value: Any, *, cutoff: Cutoff = False) -> None:
        """Register an input holding `value`, or set the input `name` to it.

        A computed node of that name is replaced by the input. With
        `cutoff` (True: the same object or ``==``; or a callable ``(old,
        new) -> bool`` saying "unchanged"), setting the input to an
        unchanged value changes nothing at all.
        """
        self._input(name, value, cutoff)

    def update(self, values: Mapping[str, Any], /) -> None:
        """Set several inputs as one batch: effects and watchers run once.

        A name the graph would refuse (a computed node, a name that is no
        str, a new name in a model's graph) is refused before any input is
        set."""
        update_graph(self, values)

    def watch(self, name: str, callback: Callable[[Any, Any], object], /) -> Effect:
        """Call ``callback(old, new)`` after each change that changed node
        `name`, which is kept up to date; returns the watcher's Effect.

        The watcher follows the name: a node registered over it is watched
        in its place. A failure of the node (or its deletion) is reported
        like an effect's exception, and the watcher resumes when the node
        computes again.
        """
        return watch_graph(self, name, callback)

    def touch(self, name: str) -> None:
        """Say that input `name` was changed in place: its readers are
        invalidated as if it had been set."""
        self._touch(name)

    def __contains__(self, name: object) -> bool:
        return name in self._nodes

    def __len__(self) -> int:
        return len(self._nodes)

    def __iter__(self) -> Iterator[str]:
        return iter(list(self._nodes))

    def __repr__(self) -> str:
        return f"<{type(self).__name__} of {len(self._nodes)} nodes>"

    def _lookup(self, name: str) -> Record:
        try:
            return self._nodes[name]
        except KeyError:
            raise NodeNotFound(name, None, self) from None

    def _label(self, node: Any) -> Any:
        graph = getattr(node, "graph", None)
        if graph is self or graph is None:
            return node.name
        return (graph._owner, node.name)

    def dependencies(self, name: str) -> tuple[Any, ...]:
        """What the node's last computation read, in first-read order."""
        return tuple(self._label(dep) for dep in self._lookup(name).dependencies)

    def dependents(self, name: str) -> tuple[Any, ...]:
        """The nodes whose last computations read this one."""
        return tuple(self._label(reader) for reader in self._lookup(name).dependents)

    # A function registered under its own name is returned with its type;
    # one given a name (often a lambda, whose parameter then takes the
    # graph's type) as a callable of the graph.
    @overload
    def node(self, func: _F, /, *, cutoff: Cutoff = False) -> _F: ...
    @overload
    def node(
        self, func: Callable[[Graph], _R], /, *, name: str | None, cutoff: Cutoff = False
    ) -> Callable[[Graph], _R]: ...
    @overload
    def node(
        self, func: None = None, /, *, name: str | None = None, cutoff: Cutoff = False
    ) -> Callable[[_F], _F]: ...
    def node(self, func: Callable[..., Any] | None = None, /, *, name: str | None = None, cutoff: Cutoff = False) -> Any:
        """Register a computed node (decorator); returns the function unchanged.

        ``graph.node(func, name=..., cutoff=...)`` works too, for functions
        not written as decorated definitions. The node is named after the
        function unless `name` is given. With `cutoff` (True: the same
        object or ``==``; or a callable ``(old, new) -> bool`` saying
        "unchanged"), a recomputation to an unchanged value keeps the
        previous object and leaves the node's readers as they were.
        """

        if func is not None:
            # The common call, a plain function with its name given, goes
            # straight to the registration.
            if type(name) is str and plain_function(func):
                self._define(name, func, cutoff)
                return func
            return self._register(func, name, cutoff)
        # A partial, not a closure: nothing here makes a function object.
        return partial(self._register, name=name, cutoff=cutoff)

    def _register(self, func: _F, name: str | None, cutoff: Cutoff) -> _F:
        node_name = name
        if node_name is None:
            node_name = getattr(func, "__name__", None)
            if not isinstance(node_name, str):
                raise TypeError("this function has no __name__: pass name=...")
        if not isinstance(node_name, str):
            raise TypeError(f"node names must be str, not {type(node_name).__name__}")
        if not plain_function(func):
            check_function(func, f"the function of node {node_name!r}")
        self._define(node_name, func, cutoff)
        return func

    # pickling

    def __reduce_ex__(self, protocol: SupportsIndex) -> tuple[Any, ...]:
        if self._of_model:
            owner = self._owner
            if owner is None:
                raise ReferenceError("the model that held this graph no longer exists")
            return (graph_of_instance, (owner,))
        return reduce_member(self, int(protocol))

    def __reduce__(self) -> tuple[Any, ...]:
        return self.__reduce_ex__(2)

    def __copy__(self) -> Graph:
        return cast(Graph, pickle.loads(pickle.dumps(self, pickle.HIGHEST_PROTOCOL)))

    # notebook display

    def _repr_html_(self) -> str:
        return to_html_table(self)

    def _repr_markdown_(self) -> str:
        return to_markdown(self)


def _load_graph(state: tuple[Any, ...]) -> Graph:
    """Rebuild a graph pickled on its own in the one-graph flat form."""
    return cast(Graph, load_graph(Graph, state))
