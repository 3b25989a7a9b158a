"""Long chains: recomputation after a change without nesting, computations
made ahead of need, and pickling in a flat form."""

import copy
import pickle
import sys

import pytest

import layer_funcs
from layer_funcs import Step, chain, warm
from tarn import Graph

LONG = 100_000


@pytest.fixture(scope="module")
def long_chain():
    g = chain(LONG)
    warm(g, LONG)
    return g


def test_a_long_chain_recomputes_after_its_first_input_changes(long_chain):
    g = long_chain
    last = f"n{LONG - 1}"
    assert g[last] == LONG - 1
    g["n0"] = 10
    assert g[last] == LONG + 9
    assert all(g.engine.nodes[f"n{i}"].is_valid for i in range(0, LONG, 997))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_a_long_chain_round_trips_by_every_protocol(long_chain, protocol):
    g = long_chain
    last = f"n{LONG - 1}"
    g[last]
    back = pickle.loads(pickle.dumps(g, protocol))
    assert list(back) == list(g)
    node = back.engine.nodes[last]
    assert node.is_valid and node.cached_value == g[last]
    assert back.dependencies(last) == (f"n{LONG - 2}",) and back.dependents("n0") == ("n1",)
    back["n0"] = -1
    assert back[last] == LONG - 2
    assert g["n0"] != -1                 # the copy is a graph of its own


def test_the_first_computation_nests_and_is_bounded_by_the_interpreter():
    g = chain(sys.getrecursionlimit() * 2)
    with pytest.raises(RecursionError):
        g[f"n{sys.getrecursionlimit() * 2 - 1}"]
    short = chain(100)
    assert short["n99"] == 99


def test_nodes_computed_ahead_of_need_hold_back_their_exceptions():
    g = Graph()
    g["x"], g["bad"] = 0, False
    log, plan = [], {"fragile": True}
    error = ValueError("fragile")

    @g.node
    def fragile(g):
        log.append("fragile")
        if g["bad"]:
            raise error
        return g["x"]

    @g.node
    def top(g):
        log.append("top")
        # `plan` is not a node: top may stop reading fragile unseen.
        return g["fragile"] if plan["fragile"] else -g["x"]

    @g.node
    def careful(g):
        try:
            return g["fragile"]
        except ValueError as exc:
            return exc

    assert g["top"] == 0 and g["careful"] == 0
    log.clear()
    plan["fragile"] = False
    g["bad"], g["x"] = True, 1
    assert g["top"] == -1                # fragile was refreshed first and failed
    assert log == ["fragile", "top"] and not g.engine.nodes["fragile"].is_valid
    assert g["careful"] is error         # a read gets the failure...
    with pytest.raises(ValueError):      # ...and so does a read from outside
        g["fragile"]
    assert not g.engine.nodes["careful"].is_valid


def test_a_failure_low_in_a_long_chain_reaches_the_end_without_nesting():
    g = chain(20_000)
    warm(g, 20_000)
    g["n0"] = None                       # n1 fails: None + 1
    with pytest.raises(TypeError) as first:
        g["n19999"]
    with pytest.raises(TypeError) as again:
        g["n1"]
    assert "NoneType" in str(first.value) and type(again.value) is type(first.value)
    g["n0"] = 1
    assert g["n19999"] == 20_000


def test_edges_to_other_graphs_are_dropped_and_their_readers_come_back_stale():
    rates = Graph()
    rates["vat"] = 0.25
    g = Graph()
    g["net"] = 8
    g.node(lambda g: g["net"] * (1 + rates["vat"]), name="gross")
    g.node(lambda g: g["net"] * 2, name="double")
    g.node(lambda g: g["gross"] + 1, name="after")
    g["after"], g["double"]
    state = {name: g.engine.nodes[name] for name in g}
    for name in ("gross", "double", "after"):   # picklable stand-ins
        state[name].func = layer_funcs.subtotal
    back = pickle.loads(pickle.dumps(g))
    assert rates.dependents("vat") == ((g, "gross"),)
    assert back.dependencies("gross") == ("net",)
    assert [back.engine.nodes[n].is_valid for n in ("gross", "after", "double")] == [False, False, True]
    assert back.dependencies("after") == ("gross",)


def test_unpicklable_functions_are_named():
    g = Graph()
    g["qty"], g["price"] = 2, 3
    g.node(layer_funcs.subtotal)
    g.node(lambda g: 1, name="anonymous")
    with pytest.raises(pickle.PicklingError, match="'anonymous'"):
        pickle.dumps(g)
    del g["anonymous"]

    def local(g):
        return 2

    g.node(local, name="local")
    with pytest.raises(pickle.PicklingError, match="'local'"):
        pickle.dumps(g)


def test_round_trips_keep_inputs_values_cutoff_and_state():
    g = Graph()
    g["qty"], g["price"] = 2, 3.0
    g.node(layer_funcs.subtotal)
    g.node(layer_funcs.total, cutoff=True)
    g.node(Step(1), name="stale")
    g["total"]
    for back in (pickle.loads(pickle.dumps(g, 0)), copy.copy(g), copy.deepcopy(g)):
        assert list(back) == ["qty", "price", "subtotal", "total", "stale"]
        nodes = back.engine.nodes
        assert nodes["total"].is_valid and nodes["total"].cached_value == 7.2
        assert not nodes["stale"].is_valid and nodes["total"].cutoff
        assert back.dependencies("total") == ("subtotal",)
        back["qty"] = 4
        assert back["total"] == 14.4 and g["total"] == 7.2
