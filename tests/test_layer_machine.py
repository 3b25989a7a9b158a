"""Random sequences of changes to a graph and to models that read it,
compared after every step with a recomputation from scratch, for the native
layer and the reference. Besides small formulas the machine builds long
chains that are read before anything in them was computed, with little of
the recursion limit left, and closes cycles by redefining nodes. Effects
and watchers react to the changes (some made in batches, some touches of
inputs): what each last saw must be what a recomputation from scratch
gives, and errors nodes raise must be kept as their results."""

import pickle
import sys

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule, run_state_machine_as_test

from layer_funcs import Formula, recursion_room
from tarn import CycleError, Input, NodeNotFound

INPUTS = ["i0", "i1", "i2"]
COMPUTED = ["c0", "c1", "c2", "c3", "c4"]
NAMES = INPUTS + COMPUTED
# The long chain: deep0 reads a node of NAMES, deep<k> reads deep<k-1>.
LENGTHS = [100, 1000, 2000]
# Frames left above a read of the graph: few, so that the layer's own
# nesting meets the recursion limit.
ROOM = 150
# What node functions raise, and effects and watchers report.
FAILURES = (LookupError, ValueError, CycleError)
MAX_EFFECTS, MAX_WATCHERS = 3, 2


def formulas(name):
    # A node reads inputs and computed nodes before it in COMPUTED; some of
    # those may be missing.
    before = INPUTS + COMPUTED[:COMPUTED.index(name)]
    return st.builds(
        Formula,
        reads=st.lists(st.sampled_from(before), max_size=3).map(tuple),
        const=st.integers(-2, 2),
        mod=st.sampled_from([None, 2, 3]),
        catch=st.booleans(),
        fail_on=st.sampled_from([None, 0, 1]),
    )


_probes = {}


def probe_class(layer):
    """A model that reads a node of the graph in `graph_box`, per implementation."""
    if layer.name not in _probes:
        class Probe(layer.Model):
            graph_box: Input[dict] = layer.Input(None)
            source: Input[str] = layer.Input("c0")
            bias: Input[int] = layer.Input(0)

            @layer.computed
            def value(self) -> int:
                try:
                    return self.graph_box["graph"][self.source] + self.bias
                except (LookupError, ValueError, CycleError):
                    return -100 + self.bias

            @layer.computed(cutoff=True)
            def parity(self) -> int:
                return self.value % 2

            @layer.computed
            def label(self) -> str:
                return f"{self.parity}:{self.bias}"

        _probes[layer.name] = Probe
    return _probes[layer.name]


def outcome_of(read, name):
    """What reading `name` gives, as Machine.expected says it."""
    try:
        return ("value", read(name))
    except FAILURES as exc:
        return ("raises", CycleError if isinstance(exc, CycleError) else type(exc))


class Watched:
    """An effect that reads some names of the graph the holder holds."""

    def __init__(self, layer, holder, names):
        self.names, self.seen, self.runs = names, None, 0

        def body():
            graph = holder["graph"]
            self.seen = tuple(outcome_of(graph.__getitem__, name) for name in names)
            self.runs += 1

        self.effect = layer.effect(body)


class Watcher:
    """A watcher of a node: `current` is the value it last reported."""

    def __init__(self, graph, name, current):
        self.name, self.current, self.calls = name, current, []
        self.effect = graph.watch(name, lambda old, new: self.calls.append((old, new)))


class Machine(RuleBasedStateMachine):
    def __init__(self, layer):
        super().__init__()
        self.layer = layer
        self.Probe = probe_class(layer)
        self.box = {"graph": layer.Graph()}   # what the probes read (not a node)
        # What the effects read: a graph whose input holds the graph.
        self.holder = layer.Graph()
        self.holder["graph"] = self.graph
        self.inputs = {}        # what the graph should hold: input values...
        self.formulas = {}      # ...and node functions
        self.deep = 0           # length of the long chain...
        self.deep_base = None   # ...and the node its first node reads
        self.probes = [self.Probe(graph_box=self.box), self.Probe(graph_box=self.box, source="c3")]
        self.order = list(NAMES)
        self.effects = []
        self.watchers = []

    @property
    def graph(self):
        return self.box["graph"]

    def teardown(self):
        # Effects live until disposed: none may react to other tests' changes.
        for made in self.effects + self.watchers:
            self.change(made.effect.dispose)

    def change(self, make):
        """Make a change; the effects it sets off run before it returns, and
        those that fail (watchers of failing nodes) are raised by it."""
        try:
            return make()
        except Exception as exc:
            failures = exc.exceptions if isinstance(exc, ExceptionGroup) else [exc]
            assert all(isinstance(failure, FAILURES) for failure in failures), failures
            assert len(failures) <= len(self.watchers), failures
            return None

    def deep_top(self):
        return [f"deep{self.deep - 1}"] if self.deep else []

    # the recomputation from scratch

    def expected(self, name, memo=None):
        """What reading `name` must give: ("value", v) or ("raises", type).

        Evaluated from the formulas depth-first in read order, as the
        reads are made; a node read again while it is being evaluated
        closes a cycle. Outcomes other than cycles do not depend on what
        is being evaluated around them, and are remembered."""
        memo = {} if memo is None else memo
        chain = set()

        def outcome(name):
            if name in memo:
                return memo[name]
            if name in self.inputs:
                return ("value", self.inputs[name])
            if name not in self.formulas:
                return ("raises", NodeNotFound)
            if name in chain:
                return ("raises", CycleError)
            chain.add(name)
            try:
                result = ("value", self.formulas[name].combine(read))
            except (LookupError, ValueError, CycleError) as exc:
                result = ("raises", type(exc))
            finally:
                chain.discard(name)
            if result[1] is not CycleError:
                memo[name] = result
            return result

        def read(name):
            kind, value = outcome(name)
            if kind == "raises":
                raise value(["recomputed"] if value is CycleError else "recomputed")
            return value

        before = sys.getrecursionlimit()
        sys.setrecursionlimit(before + 10 * max(LENGTHS))
        try:
            return outcome(name)
        finally:
            sys.setrecursionlimit(before)

    def actual(self, name):
        try:
            with recursion_room(ROOM):
                value = self.graph[name]
        except (LookupError, ValueError) as exc:
            self.check_kept(name, exc)
            return ("raises", type(exc))
        except CycleError as exc:
            self.check_cycle(exc.path)
            return ("raises", CycleError)
        self.check_kept(name, None)
        return ("value", value)

    def check_kept(self, name, error):
        # A node left valid by a read keeps what it gave: a value, or the
        # very exception it raised, read again without a call.
        node = self.graph.engine.nodes.get(name)
        if node is None or node.is_explicit or not node.is_valid:
            return
        assert node.kept == (error is not None), name
        if error is not None:
            assert node.cached_value is error
            try:
                self.graph[name]
            except type(error) as again:
                assert again is error
            else:
                raise AssertionError(f"{name} no longer raises")

    def check_cycle(self, path):
        # A chain of reads the formulas make, from a node back to itself.
        assert len(path) >= 2 and path[0] == path[-1], path
        for reader, read in zip(path, path[1:]):
            assert read in self.formulas[reader].reads, (reader, read, path)

    # the steps

    @rule(name=st.sampled_from(INPUTS), value=st.integers(-3, 3), cutoff=st.booleans())
    def set_input(self, name, value, cutoff):
        # Replaces a computed node of that name; with a cutoff, an equal
        # value changes nothing.
        self.change(lambda: self.graph.input(name, value, cutoff=cutoff))
        self.formulas.pop(name, None)
        self.inputs[name] = value

    @rule(data=st.data(), name=st.sampled_from(COMPUTED))
    def define(self, data, name):
        formula = data.draw(formulas(name))
        cutoff = data.draw(st.booleans())
        self.change(lambda: self.graph.node(formula, name=name, cutoff=cutoff))
        self.formulas[name] = formula

    @rule(data=st.data(), name=st.sampled_from(COMPUTED))
    def define_looping(self, data, name):
        # Reads any node, the last of a long chain not too long included:
        # this may close a cycle.
        ends = self.deep_top() if self.deep <= 1000 else []
        reads = data.draw(st.lists(st.sampled_from(NAMES + ends), min_size=1, max_size=2))
        formula = Formula(tuple(reads), const=data.draw(st.integers(-1, 1)), mod=None, catch=False, fail_on=None)
        cutoff = data.draw(st.booleans())
        self.change(lambda: self.graph.node(formula, name=name, cutoff=cutoff))
        self.formulas[name] = formula

    @rule(base=st.sampled_from(NAMES), length=st.sampled_from(LENGTHS))
    def build_deep(self, base, length):
        # Every node of the chain is new: the read computes all of them. The
        # effects run once, at the end of the batch.
        def build():
            with self.layer.batch():
                for index in range(max(length, self.deep)):
                    name = f"deep{index}"
                    if index >= length:
                        if name in self.graph:
                            del self.graph[name]
                        self.formulas.pop(name, None)
                        continue
                    formula = Formula((f"deep{index - 1}" if index else base,), 1, None, False, None)
                    self.graph.node(formula, name=name)
                    self.formulas[name] = formula

        self.change(build)
        self.deep, self.deep_base = length, base
        top = f"deep{length - 1}"
        assert self.actual(top) == self.expected(top)

    @precondition(lambda self: 0 < self.deep <= 1000)
    @rule(cutoff=st.booleans())
    def close_deep_cycle(self, cutoff):
        # The long chain's base now reads its last node (a cycle longer than
        # a layer would nest, not the longest chain: every read of a node
        # in a cycle goes all the way round).
        top = f"deep{self.deep - 1}"
        formula = Formula((top,), 0, None, False, None)
        self.change(lambda: self.graph.node(formula, name=self.deep_base, cutoff=cutoff))
        self.inputs.pop(self.deep_base, None)
        self.formulas[self.deep_base] = formula
        assert self.actual(top) == self.expected(top)

    @precondition(lambda self: len(self.graph) > 0)
    @rule(data=st.data())
    def delete(self, data):
        # Of the long chain, only its middle node may go.
        choices = [name for name in NAMES + [f"deep{self.deep // 2}"] if name in self.graph]
        name = data.draw(st.sampled_from(choices or list(self.graph)))
        self.change(lambda: self.graph.__delitem__(name))
        self.inputs.pop(name, None)
        self.formulas.pop(name, None)

    @rule(data=st.data())
    def read_some(self, data):
        for name in data.draw(st.lists(st.sampled_from(NAMES + self.deep_top()), max_size=4)):
            assert self.actual(name) == self.expected(name), name

    @rule(data=st.data())
    def shuffle_reads(self, data):
        self.order = data.draw(st.permutations(NAMES))

    @rule(probe=st.integers(0, 1), bias=st.integers(0, 2), source=st.sampled_from(COMPUTED))
    def set_probe(self, probe, bias, source):
        self.change(lambda: self.layer.update(self.probes[probe], bias=bias, source=source))

    @rule()
    def round_trip(self):
        # The copy must behave as the original; carry on with it. The
        # effects read it through the holder; watchers watch one graph.
        self.box["graph"] = pickle.loads(pickle.dumps(self.graph))
        self.change(lambda: self.holder.__setitem__("graph", self.graph))
        self.probes = [self.Probe(graph_box=self.box, source=p.source, bias=p.bias) for p in self.probes]
        watched = [watcher.name for watcher in self.watchers]
        for watcher in self.watchers:
            self.change(watcher.effect.dispose)
        self.watchers = []
        for name in watched:
            self.add_watcher(name)

    # reactions

    @precondition(lambda self: len(self.effects) < MAX_EFFECTS)
    @rule(names=st.lists(st.sampled_from(NAMES), min_size=1, max_size=3))
    def make_effect(self, names):
        made = self.change(lambda: Watched(self.layer, self.holder, names))
        if made is not None:  # not when a watcher pending before failed again
            self.effects.append(made)

    @precondition(lambda self: len(self.watchers) < MAX_WATCHERS)
    @rule(name=st.sampled_from(NAMES))
    def make_watcher(self, name):
        self.add_watcher(name)

    def add_watcher(self, name):
        kind, value = self.expected(name)
        if kind == "value":  # a watcher starts from a value
            made = self.change(lambda: Watcher(self.graph, name, value))
            if made is not None:
                self.watchers.append(made)

    @precondition(lambda self: self.effects or self.watchers)
    @rule(data=st.data())
    def dispose(self, data):
        made = data.draw(st.sampled_from(self.effects + self.watchers))
        (self.effects if made in self.effects else self.watchers).remove(made)
        self.change(made.effect.dispose)
        runs = getattr(made, "runs", None)

        def touch_every_input():
            with self.layer.batch():
                for name in INPUTS:
                    if name in self.inputs:
                        self.graph.touch(name)

        # Disposed, it runs no more.
        self.change(touch_every_input)
        assert getattr(made, "runs", None) == runs

    @rule(data=st.data(), use_update=st.booleans())
    def change_in_a_batch(self, data, use_update):
        settable = [name for name in INPUTS if name not in self.formulas]
        if not settable:
            return
        values = data.draw(st.dictionaries(st.sampled_from(settable), st.integers(-3, 3), min_size=1))
        runs = [made.runs for made in self.effects]

        def batch():
            if use_update:
                self.graph.update(values)
                return
            with self.layer.batch():
                for name, value in values.items():
                    self.graph[name] = value
                # Nothing runs before the end of the batch.
                assert [made.runs for made in self.effects] == runs

        self.change(batch)
        self.inputs.update(values)
        assert all(made.runs - before <= 1 for made, before in zip(self.effects, runs))

    @precondition(lambda self: any(name in self.inputs for name in INPUTS))
    @rule(data=st.data())
    def touch(self, data):
        # Changed in place (as far as the layer knows): an effect that read
        # it runs again, once; others at most once.
        name = data.draw(st.sampled_from([name for name in INPUTS if name in self.inputs]))
        runs = [made.runs for made in self.effects]
        self.change(lambda: self.graph.touch(name))
        for made, before in zip(self.effects, runs):
            assert made.runs - before == 1 if name in made.names else made.runs - before <= 1, made.names

    # the comparison

    @invariant()
    def agrees_with_a_recomputation(self):
        memo = {}
        for name in self.order:
            assert self.actual(name) == self.expected(name, memo), name
        for probe in self.probes:
            kind, value = self.expected(probe.source, memo)
            expected_value = (value if kind == "value" else -100) + probe.bias
            assert probe.value == expected_value
            assert probe.label == f"{expected_value % 2}:{probe.bias}"

    @invariant()
    def effects_saw_the_last_change(self):
        memo = {}
        for made in self.effects:
            assert made.seen == tuple(self.expected(name, memo) for name in made.names), made.names
        for watcher in self.watchers:
            for old, new in watcher.calls:
                assert old == watcher.current and new != old, (watcher.name, watcher.calls)
                watcher.current = new
            watcher.calls.clear()
            kind, value = self.expected(watcher.name, memo)
            if kind == "value":
                assert watcher.current == value, watcher.name

    @invariant()
    def edges_are_symmetric_and_valid_nodes_read_valid_nodes(self):
        for graph in [self.graph] + [self.layer.graph_of(p) for p in self.probes]:
            for node in graph.engine.nodes.values():
                for dep in node.dependencies:
                    assert node in dep.dependents
                    assert dep.is_valid or not node.is_valid
                for reader in node.dependents:
                    assert node in reader.dependencies


def test_random_changes_agree_with_a_recomputation(layer):
    run_state_machine_as_test(
        lambda: Machine(layer),
        settings=settings(max_examples=20, stateful_step_count=20, deadline=None),
    )
