"""The engine's registry: its two fields, add_node, add_edge, and lookups by
name in a registry that is missing or misbehaves."""

import pytest

from engine_support import Boom, Collider, at, boom, ident
from helpers import entries
from tarn.tarnwick import DAGEngine, Node

GET = "'NoneType' object has no attribute 'get'"


def test_fields_are_the_engines_own_containers():
    blank = DAGEngine.__new__(DAGEngine)
    assert blank.nodes is None and blank.call_stack is None
    e = DAGEngine()
    a = e.add_node("a", ident)
    nodes, stack = e.nodes, e.call_stack
    assert nodes == {"a": a} and type(a) is Node and stack == []
    e.__init__()
    assert e.nodes == {} and e.nodes is not nodes and nodes == {"a": a}
    del e.nodes, e.call_stack
    assert e.nodes is None and e.call_stack is None


@pytest.mark.parametrize("attr, value, message, line", [
    ("nodes", type("D", (dict,), {})(), "Expected dict, got D", 67),
    ("nodes", [], "Expected dict, got list", 67),
    ("call_stack", type("L", (list,), {})(), "Expected list, got L", 68),
    ("call_stack", (), "Expected list, got tuple", 68),
])
def test_refused_field_writes(attr, value, message, line):
    e = DAGEngine()
    before = getattr(e, attr)
    with pytest.raises(TypeError) as exc:
        setattr(e, attr, value)
    assert str(exc.value) == message
    assert entries(exc.value) == at(f"DAGEngine.{attr}.__set__", line)
    assert getattr(e, attr) is before


def test_add_node_registers_and_replaces():
    e = DAGEngine()
    x = e.add_node("x", ident, 1, 5, True)
    assert (x.name, x.func, x.is_explicit, x.is_valid) == ("x", ident, True, True)
    assert (x.cached_value, x.flags, x.static_dependencies) == (5, 1, [])
    a = e.add_node("a", ident)
    e.add_edge("a", "x")
    replacement = e.add_node("a", len)
    assert e.nodes["a"] is replacement and replacement.dependencies == []
    assert a.dependencies == [x] and x.dependents == [a]
    assert e.add_node(None, ident) is e.nodes[None]


def test_add_edge_links_registered_nodes_once():
    e = DAGEngine()
    a, b = e.add_node("a", ident), e.add_node("b", ident)
    for names in [("a", "b"), ("a", "b"), ("a", "z"), ("z", "b"), ("b", "b")]:
        assert e.add_edge(*names) is None
    assert (a.dependencies, a.dependents) == ([b], [])
    assert (b.dependencies, b.dependents) == ([b], [a, b])


def drop_registry(e):
    e.nodes = None
    return False


def collide(key, on_eq):
    return lambda e: e.nodes.__setitem__(Collider(key, lambda: on_eq(e)), None)


@pytest.mark.parametrize("prepare, call, exc_type, message, expected", [
    (drop_registry, lambda e: e.add_node("a", ident), TypeError,
     "'NoneType' object is not subscriptable", at("DAGEngine.add_node", 74, 76)),
    (drop_registry, lambda e: e.add_edge("a", "b"),
     AttributeError, GET, at("DAGEngine.add_edge", 79, 80)),
    (drop_registry, lambda e: e.evaluate("a", None),
     AttributeError, GET, at("DAGEngine.evaluate", 97, 98)),
    (drop_registry, lambda e: e.invalidate("a"),
     AttributeError, GET, at("DAGEngine.invalidate", 92, 93)),
    (collide("a", boom), lambda e: e.add_node("a", ident),
     Boom, "boom", at("DAGEngine.add_node", 74, 76)),
    (collide("a", boom), lambda e: e.add_edge("a", "b"),
     Boom, "boom", at("DAGEngine.add_edge", 79, 80)),
    (collide("b", boom), lambda e: e.add_edge("a", "b"),
     Boom, "boom", at("DAGEngine.add_edge", 79, 81)),
    (collide("a", drop_registry), lambda e: e.add_edge("a", "b"),
     AttributeError, GET, at("DAGEngine.add_edge", 79, 81)),
    (collide("a", boom), lambda e: e.evaluate("a", None),
     Boom, "boom", at("DAGEngine.evaluate", 97, 98)),
    # one lookup only: the key's __eq__ must not run a second time
    (collide("a", drop_registry), lambda e: e.evaluate("a", None), ValueError,
     "Node 'a' not found in DAG", at("DAGEngine.evaluate", 97, 101)),
    (collide("a", boom), lambda e: e.invalidate("a"),
     Boom, "boom", at("DAGEngine.invalidate", 92, 93)),
])
def test_registry_failures(prepare, call, exc_type, message, expected):
    e = DAGEngine()
    registry = e.nodes  # noqa: F841 (keeps the dict alive during lookups)
    prepare(e)
    with pytest.raises(exc_type) as exc:
        call(e)
    assert str(exc.value) == message and entries(exc.value) == expected


def access_from_a(e):
    e.call_stack.append("a")
    e.record_access("x")


@pytest.mark.parametrize("call, expected", [
    (lambda e: e.evaluate("x", None), at("DAGEngine.evaluate", 97, 98)),
    (lambda e: e.add_edge("x", "a"), at("DAGEngine.add_edge", 79, 80)),
    (lambda e: e.add_edge("a", "x"), at("DAGEngine.add_edge", 79, 81)),
    (lambda e: e.invalidate("x"), at("DAGEngine.invalidate", 92, 93)),
    (access_from_a,
     at("DAGEngine.record_access", 85, 90) + at("DAGEngine.add_edge", 81)),
])
def test_registry_values_that_are_not_nodes(call, expected):
    e = DAGEngine()
    a = e.add_node("a", ident)
    e.nodes["x"] = 5
    with pytest.raises(TypeError) as exc:
        call(e)
    assert str(exc.value) == "Cannot convert int to tarn.tarnwick.Node"
    assert entries(exc.value) == expected
    assert e.nodes == {"a": a, "x": 5} and a.dependencies == a.dependents == []


def test_a_registered_none_counts_as_absent():
    e = DAGEngine()
    e.nodes["x"] = None
    assert e.add_edge("x", "x") is None and e.invalidate("x") is None
    with pytest.raises(ValueError) as exc:
        e.evaluate("x", None)
    assert str(exc.value) == "Node 'x' not found in DAG"
