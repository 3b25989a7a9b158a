"""The layer's native records and frames (tarn._layer): what script code can
do to them, what the engine's own operations make of them, and what they
hold. Behaviour shared with the reference implementation is tested in the
other test_layer_* files."""

import contextvars
import gc
import pickle
import sys
import threading
import weakref

import pytest

import layer_funcs
import tarn
from helpers import run_child
from tarn import Graph, Input, Model, NodeNotFound, computed, graph_of
from tarn import _layer
from tarn.tarnwick import DAGEngine, Node


class Order(Model):
    qty: Input[int] = Input(2)
    price: Input[float] = Input(1.5)

    @computed
    def total(self) -> float:
        return self.qty * self.price


def small_graph():
    g = Graph()
    g["a"] = 1

    @g.node
    def b(g):
        return g["a"] + 1

    return g


def in_context(value, func, *args):
    """func(*args) in a fresh context whose current computation is `value`."""
    context = contextvars.copy_context()
    context.run(_layer.current_computation.set, value)
    return context.run(func, *args)


class Marker:
    pass


def test_records_carry_the_layers_fields_and_script_writes_untrust_them():
    g = small_graph()
    assert g["b"] == 2
    a, b = g._nodes["a"], g._nodes["b"]
    assert type(b) is _layer.Record and isinstance(b, Node)
    assert (b.graph, b.cutoff, b.last, b.ok, b.trusted) == (g, False, 2, True, True)
    assert b.verified >= 0 and b.changed <= _layer.revision()
    assert (a.is_explicit, a.verified, a.last) == (True, -1, None)
    with pytest.raises(TypeError):
        class Sub(_layer.Record):  # carries no overrides: not a base
            pass
    # A record built by Node's constructor was not made by a graph.
    loose = _layer.Record("x", None, True, 5)
    assert (loose.graph, loose.trusted, loose.cached_value) == (None, False, 5)
    # A field written by a script makes the node foreign to the graph: it is
    # read as the engine's fields say, and is never computed by the layer.
    b.ok = True
    assert not b.trusted and g["b"] == 2
    b.is_valid = False
    with pytest.raises(TypeError, match="'b' was not made by this graph"):
        g["b"]
    g.node(lambda g: g["a"] * 10, name="b")  # registered again: trusted
    assert g["b"] == 10 and g._nodes["b"].trusted


def test_the_engines_pickling_of_a_graphs_engine_round_trips_blank():
    g = Graph()
    g["qty"], g["price"] = 2, 3.0
    g.node(layer_funcs.subtotal)
    assert g["subtotal"] == 6.0
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(g.engine, protocol))
        assert isinstance(back, DAGEngine) and list(back.nodes) == ["qty", "price", "subtotal"]
        node = back.nodes["subtotal"]
        assert type(node) is _layer.Record
        assert (node.graph, node.trusted, node.ok, node.last) == (None, False, False, None)
        assert node.is_valid and node.cached_value == 6.0
        assert node.dependencies == [back.nodes["qty"], back.nodes["price"]]


def test_foreign_entries_in_registries_and_edge_lists():
    g = small_graph()
    # An engine node put into the registry: read by its fields, tracked.
    g.engine.nodes["plain"] = Node("plain", None, True, 7)
    g.node(lambda g: g["plain"] + g["b"], name="sum")
    assert g["sum"] == 9 and g.dependencies("sum") == ("plain", "b")
    stale = Node("stale", lambda x: 1)
    g.engine.nodes["stale"] = stale
    with pytest.raises(TypeError, match="'stale' was not made by this graph"):
        g["stale"]
    g.engine.nodes["odd"] = 5
    with pytest.raises(TypeError, match="the registry holds int under 'odd', not a node"):
        g["odd"]
    # A node of another kind in an edge list: the refresh does not guess
    # through it, the function runs and links what it reads.
    g["sum"]
    g._nodes["sum"].dependencies.insert(0, stale)
    g["a"] = 2
    assert g["sum"] == 10 and g.dependencies("sum") == ("plain", "b")
    assert g._nodes["sum"] not in stale.dependents


def test_the_context_variable_holding_junk_or_a_finished_driver():
    g = small_graph()
    seen, contexts = [], []

    @g.node
    def spy(g):
        value = g["a"]
        seen.append(_layer.current())
        contexts.append(contextvars.copy_context())
        return value

    assert g["spy"] == 1 and _layer.current() is None
    (frame,) = seen
    assert (frame.node.name, frame.depth, frame.parent) == ("spy", 1, None)
    assert [n.name for n in frame.reads] == ["a"]
    with pytest.raises(TypeError):
        _layer.Frame()
    # A context copied during the computation keeps its driver after the
    # read returned (as a task's would, or a reset that failed): it counts
    # as none, as anything else a script sets does. Such reads record
    # nothing and such changes are not refused.
    driver = contexts[0][_layer.current_computation]
    for junk in (5, None, driver):
        g["a"] = 10
        assert in_context(junk, lambda: (g["b"], g.__setitem__("a", 3), g["b"])) == (11, None, 4)
        assert set(g.dependents("a")) == {"b", "spy"} and [n.name for n in frame.reads] == ["a"]
    assert contexts[0].run(_layer.current) is None


def test_a_context_copied_into_another_thread_computes_there():
    g = small_graph()
    results = []

    @g.node
    def spawner(g):
        context = contextvars.copy_context()
        worker = threading.Thread(target=context.run, args=(lambda: results.append(g["late"]),))
        worker.start()
        worker.join()
        return g["a"]

    g.node(lambda g: g["a"] * 100, name="late")
    assert g["spawner"] == 1 and results == [100]
    # The other thread's read was not the spawner's: it is not recorded.
    assert g.dependencies("spawner") == ("a",)


def test_hits_hold_no_references():
    g, o = small_graph(), Order(qty=4)
    value = object()
    g["v"] = value
    node = g._nodes["v"]
    before = sys.getrefcount(value), sys.getrefcount(node)
    for _ in range(1000):
        g["v"]
        g["b"]
        o.qty
        o.total

    @g.node
    def wide(g):
        return [g["v"] for _ in range(1000)]

    g["wide"]
    del g["wide"]
    gc.collect()
    assert (sys.getrefcount(value), sys.getrefcount(node)) == before


def test_graphs_models_and_frames_in_cycles_are_collected():
    g = small_graph()
    g["self"] = g
    g.node(lambda h: g["self"] is h, name="closes")  # its function holds g
    assert g["closes"]
    o = Order()
    o.qty = o
    marker = Marker()
    frames = [marker]
    g.node(lambda h: frames.append(_layer.current()) or frames, name="keeps")
    g["keeps"]  # the value holds the list that holds the frame
    refs = [weakref.ref(g), weakref.ref(o), weakref.ref(marker)]
    del g, o, frames, marker
    gc.collect()
    assert [r() for r in refs] == [None, None, None]


def test_model_attributes_without_a_graph_and_graphs_without_an_owner():
    o = Order.__new__(Order)
    with pytest.raises(AttributeError, match="Order has no graph"):
        o.qty
    with pytest.raises(AttributeError, match="Order has no graph"):
        o.qty = 1
    with pytest.raises(AttributeError, match="Order has no graph"):
        o.total
    g = graph_of(Order())
    gc.collect()  # the instance is gone; its graph is not
    with pytest.raises(ReferenceError, match="the model that held node 'total' no longer exists"):
        g["total"]
    assert g["qty"] == 2


def test_a_long_chain_of_records_is_freed_without_recursion():
    # Each value holds the next graph's record: freeing them must not nest.
    result = run_child("""
        import tarn
        g = tarn.Graph()
        g["x"] = 0
        head = None
        for i in range(1_000_000):
            record = tarn._layer.make_record(g, "n", None, True, head, False, True, False,
                                             None, 0, 0)
            head = record
        del head
        print("freed")
    """, timeout=300)
    assert result.returncode == 0 and result.stdout == "freed\n", result.stderr


def test_module_functions_refuse_what_they_cannot_use():
    g = small_graph()
    with pytest.raises(TypeError):
        _layer.make_record(g, 1, None, True, 0, False, True, False, None, 0, 0)
    with pytest.raises(TypeError):
        _layer.note_missing(g, "x", Node("x", None))
    with pytest.raises(TypeError):
        _layer.model_graph(object(), Graph)
    with pytest.raises(TypeError):
        _layer.build_model(Order.__new__(Order), Graph, {"qty": 1}, {"total": object()})
    with pytest.raises(NodeNotFound):
        g[[1]] if False else g["nope"]
    with pytest.raises(TypeError):
        g[[1]]  # unhashable


def test_import_survives_memory_failures():
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("_testcapi has no set_nomemory")
    # Every allocation from `start` on fails; each round gets further into
    # the module's start-up, and a failed one leaves its types importable.
    result = run_child("""
        import _imp, _testcapi, importlib.machinery, importlib.util, sys, types
        # The package without its __init__, so that the first load of the
        # layer is the one that fails.
        where = importlib.util.find_spec("tarn").submodule_search_locations
        package = types.ModuleType("tarn")
        package.__path__ = where
        sys.modules["tarn"] = package
        import tarn.tarnwick, tarn._errors
        spec = importlib.machinery.PathFinder.find_spec("tarn._layer", where)
        for start in range(100000):
            sys.modules.pop("tarn._layer", None)
            try:
                try:
                    _testcapi.set_nomemory(start, 0)
                    module = _imp.create_dynamic(spec)
                    _imp.exec_dynamic(module)
                finally:
                    _testcapi.remove_mem_hooks()
            except MemoryError:
                continue
            break
        sys.modules["tarn._layer"] = module
        del sys.modules["tarn"]
        import tarn
        g = tarn.Graph()
        g["a"] = 1
        g.node(lambda g: g["a"] + 1, name="b")
        assert g["b"] == 2 and type(g.engine.nodes["b"]) is module.Record
        print(start)
    """)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) > 20
