"""Graphs of named values that record what their computations read.

A `Graph` owns a `DAGEngine` and keeps one core node per name in the
engine's registry. Inputs are explicit nodes; computed nodes hold the user's
function. Reads go through ``graph[name]`` (or a model attribute): a read
made while a node computes is recorded in that computation's frame, found in
a context variable, and when the computation finishes its node's edge lists
are set to exactly what it read. The core's own invalidation walk, started
on the readers of an input that changes, is what marks nodes stale.

Beside the core fields each node carries a little bookkeeping:

``ok``
    the node's last computation was cached, so its ``dependencies`` list
    is exactly what that computation read and ``last`` is its value (a
    computation that fails or is not cached leaves the edges as they were);
``changed``
    the revision at which the node's value last changed;
``verified``
    the revision at which the node was last computed or confirmed.

The revision is a process-wide counter bumped by every change (an input set
to a new value, a registration over a name something read, a removal). A
computation caches its value only when the counter did not move while it
ran and everything it read ended valid; otherwise it returns its result
uncached and the node stays stale.

A stale node with recorded dependencies has them brought up to date first,
on an explicit stack, so a long chain is refreshed without nesting calls;
when its record is ``ok`` and none of them changed after it was verified
(the cut-off case), it gets its last value back without a call.

The reads, refreshes and computations below have native twins in
`tarn._layer`, which do the same steps and hand these functions every case
they do not take themselves (a cycle, a failure held back, nodes or parts of
another kind).
"""

from __future__ import annotations

import inspect
import pickle
import sys
import threading
import types
import weakref
from collections.abc import Callable, Iterator
from contextvars import ContextVar
from typing import TYPE_CHECKING, Any, SupportsIndex, TypeVar, cast, overload

from tarn._errors import CycleError, NodeNotFound
from tarn._layer import Frame as _Frame
from tarn._layer import GraphBase, setup
from tarn._layer import compute as _layer_compute
from tarn.tarnwick import DAGEngine, Node

if TYPE_CHECKING:
    from tarn._model import Model

__all__ = ["Graph"]

_F = TypeVar("_F", bound=Callable[..., Any])

# Guards every change to edge lists, validity and the revision counter, so a
# computation's check that nothing changed and its commit are one step. It
# is re-entrant because releasing a value inside may run a model finaliser.
_lock = threading.RLock()


class _Clock:
    __slots__ = ("rev",)

    def __init__(self) -> None:
        self.rev = 0


_clock = _Clock()


class _Cell(Node):
    """A core node with the layer's bookkeeping."""

    __slots__ = ("graph", "cutoff", "last", "ok", "changed", "verified")

    graph: Graph
    cutoff: bool
    last: Any
    ok: bool
    changed: int
    verified: int


def _cell(graph: Graph, name: str, func: Any, explicit: bool, value: Any, cutoff: bool) -> _Cell:
    cell = _Cell(name, func, explicit, value)
    cell.graph = graph
    cell.cutoff = cutoff
    cell.last = None
    cell.ok = False
    cell.changed = _clock.rev
    cell.verified = -1
    return cell


def _deps(cell: Node) -> list[_Cell]:
    return cast("list[_Cell]", cell.dependencies)


def _readers(cell: Node) -> list[_Cell]:
    return cast("list[_Cell]", cell.dependents)


# A running computation is a `_Frame` (native, so that reads can record
# themselves without attribute lookups): its node, the nodes it read (an
# insertion-ordered dict, in first-read order), the frame of the computation
# that started it, a stale flag set when a read returned something that is
# not a cached value, and the failures of nodes computed ahead of need
# during a refresh.

_current: ContextVar[_Frame | None] = ContextVar("tarn_current_computation", default=None)


# -- reading ------------------------------------------------------------------


def _read(node: _Cell, frame: _Frame | None) -> Any:
    """The value of a node that was not valid when read."""
    try:
        walk = frame
        while walk is not None:
            if walk.node is node:
                raise CycleError(_cycle_path(node, frame))
            walk = walk.parent
        held = frame.held if frame is not None else None
        if held is not None and node in held:
            raise held[node]
        if node.dependencies:
            value = _refresh(node, frame)
        else:
            value = _compute(node, frame, held)
    except BaseException:
        if frame is not None:
            frame.stale = True
        raise
    if frame is not None and not node.is_valid:
        frame.stale = True
    return value


def _cycle_path(node: _Cell, frame: _Frame | None) -> list[str | None]:
    path: list[str | None] = [node.name]
    while frame is not None and frame.node is not node:
        path.append(frame.node.name)
        frame = frame.parent
    path.append(node.name)
    path.reverse()
    return path


def _python_compute(node: _Cell, parent: _Frame | None, held: dict[_Cell, BaseException] | None) -> Any:
    """Call a node's function and cache the result when nothing moved meanwhile.

    The native `compute` does the same and hands over what it does not take.
    """
    owner = node.graph._target()
    if owner is None:
        raise ReferenceError(f"the model that held node {node.name!r} no longer exists")
    frame = _Frame(node, parent, held)
    had_value = node.ok
    node.ok = False
    start = _clock.rev
    token = _current.set(frame)
    try:
        value = node.func(owner)
    finally:
        _current.reset(token)
    if frame.stale or _clock.rev != start:
        return value
    changed = True
    if had_value and node.cutoff:
        try:
            changed = not (value == node.last)
        except Exception:
            changed = True
    with _lock:
        if _clock.rev == start:
            _relink(node, frame.reads)
            node.last = value
            node.verified = start
            if changed:
                node.changed = start
            node.ok = True
            node.cached_value = value
            node.is_valid = True
    return value


def _relink(node: _Cell, reads: dict[_Cell, None]) -> None:
    """Make a node's dependencies exactly `reads`, in both directions."""
    old: list[_Cell] = node.dependencies  # type: ignore[assignment]
    new = list(reads)
    if old == new:  # nodes compare by identity
        return
    for dep in old:
        if dep not in reads:
            try:
                dep.dependents.remove(node)
            except ValueError:
                pass
    known = set(old)
    for dep in new:
        if dep not in known:
            dep.dependents.append(node)
    node.dependencies = cast("list[Node]", new)


def _settle(node: _Cell, parent: _Frame | None, held: dict[_Cell, BaseException]) -> None:
    """Compute a node ahead of any read of it, holding back what it raises."""
    try:
        walk = parent
        while walk is not None:
            if walk.node is node:
                raise CycleError(_cycle_path(node, parent))
            walk = walk.parent
        _compute(node, parent, held)
    except Exception as exc:
        held[node] = exc


def _restore(node: _Cell, start: int) -> tuple[bool, Any]:
    """Make a node valid again with its last value, if nothing moved since `start`."""
    with _lock:
        if _clock.rev != start:
            return False, None
        value = node.last
        node.cached_value = value
        node.verified = start
        node.is_valid = True
        return True, value


def _refresh(top: _Cell, parent: _Frame | None) -> Any:
    """Bring a stale node with a known record up to date, in dependency order.

    Walks the recorded dependencies on an explicit stack. A node whose last
    computation was cached gets its last value back when none of its
    dependencies changed after it was verified and at least one was
    recomputed or confirmed since (so what made it stale stopped at a
    cut-off below it); a node made stale from outside, by the engine's own
    `invalidate`, finds nothing new below and recomputes. Any other node is
    recomputed, the ones below `top` ahead of the read that will need them.
    The edges of a node whose last computation failed are those of its last
    cached one: they serve as a guess of what it will read.
    """
    held = parent.held if parent is not None and parent.held is not None else {}
    start = _clock.rev
    stack = [top]
    pos = [0]
    # Per level: _SAME (nothing new below yet), _FRESH (a dependency was
    # confirmed after the node, with its value unchanged) or _CHANGED.
    mark = [_SAME]
    pending = {top}
    # Each dependency, once settled, is folded into its reader's mark: not
    # valid, or changed after the reader was verified, is _CHANGED; verified
    # after the reader (value unchanged) turns _SAME into _FRESH.
    while True:
        node = stack[-1]
        deps: list[_Cell] = node.dependencies  # type: ignore[assignment]
        at = pos[-1]
        state = mark[-1]
        if state != _CHANGED and at < len(deps):
            pos[-1] = at + 1
            dep = deps[at]
            if not dep.is_valid and dep not in held and dep not in pending:
                if dep.dependencies:
                    stack.append(dep)
                    pos.append(0)
                    mark.append(_SAME)
                    pending.add(dep)
                    continue
                _settle(dep, parent, held)
            if not dep.is_valid or dep.changed > node.verified:
                mark[-1] = _CHANGED
            elif state == _SAME and dep.verified > node.verified:
                mark[-1] = _FRESH
            continue
        stack.pop()
        pos.pop()
        mark.pop()
        pending.discard(node)
        restorable = state == _FRESH and node.ok
        if not stack:
            if restorable:
                done, value = _restore(node, start)
                if done:
                    return value
            return _compute(node, parent, held)
        if not restorable or not _restore(node, start)[0]:
            _settle(node, parent, held)
        # Fold the node into its reader's mark, as above.
        reader = stack[-1]
        if not node.is_valid or node.changed > reader.verified:
            mark[-1] = _CHANGED
        elif mark[-1] == _SAME and node.verified > reader.verified:
            mark[-1] = _FRESH


_SAME, _FRESH, _CHANGED = 0, 1, 2


# -- changing -----------------------------------------------------------------


def _force(reader: _Cell) -> None:
    """Make a reader recompute: its record no longer says what it read."""
    reader.ok = False
    reader.invalidate()


def _unlink(node: _Cell) -> list[_Cell]:
    """Take a node out of every neighbour's list; return its readers."""
    readers = list(_readers(node))
    for reader in readers:
        try:
            _deps(reader).remove(node)
        except ValueError:
            pass
    for dep in _deps(node):
        try:
            _readers(dep).remove(node)
        except ValueError:
            pass
    node.dependencies = []
    node.dependents = []
    return readers


def _check_function(func: Any, what: str) -> None:
    if not callable(func):
        raise TypeError(f"{what} must be callable, not {type(func).__name__}")
    if inspect.iscoroutinefunction(func) or inspect.isasyncgenfunction(func):
        raise TypeError(f"{what} is asynchronous; node functions must return their value")


class Graph(GraphBase):
    """Named inputs and computed nodes that record what they read.

    ``graph[name]`` reads a node, computing what is stale; ``graph[name] =
    value`` sets an input; ``@graph.node`` registers a computed node whose
    function takes the graph and reads other nodes through it.
    """

    __module__ = "tarn"

    # `_nodes` is kept by the native base, which also reads `graph[name]`.
    __slots__ = ("engine", "_missing", "_target", "_model", "__weakref__")

    engine: DAGEngine
    _nodes: dict[str, _Cell]
    # Readers whose computations failed to find a name, by that name.
    _missing: dict[str, dict[_Cell, None]]
    # What node functions receive: this graph, or the model it belongs to.
    _target: Callable[[], Any]
    _model: bool

    def __init__(self) -> None:
        self.engine = DAGEngine()
        self._nodes = cast("dict[str, _Cell]", self.engine.nodes)
        self._missing = {}
        self._target = weakref.ref(self)
        self._model = False

    @classmethod
    def _of_model(cls, model: Model) -> Graph:
        graph = cls()
        graph._target = weakref.ref(model)
        graph._model = True
        return graph

    def _owner(self) -> Any:
        return self._target() if self._model else self

    # reading (``graph[name]`` is the native base's; see _graph_read)

    def _not_found(self, name: object, frame: _Frame | None) -> NodeNotFound:
        if frame is None:
            return NodeNotFound(name)
        if isinstance(name, str):
            with _lock:
                self._missing.setdefault(name, {})[frame.node] = None
        return NodeNotFound(name, frame.node.name)

    def __contains__(self, name: object) -> bool:
        return name in self._nodes

    def __len__(self) -> int:
        return len(self._nodes)

    def __iter__(self) -> Iterator[str]:
        return iter(list(self._nodes))

    def __repr__(self) -> str:
        return f"<{type(self).__name__} of {len(self._nodes)} nodes>"

    def _lookup(self, name: str) -> _Cell:
        try:
            return self._nodes[name]
        except KeyError:
            raise NodeNotFound(name) from None

    def _label(self, node: _Cell) -> Any:
        if node.graph is self:
            return node.name
        return (node.graph._owner(), node.name)

    def dependencies(self, name: str) -> tuple[Any, ...]:
        """What the node's last computation read, in first-read order."""
        return tuple(self._label(dep) for dep in _deps(self._lookup(name)))

    def dependents(self, name: str) -> tuple[Any, ...]:
        """The nodes whose last computations read this one."""
        return tuple(self._label(reader) for reader in _readers(self._lookup(name)))

    # changing

    def _guard(self, name: object, action: str) -> None:
        frame = _current.get()
        while frame is not None:
            if frame.node.graph is self:
                raise RuntimeError(f"cannot {action} {name!r} while {frame.node.name!r} is computing")
            frame = frame.parent

    def _no_structure(self, name: object, action: str) -> None:
        if self._model:
            raise TypeError(f"cannot {action} {name!r}: a model's nodes come from its class")

    @staticmethod
    def _check_name(name: object) -> str:
        if not isinstance(name, str):
            raise TypeError(f"node names must be str, not {type(name).__name__}")
        return name

    def _set(self, node: _Cell, value: Any) -> None:
        self._guard(node.name, "set")
        if node.cached_value is value:
            return
        with _lock:
            _clock.rev += 1
            node.cached_value = value
            node.changed = _clock.rev
            for reader in list(_readers(node)):
                reader.invalidate()

    def _register(self, name: str, cell: _Cell) -> None:
        with _lock:
            old = self._nodes.get(name)
            waiting = self._missing.pop(name, None)
            if old is not None or waiting:
                _clock.rev += 1
                cell.changed = _clock.rev
            self._nodes[name] = cell
            readers: list[_Cell] = []
            if old is not None:
                # The new node takes the old one's place in its readers' lists.
                readers = list(_readers(old))
                for reader in readers:
                    deps = _deps(reader)
                    try:
                        deps[deps.index(old)] = cell
                    except ValueError:
                        deps.append(cell)
                    _readers(cell).append(reader)
                old.dependents = []
                _unlink(old)
            for reader in readers:
                _force(reader)
            for reader in waiting or ():
                _force(reader)

    def input(self, name: str, value: Any) -> None:
        """Register an input holding `value`, or set the input `name` to it.

        A computed node of that name is replaced by the input.
        """
        name = self._check_name(name)
        node = self._nodes.get(name)
        if node is not None and node.is_explicit:
            self._set(node, value)
            return
        self._no_structure(name, "register")
        self._guard(name, "register")
        self._register(name, _cell(self, name, None, True, value, False))

    def __setitem__(self, name: str, value: Any) -> None:
        node = self._nodes.get(name)
        if node is None:
            self.input(name, value)
        elif node.is_explicit:
            self._set(node, value)
        else:
            raise TypeError(f"cannot set {name!r}: it is a computed node")

    def __delitem__(self, name: str) -> None:
        self._no_structure(name, "delete")
        node = self._lookup(name)
        self._guard(name, "delete")
        with _lock:
            _clock.rev += 1
            if self._nodes.get(name) is node:
                del self._nodes[name]
            for reader in _unlink(node):
                _force(reader)

    @overload
    def node(self, func: _F, /, *, name: str | None = None, cutoff: bool = False) -> _F: ...
    @overload
    def node(
        self, func: None = None, /, *, name: str | None = None, cutoff: bool = False
    ) -> Callable[[_F], _F]: ...
    def node(self, func: Callable[..., Any] | None = None, /, *, name: str | None = None, cutoff: bool = False) -> Any:
        """Register a computed node (decorator); returns the function unchanged.

        ``graph.node(func, name=..., cutoff=...)`` works too, for functions
        not written as decorated definitions. The node is named after the
        function unless `name` is given. With
        `cutoff`, a recomputation that yields a value equal to the previous
        one leaves the node's readers as they were.
        """

        def register(func: _F) -> _F:
            node_name = name
            if node_name is None:
                node_name = getattr(func, "__name__", None)
                if not isinstance(node_name, str):
                    raise TypeError("this function has no __name__: pass name=...")
            node_name = self._check_name(node_name)
            _check_function(func, f"the function of node {node_name!r}")
            self._no_structure(node_name, "register")
            self._guard(node_name, "register")
            self._register(node_name, _cell(self, node_name, func, False, None, bool(cutoff)))
            return func

        if func is not None:
            return register(func)
        return register

    # pickling

    def __reduce_ex__(self, protocol: SupportsIndex) -> tuple[Any, ...]:
        if self._model:
            from tarn._model import graph_of

            return (graph_of, (self._target(),))
        return (_load_graph, (_dump(self, int(protocol), True),))

    def __reduce__(self) -> tuple[Any, ...]:
        return self.__reduce_ex__(2)

    def __copy__(self) -> Graph:
        return cast(Graph, pickle.loads(pickle.dumps(self, pickle.HIGHEST_PROTOCOL)))


def _graph_read(graph: Graph, name: str) -> Any:
    """``graph[name]``: the native read hands over every case it does not take itself."""
    frame = _current.get()
    try:
        node = graph._nodes[name]
    except KeyError:
        raise graph._not_found(name, frame) from None
    if frame is None:
        if node.is_valid:
            return node.cached_value
        return _read(node, None)
    frame.reads[node] = None
    if node.is_valid:
        return node.cached_value
    return _read(node, frame)


setup(
    cell=_Cell,
    current=_current,
    read=_read,
    graph_read=_graph_read,
    clock=_clock,
    lock=_lock,
    compute=_python_compute,
    relink=_relink,
    settle=_settle,
    restore=_restore,
)
_compute = _layer_compute


# -- flat pickling ------------------------------------------------------------
#
# A graph is written as parallel lists (names, functions, values, flags,
# revisions) and its internal edges as flat lists of indices, so the pickler
# never descends from one node into the next.

_VALID, _INPUT, _CUTOFF, _OK = 1, 2, 4, 8


def _importable(func: Any) -> bool:
    """Whether pickle will find `func` again by its module and qualified name."""
    if not isinstance(func, (types.FunctionType, types.BuiltinFunctionType, type)):
        return False
    found: Any = sys.modules.get(func.__module__ or "")
    for part in func.__qualname__.split("."):
        found = getattr(found, part, None)
    return found is func


def _check_functions(names: list[str], funcs: list[Any], protocol: int) -> None:
    """Raise PicklingError naming the first node whose function cannot be pickled."""
    others: list[tuple[str, Any]] = []
    seen: set[int] = set()
    for name, func in zip(names, funcs):
        if func is None or id(func) in seen:
            continue
        seen.add(id(func))
        if not _importable(func):
            others.append((name, func))
    try:
        # One pass over all of them is much cheaper than one per function.
        pickle.dumps([func for _, func in others], protocol)
        return
    except Exception:
        pass
    for name, func in others:
        try:
            if isinstance(func, (types.FunctionType, type)) and "<" in func.__qualname__:
                raise pickle.PicklingError(f"{func.__qualname__} is not importable")
            pickle.dumps(func, protocol)
        except Exception as exc:
            raise pickle.PicklingError(f"cannot pickle the function of node {name!r}: {exc}") from exc


def _dump(graph: Graph, protocol: int, with_functions: bool) -> tuple[Any, ...]:
    with _lock:
        cells = list(graph._nodes.values())
        names = list(graph._nodes)
        index = {cell: at for at, cell in enumerate(cells)}
        # Nodes that read something outside the graph come back stale and
        # without a record, and so does everything that read them.
        cut = {cell for cell in cells if any(dep not in index for dep in _deps(cell))}
        stale = set(cut)
        todo = list(cut)
        while todo:
            for reader in _readers(todo.pop()):
                if reader in index and reader not in stale:
                    stale.add(reader)
                    todo.append(reader)
        base = _clock.rev
        funcs: list[Any] = []
        values: list[Any] = []
        lasts: list[Any] = []
        flags: list[int] = []
        revs: list[int] = []
        deps: list[int] = []
        readers: list[int] = []
        for at, cell in enumerate(cells):
            bits = _CUTOFF if cell.cutoff else 0
            if cell.is_explicit:
                bits |= _INPUT | _VALID
                funcs.append(None)
                values.append(cell.cached_value)
                lasts.append(None)
            else:
                funcs.append(cell.func if with_functions else None)
                valid = cell.is_valid and cell not in stale
                ok = cell.ok and cell not in cut
                bits |= (_VALID if valid else 0) | (_OK if ok else 0)
                values.append(cell.cached_value if valid else None)
                lasts.append(cell.last if ok else None)
            flags.append(bits)
            revs.append(cell.changed - base)
            revs.append(cell.verified - base)
            for dep in _deps(cell):
                if dep in index:
                    deps.append(at)
                    deps.append(index[dep])
            for reader in _readers(cell):
                if reader in index:
                    readers.append(at)
                    readers.append(index[reader])
        # Failed reads of names that are not registered yet.
        missing: list[Any] = []
        for name, waiting in graph._missing.items():
            for reader in waiting:
                if reader in index:
                    missing.append(name)
                    missing.append(index[reader])
    if with_functions:
        _check_functions(names, funcs, protocol)
    return (1, names, funcs, values, lasts, flags, revs, deps, readers, missing)


def _fill(graph: Graph, state: tuple[Any, ...], functions: Callable[[str], Any] | None) -> None:
    _, names, funcs, values, lasts, flags, revs, deps, readers, missing = state
    with _lock:
        base = _clock.rev
        cells: list[_Cell] = []
        for at, name in enumerate(names):
            bits = flags[at]
            func = funcs[at] if functions is None else functions(name)
            if bits & _INPUT:
                cell = _cell(graph, name, None, True, values[at], False)
            else:
                cell = _cell(graph, name, func, False, None, bool(bits & _CUTOFF))
                if bits & _VALID:
                    cell.cached_value = values[at]
                    cell.is_valid = True
                if bits & _OK:
                    cell.ok = True
                    cell.last = lasts[at]
            cell.changed = base + revs[2 * at]
            cell.verified = base + revs[2 * at + 1]
            cells.append(cell)
            graph._nodes[name] = cell
        for at in range(0, len(deps), 2):
            _deps(cells[deps[at]]).append(cells[deps[at + 1]])
        for at in range(0, len(readers), 2):
            _readers(cells[readers[at]]).append(cells[readers[at + 1]])
        for at in range(0, len(missing), 2):
            graph._missing.setdefault(missing[at], {})[cells[missing[at + 1]]] = None


def _load_graph(state: tuple[Any, ...]) -> Graph:
    graph = Graph()
    _fill(graph, state, None)
    return graph
