"""Hostile scripts, each run in a child interpreter so that a crash fails only
its own test: fuzzed calls, graphs rewired while the module walks them,
threads sharing one engine, and very long chains of nodes."""

import os
import textwrap

import pytest

from helpers import run_child

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PRELUDE = """
import copy, gc, pickle, random, sys, threading, time
import tarn.tarnwick as tw

def attempt(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except Exception:
        return None

class Hook:
    # Runs `action` when compared, hashed, converted, called or released.
    def __init__(self, action, result=1):
        self.action, self.result = action, result
    def _run(self, *args, **kwargs):
        self.action()
        return self.result
    __eq__ = __ne__ = __bool__ = __call__ = __del__ = _run
    def __hash__(self): return self._run() and 7
    def __int__(self): return self._run() and 3
    __index__ = __int__
"""

FUZZ = """
rnd = random.Random(SEED)
class S(str): pass
class L(list): pass
class D(dict): pass
class SubNode(tw.Node):
    def invalidate(self): nested(); super().invalidate()
    def add_dependency(self, dep): nested(); super().add_dependency(dep)
class SubEngine(tw.DAGEngine):
    def evaluate(self, name, instance): nested(); return super().evaluate(name, instance)
    def add_edge(self, a, b): nested(); super().add_edge(a, b)
def boom(): raise RuntimeError("hostile")
depth = 0
def nested():
    global depth
    if depth < 3:
        depth += 1
        try: step()
        finally: depth -= 1
NAMES = ["a", "b", "c", None]
POOL = [lambda: rnd.choice(NAMES), lambda: rnd.randint(-2**40, 2**40), lambda: 2.5, lambda: b"a",
        lambda: S("a"), lambda: L(objects[:3]), lambda: list(rnd.sample(objects, 3)), lambda: D(a=1),
        lambda: {rnd.choice(NAMES): rnd.choice(objects)}, lambda: object(), lambda: rnd.choice(objects),
        lambda: Hook(rnd.choice([boom, nested, gc.collect]), rnd.choice([0, 1, True])),
        lambda: tuple(value() for _ in range(rnd.randrange(12))), lambda: rnd.choice(TYPES),
        lambda: rnd.choice([0x73a6ee8, 0xb14322f, 0x643d950, 0xa6d9f6b, -1])]
def value():
    return rnd.choice(POOL)() if rnd.random() < 0.6 else rnd.choice(NAMES)
TYPES = [tw.Node, tw.DAGEngine, SubNode, SubEngine, int]
FIELDS = ["name", "func", "dependencies", "dependents", "is_valid", "is_explicit", "cached_value",
          "flags", "static_dependencies", "nodes", "call_stack", "bogus"]
KEYS = ["name", "func", "is_explicit", "explicit_value", "flags", "dep", "dependent_name",
        "dependency_name", "accessed_node_name", "instance", "__pyx_state", "__pyx_type",
        "__pyx_checksum", "bogus"]
OPS = ["add_dependency", "invalidate", "add_node", "add_edge", "record_access", "evaluate",
       "__init__", "__reduce__", "__reduce_cython__", "__setstate__", "__setstate_cython__",
       "__reduce_ex__", "__new__"]
CALLS = TYPES + [tw.__pyx_unpickle_Node, tw.__pyx_unpickle_DAGEngine, pickle.dumps, copy.copy,
                 lambda o, *a: pickle.loads(pickle.dumps(o))]
objects = [tw.Node("a", None), SubNode("b", None, True, 1), tw.DAGEngine(), SubEngine()]
for engine in objects[2:]:
    for name in NAMES:
        engine.add_node(name, Hook(nested, 1)).static_dependencies = rnd.sample(NAMES, 2)
def step():
    target, roll = rnd.choice(objects), rnd.random()
    args = [value() for _ in range(rnd.choice([0, 1, 2, 2, 3, 5]))]
    kwargs = {rnd.choice(KEYS): value() for _ in range(rnd.choice([0, 0, 0, 1, 2]))}
    try:
        if roll < 0.15:
            setattr(target, rnd.choice(FIELDS), value())
        elif roll < 0.2:
            delattr(target, rnd.choice(FIELDS))
        elif roll < 0.3:
            result = rnd.choice(CALLS)(*args, **kwargs)
        elif roll < 0.4:
            result = getattr(rnd.choice(TYPES), rnd.choice(OPS))(*args, **kwargs)
        else:
            result = getattr(target, rnd.choice(OPS))(*args, **kwargs)
        if isinstance(result, (tw.Node, tw.DAGEngine)) and len(objects) < 40:
            objects.append(result)
    except Exception:
        pass
    if rnd.random() < 0.01:
        gc.collect()
deadline = time.monotonic() + 20
for _ in range(4000):
    if time.monotonic() > deadline:
        break
    step()
"""

WALKS = """
def graph(cls):
    root = tw.Node("r", None)
    kids = [cls(str(i), None) for i in range(4)]
    for kid in kids:
        kid.add_dependency(root)
        kid.add_dependency(kids[0])
    return root, kids
class Hooked(tw.Node):
    hook = None
    def invalidate(self):
        if self.hook: self.hook()
        super().invalidate()
MUTATIONS = [
    lambda r, k: r.dependents.clear(), lambda r, k: setattr(r, "dependents", None),
    lambda r, k: r.dependencies.clear(), lambda r, k: setattr(r, "dependencies", None),
    lambda r, k: k.clear(), lambda r, k: r.dependents.append(tw.Node("x", None, True)),
    lambda r, k: r.__init__("r", None), lambda r, k: [n.__init__("n", None) for n in k],
    lambda r, k: [n.__setstate__((None,) * 9) for n in k], lambda r, k: gc.collect(),
    lambda r, k: [setattr(n, "dependents", None) for n in k],
    lambda r, k: k and k[0].dependents.append(k[-1]),
]
def trial(mutate, cls):
    budget = [200]
    def act():
        budget[0] -= 1
        if budget[0] > 0:
            mutate(root, kids)
    root, kids = graph(cls)
    for node in [root] + kids:
        node.is_valid, node.cached_value = True, Hook(act)
        if isinstance(node, Hooked):
            node.hook = act
    attempt(root.invalidate)
    root.dependencies = [Hook(act, False) for _ in range(3)]
    attempt(root.add_dependency, tw.Node("y", None))
    engine = tw.DAGEngine()
    engine.nodes = {"r": root, "k": kids[0] if kids else root}
    for node in [root] + kids:
        node.is_valid = True
    attempt(engine.invalidate, "r")
    engine.call_stack.append(Hook(act, True))
    attempt(engine.record_access, "k")
for mutate in MUTATIONS:
    for cls in (tw.Node, Hooked):
        trial(mutate, cls)
        gc.collect()
"""

EVALUATION = """
class Engine(tw.DAGEngine):
    hook = None
    def evaluate(self, name, instance):
        if self.hook: self.hook()
        return super().evaluate(name, instance)
MUTATIONS = [
    lambda e, t: t.static_dependencies.clear(), lambda e, t: t.static_dependencies.append("s0"),
    lambda e, t: setattr(t, "static_dependencies", None), lambda e, t: e.nodes.clear(),
    lambda e, t: setattr(e, "nodes", None), lambda e, t: setattr(e, "call_stack", None),
    lambda e, t: e.call_stack.clear(), lambda e, t: e.call_stack.append(Hook(gc.collect)),
    lambda e, t: e.__init__(), lambda e, t: t.__init__("t", None),
    lambda e, t: setattr(t, "func", None), lambda e, t: e.__setstate__((None, None)),
    lambda e, t: t.__setstate__((None,) * 9), lambda e, t: e.nodes.update(t=tw.Node("t", t)),
    lambda e, t: gc.collect(),
]
def trial(mutate, cls):
    budget = [60]
    def act(instance=None):
        budget[0] -= 1
        if budget[0] > 0:
            mutate(engine, target)
            attempt(engine.record_access, "s0")
            attempt(engine.evaluate, "s1", None)
        return Hook(lambda: budget[0] > 0 and mutate(engine, target))
    engine = cls()
    for i in range(3):
        engine.add_node(f"s{i}", act)
    target = engine.add_node("t", act)
    target.static_dependencies = ["s0", "s1", "s2"]
    if cls is Engine:
        engine.hook = act
    for _ in range(3):
        attempt(engine.evaluate, "t", None)
        attempt(engine.invalidate, "s0")
        attempt(engine.add_edge, "t", "s2")
for mutate in MUTATIONS:
    for cls in (tw.DAGEngine, Engine):
        trial(mutate, cls)
        gc.collect()
"""

THREADS = """
sys.setswitchinterval(1e-5)
threading.excepthook = lambda args: None
engine = tw.DAGEngine()
NAMES = [f"n{i}" for i in range(8)]
def reader(i):
    def read(rnd):
        engine.record_access(rnd.choice(NAMES))
        return 1 + (engine.evaluate(rnd.choice(NAMES[:i]), rnd) if i else 0)
    return read
for i, name in enumerate(NAMES):
    engine.add_node(name, reader(i))
deadline = time.monotonic() + 1.5
def worker(seed):
    rnd = random.Random(seed)
    while time.monotonic() < deadline:
        i = rnd.randrange(len(NAMES))
        name, op = NAMES[i], rnd.randrange(8)
        try:
            if op < 2: engine.evaluate(name, rnd)
            elif op == 2: engine.record_access(name)
            elif op == 3: engine.invalidate(name)
            elif op == 4: engine.add_edge(name, rnd.choice(NAMES))
            elif op == 5: engine.add_node(name, reader(i))
            elif op == 6: engine.nodes[name].invalidate()
            elif rnd.random() < 0.05: pickle.dumps(engine)
        except Exception:
            pass
threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(4)]
for thread in threads: thread.start()
for thread in threads: thread.join()
"""

CHAINS = """
def chain(field):
    head = None
    for _ in range(1_000_000):
        node = tw.Node.__new__(tw.Node)
        setattr(node, field, head)
        head = node
    return head
for field in ("cached_value", "func"):
    head = chain(field)
    del head
    engine = tw.DAGEngine()
    engine.add_node("head", None, True, chain(field))
    del engine
nodes = [tw.Node(str(i), None) for i in range(200_000)]
for node, previous in zip(nodes[1:], nodes):
    node.add_dependency(previous)
for node in nodes:
    node.is_valid = True
attempt(nodes[0].invalidate)
del nodes, node, previous
gc.collect()
engine = tw.DAGEngine()
for i in range(100_000):
    engine.add_node(str(i), lambda instance: 1).static_dependencies = [str(i + 1)]
engine.add_node("loop", None).static_dependencies = ["loop"]
for name in ("0", "loop"):
    try:
        engine.evaluate(name, None)
    except Exception:
        pass
    else:
        raise AssertionError("an endless chain of static dependencies must end in an error")
"""

SCENARIOS = {"fuzz-1": FUZZ.replace("SEED", "1"), "fuzz-2": FUZZ.replace("SEED", "2"),
             "fuzz-3": FUZZ.replace("SEED", "3"), "walks": WALKS, "evaluation": EVALUATION,
             "threads": THREADS, "chains": CHAINS}


@pytest.mark.parametrize("name", SCENARIOS)
def test_no_crash(name):
    code = f"import sys\nsys.path.insert(0, {ROOT!r})\n" + textwrap.dedent(PRELUDE) \
        + textwrap.dedent(SCENARIOS[name]) + "\nprint('completed')\n"
    result = run_child(code, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip().endswith("completed"), result.stderr[-3000:]
