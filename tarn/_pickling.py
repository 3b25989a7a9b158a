"""The flat pickled form of graphs and models.

A graph is written as parallel lists (names, functions, values, flags,
revisions) and its internal edges as flat lists of indices, so the pickler
never descends from one node into the next and a chain of any length
round-trips. Edges to nodes of other graphs are dropped; the nodes that
read through them come back stale, and so does everything that read those.
"""

from __future__ import annotations

import pickle
import sys
import types
from collections.abc import Callable
from typing import Any

from tarn._layer import floor, make_record, note_missing
from tarn._tracking import Record, revision

__all__ = ["dump_graph", "fill_graph", "graph_of_instance", "load_graph"]

_VALID, _INPUT, _CUTOFF, _OK = 1, 2, 4, 8


def graph_of_instance(instance: Any) -> Any:
    """A model instance's graph (what a pickled model graph comes back as)."""
    return instance._tarn_graph


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


def dump_graph(graph: Any, protocol: int, with_functions: bool) -> tuple[Any, ...]:
    """The flat state of a graph: every node, its state and the edges inside."""
    names = list(graph._nodes)
    cells: list[Record] = list(graph._nodes.values())
    for name, cell in zip(names, cells):
        if not isinstance(cell, Record) or cell.graph is not graph:
            raise pickle.PicklingError(f"node {name!r} was not made by this graph")
    index = {cell: at for at, cell in enumerate(cells)}
    # Nodes that read something outside the graph come back stale and
    # without a record, and so does everything that read them.
    cut = {cell for cell in cells if any(dep not in index for dep in cell.dependencies)}
    stale = set(cut)
    todo = list(cut)
    while todo:
        for reader in todo.pop().dependents:
            if reader in index and reader not in stale:
                stale.add(reader)
                todo.append(reader)
    base, oldest = revision(), floor()
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
            valid = cell.is_valid and cell.verified >= oldest and cell not in stale
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
    # Failed reads of names that are not registered yet.
    missing: list[Any] = []
    for name, waiting in (graph._missing or {}).items():
        for reader in waiting:
            if reader in index:
                missing.append(name)
                missing.append(index[reader])
    if with_functions:
        _check_functions(names, funcs, protocol)
    return (1, names, funcs, values, lasts, flags, revs, deps, readers, missing)


def fill_graph(graph: Any, state: tuple[Any, ...], functions: Callable[[str], Any] | None) -> None:
    """Put the nodes of a flat state into an empty graph."""
    _, names, funcs, values, lasts, flags, revs, deps, readers, missing = state
    base = revision()
    cells: list[Record] = []
    for at, name in enumerate(names):
        bits = flags[at]
        func = funcs[at] if functions is None else functions(name)
        cell = make_record(
            graph, name, func, bits & _INPUT, values[at], bits & _CUTOFF,
            bits & _VALID, bits & _OK, lasts[at], base + revs[2 * at], base + revs[2 * at + 1],
        )
        cells.append(cell)
        graph._nodes[name] = cell
    for at in range(0, len(deps), 2):
        cells[deps[at]].dependencies.append(cells[deps[at + 1]])
    for at in range(0, len(readers), 2):
        cells[readers[at]].dependents.append(cells[readers[at + 1]])
    for at in range(0, len(missing), 2):
        note_missing(graph, missing[at], cells[missing[at + 1]])


def load_graph(cls: Callable[[], Any], state: tuple[Any, ...]) -> Any:
    """A new graph of class `cls` with the nodes of a flat state."""
    graph = cls()
    fill_graph(graph, state, None)
    return graph
