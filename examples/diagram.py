"""Draw a small pricing graph.

Three nodes are computed from one order, the tax rate is given explicitly,
and the tax reads the subtotal and the rate through record_access, so those
reads become recorded edges; the total lists its inputs as static
dependencies. After one evaluation the graph is written to docs/graph.svg
when Graphviz's ``dot`` is installed; otherwise the DOT text is printed.

Run it with ``python examples/diagram.py`` where tarn is installed.
"""

import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

from tarn import DAGEngine
from tarn.diagram import to_dot, to_mermaid


@dataclass
class Order:
    unit_price: float
    quantity: int


def build() -> DAGEngine:
    engine = DAGEngine()

    def subtotal(order: Order) -> float:
        return order.unit_price * order.quantity

    engine.add_node("subtotal", subtotal)
    engine.add_node("tax_rate", None, is_explicit=True, explicit_value=0.2)

    def tax(order: Order) -> float:
        # Reads recorded here make this node a dependent of the two it reads.
        engine.record_access("subtotal")
        engine.record_access("tax_rate")
        amount: float = engine.evaluate("subtotal", order) * engine.evaluate(
            "tax_rate", order
        )
        return amount

    def total_of(order: Order) -> float:
        amount: float = engine.evaluate("subtotal", order) + engine.evaluate("tax", order)
        return amount

    def receipt(order: Order) -> str:
        return f"{order.quantity} items"

    engine.add_node("tax", tax)
    total = engine.add_node("total", total_of)
    total.static_dependencies = ["subtotal", "tax"]
    # Never evaluated below, so it is drawn as invalid.
    engine.add_node("receipt", receipt)
    return engine


def main() -> None:
    engine = build()
    order = Order(unit_price=2.5, quantity=4)
    print("total:", engine.evaluate("total", order))
    dot_text = to_dot(engine)
    dot = shutil.which("dot")
    if dot is None:
        print(dot_text, end="")
        return
    target = Path(__file__).resolve().parent.parent / "docs" / "graph.svg"
    target.parent.mkdir(exist_ok=True)
    subprocess.run(
        [dot, "-Tsvg", "-o", str(target)],
        input=dot_text,
        text=True,
        check=True,
    )
    print("wrote", target)
    print(to_mermaid(engine), end="")


if __name__ == "__main__":
    main()
