"""Reacting to changes: effects, watchers, batches, untracked reads, touch,
updates of several inputs, and traces of what recomputed.

An effect is a node of a little graph of its own, run natively by
`tarn._layer.run_effect`: its function's reads become its edges, so the
engine's invalidation reaches it like any reader, and each of its reads is
an outermost read, so no unwinding ever passes through it. After each
completed change the engine calls `_changed`, which runs the effects left
stale, in the order they were made, round after round until none is.
"""

from __future__ import annotations

import inspect
import itertools
import threading
import weakref
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from functools import partial
from types import TracebackType
from typing import TYPE_CHECKING, Any, Generic, Self, TypeVar

from tarn._layer import GraphBase, ModelBase, run_effect, running, set_live, set_reactions, set_tracer, untracked

if TYPE_CHECKING:
    from tarn._graph import Graph

__all__ = [
    "Batch", "Change", "Computation", "Effect", "EffectRun", "Trace", "batch", "effect", "touch",
    "trace", "untracked", "update", "watch",
]

_T = TypeVar("_T")

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
    _forget(key)


def _forget(key: int) -> None:
    _registry.pop(key, None)
    if not _registry:
        set_live(False)


class Effect:
    """Code that runs again after each change to what it read.

    Made by :func:`effect` (or a watcher). ``dispose()`` stops it (and runs
    its cleanup); it is also a context manager that disposes at exit.
    """

    __module__ = "tarn"
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
        # A graph of its own, which only this effect refers to: it and the
        # effect are freed together once nothing reaches either.
        self._graph = GraphBase()
        self._graph._define("effect", self._body, False)
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
            run_effect(self._node)
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
        held = []
        for dep in self._node.dependencies:
            graph = getattr(dep, "graph", None)
            if graph is not None:
                held.append(graph._owner if graph._of_model else graph)
        self._holding = tuple(dict.fromkeys(held))

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
        _forget(self._key)
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
    if running() == "node":
        raise RuntimeError(f"cannot {what} while a node is computing")


def effect(fn: Callable[[], object]) -> Effect:
    """Run ``fn()`` now, and again after each change that invalidates
    anything it read (nodes of any graph or model).

    Effects run after the change that made them stale has completed (a set,
    ``touch``, ``del``, a registration, or the end of the outermost batch),
    each at most once per change, in the order they were made. If ``fn``
    returns a callable, that is a cleanup, called before the next run and
    at disposal. An effect made inside another's run belongs to it.
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
    set_live(True)
    try:
        made._run()
    except BaseException:
        made._disposed = True
        _forget(made._key)
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
    """Called by the engine after each completed change."""
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


set_reactions(_changed)


class Batch:
    """Changes made in the block apply at once; effects and watchers run
    once, at the end of the outermost batch (also when the block raises)."""

    __module__ = "tarn"
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
    """Group changes: ``with tarn.batch(): ...``."""
    return Batch()


def update(instance: Any, /, **inputs: Any) -> None:
    """Set several inputs of a model instance as one batch. A name the
    instance refuses is refused before any input is set."""
    known = getattr(type(instance), "_tarn_inputs", {})
    for name, value in inputs.items():
        if name not in known:
            setattr(instance, name, value)  # raises its own error
    with Batch():
        for name, value in inputs.items():
            setattr(instance, name, value)


def touch(instance: Any, attribute: str, /) -> None:
    """Say that an input of a model instance was changed in place."""
    _graph_of(instance).touch(attribute)


def _graph_of(instance: Any) -> Graph:
    if isinstance(instance, GraphBase):
        return instance  # type: ignore[return-value]
    if not isinstance(instance, ModelBase):
        raise TypeError(f"expected a graph or a model instance, not {type(instance).__name__}")
    graph: Graph = instance._tarn_graph
    return graph


# -- watchers -------------------------------------------------------------------------

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


class _Watch(Generic[_T]):
    __slots__ = ("read", "cutoff", "callback", "last")

    def __init__(self, read: Callable[[], _T], cutoff: Callable[[], object],
                 callback: Callable[[_T, _T], object]) -> None:
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


def watch_graph(graph: Graph, name: str, callback: Callable[[Any, Any], object]) -> Effect:
    def cutoff() -> object:
        node = graph._nodes.get(name)
        return getattr(node, "cutoff", False)

    watcher = _Watch(lambda: graph[name], cutoff, callback)
    return _watcher(watcher, f"watch({name!r})")


def watch(instance: Any, attribute: str, callback: Callable[[Any, Any], object], /) -> Effect:
    """Call ``callback(old, new)`` after each change that changed the
    attribute of a model instance; the attribute is kept up to date. The
    watcher keeps the instance alive until it is disposed."""
    graph = _graph_of(instance)

    def cutoff() -> object:
        node = graph._nodes.get(attribute)
        return getattr(node, "cutoff", False)

    watcher = _Watch(lambda: getattr(instance, attribute), cutoff, callback)
    return _watcher(watcher, f"watch({type(instance).__name__}.{attribute})")


def _watcher(watcher: _Watch[Any], name: str) -> Effect:
    if not callable(watcher.callback):
        raise TypeError(f"a watcher's callback must be callable, not {type(watcher.callback).__name__}")
    made = effect(watcher)
    made._name = name
    return made


# -- traces ---------------------------------------------------------------------------


@dataclass(frozen=True)
class Change:
    """A change: ``kind`` is "set", "touch", "delete" or "register"; ``node``
    is (owner, name); ``invalidated`` what it made stale."""

    kind: str
    """What changed the node: "set", "touch", "delete" or "register"."""
    node: tuple[Any, str]
    """The node changed, as (graph or model instance, name)."""
    invalidated: tuple[tuple[Any, str], ...]
    """The nodes the change made stale, as (owner, name) pairs."""

    def __str__(self) -> str:
        made = ", ".join(_show(n) for n in self.invalidated) or "nothing"
        return f"{self.kind} {_show(self.node)}: invalidated {made}"


@dataclass(frozen=True)
class Computation:
    """A node computed: what it read, and how it ended ("changed",
    "unchanged" (cut-off), "kept error", "uncached", "failed") or
    "restored" (its previous value back without a call)."""

    node: tuple[Any, str]
    """The node computed, as (graph or model instance, name)."""
    reads: tuple[tuple[Any, str], ...]
    """What the computation read, in first-read order, as (owner, name) pairs."""
    outcome: str
    """"changed", "unchanged", "kept error", "uncached", "failed" or "restored"."""

    def __str__(self) -> str:
        if self.outcome == "restored":
            return f"{_show(self.node)}: nothing it read changed, previous value kept"
        read = ", ".join(_show(n) for n in self.reads) or "nothing"
        return f"computed {_show(self.node)} ({self.outcome}), read {read}"


@dataclass(frozen=True)
class EffectRun:
    """An effect ran; ``outcome`` is "ran" or the name of what it raised."""

    effect: str
    """The effect's name: its function's qualified name, or ``watch(...)``."""
    outcome: str
    """"ran", or the name of the exception the run raised."""

    def __str__(self) -> str:
        return f"effect {self.effect} {self.outcome}"


Event = Change | Computation | EffectRun


def _show(node: tuple[Any, str]) -> str:
    owner, name = node
    if owner is None or isinstance(owner, GraphBase):
        return str(name)
    return f"{type(owner).__name__}.{name}"


@dataclass
class Trace:
    """What happened in the thread that opened the trace, in order."""

    events: list[Event] = field(default_factory=list)
    """The events in the order they happened: changes, computations and
    effect runs."""

    def _add(self, event: Event) -> None:
        self.events.append(event)

    def _record(self, kind: str, *details: Any) -> None:
        # An effect's own node lives in a bare graph of its own; effects
        # show as their runs, not as nodes.
        if kind == "change":
            what, node, invalidated = details
            shown = tuple(n for n in invalidated if type(n[0]) is not GraphBase)
            self.events.append(Change(what, node, shown))
        elif kind == "compute":
            node, reads, outcome = details
            if type(node[0]) is not GraphBase:
                self.events.append(Computation(node, reads, outcome))

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
        owner = owner._owner if isinstance(owner, GraphBase) and owner._of_model else owner
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


def _is(a: tuple[Any, str], b: tuple[Any, str]) -> bool:
    return a[0] is b[0] and a[1] == b[1]


_traces = threading.local()


def _current_trace() -> Trace | None:
    stack: list[Trace] = getattr(_traces, "stack", [])
    return stack[-1] if stack else None


class trace:  # noqa: N801  (used as ``with tarn.trace() as log``)
    """Record what happens in this thread: ``with tarn.trace() as log:``.
    `log` is a :class:`Trace`; ``print(log)`` tells the story and
    ``log.why(graph_or_instance, name)`` answers "why did it recompute?"."""

    __module__ = "tarn"

    def __init__(self) -> None:
        self.log = Trace()
        """The trace being recorded, which ``with`` gives as its target."""

    def __enter__(self) -> Trace:
        stack: list[Trace] = getattr(_traces, "stack", None) or []
        _traces.stack = stack
        stack.append(self.log)
        set_tracer(self.log._record)
        return self.log

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        stack: list[Trace] = _traces.stack
        stack.remove(self.log)
        set_tracer(stack[-1]._record if stack else None)


def update_graph(graph: Graph, values: Mapping[str, Any]) -> None:
    # What the graph would refuse (a name that is no str, a computed node,
    # a new name in a model's graph) is refused before anything is set.
    for name, value in values.items():
        node = graph._nodes.get(name) if isinstance(name, str) else None
        if (not isinstance(name, str) or (node is None and graph._of_model)
                or (node is not None and not node.is_explicit)):
            graph[name] = value  # raises its own error
    with Batch():
        for name, value in values.items():
            graph[name] = value


