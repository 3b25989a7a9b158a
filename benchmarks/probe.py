"""Instruction counts of the layer's paths, per operation, with callgrind.

Each path runs in a fresh interpreter under `valgrind --tool=callgrind`
(hash seed 0), once doing n operations and once 2n; the difference over n
is the marginal cost of one operation, so start-up and set-up cancel out.
Paths that need set-up between operations (a set whose readers must be
valid again) count only the set itself, through callgrind's
--toggle-collect on the functions that carry it.

    python benchmarks/probe.py [--json FILE] [--quick]

prints the column of the package this interpreter imports beside the
column this same script measured on the layer as it was before its engine
went native (commit 1b68bf6, Python 3.12.1), with the ratio of the two and
the ratio each path is held to. Instruction counts are exact, so one run
decides; on another Python version the targets are not applied.

Memory per node or instance is measured with tracemalloc over building and
computing (everything counted: names, functions, values).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap

# Each program gets `n` and does n operations of its path after its set-up.
# A path is (unit, operations per unit, what it counts through
# --toggle-collect or None for everything, the path whose count it is less
# of or None, the program).
PRELUDE = """
import gc, sys, tarn
gc.disable()
n = int(sys.argv[1])
"""

PATHS = {
    # set the input of a computed 1,000-node chain, read its end; per node
    "recompute": ("node", 999, None, None, """
        g = tarn.Graph()
        g["n0"] = 0
        for i in range(1, 1000):
            g.node(lambda g, p=f"n{i - 1}": g[p] + 1, name=f"n{i}")
        for i in range(1000):
            g[f"n{i}"]
        for k in range(n):
            g["n0"] = k
            g["n999"]
    """),
    # a fresh 400-node chain read at its end, less the same without the read
    "first computation": ("node", 400, None, "first_base", """
        for k in range(n):
            g = tarn.Graph()
            g["n0"] = 0
            for i in range(1, 400):
                g.node(lambda g, p=f"n{i - 1}": g[p] + 1, name=f"n{i}")
            g["n399"]
    """),
    "first_base": (None, 400, None, None, """
        for k in range(n):
            g = tarn.Graph()
            g["n0"] = 0
            for i in range(1, 400):
                g.node(lambda g, p=f"n{i - 1}": g[p] + 1, name=f"n{i}")
    """),
    # a node reading 1,000 distinct inputs, recomputed; per read
    "tracked read": ("read", 1000, None, None, """
        g = tarn.Graph()
        names = [f"x{i}" for i in range(1000)]
        for name in names:
            g[name] = 1
        g.node(lambda g: sum(g[name] for name in names), name="wide")
        g["wide"]
        for k in range(n):
            g["x0"] = k
            g["wide"]
    """),
    # the walk a set starts over a valid 1,000-node chain; per node
    "walk": ("node", 999, "walk", None, """
        g = tarn.Graph()
        g["n0"] = 0
        for i in range(1, 1000):
            g.node(lambda g, p=f"n{i - 1}": g[p] + 1, name=f"n{i}")
        for k in range(n):
            for i in range(1000):
                g[f"n{i}"]
            g["n0"] = k
    """),
    # graph["x"] = v with no reader
    "set, fixed part": ("set", 1, "set", None, """
        g = tarn.Graph()
        g["x"] = 0
        values = list(range(1000, 1000 + n))
        for v in values:
            g["x"] = v
    """),
    # graph["x"] = v with 1,000 valid readers; per reader
    "set, per reader": ("reader", 1000, "set", None, """
        g = tarn.Graph()
        g["x"] = 0
        for i in range(1000):
            g.node(lambda g: g["x"], name=f"r{i}")
        names = [f"r{i}" for i in range(1000)]
        for k in range(n):
            for name in names:
                g[name]
            g["x"] = k + 1
    """),
    # graph.node(f, name=...) with f made beforehand
    "register": ("node", 1, None, None, """
        g = tarn.Graph()
        def f(g):
            return 1
        names = [f"n{i}" for i in range(n)]
        for name in names:
            g.node(f, name=name)
    """),
    # graph[name] of a valid node, outside any computation
    "hit": ("read", 1, None, None, """
        g = tarn.Graph()
        g["x"] = 1
        g.node(lambda g: g["x"] + 1, name="y")
        g["y"]
        for k in range(n):
            g["y"]
    """),
}

# What --toggle-collect counts for the paths that count one function: the
# core's walk, and the set as the package does it (a native write, or the
# slot that calls a Python __setitem__).
TOGGLES = {
    "walk": ["*node_invalidate_impl*"],
    "set": ["*graph_assign*", "slot_mp_ass_subscript"],
}

SIZES = {"full": (200, 400), "quick": (40, 80)}

# The column before the engine went native (commit 1b68bf6), measured by
# this script at full size on Python 3.12.1, and the most each path may
# cost now as a share of it.
BEFORE = {
    "recompute": 7905,
    "first computation": 11025,
    "tracked read": 1220,
    "walk": 765,
    "set, fixed part": 8525,
    "set, per reader": 506,
    "register": 31720,
    "hit": 493,
}
TARGETS = {
    "recompute": 0.38,
    "first computation": 0.42,
    "tracked read": 0.47,
    "walk": 0.11,
    "set, fixed part": 0.17,
    "set, per reader": 0.24,
    "register": 0.27,
    "hit": 1.0,
}
MEMORY_BEFORE = {
    "graph chain, per node": 724,
    "model chain, per instance": 1680,
    "model of 3 inputs and 3 computed, per instance": 2761,
}
MEMORY_TARGETS = {
    "graph chain, per node": 0.72,
    "model chain, per instance": 0.65,
    "model of 3 inputs and 3 computed, per instance": 0.7,
}

MEMORY = """
import gc, tracemalloc, tarn
class Row(tarn.Model):
    prev = tarn.Input(None)
    amount = tarn.Input(1)
    @tarn.computed
    def balance(self):
        return (self.prev.balance if self.prev is not None else 0) + self.amount
class Six(tarn.Model):
    a = tarn.Input(1)
    b = tarn.Input(2)
    c = tarn.Input(3)
    @tarn.computed
    def x(self):
        return self.a + self.b
    @tarn.computed
    def y(self):
        return self.x * self.c
    @tarn.computed
    def z(self):
        return self.y - self.a
def graph_chain(n):
    g = tarn.Graph()
    g["n0"] = 0
    for i in range(1, n):
        g.node(lambda g, p=f"n{i - 1}": g[p] + 1, name=f"n{i}")
    for i in range(n):
        g[f"n{i}"]
    return g
def row_chain(n):
    rows = [Row()]
    for _ in range(n - 1):
        rows.append(Row(prev=rows[-1], amount=2))
    for row in rows:
        row.balance
    return rows
def sixes(n):
    made = [Six() for _ in range(n)]
    for m in made:
        m.z
    return made
out = {}
for label, build, n in (("graph chain, per node", graph_chain, 100_000),
                        ("model chain, per instance", row_chain, 100_000),
                        ("model of 3 inputs and 3 computed, per instance", sixes, 20_000)):
    gc.collect()
    tracemalloc.start()
    kept = build(n)
    gc.collect()
    out[label] = tracemalloc.get_traced_memory()[0] / n
    tracemalloc.stop()
    del kept
print(repr(out))
"""


def count(program, n, toggles):
    with tempfile.TemporaryDirectory() as where:
        out = os.path.join(where, "cg.out")
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"]
        for name in toggles or ():
            cmd.append(f"--toggle-collect={name}")
        cmd += [sys.executable, "-P", "-c", program, str(n)]
        env = dict(os.environ, PYTHONHASHSEED="0")
        done = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=1800)
        if done.returncode != 0:
            raise RuntimeError(f"the probe failed:\n{done.stderr[-2000:]}")
        with open(out) as f:
            for line in f:
                if line.startswith("summary:") or line.startswith("totals:"):
                    return int(line.split()[1])
        raise RuntimeError("callgrind wrote no totals")


def probe(kind):
    small, large = SIZES[kind]
    raw = {}
    for path, (_, _, toggle, _, body) in PATHS.items():
        # Inside a function, so that the loops use fast locals.
        program = PRELUDE + "def run():\n" + textwrap.indent(textwrap.dedent(body), "    ") + "run()\n"
        toggles = TOGGLES[toggle] if toggle else None
        raw[path] = (count(program, small, toggles), count(program, large, toggles))
    rows = {}
    for path, (unit, per, _, base, _) in PATHS.items():
        if unit is None:
            continue
        a, b = raw[path]
        marginal = (b - a) / (large - small)
        if base is not None:
            ba, bb = raw[base]
            marginal -= (bb - ba) / (large - small)
        rows[path] = {"unit": unit, "instructions": marginal / per}
    return rows


def memory():
    done = subprocess.run([sys.executable, "-P", "-c", MEMORY], capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        raise RuntimeError(done.stderr[-2000:])
    return eval(done.stdout)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller runs")
    parser.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    args = parser.parse_args(argv)
    if shutil.which("valgrind") is None:
        print("valgrind is not installed (Debian: apt install valgrind)", file=sys.stderr)
        return 2
    import tarn

    rows = probe("quick" if args.quick else "full")
    mem = memory()
    held = sys.version_info[:2] == (3, 12)
    print(f"tarn {tarn.__version__} from {os.path.dirname(tarn.__file__)}, "
          f"Python {sys.version.split()[0]}, {'quick' if args.quick else 'full'} run")
    if not held:
        print("(the column before was measured on 3.12: ratios shown, targets not applied)")
    print(f"{'path':48} {'unit':7} {'before':>8} {'now':>8} {'now/before':>11} {'target':>7}")
    misses = 0
    table = [(path, row["unit"], BEFORE.get(path), row["instructions"], TARGETS.get(path))
             for path, row in rows.items()]
    table += [(f"memory: {label}", "B", MEMORY_BEFORE.get(label), value,
               MEMORY_TARGETS.get(label)) for label, value in mem.items()]
    for path, unit, before, now, target in table:
        ratio = now / before if before else None
        verdict = ""
        if held and ratio is not None and target is not None:
            verdict = "pass" if ratio <= target else "MISS"
            misses += verdict == "MISS"
        print(f"{path:48} {unit:7} {format(before, ',.0f') if before else '-':>8} {now:>8,.0f} "
              f"{format(ratio, '.2f') if ratio is not None else '-':>11} "
              f"{format(target, '.2f') if target is not None else '-':>7} {verdict}")
    if held:
        print(f"{len(table) - misses} of {len(table)} paths within their targets")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"instructions": rows, "memory": mem}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
