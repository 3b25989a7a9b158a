"""The graph-and-model layer in pure Python, written for exactness rather
than speed: the behaviour tarn's native layer must have, kept beside the
tests that run against both.

It has tarn's public API (`Graph`, `Model`, `Input`, `computed`,
`graph_of`, and tarn's own `NodeNotFound` and `CycleError`) and builds on
the core only: each node is a `tarn.tarnwick.Node` with the layer's
bookkeeping, kept in the registry of the graph's `DAGEngine`.

Reading
    A read made while a node computes is recorded in that computation's
    frame, found in a context variable (so tracking is local to threads and
    tasks). A computation caches its value only when every read it made
    ended valid and the process-wide revision did not move while it ran;
    its node's dependencies then become exactly what it read, in first-read
    order, and the dependents lists of what it read follow (appended, and
    removed by identity).

Refreshing
    A stale node with recorded dependencies has them brought up to date
    first, on an explicit stack. A node whose last computation was cached
    gets its last value back without a call when none of its dependencies
    changed after it was verified and one of them was confirmed since (a
    cut-off below stopped the change). The cut-off comparison of a new
    value with the last is no read of anything: it runs with no current
    computation, and the same object is unchanged before `==` is asked.

One outermost read
    A read made outside any computation (a comparison's reads included) is
    an outermost read; what it sets off belongs to it:

    * held outcomes: a node computed ahead of need (by a refresh, or from
      the stack below) that ends stale holds back what it raised, or the
      value it could not cache, for the reads of it that follow.
    * depth: it keeps an explicit stack of nodes. A read that would nest a
      computation more than `_DEPTH` deep, or with less than `_MARGIN`
      frames of the recursion limit left, unwinds the computations running
      above the outermost read with a private BaseException; their nodes
      (outermost first) and the node needed are pushed on the stack, and
      the outermost read computes from the top of it, each at depth 1,
      running the unwound computations again afterwards. An unwound
      computation is never cached, even if its function catches the
      unwinding: it is raised again when the function ends.
    * cycles: a refresh predicts from recorded edges, so once one has run,
      frames are not the chain of real reads. When a read then meets a node
      pending on a refresh, or one already computing, the outermost read
      starts again in an exact mode, in which stale nodes are computed by
      calling their functions (no refresh, no restore). Otherwise, the
      running frames, below them the unwound computations waiting on the
      stack, are exactly the chain of real reads, and a node met on it
      closes a cycle whose path is that chain.

Missing names
    A failed read of a name (NodeNotFound) is recorded in the graph's
    `_missing` table so that registering the name invalidates the reader:
    under the running computation while it runs, under the node once that
    computation is cached, replacing the node's previous record. Deleting
    or replacing the node, or collecting its graph or model, removes it.

Changes
    Setting an input, registering and deleting first find everything they
    will touch (which may fail) and then write (which cannot), so each
    either happens whole or not at all; the values they replace are
    released after the last write.

Lifetime
    Nodes refer to their graph weakly, through its `_Home`; a graph or
    model instance that is collected takes its nodes out of other graphs'
    lists and missing tables.
"""

from __future__ import annotations

import difflib
import inspect
import pickle
import sys
import threading
import types
import weakref
from collections.abc import Callable, Iterator
from contextvars import ContextVar
from typing import Any, ClassVar, Generic, TypeVar, dataclass_transform

from tarn import CycleError, NodeNotFound
from tarn.tarnwick import DAGEngine, Node

__all__ = ["CycleError", "Graph", "Input", "Model", "NodeNotFound", "computed", "graph_of"]

_T = TypeVar("_T")

# Nested computations one outermost read lets run before it unwinds them,
# and the stack frames it keeps free below the interpreter's recursion limit.
_DEPTH = 50
_MARGIN = 100

# Guards edge lists, validity, the missing-name tables and the revision, so
# that a computation's check that nothing changed and its commit are one step.
# Re-entrant: releasing a value may run a finaliser that reads or changes.
_lock = threading.RLock()


class _Clock:
    __slots__ = ("rev",)

    def __init__(self) -> None:
        self.rev = 0


_clock = _Clock()


# -- records ------------------------------------------------------------------


class _Home:
    """What a graph's nodes know of their graph, without keeping it alive."""

    __slots__ = ("target", "model", "missing")

    def __init__(self, graph: Graph) -> None:
        # What node functions receive: the graph, or the model it belongs to.
        self.target: Callable[[], Any] = weakref.ref(graph)
        self.model = False
        # Failed reads of names not registered, by name: the running
        # computations (frames) and the nodes whose records made them.
        self.missing: dict[str, dict[Any, None]] = {}


class _Cell(Node):
    """A core node with the layer's bookkeeping.

    ``ok``: the last computation was cached, so ``dependencies`` is what it
    read and ``last`` its value; ``changed``/``verified``: the revisions at
    which the value last changed and at which it was last computed or
    confirmed; ``misses``: the (home, name) reads of that computation that
    found no node.
    """

    __slots__ = ("home", "cutoff", "last", "ok", "changed", "verified", "misses")

    home: _Home
    cutoff: bool
    last: Any
    ok: bool
    changed: int
    verified: int
    misses: list[tuple[_Home, str]]


def _cell(home: _Home, name: str, func: Any, explicit: bool, value: Any, cutoff: bool) -> _Cell:
    cell = _Cell(name, func, explicit, value)
    cell.home = home
    cell.cutoff = cutoff
    cell.last = None
    cell.ok = False
    cell.changed = _clock.rev
    cell.verified = -1
    cell.misses = []
    return cell


class _Frame:
    """One running computation."""

    __slots__ = ("node", "parent", "session", "depth", "reads", "misses", "stale", "unwound", "done")

    def __init__(self, node: _Cell, parent: _Frame | None, session: _Session) -> None:
        self.node = node
        self.parent = parent
        self.session = session
        self.depth: int = 1 if parent is None else parent.depth + 1
        self.reads: dict[_Cell, None] = {}  # first-read order
        self.misses: list[tuple[_Home, str]] = []
        self.stale = False  # a read raised or returned an uncached value
        self.unwound = False  # its outermost read is unwinding it
        self.done = False  # the function returned or raised


_current: ContextVar[_Frame | None] = ContextVar("tarn_reference_computation", default=None)


def _frame() -> _Frame | None:
    """The computation a read belongs to, if any."""
    frame = _current.get()
    if frame is not None and frame.done:  # a context copied out of a computation
        return None
    return frame


def _chain(frame: _Frame | None) -> list[_Frame]:
    """The frames from the outermost down to `frame`."""
    chain = []
    while frame is not None:
        chain.append(frame)
        frame = frame.parent
    chain.reverse()
    return chain


def _remove(items: list[Any], item: Any) -> None:
    """Remove `item` from `items` by identity, if there."""
    for at, other in enumerate(items):
        if other is item:
            del items[at]
            return


# -- one outermost read ---------------------------------------------------------


class _Signal(BaseException):
    """Unwinds computations up to the outermost read that raised it."""

    def __init__(self, session: _Session) -> None:
        super().__init__()
        self.session = session


class _Unwind(_Signal):
    """Too deep: compute from the outermost read's stack instead."""


class _Redo(_Signal):
    """A prediction met a running or pending node: start again, exactly."""


class _Session:
    """The state of one outermost read."""

    __slots__ = ("exact", "predicted", "stack", "waiting", "held", "pending", "signal")

    def __init__(self, node: _Cell, exact: bool) -> None:
        self.exact = exact
        # A refresh ran: frames and the stack may not be a chain of real reads.
        self.predicted = False
        # Nodes to compute, the one read at the bottom; those below the top
        # whose computations were unwound are `waiting` to run again.
        self.stack = [node]
        self.waiting: set[_Cell] = set()
        # Outcomes of nodes computed ahead of need that ended stale:
        # (True, exception) or (False, value).
        self.held: dict[_Cell, tuple[bool, Any]] = {}
        # Nodes on the stacks of the refreshes running.
        self.pending: set[_Cell] = set()
        self.signal: _Signal | None = None

    def run(self) -> Any:
        stack, held = self.stack, self.held
        while True:
            node = stack[-1]
            self.waiting.discard(node)
            bottom = len(stack) == 1
            if node.is_valid:
                if bottom:
                    return node.cached_value
                stack.pop()
                continue
            if node in held:
                if bottom:
                    return _held(held, node)
                stack.pop()
                continue
            try:
                if not self.exact and node.dependencies:
                    value = _refresh(node, None, self)
                else:
                    value = _compute(node, None, self)
            except _Unwind as signal:
                if signal.session is not self:
                    raise
                continue
            except Exception as exc:
                if bottom:
                    raise
                stack.pop()
                held[node] = (True, exc)
                continue
            if bottom:
                return value
            stack.pop()
            if not node.is_valid:
                held[node] = (False, value)

    def unwind(self, frame: _Frame, needed: _Cell) -> _Signal:
        """Push the computations above the outermost read and `needed`."""
        chain = _chain(frame)
        nodes = [f.node for f in chain]
        for f in chain:
            f.unwound = True
        if nodes[0] is self.stack[-1]:  # the top's own computation
            self.waiting.add(nodes.pop(0))
        for node in nodes:
            self.stack.append(node)
            self.waiting.add(node)
        self.stack.append(needed)
        self.signal = _Unwind(self)
        return self.signal

    def redo(self, frame: _Frame | None) -> _Signal:
        for f in _chain(frame):
            f.unwound = True
        self.signal = _Redo(self)
        return self.signal

    def on_chain(self, node: _Cell, frame: _Frame | None) -> bool:
        """Whether `node` is computing here: running, or waiting to run again."""
        while frame is not None:
            if frame.node is node:
                return True
            frame = frame.parent
        return node in self.waiting

    def cycle(self, node: _Cell, frame: _Frame) -> CycleError:
        # Nothing predicted: the stack's top is the outermost frame's node
        # and each node below it was reading the one above.
        reads = self.stack[:-1] + [f.node for f in _chain(frame)]
        at = next(at for at, other in enumerate(reads) if other is node)
        return CycleError([n.name for n in reads[at:]] + [node.name])


def _low_budget() -> bool:
    """Whether the stack is within `_MARGIN` frames of the recursion limit."""
    try:
        sys._getframe(max(0, sys.getrecursionlimit() - _MARGIN))
    except ValueError:
        return False
    return True


def _outermost(node: _Cell) -> Any:
    exact = False
    while True:
        session = _Session(node, exact)
        try:
            return session.run()
        except _Redo as signal:
            if signal.session is not session:
                raise
            exact = True
        finally:
            # Held exceptions and the last signal refer, through their
            # tracebacks, to frames that refer to the session.
            session.held.clear()
            session.signal = None


# -- reading --------------------------------------------------------------------


def _read(node: _Cell, frame: _Frame | None) -> Any:
    """The value of a node that was not valid when read by `frame`'s computation."""
    if frame is None:
        return _outermost(node)
    try:
        value = _read_stale(node, frame)
    except BaseException:
        frame.stale = True
        raise
    if not node.is_valid:
        frame.stale = True
    return value


def _read_stale(node: _Cell, frame: _Frame) -> Any:
    session = frame.session
    if frame.unwound:
        assert session.signal is not None
        raise session.signal
    if node in session.held:
        return _held(session.held, node)
    if session.on_chain(node, frame):
        if session.predicted and not session.exact:
            raise session.redo(frame)
        raise session.cycle(node, frame)
    if not session.exact and node in session.pending:
        raise session.redo(frame)
    if frame.depth >= _DEPTH or _low_budget():
        raise session.unwind(frame, node)
    if not session.exact and node.dependencies:
        return _refresh(node, frame, session)
    return _compute(node, frame, session)


def _held(held: dict[_Cell, tuple[bool, Any]], node: _Cell) -> Any:
    """The outcome held for a node: its value, or its exception raised again.
    (No local names the exception: its traceback will refer to this frame.)"""
    if held[node][0]:
        raise held[node][1]
    return held[node][1]


def _read_node(node: _Cell) -> Any:
    """A read of a node found: recorded in the running computation, if any."""
    frame = _frame()
    if frame is not None:
        frame.reads[node] = None
    if node.is_valid:
        return node.cached_value
    return _read(node, frame)


def _changed(value: Any, last: Any) -> bool:
    """The cut-off comparison: not a read of anything, so no computation is current."""
    token = _current.set(None)
    try:
        if value is last:
            return False
        try:
            return not (value == last)
        except Exception:
            return True
    finally:
        _current.reset(token)


def _compute(node: _Cell, parent: _Frame | None, session: _Session) -> Any:
    """Call a node's function and cache the result when nothing moved meanwhile."""
    owner = node.home.target()
    if owner is None:
        what = "model" if node.home.model else "graph"
        raise ReferenceError(f"the {what} that held node {node.name!r} no longer exists")
    frame = _Frame(node, parent, session)
    had_value = node.ok
    node.ok = False
    start = _clock.rev
    token = _current.set(frame)
    try:
        value = node.func(owner)
    except BaseException as exc:
        frame.done = True
        _end(frame, had_value)
        if frame.unwound and exc is not session.signal:
            raise session.signal from None  # type: ignore[misc]
        raise
    finally:
        _current.reset(token)
    frame.done = True
    if frame.unwound:
        _end(frame, had_value)
        raise session.signal  # type: ignore[misc]
    if frame.stale or _clock.rev != start:
        _end(frame, had_value)
        return value
    changed = True
    if had_value and node.cutoff:
        try:
            changed = _changed(value, node.last)
        except BaseException:
            _end(frame, had_value)
            raise
    released = []
    with _lock:
        if _clock.rev == start:
            try:
                released.append(_commit(node, frame, value, start, changed))
            except BaseException:  # edge lists a script broke: nothing was written
                _end(frame, had_value)
                raise
        else:
            _end(frame, had_value)
    return value


def _end(frame: _Frame, had_value: bool) -> None:
    """A computation ends without being cached: its failed reads are
    forgotten, and an unwound one leaves its node's record as it was."""
    if frame.unwound and had_value:
        frame.node.ok = True  # it runs again from the stack
    with _lock:
        for home, name in frame.misses:
            _discard(home.missing, name, frame)


def _commit(node: _Cell, frame: _Frame, value: Any, start: int, changed: bool) -> tuple[Any, Any]:
    """Cache a computation's value and record what it read; returns what it replaces."""
    replaced = (node.cached_value, node.last)
    _relink(node, frame.reads)
    for home, name in frame.misses:
        holders = home.missing.setdefault(name, {})
        holders.pop(frame, None)
        holders[node] = None
    for home, name in node.misses:
        if (home, name) not in frame.misses:
            _discard(home.missing, name, node)
    node.misses = list(frame.misses)
    node.last = value
    node.verified = start
    if changed:
        node.changed = start
    node.ok = True
    node.cached_value = value
    node.is_valid = True
    return replaced


def _discard(missing: dict[str, dict[Any, None]], name: str, holder: Any) -> None:
    holders = missing.get(name)
    if holders is not None:
        holders.pop(holder, None)
        if not holders:
            del missing[name]


def _relink(node: _Cell, reads: dict[_Cell, None]) -> None:
    """Make a node's dependencies exactly `reads`, in both directions."""
    old: list[Any] = node.dependencies
    new = list(reads)
    if len(old) == len(new) and all(a is b for a, b in zip(old, new)):
        return
    kept = {id(dep) for dep in new}
    known = {id(dep) for dep in old}
    gone = [dep.dependents for dep in old if id(dep) not in kept]
    added = [dep.dependents for dep in new if id(dep) not in known]
    for readers in gone:
        _remove(readers, node)
    for readers in added:
        readers.append(node)
    node.dependencies = new  # type: ignore[assignment]


def _settle(node: _Cell, parent: _Frame | None, session: _Session) -> None:
    """Compute a node ahead of any read of it, holding back an outcome that is not cached."""
    try:
        value = _compute(node, parent, session)
    except Exception as exc:
        session.held[node] = (True, exc)
        return
    if not node.is_valid:
        session.held[node] = (False, value)


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


_SAME, _FRESH, _CHANGED = 0, 1, 2


def _refresh(top: _Cell, parent: _Frame | None, session: _Session) -> Any:
    """Bring a stale node with a known record up to date, in dependency order.

    Walks the recorded dependencies on an explicit stack. A node whose last
    computation was cached gets its last value back when none of its
    dependencies changed after it was verified and at least one was
    recomputed or confirmed since; a node made stale from outside (the
    engine's own `invalidate`) finds nothing new below and recomputes. Any
    other node is recomputed, the ones below `top` ahead of need. The edges
    of a node whose last computation failed are those of its last cached
    one: they serve as a guess of what it will read.
    """
    held = session.held
    session.predicted = True
    start = _clock.rev
    stack = [top]
    pos = [0]
    # Per level: _SAME (nothing new below yet), _FRESH (a dependency was
    # confirmed after the node, its value unchanged) or _CHANGED.
    mark = [_SAME]
    session.pending.add(top)
    try:
        while True:
            node = stack[-1]
            deps: list[_Cell] = node.dependencies  # type: ignore[assignment]
            at = pos[-1]
            state = mark[-1]
            if state != _CHANGED and at < len(deps):
                pos[-1] = at + 1
                dep = deps[at]
                if not dep.is_valid and dep not in held:
                    if dep in session.pending or session.on_chain(dep, parent):
                        raise session.redo(parent)
                    if dep.dependencies:
                        stack.append(dep)
                        pos.append(0)
                        mark.append(_SAME)
                        session.pending.add(dep)
                        continue
                    _settle(dep, parent, session)
                _fold(dep, node, mark)
                continue
            stack.pop()
            pos.pop()
            mark.pop()
            session.pending.discard(node)
            restorable = state == _FRESH and node.ok
            if not stack:
                if restorable:
                    done, value = _restore(node, start)
                    if done:
                        return value
                return _compute(node, parent, session)
            if not restorable or not _restore(node, start)[0]:
                _settle(node, parent, session)
            _fold(node, stack[-1], mark)
    finally:
        for node in stack:
            session.pending.discard(node)


def _fold(dep: _Cell, reader: _Cell, mark: list[int]) -> None:
    """Fold a settled dependency into its reader's mark."""
    if not dep.is_valid or dep.changed > reader.verified:
        mark[-1] = _CHANGED
    elif mark[-1] == _SAME and dep.verified > reader.verified:
        mark[-1] = _FRESH


# -- changing -------------------------------------------------------------------


def _invalidation(roots: list[Any]) -> list[Any]:
    """The nodes that invalidating `roots` clears: each valid computed node
    reached through the dependents lists; the walk passes no input and no
    node already stale. Only reads: it may fail, nothing is changed yet."""
    found: list[Any] = []
    seen: set[int] = set()
    todo = list(roots)
    while todo:
        node = todo.pop()
        if not isinstance(node, Node):
            raise TypeError(f"Cannot convert {type(node).__name__} to tarn.tarnwick.Node")
        if node.is_explicit or not node.is_valid or id(node) in seen:
            continue
        seen.add(id(node))
        found.append(node)
        todo.extend(node.dependents)
    return found


def _clear(nodes: list[_Cell], released: list[Any]) -> None:
    for node in nodes:
        released.append(node.cached_value)
        node.is_valid = False
        node.cached_value = None


def _drop_record(node: _Cell) -> None:
    """Forget the failed reads of a node's last cached computation."""
    for home, name in node.misses:
        _discard(home.missing, name, node)
    node.misses = []


def _neighbours_lists(node: _Cell) -> list[list[Any]]:
    """The lists a node is in: its readers' dependencies and its
    dependencies' dependents. Only reads: it may fail."""
    return [reader.dependencies for reader in node.dependents] + [dep.dependents for dep in node.dependencies]


def _unlink(node: _Cell, lists: list[list[Any]]) -> None:
    """Take a node out of `lists` (its neighbours') and out of the missing tables."""
    for items in lists:
        _remove(items, node)
    node.dependencies = []
    node.dependents = []
    _drop_record(node)


def _unlink_foreign(home: _Home, nodes: dict[str, Any]) -> None:
    """Remove every edge between a graph's nodes and other graphs' nodes,
    and the graph's nodes from other graphs' missing tables."""
    with _lock:
        for cell in list(nodes.values()):
            if not isinstance(cell, _Cell):
                continue
            for dep in cell.dependencies:
                if getattr(dep, "home", None) is not home:
                    _remove(dep.dependents, cell)
            for reader in cell.dependents:
                if getattr(reader, "home", None) is not home:
                    _remove(reader.dependencies, cell)
            _drop_record(cell)
        home.missing.clear()


def _check_function(func: Any, what: str) -> None:
    if not callable(func):
        raise TypeError(f"{what} must be callable, not {type(func).__name__}")
    if inspect.iscoroutinefunction(func) or inspect.isasyncgenfunction(func):
        raise TypeError(f"{what} is asynchronous; node functions must return their value")


# -- graphs ---------------------------------------------------------------------


class Graph:
    """Named inputs and computed nodes that record what they read.

    ``graph[name]`` reads a node, computing what is stale; ``graph[name] =
    value`` sets an input; ``@graph.node`` registers a computed node whose
    function takes the graph and reads other nodes through it.
    """

    __slots__ = ("engine", "_nodes", "_missing", "_home", "__weakref__")

    engine: DAGEngine
    _nodes: dict[str, _Cell]
    _missing: dict[str, dict[Any, None]]
    _home: _Home

    def __init__(self) -> None:
        self.engine = DAGEngine()
        self._nodes = self.engine.nodes  # type: ignore[assignment]
        self._home = _Home(self)
        self._missing = self._home.missing

    @classmethod
    def _of_model(cls, model: Model) -> Graph:
        graph = cls()
        graph._home.target = weakref.ref(model)
        graph._home.model = True
        return graph

    def __del__(self) -> None:
        try:
            _unlink_foreign(self._home, self._nodes)
        except Exception:  # a failed constructor, or the interpreter exiting
            pass

    # reading

    def __getitem__(self, name: str) -> Any:
        frame = _frame()
        try:
            node = self._nodes[name]
        except KeyError:
            raise self._not_found(name, frame) from None
        if frame is not None:
            frame.reads[node] = None
        if node.is_valid:
            return node.cached_value
        return _read(node, frame)

    def _not_found(self, name: object, frame: _Frame | None) -> NodeNotFound:
        # Given the graph, the error suggests a close name when shown.
        if frame is None:
            return NodeNotFound(name, None, self)
        if isinstance(name, str):
            key = (self._home, name)
            with _lock:
                self._missing.setdefault(name, {})[frame] = None
                if key not in frame.misses:
                    frame.misses.append(key)
        return NodeNotFound(name, frame.node.name, self)

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
            raise NodeNotFound(name, None, self) from None

    def _label(self, node: _Cell) -> Any:
        owner = node.home.target()
        if node.home is self._home or owner is None:  # the same graph, or one gone
            return node.name
        return (owner, node.name)

    def dependencies(self, name: str) -> tuple[Any, ...]:
        """What the node's last computation read, in first-read order."""
        return tuple(self._label(dep) for dep in self._lookup(name).dependencies)  # type: ignore[arg-type]

    def dependents(self, name: str) -> tuple[Any, ...]:
        """The nodes whose last computations read this one."""
        return tuple(self._label(reader) for reader in self._lookup(name).dependents)  # type: ignore[arg-type]

    # changing

    def _guard(self, name: object, action: str) -> None:
        frame = _frame()
        if frame is None:
            return
        # The computations running here, innermost first, then those
        # unwound and waiting to run again.
        session = frame.session
        running = [f.node for f in reversed(_chain(frame))]
        running += [node for node in reversed(session.stack) if node in session.waiting]
        for node in running:
            if node.home is self._home:
                raise RuntimeError(f"cannot {action} {name!r} while {node.name!r} is computing")

    def _no_structure(self, name: object, action: str) -> None:
        if self._home.model:
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
        released: list[Any] = []
        with _lock:
            stale = _invalidation(list(node.dependents))
            _clock.rev += 1
            released.append(node.cached_value)
            node.cached_value = value
            node.changed = _clock.rev
            _clear(stale, released)

    def _register(self, name: str, cell: _Cell) -> None:
        released: list[Any] = []
        with _lock:
            old = self._nodes.get(name)
            waiting = self._missing.get(name, {})
            # Readers of the old node, and nodes whose records missed the
            # name, must compute again: their records do not say what they
            # would read now.
            readers: list[Any] = list(old.dependents) if old is not None else []
            forced = readers + [holder for holder in waiting if isinstance(holder, _Cell)]
            stale = _invalidation(forced)
            reader_deps = [reader.dependencies for reader in readers]
            old_lists = [dep.dependents for dep in old.dependencies] if old is not None else []
            if old is not None or waiting:
                _clock.rev += 1
                cell.changed = _clock.rev
            self._missing.pop(name, None)
            self._nodes[name] = cell
            if old is not None:
                # The new node takes the old one's place in its readers' lists.
                for deps in reader_deps:
                    at = next((at for at, dep in enumerate(deps) if dep is old), None)
                    if at is None:
                        deps.append(cell)
                    else:
                        deps[at] = cell
                cell.dependents = readers
                _unlink(old, old_lists)
                released.append(old)
            for node in forced:
                node.ok = False
            _clear(stale, released)

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
        self._register(name, _cell(self._home, name, None, True, value, False))

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
        released: list[Any] = [node]
        with _lock:
            readers: list[Any] = list(node.dependents)
            stale = _invalidation(readers)
            lists = _neighbours_lists(node)
            _clock.rev += 1
            if self._nodes.get(name) is node:
                del self._nodes[name]
            _unlink(node, lists)
            for reader in readers:
                reader.ok = False
            _clear(stale, released)

    def node(self, func: Callable[..., Any] | None = None, /, *, name: str | None = None, cutoff: bool = False) -> Any:
        """Register a computed node (decorator); returns the function unchanged.

        ``graph.node(func, name=..., cutoff=...)`` works too. The node is
        named after the function unless `name` is given. With `cutoff`, a
        recomputation that yields a value equal to the previous one leaves
        the node's readers as they were.
        """

        def register(func: Any) -> Any:
            node_name = name
            if node_name is None:
                node_name = getattr(func, "__name__", None)
                if not isinstance(node_name, str):
                    raise TypeError("this function has no __name__: pass name=...")
            node_name = self._check_name(node_name)
            _check_function(func, f"the function of node {node_name!r}")
            self._no_structure(node_name, "register")
            self._guard(node_name, "register")
            self._register(node_name, _cell(self._home, node_name, func, False, None, bool(cutoff)))
            return func

        if func is not None:
            return register(func)
        return register

    # pickling

    def __reduce_ex__(self, protocol: Any) -> tuple[Any, ...]:
        if self._home.model:
            return (graph_of, (self._home.target(),))
        return (_load_graph, (_dump(self, int(protocol), True),))

    def __reduce__(self) -> tuple[Any, ...]:
        return self.__reduce_ex__(2)

    def __copy__(self) -> Graph:
        return pickle.loads(pickle.dumps(self, pickle.HIGHEST_PROTOCOL))  # type: ignore[no-any-return]


# -- flat pickling --------------------------------------------------------------
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
    home = graph._home
    with _lock:
        cells = list(graph._nodes.values())
        names = list(graph._nodes)
        index = {cell: at for at, cell in enumerate(cells)}
        # Nodes whose records read something outside the graph (a node, or
        # a name that was not there) come back stale and without a record,
        # and so does everything that read them.
        cut = {
            cell for cell in cells
            if any(dep not in index for dep in cell.dependencies)
            or any(where is not home for where, _ in cell.misses)
        }
        stale = set(cut)
        todo = list(cut)
        while todo:
            for reader in todo.pop().dependents:
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
            for dep in cell.dependencies:
                if dep in index:
                    deps.append(at)
                    deps.append(index[dep])
            for reader in cell.dependents:
                if reader in index:
                    readers.append(at)
                    readers.append(index[reader])
        # Failed reads of names that are not registered yet, by recorded nodes.
        missing: list[Any] = []
        for name, holders in graph._missing.items():
            for reader in holders:
                if reader in index and reader not in cut:
                    missing.append(name)
                    missing.append(index[reader])
    if with_functions:
        _check_functions(names, funcs, protocol)
    return (1, names, funcs, values, lasts, flags, revs, deps, readers, missing)


def _fill(graph: Graph, state: tuple[Any, ...], functions: Callable[[str], Any] | None) -> None:
    _, names, funcs, values, lasts, flags, revs, deps, readers, missing = state
    home = graph._home
    with _lock:
        base = _clock.rev
        cells: list[_Cell] = []
        for at, name in enumerate(names):
            bits = flags[at]
            func = funcs[at] if functions is None else functions(name)
            if bits & _INPUT:
                cell = _cell(home, name, None, True, values[at], False)
            else:
                cell = _cell(home, name, func, False, None, bool(bits & _CUTOFF))
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
            cells[deps[at]].dependencies.append(cells[deps[at + 1]])
        for at in range(0, len(readers), 2):
            cells[readers[at]].dependents.append(cells[readers[at + 1]])
        for at in range(0, len(missing), 2):
            name, cell = missing[at], cells[missing[at + 1]]
            graph._missing.setdefault(name, {})[cell] = None
            cell.misses.append((home, name))


def _load_graph(state: tuple[Any, ...]) -> Graph:
    graph = Graph()
    _fill(graph, state, None)
    return graph


# -- models ---------------------------------------------------------------------


class _NoDefault:
    def __repr__(self) -> str:
        return "<no default>"


_NO_DEFAULT: Any = _NoDefault()


class Input(Generic[_T]):
    """An input attribute of a model, with an optional default value."""

    __slots__ = ("default", "name")

    def __init__(self, default: Any = _NO_DEFAULT) -> None:
        if isinstance(default, (list, dict, set)):
            raise TypeError(
                f"mutable default {type(default).__name__} for an Input is not allowed: "
                "every instance would share it"
            )
        self.default = default
        self.name = ""

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    def __get__(self, instance: Any, owner: type | None = None) -> Any:
        if instance is None:
            return self
        node = instance._tarn_nodes[self.name]
        frame = _frame()
        if frame is not None:
            frame.reads[node] = None
        return node.cached_value

    def __set__(self, instance: Any, value: _T) -> None:
        graph: Graph = instance._tarn_graph
        graph._set(graph._nodes[self.name], value)

    def __delete__(self, instance: Any) -> None:
        raise AttributeError(f"cannot delete input {self.name!r}")

    def __repr__(self) -> str:
        if self.default is _NO_DEFAULT:
            return "Input()"
        return f"Input({self.default!r})"


class Computed(Generic[_T]):
    """A computed attribute of a model; made by :func:`computed`."""

    __slots__ = ("func", "cutoff", "name", "overridden", "owner")

    def __init__(self, func: Callable[[Any], _T], cutoff: bool) -> None:
        _check_function(func, f"computed attribute {getattr(func, '__name__', func)!r}")
        self.func = func
        self.cutoff = cutoff
        self.name = getattr(func, "__name__", "")
        # Set when a subclass defines its own attribute of this name; then a
        # read through this descriptor is a `super()` call unless it is
        # still the one the instance's class uses.
        self.overridden = False
        self.owner = ""

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name
        self.owner = owner.__qualname__

    def __repr__(self) -> str:
        where = f"{self.owner}." if self.owner else ""
        return f"<computed {where}{self.name}>"

    def __get__(self, instance: Any, owner: type | None = None) -> Any:
        if instance is None:
            return self
        if self.overridden and type(instance)._tarn_computed.get(self.name) is not self:
            return self.func(instance)
        return _read_node(instance._tarn_nodes[self.name])

    def __set__(self, instance: Any, value: Any) -> None:
        raise AttributeError(f"cannot set computed attribute {self.name!r}")

    def __delete__(self, instance: Any) -> None:
        raise AttributeError(f"cannot delete computed attribute {self.name!r}")


def computed(func: Callable[[Any], Any] | None = None, /, *, cutoff: bool = False) -> Any:
    """Make a method a computed attribute, cached per instance.

    With `cutoff`, a recomputation equal to the previous value leaves the
    attribute's readers as they were.
    """
    if func is not None:
        return Computed(func, False)

    def wrap(func: Callable[[Any], Any]) -> Computed[Any]:
        return Computed(func, bool(cutoff))

    return wrap


@dataclass_transform(kw_only_default=True)
class Model:
    """Base class for models: inputs and computed attributes that track reads.

    The constructor takes the inputs as keywords. Each instance is a graph
    of its own (see :func:`graph_of`).
    """

    __slots__ = ("_tarn_graph", "_tarn_nodes", "__weakref__")

    _tarn_inputs: ClassVar[dict[str, Input[Any]]] = {}
    _tarn_computed: ClassVar[dict[str, Computed[Any]]] = {}
    _tarn_graph: Graph
    _tarn_nodes: dict[str, _Cell]

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        inputs: dict[str, Input[Any]] = {}
        computeds: dict[str, Computed[Any]] = {}
        for name, attr in vars(cls).items():
            if isinstance(attr, type) and issubclass(attr, Input):
                raise TypeError(
                    f"{cls.__name__}.{name} is the class {attr.__name__}, not an input: "
                    f"call it, as {attr.__name__}() or {attr.__name__}(default)"
                )
        for klass in reversed(cls.__mro__):
            for name, attr in vars(klass).items():
                if isinstance(attr, Input):
                    inputs[name] = attr
                    computeds.pop(name, None)
                elif isinstance(attr, Computed):
                    computeds[name] = attr
                    inputs.pop(name, None)
        for klass in cls.__mro__:
            for name, attr in vars(klass).items():
                if isinstance(attr, Computed) and computeds.get(name) is not attr:
                    attr.overridden = True
        cls._tarn_inputs = inputs
        cls._tarn_computed = computeds

    def __init__(self, **inputs: Any) -> None:
        cls = type(self)
        unknown = [name for name in inputs if name not in cls._tarn_inputs]
        if unknown:
            raise TypeError(f"{cls.__name__}() got an unexpected keyword argument {unknown[0]!r}")
        missing = [
            name for name, spec in cls._tarn_inputs.items()
            if name not in inputs and spec.default is _NO_DEFAULT
        ]
        if missing:
            listed = ", ".join(repr(name) for name in missing)
            raise TypeError(f"{cls.__name__}() missing required keyword argument(s): {listed}")
        graph = _build(self)
        for name, spec in cls._tarn_inputs.items():
            value = inputs[name] if name in inputs else spec.default
            graph._nodes[name] = _cell(graph._home, name, None, True, value, False)
        for name, comp in cls._tarn_computed.items():
            graph._nodes[name] = _cell(graph._home, name, comp.func, False, None, comp.cutoff)

    def __setattr__(self, name: str, value: Any) -> None:
        # A data descriptor of the class (an input, a computed attribute, a
        # property) takes the write, and so does a name beginning with an
        # underscore; any other name is most likely a mistyped input.
        if isinstance(name, str) and name and not name.startswith("_"):
            found = next((vars(klass)[name] for klass in type(self).__mro__ if name in vars(klass)), None)
            if not hasattr(type(found), "__set__"):
                raise _missing_input(type(self), name)
        object.__setattr__(self, name, value)

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"cannot delete attribute {name!r} of a model")

    def __repr__(self) -> str:
        nodes = self._tarn_nodes
        shown = ", ".join(f"{name}={nodes[name].cached_value!r}" for name in type(self)._tarn_inputs)
        return f"{type(self).__name__}({shown})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (_load_model, (type(self), _dump(self._tarn_graph, 0, False)))

    def __copy__(self) -> Any:
        return pickle.loads(pickle.dumps(self, pickle.HIGHEST_PROTOCOL))

    def __deepcopy__(self, memo: dict[int, Any]) -> Any:
        return self.__copy__()

    def __del__(self) -> None:
        try:
            graph = self._tarn_graph
        except AttributeError:  # the constructor failed early
            return
        try:
            _unlink_foreign(graph._home, graph._nodes)
        except Exception:  # at interpreter exit the module may be half gone
            pass


def _missing_input(cls: type, name: str) -> AttributeError:
    """The error of a write to a name that is none of a model's inputs."""
    inputs = sorted(getattr(cls, "_tarn_inputs", {}))
    text = f"{cls.__name__} has no input {name!r}"
    close = difflib.get_close_matches(name, inputs, n=1)
    if close:
        text += f"; did you mean {close[0]!r}?"
    text += f" (inputs: {', '.join(inputs)})"
    return AttributeError(text, name=name)


def _build(model: Model) -> Graph:
    graph = Graph._of_model(model)
    object.__setattr__(model, "_tarn_graph", graph)
    object.__setattr__(model, "_tarn_nodes", graph._nodes)
    return graph


def _load_model(cls: type[Model], state: tuple[Any, ...]) -> Model:
    model = cls.__new__(cls)
    graph = _build(model)
    computeds = cls._tarn_computed
    _fill(graph, state, lambda name: computeds[name].func if name in computeds else None)
    return model


def graph_of(instance: Model) -> Graph:
    """The graph of a model instance: read, inspect and set its inputs through it."""
    if not isinstance(instance, Model):
        raise TypeError(f"graph_of() takes a Model instance, not {type(instance).__name__}")
    return instance._tarn_graph
