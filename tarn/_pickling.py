"""The flat pickled form of graphs and models.

A graph or model instance pickles as a member of a *table*: the graphs and
instances its cached computations read, found by following the edges of
its nodes to the nodes they read, each written as parallel lists (names,
functions, values, flags, revisions), with every edge between their nodes
as indices. The pickler never descends from one node into the next, nor
from one member into the next: a member that appears as a value (a model
instance held by another's input) pickles as a reference into its table.
So a chain of any length round-trips, and its links and cached values with
it. Edges to nodes outside the pickle are dropped; the nodes that read
through them come back stale, and so does everything that read those.

Members of one pickle share a table when they are pickled together
(`pickle.dumps([a, b])`); a member already written in another table of the
same pickle is referred to there, so no graph or instance comes back twice.
"""

from __future__ import annotations

import pickle
import sys
import types
import weakref
from collections.abc import Callable
from typing import Any

from tarn._layer import GraphBase, ModelBase, floor, make_record, model_graph, note_missing
from tarn._tracking import Record, revision

__all__ = ["Table", "dump_graph", "fill_graph", "graph_of_instance", "load_graph", "member", "reduce_member"]

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


def _graph(owner: Any) -> Any:
    return owner if isinstance(owner, GraphBase) else owner._tarn_graph


def _owner(graph: Any) -> Any:
    """What a graph pickles as: itself, or its model instance (None once gone)."""
    return graph._owner if graph._of_model else graph


def _has_graph(instance: Any) -> bool:
    try:
        instance._tarn_graph
    except AttributeError:
        return False
    return True


def _records(graph: Any) -> tuple[list[str], list[Record]]:
    names = list(graph._nodes)
    cells: list[Record] = list(graph._nodes.values())
    for name, cell in zip(names, cells):
        if not isinstance(cell, Record) or cell.graph is not graph:
            raise pickle.PicklingError(f"node {name!r} was not made by this graph")
    return names, cells


# -- tables ---------------------------------------------------------------------

# Tables made for the pickles being written now. The pickler holds each
# table it has written until it is done, so while it runs, the members of a
# table written earlier find it here and are written as references to it.
_live: weakref.WeakSet[Table] = weakref.WeakSet()


class Table:
    """Graphs and model instances pickled together, in flat form."""

    __slots__ = ("members", "index", "revision", "cells", "state", "__weakref__")

    def __init__(self) -> None:
        self.members: list[Any] = []
        self.index: dict[int, int] = {}
        self.revision = -1
        self.cells: list[dict[Record, int]] = []
        self.state: tuple[Any, ...] | None = None

    def position(self, owner: Any) -> int | None:
        at = self.index.get(id(owner))
        if at is not None and self.members[at] is owner:
            return at
        return None

    def __reduce__(self) -> tuple[Any, ...]:
        # The members come back through `member` before the state is set,
        # so the state may refer to them (and to this table) freely.
        return (Table, (), self.state)

    def __setstate__(self, state: tuple[Any, ...]) -> None:
        _fill_table(self, state)


def _find(owner: Any) -> tuple[Table, int] | None:
    now = revision()
    for table in list(_live):
        if table.revision == now:
            at = table.position(owner)
            if at is not None:
                return table, at
    return None


def reduce_member(owner: Any, protocol: int) -> tuple[Any, ...]:
    """The reduce value of a graph or a model instance."""
    found = _find(owner)
    if found is None:
        found = (_build_table(owner, protocol), 0)
    table, at = found
    return (member, (table, at, type(owner)))


def member(table: Table, at: int, kind: type) -> Any:
    """Member `at` of a table being read: made blank on first mention, filled
    when the table's state is set."""
    while len(table.members) <= at:
        table.members.append(None)
    found = table.members[at]
    if found is None:
        found = _blank(kind)
        table.members[at] = found
    return found


def _blank(kind: Any) -> Any:
    if issubclass(kind, GraphBase):
        return kind()
    instance = kind.__new__(kind)
    model_graph(instance, kind._tarn_graph_class)
    return instance


def _build_table(root: Any, protocol: int) -> Table:
    table = Table()
    table.revision = revision()
    outside: dict[int, tuple[Table, int]] = {}

    def add(owner: Any) -> None:
        table.index[id(owner)] = len(table.members)
        table.members.append(owner)

    def meet(owner: Any) -> None:
        if owner is None or table.position(owner) is not None or id(owner) in outside:
            return
        elsewhere = _find(owner)
        if elsewhere is not None:
            outside[id(owner)] = elsewhere
        else:
            add(owner)

    # The members: the root and, through the edges of their nodes, what
    # they read, unless a table already written holds it; and graphs and
    # instances held as inputs' values, which come along anyway and are
    # written here as references, not nested.
    add(root)
    walked = 0
    while walked < len(table.members):
        graph = _graph(table.members[walked])
        walked += 1
        for cell in graph._nodes.values():
            if cell.is_explicit:
                value = cell.cached_value
                if isinstance(value, GraphBase):
                    meet(_owner(value))
                elif isinstance(value, ModelBase) and _has_graph(value):
                    meet(value)
            for dep in cell.dependencies:
                other = getattr(dep, "graph", None)
                if other is None or other is graph or not isinstance(dep, Record) or not dep.trusted:
                    continue
                meet(_owner(other))
            # A name it failed to find is a read too: that graph comes along.
            for other, _ in cell.missed:
                if other is not None and other is not graph:
                    meet(_owner(other))
    # Live before its state is made: a function that refers to its own
    # graph finds this table while its pickling is checked, instead of
    # making another.
    _live.add(table)
    table.state = _table_state(table, outside, protocol)
    return table


def _table_state(table: Table, outside: dict[int, tuple[Table, int]], protocol: int) -> tuple[Any, ...]:
    graphs = [_graph(owner) for owner in table.members]
    listed = [_records(graph) for graph in graphs]
    where: dict[Record, tuple[int, int]] = {}
    for m, (_, cells) in enumerate(listed):
        for at, cell in enumerate(cells):
            where[cell] = (m, at)
    # Other tables written before this one, by their position in `tables`
    # (0 is this one).
    tables: list[Table | None] = [None]
    tables_at: dict[int, int] = {}
    external: dict[Record, tuple[int, int, int]] = {}
    for owner_id, (other, m) in outside.items():
        if id(other) not in tables_at:
            tables_at[id(other)] = len(tables)
            tables.append(other)
        graph = _graph(other.members[m])
        for at, cell in enumerate(graph._nodes.values()):
            external[cell] = (tables_at[id(other)], m, at)

    def reach(dep: Any) -> tuple[int, int, int] | None:
        if dep in where:
            m, at = where[dep]
            return (0, m, at)
        return external.get(dep)

    # Nodes that read something outside the pickle (a node, or a name they
    # failed to find) come back stale and without a record, and so does
    # everything in the table that read them.
    inside = {id(graph) for graph in graphs}
    cut = {cell for cell in where
           if any(reach(dep) is None for dep in cell.dependencies)
           or any(other is None or id(other) not in inside for other, _ in cell.missed)}
    # A kept error comes back stale (it is computed again), so whatever read
    # it must come back stale too, or a later change would stop at it.
    stale = cut | {cell for cell in where if cell.kept}
    todo = list(stale)
    while todo:
        for reader in todo.pop().dependents:
            if reader in where and reader not in stale:
                stale.add(reader)
                todo.append(reader)
    base, oldest = revision(), floor()
    members: list[tuple[Any, ...]] = []
    edges: list[int] = []      # from member, from node, table, to member, to node
    readers: list[int] = []    # member, node, reader member, reader node (inside)
    for m, (owner, graph, (names, cells)) in enumerate(zip(table.members, graphs, listed)):
        is_model = not isinstance(owner, GraphBase)
        funcs: list[Any] = []
        values: list[Any] = []
        lasts: list[Any] = []
        flags: list[int] = []
        revs: list[int] = []
        # True and False stand for themselves in `flags`; a callable
        # cutoff is written by reference.
        # A model's own equalities come from its class when loaded, so a
        # lambda in the class body need not pickle.
        equals: list[Any] = []
        specs = _class_cutoffs(type(owner)) if is_model else {}
        for at, cell in enumerate(cells):
            cutoff = cell.cutoff
            bits = _CUTOFF if cutoff is not False else 0
            own = isinstance(cutoff, bool) or specs.get(names[at]) is cutoff
            equals.append(None if own else cutoff)
            if cell.is_explicit:
                bits |= _INPUT | _VALID
                funcs.append(None)
                values.append(cell.cached_value)
                lasts.append(None)
            else:
                funcs.append(None if is_model else cell.func)
                # A kept error comes back stale: it is computed again.
                valid = cell.is_valid and not cell.kept and cell.verified >= oldest and cell not in stale
                ok = cell.ok and cell not in cut
                bits |= (_VALID if valid else 0) | (_OK if ok else 0)
                values.append(cell.cached_value if valid else None)
                lasts.append(cell.last if ok else None)
            flags.append(bits)
            revs.append(cell.changed - base)
            revs.append(cell.verified - base)
            for dep in cell.dependencies:
                target = reach(dep)
                if target is not None:
                    edges += (m, at, *target)
            for reader in cell.dependents:
                if reader in where:
                    readers += (m, at, *where[reader])
        # Failed reads of names that are not registered yet.
        missing: list[Any] = []
        for name, waiting in (graph._missing or {}).items():
            for reader in waiting:
                if reader in where:
                    missing += (name, *where[reader])
        if not is_model:
            _check_functions(names, funcs, protocol)
        members.append((type(owner), names, funcs, values, lasts, flags, revs, missing, equals))
    return (2, members, edges, readers, tables[1:])


def _class_cutoffs(kind: Any) -> dict[str, Any]:
    """The cutoff each input and computed attribute of a model class declares."""
    specs = {name: spec.cutoff for name, spec in kind._tarn_inputs.items()}
    specs.update((name, spec.cutoff) for name, spec in kind._tarn_computed.items())
    return specs


def _fill_table(table: Table, state: tuple[Any, ...]) -> None:
    version, members, edges, readers, others = state
    if version != 2:
        raise pickle.UnpicklingError(f"unknown state version {version!r} of a graph table")
    base = revision()
    cells: list[list[Record]] = []
    for m, (kind, names, funcs, values, lasts, flags, revs, _, equals) in enumerate(members):
        owner = member(table, m, kind)
        graph = _graph(owner)
        specs = {}
        if not isinstance(owner, GraphBase):
            computeds = kind._tarn_computed
            funcs = [computeds[name].func if name in computeds else None for name in names]
            specs = _class_cutoffs(kind)
        made = []
        for at, name in enumerate(names):
            bits = flags[at]
            if equals[at] is not None:
                cutoff = equals[at]
            elif bits & _CUTOFF and not isinstance(specs.get(name, True), bool):
                cutoff = specs[name]
            else:
                cutoff = bool(bits & _CUTOFF)
            cell = make_record(
                graph, name, funcs[at], bits & _INPUT, values[at], cutoff,
                bits & _VALID, bits & _OK, lasts[at], base + revs[2 * at], base + revs[2 * at + 1],
            )
            made.append(cell)
            graph._nodes[name] = cell
        cells.append(made)
    tables: list[Table] = [table, *others]
    theirs: dict[tuple[int, int], list[Record]] = {}

    def cell_of(t: int, m: int, at: int) -> Record:
        if (t, m) not in theirs:
            theirs[t, m] = list(_graph(tables[t].members[m])._nodes.values())
        return theirs[t, m][at]

    for at in range(0, len(edges), 5):
        m, i, t, dm, di = edges[at:at + 5]
        dep = cells[dm][di] if t == 0 else cell_of(t, dm, di)
        cells[m][i].dependencies.append(dep)
        if t != 0:
            dep.dependents.append(cells[m][i])
    for at in range(0, len(readers), 4):
        m, i, rm, ri = readers[at:at + 4]
        cells[m][i].dependents.append(cells[rm][ri])
    for m, member_state in enumerate(members):
        graph = _graph(table.members[m])
        missing = member_state[7]
        for at in range(0, len(missing), 3):
            name, rm, ri = missing[at:at + 3]
            note_missing(graph, name, cells[rm][ri])


# -- the flat form of one graph, as pickles of earlier versions hold it --------------


def dump_graph(graph: Any, protocol: int, with_functions: bool) -> tuple[Any, ...]:
    """The flat state of one graph: every node, its state and the edges inside."""
    names, cells = _records(graph)
    index = {cell: at for at, cell in enumerate(cells)}
    cut = {cell for cell in cells if any(dep not in index for dep in cell.dependencies)}
    stale = cut | {cell for cell in cells if cell.kept}
    todo = list(stale)
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
        bits = _CUTOFF if cell.cutoff is True else 0
        if cell.is_explicit:
            bits |= _INPUT | _VALID
            funcs.append(None)
            values.append(cell.cached_value)
            lasts.append(None)
        else:
            funcs.append(cell.func if with_functions else None)
            valid = cell.is_valid and not cell.kept and cell.verified >= oldest and cell not in stale
            ok = cell.ok and cell not in cut
            bits |= (_VALID if valid else 0) | (_OK if ok else 0)
            values.append(cell.cached_value if valid else None)
            lasts.append(cell.last if ok else None)
        flags.append(bits)
        revs.append(cell.changed - base)
        revs.append(cell.verified - base)
        for dep in cell.dependencies:
            if dep in index:
                deps += (at, index[dep])
        for reader in cell.dependents:
            if reader in index:
                readers += (at, index[reader])
    missing: list[Any] = []
    for name, waiting in (graph._missing or {}).items():
        for reader in waiting:
            if reader in index:
                missing += (name, index[reader])
    if with_functions:
        _check_functions(names, funcs, protocol)
    return (1, names, funcs, values, lasts, flags, revs, deps, readers, missing)


def fill_graph(graph: Any, state: tuple[Any, ...], functions: Callable[[str], Any] | None) -> None:
    """Put the nodes of a one-graph flat state into an empty graph."""
    _, names, funcs, values, lasts, flags, revs, deps, readers, missing = state
    base = revision()
    cells: list[Record] = []
    for at, name in enumerate(names):
        bits = flags[at]
        func = funcs[at] if functions is None else functions(name)
        cell = make_record(
            graph, name, func, bits & _INPUT, values[at], bool(bits & _CUTOFF),
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
    """A new graph of class `cls` with the nodes of a one-graph flat state."""
    graph = cls()
    fill_graph(graph, state, None)
    return graph
