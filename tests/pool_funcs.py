"""Node functions and worker tasks of the process-pool tests. Spawned
workers import this module by name to unpickle the functions they are
sent; the functions reach their engine through the `engine` variable,
which `build` sets in the test process and `install` in each worker."""

import os

from tarn.tarnwick import DAGEngine

engine = None
barrier = None


def base(obj):
    return obj * 10


def double(obj):
    engine.record_access("base")
    return engine.evaluate("base", obj) * 2


def total(obj):
    engine.record_access("double")
    return engine.evaluate("double", obj) + engine.evaluate("offset", obj)


def build():
    global engine
    engine = DAGEngine()
    engine.add_node("base", base)
    engine.add_node("double", double)
    engine.add_node("offset", None, True, 7)
    engine.add_node("total", total)
    return engine


def install(shipped, shared_barrier):
    global engine, barrier
    engine, barrier = shipped, shared_barrier


def validity(of):
    return {name: node.is_valid for name, node in of.nodes.items()}


def price(obj):
    engine.invalidate("base")
    return engine.evaluate("total", obj)


def describe(shipped):
    """What a copy sent with the task holds, before anything evaluates it."""
    nodes = shipped.nodes
    dependents = {name: [d.name for d in node.dependents] for name, node in nodes.items()}
    linked = nodes["base"].dependents[0] is nodes["double"] and nodes["double"].dependencies[0] is nodes["base"]
    return dependents, linked, validity(shipped)


def probe(invalidate):
    """Evaluates this worker's engine, invalidates it if asked, then waits
    at the barrier shared by all workers and reports its validity."""
    engine.evaluate("total", 4)
    if invalidate:
        engine.invalidate("base")
    barrier.wait(60)
    return os.getpid(), validity(engine)
