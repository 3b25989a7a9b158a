"""The registry: its two fields, add_node, add_edge and lookups by name."""

import pytest

from engine_support import Boom, Collider, at, boom, ident
from helpers import entries
from tarn.tarnwick import DAGEngine, Node

GET = "'NoneType' object has no attribute 'get'"


def test_fields_are_the_engines_own_containers():
    blank = DAGEngine.__new__(DAGEngine)
    assert blank.nodes is None and blank.call_stack is None
    e = DAGEngine()
    nodes, a = e.nodes, e.add_node("a", ident)
    e.__init__()
    assert e.nodes == {} and nodes == {"a": a} and type(a) is Node
    del e.nodes, e.call_stack
    assert e.nodes is None and e.call_stack is None


@pytest.mark.parametrize("attr, value, message, line", [
    ("nodes", type("D", (dict,), {})(), "Expected dict, got D", 67),
    ("call_stack", type("L", (list,), {})(), "Expected list, got L", 68),
])
def test_refused_field_writes(attr, value, message, line):
    e = DAGEngine()
    before = getattr(e, attr)
    with pytest.raises(TypeError) as exc:
        setattr(e, attr, value)
    assert str(exc.value) == message
    assert entries(exc.value) == at(f"DAGEngine.{attr}.__set__", line)
    assert getattr(e, attr) is before


def test_add_node_and_add_edge():
    e = DAGEngine()
    x = e.add_node("x", ident, 1, 5, True)
    assert (x.is_explicit, x.is_valid, x.cached_value, x.flags) == (True, True, 5, 1)
    a, b = e.add_node("a", ident), e.add_node(None, ident)
    for names in [("a", "x"), ("a", "x"), ("a", "z"), ("z", "x"), (None, None)]:
        assert e.add_edge(*names) is None
    assert (a.dependencies, x.dependents, b.dependencies, b.dependents) == (
        [x], [a], [b], [b])
    replacement = e.add_node("a", len)
    assert e.nodes["a"] is replacement and x.dependents == [a]


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
