"""Importable node functions and models for the graph and model tests
(pickled graphs refer to their functions by module and name)."""

from __future__ import annotations

import sys
from contextlib import contextmanager
from typing import Any

import layer_reference
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


class Lookup:
    """Node function: the node `name` of `graph` (by default the graph it is
    given), or None while there is no such node."""

    def __init__(self, name: str, graph: Any = None) -> None:
        self.name, self.graph = name, graph

    def __call__(self, g: Any) -> Any:
        try:
            return (g if self.graph is None else self.graph)[self.name]
        except tarn.NodeNotFound:
            return None


def chain(length: int, graph_cls: type[Any] = tarn.Graph) -> Any:
    """n0 is an input; n1 .. n{length-1} each add one to the one before."""
    g = graph_cls()
    g["n0"] = 0
    for index in range(1, length):
        g.node(Step(index), name=f"n{index}")
    return g


def warm(g: tarn.Graph, length: int) -> None:
    """Compute a chain front to back, so no read nests."""
    for index in range(length):
        g[f"n{index}"]


def _order_models(lib: Any, owner: str) -> tuple[type, type]:
    """Customer and Order on one implementation of the layer, importable as
    ``owner.Customer`` and ``owner.Order``."""

    class Customer(lib.Model):
        discount: tarn.Input[float] = lib.Input(0.0)

    class Order(lib.Model):
        qty: tarn.Input[int] = lib.Input(1)
        price: tarn.Input[float] = lib.Input()
        customer: tarn.Input[Any] = lib.Input(None)

        @lib.computed
        def subtotal(self) -> float:
            return self.qty * self.price

        @lib.computed(cutoff=True)
        def total(self) -> float:
            rate = 1.0 - (self.customer.discount if self.customer is not None else 0.0)
            return round(self.subtotal * 1.2 * rate, 2)

    class Gauge(lib.Model):
        """Equalities given as functions of the class body."""

        level: tarn.Input[float] = lib.Input(0.0, cutoff=lambda old, new: abs(old - new) < 0.5)

        @lib.computed(cutoff=lambda old, new: old[0] == new[0])
        def band(self) -> tuple[int, float]:
            return (int(self.level // 10), self.level)

    for cls in (Customer, Order, Gauge):
        cls.__qualname__ = f"{owner}.{cls.__name__}"
    return Customer, Order, Gauge


class Native:
    """The order models on tarn's layer."""

    Customer, Order, Gauge = _order_models(tarn, "Native")


class Reference:
    """The same models on the pure-Python reference."""

    Customer, Order, Gauge = _order_models(layer_reference, "Reference")


def models(layer: Any) -> Any:
    """The order models of the implementation the `layer` fixture gives."""
    return {"native": Native, "reference": Reference}[layer.name]


def stack_depth() -> int:
    """The number of Python frames running in this thread."""
    depth, frame = 0, sys._getframe()
    while frame is not None:
        depth, frame = depth + 1, frame.f_back
    return depth


@contextmanager
def recursion_room(room: int):
    """Meanwhile, the recursion limit leaves only `room` frames above the caller."""
    before = sys.getrecursionlimit()
    sys.setrecursionlimit(stack_depth() + room)
    try:
        yield
    finally:
        sys.setrecursionlimit(before)


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
