"""The operations' calls to one another honour script replacements."""

import pytest

from engine_support import Boom, at, boom, ident, subclass
from helpers import entries
from tarn.tarnwick import DAGEngine, Node


def test_calls_between_operations_reach_the_replacements():
    log, obj = [], object()
    LogNode = subclass(Node, "add_dependency", "invalidate", log=log, delegate=True)
    e = subclass(DAGEngine, "add_edge", "evaluate", log=log, delegate=True)()
    e.nodes = {name: LogNode(name, ident) for name in "tab"}
    t = e.nodes["t"]
    t.func = lambda o: e.record_access("b") or e.evaluate("b", o)
    t.static_dependencies.append("a")
    assert e.evaluate("t", obj) is obj
    assert log == [("evaluate", e, "t", obj), ("evaluate", e, "a", obj),
                   ("add_edge", e, "t", "b"), ("add_dependency", "t", "b"),
                   ("evaluate", e, "b", obj)]
    log.clear()
    e.invalidate("b")
    assert log == [("invalidate", "b"), ("invalidate", "t")]
    assert not t.is_valid and e.nodes["a"].is_valid


def test_evaluate_replacement_is_called_once_per_static_dependency():
    log, obj = [], object()
    e = subclass(DAGEngine, "evaluate", log=log, result="ignored")()
    t = e.add_node("t", lambda o: "T")
    a = e.add_node("a", ident)
    t.static_dependencies.extend(["a", "b", "a"])
    assert DAGEngine.evaluate(e, "t", obj) == "T"
    assert log == [("evaluate", e, name, obj) for name in "aba"]
    assert not a.is_valid


def test_binding_the_inherited_method_is_no_replacement():
    e = type("Alias", (DAGEngine,), {"evaluate": DAGEngine.evaluate})()
    e.add_node("t", ident).static_dependencies.append("missing")
    with pytest.raises(ValueError) as exc:
        e.evaluate("t", None)
    assert entries(exc.value) == at("DAGEngine.evaluate", 97, 107, 101)


@pytest.mark.parametrize("failing", [boom, property(boom)], ids=["call", "lookup"])
@pytest.mark.parametrize("base, op, run, expected", [
    (DAGEngine, "evaluate", lambda e: DAGEngine.evaluate(e, "t", None),
     at("DAGEngine.evaluate", 97, 107, 97)),
    (DAGEngine, "add_edge", lambda e: [e.call_stack.append("t"),
                                       e.record_access("a")],
     at("DAGEngine.record_access", 85, 90) + at("DAGEngine.add_edge", 79)),
    (Node, "add_dependency", lambda e: DAGEngine.add_edge(e, "t", "a"),
     at("DAGEngine.add_edge", 79, 83) + at("Node.add_dependency", 43)),
    (Node, "invalidate", lambda e: DAGEngine.invalidate(e, "a"),
     at("DAGEngine.invalidate", 92, 95) + at("Node.invalidate", 49)),
])
def test_failing_replacements(failing, base, op, run, expected):
    sub = type("Sub", (base,), {op: failing})
    e = sub() if base is DAGEngine else DAGEngine()
    e.nodes = {name: (sub if base is Node else Node)(name, ident) for name in "ta"}
    e.nodes["t"].static_dependencies.append("a")
    with pytest.raises(Boom) as exc:
        run(e)
    assert entries(exc.value) == expected
    assert e.nodes["t"].dependencies == [] and not e.nodes["t"].is_valid
