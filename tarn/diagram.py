"""Pictures of graphs, models and engines: Graphviz DOT, Mermaid flowcharts,
and the HTML table and Markdown that notebooks display.

What can be drawn: a ``Graph``, a model instance, a ``DAGEngine``, or an
iterable of graphs and model instances. Anything else is refused with a
TypeError.

Graphs and models. Each node of the graph is one box labelled with its
name, styled by its kind and state: an input, a computed node holding its
value, or a stale computed node (never computed, or invalidated since);
cut-off nodes have rounded corners. Edges run from what a node's last
computation read to the node. A node of another graph that one of these
reads or is read by is drawn too, with a dashed outline and labelled by its
owner (the model's class, or ``Graph``) and name; its own edges go no
further. Names a node read while they were missing get a box marked
"(missing)" and a dashed edge to that reader, so the picture shows what
setting them would invalidate. Given an iterable, every box is labelled by
owner and name, and the edges between the graphs are drawn. Owners of one
class are told apart by a number (``Order#1``, ``Order#2``) in the order
they are drawn.

Engines. Each node the engine's registry holds becomes one box, labelled
with the name it is registered under and styled by its state: valid,
invalid, or explicit. Recorded edges (a node's ``dependencies`` and
``dependents``) are solid arrows from the dependency to the dependent;
names in a node's ``static_dependencies`` give dashed arrows. Nodes still
held in edge lists but no longer registered get a box of their own, marked
"(unregistered)"; static names with no node behind them get a box marked
"(missing)". Fields that are None or hold values of the wrong type are
treated as empty; registry values that are not nodes are skipped.

Box ids are generated (``n0``, ``n1``, ...), never taken from names, and
every label is escaped, so any name yields valid output. The output is
deterministic: boxes in registry order (graph after graph), then in the
order the edge lists lead to them; edges in the order of the boxes and of
their lists. Drawing reads what is cached and never computes anything.
"""

from __future__ import annotations

import html
import reprlib
import unicodedata
from collections.abc import Iterable
from dataclasses import dataclass, field
from itertools import islice
from typing import TYPE_CHECKING, Any, TypeAlias

from tarn._layer import GraphBase, ModelBase, Record, floor
from tarn.tarnwick import DAGEngine, Node

if TYPE_CHECKING:
    from tarn._graph import Graph
    from tarn._model import Model

    Drawable: TypeAlias = DAGEngine | Graph | Model | Iterable[Graph | Model]

__all__ = ["to_dot", "to_html_table", "to_markdown", "to_mermaid"]

# Box kinds besides the states of a registered node.
_UNREGISTERED = "unregistered"
_MISSING = "missing"

# How many rows a notebook's table shows, and how many nodes its picture
# draws, before saying how many more there are.
_TABLE_ROWS = 50
_PICTURE_NODES = 100


@dataclass
class _Box:
    ident: str
    label: str
    # An engine's node: "valid", "invalid" or "explicit"; a graph's:
    # "input", "computed" or "stale"; either: "missing".
    state: str
    unregistered: bool = False
    node: Node | None = None
    # The node's edge lists as read once, and the boxes its static names
    # lead to.
    dependencies: list[Any] = field(default_factory=list)
    dependents: list[Any] = field(default_factory=list)
    statics: list[_Box] = field(default_factory=list)
    cutoff: bool = False
    # A node of a graph not being drawn.
    outside: bool = False


@dataclass
class _Graph:
    boxes: list[_Box]
    # (source id, target id, dashed), in output order.
    edges: list[tuple[str, str, bool]]
    # Nodes of the graphs drawn, and how many of them have a box (fewer
    # when the picture is cut short).
    total: int = 0
    shown: int = 0


def _as_list(value: Any) -> list[Any]:
    return list(value) if isinstance(value, list) else []


def _name_text(name: Any) -> str:
    if isinstance(name, str):
        return name
    try:
        return repr(name)
    except Exception:
        return f"<{type(name).__name__}>"


def _state(node: Node) -> str:
    if node.is_explicit:
        return "explicit"
    return "valid" if node.is_valid else "invalid"


class _Edges:
    """Edges in the order they are added, each once."""

    def __init__(self) -> None:
        self.edges: list[tuple[str, str, bool]] = []
        self.seen: set[tuple[str, str, bool]] = set()

    def add(self, source: _Box, target: _Box, dashed: bool) -> None:
        edge = (source.ident, target.ident, dashed)
        if edge not in self.seen:
            self.seen.add(edge)
            self.edges.append(edge)

    def recorded(self, box: _Box, by_node: dict[int, _Box]) -> None:
        """The box's recorded edges to nodes that have boxes."""
        for dep in box.dependencies:
            source = by_node.get(id(dep))
            if source is not None:
                self.add(source, box, False)
        for reader in box.dependents:
            target = by_node.get(id(reader))
            if target is not None:
                self.add(box, target, False)


def _collect(engine: DAGEngine) -> _Graph:
    registry = getattr(engine, "nodes", None)
    if not isinstance(registry, dict):
        registry = {}
    boxes: list[_Box] = []
    by_node: dict[int, _Box] = {}
    by_missing_name: dict[Any, _Box] = {}

    def add_node_box(node: Node, label: str, unregistered: bool) -> _Box:
        box = _Box(
            f"n{len(boxes)}",
            label,
            _state(node),
            unregistered,
            node,
            _as_list(node.dependencies),
            _as_list(node.dependents),
        )
        boxes.append(box)
        by_node[id(node)] = box
        return box

    for key, value in list(dict.items(registry)):
        if isinstance(value, Node) and id(value) not in by_node:
            add_node_box(value, _name_text(key), False)
    registered = len(boxes)

    # Walk outward from the registered boxes to the nodes that only the edge
    # lists still hold, and to the static names that resolve to nothing.
    # A loop over a growing list rather than recursion: chains may be deep.
    index = 0
    while index < len(boxes):
        box = boxes[index]
        index += 1
        if box.node is None:
            continue
        for other in box.dependencies + box.dependents:
            if isinstance(other, Node) and id(other) not in by_node:
                add_node_box(other, _name_text(other.name), True)
        for name in _as_list(box.node.static_dependencies):
            if not (name is None or isinstance(name, str)):
                continue
            target = dict.get(registry, name)
            if isinstance(target, Node) and id(target) in by_node:
                box.statics.append(by_node[id(target)])
                continue
            if name not in by_missing_name:
                missing = _Box(f"n{len(boxes)}", _name_text(name), _MISSING)
                boxes.append(missing)
                by_missing_name[name] = missing
            box.statics.append(by_missing_name[name])

    edges = _Edges()
    for box in boxes:
        edges.recorded(box, by_node)
        for source in box.statics:
            edges.add(source, box, True)
    return _Graph(boxes, edges.edges, registered, registered)


# -- graphs and models -------------------------------------------------------


def _layer_state(node: Node) -> str:
    if node.is_explicit:
        return "input"
    # A value computed before the floor revision is checked again before it
    # is used: until then it may be out of date.
    if node.is_valid and not (isinstance(node, Record) and node.verified < floor()):
        return "computed"
    return "stale"


def _owner(graph: GraphBase) -> Any:
    """The model instance a model's graph belongs to (None once it is
    freed), or the graph itself."""
    return graph._owner if graph._of_model else graph


class _Owners:
    """Short labels of the owners of the nodes drawn: the class name, with a
    number when owners of one class name are drawn together."""

    def __init__(self) -> None:
        self.order: list[Any] = []
        self.seen: set[int] = set()

    def note(self, owner: Any) -> None:
        if id(owner) not in self.seen:
            self.seen.add(id(owner))
            self.order.append(owner)

    def labels(self) -> dict[int, str]:
        def base(owner: Any) -> str:
            return "<freed model>" if owner is None else type(owner).__name__

        counts: dict[str, int] = {}
        for owner in self.order:
            counts[base(owner)] = counts.get(base(owner), 0) + 1
        numbers: dict[str, int] = {}
        labels = {}
        for owner in self.order:
            name = base(owner)
            if counts[name] > 1:
                numbers[name] = numbers.get(name, 0) + 1
                name = f"{name}#{numbers[name]}"
            labels[id(owner)] = name
        return labels


def _collect_graphs(graphs: list[GraphBase], qualify: bool, limit: int | None) -> _Graph:
    """The boxes and edges of `graphs`; `qualify` labels each box by owner
    and name, not only those of other graphs. With `limit`, at most that
    many boxes."""
    drawn = {id(graph) for graph in graphs}
    owners = _Owners()
    boxes: list[_Box] = []
    # The box's name, and its owner when it is labelled by one.
    naming: list[tuple[str, Any, bool]] = []
    by_node: dict[int, _Box] = {}

    def room() -> bool:
        return limit is None or len(boxes) < limit

    def add_box(
        node: Node, name: str, owner: Any, qualified: bool,
        outside: bool = False, unregistered: bool = False,
    ) -> _Box:
        box = _Box(
            f"n{len(boxes)}",
            "",
            _layer_state(node),
            unregistered,
            node,
            _as_list(node.dependencies),
            _as_list(node.dependents),
            cutoff=bool(getattr(node, "cutoff", False)) and not node.is_explicit,
            outside=outside,
        )
        boxes.append(box)
        naming.append((name, owner, qualified))
        by_node[id(node)] = box
        owners.note(owner)
        return box

    total = 0
    for graph in graphs:
        registry = graph._nodes
        total += len(registry)
        owner = _owner(graph)
        owners.note(owner)
        wanted = len(registry) if limit is None else max(0, limit - len(boxes))
        for name, node in list(islice(dict.items(registry), wanted)):
            if isinstance(node, Node) and id(node) not in by_node:
                add_box(node, _name_text(name), owner, qualify)
    shown = len(boxes)

    # One step out: the nodes of other graphs these read or are read by,
    # and nodes of these graphs that their registries no longer hold.
    for box in list(boxes):
        for other in box.dependencies + box.dependents:
            if not room():
                break
            if not isinstance(other, Node) or id(other) in by_node:
                continue
            home = getattr(other, "graph", None)
            name = _name_text(other.name)
            if isinstance(home, GraphBase) and id(home) not in drawn:
                add_box(other, name, _owner(home), True, outside=True)
            else:
                owner = _owner(home) if isinstance(home, GraphBase) else None
                add_box(other, name, owner, qualify and owner is not None, unregistered=True)

    edges = _Edges()
    for box in boxes:
        edges.recorded(box, by_node)

    # Names read while missing, with the readers that have boxes.
    for graph in graphs:
        owner = _owner(graph)
        for name, readers in list(dict.items(graph._missing or {})):
            seen = [by_node[id(r)] for r in list(readers) if id(r) in by_node]
            if not seen or not room():
                continue
            missing = _Box(f"n{len(boxes)}", "", _MISSING)
            boxes.append(missing)
            naming.append((_name_text(name), owner, qualify))
            for reader in seen:
                edges.add(missing, reader, True)

    labels = owners.labels()
    for box, (name, owner, qualified) in zip(boxes, naming):
        box.label = f"{labels[id(owner)]}.{name}" if qualified else name
    return _Graph(boxes, edges.edges, total, shown)


def _graphs(subject: Any, caller: str) -> tuple[list[GraphBase], bool]:
    """The graphs `subject` stands for, and whether it is a collection of
    them (whose boxes are labelled by owner)."""
    if isinstance(subject, GraphBase):
        return [subject], False
    if isinstance(subject, ModelBase):
        return [subject._tarn_graph], False
    items: list[Any] | None = None
    if isinstance(subject, Iterable) and not isinstance(subject, (str, bytes, DAGEngine)):
        items = list(subject)
    if items is None or not all(isinstance(item, (GraphBase, ModelBase)) for item in items):
        wrong = subject if items is None else next(
            item for item in items if not isinstance(item, (GraphBase, ModelBase))
        )
        inside = "" if items is None else "an iterable holding "
        raise TypeError(
            f"{caller}() takes a Graph, a model instance, a DAGEngine, or an iterable of "
            f"graphs and model instances, not {inside}{type(wrong).__name__}"
        )
    graphs: dict[int, GraphBase] = {}
    for item in items:
        graph = item._tarn_graph if isinstance(item, ModelBase) else item
        graphs.setdefault(id(graph), graph)
    return list(graphs.values()), True


def _picture(subject: Any, caller: str, limit: int | None = None) -> tuple[_Graph, bool]:
    """The boxes and edges of what is drawn, and whether it is an engine."""
    if isinstance(subject, DAGEngine):
        return _collect(subject), True
    graphs, qualify = _graphs(subject, caller)
    return _collect_graphs(graphs, qualify, limit), False


# -- labels ------------------------------------------------------------------

# Joiners, directional marks and no-break spaces are shown as they are,
# although isprintable() rejects them.
_SHOWN = ("Cf", "Zs")


def _label_lines(box: _Box) -> list[str]:
    """The label as display lines: line breaks of the name are kept, other
    characters that cannot be shown (controls, lone surrogates, line and
    paragraph separators) appear as backslash escapes."""
    lines = []
    for line in box.label.split("\n"):
        lines.append(
            "".join(
                ch
                if ch.isprintable() or unicodedata.category(ch) in _SHOWN
                else ch.encode("unicode_escape").decode("ascii")
                for ch in line
            )
        )
    if box.unregistered:
        lines.append(f"({_UNREGISTERED})")
    elif box.state == _MISSING:
        lines.append(f"({_MISSING})")
    return lines


# -- DOT ---------------------------------------------------------------------


def _dot_text(text: str) -> str:
    # Graphviz reads backslash escapes and HTML entities in plain labels.
    return (
        text.replace("\\", "\\\\").replace('"', '\\"').replace("&", "&amp;")
    )


_VALID = 'style=filled, fillcolor="#d4edda", color="#2e7d32"'
_INVALID = 'style=filled, fillcolor="#f2f2f2", color="#8a8a8a"'
_EXPLICIT = 'style=filled, fillcolor="#dbe7fb", color="#1f5fbf", peripheries=2'

_DOT_STYLES = {
    "valid": _VALID,
    "invalid": _INVALID,
    "explicit": _EXPLICIT,
    "computed": _VALID,
    "stale": _INVALID,
    "input": _EXPLICIT,
    "missing": 'style=dashed, color="#b00020", fontcolor="#b00020"',
}


def _dot_style(box: _Box) -> str:
    style = _DOT_STYLES[box.state]
    extra = [
        word
        for word, on in (("rounded", box.cutoff), ("dashed", box.unregistered or box.outside))
        if on
    ]
    if extra and style.startswith("style=filled"):
        words = ",".join(["filled", *extra])
        style = f'style="{words}"' + style[len("style=filled"):]
    return style


def to_dot(subject: Drawable) -> str:
    """A Graphviz ``digraph`` of a graph, a model instance, an engine, or an
    iterable of graphs and model instances."""
    graph, _ = _picture(subject, "to_dot")
    out = ["digraph tarn {", '    node [shape=box, fontname="Helvetica"];']
    for box in graph.boxes:
        label = "\\n".join(_dot_text(line) for line in _label_lines(box))
        out.append(f'    {box.ident} [label="{label}", {_dot_style(box)}];')
    for source, target, dashed in graph.edges:
        suffix = " [style=dashed]" if dashed else ""
        out.append(f"    {source} -> {target}{suffix};")
    out.append("}")
    return "\n".join(out) + "\n"


# -- Mermaid -----------------------------------------------------------------

# Characters kept as they are in a Mermaid label; everything else except
# letters and digits becomes a numeric entity, so nothing in a name can end
# the label, start markup or read as a statement separator.
_MERMAID_PLAIN = frozenset(" _-.,:/()+=?!'@$*|~[]{}^")

_ENGINE_CLASSES = (
    ("valid", "fill:#d4edda,stroke:#2e7d32"),
    ("invalid", "fill:#f2f2f2,stroke:#8a8a8a"),
    ("explicit", "fill:#dbe7fb,stroke:#1f5fbf,stroke-width:3px"),
    ("missing", "fill:#ffffff,stroke:#b00020,color:#b00020"),
    ("unregistered", "stroke-dasharray:5 3"),
)

_GRAPH_CLASSES = (
    ("input", "fill:#dbe7fb,stroke:#1f5fbf,stroke-width:3px"),
    ("computed", "fill:#d4edda,stroke:#2e7d32"),
    ("stale", "fill:#f2f2f2,stroke:#8a8a8a"),
    ("missing", "fill:#ffffff,stroke:#b00020,color:#b00020"),
    ("cutoff", "font-style:italic"),
    ("outside", "stroke-dasharray:5 3"),
    ("unregistered", "stroke-dasharray:5 3"),
)


def _mermaid_text(text: str) -> str:
    return "".join(
        ch
        if (ch.isalnum() and ch.isprintable()) or ch in _MERMAID_PLAIN
        else f"#{ord(ch)};"
        for ch in text
    )


def _classes(box: _Box) -> tuple[str, ...]:
    flags = (
        ("cutoff", box.cutoff),
        ("outside", box.outside),
        (_UNREGISTERED, box.unregistered),
    )
    return (box.state, *(name for name, on in flags if on))


def _mermaid(graph: _Graph, engine: bool) -> str:
    out = ["flowchart TD"]
    for box in graph.boxes:
        label = "<br>".join(_mermaid_text(line) for line in _label_lines(box))
        # Rounded corners for cut-off nodes.
        out.append(f'    {box.ident}("{label}")' if box.cutoff else f'    {box.ident}["{label}"]')
    for source, target, dashed in graph.edges:
        arrow = "-.->" if dashed else "-->"
        out.append(f"    {source} {arrow} {target}")
    classes = _ENGINE_CLASSES if engine else _GRAPH_CLASSES
    for name, style in classes:
        out.append(f"    classDef {name} {style}")
    for name, _ in classes:
        members = [box.ident for box in graph.boxes if name in _classes(box)]
        if members:
            out.append(f"    class {','.join(members)} {name}")
    return "\n".join(out) + "\n"


def to_mermaid(subject: Drawable) -> str:
    """A Mermaid ``flowchart`` of a graph, a model instance, an engine, or an
    iterable of graphs and model instances."""
    graph, engine = _picture(subject, "to_mermaid")
    return _mermaid(graph, engine)


# -- notebooks ---------------------------------------------------------------


def to_markdown(subject: Drawable, *, limit: int = _PICTURE_NODES) -> str:
    """The Mermaid picture as a Markdown ``mermaid`` block (what notebooks
    show for graphs and models), of at most `limit` nodes of the graphs
    drawn; a line after the block says when there are more."""
    graph, engine = _picture(subject, "to_markdown", limit)
    text = f"```mermaid\n{_mermaid(graph, engine)}```\n"
    if graph.shown < graph.total:
        text += f"\nThe picture shows {graph.shown} of the {graph.total} nodes.\n"
    return text


_value_repr = reprlib.Repr(maxlevel=2, maxstring=60, maxother=60, maxlong=40)
_VALUE_WIDTH = 80


def _value_text(value: Any) -> str:
    try:
        text = _value_repr.repr(value)
    except Exception:
        return f"<{type(value).__name__} object: repr failed>"
    return text if len(text) <= _VALUE_WIDTH else text[: _VALUE_WIDTH - 3] + "..."


def to_html_table(subject: Graph | Model, *, limit: int = _TABLE_ROWS) -> str:
    """An HTML table of the nodes of a graph or model instance (what
    notebooks show for them): each node's name, kind (input or computed,
    and cut-off) and value, or "stale" where it has none up to date. At
    most `limit` rows; a last row says how many more nodes there are.
    Nothing is computed."""
    if not isinstance(subject, (GraphBase, ModelBase)):
        raise TypeError(
            f"to_html_table() takes a Graph or a model instance, not {type(subject).__name__}"
        )
    graph = subject._tarn_graph if isinstance(subject, ModelBase) else subject
    registry: dict[str, Any] = graph._nodes
    size = len(registry)
    owner = _owner(graph)
    title = "model" if owner is None else type(owner).__name__
    rows = [
        '<table class="tarn-nodes">',
        f"<caption>{html.escape(title)}: {size} node{'' if size == 1 else 's'}</caption>",
        "<thead><tr><th>name</th><th>kind</th><th>value</th></tr></thead>",
        "<tbody>",
    ]
    for name, node in list(islice(registry.items(), max(0, limit))):
        state = _layer_state(node)
        kind = "input" if state == "input" else "computed"
        if kind == "computed" and getattr(node, "cutoff", False):
            kind += ", cut-off"
        if state == "stale":
            value = "<em>stale</em>"
        else:
            value = f"<code>{html.escape(_value_text(node.cached_value))}</code>"
        rows.append(
            f"<tr><td>{html.escape(_name_text(name))}</td><td>{kind}</td><td>{value}</td></tr>"
        )
    more = size - min(size, max(0, limit))
    if more:
        rows.append(
            f'<tr><td colspan="3">&hellip; and {more} more node{"" if more == 1 else "s"}</td></tr>'
        )
    rows += ["</tbody>", "</table>"]
    return "\n".join(rows) + "\n"
