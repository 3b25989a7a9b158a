"""Node functions of a small pricing graph, importable by worker processes.

A function is pickled as its module and name, so a process that unpickles
an engine built here imports this module to find the functions again. The
functions reach the engine they run in through this module's `engine`
variable: `build()` sets it in the process that builds the graph, and
`install()` in each process that receives a copy of it.
"""

from typing import Any

from tarn.tarnwick import DAGEngine

# The engine these functions read through; build() or install() sets it.
engine = DAGEngine()


def subtotal(order: dict[str, Any]) -> float:
    lines: list[tuple[float, int]] = order["lines"]
    return round(sum(price * qty for price, qty in lines), 2)


def tax(order: dict[str, Any]) -> float:
    # Reads two nodes and says so: the engine links `tax` as their dependent.
    engine.record_access("subtotal")
    engine.record_access("rate")
    amount: float = engine.evaluate("subtotal", order) * engine.evaluate("rate", order)
    return round(amount, 2)


def total(order: dict[str, Any]) -> float:
    engine.record_access("subtotal")
    engine.record_access("tax")
    amount: float = engine.evaluate("subtotal", order) + engine.evaluate("tax", order)
    return round(amount, 2)


def build(rate: float = 0.2) -> DAGEngine:
    """Builds the graph and makes it the engine of this process."""
    global engine
    engine = DAGEngine()
    engine.add_node("subtotal", subtotal)
    engine.add_node("rate", None, is_explicit=True, explicit_value=rate)
    engine.add_node("tax", tax)
    engine.add_node("total", total)
    return engine


def install(shipped: DAGEngine) -> None:
    """Worker initialiser: makes the unpickled copy this process's engine."""
    global engine
    engine = shipped


def price(order: dict[str, Any]) -> float:
    """The total of one order.

    Values are cached per node, not per order, so the node that reads the
    order is invalidated first; the recorded edges carry that to `tax` and
    `total`, while the explicit `rate` keeps its value.
    """
    engine.invalidate("subtotal")
    result: float = engine.evaluate("total", order)
    return result
