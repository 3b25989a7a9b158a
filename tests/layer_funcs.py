"""Importable node functions and models for the graph and model tests
(pickled graphs refer to their functions by module and name)."""

from __future__ import annotations

from typing import Any

import tarn


def subtotal(g: tarn.Graph) -> Any:
    return g["qty"] * g["price"]


def total(g: tarn.Graph) -> Any:
    return round(g["subtotal"] * 1.2, 2)


class Step:
    """Node function of chain node `index`: the previous node plus one."""

    def __init__(self, index: int) -> None:
        self.index = index

    def __call__(self, g: tarn.Graph) -> Any:
        return g[f"n{self.index - 1}"] + 1


def chain(length: int) -> tarn.Graph:
    """n0 is an input; n1 .. n{length-1} each add one to the one before."""
    g = tarn.Graph()
    g["n0"] = 0
    for index in range(1, length):
        g.node(Step(index), name=f"n{index}")
    return g


def warm(g: tarn.Graph, length: int) -> None:
    """Compute a chain front to back, so no read nests."""
    for index in range(length):
        g[f"n{index}"]


class Customer(tarn.Model):
    discount: tarn.Input[float] = tarn.Input(0.0)


class Order(tarn.Model):
    qty: tarn.Input[int] = tarn.Input(1)
    price: tarn.Input[float] = tarn.Input()
    customer: tarn.Input[Customer | None] = tarn.Input(None)

    @tarn.computed
    def subtotal(self) -> float:
        return self.qty * self.price

    @tarn.computed(cutoff=True)
    def total(self) -> float:
        rate = 1.0 - (self.customer.discount if self.customer is not None else 0.0)
        return round(self.subtotal * 1.2 * rate, 2)


class Formula:
    """A node function the state machine can also evaluate from scratch:
    the sum of `reads` plus `const`, reduced modulo `mod` when set, raising
    ValueError when the result is `fail_on`. With `catch`, a read that
    raises counts as -1."""

    def __init__(self, reads: tuple[str, ...], const: int, mod: int | None,
                 catch: bool, fail_on: int | None) -> None:
        self.reads, self.const, self.mod = reads, const, mod
        self.catch, self.fail_on = catch, fail_on

    def __call__(self, g: Any) -> int:
        return self.combine(g.__getitem__)

    def combine(self, read: Any) -> int:
        value = self.const
        for name in self.reads:
            if self.catch:
                try:
                    value += read(name)
                except (LookupError, ValueError):
                    value -= 1
            else:
                value += read(name)
        if self.mod:
            value %= self.mod
        if value == self.fail_on:
            raise ValueError(f"{value} is refused")
        return value
