"""Memoised evaluation, the call stack around node functions, failures."""

import traceback

import pytest

from engine_support import at, ident
from helpers import entries, run_child
from tarn.tarnwick import DAGEngine

EV = "DAGEngine.evaluate"


def recording_engine(log, *names):
    e = DAGEngine()
    for name in names:
        e.add_node(name, lambda obj, name=name: log.append((name, obj)) or name)
    return e


def test_evaluation_is_memoised_per_node():
    log, obj = [], object()
    e = recording_engine(log, "t", "a", "b", None)
    t = e.nodes["t"]
    t.static_dependencies.extend(["a", None, "b"])
    assert e.evaluate("t", obj) == "t" and e.evaluate("t", "another") == "t"
    assert log == [("a", obj), (None, obj), ("b", obj), ("t", obj)]
    assert t.is_valid and e.nodes["b"].cached_value == "b" and e.call_stack == []
    e.add_node("x", ident, True, 7)
    e.add_node("n", lambda obj: log.append("n"))
    assert [e.evaluate(name, 1) for name in "xnn"] == [7, None, None]
    assert log[4:] == ["n"]


def test_static_walk_follows_the_list_it_started_with():
    log = []
    e = recording_engine(log, "t", "b", "c")
    deps = e.nodes["t"].static_dependencies
    e.add_node("a", lambda obj: [deps.append("b"),
                                 setattr(e.nodes["t"], "static_dependencies", ["c"])])
    deps.append("a")
    e.evaluate("t", 0)
    assert log == [("b", 0), ("t", 0)]


def test_nested_evaluation_pushes_above_the_running_node():
    e, seen = DAGEngine(), []
    e.add_node("inner", lambda obj: seen.append(list(e.call_stack)))
    e.add_node("outer", lambda obj: [seen.append(list(e.call_stack)),
                                     e.evaluate("inner", obj)])
    e.call_stack.append("base")
    e.evaluate("outer", 0)
    assert seen == [["base", "outer"], ["base", "outer", "inner"]]
    assert e.call_stack == ["base"]


def static(*names):
    return lambda e, t, a: setattr(t, "static_dependencies", list(names))


@pytest.mark.parametrize("name, prepare, exc_type, message, lines", [
    ("x", static(), ValueError, "Node 'x' not found in DAG", [97, 101]),
    (None, static(), ValueError, "Node 'None' not found in DAG", [97, 101]),
    ("t", lambda e, t, a: setattr(t, "static_dependencies", None),
     TypeError, "'NoneType' object is not iterable", [97, 106]),
    ("t", static(5), TypeError, "Expected str, got int", [97, 106]),
    ("t", static(type("S", (str,), {})("a")),
     TypeError, "Expected str, got S", [97, 106]),
    ("t", static("a", "missing"),
     ValueError, "Node 'missing' not found in DAG", [97, 107, 101]),
    ("t", lambda e, t, a: [t.static_dependencies.append("a"),
                           a.static_dependencies.append("missing")],
     ValueError, "Node 'missing' not found in DAG", [97, 107, 107, 101]),
    ("t", lambda e, t, a: setattr(e, "call_stack", None), AttributeError,
     "'NoneType' object has no attribute 'append'", [97, 109]),
    ("t", lambda e, t, a: setattr(t, "func", None),
     TypeError, "'NoneType' object is not callable", [97, 111]),
])
def test_failures(name, prepare, exc_type, message, lines):
    log = []
    e = recording_engine(log, "t", "a")
    t = e.nodes["t"]
    prepare(e, t, e.nodes["a"])
    with pytest.raises(exc_type) as exc:
        e.evaluate(name, 1)
    assert str(exc.value) == message and entries(exc.value) == at(EV, *lines)
    assert not t.is_valid and ("t", 1) not in log
    assert e.call_stack in ([], None)


def test_a_raising_function_leaves_its_exception_alone():
    e, error = DAGEngine(), KeyError("k")

    def fails(obj):
        raise error
    t = e.add_node("t", fails)
    e.call_stack.append("outer")
    with pytest.raises(KeyError) as exc:
        e.evaluate("t", 1)
    assert exc.value is error and error.__context__ is None
    assert e.call_stack == ["outer"] and not t.is_valid
    frames = traceback.extract_tb(error.__traceback__)
    assert [(f.name, f.filename, f.lineno) for f in frames[1:3]] == at(EV, 97, 111)
    assert [f.name for f in frames[3:]] == ["fails"]


@pytest.mark.parametrize("raises", [False, True])
@pytest.mark.parametrize("spoil, exc_type, message", [
    (lambda e: e.call_stack.clear(), IndexError, "pop from empty list"),
    (lambda e: setattr(e, "call_stack", None), AttributeError,
     "'NoneType' object has no attribute 'pop'"),
])
def test_call_stack_spoiled_by_the_function(spoil, exc_type, message, raises):
    e, error = DAGEngine(), KeyError("k")

    def func(obj):
        spoil(e)
        if raises:
            raise error
        return 42
    t = e.add_node("t", func)
    with pytest.raises(exc_type) as exc:
        e.evaluate("t", None)
    assert str(exc.value) == message and entries(exc.value) == at(EV, 97, 115)
    assert exc.value.__context__ is (error if raises else None)
    assert (t.is_valid, t.cached_value) == ((False, None) if raises else (True, 42))


def test_static_chains_of_any_depth():
    # A million levels of static dependencies: each function once, deepest
    # first, and a failure at the bottom carries one entry per level. A
    # replacement of evaluate nests natively and ends in RecursionError.
    result = run_child("""
        import traceback
        from tarn.tarnwick import DAGEngine

        def chain(engine, n, func, bottom=()):
            for i in range(n):
                engine.add_node(str(i), func).static_dependencies.append(str(i + 1))
            engine.add_node(str(n), func).static_dependencies.extend(bottom)

        e, order = DAGEngine(), []
        stack = e.call_stack
        chain(e, 1_000_000, lambda obj: order.append(stack[-1]) or obj)
        print(e.evaluate("0", 7), order == [str(i) for i in range(1_000_000, -1, -1)])
        del order[:]
        e = DAGEngine()
        chain(e, 5_000, lambda obj: 1, ["missing"])
        try:
            e.evaluate("0", None)
        except ValueError as exc:
            lines = [f.lineno for f in traceback.extract_tb(exc.__traceback__)
                     if f.filename == "tarn/tarnwick"]
            print(lines == [97] + [107] * 5_001 + [101], e.call_stack)

        class Delegating(DAGEngine):
            def evaluate(self, name, instance):
                return super().evaluate(name, instance)
        e = Delegating()
        chain(e, 100_000, lambda obj: 1)
        try:
            e.evaluate("0", None)
        except RecursionError:
            print("RecursionError", e.call_stack, e.nodes["99999"].is_valid)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "7 True\nTrue []\nRecursionError [] False\n"


CYCLE = "maximum recursion depth exceeded while evaluating static dependencies"


@pytest.mark.parametrize("engine_type", [DAGEngine, type("Plain", (DAGEngine,), {})])
def test_a_static_cycle_is_refused_where_it_closes(engine_type):
    log = []
    e = engine_type()
    for name in "abcd":
        e.add_node(name, lambda obj, name=name: log.append(name) or name)
    e.nodes["a"].static_dependencies.extend(["d", "b"])
    e.nodes["b"].static_dependencies.append("c")
    e.nodes["c"].static_dependencies.extend(["d", "a"])
    e.nodes["d"].static_dependencies.append("d")
    e.nodes["d"].is_valid = True  # reached twice, never pending
    e.nodes["x"] = e.nodes["d"]
    for name, levels in (("a", 3), ("x", 1)):
        if name == "x":
            e.nodes["d"].is_valid = False
        with pytest.raises(RecursionError) as exc:
            e.evaluate(name, None)
        assert str(exc.value) == CYCLE
        assert entries(exc.value) == at(EV, 97, *[107] * levels)
    assert log == [] and e.call_stack == []


def test_a_level_that_finished_is_no_longer_pending():
    # Forty levels, most of them past the few searched directly: once c20
    # has its value it is no longer pending, so meeting it again after a
    # function made it invalid computes it again.
    e, calls = DAGEngine(), []
    for i in range(40):
        e.add_node(f"c{i}", lambda obj, i=i: calls.append(i) or i)
        e.nodes[f"c{i}"].static_dependencies.append(f"c{i + 1}")
    e.nodes["c39"].static_dependencies.clear()
    e.add_node("reset", lambda obj: setattr(e.nodes["c20"], "is_valid", False))
    e.add_node("top", ident).static_dependencies.extend(["c0", "reset", "c20"])
    assert e.evaluate("top", "v") == "v"
    assert calls == list(range(39, -1, -1)) + [20]
    e.nodes["c39"].static_dependencies.append("c10")
    e.invalidate("c10")
    for i in range(10, 40):
        e.nodes[f"c{i}"].is_valid = False
    e.nodes["c9"].is_valid = False
    with pytest.raises(RecursionError) as exc:
        e.evaluate("c9", None)
    assert str(exc.value) == CYCLE
    assert entries(exc.value) == at(EV, 97, *[107] * 31)
    assert calls[41:] == [] and e.call_stack == []


def test_a_function_may_walk_deep_inside_a_deep_walk():
    # The inner walk cannot take the buffers the outer one holds; the next
    # evaluation finds them again.
    e, calls = DAGEngine(), []

    def chain(prefix, last):
        for i in range(30):
            name = f"{prefix}{i}"
            e.add_node(name, lambda obj, name=name: calls.append(name) or 1)
            e.nodes[name].static_dependencies.append(f"{prefix}{i + 1}")
        e.add_node(f"{prefix}30", last)
    chain("b", lambda obj: calls.append("b30") or 1)
    chain("a", lambda obj: e.evaluate("b0", obj))
    for repeat in range(2):
        for node in e.nodes.values():
            node.is_valid = False
        calls.clear()
        assert e.evaluate("a0", None) == 1
        assert calls == ([f"b{i}" for i in range(30, -1, -1)] +
                         [f"a{i}" for i in range(29, -1, -1)])
        assert e.call_stack == []


def test_a_running_function_may_come_back_through_static_dependencies():
    # Only the levels waiting for their static dependencies in the same
    # walk count as a cycle; a node whose function is running is computed
    # again by the evaluation its function starts.
    e, calls = DAGEngine(), []

    def t_func(obj):
        calls.append(("t", list(e.call_stack)))
        return e.evaluate("u", obj) if len(calls) == 1 else "inner"

    def a_func(obj):
        calls.append(("a", list(e.call_stack)))
        return e.evaluate("s", obj) if len(calls) == 3 else "a"
    e.add_node("t", t_func)
    e.add_node("u", lambda obj: "u").static_dependencies.append("t")
    e.add_node("s", lambda obj: "s").static_dependencies.append("a")
    e.add_node("a", a_func)
    assert e.evaluate("t", None) == "u" and e.nodes["t"].cached_value == "u"
    assert calls == [("t", ["t"]), ("t", ["t", "t"])]
    # s waits for a in the outer walk while a's function evaluates s anew.
    assert e.evaluate("s", None) == "s"
    assert calls[2:] == [("a", ["a"]), ("a", ["a", "a"])]
    assert e.call_stack == [] and e.nodes["a"].cached_value == "s"


HOSTILE = """
from tarn.tarnwick import DAGEngine

class Collider:  # looked up in place of "t", drops the registry meanwhile
    def __hash__(self): return hash("t")
    def __eq__(self, other):
        e.nodes = None
        return False

e = DAGEngine()
t, a, b = (e.add_node(name, lambda obj: "v") for name in "tab")
b.func = lambda obj: 1 / 0
{setup}
try:
    print(repr({call}))
except Exception as exc:
    print(type(exc).__name__, exc)
"""


@pytest.mark.parametrize("setup, call, output", [
    ("t.func = lambda obj: delattr(e, 'nodes') or 'v'", "", "'v'"),
    ("t.func = lambda obj: e.__init__()", "", "IndexError pop from empty list"),
    ("t.func = lambda obj: setattr(e, 'call_stack', ['x', 'y']) or e.call_stack",
     "", "['x']"),
    ("t.func = lambda obj: setattr(e.nodes.pop('t'), 'func', None) or 'v'; del t",
     "", "'v'"),
    ("t.static_dependencies += ['a', 'b']; deps = t.static_dependencies; "
     "a.func = lambda obj: deps.clear()", "", "'v'"),
    ("t.static_dependencies += ['a', 'b']; "
     "a.func = lambda obj: t.__init__('t', None) or e.nodes.clear()",
     "", "ValueError Node 'b' not found in DAG"),
    ("t.static_dependencies.append('a'); a.static_dependencies.append('b'); "
     "b.func = lambda obj: [a.static_dependencies.clear(), e.nodes.clear(), "
     "setattr(a, 'static_dependencies', None), a.__init__('a', str)] and 'w'",
     "", "'v'"),
    ("e.nodes = {Collider(): None}", "", "ValueError Node 't' not found in DAG"),
    ("e.nodes = {Collider(): None}", "e.add_edge('t', 'u')",
     "AttributeError 'NoneType' object has no attribute 'get'"),
    ("e.nodes = {Collider(): None}", "e.invalidate('t')", "None"),
])
def test_hostile_scripts_never_crash(setup, call, output):
    result = run_child(HOSTILE.format(setup=setup, call=call or "e.evaluate('t', 1)"))
    assert result.returncode == 0, result.stderr
    assert result.stdout == output + "\n"


def test_a_failing_evaluation_leaves_the_handled_exception_alone():
    # Evaluation sets the function's exception aside as the one being
    # handled while it pops the call stack; a generator or coroutine that
    # runs inside an outer except block must get its own state back.
    import sys

    class Pause:
        def __await__(self):
            yield

    e = DAGEngine()

    def fails(obj):
        raise ValueError("inner")
    e.add_node("t", fails)

    def gen():
        try:
            e.evaluate("t", None)
        except ValueError:
            pass
        yield sys.exc_info()[1]
        before = sys.exc_info()[1]
        try:
            raise IndexError("later")
        except IndexError as later:
            yield before, later.__context__

    async def coro(resumed):
        try:
            e.evaluate("t", None)
        except ValueError:
            pass
        await resumed
        return sys.exc_info()[1]

    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        g = gen()
        assert next(g) is outer  # seen through the frame that handles it
        c = coro(Pause())
        c.send(None)
    assert next(g) == (None, None) and sys.exc_info() == (None, None, None)
    with pytest.raises(StopIteration) as stop:
        c.send(None)
    assert stop.value.value is None
