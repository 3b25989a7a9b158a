"""The benchmark's yardsticks: the typed copy of the reference engine that
mypyc compiles, and the native floors in the test-only module."""

import ast
import pathlib
import sys

import pytest

from tarn.tarnwick import DAGEngine

BENCHMARKS = pathlib.Path(__file__).parents[1] / "benchmarks"


class StripTypes(ast.NodeTransformer):
    """Drops what the typed copy may add: annotations and docstrings."""

    def visit_FunctionDef(self, node):
        node.returns = None
        for arg in node.args.posonlyargs + node.args.args + node.args.kwonlyargs:
            arg.annotation = None
        return self.strip_docstring(self.generic_visit(node))

    def visit_ClassDef(self, node):
        node.body = [s for s in node.body
                     if not (isinstance(s, ast.AnnAssign) and s.value is None)]
        return self.strip_docstring(self.generic_visit(node))

    @staticmethod
    def strip_docstring(node):
        first = node.body[0] if node.body else None
        if (isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant)
                and isinstance(first.value.value, str)):
            node.body = node.body[1:]
        return node


def classes(filename):
    tree = StripTypes().visit(ast.parse((BENCHMARKS / filename).read_text()))
    return {node.name: ast.dump(node) for node in tree.body if isinstance(node, ast.ClassDef)}


def test_the_typed_copy_has_the_reference_statements():
    reference, typed = classes("reference.py"), classes("typed_reference.py")
    assert reference.keys() == typed.keys() == {"Node", "DAGEngine"}
    for name in reference:
        assert typed[name] == reference[name], f"{name} differs from the reference's"


# The floors.

sys.path.insert(0, str(pathlib.Path(__file__).parent / "native"))
tc = pytest.importorskip(
    "_tablecheck",
    reason="tests/native has no built _tablecheck (tools/build-dev builds it)")


def one(_instance):
    return 1


def graph():
    """A diamond a -> (b, c) -> d, a cycle d -> e -> d, an explicit node x
    under a, and y under x; every node valid with a value of its own."""
    engine = DAGEngine()
    for name in "abcdey":
        engine.add_node(name, one)
    engine.add_node("x", one, True, "explicit")
    for dependent, dependency in ["ba", "ca", "db", "dc", "ed", "de", "xa", "yx"]:
        engine.add_edge(dependent, dependency)
    for name, node in engine.nodes.items():
        if not node.is_explicit:
            node.is_valid, node.cached_value = True, [name]
    return engine


def state(engine):
    return {name: (node.is_valid, node.cached_value) for name, node in engine.nodes.items()}


@pytest.mark.parametrize("start", ["a", "c", "e", "x", "missing"])
def test_the_minimal_walk_clears_what_invalidate_clears(start):
    walked, invalidated = graph(), graph()
    assert tc.floor_invalidate(walked, start) is None
    invalidated.invalidate(start)
    assert state(walked) == state(invalidated)


def test_the_minimal_walk_goes_deeper_than_its_first_stack():
    engine = DAGEngine()
    engine.add_node("n0", one)
    for i in range(1, 50_000):
        engine.add_node(f"n{i}", one)
        engine.add_edge(f"n{i}", f"n{i - 1}")
    for node in engine.nodes.values():
        node.is_valid, node.cached_value = True, 1
    tc.floor_invalidate(engine, "n0")
    assert not any(node.is_valid for node in engine.nodes.values())
    assert {node.cached_value for node in engine.nodes.values()} == {None}


def test_the_minimal_lookup():
    engine = graph()
    assert tc.floor_lookup(engine, "b") == ["b"]
    assert tc.floor_lookup(engine, "x") == "explicit"
    engine.invalidate("a")
    with pytest.raises(LookupError, match="not valid"):
        tc.floor_lookup(engine, "b")
    with pytest.raises(KeyError):
        tc.floor_lookup(engine, "missing")
    with pytest.raises(TypeError):
        tc.floor_lookup(engine)
