"""The published operation tables, called as another native module would."""

import pathlib
import sys

import pytest

from engine_support import Boom, at, boom, ident, subclass
from helpers import entries
from tarn.tarnwick import DAGEngine, Node

sys.path.insert(0, str(pathlib.Path(__file__).parent / "native"))
tc = pytest.importorskip(
    "_tablecheck",
    reason="tests/native has no built _tablecheck (tools/build-dev builds it)")

GET = "'NoneType' object has no attribute 'get'"


@pytest.mark.parametrize("call, exc_type, message, expected", [
    (lambda e: tc.engine_add_node(e, "a", ident, 0, None, 0, 0), TypeError,
     "'NoneType' object is not subscriptable", at("DAGEngine.add_node", 76)),
    (lambda e: tc.engine_add_edge(e, "a", "b", 0),
     AttributeError, GET, at("DAGEngine.add_edge", 80)),
    (lambda e: tc.engine_record_access(e, "a", 0), AttributeError, GET,
     at("DAGEngine.record_access", 90) + at("DAGEngine.add_edge", 80)),
    (lambda e: tc.engine_invalidate(e, "a", 0),
     AttributeError, GET, at("DAGEngine.invalidate", 93)),
    (lambda e: tc.engine_evaluate(e, "a", None, 0),
     AttributeError, GET, at("DAGEngine.evaluate", 98)),
])
def test_slot_failures_carry_only_the_internal_entries(call, exc_type, message,
                                                        expected):
    e = DAGEngine()
    e.nodes, e.call_stack = None, ["x"]
    with pytest.raises(exc_type) as exc:
        call(e)
    assert str(exc.value) == message and entries(exc.value) == expected


ENGINE_OPS = ("add_node", "add_edge", "record_access", "evaluate", "invalidate")


@pytest.mark.parametrize("dispatch", [1, 0])
def test_slots_call_replacements_only_with_dispatch_allowed(dispatch):
    log, node = [], Node("other", ident)
    e = subclass(DAGEngine, *ENGINE_OPS, log=log, result=node)()
    b = e.nodes["b"] = Node("b", ident)
    node_type = subclass(Node, "add_dependency", "invalidate", log=log)
    n, m = node_type("n", ident), node_type("m", ident)
    m.is_valid = True
    e.call_stack.append("b")
    results = [tc.engine_add_node(e, "a", ident, 0, None, 3, dispatch),
               tc.engine_add_edge(e, "a", "b", dispatch),
               tc.engine_record_access(e, "a", dispatch),
               tc.engine_evaluate(e, "a", 9, dispatch),
               tc.engine_invalidate(e, "a", dispatch),
               tc.node_add_dependency(n, m, dispatch),
               tc.node_invalidate(m, dispatch)]
    if dispatch:
        assert results == [node, None, None, node, None, None, None]
        assert log == [("add_node", e, "a", ident, False, None, 3),
                       ("add_edge", e, "a", "b"), ("record_access", e, "a"),
                       ("evaluate", e, "a", 9), ("invalidate", e, "a"),
                       ("add_dependency", "n", "m"), ("invalidate", "m")]
        assert e.nodes == {"b": b} and n.dependencies == [] and m.is_valid
        quiet = subclass(DAGEngine, "add_node", log=[])()
        assert tc.engine_add_node(quiet, "a", ident, 0, None, 0, 1) is None
    else:
        a = e.nodes["a"]
        assert results == [a, None, None, 9, None, None, None] and type(a) is Node
        assert (a.flags, a.dependencies, a.is_valid) == (3, [b], False)
        # record_access hands its edge on to add_edge, and the walk from m
        # reaches n, both with dispatch allowed
        assert log == [("add_edge", e, "b", "a"), ("invalidate", "n")]
        assert n.dependencies == [m] and m.dependents == [n] and not m.is_valid


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
