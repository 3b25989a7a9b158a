"""Leak checks: repeating each family of operations, failing calls included,
must not grow memory nor keep references to the objects passed through it,
and graphs full of cycles must be collected without leftovers."""

import copy
import gc
import os
import sys
import tracemalloc
import weakref

import pytest

import tarn.tarnwick as tw

SYSTEM_MALLOC = os.environ.get("PYTHONMALLOC") == "malloc"  # no block counts then


class Boom:
    def __bool__(self, *args):
        raise ArithmeticError("hostile")
    __int__ = __eq__ = __ne__ = __hash__ = __bool__


class RefusingNode(tw.Node):
    def invalidate(self):
        raise LookupError("refused")


class RefusingEngine(tw.DAGEngine):
    def evaluate(self, name, instance):
        if name == "refused":
            raise LookupError("refused")
        return super().evaluate(name, instance)


class Sentinels:
    """Fresh objects, never immortal ones, passed through the operations."""

    def __init__(self):
        self.name = "".join(["sen", "tinel"])
        self.value, self.func = object(), (lambda: lambda instance: instance)()


def attempt(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except Exception:
        pass


def construction(s):
    tw.Node.__new__(tw.Node, s.value).__init__(s.name, s.func, s.value, s.value, 3.5)
    engine = tw.DAGEngine()
    engine.add_node(s.name, s.func, True, s.value, 1)
    engine.add_node(name=s.name, func=s.func)  # replaces the first
    engine.__init__()
    for args, kwargs in [((s.name,), {}), ((s.name, s.func) + (s.value,) * 4, {}), ((1, s.func), {}),
                         ((s.name, s.func), {"flags": s.value}), ((s.name, s.func, Boom()), {}),
                         ((s.name, s.func), {"name": s.name}), ((s.name, s.func), {"bogus": s.value})]:
        attempt(tw.Node, *args, **kwargs)
        attempt(engine.add_node, *args, **kwargs)
    for args, kwargs in [((s.value,), {}), ((), {"bogus": s.value})]:
        attempt(tw.DAGEngine, *args, **kwargs)
        attempt(tw.Node(s.name, s.func).__reduce__, *args, **kwargs)
    attempt(tw.Node.invalidate)


def attributes(s):
    node, engine = tw.Node(s.name, s.func), tw.DAGEngine()
    node.name, node.func, node.cached_value, node.dependencies = s.name, s.func, s.value, [s.value]
    node.is_valid, node.is_explicit, node.flags = s.value, s.value, 2.5
    del node.func, node.cached_value, node.dependencies, node.name
    engine.nodes, engine.call_stack = {s.name: node}, [s.name]
    for target, attr, bad in [(node, "name", b"x"), (node, "dependents", (s.value,)), (node, "flags", 2**40),
                              (node, "flags", s.value), (node, "is_valid", Boom()), (node, "bogus", s.value),
                              (engine, "nodes", [s.value]), (engine, "call_stack", (s.value,))]:
        attempt(setattr, target, attr, bad)
    attempt(delattr, node, "flags")
    del engine.nodes, engine.call_stack


def edges_and_invalidation(s):
    nodes = [tw.Node(s.name, s.func, False, s.value) for _ in range(4)] + [RefusingNode("r", None)]
    for node, previous in zip(nodes[1:], nodes):
        node.add_dependency(previous)
        node.add_dependency(previous)
    nodes[2].dependents, nodes[1].dependencies = None, [Boom()]
    for node, dep in [(nodes[3], s.value), (nodes[0], nodes[2]), (nodes[1], nodes[3])]:
        attempt(node.add_dependency, dep)
    for dependents in ([nodes[1], nodes[4]], [nodes[1], s.value], None):
        for node in nodes:
            node.is_valid, node.cached_value = True, s.value
        nodes[0].dependents = dependents
        attempt(nodes[0].invalidate)
    attempt(nodes[0].invalidate, s.value)
    engine = tw.DAGEngine()
    engine.nodes = {s.name: nodes[0], "r": nodes[4]}
    nodes[0].is_valid = nodes[4].is_valid = True
    for args in [(s.name, "r"), ("r", "r"), ("missing", s.name), (s.value, "r")]:
        attempt(engine.add_edge, *args)
        attempt(engine.invalidate, args[0])
    engine.nodes = None
    attempt(engine.add_edge, s.name, "r")
    attempt(engine.invalidate, s.name)
    attempt(engine.add_node, s.name, s.func)


def evaluation_and_access(s):
    for engine in (tw.DAGEngine(), RefusingEngine()):
        engine.add_node(s.name, s.func).static_dependencies = ["dep"]
        engine.add_node("dep", s.func)
        engine.evaluate(s.name, s.value)
        engine.evaluate(s.name, engine)
        for name, func, static in [("fails", lambda e: [].pop(), []), ("bad static", s.func, [s.value]),
                                   ("absent static", s.func, ["missing"]), ("no static", s.func, None),
                                   ("nested", s.func, ["fails"]), ("refusing", s.func, ["refused"]),
                                   ("cleared", lambda e: e.call_stack.clear() or [].pop(), []),
                                   ("unset", lambda e: setattr(e, "call_stack", None), [])]:
            engine.add_node(name, func).static_dependencies = static
            attempt(engine.evaluate, name, engine)
            engine.call_stack = [s.name]
        for name in ("dep", "dep", s.name, "missing", s.value):
            attempt(engine.record_access, name)
        for top in (Boom(), [s.value]):
            engine.call_stack.append(top)
            attempt(engine.record_access, "dep")
        for args in [("missing", s.value), (s.value, s.value), (s.name,)]:
            attempt(engine.evaluate, *args)
        engine.call_stack = None
        attempt(engine.evaluate, "fails", s.value)
        engine.nodes = None
        attempt(engine.evaluate, s.name, s.value)


def pickling(s):
    engine = tw.DAGEngine()
    node = engine.add_node(s.name, s.func, True, [s.value])
    engine.add_node("b", s.func)
    engine.add_edge("b", s.name)
    copy.deepcopy(engine)  # the reduce protocol, without the pickler's own caches
    copy.copy(node)
    tw.Node.__new__(tw.Node).__reduce__()
    for state in [None, [s.value], (s.value,) * 4, (s.value, s.name), (None,) * 9 + ({"x": s.value},),
                  (s.value, [], [], 1, s.func, True, False, s.name, [])]:
        attempt(node.__setstate__, state)
        attempt(engine.__setstate__, state)
        attempt(tw.__pyx_unpickle_Node, tw.Node, 0x73a6ee8, state)
        attempt(tw.__pyx_unpickle_DAGEngine, tw.DAGEngine, 0x643d950, state)
    for args in [(tw.Node, 1, None), (tw.Node, s.name, None), (int, 0x73a6ee8, None), (tw.Node,)]:
        attempt(tw.__pyx_unpickle_Node, *args)


FAMILIES = [construction, attributes, edges_and_invalidation, evaluation_and_access, pickling]


@pytest.mark.parametrize("family", FAMILIES)
def test_no_growth_and_no_kept_references(family):
    s = Sentinels()
    counts = [sys.getrefcount(v) for v in vars(s).values()]
    for _ in range(20):
        family(s)
    gc.collect()
    assert [sys.getrefcount(v) for v in vars(s).values()] == counts
    calls, readings = 100, []
    tracemalloc.start()
    try:
        for _ in range(6):
            for _ in range(calls):
                family(s)
            gc.collect()
            readings.append((sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]))
    finally:
        tracemalloc.stop()
    # Caches and free lists settle in steps; a leak grows memory in every
    # round, by at least one block and 16 bytes per call.
    growth = [(b1 - b0, t1 - t0) for (b0, t0), (b1, t1) in zip(readings[1:], readings[2:])]
    assert min(traced for _, traced in growth) < calls * 4, growth
    if not SYSTEM_MALLOC:
        assert min(blocks for blocks, _ in growth) < calls // 4, growth


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
    for dependent, dependency in ("ab", "ba", "aa"):
        engine.add_edge(dependent, dependency)
    engine.evaluate("a", engine)
    engine.call_stack.append(engine.nodes["a"])
    tw.Node("loose", engine.nodes).add_dependency(engine.nodes["b"])
    probes = [weakref.ref(engine), weakref.ref(engine.nodes["b"])]
    del engine
    gc.collect()
    assert [probe() for probe in probes] == [None, None]
    assert sorted(finalised) == ["b", "engine"] and gc.garbage == []
    assert sum(type(o) is tw.Node for o in gc.get_objects()) == plain
