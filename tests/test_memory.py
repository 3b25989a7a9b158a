"""Leak checks: repeating each family of operations, failing calls included,
must not grow memory nor keep references to the objects passed through it,
and graphs full of cycles must be collected without leftovers."""

import gc
import os
import pickle
import sys
import tracemalloc
import weakref

import pytest

import tarn.tarnwick as tw

SYSTEM_MALLOC = os.environ.get("PYTHONMALLOC") == "malloc"  # no block counts then


def _raise(self, *args):
    raise ArithmeticError("hostile")


class Boom:
    __bool__ = __int__ = __eq__ = __ne__ = __hash__ = _raise


class Echo:
    def __call__(self, instance):
        return instance


def fail(instance):
    raise LookupError("node function failed")


def clear_stack(engine):
    engine.call_stack.clear()
    raise LookupError("node function failed")


def unset_stack(engine):
    engine.call_stack = None
    return 1


def attempt(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except Exception:
        pass


class RefusingNode(tw.Node):
    def invalidate(self):
        raise LookupError("refused")


class RefusingEngine(tw.DAGEngine):
    def evaluate(self, name, instance):
        if name == "refused":
            raise LookupError("refused")
        return super().evaluate(name, instance)


class Sentinels:
    """Fresh objects (never immortal) passed through the operations."""

    def __init__(self):
        self.name = "".join(["sen", "tinel"])
        self.value, self.instance, self.func = object(), object(), Echo()


def construction(s):
    tw.Node(s.name, s.func, s.value, s.value, 3.5)
    tw.Node.__new__(tw.Node, s.value).__init__(s.name, s.func)
    tw.DAGEngine().__init__()
    for args, kwargs in [((s.name,), {}), ((s.name, s.func) + (s.value,) * 4, {}),
                         ((1, s.func), {}), ((s.name, s.func), {"flags": s.value}),
                         ((s.name, s.func, Boom()), {}), ((s.name, s.func), {"name": s.name}),
                         ((s.name, s.func), {"bogus": s.value})]:
        attempt(tw.Node, *args, **kwargs)
    attempt(tw.DAGEngine, s.value)
    attempt(tw.DAGEngine, bogus=s.value)
    attempt(tw.Node.invalidate)


def attributes(s):
    node, engine = tw.Node(s.name, s.func), tw.DAGEngine()
    node.name, node.func, node.cached_value, node.dependencies = s.name, s.func, s.value, [s.value]
    node.is_valid, node.is_explicit, node.flags = s.value, s.value, 2.5
    del node.func, node.cached_value, node.dependencies, node.name
    for attr, bad in [("name", b"x"), ("dependents", (s.value,)), ("flags", 2**40),
                      ("flags", s.value), ("is_valid", Boom()), ("static_dependencies", s.name),
                      ("bogus", s.value)]:
        attempt(setattr, node, attr, bad)
    attempt(delattr, node, "flags")
    engine.nodes, engine.call_stack = {s.name: node}, [s.name]
    attempt(setattr, engine, "nodes", [s.value])
    attempt(setattr, engine, "call_stack", (s.value,))
    del engine.nodes, engine.call_stack


def edges(s):
    a, b, c = tw.Node(s.name, s.func), tw.Node("b", s.value), tw.Node("c", s.value)
    a.add_dependency(b)
    a.add_dependency(b)
    b.add_dependency(a)
    c.dependents = None
    for args in [(s.value,), (), (c,)]:
        attempt(a.add_dependency, *args)
    a.dependencies = [Boom()]
    attempt(a.add_dependency, b)
    engine = tw.DAGEngine()
    engine.add_node(s.name, s.func)
    engine.add_node("b", s.func)
    engine.add_edge(s.name, "b")
    engine.add_edge("missing", s.name)
    attempt(engine.add_edge, s.value, "b")
    engine.nodes = None
    attempt(engine.add_edge, s.name, "b")


def invalidation(s):
    nodes = [tw.Node(s.name, s.func, False, s.value) for _ in range(4)] + [RefusingNode("r", None)]
    for node, previous in zip(nodes[1:], nodes):
        node.add_dependency(previous)
    for dependents in ([nodes[1]], [nodes[1], s.value], None, [nodes[4]]):
        for node in nodes:
            node.is_valid, node.cached_value = True, s.value
        nodes[0].dependents = dependents
        attempt(nodes[0].invalidate)
    attempt(nodes[0].invalidate, s.value)
    engine = tw.DAGEngine()
    engine.nodes = {s.name: nodes[3], "refusing": nodes[4]}
    nodes[3].is_valid = nodes[4].is_valid = True
    for name in (s.name, "refusing", "missing", s.value):
        attempt(engine.invalidate, name)
    engine.nodes = None
    attempt(engine.invalidate, s.name)


def registry(s):
    engine = tw.DAGEngine()
    engine.add_node(s.name, s.func, s.value, s.value, 1.5)
    engine.add_node(name=s.name, func=s.func)
    for args, kwargs in [((s.name,), {}), ((b"x", s.func), {}), ((s.name, s.func), {"flags": s.value}),
                         ((s.name, s.func), {"name": s.name}), ((s.name, s.func) + (0,) * 4, {}),
                         ((s.name, s.func, Boom()), {}), ((), {"func": s.func})]:
        attempt(engine.add_node, *args, **kwargs)
    attempt(tw.DAGEngine.add_node)
    engine.nodes = None
    attempt(engine.add_node, s.name, s.func)


def evaluation(s):
    for engine in (tw.DAGEngine(), RefusingEngine()):
        engine.add_node(s.name, s.func).static_dependencies = ["dep"]
        engine.add_node("dep", s.func)
        engine.evaluate(s.name, s.instance)
        engine.evaluate(s.name, s.value)
        for name, func, static in [("fails", fail, []), ("bad static", s.func, [s.value]),
                                   ("missing static", s.func, ["missing"]), ("no static", s.func, None),
                                   ("nested", s.func, ["fails"]), ("refusing", s.func, ["refused"]),
                                   ("cleared", clear_stack, []), ("unset", unset_stack, [])]:
            engine.add_node(name, func).static_dependencies = static
            attempt(engine.evaluate, name, engine)
            engine.call_stack = []
        for args in [("missing", s.value), (s.value, s.value), (s.name,)]:
            attempt(engine.evaluate, *args)
        engine.call_stack = None
        attempt(engine.evaluate, "fails", s.value)
        engine.nodes = None
        attempt(engine.evaluate, s.name, s.value)


def access(s):
    engine = tw.DAGEngine()
    engine.add_node(s.name, s.func)
    engine.add_node("b", s.func)
    engine.record_access(s.name)
    engine.call_stack.append(s.name)
    for name in ("b", "b", s.name, "missing"):
        engine.record_access(name)
    for top in (Boom(), [s.value]):
        engine.call_stack.append(top)
        attempt(engine.record_access, "b")
    attempt(engine.record_access, s.value)
    attempt(engine.record_access)
    engine.nodes = None
    attempt(engine.record_access, "b")
    engine.call_stack = None
    engine.record_access("b")


def pickling(s):
    engine = tw.DAGEngine()
    engine.add_node(s.name, s.func, True, 7)
    node = engine.add_node("b", s.func)
    engine.add_edge("b", s.name)
    for protocol in (0, 2, pickle.HIGHEST_PROTOCOL):
        pickle.loads(pickle.dumps(engine, protocol))
    node.__reduce__()
    tw.Node.__new__(tw.Node).__reduce__()
    engine.__reduce_cython__()
    node.__setstate__((s.value, [], [], 1, s.func, True, False, s.name, []))
    for state in [None, [s.value], (s.value,) * 4, (s.value, s.name), (None,) * 9 + ({"x": s.value},)]:
        attempt(node.__setstate__, state)
        attempt(engine.__setstate__, state)
    for args in [(tw.Node, 1, None), (tw.Node, s.name, None), (int, 0x73a6ee8, None),
                 (tw.Node, 0x73a6ee8, [s.value]), (tw.Node, 0x73a6ee8, (s.value,) * 3),
                 (tw.Node, 0x73a6ee8, (None, None, None, s.value))]:
        attempt(tw.__pyx_unpickle_Node, *args)
    attempt(tw.__pyx_unpickle_DAGEngine, tw.DAGEngine, 0x643d950, ({}, [s.value]))
    attempt(node.__reduce__, s.value)


FAMILIES = [construction, attributes, edges, invalidation, registry, evaluation, access, pickling]


@pytest.mark.parametrize("family", FAMILIES)
def test_no_growth_and_no_kept_references(family):
    s = Sentinels()
    counts = [sys.getrefcount(v) for v in vars(s).values()]
    for _ in range(20):
        family(s)
    gc.collect()
    assert [sys.getrefcount(v) for v in vars(s).values()] == counts
    rounds, readings = 200, []
    tracemalloc.start()
    try:
        for _ in range(5):
            for _ in range(rounds):
                family(s)
            gc.collect()
            readings.append((sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]))
    finally:
        tracemalloc.stop()
    # The first round warms caches; one leaked object per call would add at
    # least 3 * rounds blocks and 16 bytes each over the last three rounds.
    (blocks_before, traced_before), (blocks_after, traced_after) = readings[1], readings[-1]
    assert traced_after - traced_before < rounds * 8
    if not SYSTEM_MALLOC:
        assert blocks_after - blocks_before < rounds // 4


class Finalised(tw.Node):
    def __del__(self):
        finalised.append(self.name)


class FinalisedEngine(tw.DAGEngine):
    def __del__(self):
        finalised.append("engine")


finalised = []


def test_cycles_are_collected():
    gc.collect()
    plain = sum(type(o) is tw.Node for o in gc.get_objects())
    engine = FinalisedEngine()
    engine.add_node("a", lambda instance, owner=engine: owner).static_dependencies = ["b"]
    engine.nodes["b"] = Finalised("b", engine.evaluate, True, engine)
    engine.add_edge("a", "b")
    engine.add_edge("b", "a")
    engine.add_edge("a", "a")
    engine.evaluate("a", engine)
    engine.call_stack.append(engine.nodes["a"])
    tw.Node("loose", engine.nodes).add_dependency(engine.nodes["b"])
    probes = [weakref.ref(engine), weakref.ref(engine.nodes["b"])]
    del engine
    gc.collect()
    assert [probe() for probe in probes] == [None, None]
    assert sorted(finalised) == ["b", "engine"] and gc.garbage == []
    assert sum(type(o) is tw.Node for o in gc.get_objects()) == plain
