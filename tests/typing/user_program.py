"""An ordinary program using tarn, as a user would write it: it must pass
`mypy --strict` against the package's stubs, and run."""

from __future__ import annotations

import pickle
from dataclasses import dataclass
from typing import Any

import tarn
from tarn.diagram import to_dot, to_html_table, to_markdown, to_mermaid
from tarn.tarnwick import DAGEngine, Node


@dataclass
class Portfolio:
    positions: dict[str, float]
    prices: dict[str, float]


class AuditedEngine(DAGEngine):
    """An engine that remembers which nodes were recomputed."""

    def __init__(self) -> None:
        super().__init__()
        self.recomputed: list[str | None] = []

    def evaluate(self, name: str | None, instance: Any) -> Any:
        node = self.nodes.get(name)
        if node is not None and not node.is_valid:
            self.recomputed.append(name)
        return super().evaluate(name, instance)


engine = AuditedEngine()


def market_value(p: Portfolio) -> float:
    return sum(qty * p.prices[sym] for sym, qty in p.positions.items())


def fees(p: Portfolio) -> float:
    engine.record_access("market_value")
    rate: float = engine.evaluate("fee_rate", p)
    value: float = engine.evaluate("market_value", p)
    return round(value * rate, 2)


def net(p: Portfolio) -> float:
    value: float = engine.evaluate("market_value", p)
    cost: float = engine.evaluate("fees", p)
    return value - cost


engine.add_node("market_value", market_value)
engine.add_node("fee_rate", None, is_explicit=True, explicit_value=0.001)
engine.add_node("fees", fees)
total: Node = engine.add_node("net", net)
total.static_dependencies.append("fees")
engine.add_edge("net", "market_value")

portfolio = Portfolio({"ACME": 10.0, "INIT": 4.0}, {"ACME": 12.5, "INIT": 30.0})
result: float = engine.evaluate("net", portfolio)
assert result == 245.0 - 0.24

# Reads are the containers themselves: no None checks needed.
names = sorted(str(name) for name in engine.nodes)
readers = {str(n.name): [str(d.name) for d in n.dependents] for n in engine.nodes.values()}
assert readers["market_value"] == ["net", "fees"], readers
assert engine.call_stack == []
assert all(isinstance(dep, Node) for dep in total.dependencies)

# Writes take lists and dictionaries, or None.
scratch = Node("scratch", len)
scratch.static_dependencies = ["market_value"]
scratch.dependents = None
scratch.is_valid = 1
scratch.flags = 7
engine.nodes["scratch"] = scratch

# A price moves: invalidate what reads it, evaluate again.
portfolio.prices["ACME"] = 13.0
engine.invalidate("market_value")
assert not engine.nodes["net"].is_valid
engine.recomputed.clear()
assert engine.evaluate("net", portfolio) == 250.0 - 0.25
assert engine.recomputed == ["net", "fees", "market_value"], engine.recomputed

shipped: AuditedEngine = pickle.loads(pickle.dumps(engine))
assert sorted(str(name) for name in shipped.nodes) == names + ["scratch"]
assert to_dot(engine).startswith("digraph")

# Graphs: node functions take the graph, lambdas too once given a name.
book = tarn.Graph()
book["fx"] = 1.1
book["notional"] = 1000.0
book.node(lambda g: g["notional"] * g["fx"], name="converted")
halved = book.node(lambda g: g["converted"] / 2, name="halved", cutoff=True)


@book.node
def rounded(g: tarn.Graph) -> int:
    half: float = g["halved"]
    return round(half)


assert rounded(book) == 550 and halved(book) == 550.0


class Position(tarn.Model):
    quantity: tarn.Input[float] = tarn.Input(1.0)

    @tarn.computed
    def value(self) -> float:
        worth: float = self.quantity * book["converted"]
        return worth


position = Position(quantity=2.0)
assert position.value == 2200.0
assert "-->" in to_mermaid([book, position])
assert "<table" in to_html_table(position) and "<table" in to_html_table(book)
assert to_markdown(book).startswith("```mermaid")
assert isinstance(tarn.__version__, str)
print("net value", engine.evaluate("net", portfolio))
