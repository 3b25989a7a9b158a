"""Recorded accesses become edges; invalidation by name follows them."""

import pytest

from engine_support import Boom, at, ident
from helpers import entries
from tarn.tarnwick import DAGEngine

RA, AE, INV = "DAGEngine.record_access", "DAGEngine.add_edge", "DAGEngine.invalidate"


def test_nothing_happens_without_a_running_node_or_a_registered_name():
    e = DAGEngine()
    a = e.add_node("a", ident, True, 3)
    assert e.record_access("a") is e.record_access("zz") is None
    e.call_stack = None
    assert e.record_access("a") is e.invalidate("zz") is e.invalidate(None) is None
    assert e.invalidate("a") is None and (a.is_valid, a.cached_value) == (True, 3)
    assert a.dependencies == a.dependents == [] and list(e.nodes) == ["a"]


def test_accesses_of_the_running_node_become_edges_once():
    e = DAGEngine()
    a = e.add_node("a", lambda obj: [e.record_access(name)
                                     for name in ("b", "b", "a", "zz", None)])
    b = e.add_node("b", ident)
    e.evaluate("a", 1)
    assert (a.dependencies, a.dependents, b.dependencies, b.dependents) == (
        [b], [], [], [a])
    e.call_stack.append("b")  # pushed by a script: still the running node
    e.record_access("a")
    assert a.dependents == [b] and b.dependencies == [a]


def test_the_running_name_is_compared_by_value():
    e = DAGEngine()
    for name in ("node", "nodé", "nodf", "nod"):
        e.add_node(name, ident)
    e.call_stack.append("".join(["no", "de"]))  # equal, not the same object
    for name in ("node", "nodé", "nodf", "nod", "".join(["no", "de"])):
        e.record_access(name)
    assert [d.name for d in e.nodes["node"].dependencies] == ["nodé", "nodf", "nod"]


@pytest.mark.parametrize("evaluates_b", [True, False])
def test_dynamic_dependency_cycle(evaluates_b):
    e, calls = DAGEngine(), []

    def fa(obj):
        calls.append("a")
        e.record_access("b")
        return e.evaluate("b", obj) if evaluates_b else "A"
    a = e.add_node("a", fa)
    b = e.add_node("b", lambda obj: calls.append("b") or "B")
    e.evaluate("b", None)
    e.evaluate("a", None)
    assert calls == ["b", "a"] and a.is_valid and b.is_valid
    e.invalidate("b")
    assert (a.is_valid, a.cached_value, b.is_valid, b.cached_value) == (
        False, None, False, None)
    e.evaluate("a", None)
    assert calls == ["b", "a", "a"] + ["b"] * evaluates_b


class Unequal:
    def __ne__(self, other):
        raise Boom("boom")


@pytest.mark.parametrize("prepare, call, exc_type, message, expected", [
    (lambda e, a, b: e.call_stack.append(Unequal()),
     lambda e: e.record_access("b"), Boom, "boom", at(RA, 85, 89)),
    (lambda e, a, b: [e.call_stack.append("a"), setattr(e, "nodes", None)],
     lambda e: e.record_access("b"), AttributeError,
     "'NoneType' object has no attribute 'get'", at(RA, 85, 90) + at(AE, 80)),
    (lambda e, a, b: e.call_stack.append([1]), lambda e: e.record_access("b"),
     TypeError, "unhashable type: 'list'", at(RA, 85, 90) + at(AE, 80)),
    (lambda e, a, b: [e.call_stack.append("a"), setattr(b, "dependents", None)],
     lambda e: e.record_access("b"), AttributeError,
     "'NoneType' object has no attribute 'append'",
     at(RA, 85, 90) + at(AE, 83) + at("Node.add_dependency", 47)),
    (lambda e, a, b: [setattr(a, "is_valid", True), setattr(a, "dependents", None)],
     lambda e: e.invalidate("a"), TypeError, "'NoneType' object is not iterable",
     at(INV, 92, 95) + at("Node.invalidate", 61)),
])
def test_failures(prepare, call, exc_type, message, expected):
    e = DAGEngine()
    a, b = e.add_node("a", ident), e.add_node("b", ident)
    prepare(e, a, b)
    with pytest.raises(exc_type) as exc:
        call(e)
    assert str(exc.value) == message and entries(exc.value) == expected
    assert (a.is_valid, a.cached_value) == (False, None)
