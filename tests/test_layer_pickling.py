"""Pickling graphs and models with what they read: links between graphs
and instances survive with their cached values, in a flat form whose
nesting stays bounded whatever the chain's length."""

import copy
import pickle

import pytest

from tarn import Graph, Input, Model, computed, graph_of
from tarn._graph import _load_graph
from tarn._pickling import dump_graph

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
calls: list[str] = []

# Importable node functions: pickles refer to them by name.
rates = Graph()


def gross(g):
    calls.append("gross")
    return g["net"] * (1 + g["rates"]["vat"])


def after(g):
    calls.append("after")
    return g["gross"] + 1


class Row(Model):
    prev: Input["Row | None"] = Input(None)
    amount: Input[int] = Input(1)

    @computed
    def balance(self) -> int:
        calls.append("balance")
        return (self.prev.balance if self.prev is not None else 0) + self.amount


def rows(n):
    made = [Row()]
    for _ in range(n - 1):
        made.append(Row(prev=made[-1], amount=2))
    return made


def priced():
    src = Graph()
    src["vat"] = 0.25
    g = Graph()
    g["net"], g["rates"] = 8, src
    g.node(gross)
    g.node(after)
    assert g["after"] == 11
    return src, g


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_what_a_graph_read_comes_along_with_its_links(protocol):
    src, g = priced()
    calls.clear()
    back = pickle.loads(pickle.dumps(g, protocol))
    back_src = back["rates"]
    assert back_src is not src and back_src["vat"] == 0.25
    assert back.dependencies("gross") == ("net", "rates", (back_src, "vat"))
    assert back_src.dependents("vat") == ((back, "gross"),)
    assert back["after"] == 11 and calls == []     # nothing recomputes
    back_src["vat"] = 0.5
    assert back["after"] == 13 and calls == ["gross", "after"]
    assert g["after"] == 11 and src.dependents("vat") == ((g, "gross"),)
    # Pickled alone, what was read keeps no link to its readers.
    alone = pickle.loads(pickle.dumps(src, protocol))
    assert alone.dependents("vat") == ()


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_a_long_chain_of_instances_round_trips_linked(protocol):
    chain = rows(2_000)
    assert chain[-1].balance == 3_999
    for shape in ("list", "reversed", "last"):
        obj = chain if shape == "list" else chain[::-1] if shape == "reversed" else chain[-1]
        calls.clear()
        back = pickle.loads(pickle.dumps(obj, protocol))
        last = back[-1] if shape == "list" else back[0] if shape == "reversed" else back
        assert last.balance == 3_999 and calls == [], shape
        first = last
        while first.prev is not None:
            first = first.prev
        if shape != "last":
            assert first is (back[0] if shape == "list" else back[-1])
        first.amount = 100
        assert last.balance == 4_098 and len(calls) == 2_000, shape
    assert chain[-1].balance == 3_999


def test_members_pickled_together_come_back_once():
    a, b = rows(2)
    b.balance
    other = Row(amount=5)
    back = pickle.loads(pickle.dumps([a, other, b, a]))
    assert back[0] is back[3] and back[2].prev is back[0]
    assert graph_of(back[0]).dependents("balance") == ((back[2], "balance"),)
    back[0].amount = 10
    assert back[2].balance == 12 and b.balance == 3


def test_copies_are_independent():
    chain = rows(3)
    chain[-1].balance
    for copied in (copy.copy(chain[-1]), copy.deepcopy(chain[-1])):
        assert copied is not chain[-1] and copied.balance == 5
        copied.prev.amount = 10
        assert copied.balance == 13 and chain[-1].balance == 5


def test_graphs_pickled_in_the_earlier_one_graph_form_still_load():
    src, g = priced()
    del g["rates"]
    g["rates"] = src
    state = dump_graph(g, 2, True)
    back = _load_graph(state)
    assert list(back) == list(g) and back.dependencies("after") == ("gross",)
    assert back["after"] == 11


class Holder:
    """A node function that holds its own graph."""

    def __init__(self, graph):
        self.graph = graph

    def __call__(self, g):
        return self.graph["x"] + 1


def test_a_function_that_holds_its_own_graph_pickles_with_it():
    g = Graph()
    g["x"] = 1
    g.node(Holder(g), name="y")
    assert g["y"] == 2
    back = pickle.loads(pickle.dumps(g))
    assert back.engine.nodes["y"].func.graph is back and back["y"] == 2
    back["x"] = 5
    assert back["y"] == 6 and g["y"] == 2


def test_a_name_missed_in_another_graph_comes_along_or_leaves_the_reader_stale():
    lookup = Graph()
    g = Graph()
    g["where"] = lookup
    g.node(missing_or_zero, name="r")
    assert g["r"] == 0
    back = pickle.loads(pickle.dumps(g))
    assert back["r"] == 0 and back.engine.nodes["r"].is_valid
    back["where"]["later"] = 7               # the copy of lookup came along
    assert back["r"] == 7 and g["r"] == 0


def missing_or_zero(g):
    try:
        return g["where"]["later"]
    except LookupError:
        return 0
