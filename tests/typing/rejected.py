"""Code that type checkers must refuse, on exactly the lines marked
``# error:`` with the checkers that refuse it (the lines each one reports).
Never run: some of it fails at run time too."""

from __future__ import annotations

import tarn

g = tarn.Graph()
g["x"] = 1

# Node functions take the graph: one positional parameter.
g.node(lambda g: g["x"] + 1, name="y")
g.node(lambda: 1)  # error: mypy pyright
g.node(lambda: 1, name="one")  # error: mypy pyright


@g.node  # error: mypy pyright
def no_graph() -> int:
    return 1


@g.node(name="pair")  # error: mypy pyright
def two(g: tarn.Graph, other: int) -> int:
    return other


@g.node(name="scaled")
def scaled(g: tarn.Graph, scale: int = 2) -> int:
    return scale * int(g["x"])


def of_int(x: int) -> int:
    return x


g.node(of_int, name="i")  # error: mypy pyright
g.node(of_int)  # error: mypy pyright


# A subclass may turn an input into a computed attribute and back at run
# time; the checkers see attributes of two unrelated types.
class Base(tarn.Model):
    rate: tarn.Input[float] = tarn.Input(0.1)

    @tarn.computed
    def fee(self) -> float:
        return self.rate * 2


class Fixed(Base):
    @tarn.computed  # error: mypy
    def rate(self) -> float:  # error: pyright
        return 0.2


class Waived(Base):
    fee: tarn.Input[float] = tarn.Input(0.0)  # error: pyright
