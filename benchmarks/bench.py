"""Times the native engine against the pure-Python reference engine.

    PYTHONPATH=. python benchmarks/bench.py [--quick] [--json FILE] [--chart FILE]

Every workload is first run once on both engines, and the two must agree
(returned values, validity, values and edges by name); the script exits 1
if they do not. Then each workload is timed on both, and against a floor
where one exists, and one table is printed: medians over several repeats,
with the min and max. The collector is off while timing. The targets follow,
each marked pass or miss. `--quick` uses fewer repeats, shorter timing
rounds and sizes up to 10^5 instead of 10^6.
"""

import argparse
import gc
import json
import pickle
import platform
import statistics
import sys
import time
import timeit
import tracemalloc
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path

import reference
from tarn import tarnwick

ENGINES = {"module": tarnwick, "reference": reference}
UNROLL = 20  # calls per iteration of a timeit loop
CLOCK = time.perf_counter_ns


@dataclass(frozen=True)
class Config:
    repeats: int
    round_s: float  # wall time aimed at for one repeat
    max_exponent: int  # scaling sizes go from 10^2 to 10^max_exponent


QUICK = Config(repeats=5, round_s=0.02, max_exponent=5)
FULL = Config(repeats=9, round_s=0.1, max_exponent=6)


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


def chain_case(mod, n, deep=True):
    first, pairs = chain_parts(n)
    engine = build_chain(mod, first, pairs)
    invalidate = engine.invalidate
    if deep and mod is reference:
        # The reference's recursive walk cannot go this deep; its iterative
        # walk with an explicit stack clears the nodes in the same order.
        invalidate = engine.invalidate_iterative
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


@dataclass(frozen=True)
class Workload:
    key: str
    label: str
    short: str
    make: object
    size: int
    unit: str
    companions: dict = field(default_factory=dict)  # more cases timed alongside


WORKLOADS = [
    Workload("hit", "hit: evaluate of a valid node", "hit", hit_case, 1000, "op",
             {"floor": hit_floor}),
    Workload("recompute", "recompute: 500-node chain", "recompute", recompute_case, 500,
             "node", {"floor": recompute_floor, "plain_call": plain_call_case}),
    Workload("fan_in", "static fan-in: 1,000 deps", "static fan-in", fan_in_case, 1000,
             "dep"),
    Workload("chain", "invalidation: chain of 100,000", "chain invalidation", chain_case,
             100_000, "node"),
    Workload("fan_out", "invalidation: fan-out of 100,000", "fan-out invalidation",
             fan_out_case, 100_000, "node"),
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


# Agreement


def is_engine(value):
    return isinstance(value, (tarnwick.DAGEngine, reference.DAGEngine))


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


def outcome(make):
    """(result, engine state, problem) of one run of a fresh case."""
    try:
        case = make()
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


def check_all():
    failures = []
    for workload in CHECKS:
        got = {
            label: outcome(partial(workload.make, mod, workload.size))
            for label, mod in ENGINES.items()
        }
        problems = [f"{workload.label}: {label}: {p}" for label, (_, _, p) in got.items() if p]
        if problems:
            failures += problems
        elif got["module"][:2] != got["reference"][:2]:
            failures.append(f"{workload.label}: {difference(got['module'], got['reference'])}")
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
    if "floor" in row:
        row["floor_ratio"] = row["module"]["median"] / row["floor"]["median"]
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


# Report


def fmt(value):
    return f"{value:,.1f}" if value < 1000 else f"{value:,.0f}"


def fmt_stats(stats):
    return f"{fmt(stats['median'])} [{fmt(stats['min'])}-{fmt(stats['max'])}]"


def print_table(results, memory):
    header = (f"{'workload':36} {'unit':5} {'module ns [min-max]':>26} "
              f"{'reference ns [min-max]':>26} {'ref/mod':>8} {'floor ns':>9} {'mod/floor':>9}")
    print(header)
    print("-" * len(header))
    for workload in WORKLOADS:
        row = results[workload.key]
        floor = row.get("floor")
        print(f"{workload.label:36} {row['unit']:5} {fmt_stats(row['module']):>26} "
              f"{fmt_stats(row['reference']):>26} {row['speedup']:>7.2f}x "
              f"{fmt(floor['median']) if floor else '':>9} "
              f"{format(row['floor_ratio'], '.2f') + 'x' if floor else '':>9}")
    print(f"{'memory: built 100,000-node graph':36} {'B/nd':5} {fmt(memory['module']):>26} "
          f"{fmt(memory['reference']):>26} {memory['ratio']:>7.2f}x")


def print_scaling(scaling):
    print("\nscaling, ns per node (per dependency for static fan-in)")
    header = f"{'workload':36} {'size':>9} {'module':>12} {'reference':>12} {'ref/mod':>8}"
    print(header)
    print("-" * len(header))
    for key, rows in scaling.items():
        for size, row in rows.items():
            print(f"{BY_KEY[key].short:36} {size:>9,} "
                  f"{fmt(row['module']['median']):>12} {fmt(row['reference']['median']):>12} "
                  f"{row['speedup']:>7.2f}x")


def targets(results, overhead_calls, memory):
    def speedup(key):
        return results[key]["speedup"]

    table = [
        ("hit: module <= 1.3x floor", results["hit"]["floor_ratio"], "<=", 1.3),
        ("hit: >= 2x faster than reference", speedup("hit"), ">=", 2),
        ("invalidation chain: >= 15x faster", speedup("chain"), ">=", 15),
        ("invalidation fan-out: >= 8x faster", speedup("fan_out"), ">=", 8),
        ("recompute: overhead <= 2 plain calls per node", overhead_calls, "<=", 2),
        ("record_access, 1,000 deps: >= 5x faster", speedup("record_access_1000"), ">=", 5),
        ("build: >= 2.5x faster", speedup("build"), ">=", 2.5),
        ("pickle: no slower than reference", speedup("pickle"), ">=", 1),
        ("memory: no more bytes per node than reference", memory["ratio"], ">=", 1),
    ]
    return [
        {"target": name, "value": value, "limit": limit, "op": op,
         "pass": value <= limit if op == "<=" else value >= limit}
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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="finish in well under 30 s")
    parser.add_argument("--json", metavar="FILE", help="write all figures to FILE")
    parser.add_argument("--chart", metavar="FILE",
                        help="scaling chart (PNG; default: beside the JSON file, or "
                             "bench-scaling.png), written when matplotlib is importable")
    args = parser.parse_args(argv)
    cfg = QUICK if args.quick else FULL
    sys.setrecursionlimit(10_000)  # the reference nests two frames per chain level

    print(f"Python {platform.python_version()} on {platform.machine()}, "
          f"{'quick' if args.quick else 'full'} run, {cfg.repeats} repeats, collector off "
          f"while timing")
    failures = check_all()
    if failures:
        print("the engines disagree:")
        for failure in failures:
            print(f"  {failure}")
        return 1
    print(f"the engines agree on all {len(CHECKS)} workloads\n")

    overhead = clock_overhead()
    results = {w.key: time_workload(w, w.size, cfg, overhead) for w in WORKLOADS}
    recompute = results["recompute"]
    plain_call = recompute["plain_call"]
    overhead_ns = recompute["module"]["median"] - recompute["floor"]["median"]
    overhead_calls = overhead_ns / plain_call["median"]
    memory = {label: bytes_per_node(mod, 100_000) for label, mod in ENGINES.items()}
    memory["ratio"] = memory["reference"] / memory["module"]

    scaling = {}
    for key in SCALED:
        workload = BY_KEY[key]
        scaling[key] = {}
        for exponent in range(2, cfg.max_exponent + 1):
            size = 10**exponent
            scaling[key][size] = (results[key] if size == workload.size
                                  else time_workload(workload, size, cfg, overhead))

    print_table(results, memory)
    print(f"\nrecompute: engine overhead per node {fmt(overhead_ns)} ns (module minus floor) = "
          f"{overhead_calls:.2f} plain Python calls of {fmt(plain_call['median'])} ns")
    print_scaling(scaling)

    marks = targets(results, overhead_calls, memory)
    print("\ntargets")
    for mark in marks:
        print(f"  [{'pass' if mark['pass'] else 'MISS'}] {mark['target']}: "
              f"{mark['value']:.2f} ({mark['op']} {mark['limit']})")

    chart = args.chart or (str(Path(args.json).with_suffix(".png")) if args.json
                           else "bench-scaling.png")
    if write_chart(scaling, chart):
        print(f"\nscaling chart written to {chart}")
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
            "targets": marks,
        }
        Path(args.json).write_text(json.dumps(figures, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
