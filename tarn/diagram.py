"""Render an engine's graph as Graphviz DOT or as a Mermaid flowchart.

Each node the engine's registry holds becomes one box, labelled with the
name it is registered under and styled by its state: valid, invalid, or
explicit. Recorded edges (a node's ``dependencies`` and ``dependents``) are
solid arrows from the dependency to the dependent; names in a node's
``static_dependencies`` give dashed arrows. Nodes still held in edge lists
but no longer registered get a box of their own, marked "(unregistered)";
static names with no node behind them get a box marked "(missing)".

Box ids are generated (``n0``, ``n1``, ...), never taken from names, and
every label is escaped, so any name yields valid output. The output is
deterministic: boxes in registry order, then in the order the edge lists
lead to them; edges in the order of the boxes and of their lists. Fields
that are None or hold values of the wrong type are treated as empty;
registry values that are not nodes are skipped.
"""

from __future__ import annotations

import unicodedata
from dataclasses import dataclass, field
from typing import Any

from tarn.tarnwick import Node

__all__ = ["to_dot", "to_mermaid"]

# Box kinds besides the three states of a registered node.
_UNREGISTERED = "unregistered"
_MISSING = "missing"


@dataclass
class _Box:
    ident: str
    label: str
    state: str  # "valid", "invalid", "explicit", or "missing"
    unregistered: bool = False
    node: Node | None = None
    # The node's edge lists as read once, and the boxes its static names
    # lead to.
    dependencies: list[Any] = field(default_factory=list)
    dependents: list[Any] = field(default_factory=list)
    statics: list[_Box] = field(default_factory=list)


@dataclass
class _Graph:
    boxes: list[_Box]
    # (source id, target id, dashed), in output order.
    edges: list[tuple[str, str, bool]]


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


def _collect(engine: Any) -> _Graph:
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

    edges: list[tuple[str, str, bool]] = []
    seen: set[tuple[str, str, bool]] = set()

    def add_edge(source: _Box, target: _Box, dashed: bool) -> None:
        edge = (source.ident, target.ident, dashed)
        if edge not in seen:
            seen.add(edge)
            edges.append(edge)

    for box in boxes:
        for dep in box.dependencies:
            if isinstance(dep, Node):
                add_edge(by_node[id(dep)], box, False)
        for dependent in box.dependents:
            if isinstance(dependent, Node):
                add_edge(box, by_node[id(dependent)], False)
        for source in box.statics:
            add_edge(source, box, True)
    return _Graph(boxes, edges)


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


def _dot_text(text: str) -> str:
    # Graphviz reads backslash escapes and HTML entities in plain labels.
    return (
        text.replace("\\", "\\\\").replace('"', '\\"').replace("&", "&amp;")
    )


_DOT_STYLES = {
    "valid": 'style=filled, fillcolor="#d4edda", color="#2e7d32"',
    "invalid": 'style=filled, fillcolor="#f2f2f2", color="#8a8a8a"',
    "explicit": (
        'style=filled, fillcolor="#dbe7fb", color="#1f5fbf", peripheries=2'
    ),
    "missing": 'style=dashed, color="#b00020", fontcolor="#b00020"',
}


def to_dot(engine: Any) -> str:
    """The engine's graph as a Graphviz ``digraph``."""
    graph = _collect(engine)
    out = ["digraph tarn {", '    node [shape=box, fontname="Helvetica"];']
    for box in graph.boxes:
        label = "\\n".join(_dot_text(line) for line in _label_lines(box))
        style = _DOT_STYLES[box.state]
        if box.unregistered:
            style = style.replace("style=filled", 'style="filled,dashed"')
        out.append(f'    {box.ident} [label="{label}", {style}];')
    for source, target, dashed in graph.edges:
        suffix = " [style=dashed]" if dashed else ""
        out.append(f"    {source} -> {target}{suffix};")
    out.append("}")
    return "\n".join(out) + "\n"


# Characters kept as they are in a Mermaid label; everything else except
# letters and digits becomes a numeric entity, so nothing in a name can end
# the label, start markup or read as a statement separator.
_MERMAID_PLAIN = frozenset(" _-.,:/()+=?!'@$*|~[]{}^")

_MERMAID_CLASSES = (
    ("valid", "fill:#d4edda,stroke:#2e7d32"),
    ("invalid", "fill:#f2f2f2,stroke:#8a8a8a"),
    ("explicit", "fill:#dbe7fb,stroke:#1f5fbf,stroke-width:3px"),
    ("missing", "fill:#ffffff,stroke:#b00020,color:#b00020"),
    ("unregistered", "stroke-dasharray:5 3"),
)


def _mermaid_text(text: str) -> str:
    return "".join(
        ch
        if (ch.isalnum() and ch.isprintable()) or ch in _MERMAID_PLAIN
        else f"#{ord(ch)};"
        for ch in text
    )


def to_mermaid(engine: Any) -> str:
    """The engine's graph as a Mermaid ``flowchart``."""
    graph = _collect(engine)
    out = ["flowchart TD"]
    for box in graph.boxes:
        label = "<br>".join(_mermaid_text(line) for line in _label_lines(box))
        out.append(f'    {box.ident}["{label}"]')
    for source, target, dashed in graph.edges:
        arrow = "-.->" if dashed else "-->"
        out.append(f"    {source} {arrow} {target}")
    for name, style in _MERMAID_CLASSES:
        out.append(f"    classDef {name} {style}")
    for name, _ in _MERMAID_CLASSES:
        members = [
            box.ident
            for box in graph.boxes
            if name in (box.state, box.unregistered and _UNREGISTERED)
        ]
        if members:
            out.append(f"    class {','.join(members)} {name}")
    return "\n".join(out) + "\n"
