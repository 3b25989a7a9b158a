"""Pickling, copying and restoring nodes and engines."""

import builtins
import copy
import hashlib
import inspect
import pickle
import sys
from pickle import PickleError
from pathlib import Path

import pytest

from helpers import entries
from tarn import tarnwick
from tarn.tarnwick import DAGEngine, Node

DATA = Path(__file__).parent / "data"
sys.path.insert(0, str(DATA))
from stream_funcs import Slotted, Tagged, TaggedEngine, build_graph, build_tagged, price, total  # noqa: E402

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
NODE_SUM, ENGINE_SUM = 0x73A6EE8, 0x643D950
UN, UE = "__pyx_unpickle_Node", "__pyx_unpickle_DAGEngine"
U_NODE, U_ENGINE = getattr(tarnwick, UN), getattr(tarnwick, UE)
BLANK_STATE = (None, None, None, 0, None, False, False, None, None)
BLANK_FORM = (U_NODE, (Node, NODE_SUM, BLANK_STATE))
NODE_MISMATCH = ("Incompatible checksums ({} vs (0x73a6ee8, 0xb14322f, 0x987ea32) = (cached_value, dependencies,"
                 " dependents, flags, func, is_explicit, is_valid, name, static_dependencies))")
ENGINE_MISMATCH = "Incompatible checksums ({} vs (0x643d950, 0x63229e1, 0xa6d9f6b) = (call_stack, nodes))"
FIELDS = ("func", "cached_value", "flags", "is_valid", "is_explicit", "static_dependencies")
# build_graph() per node name: the FIELDS, then the names along dependencies and along dependents.
GRAPH = {
    "price": (price, 10, 3, True, True, [], [], ["total"]),
    "qty": (len, None, 0, False, False, [], ["total"], ["total"]),
    "total": (total, 30, -7, True, False, ["price", "qty"], ["price", "qty"], ["qty"]),
}
TupleSub, StrSub, ListSub, DictSub = (type(f"{base.__name__.title()}Sub", (base,), {})
                                      for base in (tuple, str, list, dict))
NoTruth = type("NoTruth", (), {"__bool__": lambda self: 1 / 0})


def shape(engine):
    """The registered nodes as plain data; every edge must lead to a registered node."""
    names = {id(node): key for key, node in engine.nodes.items()}
    result = {}
    for key, node in engine.nodes.items():
        assert type(node) is Node and node.name == key
        edges = [[names[id(other)] for other in getattr(node, f)] for f in ("dependencies", "dependents")]
        result[key] = tuple(getattr(node, f) for f in FIELDS) + tuple(edges)
    return result


def check_tagged(node):
    assert type(node) is Tagged and node.__dict__ == {"label": "hello", "extra": {"k": [1, 2]}}
    assert (node.name, node.func, node.flags, node.dependents, node.static_dependencies) == ("tagged", total, 2, [], [])
    (base,) = node.dependencies
    assert type(base) is Node and (base.name, base.func) == ("base", len) and base.dependents[0] is node


def fields(node):
    return (node.cached_value, node.dependencies, node.dependents, node.flags, node.func, node.is_explicit,
            node.is_valid, node.name, node.static_dependencies)


def at(name, line):
    return (f"tarn.tarnwick.{name}", "<stringsource>", line)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_round_trip(protocol):
    def again(obj):
        return pickle.loads(pickle.dumps(obj, protocol))

    engine = again(build_graph())
    assert type(engine) is DAGEngine and engine.call_stack == ["outer"] and shape(engine) == GRAPH
    assert fields(again(Node("a", price, True, [1], 2**31 - 1))) == ([1], [], [], 2**31 - 1, price, True, True, "a", [])
    check_tagged(again(build_tagged()))
    slotted = Slotted("s", len)
    slotted.add_dependency(slotted)
    slotted = again(slotted)
    assert type(slotted) is Slotted and not hasattr(slotted, "__dict__")
    assert slotted.dependencies[0] is slotted and slotted.dependents[0] is slotted


def test_reduce_values():
    node = Node("a", price)
    function, args, state = node.__reduce__()
    assert function is U_NODE and args == (Node, NODE_SUM, None)
    assert state == (None, [], [], 0, price, False, False, "a", [])
    assert all(state[i] is fields(node)[i] for i in (1, 2, 4, 7, 8))
    engine = DAGEngine()
    function, args, state = engine.__reduce__()
    assert function is U_ENGINE and args == (DAGEngine, ENGINE_SUM, None)
    assert len(state) == 2 and state[0] is engine.call_stack and state[1] is engine.nodes
    assert DAGEngine.__new__(DAGEngine).__reduce__() == (U_ENGINE, (DAGEngine, ENGINE_SUM, (None, None)))
    tagged = Tagged.__new__(Tagged)
    tagged.label = 1
    function, args, state = tagged.__reduce__()
    assert args == (Tagged, NODE_SUM, None) and state[:9] == BLANK_STATE and state[9] is tagged.__dict__


@pytest.mark.parametrize("field", ["cached_value", "dependencies", "dependents", "func", "name", "static_dependencies"])
def test_any_object_field_selects_the_setstate_form(field):
    node = Node.__new__(Node)
    node.flags, node.is_valid, node.is_explicit = 5, True, True
    assert node.__reduce__() == (U_NODE, (Node, NODE_SUM, (None, None, None, 5, None, True, True, None, None)))
    for protocol in PROTOCOLS:
        assert fields(pickle.loads(pickle.dumps(node, protocol))) == (None, None, None, 5, None, True, True, None, None)
    setattr(node, field, "" if field == "name" else [])
    function, args, state = node.__reduce__()
    assert args == (Node, NODE_SUM, None) and state[3] == 5 and state[5:7] == (True, True)


def test_copies():
    node = Node("a", price, False, [3], 4)
    twin = copy.copy(node)
    assert type(twin) is Node and twin is not node and fields(twin) == fields(node)
    assert all(getattr(twin, f) is getattr(node, f) for f in ("dependencies", "dependents", "static_dependencies"))
    engine = build_graph()
    twin = copy.copy(engine)
    assert twin.nodes is engine.nodes and twin.call_stack is engine.call_stack
    qty, price_node = engine.nodes["qty"], engine.nodes["price"]
    price_node.static_dependencies = qty.static_dependencies
    qty.cached_value = engine
    deep, deep_price = copy.deepcopy([engine, price_node])
    deep_qty = deep.nodes["qty"]
    assert deep_price is deep.nodes["price"] and deep_qty.cached_value is deep
    assert deep_price.static_dependencies is deep_qty.static_dependencies is not qty.static_dependencies
    assert all(deep.nodes[key] is not engine.nodes[key] for key in GRAPH)
    qty.cached_value = deep_qty.cached_value = None
    assert shape(deep) == shape(engine)


def test_reconstruction_function_is_looked_up_at_each_capture():
    stand_in = object()
    try:
        del tarnwick.__pyx_unpickle_Node
        for node, line in (Node("a", len), 13), (Node.__new__(Node), 15):
            with pytest.raises(NameError) as excinfo:
                node.__reduce__()
            assert str(excinfo.value) == "name '__pyx_unpickle_Node' is not defined"
            assert entries(excinfo.value) == [at("Node.__reduce_cython__", line)]
        builtins.__pyx_unpickle_Node = stand_in
        assert Node("a", len).__reduce__()[0] is stand_in
        tarnwick.__pyx_unpickle_Node = U_NODE
        assert Node("a", len).__reduce__()[0] is U_NODE
    finally:
        tarnwick.__pyx_unpickle_Node = U_NODE
        vars(builtins).pop("__pyx_unpickle_Node", None)


def restore(index, value):
    """A call restoring a blank state with `value` at `index` (index 9 adds a dictionary element)."""
    return lambda: Node("a", len).__setstate__(BLANK_STATE[:index] + (value,) + BLANK_STATE[index + 1:])


NODE_SET = [at("Node.__setstate_cython__", 17), at(UN + "__set_state", 12)]
ENGINE_SET = [at("DAGEngine.__setstate_cython__", 17), at(UE + "__set_state", 12)]
REFUSALS = [
    (lambda: U_NODE(Node, 1, None), PickleError, NODE_MISMATCH.format("0x1"), [at(UN, 6)]),
    (lambda: U_NODE(int, -1, None), PickleError, NODE_MISMATCH.format("0xffffffff"), [at(UN, 6)]),
    (lambda: U_NODE(Node, ENGINE_SUM, None), PickleError, NODE_MISMATCH.format("0x643d950"), [at(UN, 6)]),
    (lambda: U_NODE(Node, 121304808.5, None), PickleError, NODE_MISMATCH.format("0x73af6e8"), [at(UN, 6)]),
    (lambda: U_ENGINE(DAGEngine, NODE_SUM, None), PickleError, ENGINE_MISMATCH.format("0x73a6ee8"), [at(UE, 6)]),
    (lambda: U_NODE(Node, "x", None), TypeError, "an integer is required", [at(UN, 4)]),
    (lambda: U_NODE(Node, 2**31, None), OverflowError, None, [at(UN, 4)]),
    (lambda: U_NODE(Node, NODE_SUM), TypeError, UN + "() takes exactly 3 positional arguments (2 given)", [at(UN, 4)]),
    (lambda: U_NODE(Node, NODE_SUM, TupleSub()), TypeError,
     "Argument '__pyx_state' has incorrect type (expected tuple, got TupleSub)", []),
    (lambda: U_NODE(int, NODE_SUM, None), TypeError,
     "tarn.tarnwick.Node.__new__(int): int is not a subtype of tarn.tarnwick.Node", [at(UN, 7)]),
    (lambda: U_NODE(Node, NODE_SUM, BLANK_STATE[:4]), IndexError, "tuple index out of range",
     [at(UN, 9), NODE_SET[1]]),
    (lambda: Node("a", len).__setstate__(), TypeError,
     "__setstate_cython__() takes exactly 1 positional argument (0 given)", [at("Node.__setstate_cython__", 16)]),
    (lambda: Node("a", len).__setstate__(None), TypeError,
     "cannot pass None into a C function argument that is declared 'not None'", NODE_SET[:1]),
    (lambda: DAGEngine().__setstate__(TupleSub(([], {}))), TypeError, "Expected tuple, got TupleSub", ENGINE_SET[:1]),
    (restore(1, ()), TypeError, "Expected list, got tuple", NODE_SET),
    (restore(8, ListSub()), TypeError, "Expected list, got ListSub", NODE_SET),
    (restore(7, StrSub()), TypeError, "Expected str, got StrSub", NODE_SET),
    (restore(3, "3"), TypeError, "an integer is required", NODE_SET),
    (restore(6, NoTruth()), ZeroDivisionError, "division by zero", NODE_SET),
    (lambda: DAGEngine().__setstate__(([], DictSub())), TypeError, "Expected dict, got DictSub", ENGINE_SET),
    (restore(9, {"x": 1}), AttributeError, "This object has no __dict__", [NODE_SET[0], at(UN + "__set_state", 13)]),
    (lambda: DAGEngine().__setstate__((None, None, {"x": 1})), AttributeError, "This object has no __dict__",
     [ENGINE_SET[0], at(UE + "__set_state", 13)]),
]


@pytest.mark.parametrize("call, kind, message, where", REFUSALS)
def test_refusals(call, kind, message, where):
    with pytest.raises(kind) as excinfo:
        call()
    assert type(excinfo.value) is kind and (message is None or str(excinfo.value) == message)
    assert entries(excinfo.value) == where


def test_restoring_stores_fields_in_order_up_to_a_failure():
    node = Node("a", len, True, "old", 9)
    node.static_dependencies = ["keep"]
    deps = [node]
    with pytest.raises(IndexError):
        node.__setstate__(("new", deps, None, 4))
    assert fields(node) == ("new", [node], None, 4, len, True, True, "a", ["keep"]) and node.dependencies is deps
    for extra in ({}, None):
        node.__setstate__((2, None, None, 3.9, total, 1, (), "b", None, extra))
        assert fields(node) == (2, None, None, 3, total, True, False, "b", None)
    with pytest.raises(AttributeError):
        node.__setstate__((5, [], [], 1, len, 0, 1, "c", [], {"x": 1}))
    assert fields(node) == (5, [], [], 1, len, False, True, "c", [])
    tagged = Tagged("t", len)
    tagged.a, tagged.b = 1, 2
    assert tagged.__setstate__(BLANK_STATE + ({"b": 3, "c": 4}, "ignored")) is None
    assert tagged.__dict__ == {"a": 1, "b": 3, "c": 4} and fields(tagged) == BLANK_STATE


def test_reconstruction():
    blank = U_NODE(__pyx_type=Tagged, __pyx_checksum=NODE_SUM, __pyx_state=None)
    assert blank.__reduce__() == (U_NODE, (Tagged, NODE_SUM, BLANK_STATE)) and blank.__dict__ == {}
    node = U_NODE(Node, NODE_SUM, (1, [], None, 3.9, len, 1, [], "n", None))
    assert type(node) is Node and fields(node) == (1, [], None, 3, len, True, False, "n", None)
    engine = U_ENGINE(TaggedEngine, ENGINE_SUM, None)
    assert type(engine) is TaggedEngine and (engine.nodes, engine.call_stack) == (None, None)


@pytest.mark.parametrize("names, unpickle, cls, expected", [
    ("cached_value dependencies dependents flags func is_explicit is_valid name static_dependencies",
     U_NODE, Node, (0x73A6EE8, 0xB14322F, 0x987EA32)),
    ("call_stack nodes", U_ENGINE, DAGEngine, (0x643D950, 0x63229E1, 0xA6D9F6B)),
])
def test_checksums_derive_from_the_field_names(names, unpickle, cls, expected):
    assert names.split() == sorted(names.split())
    sums = tuple(int(hashlib.new(alg, names.encode()).hexdigest()[:7], 16) for alg in ("sha256", "sha1", "md5"))
    assert sums == expected and cls.__new__(cls).__reduce__()[1][1] == sums[0]
    # A float is truncated first: 0x73a6ee8 + 0.5 (121269992.5) is accepted for Node.
    assert all(type(unpickle(cls, checksum, None)) is cls for checksum in sums + (sums[0] + 0.5,))


@pytest.mark.parametrize("protocol", (0, 2, 5))
def test_stored_streams_still_load(protocol):
    def load(kind):
        data = (DATA / f"{kind}_p{protocol}.pickle").read_bytes()
        assert b"tarn.tarnwick" in data and b"__pyx_unpickle_" in data
        return pickle.loads(data)

    assert load("blank_node").__reduce__() == BLANK_FORM
    engine = load("graph")
    assert type(engine) is DAGEngine and engine.call_stack == ["outer"] and shape(engine) == GRAPH
    check_tagged(load("tagged"))


def test_large_graph_survives_a_round_trip():
    engine = DAGEngine()
    for group in range(200):
        names = [f"g{group}.{i}" for i in range(50)]
        for i, name in enumerate(names):
            node = engine.add_node(name, (len, price, total)[i % 3], i % 7 == 0, (group, i), group * 50 + i)
            node.is_valid, node.static_dependencies = i % 2, names[i - 1:i]
        for i, name in enumerate(names):
            engine.add_edge(name, names[(i + 1) % 50])
            engine.add_edge(name, names[i * 7 % 50])
    before = shape(engine)
    back = pickle.loads(pickle.dumps(engine, 5))
    assert len(back.nodes) == 10_000 and shape(back) == before


@pytest.mark.parametrize("cls", [Node, DAGEngine])
def test_protocol_names_are_the_registered_operations(cls):
    assert cls.__reduce__ is cls.__reduce_cython__
    assert cls.__setstate__ is cls.__setstate_cython__
    assert cls.__setstate__.__module__ == "tarn.tarnwick"
    assert str(inspect.signature(cls.__setstate__)) == "(self, __pyx_state)"
    with pytest.raises(TypeError) as excinfo:
        cls.__reduce__()
    assert str(excinfo.value) == "__reduce_cython__() needs an argument"
    with pytest.raises(TypeError) as excinfo:
        cls.__setstate__()
    assert str(excinfo.value) == "__setstate_cython__() needs an argument"
    obj = cls("a", len) if cls is Node else DAGEngine()
    for protocol in PROTOCOLS:
        assert type(pickle.loads(pickle.dumps(obj, protocol))) is cls
    assert type(copy.copy(obj)) is type(copy.deepcopy(obj)) is cls


@pytest.mark.parametrize("stand_in", [5, "PickleError", int, None])
def test_checksum_refusal_with_pickle_error_rebound(monkeypatch, stand_in):
    # Raising something that is no exception class is what a raise
    # statement refuses; the refusal carries the checksum failure's entry.
    monkeypatch.setattr(pickle, "PickleError", stand_in)
    with pytest.raises(TypeError) as excinfo:
        U_NODE(Node, 1, None)
    assert str(excinfo.value) == "exceptions must derive from BaseException"
    assert entries(excinfo.value) == [at(UN, 6)]
    monkeypatch.setattr(pickle, "PickleError", KeyError)
    with pytest.raises(KeyError):
        U_ENGINE(DAGEngine, 1, None)
