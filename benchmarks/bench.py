"""Times the native engine against the reference engine, pure and compiled.

    PYTHONPATH=. python benchmarks/bench.py [--quick] [--json FILE] [--chart FILE]
                                            [--no-libraries]

The engines are the module, the pure-Python reference engine and the same
engine compiled with mypyc (`build_mypyc.py` builds it into build/mypyc/
when it is missing or stale; it needs the `bench` extra, and the script
exits 2 saying so when it cannot be built). Every workload is
first run once on each engine, and they must all agree (returned values,
validity, values and edges by name); the script exits 1 if they do not.
Then each workload is timed on all three, and against a floor where one
exists, with the samples of the engines interleaved, and one table is
printed: medians over several repeats, with the min and max. The collector
is off while timing.

Two more floors are native code from the test-only module `_tablecheck`
(tests/native/, built by tools/build-dev): the least code that does a hit's
lookup and an invalidation's walk over the module's own records. Their
distance to the module is printed in every run, and they must agree with
the module too. Then the graph layer's reads that hit (a `Graph` node, a
`Model` input and computed attribute, each also read inside a computation,
where it is recorded) are timed against the core's own hit and its
`record_access` plus `evaluate`. Then the layer's long chains: the first
read of the end of a 10^5-node `Graph` chain that nothing has computed yet
(it computes every node), against the same chain's recomputation after its
input changes, and the same for a chain of `Model` instances, each sample on
a chain built afresh (a build whose first read raises RecursionError is
reported as not supporting it, and the chain is then read in order for its
recomputation); and the walk that setting the input of a valid 10^5-node
chain starts, per node cleared, less the cost of a set that nothing reads,
against the core's walk over a chain of its own nodes. The targets follow, each
marked pass or miss, then the comparison with other libraries
(`libraries.py`). `--quick` uses fewer repeats, shorter timing rounds and
sizes up to 10^5 instead of 10^6 (the floors are still compared at 10^6),
checks agreement at up to 10^4 nodes (the chain at its full 10^5, where the
walks change form), counts memory on 10^4 nodes and times the first reads
of the graph chain at 10^5 only (10^6 too in a full run) and of 10^4 model
instances (10^5 in a full run).
"""

import argparse
import gc
import itertools
import json
import pickle
import platform
import queue
import statistics
import subprocess
import sys
import threading
import time
import timeit
import tracemalloc
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path

import build_mypyc
import libraries
import reference
import tarn
from tarn import tarnwick

ROOT = Path(__file__).resolve().parents[1]
# The mypyc engine joins once it is built (load_peers).
ENGINES = {"module": tarnwick, "reference": reference}
PEERS = ["reference", "mypyc"]  # the engines set against the module
FLOORS = None  # the test-only native module, once imported
UNROLL = 20  # calls per iteration of a timeit loop
CLOCK = time.perf_counter_ns


@dataclass(frozen=True)
class Config:
    repeats: int
    round_s: float  # wall time aimed at for one repeat
    max_exponent: int  # scaling sizes go from 10^2 to 10^max_exponent
    check_size: int  # the agreement check's largest size, but for the deep chain
    memory_nodes: int  # the size of the graph whose bytes per node are counted
    chain_repeats: int  # samples of each long layer chain, each one built afresh
    chain_sizes: tuple  # the long graph chains whose first read is timed
    model_rows: int  # the length of the chain of model instances


QUICK = Config(repeats=5, round_s=0.02, max_exponent=5, check_size=10_000, memory_nodes=10_000,
               chain_repeats=3, chain_sizes=(100_000,), model_rows=10_000)
FULL = Config(repeats=9, round_s=0.1, max_exponent=6, check_size=10**6, memory_nodes=100_000,
              chain_repeats=5, chain_sizes=(100_000, 1_000_000), model_rows=100_000)


# Node functions live at module level so that pickled nodes can name them.
def one(_instance):
    return 1


def zero(_instance):
    return 0


def identity(value):
    return value


def noop():
    pass


def names(prefix, n):
    return [f"{prefix}{i}" for i in range(n)]


@dataclass
class Case:
    """One workload set up on one engine.

    A case with `call` is timed as a loop of `func(*args)`, which must leave
    the engine as it found it. Otherwise `run` is timed one call at a time,
    with the untimed `reset` before each call. Times are divided by `units`.
    `verify`, if given, checks the result of one run on its own.
    """

    engine: object = None
    call: tuple = None
    run: object = None
    reset: object = noop
    units: int = 1
    verify: object = None

    def run_once(self):
        if self.call:
            func, args = self.call
            return func(*args)
        self.reset()
        return self.run()


def build_chain(mod, first, pairs):
    """An engine in which each node depends on the one before it."""
    engine = mod.DAGEngine()
    add_node = engine.add_node
    add_edge = engine.add_edge
    add_node(first, one)
    for name, prev in pairs:
        add_node(name, one)
        add_edge(name, prev)
    return engine


def chain_parts(n):
    chain = names("c", n)
    return chain[0], list(zip(chain[1:], chain))


def set_all(nodes, valid, value):
    for node in nodes:
        node.is_valid = valid
        node.cached_value = value


# Workloads: each takes the engine's module and a size and returns a Case.


def hit_case(mod, n):
    engine = mod.DAGEngine()
    for name in names("n", n):
        engine.add_node(name, one)
    target = f"n{n // 2}"
    engine.evaluate(target, None)
    return Case(engine, call=(engine.evaluate, (target, None)))


def hit_floor(n):
    registry = dict.fromkeys(names("n", n))
    return Case(call=(registry.get, (f"n{n // 2}",)))


def recompute_step(evaluate, record_access, prev):
    def func(instance):
        record_access(prev)
        return evaluate(prev, instance) + 1

    return func


def recompute_case(mod, n):
    engine = mod.DAGEngine()
    evaluate = engine.evaluate
    chain = names("c", n)
    engine.add_node(chain[0], zero)
    for name, prev in zip(chain[1:], chain):
        engine.add_node(name, recompute_step(evaluate, engine.record_access, prev))
    engine.evaluate(chain[-1], None)  # records the edges
    return Case(
        engine,
        run=partial(evaluate, chain[-1], None),
        reset=partial(engine.invalidate, chain[0]),
        units=n,
    )


def plain_step(prev):
    def func(instance):
        return prev(instance) + 1

    return func


def recompute_floor(n):
    func = zero
    for _ in range(n - 1):
        func = plain_step(func)
    return Case(run=partial(func, None), units=n)


def fan_in_case(mod, n):
    engine = mod.DAGEngine()
    deps = names("s", n)
    for name in deps:
        engine.add_node(name, one)
    engine.add_node("top", one).static_dependencies.extend(deps)
    nodes = list(engine.nodes.values())
    return Case(
        engine,
        run=partial(engine.evaluate, "top", None),
        reset=partial(set_all, nodes, False, None),
        units=n,
    )


class DeepStack:
    """A thread with a large stack that runs the calls handed to it.

    Compiled, the reference's recursive walk is a plain C recursion, its
    fastest form, but one that overflows the main thread's stack at some
    10^5 levels. Deeper walks run here instead; handing a call over costs
    some microseconds, under 2% of a walk of 10^5 nodes.
    """

    SIZE = 512 << 20
    _instance = None

    def __init__(self):
        self.requests = queue.SimpleQueue()
        self.results = queue.SimpleQueue()
        previous = threading.stack_size(self.SIZE)
        try:
            threading.Thread(target=self.serve, daemon=True, name="deep-stack").start()
        finally:
            threading.stack_size(previous)

    @classmethod
    def call(cls, func, *args):
        if cls._instance is None:
            cls._instance = cls()
        self = cls._instance
        self.requests.put((func, args))
        result, error = self.results.get()
        if error is not None:
            raise error
        return result

    def serve(self):
        while True:
            func, args = self.requests.get()
            try:
                self.results.put((func(*args), None))
            except BaseException as exc:  # handed back to the caller
                self.results.put((None, exc))


MAIN_STACK_LEVELS = 10_000  # recursive compiled walks deeper than this use DeepStack


def chain_case(mod, n, deep=True):
    first, pairs = chain_parts(n)
    engine = build_chain(mod, first, pairs)
    invalidate = engine.invalidate
    if deep and mod is reference:
        # The reference's recursive walk cannot go this deep; its iterative
        # walk with an explicit stack clears the nodes in the same order.
        invalidate = engine.invalidate_iterative
    elif mod is ENGINES.get("mypyc") and n > MAIN_STACK_LEVELS:
        invalidate = partial(DeepStack.call, engine.invalidate)
    nodes = list(engine.nodes.values())
    return Case(
        engine,
        run=partial(invalidate, first),
        reset=partial(set_all, nodes, True, 1),
        units=n,
    )


def fan_out_case(mod, n):
    engine = mod.DAGEngine()
    engine.add_node("root", one)
    for name in names("f", n - 1):
        engine.add_node(name, one)
        engine.add_edge(name, "root")
    nodes = list(engine.nodes.values())
    return Case(
        engine,
        run=partial(engine.invalidate, "root"),
        reset=partial(set_all, nodes, True, 1),
        units=n,
    )


def record_access_case(mod, n):
    engine = mod.DAGEngine()
    engine.add_node("r", one)
    deps = names("d", n)
    for name in deps:
        engine.add_node(name, one)
        engine.add_edge("r", name)
    engine.call_stack.append("r")  # "r" is the running node
    # The last dependency: the duplicate test scans the whole list.
    return Case(engine, call=(engine.record_access, (deps[-1],)))


def build_case(mod, n):
    first, pairs = chain_parts(n)
    return Case(run=partial(build_chain, mod, first, pairs), reset=gc.collect, units=n)


def pickle_case(mod, n, group=50):
    # The pickler recurses along the edges, so the nodes come in small
    # connected groups: a chain whose first node also depends on its last.
    engine = mod.DAGEngine()
    chain = names("p", n)
    for start in range(0, n, group):
        members = chain[start : start + group]
        for name in members:
            engine.add_node(name, one)
        for name, prev in zip(members[1:], members):
            engine.add_edge(name, prev)
        engine.add_edge(members[0], members[-1])
    for name in chain[::2]:
        engine.evaluate(name, None)
    original = snapshot(engine)

    def verify(loaded):
        return None if snapshot(loaded) == original else "the round trip changed the graph"

    return Case(
        engine,
        run=partial(round_trip, engine),
        reset=gc.collect,
        units=n,
        verify=verify,
    )


def round_trip(engine):
    return pickle.loads(pickle.dumps(engine, protocol=5))


def plain_call_case(_n):
    return Case(call=(identity, (None,)))


# Native floors: each takes the module's case of its workload and does the
# same work on the same engine with the least code (tests/native).


def lookup_floor(case):
    _evaluate, (name, _instance) = case.call
    return Case(case.engine, call=(FLOORS.floor_lookup, (case.engine, name)))


def walk_floor(case):
    (name,) = case.run.args
    return Case(case.engine, run=partial(FLOORS.floor_invalidate, case.engine, name),
                reset=case.reset, units=case.units)


@dataclass(frozen=True)
class Workload:
    key: str
    label: str
    short: str
    make: object
    size: int
    unit: str
    companions: dict = field(default_factory=dict)  # more cases timed alongside
    native_floor: object = None  # the module's case -> the floor's case


WORKLOADS = [
    Workload("hit", "hit: evaluate of a valid node", "hit", hit_case, 1000, "op",
             {"floor": hit_floor}, native_floor=lookup_floor),
    Workload("recompute", "recompute: 500-node chain", "recompute", recompute_case, 500,
             "node", {"floor": recompute_floor, "plain_call": plain_call_case}),
    Workload("fan_in", "static fan-in: 1,000 deps", "static fan-in", fan_in_case, 1000,
             "dep"),
    Workload("chain", "invalidation: chain of 100,000", "chain invalidation", chain_case,
             100_000, "node", native_floor=walk_floor),
    Workload("fan_out", "invalidation: fan-out of 100,000", "fan-out invalidation",
             fan_out_case, 100_000, "node", native_floor=walk_floor),
    Workload("record_access_10", "record_access: 10 deps", "record_access",
             record_access_case, 10, "op"),
    Workload("record_access_100", "record_access: 100 deps", "record_access",
             record_access_case, 100, "op"),
    Workload("record_access_1000", "record_access: 1,000 deps", "record_access",
             record_access_case, 1000, "op"),
    Workload("build", "build: 100,000 nodes", "build", build_case, 100_000, "node"),
    Workload("pickle", "pickle: 10,000 nodes, protocol 5", "pickle", pickle_case, 10_000,
             "node"),
]
BY_KEY = {w.key: w for w in WORKLOADS}
SCALED = ["chain", "fan_out", "fan_in", "build"]
CHECKS = WORKLOADS + [
    Workload("chain_recursive", "invalidation: chain of 500, recursive reference walk",
             "", partial(chain_case, deep=False), 500, "node"),
]
# The module against the native floors: (workload, size), in every run.
FLOOR_NAMES = {"hit": "minimal lookup", "chain": "minimal walk", "fan_out": "minimal walk"}
FLOOR_ROWS = [("hit", 1000), ("chain", 10_000), ("chain", 1_000_000), ("fan_out", 10_000),
              ("fan_out", 100_000)]


# Agreement


def is_engine(value):
    return isinstance(value, tuple(mod.DAGEngine for mod in ENGINES.values()))


def snapshot(engine):
    """The engine's graph as plain data: nodes by name, edges as names."""
    nodes = {
        key: (
            node.name,
            bool(node.is_valid),
            bool(node.is_explicit),
            node.cached_value,
            int(node.flags),
            [dep.name for dep in node.dependencies],
            [dep.name for dep in node.dependents],
            list(node.static_dependencies),
        )
        for key, node in engine.nodes.items()
    }
    return nodes, list(engine.call_stack)


def outcome(make, floor=None):
    """(result, engine state, problem) of one run of a fresh case, or of
    the native floor's case made from it."""
    try:
        case = make()
        if floor is not None:
            case = floor(case)
        result = case.run_once()
    except Exception as exc:  # reported as a disagreement, not a crash
        return None, None, f"raised {exc!r}"
    problem = case.verify(result) if case.verify else None
    state = snapshot(case.engine) if case.engine is not None else None
    return (snapshot(result) if is_engine(result) else result), state, problem


def difference(left, right):
    """A short description of where two outcomes part."""
    if left[0] != right[0]:
        return "the operation's results differ"
    (nodes_a, stack_a), (nodes_b, stack_b) = left[1], right[1]
    if stack_a != stack_b:
        return f"call_stack {stack_a!r} against {stack_b!r}"
    for key in nodes_a.keys() | nodes_b.keys():
        if nodes_a.get(key) != nodes_b.get(key):
            return f"node {key!r}: {nodes_a.get(key)!r} against {nodes_b.get(key)!r}"
    return "unknown"


def check_all(cfg):
    failures = []
    for workload in CHECKS:
        # The chain keeps its size: its walks change form past some depth.
        size = workload.size if workload.key == "chain" else min(workload.size, cfg.check_size)
        got = {
            label: outcome(partial(workload.make, mod, size))
            for label, mod in ENGINES.items()
        }
        if workload.native_floor is not None:
            got["native floor"] = outcome(partial(workload.make, tarnwick, size),
                                          workload.native_floor)
        problems = [f"{workload.label}: {label}: {p}" for label, (_, _, p) in got.items() if p]
        if problems:
            failures += problems
        else:
            failures += [
                f"{workload.label}: {label} against module: {difference(got['module'], other)}"
                for label, other in got.items()
                if label != "module" and other[:2] != got["module"][:2]
            ]
        del got
        gc.collect()
    return failures


# Timing


def clock_overhead():
    samples = []
    for _ in range(1000):
        t0 = CLOCK()
        t1 = CLOCK()
        samples.append(t1 - t0)
    return statistics.median(samples)


def call_sampler(func, args, cfg):
    """A calibrated timer of func(*args): each call gives one sample, ns per call."""
    params = ", ".join(f"a{i}" for i in range(len(args)))
    setup = "f = _func\n" + "".join(f"a{i} = _args[{i}]\n" for i in range(len(args)))
    stmt = "\n".join([f"f({params})"] * UNROLL)
    timer = timeit.Timer(stmt, setup, globals={"_func": func, "_args": args})
    number = 1
    while (elapsed := timer.timeit(number)) < cfg.round_s / 10:
        number *= 10
    number = max(1, round(number * cfg.round_s / elapsed))
    return lambda: timer.timeit(number) / (number * UNROLL) * 1e9


def run_sampler(case, cfg, overhead):
    """A calibrated timer of case.run(), reset before each run: ns per unit."""
    run, reset = case.run, case.reset

    def rounds(count):
        elapsed = 0
        enabled = gc.isenabled()
        gc.disable()
        try:
            for _ in range(count):
                result = None  # released before the clock starts
                reset()
                t0 = CLOCK()
                result = run()
                t1 = CLOCK()
                elapsed += t1 - t0 - overhead
        finally:
            if enabled:
                gc.enable()
        return max(elapsed, 0)

    start = CLOCK()
    rounds(1)  # warm-up, and the cost of one run with its reset
    count = max(1, round(cfg.round_s * 1e9 / max(CLOCK() - start, 1)))
    return lambda: rounds(count) / (count * case.units)


def summary(samples):
    return {
        "median": statistics.median(samples),
        "min": min(samples),
        "max": max(samples),
        "samples": samples,
    }


def time_interleaved(makers, cfg, overhead):
    """Times several cases side by side: each repeat takes one sample of
    each in turn, so that a slow spell of the machine hits them alike."""
    cases = {label: make() for label, make in makers.items()}
    samplers = {
        label: call_sampler(*case.call, cfg) if case.call else run_sampler(case, cfg, overhead)
        for label, case in cases.items()
    }
    samples = {label: [] for label in cases}
    for _ in range(cfg.repeats):
        for label, sampler in samplers.items():
            samples[label].append(sampler())
    del cases, samplers
    gc.collect()
    return {label: summary(values) for label, values in samples.items()}


def time_workload(workload, size, cfg, overhead):
    makers = {label: partial(workload.make, mod, size) for label, mod in ENGINES.items()}
    if size == workload.size:
        makers.update((label, partial(make, size)) for label, make in workload.companions.items())
    row = {"size": size, "unit": workload.unit, **time_interleaved(makers, cfg, overhead)}
    row["speedup"] = row["reference"]["median"] / row["module"]["median"]
    row["mypyc_ratio"] = row["module"]["median"] / row["mypyc"]["median"]
    if "floor" in row:
        row["floor_ratio"] = row["module"]["median"] / row["floor"]["median"]
    return row


def time_native_floor(workload, size, cfg, overhead):
    """The module and its native floor, timed interleaved on one engine."""
    case = workload.make(tarnwick, size)
    floor = workload.native_floor(case)
    row = {"size": size, "unit": workload.unit,
           **time_interleaved({"module": lambda: case, "floor": lambda: floor}, cfg, overhead)}
    del case, floor
    gc.collect()
    row["ratio"] = row["module"]["median"] / row["floor"]["median"]
    return row


def bytes_per_node(mod, n):
    first, pairs = chain_parts(n)
    enabled = gc.isenabled()
    gc.disable()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        engine = build_chain(mod, first, pairs)
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
        if enabled:
            gc.enable()
    del engine
    gc.collect()
    return (after - before) / n


# The graph layer's reads that hit, against the core's.


class _Order(tarn.Model):
    qty: tarn.Input[int] = tarn.Input(3)

    @tarn.computed
    def total(self) -> int:
        return self.qty * 2


def statement_sampler(stmt, names, cfg, within=None):
    """A calibrated timer of a statement over `names`: ns per statement.
    With `within`, each sample runs as within(timeit, number), so that what
    it sets up is gone before the next case's sample."""
    timer = timeit.Timer("\n".join([stmt] * UNROLL), globals=dict(names))

    def run(number):
        if within is None:
            return timer.timeit(number)
        return within(timer.timeit, number)

    number = 1
    while (elapsed := run(number)) < cfg.round_s / 10:
        number *= 10
    number = max(1, round(number * cfg.round_s / elapsed))
    return lambda: run(number) / (number * UNROLL) * 1e9


# (label, the core row it is set against, the limit of the ratio)
LAYER_ROWS = [
    ("graph hit: graph[name]", "core hit", 1.5),
    ("model input hit: model.attr", "core hit", 1.5),
    ("model computed hit: model.attr", "core hit", 1.5),
    ("tracked graph read", "core record_access + evaluate", 2.5),
    ("tracked model read", "core record_access + evaluate", 2.5),
]


def time_layer(cfg):
    """The layer's hits and the core's, timed interleaved in one run."""
    engine = tarnwick.DAGEngine()
    for name in names("n", 1000):
        engine.add_node(name, one)
    engine.add_node("r", one)
    engine.add_edge("r", "n500")
    engine.evaluate("n500", None)
    engine.call_stack.append("r")  # "r" is running and has read "n500" before
    graph = tarn.Graph()
    for at, name in enumerate(names("n", 1000)):
        graph.input(name, at)
    graph.node(lambda g: g["n500"] + 1, name="r")
    graph["r"]
    model = _Order()
    model.total
    def tracking(timeit_, number):
        # Inside a computation that has read what it reads before: the
        # samples are taken by a node function. Its graph, and the edges
        # its reads leave, are gone before the next case's sample.
        holder = tarn.Graph()
        holder["g"], holder["o"] = graph, model
        taken = []

        def sample(h):
            h["g"]["n500"], h["o"].total  # read once before, as "r" had
            taken.append(timeit_(number))
            return 0

        holder.node(sample, name="sample")
        holder["sample"]
        return taken[0]
    spaces = {"ev": engine.evaluate, "ra": engine.record_access, "g": graph, "o": model}
    samplers = {
        "core hit": statement_sampler("ev('n500', None)", spaces, cfg),
        "core record_access + evaluate":
            statement_sampler("ra('n500'); ev('n500', None)", spaces, cfg),
        "graph hit: graph[name]": statement_sampler("g['n500']", spaces, cfg),
        "model input hit: model.attr": statement_sampler("o.qty", spaces, cfg),
        "model computed hit: model.attr": statement_sampler("o.total", spaces, cfg),
        "tracked graph read": statement_sampler("g['n500']", spaces, cfg, tracking),
        "tracked model read": statement_sampler("o.total", spaces, cfg, tracking),
    }
    samples = {label: [] for label in samplers}
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(cfg.repeats):
            for label, sampler in samplers.items():
                samples[label].append(sampler())
    finally:
        if enabled:
            gc.enable()
    rows = {label: summary(values) for label, values in samples.items()}
    for label, against, _ in LAYER_ROWS:
        rows[label]["ratio"] = rows[label]["median"] / rows[against]["median"]
    return rows


# The graph layer's long chains: the first read of a chain nothing has
# computed yet against the recomputation of the same chain, and the walk
# that setting the chain's input starts against the core's own walk.

FIRST_READ_LIMIT = 2.5  # first read / recompute, per node, of a graph chain
WALK_SIZE = 100_000
WALK_LIMIT = 1.5  # the layer's walk per node / the core's
UNSUPPORTED = "not supported by this build"


def layer_chain(n):
    """A graph of the input n0 = 0 and nodes n1 .. n{n-1}, each one more
    than the one before it; nothing is read."""
    graph = tarn.Graph()
    graph["n0"] = 0
    node = graph.node
    for i in range(1, n):
        node(lambda g, p=f"n{i - 1}": g[p] + 1, name=f"n{i}")
    return graph


def read_in_order(graph, n):
    """Reads n0, n1, ... in turn: each node computes with the one it reads
    already valid, so no read nests in another."""
    for name in names("n", n):
        graph[name]


class _Row(tarn.Model):
    prev = tarn.Input(None)
    amount = tarn.Input(1)

    @tarn.computed
    def balance(self):
        return (self.prev.balance if self.prev is not None else 0) + self.amount


class GraphChain:
    """A `layer_chain` of `size` nodes; changing it sets n0 to 1."""

    label = "graph chain"
    change_label = "n0 set"
    unit = "node"
    limit = FIRST_READ_LIMIT

    def __init__(self, size):
        self.size = size
        self.computed = size - 1
        self.last = f"n{size - 1}"
        self.expected = (size - 1, size)  # the end's value, then after the change

    def build(self):
        return layer_chain(self.size)

    def read_end(self, graph):
        return graph[self.last]

    def read_in_order(self, graph):
        read_in_order(graph, self.size)

    def change(self, graph):
        graph["n0"] = 1


class RowChain:
    """`size` model instances, each one's balance read from the one before
    it; changing the chain sets the first row's amount to 2."""

    label = "model rows"
    change_label = "amount set"
    unit = "row"
    limit = None  # measured, with no target

    def __init__(self, size):
        self.size = size
        self.computed = size
        self.expected = (size, size + 1)

    def build(self):
        rows = []
        prev = None
        for _ in range(self.size):
            prev = _Row(prev=prev)
            rows.append(prev)
        return rows

    def read_end(self, rows):
        return rows[-1].balance

    def read_in_order(self, rows):
        for row in rows:
            row.balance

    def change(self, rows):
        rows[0].amount = 2


def first_read_sample(chain, overhead):
    """Builds the chain afresh and times its first read, then its
    recomputation after its start changes: (first, recompute, problem), in
    ns per computed node. `first` is None when the read raised
    RecursionError; the chain is then read in order, untimed, to make it
    valid for the recomputation. The change itself is not timed."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        built = chain.build()
        first = value = None
        t0 = CLOCK()
        try:
            value = chain.read_end(built)
            t1 = CLOCK()
            first = (t1 - t0 - overhead) / chain.computed
        except RecursionError:
            chain.read_in_order(built)
            value = chain.read_end(built)
        chain.change(built)
        t0 = CLOCK()
        again = chain.read_end(built)
        t1 = CLOCK()
        recompute = (t1 - t0 - overhead) / chain.computed
    finally:
        built = None
        if enabled:
            gc.enable()
        gc.collect()
    problem = None
    if (value, again) != chain.expected:
        problem = (f"{chain.label} of {chain.size:,}: the end read {value!r}, then {again!r}, "
                   f"instead of {chain.expected[0]!r}, then {chain.expected[1]!r}")
    return first, recompute, problem


def setter(graph, name):
    """A call that sets the input `name` to a value it has not held yet."""
    values = itertools.count(1)

    def run():
        graph[name] = next(values)

    return run


def layer_walk_case(n):
    """Setting n0 of a valid chain: the set walks the n - 1 nodes after it.
    Before each set the chain is read in order again, untimed."""
    enabled = gc.isenabled()
    gc.disable()  # the collector's passes slow the building of 10^5 objects down
    try:
        graph = layer_chain(n)
        read_in_order(graph, n)
    finally:
        if enabled:
            gc.enable()
    return Case(run=setter(graph, "n0"), reset=partial(read_in_order, graph, n), units=n - 1)


def core_shaped_chain_case(n):
    """The core's own walk over a plain chain shaped as a graph's is: each
    node with a function of its own and a value of its own, made afresh
    before each walk, as a recomputation makes them."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        engine = tarnwick.DAGEngine()
        add_node, add_edge = engine.add_node, engine.add_edge
        add_node("n0", lambda x: 0)
        for i in range(1, n):
            add_node(f"n{i}", lambda x, p=f"n{i - 1}": p)
            add_edge(f"n{i}", f"n{i - 1}")
        nodes = list(engine.nodes.values())
    finally:
        if enabled:
            gc.enable()
    base = [10**6]

    def reset():
        base[0] += n
        for i, node in enumerate(nodes):
            node.cached_value = base[0] + i
            node.is_valid = True

    return Case(engine, run=partial(engine.invalidate, "n0"), reset=reset, units=n)


def lone_set_case():
    """The fixed cost of a set: an input that nothing reads."""
    graph = tarn.Graph()
    graph["x"] = 0
    return Case(run=setter(graph, "x"))


def time_layer_chains(cfg, overhead):
    """The first reads of long chains against their recomputations (each
    repeat takes one sample of every chain in turn), then the layer's walk
    against the core's, timed interleaved; returns the rows and the
    problems (reads that returned wrong values)."""
    chains = [GraphChain(size) for size in cfg.chain_sizes] + [RowChain(cfg.model_rows)]
    samples = [([], []) for _ in chains]
    problems = []
    for _ in range(cfg.chain_repeats):
        for chain, (firsts, recomputes) in zip(chains, samples):
            first, recompute, problem = first_read_sample(chain, overhead)
            firsts.append(first)
            recomputes.append(recompute)
            if problem:
                problems.append(problem)
    first_reads = []
    for chain, (firsts, recomputes) in zip(chains, samples):
        supported = None not in firsts
        row = {"label": chain.label, "change": chain.change_label, "size": chain.size,
               "unit": chain.unit, "limit": chain.limit,
               "first": summary(firsts) if supported else None,
               "recompute": summary(recomputes)}
        row["ratio"] = (row["first"]["median"] / row["recompute"]["median"]
                        if supported else None)
        first_reads.append(row)

    walk = time_interleaved({
        "layer": partial(layer_walk_case, WALK_SIZE),
        "lone set": lone_set_case,
        "core": partial(chain_case, tarnwick, WALK_SIZE),
        "core shaped": partial(core_shaped_chain_case, WALK_SIZE),
    }, cfg, overhead)
    # The samples are taken in turn, so each of the layer's is paired with
    # the lone set taken just after it.
    walked = WALK_SIZE - 1
    layer = [sample - lone / walked
             for sample, lone in zip(walk["layer"]["samples"], walk["lone set"]["samples"])]
    walk = {"size": WALK_SIZE, "limit": WALK_LIMIT, "set with no readers": walk["lone set"],
            "core": walk["core"], "core shaped": walk["core shaped"], "layer": summary(layer)}
    # The target compares like with like: nodes holding values and
    # functions of their own, laid out in memory as a graph lays them out.
    walk["ratio"] = walk["layer"]["median"] / walk["core shaped"]["median"]
    walk["ratio to the bare chain"] = walk["layer"]["median"] / walk["core"]["median"]
    return {"first_read": first_reads, "walk": walk}, problems


# Report


def fmt(value):
    return f"{value:,.1f}" if value < 1000 else f"{value:,.0f}"


def fmt_stats(stats):
    return f"{fmt(stats['median'])} [{fmt(stats['min'])}-{fmt(stats['max'])}]"


def print_table(results, memory, memory_nodes):
    header = (f"{'workload':36} {'unit':5} {'module ns [min-max]':>26} "
              f"{'reference ns [min-max]':>26} {'mypyc ns [min-max]':>26} {'ref/mod':>8} "
              f"{'mod/mypyc':>9} {'floor ns':>9} {'mod/floor':>9}")
    print(header)
    print("-" * len(header))
    for workload in WORKLOADS:
        row = results[workload.key]
        floor = row.get("floor")
        print(f"{workload.label:36} {row['unit']:5} {fmt_stats(row['module']):>26} "
              f"{fmt_stats(row['reference']):>26} {fmt_stats(row['mypyc']):>26} "
              f"{row['speedup']:>7.2f}x {row['mypyc_ratio']:>9.2f} "
              f"{fmt(floor['median']) if floor else '':>9} "
              f"{format(row['floor_ratio'], '.2f') + 'x' if floor else '':>9}")
    print(f"{f'memory: built {memory_nodes:,}-node graph':36} {'B/nd':5} "
          f"{fmt(memory['module']):>26} "
          f"{fmt(memory['reference']):>26} {fmt(memory['mypyc']):>26} "
          f"{memory['ratio']:>7.2f}x {memory['module'] / memory['mypyc']:>9.2f}")


def print_native_floors(rows):
    print("\nnative floors: the least code doing the same work on the module's own records")
    header = (f"{'workload':36} {'size':>9} {'unit':5} {'module ns [min-max]':>26} "
              f"{'floor ns [min-max]':>26} {'mod/floor':>9}")
    print(header)
    print("-" * len(header))
    for (key, size), row in rows.items():
        label = f"{BY_KEY[key].short} vs {FLOOR_NAMES[key]}"
        print(f"{label:36} {size:>9,} {row['unit']:5} {fmt_stats(row['module']):>26} "
              f"{fmt_stats(row['floor']):>26} {row['ratio']:>8.2f}x")


def print_scaling(scaling):
    print("\nscaling, ns per node (per dependency for static fan-in)")
    header = (f"{'workload':36} {'size':>9} {'module':>12} {'reference':>12} {'mypyc':>12} "
              f"{'ref/mod':>8} {'mod/mypyc':>9}")
    print(header)
    print("-" * len(header))
    for key, rows in scaling.items():
        for size, row in rows.items():
            print(f"{BY_KEY[key].short:36} {size:>9,} "
                  f"{fmt(row['module']['median']):>12} {fmt(row['reference']['median']):>12} "
                  f"{fmt(row['mypyc']['median']):>12} {row['speedup']:>7.2f}x "
                  f"{row['mypyc_ratio']:>9.2f}")


def print_layer(rows):
    print("\nthe graph layer's reads that hit, against the core's")
    header = f"{'read':36} {'ns [min-max]':>26} {'against':>30} {'ratio':>7}"
    print(header)
    print("-" * len(header))
    against = {label: core for label, core, _ in LAYER_ROWS}
    for label, row in rows.items():
        core = against.get(label)
        print(f"{label:36} {fmt_stats(row):>26} {core or '':>30} "
              f"{format(row['ratio'], '.2f') + 'x' if core else '':>7}")


def print_layer_chains(chains):
    print("\nthe graph layer's long chains: a first read of a chain never computed against "
          "its recomputation,\nand the walk a set starts against the core's (ns per node "
          "computed or cleared; ratios beside their targets)")
    header = (f"{'measure':46} {'size':>9} {'unit':5} {'ns [min-max]':>28} {'against':>14} "
              f"{'ratio':>7} {'target':>7}")
    print(header)
    print("-" * len(header))

    def line(label, size, unit, stats, against="", ratio=None, limit=None):
        measured = fmt_stats(stats) if stats is not None else UNSUPPORTED
        shown = "" if not against else "-" if ratio is None else f"{ratio:.2f}x"
        print(f"{label:46} {size:>9,} {unit:5} {measured:>28} {against:>14} {shown:>7} "
              f"{'' if limit is None else f'<= {limit}':>7}")

    for row in chains["first_read"]:
        line(f"{row['label']}: recompute after {row['change']}", row["size"], row["unit"],
             row["recompute"])
        line(f"{row['label']}: first read, never computed", row["size"], row["unit"],
             row["first"], "recompute", row["ratio"], row["limit"])
    walk = chains["walk"]
    line("set of an input with no readers", 1, "set", walk["set with no readers"])
    line("core walk: invalidate the start of a chain", walk["size"], "node", walk["core"])
    line("core walk: the same, shaped as a graph", walk["size"], "node", walk["core shaped"])
    line("layer walk: set n0, less the set's own cost", walk["size"], "node", walk["layer"],
         "core shaped", walk["ratio"], walk["limit"])
    line("", walk["size"], "node", walk["layer"], "core walk", walk["ratio to the bare chain"])


def targets(results, overhead_calls, memory, scaling, floors, layer, chains):
    def speedup(key):
        return results[key]["speedup"]

    def against_mypyc(key, size=None):
        row = results[key] if size is None else scaling[key][size]
        return row["mypyc_ratio"]

    table = [
        ("hit: module/mypyc <= 0.82", against_mypyc("hit"), "<=", 0.82),
        ("chain invalidation 10,000: module/mypyc <= 0.6", against_mypyc("chain", 10_000),
         "<=", 0.6),
        ("fan-out invalidation 10,000: module/mypyc <= 0.6",
         against_mypyc("fan_out", 10_000), "<=", 0.6),
        ("chain invalidation 1,000,000: module <= 1.3x minimal walk",
         floors[("chain", 1_000_000)]["ratio"], "<=", 1.3),
        ("build: module/mypyc <= 0.5", against_mypyc("build"), "<=", 0.5),
        ("pickle: module/mypyc <= 0.9", against_mypyc("pickle"), "<=", 0.9),
        ("record_access, 1,000 deps: module/mypyc <= 0.1", against_mypyc("record_access_1000"),
         "<=", 0.1),
        ("recompute (miss chain): module/mypyc <= 0.65", against_mypyc("recompute"), "<=", 0.65),
        ("hit: module <= 1.3x floor", results["hit"]["floor_ratio"], "<=", 1.3),
        ("hit: >= 2x faster than reference", speedup("hit"), ">=", 2),
        ("invalidation chain: >= 15x faster", speedup("chain"), ">=", 15),
        ("invalidation fan-out: >= 8x faster", speedup("fan_out"), ">=", 8),
        ("recompute: overhead <= 2 plain calls per node", overhead_calls, "<=", 2),
        ("record_access, 1,000 deps: >= 5x faster", speedup("record_access_1000"), ">=", 5),
        ("build: >= 2.5x faster", speedup("build"), ">=", 2.5),
        ("pickle: no slower than reference", speedup("pickle"), ">=", 1),
        ("memory: no more bytes per node than reference", memory["ratio"], ">=", 1),
    ] + [(f"{label}: <= {limit}x {core}", layer[label]["ratio"], "<=", limit)
         for label, core, limit in LAYER_ROWS] + [
        (f"{row['label']} of {row['size']:,}: first read <= {row['limit']}x its recompute",
         row["ratio"], "<=", row["limit"])
        for row in chains["first_read"] if row["limit"] is not None
    ] + [
        (f"layer invalidation walk of {chains['walk']['size']:,}: <= "
         f"{chains['walk']['limit']}x the core's walk", chains["walk"]["ratio"], "<=",
         chains["walk"]["limit"]),
    ]
    # A value of None: this build cannot do the operation at all.
    return [
        {"target": name, "value": value, "limit": limit, "op": op,
         "pass": value is not None and (value <= limit if op == "<=" else value >= limit)}
        for name, value, op, limit in table
    ]


def write_chart(scaling, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        from matplotlib import pyplot
    except ImportError:
        return False
    figure, axes = pyplot.subplots(2, 2, figsize=(10, 8))
    for axis, (key, rows) in zip(axes.flat, scaling.items()):
        sizes = list(rows)
        for label in ENGINES:
            axis.plot(sizes, [rows[s][label]["median"] for s in sizes], marker="o", label=label)
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_title(BY_KEY[key].short)
        axis.set_xlabel("nodes")
        axis.set_ylabel(f"ns per {BY_KEY[key].unit}")
        axis.legend()
    figure.tight_layout()
    figure.savefig(path)
    pyplot.close(figure)
    return True


def load_peers():
    """Builds and imports the mypyc engine and the native floors; returns a
    message saying what is missing and how to get it, or None."""
    global FLOORS
    try:
        build_mypyc.ensure()
        ENGINES["mypyc"] = build_mypyc.load()
    except (build_mypyc.Unavailable, subprocess.CalledProcessError) as exc:
        return f"the mypyc engine is not available: {exc}"
    sys.path.insert(0, str(ROOT / "tests" / "native"))
    try:
        import _tablecheck
    except ImportError as exc:
        return (f"the native floors are not available ({exc}): build the test-only module "
                f"_tablecheck into tests/native/ with tools/build-dev (a release build; "
                f"one built with sanitizers does not load here)")
    finally:
        del sys.path[0]
    FLOORS = _tablecheck
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="finish in well under a minute")
    parser.add_argument("--no-libraries", action="store_true",
                        help="leave out the comparison with other libraries")
    parser.add_argument("--json", metavar="FILE", help="write all figures to FILE")
    parser.add_argument("--chart", metavar="FILE",
                        help="scaling chart (PNG; default: beside the JSON file, or "
                             "bench-scaling.png), written when matplotlib is importable")
    args = parser.parse_args(argv)
    cfg = QUICK if args.quick else FULL
    sys.setrecursionlimit(10_000)  # the reference nests two frames per chain level
    missing = load_peers()
    if missing:
        print(missing, file=sys.stderr)
        return 2

    print(f"Python {platform.python_version()} on {platform.machine()}, "
          f"{'quick' if args.quick else 'full'} run, {cfg.repeats} repeats, collector off "
          f"while timing")
    failures = check_all(cfg)
    if failures:
        print("the engines (or the native floors) disagree:")
        for failure in failures:
            print(f"  {failure}")
        return 1
    print(f"the engines {', '.join(ENGINES)} and the native floors agree on all "
          f"{len(CHECKS)} workloads\n")

    overhead = clock_overhead()
    results = {w.key: time_workload(w, w.size, cfg, overhead) for w in WORKLOADS}
    recompute = results["recompute"]
    plain_call = recompute["plain_call"]
    overhead_ns = recompute["module"]["median"] - recompute["floor"]["median"]
    overhead_calls = overhead_ns / plain_call["median"]
    memory = {label: bytes_per_node(mod, cfg.memory_nodes) for label, mod in ENGINES.items()}
    memory["ratio"] = memory["reference"] / memory["module"]

    scaling = {}
    for key in SCALED:
        workload = BY_KEY[key]
        scaling[key] = {}
        for exponent in range(2, cfg.max_exponent + 1):
            size = 10**exponent
            scaling[key][size] = (results[key] if size == workload.size
                                  else time_workload(workload, size, cfg, overhead))
    floors = {(key, size): time_native_floor(BY_KEY[key], size, cfg, overhead)
              for key, size in FLOOR_ROWS}

    print_table(results, memory, cfg.memory_nodes)
    print(f"\nrecompute: engine overhead per node {fmt(overhead_ns)} ns (module minus floor) = "
          f"{overhead_calls:.2f} plain Python calls of {fmt(plain_call['median'])} ns")
    print_scaling(scaling)
    print_native_floors(floors)
    layer = time_layer(cfg)
    print_layer(layer)
    chains, problems = time_layer_chains(cfg, overhead)
    if problems:
        print("the graph layer's long chains read wrong values:")
        for problem in problems:
            print(f"  {problem}")
        return 1
    print_layer_chains(chains)

    marks = targets(results, overhead_calls, memory, scaling, floors, layer, chains)
    print("\ntargets")
    for mark in marks:
        value = UNSUPPORTED if mark["value"] is None else f"{mark['value']:.2f}"
        print(f"  [{'pass' if mark['pass'] else 'MISS'}] {mark['target']}: "
              f"{value} ({mark['op']} {mark['limit']})")

    chart = args.chart or (str(Path(args.json).with_suffix(".png")) if args.json
                           else "bench-scaling.png")
    if write_chart(scaling, chart):
        print(f"\nscaling chart written to {chart}")
    compared = None
    if not args.no_libraries:
        print()
        compared = libraries.run(quick=args.quick)
        if compared is None:
            return 1  # they disagree; libraries.run said where
    if args.json:
        figures = {
            "python": platform.python_version(),
            "quick": args.quick,
            "repeats": cfg.repeats,
            "clock_overhead_ns": overhead,
            "workloads": results,
            "recompute_overhead": {"ns": overhead_ns, "plain_calls": overhead_calls},
            "memory_bytes_per_node": memory,
            "scaling": scaling,
            "native_floors": {f"{key}@{size}": row for (key, size), row in floors.items()},
            "layer": layer,
            "layer_chains": chains,
            "targets": marks,
            "libraries": compared,
        }
        Path(args.json).write_text(json.dumps(figures, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
