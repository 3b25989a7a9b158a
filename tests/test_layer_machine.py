"""Random sequences of changes to a graph and to models that read it,
compared after every step with a recomputation from scratch, for the native
layer and the reference. Besides small formulas the machine builds long
chains that are read before anything in them was computed, with little of
the recursion limit left, and closes cycles by redefining nodes."""

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


class Machine(RuleBasedStateMachine):
    def __init__(self, layer):
        super().__init__()
        self.layer = layer
        self.Probe = probe_class(layer)
        self.box = {"graph": layer.Graph()}   # what the probes read (not a node)
        self.inputs = {}        # what the graph should hold: input values...
        self.formulas = {}      # ...and node functions
        self.deep = 0           # length of the long chain...
        self.deep_base = None   # ...and the node its first node reads
        self.probes = [self.Probe(graph_box=self.box), self.Probe(graph_box=self.box, source="c3")]
        self.order = list(NAMES)

    @property
    def graph(self):
        return self.box["graph"]

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
                return ("value", self.graph[name])
        except (LookupError, ValueError) as exc:
            return ("raises", type(exc))
        except CycleError as exc:
            self.check_cycle(exc.path)
            return ("raises", CycleError)

    def check_cycle(self, path):
        # A chain of reads the formulas make, from a node back to itself.
        assert len(path) >= 2 and path[0] == path[-1], path
        for reader, read in zip(path, path[1:]):
            assert read in self.formulas[reader].reads, (reader, read, path)

    # the steps

    @rule(name=st.sampled_from(INPUTS), value=st.integers(-3, 3))
    def set_input(self, name, value):
        self.graph.input(name, value)    # replaces a computed node of that name
        self.formulas.pop(name, None)
        self.inputs[name] = value

    @rule(data=st.data(), name=st.sampled_from(COMPUTED))
    def define(self, data, name):
        formula = data.draw(formulas(name))
        self.graph.node(formula, name=name, cutoff=data.draw(st.booleans()))
        self.formulas[name] = formula

    @rule(data=st.data(), name=st.sampled_from(COMPUTED))
    def define_looping(self, data, name):
        # Reads any node, the last of a long chain not too long included:
        # this may close a cycle.
        ends = self.deep_top() if self.deep <= 1000 else []
        reads = data.draw(st.lists(st.sampled_from(NAMES + ends), min_size=1, max_size=2))
        formula = Formula(tuple(reads), const=data.draw(st.integers(-1, 1)), mod=None, catch=False, fail_on=None)
        self.graph.node(formula, name=name, cutoff=data.draw(st.booleans()))
        self.formulas[name] = formula

    @rule(base=st.sampled_from(NAMES), length=st.sampled_from(LENGTHS))
    def build_deep(self, base, length):
        # Every node of the chain is new: the read computes all of them.
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
        self.graph.node(formula, name=self.deep_base, cutoff=cutoff)
        self.inputs.pop(self.deep_base, None)
        self.formulas[self.deep_base] = formula
        assert self.actual(top) == self.expected(top)

    @precondition(lambda self: len(self.graph) > 0)
    @rule(data=st.data())
    def delete(self, data):
        # Of the long chain, only its middle node may go.
        choices = [name for name in NAMES + [f"deep{self.deep // 2}"] if name in self.graph]
        name = data.draw(st.sampled_from(choices or list(self.graph)))
        del self.graph[name]
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
        self.probes[probe].bias = bias
        self.probes[probe].source = source

    @rule()
    def round_trip(self):
        # The copy must behave as the original; carry on with it.
        self.box["graph"] = pickle.loads(pickle.dumps(self.graph))
        self.probes = [self.Probe(graph_box=self.box, source=p.source, bias=p.bias) for p in self.probes]

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
