"""Recomputation in native code (tarn._layer.compute and the refresh of stale
nodes) against the Python path it mirrors: each scenario runs both ways and
must come out the same."""

import contextlib

import pytest

from tarn import Graph
from tarn import _graph, _layer


@contextlib.contextmanager
def python_path():
    """Every computation and refresh goes through the Python layer meanwhile."""
    _layer.setup(clock=object())  # not the layer's clock: nothing native runs
    try:
        yield
    finally:
        _layer.setup(clock=_graph._clock)


def both(scenario):
    """The scenario's result natively and in Python, which must agree."""
    native = scenario()
    with python_path():
        python = scenario()
    assert native == python
    return native


class Same:
    """Equal to anything, recording each comparison; `fail` makes it raise."""

    def __init__(self, log, fail=None):
        self.log, self.fail = log, fail

    def __eq__(self, other):
        self.log.append("eq")
        if self.fail is not None:
            raise self.fail
        return True

    __hash__ = object.__hash__


def edges(g):
    return {name: (g.dependencies(name), g.dependents(name)) for name in g}


def test_cutoff_compares_with_eq_and_counts_failed_comparisons_as_changes():
    def scenario():
        out = []
        nan = float("nan")
        for result in (lambda x: nan, lambda x: Same([], ValueError()) if x else Same([])):
            g, calls = Graph(), []
            g["x"] = 0

            @g.node(cutoff=True)
            def mid(g):
                return result(g["x"])

            @g.node
            def end(g):
                calls.append(1)
                return type(g["mid"]).__name__

            g["end"]
            g["x"] = 1
            out.append((g["end"], len(calls)))
        return out

    # The same NaN object is not equal to itself; a raising __eq__ is a change.
    assert both(scenario) == [("float", 2), ("Same", 2)]


def test_an_interrupt_in_the_cutoff_comparison_leaves_the_node_stale():
    def scenario():
        g, log = Graph(), []
        g["x"] = 0
        fail = [None]

        @g.node(cutoff=True)
        def mid(g):
            return Same(log, fail[0] if g["x"] else None)

        g["mid"]
        g["x"] = 1
        fail[0] = KeyboardInterrupt()
        with pytest.raises(KeyboardInterrupt):
            g["mid"]
        stale = not g._nodes["mid"].is_valid
        fail[0] = None
        return stale, type(g["mid"]).__name__, g._nodes["mid"].is_valid, len(log)

    assert both(scenario) == (True, "Same", True, 1)


def test_edges_follow_what_each_computation_read():
    def scenario():
        g = Graph()
        names = [f"i{k}" for k in range(20)]
        for k, name in enumerate(names):
            g[name] = k
        g["pick"] = 0

        @g.node
        def total(g):
            # Many reads (the membership test then uses a set), changing with `pick`.
            start = g["pick"]
            return sum(g[name] for name in names[start : start + 12])

        @g.node
        def few(g):
            return g["i0"] if g["pick"] else g["i1"] + g["i2"]

        seen = []
        for pick in (0, 5, 8, 0):
            g["pick"] = pick
            seen.append((g["total"], g["few"], edges(g)))
        return seen

    both(scenario)


def test_odd_edge_lists_behave_as_in_python():
    def foreign_reader():
        g, log = Graph(), []
        g["a"], g["b"], g["which"] = 1, 2, True

        @g.node
        def n(g):
            return g["a"] if g["which"] else g["b"]

        g["n"]
        # Something else sits before the node in a's readers: removing the
        # node from that list compares with it.
        g._nodes["a"].dependents.insert(0, Same(log))
        g["which"] = False
        return g["n"], log, g.dependencies("n")

    def replaced_edges():
        g = Graph()
        g["a"] = 1

        @g.node
        def n(g):
            return g["a"] + 1

        g["n"]
        g["a"] = 2
        g._nodes["n"].dependencies = None  # a script's doing
        try:
            return g["n"], g._nodes["n"].is_valid
        except Exception as exc:
            return type(exc).__name__

    assert both(foreign_reader)[1] == ["eq"]
    both(replaced_edges)


def test_held_back_failures_and_cycles_match():
    def scenario():
        g = Graph()
        g["x"] = 1
        g["loop"] = False

        @g.node
        def low(g):
            if g["x"] > 1:
                raise ValueError("low")
            return g["x"]

        @g.node
        def high(g):
            if g["loop"]:
                return g["top"]
            try:
                return g["low"] + 1
            except ValueError:
                return -1

        @g.node
        def top(g):
            return g["high"]

        out = [g["top"]]
        g["x"] = 2
        out.append(g["top"])
        g["loop"] = True
        try:
            g["top"]
        except Exception as exc:
            out.append(type(exc).__name__)
        g["loop"] = False
        out.append(g["top"])
        return out

    assert both(scenario) == [2, -1, "CycleError", -1]


def test_compute_hands_other_nodes_to_python():
    g = Graph()
    g["a"] = 1

    @g.node
    def b(g):
        return g["a"] + 1

    node = g._nodes["b"]
    assert _layer.compute(node, None, None) == 2 and node.is_valid
    with pytest.raises(TypeError):
        _layer.compute(node, None)
    # Not a node of the layer: the Python computation says what is wrong.
    with pytest.raises(AttributeError):
        _layer.compute(object(), None, None)


def test_a_deep_refresh_stops_at_a_cutoff_and_restores_what_is_above():
    def scenario():
        g, calls = Graph(), []
        g["x"] = 0

        def step(name, source, cutoff=False):
            def func(g):
                calls.append(name)
                return g[source] // 2 if cutoff else g[source] + 1

            g.node(func, name=name, cutoff=cutoff)

        step("a", "x")
        step("half", "a", cutoff=True)
        step("b", "half")
        step("c", "b")
        step("d", "c")
        out = [g["d"]]
        for x in (1, 2, 3, 1):  # half of x + 1: 1, 1, 2, 1 (0 before)
            del calls[:]
            g["x"] = x
            out.append((g["d"], list(calls), g._nodes["c"].is_valid))
        return out

    # From x = 1 to 2 the cut-off holds: what is above it is restored.
    assert both(scenario)[2] == (4, ["a", "half"], True)
