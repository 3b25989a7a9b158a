"""The tables of overridable operations, called the way another native
module calls them (through the test-only module _tablecheck): slot order,
and override dispatch allowed or suppressed."""

import pathlib
import sys

import pytest

from engine_support import Boom, at, boom, ident
from helpers import entries
from tarn.tarnwick import DAGEngine, Node

sys.path.insert(0, str(pathlib.Path(__file__).parent / "native"))
tc = pytest.importorskip(
    "_tablecheck",
    reason="tests/native has no built _tablecheck (tools/build-dev builds it)")


@pytest.mark.parametrize("dispatch", [0, 1])
def test_each_slot_does_its_own_operation(dispatch):
    e = DAGEngine()
    a = tc.engine_add_node(e, "a", str, 0, None, 7, dispatch)
    b = tc.engine_add_node(e, "b", ident, 1, 5, 0, dispatch)
    c = tc.engine_add_node(e, "c", ident, 0, None, 0, dispatch)
    assert e.nodes == {"a": a, "b": b, "c": c} and type(a) is Node
    assert (a.flags, a.is_explicit, b.is_valid, b.cached_value) == (7, False, True, 5)
    assert tc.engine_add_edge(e, "a", "b", dispatch) is None
    assert a.dependencies == [b] and b.dependents == [a]
    assert tc.engine_evaluate(e, "a", 3, dispatch) == "3" and a.is_valid
    e.call_stack.append("c")
    assert tc.engine_record_access(e, "a", dispatch) is None
    assert c.dependencies == [a] and a.dependents == [c]
    c.is_valid = True
    assert tc.engine_invalidate(e, "a", dispatch) is None
    assert not a.is_valid and not c.is_valid
    assert tc.node_add_dependency(c, b, dispatch) is None
    assert c.dependencies == [a, b] and b.dependents == [a, c]
    a.is_valid = c.is_valid = True
    assert tc.node_invalidate(a, dispatch) is None
    assert not a.is_valid and not c.is_valid


@pytest.mark.parametrize("call, exc_type, message, expected", [
    (lambda e: tc.engine_add_node(e, "a", ident, 0, None, 0, 0), TypeError,
     "'NoneType' object is not subscriptable", at("DAGEngine.add_node", 76)),
    (lambda e: tc.engine_add_edge(e, "a", "b", 0), AttributeError,
     "'NoneType' object has no attribute 'get'", at("DAGEngine.add_edge", 80)),
    (lambda e: tc.engine_record_access(e, "a", 0), AttributeError,
     "'NoneType' object has no attribute 'get'",
     at("DAGEngine.record_access", 90) + at("DAGEngine.add_edge", 80)),
    (lambda e: tc.engine_invalidate(e, "a", 0), AttributeError,
     "'NoneType' object has no attribute 'get'", at("DAGEngine.invalidate", 93)),
    (lambda e: tc.engine_evaluate(e, "a", None, 0), AttributeError,
     "'NoneType' object has no attribute 'get'", at("DAGEngine.evaluate", 98)),
])
def test_slot_failures_carry_only_the_internal_entries(call, exc_type, message,
                                                        expected):
    e = DAGEngine()
    e.nodes, e.call_stack = None, ["x"]
    with pytest.raises(exc_type) as exc:
        call(e)
    assert str(exc.value) == message and entries(exc.value) == expected


calls = []


class Replaced(DAGEngine):
    result = None

    def add_node(self, *args):
        calls.append(("add_node",) + args)
        return self.result

    def add_edge(self, *args):
        calls.append(("add_edge",) + args)

    def record_access(self, *args):
        calls.append(("record_access",) + args)

    def invalidate(self, *args):
        calls.append(("invalidate",) + args)

    def evaluate(self, *args):
        calls.append(("evaluate",) + args)
        return "replaced"


class ReplacedNode(Node):
    def add_dependency(self, dep):
        calls.append(("add_dependency", self.name, dep.name))

    def invalidate(self):
        calls.append(("Node.invalidate", self.name))


def run_every_slot(e, dispatch):
    calls.clear()
    e.call_stack.append("b")
    n, m = ReplacedNode("n", ident), ReplacedNode("m", ident, True)
    return [tc.engine_add_node(e, "a", ident, 1, 5, 3, dispatch),
            tc.engine_add_edge(e, "a", "b", dispatch),
            tc.engine_record_access(e, "a", dispatch),
            tc.engine_invalidate(e, "a", dispatch),
            tc.engine_evaluate(e, "a", 9, dispatch),
            tc.node_add_dependency(n, m, dispatch),
            tc.node_invalidate(n, dispatch)], n, m


def test_dispatch_allowed_calls_the_replacements():
    e = Replaced()
    e.result = node = Node("other", ident)
    results, n, m = run_every_slot(e, 1)
    assert results == [node, None, None, None, "replaced", None, None]
    assert calls == [("add_node", "a", ident, True, 5, 3),
                     ("add_edge", "a", "b"), ("record_access", "a"),
                     ("invalidate", "a"), ("evaluate", "a", 9),
                     ("add_dependency", "n", "m"), ("Node.invalidate", "n")]
    assert e.nodes == {} and n.dependencies == []
    e.result = None
    assert tc.engine_add_node(e, "a", ident, 0, None, 0, 1) is None


def test_dispatch_suppressed_does_the_native_work():
    e = Replaced()
    results, n, m = run_every_slot(e, 0)
    a = e.nodes["a"]
    assert results == [a, None, None, None, 5, None, None]
    # record_access still hands the edge to add_edge with dispatch allowed
    assert calls == [("add_edge", "b", "a")]
    assert type(a) is Node and (a.is_explicit, a.flags, a.dependencies) == (True, 3, [])
    assert n.dependencies == [m] and m.dependents == [n]


@pytest.mark.parametrize("replacement, exc_type, message", [
    (lambda self, *args: 5, TypeError, "Cannot convert int to tarn.tarnwick.Node"),
    (lambda self, *args: "n", TypeError, "Cannot convert str to tarn.tarnwick.Node"),
    (boom, Boom, "boom"),
])
def test_add_node_replacement_results(replacement, exc_type, message):
    e = type("Sub", (DAGEngine,), {"add_node": replacement})()
    with pytest.raises(exc_type) as exc:
        tc.engine_add_node(e, "a", ident, 0, None, 0, 1)
    assert str(exc.value) == message
    assert entries(exc.value) == at("DAGEngine.add_node", 74) and e.nodes == {}
    assert type(tc.engine_add_node(e, "a", ident, 0, None, 0, 0)) is Node
