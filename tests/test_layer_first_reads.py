"""First reads of never-computed chains go to any depth at the interpreter's
default recursion limit, or with much less of it: whatever a layer does to
get there (unwinding and re-running computations), it caches nothing
unfinished, leaves a function's own recursion to it, brings exceptions to
the reader unchanged, and keeps what a cut-off comparison reads to the
comparison. Sizes are moderate, for the reference; test_layer_depth.py
takes the native layer to full size."""

import sys

import pytest

from layer_funcs import chain, recursion_room
from tarn import Input

LONG = 5_000


@pytest.fixture
def default_limit():
    """The interpreter's default recursion limit, whatever the runner set."""
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(1000)
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


def test_chains_compute_on_their_first_read(layer, default_limit):
    g = chain(LONG, layer.Graph)
    assert g[f"n{LONG - 1}"] == LONG - 1
    assert all(node.is_valid for node in g.engine.nodes.values())
    assert g.dependencies(f"n{LONG - 1}") == (f"n{LONG - 2}",) and g.dependents("n0") == ("n1",)
    g["n0"] = 5
    assert g[f"n{LONG - 1}"] == LONG + 4

    # Each node reading the node below it in the other graph.
    even, odd = layer.Graph(), layer.Graph()
    even["n0"] = 0
    for i in range(1, LONG):
        here, there = (even, odd) if i % 2 == 0 else (odd, even)
        here.node(lambda g, src=there, p=f"n{i - 1}": src[p] + 1, name=f"n{i}")
    assert odd[f"n{LONG - 1}"] == LONG - 1
    assert odd.dependencies(f"n{LONG - 1}") == ((even, f"n{LONG - 2}"),)

    class Row(layer.Model):
        prev: Input[object] = layer.Input(None)

        @layer.computed
        def balance(self):
            return 1 if self.prev is None else self.prev.balance + 1

    rows = [Row()]
    for _ in range(LONG - 1):
        rows.append(Row(prev=rows[-1]))
    assert rows[-1].balance == LONG


def test_with_little_of_the_recursion_limit_left(layer):
    g = chain(2_000, layer.Graph)
    with recursion_room(60):
        assert g["n1999"] == 1999
        g["n0"] = 1
        assert g["n1999"] == 2000


def test_a_functions_own_recursion_is_its_own(layer, default_limit):
    def recurse(n):
        return recurse(n + 1)

    g = chain(LONG, layer.Graph)
    g.node(lambda g: recurse(g[f"n{LONG - 1}"]), name="own")
    g.node(lambda g: g["own"], name="reader")
    with pytest.raises(RecursionError):
        g["reader"]
    assert g[f"n{LONG - 1}"] == LONG - 1 and not g.engine.nodes["reader"].is_valid

    # Levels that spend many frames before they read.
    def deep_read(g, name, frames):
        return deep_read(g, name, frames - 1) if frames else g[name]

    h = layer.Graph()
    h["n0"] = 0
    for i in range(1, 2_000):
        h.node(lambda g, p=f"n{i - 1}": deep_read(g, p, 60) + 1, name=f"n{i}")
    assert h["n1999"] == 1999


def test_functions_that_catch_everything_cache_nothing_unfinished(layer, default_limit):
    g = layer.Graph()
    g["n0"] = 0
    for i in range(1, 2_000):
        def careless(g, p=f"n{i - 1}"):
            try:
                return g[p] + 1
            except BaseException:  # whatever stops the read, as often as not
                return -1

        g.node(careless, name=f"n{i}")
    assert g["n1999"] == 1999
    assert [node.cached_value for node in g.engine.nodes.values()] == list(range(2_000))

    h = layer.Graph()
    h["n0"] = 0
    for i in range(1, 2_000):
        def stubborn(g, p=f"n{i - 1}"):
            try:
                return g[p] + 1
            except BaseException:
                raise ValueError("something else") from None

        h.node(stubborn, name=f"n{i}")
    assert h["n1999"] == 1999
    assert all(node.is_valid for node in h.engine.nodes.values())


def test_exceptions_reach_the_reader_unchanged_from_any_depth(layer, default_limit):
    error = ValueError("at the bottom")

    def bottom(g):
        raise error

    g = chain(LONG, layer.Graph)
    g.node(bottom, name="n0")
    for name in (f"n{LONG - 1}", f"n{LONG // 2}", "n1"):
        with pytest.raises(ValueError) as info:
            g[name]
        assert info.value is error
    # Every node keeps the error as its result, until n0 changes.
    assert all(node.kept for node in g.engine.nodes.values())

    # Caught halfway, the failure becomes a value, cached like any other.
    def catching(g):
        try:
            return g["n2499"] + 1
        except ValueError:
            return -1

    g.node(catching, name="n2500")
    assert g[f"n{LONG - 1}"] == LONG - 1 - 2501
    assert all(g.engine.nodes[f"n{i}"].is_valid for i in range(2500, LONG))


def test_changes_of_a_computing_graph_are_refused_at_any_depth(layer, default_limit):
    g = layer.Graph()
    g["x"] = 0

    def setter(other):
        g["x"] = 5
        return 0

    other = chain(LONG, layer.Graph)
    other.node(setter, name="n0")           # at the bottom of the chain
    g.node(lambda g: other[f"n{LONG - 1}"], name="top")
    with pytest.raises(RuntimeError, match="cannot set 'x' while 'top' is computing"):
        g["top"]
    assert g["x"] == 0


def test_a_comparison_reads_in_a_read_of_its_own(layer, default_limit):
    # The cut-off comparison of a node recomputed deep in a first read
    # reads a never-computed chain of another graph: that is no read of
    # the node's readers, and whatever the layer does to reach the bottom
    # of that chain stays inside the comparison.
    other = chain(LONG, layer.Graph)
    last = f"n{LONG - 1}"

    class Heavy:
        def __eq__(self, previous):
            return other[last] == LONG - 1

        __hash__ = object.__hash__

    g = layer.Graph()
    g["x"] = 1
    g.node(lambda g: (g["x"], Heavy())[1], name="mid", cutoff=True)
    g["mid"]
    g.engine.invalidate("mid")                 # recomputed, and compared, when read
    g.node(lambda g: type(g["mid"]).__name__, name="c0")
    for i in range(1, 2_000):
        g.node(lambda g, p=f"c{i - 1}": g[p], name=f"c{i}")
    assert g["c1999"] == "Heavy"
    assert other.engine.nodes[last].is_valid and other.dependents(last) == ()
    assert g.dependencies("mid") == ("x",) and g.dependencies("c0") == ("mid",)
