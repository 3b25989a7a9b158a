"""The Node record: construction, the nine attributes, collection, release."""

import gc

import pytest

from engine_support import Boom, boom
from helpers import entries, run_child
from tarn.tarnwick import Node

LISTS = ("dependencies", "dependents", "static_dependencies")
BLANK = (None,) * 4 + (False, False, None, 0, None)


def fields(n):
    return (n.name, n.func, n.dependencies, n.dependents, n.is_valid,
            n.is_explicit, n.cached_value, n.flags, n.static_dependencies)


@pytest.mark.parametrize("make, expected", [
    (lambda: Node.__new__(Node), BLANK),
    (lambda: Node.__new__(Node, "a", len, True, 5, flags=3), BLANK),
    (lambda: Node("a", len), ("a", len, [], [], False, False, None, 0, [])),
    (lambda: Node(None, 1, True, 5, 7), (None, 1, [], [], True, True, 5, 7, [])),
    (lambda: Node("a", None, False, 5), ("a", None, [], [], False, False, 5, 0, [])),
])
def test_construction(make, expected):
    node = make()
    assert fields(node) == expected
    assert expected is BLANK or len({id(getattr(node, k)) for k in LISTS}) == 3


def test_init_again_assigns_in_order_and_forgets_own_edges_only():
    log = []

    class Spy:  # logs the node's state when the node releases it
        def __del__(self):
            log.append((n.name, n.is_valid, type(n.cached_value).__name__,
                        *(len(getattr(n, k)) for k in LISTS), n.flags))

    n, other = Node("old", None, False, None, 1), Node("other", None)
    n.add_dependency(other)
    other.add_dependency(n)
    n.func, n.cached_value = Spy(), Spy()
    for k in LISTS:
        getattr(n, k).append(Spy())
    n.__init__("new", len, True, "v", 2)
    assert log == [("new", False, "Spy", 2, 2, 1, 1), ("new", True, "str", 2, 2, 1, 1),
                   ("new", True, "str", 0, 2, 1, 1), ("new", True, "str", 0, 0, 1, 1),
                   ("new", True, "str", 0, 0, 0, 2)]
    assert other.dependents == other.dependencies == [n]


@pytest.mark.parametrize("attr, written, read", [
    ("name", ["b", None], ["b", None]), ("func", [len, None], [len, None]),
    ("cached_value", [b"x", None], [b"x", None]),
    ("is_valid", [[0], [], None, 0, "x"], [True, False, False, False, True]),
    ("is_explicit", [1, 0.0], [True, False]),
    ("flags", [2**31 - 1, -2**31, True, 3.9], [2**31 - 1, -2**31, 1, 3]),
] + [(k, [[1, "x"], None], [[1, "x"], None]) for k in LISTS])
def test_accepted_writes(attr, written, read):
    node = Node("a", None)
    for value, expected in zip(written, read):
        setattr(node, attr, value)
        assert (type(getattr(node, attr)), getattr(node, attr)) == (
            type(expected), expected)
        assert attr not in LISTS or getattr(node, attr) is value


FALSY = type("Falsy", (), {"__bool__": boom})()


@pytest.mark.parametrize("attr, value, exc_type, message, line", [
    ("name", b"b", TypeError, "Expected str, got bytes", 22),
    ("name", type("S", (str,), {})("b"), TypeError, "Expected str, got S", 22),
    ("dependencies", (), TypeError, "Expected list, got tuple", 24),
    ("dependents", type("L", (list,), {})(), TypeError, "Expected list, got L", 25),
    ("is_valid", FALSY, Boom, "boom", 26),
    ("is_explicit", FALSY, Boom, "boom", 27),
    ("flags", 2**31, OverflowError, None, 29),
    ("flags", "1", TypeError, "an integer is required", 29),
    ("static_dependencies", "ab", TypeError, "Expected list, got str", 30),
] + [(attr, None, NotImplementedError, "__del__", None)
     for attr in ("is_valid", "is_explicit", "flags")])
def test_refused_writes_and_deletions(attr, value, exc_type, message, line):
    node = Node("a", None, True, 1, 5)
    before = fields(node)
    with pytest.raises(exc_type) as exc:
        delattr(node, attr) if line is None else setattr(node, attr, value)
    assert message is None or str(exc.value) == message
    assert entries(exc.value) == ([] if line is None else [
        (f"tarn.tarnwick.Node.{attr}.__set__", "tarn/tarnwick", line)])
    assert fields(node) == before
    for attr in ("name", "func", "cached_value") + LISTS:
        delattr(node, attr)
        assert getattr(node, attr) is None


def test_script_finalisers_run_and_may_revive():
    log, kept = [], []

    class Finalised(Node):
        def __del__(self):
            log.append(self.name)
            kept.extend([self] * (self.name == "revive"))

    Finalised("plain", None)
    revived = Finalised("revive", None)
    revived.func = Finalised("held", None)
    del revived
    assert log == ["plain", "revive"] and kept[0].func.name == "held"
    a, b = Finalised("a", None), Finalised("b", None)
    a.add_dependency(b)  # a cycle through every object field
    b.add_dependency(a)
    a.func, b.cached_value, a.static_dependencies = a, b, [b]
    del a, b, kept[:]
    gc.collect()
    assert sorted(log) == ["a", "b", "held", "plain", "revive"] and gc.garbage == []


def test_memory_failures_in_init_report_their_lines():
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("_testcapi has no set_nomemory")
    # One allocation fails at a time, a little later each round, so each of
    # the allocations of the two constructors fails once. The interpreter's
    # free lists of lists and dicts are drained first, so that the empty
    # containers really are allocated.
    result = run_child("""
        import _testcapi, traceback
        from tarn.tarnwick import DAGEngine, Node
        seen = set()
        for make in (lambda: Node("a", None), DAGEngine):
            for start in range(200):
                drained = None
                drained = [[] for _ in range(100)], [{} for _ in range(100)]
                try:
                    _testcapi.set_nomemory(start, start + 1)
                    try:
                        make()
                    finally:
                        _testcapi.remove_mem_hooks()
                except MemoryError as exc:
                    seen.update((f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
                                if f.filename == "tarn/tarnwick")
        print(sorted(seen))
    """)
    assert result.returncode == 0, result.stderr
    seen = set(eval(result.stdout))
    assert {("tarn.tarnwick.Node.__init__", 38), ("tarn.tarnwick.Node.__init__", 39),
            ("tarn.tarnwick.Node.__init__", 41), ("tarn.tarnwick.DAGEngine.__init__", 71),
            ("tarn.tarnwick.DAGEngine.__init__", 72)} <= seen
