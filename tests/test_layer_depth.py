"""Depth, natively and at full size: first reads of never-computed chains,
lattices and chains of model instances of any length, recomputation after
a change without nesting, computations made ahead of need, and pickling in
a flat form. (The reference implementation's tests use smaller sizes.)"""

import copy
import inspect
import pickle
import sys

import pytest

import layer_funcs
from layer_funcs import Step, chain, warm
from tarn import CycleError, Graph, Input, Model, _layer, computed

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


DEFAULT_LIMIT = 1000


@pytest.fixture
def default_limit():
    """The interpreter's default recursion limit, whatever the runner set."""
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(DEFAULT_LIMIT)
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


class Row(Model):
    prev: Input["Row | None"] = Input(None)
    amount: Input[int] = Input(1)

    @computed
    def balance(self) -> int:
        return (self.prev.balance if self.prev is not None else 0) + self.amount


def test_first_reads_of_chains_go_to_any_depth(default_limit):
    g = chain(LONG)
    assert g[f"n{LONG - 1}"] == LONG - 1
    assert all(g.engine.nodes[f"n{i}"].is_valid for i in range(0, LONG, 997))
    assert g.dependencies(f"n{LONG - 1}") == (f"n{LONG - 2}",)
    g["n0"] = 5
    assert g[f"n{LONG - 1}"] == LONG + 4
    rows = [Row()]
    for _ in range(LONG - 1):
        rows.append(Row(prev=rows[-1], amount=2))
    assert rows[-1].balance == 2 * LONG - 1
    rows[0].amount = 3
    assert rows[-1].balance == 2 * LONG + 1
    # Two graphs, each node reading the other graph's node below it.
    even, odd = Graph(), Graph()
    even["n0"] = 0
    for i in range(1, LONG):
        here, there = (even, odd) if i % 2 == 0 else (odd, even)
        here.node(lambda g, src=there, p=f"n{i - 1}": src[p] + 1, name=f"n{i}")
    last = even if (LONG - 1) % 2 == 0 else odd
    assert last[f"n{LONG - 1}"] == LONG - 1
    assert last.dependencies(f"n{LONG - 1}") == (((odd if last is even else even), f"n{LONG - 2}"),)


def test_lattices_and_stale_mixes_go_to_any_depth(default_limit):
    levels, width = 10_000, 10
    g = Graph()
    for j in range(width):
        g[f"0.{j}"] = j
    for level in range(1, levels):
        for j in range(width):
            g.node(lambda g, below=[f"{level - 1}.{k}" for k in range(width)], j=j:
                   (sum(g[name] for name in below) + j) % 1_000_003, name=f"{level}.{j}")
    expect = list(range(width))
    for _ in range(1, levels):
        total = sum(expect)
        expect = [(total + j) % 1_000_003 for j in range(width)]
    assert [g[f"{levels - 1}.{j}"] for j in range(width)] == expect
    # A chain read at every third node first, then changed below half of
    # those: the end reads a mix of valid, stale and never-computed nodes.
    mixed = chain(30_000)
    for i in range(0, 30_000, 3):
        mixed[f"n{i}"]
    mixed["n0"] = 10
    for i in range(1, 30_000, 6):
        mixed[f"n{i}"]
    assert mixed["n29999"] == 30_009


def test_the_depth_technique_leaves_recursion_errors_to_the_functions(default_limit):
    def recurse(n):
        return recurse(n + 1)

    g = Graph()
    g["x"] = 1
    g.node(lambda g: recurse(0), name="own")
    g.node(lambda g: g["own"], name="reader")
    with pytest.raises(RecursionError):
        g["reader"]

    # Each level spends many interpreter frames before it reads: the layer
    # nests fewer levels, and no RecursionError comes of its nesting.
    def deep_read(g, name, frames):
        return deep_read(g, name, frames - 1) if frames else g[name]

    h = Graph()
    h["n0"] = 0
    for i in range(1, 5_000):
        h.node(lambda g, p=f"n{i - 1}": deep_read(g, p, 60) + 1, name=f"n{i}")
    assert h["n4999"] == 4999

    # A limit below what one level needs is still the interpreter's error;
    # a limit that allows one level is enough for any depth.
    short = Graph()
    short["n0"] = 0
    for i in range(1, 50):
        short.node(lambda g, p=f"n{i - 1}": deep_read(g, p, 10) + 1, name=f"n{i}")
    depth = len(inspect.stack(0))
    sys.setrecursionlimit(depth + 5)
    try:
        with pytest.raises(RecursionError):
            short["n49"]
        sys.setrecursionlimit(depth + 25)
        assert short["n49"] == 49
    finally:
        sys.setrecursionlimit(DEFAULT_LIMIT)


def test_unwinding_caches_nothing_unfinished_and_keeps_exceptions(default_limit):
    g = Graph()
    g["n0"] = 0
    caught = []
    for i in range(1, 3_000):
        def careless(g, p=f"n{i - 1}"):
            try:
                return g[p] + 1
            except BaseException as exc:  # the unwinding, as often as not
                caught.append(type(exc))
                return -1
        g.node(careless, name=f"n{i}")
    assert g["n2999"] == 2999 and caught and set(caught) == {_layer.Unwinding}
    assert all(g.engine.nodes[f"n{i}"].cached_value == i for i in range(3_000))

    error = ValueError("at the bottom")
    h = Graph()
    h.node(lambda g: (_ for _ in ()).throw(error), name="n0")
    for i in range(1, 3_000):
        h.node(Step(i), name=f"n{i}")
    with pytest.raises(ValueError) as info:
        h["n2999"]
    assert info.value is error
    with pytest.raises(ValueError) as again:
        h["n1500"]
    assert again.value is error


def test_long_cycles_are_found_with_their_exact_paths(default_limit):
    size = 2_500
    g = Graph()
    for i in range(size):
        g.node(lambda g, p=f"n{(i + 1) % size}": g[p], name=f"n{i}")
    with pytest.raises(CycleError) as info:
        g["n7"]
    path = info.value.path
    assert len(path) == size + 1 and path[0] == path[-1] == "n7"
    assert all(path[k + 1] == f"n{(int(path[k][1:]) + 1) % size}" for k in range(size))
    # Closed by a redefinition in a chain already computed, across two graphs.
    a, b = Graph(), Graph()
    a["n0"] = 0
    for i in range(1, size):
        here, there = (a, b) if i % 2 == 0 else (b, a)
        here.node(lambda g, src=there, p=f"n{i - 1}": src[p] + 1, name=f"n{i}")
    top = a if (size - 1) % 2 == 0 else b
    assert top[f"n{size - 1}"] == size - 1
    a.node(lambda g: top[f"n{size - 1}"], name="n0")
    with pytest.raises(CycleError) as info:
        top[f"n{size - 1}"]
    path = info.value.path
    assert path[0] == path[-1] == f"n{size - 1}" and len(path) == size + 1
    assert path[1:4] == (f"n{size - 2}", f"n{size - 3}", f"n{size - 4}")
    assert path[-2] == "n0"


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
    assert log == ["fragile", "top"] and g.engine.nodes["fragile"].kept
    assert g["careful"] is error         # a read gets the failure...
    with pytest.raises(ValueError) as info:  # ...and so does a read from outside
        g["fragile"]
    assert info.value is error and log == ["fragile", "top"]  # kept: no call
    assert g.engine.nodes["careful"].is_valid


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
