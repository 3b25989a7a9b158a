"""A first look at tarn: a small graph of cached computations.

First graphs and models, which record what their computations read; then
the engine underneath them, where you record reads yourself.

Run it with `python examples/quickstart.py`.
"""

from __future__ import annotations

from typing import Any

import tarn
from tarn.tarnwick import DAGEngine, Node

# -- Graphs: name values, compute from them, change them --------------------

graph = tarn.Graph()
graph["qty"], graph["price"] = 4, 2.5      # inputs
ran: list[str] = []


@graph.node
def subtotal_of(g: tarn.Graph) -> float:
    ran.append("subtotal_of")
    return float(g["qty"] * g["price"])   # both reads are recorded


@graph.node(cutoff=True)
def band(g: tarn.Graph) -> str:
    ran.append("band")
    return "large" if g["subtotal_of"] >= 10 else "small"


@graph.node
def summary(g: tarn.Graph) -> str:
    ran.append("summary")
    return f"a {g['band']} order"


print("graph:", graph["summary"], "ran:", ran)
print("summary reads:", graph.dependencies("summary"))
ran.clear()
graph["qty"] = 5                           # invalidates what read qty
print("after qty=5:", graph["summary"], "ran:", ran, "(band unchanged: summary kept)")

# -- Models: classes whose attributes are inputs and computed values ---------


class Order(tarn.Model):
    qty: tarn.Input[int] = tarn.Input(1)
    price: tarn.Input[float] = tarn.Input()

    @tarn.computed
    def total(self) -> float:
        return round(self.qty * self.price * 1.2, 2)


order_model = Order(price=2.5)
print("model:", order_model.total)
order_model.qty = 40
print("model after qty=40:", order_model.total)
try:
    graph["missing"]
except tarn.NodeNotFound as exc:
    print("NodeNotFound:", exc)

# -- Reacting: a watcher on a model attribute, and a batch of changes --------

moves: list[tuple[float, float]] = []
watcher = tarn.watch(order_model, "total", lambda old, new: moves.append((old, new)))
order_model.qty = 2                        # the watcher runs after the set
with tarn.batch():                         # one run for the whole batch
    order_model.qty = 3
    order_model.price = 5.0
print("watched total moves:", moves)
watcher.dispose()

# -- The engine underneath ---------------------------------------------------

engine = DAGEngine()
calls: list[str] = []
OrderData = dict[str, Any]


def subtotal(order: OrderData) -> float:
    calls.append("subtotal")
    lines: list[tuple[float, int]] = order["lines"]
    return sum(price * qty for price, qty in lines)


def tax(order: OrderData) -> float:
    calls.append("tax")
    # Read another node through the engine and say so: the engine records
    # that `tax` depends on `subtotal` and `rate`.
    engine.record_access("subtotal")
    engine.record_access("rate")
    amount: float = engine.evaluate("subtotal", order) * engine.evaluate("rate", order)
    return round(amount, 2)


def total(order: OrderData) -> float:
    calls.append("total")
    amount: float = engine.evaluate("subtotal", order) + engine.evaluate("tax", order)
    return amount


engine.add_node("subtotal", subtotal)
# An explicit node holds a given value; invalidation stops at it.
engine.add_node("rate", None, is_explicit=True, explicit_value=0.2)
engine.add_node("tax", tax)
engine.add_node("total", total)
# A static dependency: `total` always evaluates `subtotal` first, and an
# edge makes `total` a dependent of `tax`.
engine.nodes["total"].static_dependencies.append("subtotal")
engine.add_edge("total", "tax")

order = {"lines": [(10.0, 3), (2.5, 4)]}
print("total:", engine.evaluate("total", order), "calls:", calls)

calls.clear()
print("again:", engine.evaluate("total", order), "calls:", calls, "(cached)")

subtotal_node = engine.nodes["subtotal"]
print("subtotal's dependents:", [n.name for n in subtotal_node.dependents])

# The order changes: invalidate what read it. The walk reaches `tax` (it
# recorded its access) and `total` (its edge to `tax`).
order["lines"].append((100.0, 1))
engine.invalidate("subtotal")
print("valid after invalidate:",
      {name: node.is_valid for name, node in engine.nodes.items()})

calls.clear()
print("total:", engine.evaluate("total", order), "calls:", calls)

# Explicit nodes are barriers: invalidating them changes nothing.
engine.invalidate("rate")
print("rate still valid:", engine.nodes["rate"].is_valid)

# Nodes can be used on their own as well.
a, b = Node("a", None), Node("b", None)
b.add_dependency(a)
a.is_valid = b.is_valid = True
a.invalidate()
print("b after a.invalidate():", b.is_valid)

# Errors say what went wrong.
try:
    engine.evaluate("discount", order)
except ValueError as exc:
    print("ValueError:", exc)
try:
    a.dependents = ("not", "a", "list")  # type: ignore[assignment]  # deliberately wrong
except TypeError as exc:
    print("TypeError:", exc)
