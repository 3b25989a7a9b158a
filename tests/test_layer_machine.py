"""Random sequences of changes to a graph and to models that read it,
compared after every step with a recomputation from scratch."""

import pickle

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from layer_funcs import Formula
from tarn import Graph, Input, Model, NodeNotFound, computed, graph_of

INPUTS = ["i0", "i1", "i2"]
COMPUTED = ["c0", "c1", "c2", "c3", "c4"]
NAMES = INPUTS + COMPUTED


def formulas(name):
    # A node reads inputs and computed nodes before it in COMPUTED (cycles
    # have tests of their own); some of those may be missing.
    before = INPUTS + COMPUTED[:COMPUTED.index(name)]
    return st.builds(
        Formula,
        reads=st.lists(st.sampled_from(before), max_size=3).map(tuple),
        const=st.integers(-2, 2),
        mod=st.sampled_from([None, 2, 3]),
        catch=st.booleans(),
        fail_on=st.sampled_from([None, 0, 1]),
    )


# The graph the models read; the machine sets it before each run.
shared: dict[str, Graph] = {}


class Probe(Model):
    source: Input[str] = Input("c0")
    bias: Input[int] = Input(0)

    @computed
    def value(self) -> int:
        try:
            return shared["graph"][self.source] + self.bias
        except (LookupError, ValueError):
            return -100 + self.bias

    @computed(cutoff=True)
    def parity(self) -> int:
        return self.value % 2

    @computed
    def label(self) -> str:
        return f"{self.parity}:{self.bias}"


class Machine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.graph = shared["graph"] = Graph()
        self.inputs = {}        # the reference: input values...
        self.formulas = {}      # ...and node functions
        self.probes = [Probe(), Probe(source="c3")]
        self.order = list(NAMES)

    # the reference

    def expected(self, name):
        if name in self.inputs:
            return ("value", self.inputs[name])
        if name not in self.formulas:
            return ("raises", NodeNotFound)
        try:
            return ("value", self.formulas[name].combine(self.reference_read))
        except (LookupError, ValueError) as exc:
            return ("raises", type(exc))

    def reference_read(self, name):
        kind, value = self.expected(name)
        if kind == "raises":
            raise value("from the reference")
        return value

    def actual(self, read, name):
        try:
            return ("value", read(name))
        except (LookupError, ValueError) as exc:
            return ("raises", type(exc))

    # the steps

    @rule(name=st.sampled_from(INPUTS), value=st.integers(-3, 3))
    def set_input(self, name, value):
        self.graph[name] = value
        self.formulas.pop(name, None)
        self.inputs[name] = value

    @rule(data=st.data(), name=st.sampled_from(COMPUTED))
    def define(self, data, name):
        formula = data.draw(formulas(name))
        self.graph.node(formula, name=name, cutoff=data.draw(st.booleans()))
        self.formulas[name] = formula

    @precondition(lambda self: len(self.graph) > 0)
    @rule(data=st.data())
    def delete(self, data):
        name = data.draw(st.sampled_from(list(self.graph)))
        del self.graph[name]
        self.inputs.pop(name, None)
        self.formulas.pop(name, None)

    @rule(data=st.data())
    def read_some(self, data):
        for name in data.draw(st.lists(st.sampled_from(NAMES), max_size=4)):
            assert self.actual(self.graph.__getitem__, name) == self.expected(name), name

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
        self.graph = shared["graph"] = pickle.loads(pickle.dumps(self.graph))
        self.probes = [Probe(source=p.source, bias=p.bias) for p in self.probes]

    # the comparison

    @invariant()
    def agrees_with_the_reference(self):
        for name in self.order:
            assert self.actual(self.graph.__getitem__, name) == self.expected(name), name
        for probe in self.probes:
            kind, value = self.expected(probe.source)
            expected_value = (value if kind == "value" else -100) + probe.bias
            assert probe.value == expected_value
            assert probe.label == f"{expected_value % 2}:{probe.bias}"

    @invariant()
    def edges_are_symmetric_and_valid_nodes_read_valid_nodes(self):
        for graph in [self.graph] + [graph_of(p) for p in self.probes]:
            for node in graph.engine.nodes.values():
                for dep in node.dependencies:
                    assert node in dep.dependents
                    assert dep.is_valid or not node.is_valid
                for reader in node.dependents:
                    assert node in reader.dependencies


Machine.TestCase.settings = settings(max_examples=60, stateful_step_count=25, deadline=None)
TestGraphsAgainstRecomputation = Machine.TestCase
