"""Script subclasses: the engine's calls between its own operations go to
a subclass's replacements, on the engine and on its nodes."""

import pytest

from engine_support import Boom, at, boom, ident
from helpers import entries
from tarn.tarnwick import DAGEngine, Node

log = []


class LogNode(Node):
    def add_dependency(self, dep):
        log.append(("add_dependency", self.name, dep.name))
        super().add_dependency(dep)

    def invalidate(self):
        log.append(("Node.invalidate", self.name))
        super().invalidate()


class LogEngine(DAGEngine):
    def add_node(self, name, func, *rest):
        log.append(("add_node", name))
        node = self.nodes[name] = LogNode(name, func, *rest)
        return node

    def add_edge(self, dependent_name, dependency_name):
        log.append(("add_edge", dependent_name, dependency_name))
        super().add_edge(dependent_name, dependency_name)

    def record_access(self, accessed_node_name):
        log.append(("record_access", accessed_node_name))
        super().record_access(accessed_node_name)

    def invalidate(self, name):
        log.append(("DAGEngine.invalidate", name))
        super().invalidate(name)

    def evaluate(self, name, instance):
        log.append(("evaluate", name, instance))
        return super().evaluate(name, instance)


def test_calls_between_operations_reach_the_replacements():
    e, obj = LogEngine(), object()
    t = e.add_node("t", lambda o: e.record_access("b") or e.evaluate("b", o))
    e.add_node("a", ident)
    e.add_node("b", lambda o: "B")
    t.static_dependencies.append("a")
    log.clear()
    assert e.evaluate("t", obj) == "B"
    assert log == [("evaluate", "t", obj), ("evaluate", "a", obj),
                   ("record_access", "b"), ("add_edge", "t", "b"),
                   ("add_dependency", "t", "b"), ("evaluate", "b", obj)]
    log.clear()
    e.invalidate("b")
    assert log == [("DAGEngine.invalidate", "b"), ("Node.invalidate", "b"),
                   ("Node.invalidate", "t")]
    assert not t.is_valid and e.nodes["a"].is_valid


def test_evaluate_replacement_is_called_once_per_static_dependency():
    calls = []

    class Stub(DAGEngine):
        def evaluate(self, name, instance):
            calls.append((name, instance))
            return "ignored"
    e, obj = Stub(), object()
    t = e.add_node("t", lambda o: "T")
    e.add_node("a", ident)
    t.static_dependencies.extend(["a", "b", "a"])
    assert DAGEngine.evaluate(e, "t", obj) == "T"
    assert calls == [("a", obj), ("b", obj), ("a", obj)]
    assert not e.nodes["a"].is_valid
    plain = type("Plain", (DAGEngine,), {})()
    plain.nodes = e.nodes
    plain.evaluate = lambda name, instance: calls.append(name)
    t.is_valid = False
    DAGEngine.evaluate(plain, "t", obj)
    assert calls[3:] == ["a", "b", "a"]


def test_node_invalidate_replacement_takes_over_its_node():
    seen = []

    class Stubborn(Node):
        def invalidate(self):
            seen.append(self.name)
    e = DAGEngine()
    a, x, c = (e.add_node(name, ident) for name in "axc")
    s = e.nodes["s"] = Stubborn("s", ident, True)
    for dependent, dependency in [("s", "a"), ("x", "a"), ("s", "x"), ("c", "s")]:
        e.add_edge(dependent, dependency)
    for node in (a, x, c):
        node.is_valid = True
    e.invalidate("a")
    assert seen == ["s", "s"] and s.is_valid and c.is_valid
    assert not a.is_valid and not x.is_valid


def test_binding_the_inherited_method_is_no_replacement():
    class AliasEngine(DAGEngine):
        evaluate = DAGEngine.evaluate

    class AliasNode(Node):
        invalidate = Node.invalidate
    e = AliasEngine()
    t = e.nodes["t"] = AliasNode("t", ident)
    t.static_dependencies.append("missing")
    with pytest.raises(ValueError) as exc:
        e.evaluate("t", None)
    assert entries(exc.value) == at("DAGEngine.evaluate", 97, 107, 101)
    t.is_valid, t.dependents = True, None
    with pytest.raises(TypeError) as exc:
        e.invalidate("t")
    assert entries(exc.value) == at("DAGEngine.invalidate", 92, 95) + at(
        "Node.invalidate", 61)


@pytest.mark.parametrize("failing", [boom, property(boom)],
                         ids=["call", "lookup"])
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
    node_type = sub if base is Node else Node
    e.nodes = {name: node_type(name, ident) for name in "ta"}
    e.nodes["t"].static_dependencies.append("a")
    with pytest.raises(Boom) as exc:
        run(e)
    assert entries(exc.value) == expected
    assert e.nodes["t"].dependencies == [] and not e.nodes["t"].is_valid
