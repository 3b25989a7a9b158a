"""The benchmark's yardsticks: the typed copy of the reference engine that
mypyc compiles, and the native floors in the test-only module."""

import ast
import pathlib
import pickle
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


def benchmark_module(name):
    if str(BENCHMARKS) not in sys.path:
        sys.path.insert(0, str(BENCHMARKS))
    return __import__(name)


def test_the_compiled_engine_pickles_cycles_and_shared_nodes():
    build_mypyc = benchmark_module("build_mypyc")
    if build_mypyc.missing_tools():
        pytest.skip("mypyc cannot build here (the bench extra is not installed)")
    build_mypyc.ensure(announce=lambda _message: None)
    compiled = build_mypyc.load()
    engine = compiled.DAGEngine()
    for name in "abc":
        engine.add_node(name, one)
    for dependent, dependency in ["ab", "ba", "ca"]:
        engine.add_edge(dependent, dependency)
    engine.nodes["c"].static_dependencies.append("a")
    assert engine.evaluate("c", None) == 1
    loaded = pickle.loads(pickle.dumps(engine, protocol=5))
    a, b, c = (loaded.nodes[name] for name in "abc")
    assert type(a) is compiled.Node and a.func is one
    assert a.dependencies == [b] and b.dependencies == [a] and c.dependencies == [a]
    assert a.dependents == [b, c] and c.static_dependencies == ["a"]
    assert (c.is_valid, c.cached_value, b.is_valid, b.cached_value) == (True, 1, False, None)


def test_the_deep_stack_hands_back_results_and_errors():
    bench = benchmark_module("bench")
    assert bench.DeepStack.call(sum, [1, 2, 3]) == 6
    with pytest.raises(ZeroDivisionError):
        bench.DeepStack.call(divmod, 1, 0)


@pytest.mark.parametrize("contestant", ["TarnLayer", "TarnModel", "TarnCore", "Reaktiv",
                                        "Observ", "Loman"])
def test_each_contestant_does_the_library_jobs(contestant):
    libraries = benchmark_module("libraries")
    try:
        made = getattr(libraries, contestant)()
    except ImportError:
        pytest.skip(f"{contestant} is not installed (the bench extra)")
    failures, too_deep = libraries.check([made], quick=True)
    assert failures == []
    # Only the chains read deep from their end may exceed the interpreter's
    # native recursion, and never in the layer.
    deep = set(too_deep.get(made.name, []))
    assert deep <= {"chain_1000", "fresh_1000", "fresh_10000"}
    assert not deep or not made.name.startswith("tarn ") or made.name == "tarn core"


def test_the_layer_is_held_to_its_targets_against_the_libraries():
    libraries = benchmark_module("libraries")
    results = {key: {"tarn Graph": 10.0, "tarn Model": 10.0, "observ": 40.0}
               for key in libraries.JOBS}
    results["read"]["observ"] = 19.0          # less than twice as slow: a miss
    memory = {"memory_chain": {"tarn Graph": 500.0, "observ": 400.0},
              "memory_objects": {"tarn Model": 100.0, "observ": 900.0}}
    lines, ok = libraries.check_targets(results, memory)
    assert not ok
    missed = [line for line in lines if "[MISS]" in line]
    assert len(missed) == 2
    assert "up-to-date read" in missed[0] and "bytes per node" in missed[1]


# The floors.


@pytest.fixture
def tc():
    native = str(pathlib.Path(__file__).parent / "native")
    if native not in sys.path:
        sys.path.insert(0, native)
    return pytest.importorskip(
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
def test_the_minimal_walk_clears_what_invalidate_clears(tc, start):
    walked, invalidated = graph(), graph()
    assert tc.floor_invalidate(walked, start) is None
    invalidated.invalidate(start)
    assert state(walked) == state(invalidated)


def test_the_minimal_walk_goes_deeper_than_its_first_stack(tc):
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


def test_the_minimal_lookup(tc):
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
