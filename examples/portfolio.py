"""A bond book as a tarn graph, and a bond as a tarn model.

Imported by `dask_scenarios.py` here and by the worker processes it starts:
node functions and model classes travel by module and name, so they live
in a module the workers can import.
"""

from __future__ import annotations

from tarn import Graph, Input, Model, computed


def discount(rate: float, years: int, face: float, coupon: float) -> float:
    """Price of a bond paying `coupon` a year on `face`, at flat `rate`."""
    flows = sum(face * coupon / (1 + rate) ** t for t in range(1, years + 1))
    return flows + face / (1 + rate) ** years


class Bond(Model):
    face: Input[float] = Input(100.0)
    coupon: Input[float] = Input(0.05)
    years: Input[int] = Input(5)
    rate: Input[float] = Input(0.04)

    @computed
    def price(self) -> float:
        return discount(self.rate, self.years, self.face, self.coupon)

    @computed(cutoff=True)
    def above_par(self) -> bool:
        return self.price > self.face


class BondPrice:
    """Node function of the book's bond `index`: priced at the book's rate."""

    def __init__(self, index: int) -> None:
        self.index = index

    def __call__(self, g: Graph) -> float:
        rate = g["rate"] + g["shift"]
        return float(discount(rate, g[f"years{self.index}"], 100.0, g[f"coupon{self.index}"]))


def book_total(g: Graph) -> float:
    return float(sum(g[f"bond{index}"] for index in range(g["size"])))


def build_book(size: int) -> Graph:
    """A book of `size` bonds; `shift` moves every rate at once."""
    g = Graph()
    g["rate"], g["shift"], g["size"] = 0.04, 0.0, size
    for index in range(size):
        g[f"coupon{index}"] = 0.02 + 0.005 * (index % 7)
        g[f"years{index}"] = 1 + index % 10
        g.node(BondPrice(index), name=f"bond{index}")
    g.node(book_total, name="total")
    return g


def shifted_total(book: Graph, shift: float) -> tuple[float, float]:
    """A scenario task: the book's total with every rate moved by `shift`."""
    book["shift"] = shift
    return shift, book["total"]


def repriced(bond: Bond, rate: float) -> tuple[float, bool]:
    """A scenario task: the bond's price and whether it is above par at `rate`."""
    bond.rate = rate
    return bond.price, bond.above_par
