"""The graph-and-model layer in pure Python, written for exactness rather
than speed: the behaviour tarn's native layer must have, kept beside the
tests that run against both.

It has tarn's public API (`Graph`, `Model`, `Input`, `computed`,
`graph_of`, tarn's own `NodeNotFound` and `CycleError`, and the reactions:
`effect`, `Effect`, `watch`, `batch`, `update`, `untracked`, `touch`,
`trace`) and builds on the core only: each node is a `tarn.tarnwick.Node`
with the layer's bookkeeping, kept in the registry of the graph's
`DAGEngine`.

Reading
    A read made while a node computes is recorded in that computation's
    frame, found in a context variable (so tracking is local to threads and
    tasks). A computation caches its result only when every read it made
    ended valid and the process-wide revision did not move while it ran;
    its node's dependencies then become exactly what it read, in first-read
    order, and the dependents lists of what it read follow (appended, and
    removed by identity). A frame may be suspended (a comparison, an
    `untracked` block, a `peek`): its reads are then outermost reads of
    their own, though changes are still refused as while it runs.

Kept errors
    An Exception a node's function raises where a value would have been
    cached is kept as the node's result (it is valid, `kept`, its
    `cached_value` the exception) until something it read changes: reads
    raise the same object again, with the traceback of its first raise and
    its chaining as it was, and are cached like reads of values. Never kept:
    what depends on where the node computed (RecursionError, MemoryError,
    CycleError), a BaseException that is no Exception, and a computation
    that was unwound. A kept error is always a change, and leaves nothing
    to restore.

Refreshing
    A stale node with recorded dependencies has them brought up to date
    first, on an explicit stack. A node whose last computation was cached
    gets its last value back without a call when none of its dependencies
    changed after it was verified and one of them was confirmed since (a
    cut-off below stopped the change).

Equality
    A node's `cutoff` is False, True (unchanged: the same object, then
    `==`) or a callable `(old, new)` saying "unchanged". A computed node
    whose new value is unchanged keeps its previous object, and its readers
    stay as they were; an input set to an unchanged value changes nothing
    at all. The comparison is no read of anything (the running computation
    is suspended); an Exception in it counts as a change, and a
    BaseException goes up.

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
      unwinding: it is raised again when the function ends; its node's
      last value is compared with nothing when it runs again.
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
    Setting an input, touching it (changed in place), registering and
    deleting first find everything they will touch (which may fail) and
    then write (which cannot), so each either happens whole or not at all;
    the values they replace are released after the last write. Each ends by
    telling the trace of its thread, then by running the effects it made
    stale: at once, or when the outermost read returns if a computation is
    running, or at the end of the outermost batch.

Effects
    An effect is a node of a graph of its own, whose run records reads but
    whose reads are outermost reads of their own (no unwinding passes
    through it). Its edges become what its last run read, also when it
    raised; it is settled again unless a read left it stale (then it waits
    for the next change) or what it read changed meanwhile (then it runs
    again in the next round). Effects run in the order they were made,
    round after round, in the thread whose change made them stale.

Lifetime
    Nodes refer to their graph weakly, through its `_Home`; a graph or
    model instance that is collected takes its nodes out of other graphs'
    lists and missing tables. An effect keeps alive the graphs and
    instances its last run read, until it is disposed.
"""

from __future__ import annotations

import difflib
import inspect
import itertools
import pickle
import sys
import threading
import types
import weakref
from collections.abc import Callable, Iterator, Mapping
from contextvars import ContextVar
from dataclasses import dataclass, field
from functools import partial
from types import TracebackType
from typing import Any, ClassVar, Generic, Self, TypeVar, dataclass_transform

from tarn import CycleError, NodeNotFound
from tarn.tarnwick import DAGEngine, Node

__all__ = [
    "Change", "Computation", "CycleError", "Effect", "EffectRun", "Graph", "Input", "Model",
    "NodeNotFound", "Trace", "batch", "computed", "effect", "graph_of", "touch", "trace",
    "untracked", "update", "watch",
]

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

    __slots__ = ("target", "model", "effect", "missing")

    def __init__(self, graph: Graph) -> None:
        # What node functions receive: the graph, or the model it belongs to.
        self.target: Callable[[], Any] = weakref.ref(graph)
        self.model = False
        # The graph of an effect's own node: traces show no node of it.
        self.effect = False
        # Failed reads of names not registered, by name: the running
        # computations (frames) and the nodes whose records made them.
        self.missing: dict[str, dict[Any, None]] = {}


class _Cell(Node):
    """A core node with the layer's bookkeeping.

    ``cutoff``: the node's equality, False (none), True (the same object,
    or ``==``) or a callable ``(old, new)`` saying "unchanged"; ``ok``: the
    last computation was cached with a value, so ``dependencies`` is what it
    read and ``last`` that value; ``kept``: the last computation raised an
    exception, which is the node's result (its ``cached_value``) while it is
    valid, raised again with ``kept_tb``, the traceback of its first raise;
    ``changed``/``verified``: the revisions at which the value last changed
    and at which it was last computed or confirmed; ``misses``: the (home,
    name) reads of the last cached computation that found no node.
    """

    __slots__ = ("home", "cutoff", "last", "ok", "kept", "kept_tb", "changed", "verified", "misses")

    home: _Home
    cutoff: Any
    last: Any
    ok: bool
    kept: bool
    kept_tb: TracebackType | None
    changed: int
    verified: int
    misses: list[tuple[_Home, str]]


def _cell(home: _Home, name: str, func: Any, explicit: bool, value: Any, cutoff: Any) -> _Cell:
    cell = _Cell(name, func, explicit, value)
    cell.home = home
    cell.cutoff = cutoff
    cell.last = None
    cell.ok = False
    cell.kept = False
    cell.kept_tb = None
    cell.changed = _clock.rev
    cell.verified = -1
    cell.misses = []
    return cell


def _equality(cutoff: Any) -> Any:
    """What `cutoff=` asks for, as a node keeps it: False, True or a callable."""
    if cutoff is None or cutoff is False:
        return False
    if cutoff is True or callable(cutoff):
        return cutoff
    raise TypeError(
        f"cutoff must be True, False or a callable (old, new) -> bool, not {type(cutoff).__name__}"
    )


def _check_cutoff(cutoff: Any) -> None:
    """A model's attributes take a bool or a callable, and nothing else."""
    if not (isinstance(cutoff, bool) or callable(cutoff)):
        raise TypeError(
            f"cutoff must be True, False or a callable (old, new) -> bool, not {type(cutoff).__name__}"
        )


def _label(node: Any) -> tuple[Any, Any]:
    """A node as traces and effects show it: (its graph or model instance, its name)."""
    home = getattr(node, "home", None)
    owner = home.target() if isinstance(home, _Home) else None
    return (owner, node.name)


def _of_effect(node: Any) -> bool:
    home = getattr(node, "home", None)
    return isinstance(home, _Home) and home.effect


class _Driver:
    """What one outermost read tells the reactions when it returns."""

    __slots__ = ("changed",)

    def __init__(self) -> None:
        self.changed = False  # a change was made while it ran


class _Frame:
    """One running computation, or an effect's run (`session` None)."""

    __slots__ = ("node", "parent", "session", "driver", "depth", "reads", "misses", "stale",
                 "unwound", "done", "suspended", "effect")

    def __init__(self, node: _Cell, parent: _Frame | None, session: _Session | None) -> None:
        self.node = node
        self.parent = parent
        self.session = session
        self.driver: _Driver = session.driver if session is not None else _Driver()
        self.depth: int = 1 if parent is None else parent.depth + 1
        self.reads: dict[_Cell, None] = {}  # first-read order
        self.misses: list[tuple[_Home, str]] = []
        self.stale = False  # a read raised something not kept, or returned an uncached value
        self.unwound = False  # its outermost read is unwinding it
        self.done = False  # the function returned or raised
        self.suspended = 0  # comparisons, untracked blocks and peeks running in it
        self.effect = False  # an effect's run: each of its reads is an outermost read


_current: ContextVar[_Frame | None] = ContextVar("tarn_reference_computation", default=None)


def _running() -> _Frame | None:
    """The innermost computation running here, suspended or not."""
    frame = _current.get()
    if frame is not None and frame.done:  # a context copied out of a computation
        return None
    return frame


def _frame() -> _Frame | None:
    """The computation a read belongs to, if any: none while the running
    one is suspended (its reads are then outermost reads)."""
    frame = _running()
    if frame is not None and frame.suspended:
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

    __slots__ = ("exact", "driver", "predicted", "stack", "waiting", "held", "pending", "signal")

    def __init__(self, node: _Cell, exact: bool, driver: _Driver) -> None:
        self.exact = exact
        self.driver = driver
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
                    return _result(node)
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
    """A read made outside any computation; the changes node functions made
    meanwhile run the effects they made stale when it returns."""
    driver = _Driver()
    try:
        value = _drive(node, driver)
    except BaseException:
        if driver.changed:
            try:
                _after_read(driver)
            except BaseException as failed:
                _unraisable(failed)
        raise
    if driver.changed:
        _after_read(driver)
    return value


def _drive(node: _Cell, driver: _Driver) -> Any:
    exact = False
    while True:
        session = _Session(node, exact, driver)
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
    """The value of a node that was not valid when read by `frame`'s
    computation. The read leaves the computation stale unless the node ends
    valid: a kept error is a result like a value."""
    if frame is None:
        return _outermost(node)
    try:
        if frame.effect:
            # An effect's read is computed on its own: no unwinding ever
            # passes through an effect.
            value = _outermost(node)
        else:
            value = _read_stale(node, frame)
    except BaseException:
        if not node.is_valid:
            frame.stale = True
        raise
    if not node.is_valid:
        frame.stale = True
    return value


def _read_stale(node: _Cell, frame: _Frame) -> Any:
    session = frame.session
    assert session is not None  # an effect's reads are outermost reads
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
        return _result(node)
    return _read(node, frame)


def _result(node: Any) -> Any:
    """The result of a valid node: its value, or its kept error raised again."""
    if getattr(node, "kept", False):
        _raise_kept(node)
    return node.cached_value


def _raise_kept(node: _Cell) -> None:
    """Raise a kept error as first raised: its traceback is the first
    raise's (the reader's frames are added as it goes up), and its context
    is not replaced by whatever the reader is handling."""
    context = node.cached_value.__context__
    try:
        raise node.cached_value.with_traceback(node.kept_tb)
    finally:
        node.cached_value.__context__ = context


def _keepable(exc: BaseException) -> bool:
    """Whether an exception may be kept as a node's result: an Exception
    that does not depend on where the node computed."""
    return isinstance(exc, Exception) and not isinstance(exc, (RecursionError, MemoryError, CycleError))


def _unchanged(equal: Any, value: Any, last: Any) -> bool:
    """The comparison under a node's equality (True: the same object, then
    ``==``; or a callable (old, new) -> unchanged). An Exception counts as a
    change. It is no read of any computation: the running one is suspended
    meanwhile, so what it reads is read by outermost reads of its own."""
    if equal is True and value is last:
        return True
    frame = _running()
    if frame is not None:
        frame.suspended += 1
    try:
        if equal is True:
            return bool(value == last)
        return bool(equal(last, value))
    except Exception:
        return False
    finally:
        if frame is not None:
            frame.suspended -= 1


def _compute(node: _Cell, parent: _Frame | None, session: _Session) -> Any:
    """Call a node's function and cache the result when nothing moved
    meanwhile: its value, or an exception it raised, kept as its result."""
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
        _current.reset(token)
        if frame.unwound:
            _end(frame)
            if exc is not session.signal:
                raise session.signal from None  # type: ignore[misc]
            raise
        if not frame.stale and _keepable(exc) and _keep(node, frame, exc, start):
            _traced(node, frame.reads, "kept error")
            raise
        _end(frame)
        _traced(node, frame.reads, "failed")
        raise
    frame.done = True
    _current.reset(token)
    if frame.unwound:
        _end(frame)
        raise session.signal  # type: ignore[misc]
    if frame.stale or _clock.rev != start:
        _end(frame)
        _traced(node, frame.reads, "uncached")
        return value
    changed = True
    if had_value and node.cutoff is not False:
        try:
            changed = not _unchanged(node.cutoff, value, node.last)
        except BaseException:
            _end(frame)
            raise
        if _clock.rev != start:
            _end(frame)
            return value
    released = []
    with _lock:
        if _clock.rev != start:
            _end(frame)
            return value
        try:
            released.append(_commit(node, frame, value, start, changed, False))
        except BaseException:  # edge lists a script broke: nothing was written
            _end(frame)
            raise
        # Unchanged, the node keeps its previous object, and so gets the reader.
        result = node.cached_value
    _traced(node, frame.reads, "changed" if changed else "unchanged")
    return result


def _keep(node: _Cell, frame: _Frame, exc: BaseException, start: int) -> bool:
    """Keep the exception a computation raised as its node's result, if
    nothing moved meanwhile."""
    # The traceback of the first raise starts at the node's function.
    tb = exc.__traceback__
    with _lock:
        if _clock.rev != start:
            return False
        try:
            _commit(node, frame, exc, start, True, True, tb.tb_next if tb is not None else None)
        except BaseException:  # edge lists a script broke: its error goes up instead
            _end(frame)
            raise
    return True


def _end(frame: _Frame) -> None:
    """A computation ends without being cached: its failed reads are forgotten."""
    with _lock:
        for home, name in frame.misses:
            _discard(home.missing, name, frame)


def _commit(node: _Cell, frame: _Frame, value: Any, start: int, changed: bool,
            error: bool, tb: TracebackType | None = None) -> tuple[Any, Any]:
    """Cache a computation's value, or with `error` keep the exception
    `value` (first raised with traceback `tb`), and record what it read;
    returns what it replaces. A value unchanged under the node's equality
    leaves the previous object in place."""
    replaced = (node.cached_value, node.last)
    _relink(node, frame.reads)
    _take_misses(node, frame)
    node.verified = start
    if changed:
        node.changed = start
    if error:
        # No value to compare the next one with: nothing to restore.
        node.last = None
        node.ok = False
        node.kept = True
        node.kept_tb = tb
        node.cached_value = value
    else:
        if changed:
            node.last = value
        node.ok = True
        node.kept = False
        node.kept_tb = None
        node.cached_value = value if changed else node.last
    node.is_valid = True
    return replaced


def _take_misses(node: _Cell, frame: _Frame) -> None:
    """The failed reads of a computation become its node's record, replacing
    the previous one."""
    for home, name in frame.misses:
        holders = home.missing.setdefault(name, {})
        holders.pop(frame, None)
        holders[node] = None
    for home, name in node.misses:
        if (home, name) not in frame.misses:
            _discard(home.missing, name, node)
    node.misses = list(frame.misses)


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
        node.kept = False
        node.is_valid = True
    _traced(node, (), "restored")
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
            return _result(node)
        return _read(node, frame)

    def peek(self, name: str) -> Any:
        """The value of node `name`, as graph[name] gives it, recorded by no computation."""
        frame = _running()
        if frame is not None:
            frame.suspended += 1
        try:
            return self[name]
        finally:
            if frame is not None:
                frame.suspended -= 1

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
        frame = _running()
        if frame is None:
            return
        # The computations running here, innermost first, then those
        # unwound and waiting to run again.
        session = frame.session
        running = [f.node for f in reversed(_chain(frame))]
        if session is not None:
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
        old = node.cached_value
        if old is value:
            return
        equal = getattr(node, "cutoff", False)
        # An unchanged value under the input's own equality changes nothing.
        if equal is not False and _unchanged(equal, value, old):
            return
        self._change(node, value, "set")

    def _change(self, node: _Cell, value: Any, kind: str) -> None:
        """An input set to `value`, or changed in place ("touch")."""
        released: list[Any] = []
        with _lock:
            stale = _invalidation(list(node.dependents))
            _clock.rev += 1
            node.changed = _clock.rev
            if kind == "set":
                released.append(node.cached_value)
                node.cached_value = value
            _clear(stale, released)
        _report(kind, node, stale)
        released.clear()
        _after_change()

    def touch(self, name: str) -> None:
        """Say that input `name` was changed in place: its readers are
        invalidated as if it had been set."""
        node = self._lookup(name)
        if not node.is_explicit:
            raise TypeError(f"cannot touch {name!r}: it is a computed node")
        self._guard(name, "touch")
        self._change(node, None, "touch")

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
        _report("register", cell, stale)
        released.clear()
        _after_change()

    def input(self, name: str, value: Any, *, cutoff: Any = False) -> None:
        """Register an input holding `value`, or set the input `name` to it.

        A computed node of that name is replaced by the input. With
        `cutoff` (True: the same object or ``==``; or a callable ``(old,
        new) -> bool`` saying "unchanged"), setting the input to an
        unchanged value changes nothing at all.
        """
        name = self._check_name(name)
        equal = _equality(cutoff)
        node = self._nodes.get(name)
        if node is not None and node.is_explicit:
            node.cutoff = equal
            self._set(node, value)
            return
        self._no_structure(name, "register")
        self._guard(name, "register")
        self._register(name, _cell(self._home, name, None, True, value, equal))

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
        _report("delete", node, stale)
        released.clear()
        _after_change()

    def node(self, func: Callable[..., Any] | None = None, /, *, name: str | None = None, cutoff: Any = False) -> Any:
        """Register a computed node (decorator); returns the function unchanged.

        ``graph.node(func, name=..., cutoff=...)`` works too. The node is
        named after the function unless `name` is given. With `cutoff`
        (True: the same object or ``==``; or a callable ``(old, new) ->
        bool`` saying "unchanged"), a recomputation to an unchanged value
        keeps the previous object and leaves the node's readers as they were.
        """

        def register(func: Any) -> Any:
            node_name = name
            if node_name is None:
                node_name = getattr(func, "__name__", None)
                if not isinstance(node_name, str):
                    raise TypeError("this function has no __name__: pass name=...")
            node_name = self._check_name(node_name)
            _check_function(func, f"the function of node {node_name!r}")
            equal = _equality(cutoff)
            self._no_structure(node_name, "register")
            self._guard(node_name, "register")
            self._register(node_name, _cell(self._home, node_name, func, False, None, equal))
            return func

        if func is not None:
            return register(func)
        return register

    # reactions

    def update(self, values: Mapping[str, Any], /) -> None:
        """Set several inputs as one batch: effects and watchers run once.
        What would be refused is refused before anything is set."""
        for name, value in values.items():
            node = self._nodes.get(name) if isinstance(name, str) else None
            if (not isinstance(name, str) or (node is None and self._home.model)
                    or (node is not None and not node.is_explicit)):
                self[name] = value
        with Batch():
            for name, value in values.items():
                self[name] = value

    def watch(self, name: str, callback: Callable[[Any, Any], object], /) -> Effect:
        """Call ``callback(old, new)`` after each change that changed node
        `name`, which is kept up to date; returns the watcher's Effect."""
        return _watch_graph(self, name, callback)

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

_VALID, _INPUT, _OK = 1, 2, 8


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
        # and so does everything that read them. A kept error comes back
        # stale, to be computed again, and so does everything that read it.
        cut = {
            cell for cell in cells
            if any(dep not in index for dep in cell.dependencies)
            or any(where is not home for where, _ in cell.misses)
        }
        stale = cut | {cell for cell in cells if getattr(cell, "kept", False) and cell.is_valid}
        todo = list(stale)
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
        # A graph's equalities come along (a callable by reference); a
        # model's come from its class.
        equals: list[Any] | None = [cell.cutoff for cell in cells] if with_functions else None
        for at, cell in enumerate(cells):
            bits = 0
            if cell.is_explicit:
                bits |= _INPUT | _VALID
                funcs.append(None)
                values.append(cell.cached_value)
                lasts.append(None)
            else:
                funcs.append(cell.func if with_functions else None)
                valid = cell.is_valid and not cell.kept and cell not in stale
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
    return (1, names, funcs, values, lasts, flags, revs, deps, readers, missing, equals)


def _fill(graph: Graph, state: tuple[Any, ...], functions: Callable[[str], Any] | None,
          equalities: Callable[[str], Any] | None = None) -> None:
    _, names, funcs, values, lasts, flags, revs, deps, readers, missing, equals = state
    home = graph._home
    with _lock:
        base = _clock.rev
        cells: list[_Cell] = []
        for at, name in enumerate(names):
            bits = flags[at]
            func = funcs[at] if functions is None else functions(name)
            equal = equals[at] if equalities is None else equalities(name)
            if bits & _INPUT:
                cell = _cell(home, name, None, True, values[at], equal)
            else:
                cell = _cell(home, name, func, False, None, equal)
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

    __slots__ = ("default", "name", "cutoff")

    def __init__(self, default: Any = _NO_DEFAULT, *, cutoff: Any = False) -> None:
        if isinstance(default, (list, dict, set)):
            raise TypeError(
                f"mutable default {type(default).__name__} for an Input is not allowed: "
                "every instance would share it"
            )
        _check_cutoff(cutoff)
        self.default = default
        self.name = ""
        # With a cutoff, setting the input to an unchanged value changes
        # nothing at all.
        self.cutoff = cutoff

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

    def __init__(self, func: Callable[[Any], _T], cutoff: Any) -> None:
        _check_function(func, f"computed attribute {getattr(func, '__name__', func)!r}")
        _check_cutoff(cutoff)
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


def computed(func: Callable[[Any], Any] | None = None, /, *, cutoff: Any = False) -> Any:
    """Make a method a computed attribute, cached per instance.

    With `cutoff` (True: the same object or ``==``; or a callable ``(old,
    new) -> bool`` saying "unchanged"), a recomputation to an unchanged
    value keeps the previous object and leaves the attribute's readers as
    they were.
    """
    if func is not None:
        return Computed(func, False)
    _check_cutoff(cutoff)
    return partial(Computed, cutoff=cutoff)


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
            graph._nodes[name] = _cell(graph._home, name, None, True, value, _equality(spec.cutoff))
        for name, comp in cls._tarn_computed.items():
            graph._nodes[name] = _cell(graph._home, name, comp.func, False, None, _equality(comp.cutoff))

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
    specs: dict[str, Any] = {**cls._tarn_inputs, **computeds}
    _fill(graph, state, lambda name: computeds[name].func if name in computeds else None,
          lambda name: _equality(specs[name].cutoff) if name in specs else False)
    return model


def graph_of(instance: Model) -> Graph:
    """The graph of a model instance: read, inspect and set its inputs through it."""
    if not isinstance(instance, Model):
        raise TypeError(f"graph_of() takes a Model instance, not {type(instance).__name__}")
    return instance._tarn_graph


# -- hooks of the reactions -------------------------------------------------------


def _after_change() -> None:
    """A change completed (a set, touch, registration or deletion): the
    effects it made stale run now, unless a computation of this thread runs
    (then when its outermost read returns)."""
    if not _registry:
        return
    frame = _running()
    if frame is not None:
        frame.driver.changed = True
        return
    _changed()


def _after_read(driver: _Driver) -> None:
    """An outermost read returned after node functions changed something."""
    driver.changed = False
    if not _registry:
        return
    frame = _running()
    if frame is not None:
        frame.driver.changed = True  # an outer read returns later
        return
    _changed()


def _unraisable(exc: BaseException) -> None:
    """Report an exception that cannot be raised where it happened."""
    sys.unraisablehook(types.SimpleNamespace(  # type: ignore[arg-type]
        exc_type=type(exc), exc_value=exc, exc_traceback=exc.__traceback__,
        err_msg=None, object=None,
    ))


def _running_kind() -> str | None:
    """What runs in this thread now: None, "node" or "effect"."""
    frame = _running()
    if frame is None:
        return None
    return "effect" if frame.effect else "node"


def _run_effect(node: _Cell) -> Any:
    """An effect's run: the node's function in a frame whose reads are
    outermost reads; its edges become exactly what it read (also when it
    raised), and it is valid again unless a read left it stale (then it
    waits for the next change) or what it read changed while it ran."""
    owner = node.home.target()
    if owner is None:
        raise ReferenceError(f"the graph that held node {node.name!r} no longer exists")
    frame = _Frame(node, None, None)
    frame.effect = True
    start = _clock.rev
    token = _current.set(frame)
    try:
        return node.func(owner)
    finally:
        frame.done = True
        _current.reset(token)
        with _lock:
            _relink(node, frame.reads)
            _take_misses(node, frame)
            node.verified = start
            settled = not frame.stale
            current = True
            for dep in frame.reads:
                if not isinstance(dep, _Cell):
                    continue
                if not dep.is_valid:
                    settled = False
                    break
                if dep.changed > start:
                    current = False
            node.ok = settled
            node.is_valid = settled and current


class untracked:  # noqa: N801  (used as ``with untracked():``)
    """A context manager: reads in its block are recorded by no computation
    (the running one, or an effect), and what they compute is computed on
    its own."""

    __slots__ = ("_frame",)

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        if args or kwargs:
            raise TypeError("untracked() takes no arguments")
        self._frame: _Frame | None = None

    def __enter__(self) -> untracked:
        if self._frame is not None:
            raise RuntimeError("untracked() is already entered")
        frame = _running()
        if frame is not None:
            frame.suspended += 1
            self._frame = frame
        return self

    def __exit__(self, *exc_info: object) -> None:
        frame, self._frame = self._frame, None
        if frame is not None and not frame.done:
            frame.suspended -= 1


# -- effects ----------------------------------------------------------------------
#
# An effect is a node of a little graph of its own: its function's reads
# become its edges, so invalidation reaches it like any reader, and each of
# its reads is an outermost read. After each completed change `_changed`
# runs the effects left stale, in the order they were made, round after
# round until none is.

# Rounds a flush runs before it gives up on an effect that keeps itself stale.
MAX_ROUNDS = 100


class _ThreadState(threading.local):
    batch = 0              # batches open in this thread
    flushing = False       # effects are running in this thread
    waiting = False        # a change completed while they could not run
    effect: Effect | None = None   # the effect whose run is in progress here


_here = _ThreadState()
_order = itertools.count()
# Every effect not disposed, in the order they were made, held weakly: an
# effect lives as long as its handle, or the graphs it read, are reachable.
_registry: dict[int, weakref.ref[Effect]] = {}


def _collected(key: int, _ref: object) -> None:
    _registry.pop(key, None)


class _EffectGraph(Graph):
    """The graph of an effect's node, which only that effect refers to."""

    __slots__ = ()

    def __init__(self) -> None:
        super().__init__()
        self._home.effect = True


class Effect:
    """Code that runs again after each change to what it read.

    Made by :func:`effect` (or a watcher). ``dispose()`` stops it (and runs
    its cleanup); it is also a context manager that disposes at exit.
    """

    __slots__ = ("_fn", "_graph", "_node", "_cleanup", "_children", "_disposed", "_holding",
                 "_thread", "_key", "_name", "__weakref__")

    def __init__(self, fn: Callable[[], object], name: str) -> None:
        self._fn = fn
        self._name = name
        self._cleanup: Callable[[], object] | None = None
        self._children: list[Effect] = []
        self._disposed = False
        self._holding: tuple[Any, ...] = ()
        self._thread: int | None = None
        self._key = next(_order)
        # It and the effect are freed together once nothing reaches either.
        self._graph = _EffectGraph()
        self._graph.node(self._body, name="effect")
        self._node = self._graph._nodes["effect"]

    def __repr__(self) -> str:
        state = "disposed" if self._disposed else "pending" if self._pending() else "settled"
        return f"<Effect {self._name} ({state})>"

    def _pending(self) -> bool:
        return not self._disposed and not self._node.is_valid

    def _body(self, _graph: Any) -> None:
        # Runs inside the effect's frame: what fn reads becomes its edges.
        self._dispose_children()
        self._run_cleanup()
        previous, _here.effect = _here.effect, self
        try:
            result = self._fn()
        finally:
            _here.effect = previous
        if callable(result):
            self._cleanup = result

    def _run(self) -> None:
        self._thread = threading.get_ident()
        tracing = _current_trace()
        try:
            _run_effect(self._node)
        except BaseException as exc:
            self._hold()
            if tracing is not None:
                tracing._add(EffectRun(self._name, type(exc).__name__))
            raise
        finally:
            self._thread = None
        self._hold()
        if tracing is not None:
            tracing._add(EffectRun(self._name, "ran"))

    def _hold(self) -> None:
        # Keeps alive what its last run read.
        held = [_label(dep)[0] for dep in self._node.dependencies if isinstance(dep, _Cell)]
        self._holding = tuple(dict.fromkeys(owner for owner in held if owner is not None))

    def _run_cleanup(self) -> None:
        cleanup, self._cleanup = self._cleanup, None
        if cleanup is not None:
            with untracked():
                cleanup()

    def _dispose_children(self) -> None:
        children, self._children = self._children, []
        for child in children:
            child.dispose()

    def dispose(self) -> None:
        """Stop the effect: it runs no more, its cleanup runs, and the
        effects made during its last run are disposed too."""
        _refuse_in_computation("dispose an effect")
        if self._disposed:
            return
        self._disposed = True
        _registry.pop(self._key, None)
        try:
            self._dispose_children()
            self._run_cleanup()
        finally:
            # Out of the readers' lists of what it read.
            del self._graph["effect"]
            self._holding = ()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.dispose()


def _refuse_in_computation(what: str) -> None:
    if _running_kind() == "node":
        raise RuntimeError(f"cannot {what} while a node is computing")


def effect(fn: Callable[[], object]) -> Effect:
    """Run ``fn()`` now, and again after each change that invalidates
    anything it read (nodes of any graph or model).

    Effects run after the change that made them stale has completed, each
    at most once per change, in the order they were made. If ``fn`` returns
    a callable, that is a cleanup, called before the next run and at
    disposal. An effect made inside another's run belongs to it.
    """
    if not callable(fn):
        raise TypeError(f"an effect must be callable, not {type(fn).__name__}")
    if inspect.iscoroutinefunction(fn) or inspect.isasyncgenfunction(fn):
        raise TypeError("an effect must not be asynchronous")
    _refuse_in_computation("create an effect")
    made = Effect(fn, getattr(fn, "__qualname__", repr(fn)))
    parent = _here.effect
    if parent is not None:
        parent._children.append(made)
    _registry[made._key] = weakref.ref(made, partial(_collected, made._key))
    try:
        made._run()
    except BaseException:
        made._disposed = True
        _registry.pop(made._key, None)
        if parent is not None:
            parent._children.remove(made)
        del made._graph["effect"]
        raise
    return made


def _pending_effects() -> list[Effect]:
    found = []
    for ref in list(_registry.values()):
        made = ref()
        if made is not None and made._pending():
            found.append(made)
    return found


def _changed() -> None:
    """After each completed change: run the effects it made stale."""
    if _here.batch or _here.flushing:
        _here.waiting = True
        return
    _flush()


def _flush() -> None:
    me = threading.get_ident()
    errors: list[Exception] = []
    settled_later: set[int] = set()   # stale reads: they wait for the next change
    _here.flushing = True
    try:
        for round_ in itertools.count():
            pending = [e for e in _pending_effects()
                       if e._key not in settled_later and e._thread in (None, me)]
            if not pending:
                break
            if round_ >= MAX_ROUNDS:
                raise RuntimeError(f"{pending[0]!r} has not settled after {MAX_ROUNDS} rounds")
            for made in pending:
                # Disposed by an effect before it, or run by another thread.
                if not made._pending() or made._thread not in (None, me):
                    continue
                try:
                    made._run()
                except Exception as exc:
                    errors.append(exc)
                # A run whose reads were left stale (a cycle, a failure not
                # kept) runs again after the next change, not in this flush.
                if not made._node.ok:
                    settled_later.add(made._key)
    finally:
        _here.flushing = False
        _here.waiting = False
    if len(errors) == 1:
        raise errors[0]
    if errors:
        raise ExceptionGroup("effects raised", errors)


class Batch:
    """Changes made in the block apply at once; effects and watchers run
    once, at the end of the outermost batch (also when the block raises)."""

    __slots__ = ()

    def __enter__(self) -> Self:
        _here.batch += 1
        return self

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        _here.batch -= 1
        if _here.batch or not _here.waiting or _here.flushing:
            return
        _here.waiting = False
        if exc is None:
            _flush()
            return
        try:
            _flush()
        except Exception as failed:
            # The block's own exception goes on; the effects' is noted on it.
            exc.add_note(f"effects also raised at the end of the batch: {failed!r}")


def batch() -> Batch:
    """Group changes: ``with batch(): ...``."""
    return Batch()


def update(instance: Any, /, **inputs: Any) -> None:
    """Set several inputs of a model instance as one batch; a refused name
    is refused before any input is set."""
    known = getattr(type(instance), "_tarn_inputs", {})
    for name, value in inputs.items():
        if name not in known:
            setattr(instance, name, value)
    with Batch():
        for name, value in inputs.items():
            setattr(instance, name, value)


def touch(instance: Any, attribute: str, /) -> None:
    """Say that an input of a model instance was changed in place."""
    _graph_of(instance).touch(attribute)


def _graph_of(instance: Any) -> Graph:
    if isinstance(instance, Graph):
        return instance
    if not isinstance(instance, Model):
        raise TypeError(f"expected a graph or a model instance, not {type(instance).__name__}")
    return instance._tarn_graph


# -- watchers ---------------------------------------------------------------------

_UNSET: Any = object()


def _same(cutoff: object, old: object, new: object) -> bool:
    """Whether a watched value is unchanged under its node's equality."""
    try:
        with untracked():
            if callable(cutoff):
                return bool(cutoff(old, new))
            return old is new or bool(old == new)
    except Exception:
        return False


class _Watch:
    __slots__ = ("read", "cutoff", "callback", "last")

    def __init__(self, read: Callable[[], Any], cutoff: Callable[[], object],
                 callback: Callable[[Any, Any], object]) -> None:
        self.read = read
        self.cutoff = cutoff
        self.callback = callback
        self.last: Any = _UNSET

    def __call__(self) -> None:
        new = self.read()
        old, self.last = self.last, new
        if old is _UNSET or _same(self.cutoff(), old, new):
            if old is not _UNSET:
                self.last = old  # unchanged: the value seen stays the one kept
            return
        with untracked():
            self.callback(old, new)


def _equality_of(graph: Graph, name: str) -> Callable[[], object]:
    def cutoff() -> object:
        node = graph._nodes.get(name)
        return getattr(node, "cutoff", False)

    return cutoff


def _watch_graph(graph: Graph, name: str, callback: Callable[[Any, Any], object]) -> Effect:
    watcher = _Watch(lambda: graph[name], _equality_of(graph, name), callback)
    return _watcher(watcher, f"watch({name!r})")


def watch(instance: Any, attribute: str, callback: Callable[[Any, Any], object], /) -> Effect:
    """Call ``callback(old, new)`` after each change that changed the
    attribute of a model instance; the attribute is kept up to date. The
    watcher keeps the instance alive until it is disposed."""
    graph = _graph_of(instance)
    watcher = _Watch(lambda: getattr(instance, attribute), _equality_of(graph, attribute), callback)
    return _watcher(watcher, f"watch({type(instance).__name__}.{attribute})")


def _watcher(watcher: _Watch, name: str) -> Effect:
    if not callable(watcher.callback):
        raise TypeError(f"a watcher's callback must be callable, not {type(watcher.callback).__name__}")
    made = effect(watcher)
    made._name = name
    return made


# -- traces -----------------------------------------------------------------------


@dataclass(frozen=True)
class Change:
    """A change: ``kind`` is "set", "touch", "delete" or "register"; ``node``
    is (owner, name); ``invalidated`` what it made stale."""

    kind: str
    node: tuple[Any, str]
    invalidated: tuple[tuple[Any, str], ...]

    def __str__(self) -> str:
        made = ", ".join(_show(n) for n in self.invalidated) or "nothing"
        return f"{self.kind} {_show(self.node)}: invalidated {made}"


@dataclass(frozen=True)
class Computation:
    """A node computed: what it read, and how it ended ("changed",
    "unchanged" (cut-off), "kept error", "uncached", "failed") or
    "restored" (its previous value back without a call)."""

    node: tuple[Any, str]
    reads: tuple[tuple[Any, str], ...]
    outcome: str

    def __str__(self) -> str:
        if self.outcome == "restored":
            return f"{_show(self.node)}: nothing it read changed, previous value kept"
        read = ", ".join(_show(n) for n in self.reads) or "nothing"
        return f"computed {_show(self.node)} ({self.outcome}), read {read}"


@dataclass(frozen=True)
class EffectRun:
    """An effect ran; ``outcome`` is "ran" or the name of what it raised."""

    effect: str
    outcome: str

    def __str__(self) -> str:
        return f"effect {self.effect} {self.outcome}"


Event = Change | Computation | EffectRun


def _show(node: tuple[Any, str]) -> str:
    owner, name = node
    if owner is None or isinstance(owner, Graph):
        return str(name)
    return f"{type(owner).__name__}.{name}"


def _is(a: tuple[Any, str], b: tuple[Any, str]) -> bool:
    return a[0] is b[0] and a[1] == b[1]


@dataclass
class Trace:
    """What happened in the thread that opened the trace, in order."""

    events: list[Event] = field(default_factory=list)

    def _add(self, event: Event) -> None:
        self.events.append(event)

    def __len__(self) -> int:
        return len(self.events)

    def __iter__(self) -> Iterator[Event]:
        return iter(self.events)

    def __getitem__(self, at: int) -> Event:
        return self.events[at]

    def __str__(self) -> str:
        return "\n".join(str(event) for event in self.events)

    def why(self, owner: Any, name: str) -> list[Event]:
        """The chain of events from a change to the last computation of
        `name` of `owner` (a graph or a model instance): why it recomputed.
        Empty when it did not compute while traced."""
        if isinstance(owner, Graph) and owner._home.model:
            owner = owner._home.target()
        target = (owner, name)
        at = max((i for i, e in enumerate(self.events)
                  if isinstance(e, Computation) and _is(e.node, target) and e.outcome != "restored"),
                 default=None)
        if at is None:
            return []
        chain: list[Event] = [self.events[at]]
        while True:
            current = chain[-1]
            assert isinstance(current, Computation)
            found = self._cause(current, at)
            if found is None:
                break
            at, event = found
            chain.append(event)
            if isinstance(event, Change):
                break
        chain.reverse()
        return chain

    def _cause(self, computation: Computation, before: int) -> tuple[int, Event] | None:
        # The latest earlier event that made it compute: a computation of
        # something it read that changed, or a change of something it read
        # (or that invalidated it).
        for at in range(before - 1, -1, -1):
            event = self.events[at]
            if isinstance(event, Computation) and event.outcome in ("changed", "kept error"):
                if any(_is(event.node, read) for read in computation.reads):
                    return at, event
            elif isinstance(event, Change):
                if any(_is(event.node, read) for read in computation.reads) or any(
                        _is(n, computation.node) for n in event.invalidated):
                    return at, event
        return None


_traces = threading.local()


def _current_trace() -> Trace | None:
    stack: list[Trace] = getattr(_traces, "stack", [])
    return stack[-1] if stack else None


class trace:  # noqa: N801  (used as ``with trace() as log``)
    """Record what happens in this thread: ``with trace() as log:``. `log`
    is a :class:`Trace`; ``print(log)`` tells the story and
    ``log.why(graph_or_instance, name)`` answers "why did it recompute?"."""

    def __init__(self) -> None:
        self.log = Trace()

    def __enter__(self) -> Trace:
        stack: list[Trace] = getattr(_traces, "stack", None) or []
        _traces.stack = stack
        stack.append(self.log)
        return self.log

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        _traces.stack.remove(self.log)


def _traced(node: _Cell, reads: Any, outcome: str) -> None:
    """Tell this thread's trace of a computation."""
    tracing = _current_trace()
    if tracing is not None and not _of_effect(node):
        tracing._add(Computation(_label(node), tuple(_label(read) for read in reads), outcome))


def _report(kind: str, node: _Cell, invalidated: list[Any]) -> None:
    """Tell this thread's trace of a change and of what it invalidated."""
    tracing = _current_trace()
    if tracing is not None:
        shown = tuple(_label(n) for n in invalidated if not _of_effect(n))
        tracing._add(Change(kind, _label(node), shown))
