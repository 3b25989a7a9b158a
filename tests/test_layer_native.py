"""The native reads of graphs and models (tarn._layer): the cases it hands
back to the Python layer, its records, its registration, and what it holds."""

import contextvars
import gc
import sys
import weakref

import pytest

import tarn
from tarn import Graph, Input, Model, NodeNotFound, computed, graph_of
from tarn import _graph, _layer
from tarn._model import Computed


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
    context.run(_graph._current.set, value)
    return context.run(func, *args)


class Name(str):
    pass


class Marker:
    pass


def test_graph_reads_the_native_path_hands_back():
    g = small_graph()
    assert g["b"] == 2 and g[Name("b")] == 2
    with pytest.raises(NodeNotFound) as info:
        g[1]
    assert info.value.name == 1 and info.value.__suppress_context__
    # Something other than a node in the registry: the layer's own error.
    g.engine.nodes["odd"] = 5
    with pytest.raises(AttributeError, match="is_valid"):
        g["odd"]
    # A context value that is not a computation, looked at while some
    # computation exists (with none at all, a hit does not look).
    alive = _layer.Frame(None, None, None)
    with pytest.raises(AttributeError, match="reads"):
        in_context(7, g.__getitem__, "a")
    del alive
    gc.collect()  # frames of earlier failures may wait in reference cycles
    assert in_context(7, g.__getitem__, "a") == 1
    g._nodes = ["not", "a", "dict"]
    with pytest.raises(TypeError):
        g["a"]
    del g._nodes
    with pytest.raises(AttributeError):
        g["a"]
    with pytest.raises(AttributeError):
        _layer.GraphBase()["a"]


def test_a_key_that_changes_the_registry_while_compared():
    g = small_graph()

    class Key:
        def __hash__(self):
            return hash("b")

        def __eq__(self, other):
            g._nodes.clear()
            return False

    g._nodes[Key()] = None
    with pytest.raises(NodeNotFound):
        g["b"]
    assert "b" not in g._nodes


def test_a_key_that_replaces_what_the_read_is_using():
    # Met before the name in the registry, the key drops the registry and
    # the attribute's name mid-lookup; the lookup goes on in what it had.
    armed = []

    def key_of(name, drop):
        class Key:
            def __hash__(self):
                return hash(name)

            def __eq__(self, other):
                if armed:
                    armed.clear()
                    drop()
                return False

        return Key()

    o = Order()
    assert o.total == 3.0
    spec = Order.__dict__["total"]
    spec.name = "".join(["to", "tal"])

    def drop_model():
        object.__setattr__(o, "_tarn_nodes", {})
        spec.name = "total"

    nodes = {key_of("total", drop_model): None}
    nodes.update(graph_of(o)._nodes)
    object.__setattr__(o, "_tarn_nodes", nodes)
    del nodes
    armed.append(1)
    try:
        assert o.total == 3.0 and not armed
    finally:
        spec.name = "total"
    g = small_graph()
    assert g["b"] == 2

    def drop_graph():
        g._nodes = g.engine.nodes = {}

    nodes = {key_of("b", drop_graph): None}
    nodes.update(g._nodes)
    g._nodes = g.engine.nodes = nodes
    del nodes
    armed.append(1)
    assert g["b"] == 2 and not armed
    with pytest.raises(NodeNotFound):
        g["b"]


def test_model_reads_the_native_path_hands_back():
    o = Order()
    assert (o.qty, o.total) == (2, 3.0)
    assert isinstance(Order.qty, Input) and isinstance(Order.total, Computed)
    assert Order.__dict__["qty"].__get__(None, Order) is Order.__dict__["qty"]
    with pytest.raises(AttributeError):
        Order.__dict__["qty"].__get__(object())
    with pytest.raises(AttributeError):
        Order.__dict__["total"].__get__(object())
    alive = _layer.Frame(None, None, None)
    with pytest.raises(AttributeError, match="reads"):
        in_context("x", getattr, o, "total")
    del alive
    spec = Order.__dict__["qty"]
    spec.name = 12
    try:
        with pytest.raises(KeyError):
            o.qty
    finally:
        spec.name = "qty"
    object.__setattr__(o, "_tarn_nodes", ("odd",))
    with pytest.raises(TypeError):
        o.total
    object.__setattr__(o, "_tarn_nodes", graph_of(o)._nodes)
    assert o.total == 3.0


def test_reads_inside_computations_are_recorded_in_order():
    g = small_graph()
    o = Order()

    @g.node
    def c(g):
        return o.total + o.qty + g["b"] + g["a"] + o.qty

    assert g["c"] == 10.0
    assert g.dependencies("c") == ((o, "total"), (o, "qty"), "b", "a")
    frame = _graph._Frame(g._nodes["c"], None, None)
    in_context(frame, lambda: (g["a"], o.price, o.total, g["a"]))
    assert list(frame.reads) == [g._nodes["a"], graph_of(o)._nodes["price"],
                                 graph_of(o)._nodes["total"]]
    assert frame.stale is False


def test_frames():
    node = small_graph()._nodes["b"]
    held = {}
    f = _layer.Frame(node, None, held)
    assert (f.node, f.parent, f.held, f.reads, f.stale) == (node, None, held, {}, False)
    inner = _layer.Frame(node, f, None)
    assert inner.parent is f and inner.reads is not f.reads
    f.stale = True
    assert f.stale is True
    for attr in ("node", "reads", "parent", "held"):
        with pytest.raises(AttributeError):
            setattr(f, attr, None)
    with pytest.raises(TypeError):
        f.stale = 1
    with pytest.raises(TypeError):
        _layer.Frame(node, None)
    with pytest.raises(TypeError):
        _layer.Frame(node, None, None, held=None)
    with pytest.raises(TypeError):
        type("Sub", (_layer.Frame,), {})


def test_setup_checks_every_part_before_storing_any():
    cases = [
        dict(cell=int),
        dict(cell=tarn.Node),  # not the layer's nodes, but a Node type: fine
        dict(current="x"),
        dict(read=1),
        dict(graph_read=None, read=_graph._read),
        dict(unknown=len),
    ]
    for parts in cases[:1] + cases[2:]:
        with pytest.raises(TypeError):
            _layer.setup(**parts)
    with pytest.raises(TypeError):
        _layer.setup(len)
    # Nothing was stored: the reads still go through the layer's parts.
    g = small_graph()
    assert g["b"] == 2 and Order().total == 3.0
    with pytest.raises(NodeNotFound):
        g["missing"]


def test_hits_hold_no_references():
    g, o = small_graph(), Order(qty=4)
    value = object()
    g["v"] = value
    node = g._nodes["v"]
    frame = _graph._Frame(g._nodes["b"], None, None)
    before = sys.getrefcount(value), sys.getrefcount(node)
    for _ in range(1000):
        g["v"]
        g["b"]
        o.qty
        o.total
    in_context(frame, lambda: [g["v"] for _ in range(1000)])
    assert (sys.getrefcount(value), sys.getrefcount(node) - 1) == before
    assert list(frame.reads) == [node]


def test_graphs_and_models_in_cycles_are_collected():
    g = small_graph()
    g["self"] = g
    o = Order()
    o.qty = o
    frame = _layer.Frame(None, None, None)
    marker = Marker()
    frame.reads[marker] = frame
    refs = [weakref.ref(g), weakref.ref(o), weakref.ref(marker)]
    del g, o, frame, marker
    gc.collect()
    assert [r() for r in refs] == [None, None, None]
