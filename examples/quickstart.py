"""A first look at tarn: a small graph of cached computations.

Run it with `python examples/quickstart.py`.
"""

from typing import Any

from tarn.tarnwick import DAGEngine, Node

engine = DAGEngine()
calls: list[str] = []
Order = dict[str, Any]


def subtotal(order: Order) -> float:
    calls.append("subtotal")
    lines: list[tuple[float, int]] = order["lines"]
    return sum(price * qty for price, qty in lines)


def tax(order: Order) -> float:
    calls.append("tax")
    # Read another node through the engine and say so: the engine records
    # that `tax` depends on `subtotal` and `rate`.
    engine.record_access("subtotal")
    engine.record_access("rate")
    amount: float = engine.evaluate("subtotal", order) * engine.evaluate("rate", order)
    return round(amount, 2)


def total(order: Order) -> float:
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
