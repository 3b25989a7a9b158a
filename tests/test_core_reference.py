"""Random operation sequences run against the native engine and the
pure-Python reference of the core (core_reference) side by side: after every
step both must show the same graph, and a failing step must fail with the
same exception type on both."""

import os
import pickle

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import core_reference as reference
import tarn.tarnwick as tw

NAMES = [None, "a", "b", "c", "d", "e"]
# (plain engine, logging engine, logging node) of each side
SIDES = ((tw.DAGEngine, reference.RealLogEngine, reference.RealLogNode),
         (reference.DAGEngine, reference.ReferenceLogEngine, reference.ReferenceLogNode))
names = st.sampled_from(NAMES)
truths = st.sampled_from([False, True, 0, 1, None, (), (0,), "", "x"])
values = st.integers(-3, 3)
flags = st.one_of(st.integers(-2**32, 2**32), st.floats())
writes = st.one_of(
    st.tuples(st.sampled_from(["is_valid", "is_explicit"]), truths),
    st.tuples(st.just("flags"), flags),
    st.tuples(st.just("cached_value"), st.one_of(values, st.none())),
    st.tuples(st.sampled_from(["dependencies", "dependents", "static_dependencies"]),
              st.sampled_from([None, "a new list", ()])),
)
STEPS = {
    "evaluate": lambda engine, name: engine.evaluate(name, engine),
    "record_access": lambda engine, name: engine.record_access(name),
    "invalidate": lambda engine, name: engine.invalidate(name),
    "invalidate node": lambda engine, name: engine.nodes[name].invalidate(),
    "push": lambda engine, name: engine.call_stack.append(name),
    "pop": lambda engine, name: engine.call_stack.pop(),
    "new call stack": lambda engine, name: setattr(engine, "call_stack", []),
    "no call stack": lambda engine, name: setattr(engine, "call_stack", None),
}


def snapshot(engine):
    """All that both sides must agree on, nodes numbered in the order a walk
    from the registry meets them, so that the graphs compare by shape."""
    order, seen = [], {}
    todo = list(engine.nodes.values())
    while todo:
        node = todo.pop(0)
        if id(node) not in seen:
            seen[id(node)] = len(order)
            order.append(node)
            todo += (node.dependencies or []) + (node.dependents or [])

    def ids(nodes):
        return None if nodes is None else [seen[id(n)] for n in nodes]

    return ([(key, seen[id(n)]) for key, n in engine.nodes.items()],
            engine.call_stack, getattr(engine, "log", None),
            [(n.name, n.is_valid, n.is_explicit, n.cached_value, n.flags, ids(n.dependencies),
              ids(n.dependents), n.static_dependencies, getattr(n, "log", None)) for n in order])


class Agreement(RuleBasedStateMachine):
    @initialize(logging=st.booleans())
    def start(self, logging):
        self.engines = [side[logging]() for side in SIDES]

    def both(self, step):
        outcomes = []
        for engine, side in zip(self.engines, SIDES):
            try:
                outcomes.append(("returned", step(engine, side)))
            except Exception as exc:
                outcomes.append(("raised", type(exc)))
        assert outcomes[0] == outcomes[1]

    @rule(data=st.data(), index=st.integers(0, len(NAMES) - 1), explicit=truths,
          value=values, flags=flags, logging=st.booleans())
    def add_node(self, data, index, explicit, value, flags, logging):
        # Reads and static dependencies name only earlier nodes: no cycles.
        earlier = st.lists(st.sampled_from(NAMES[:index] or [None]), max_size=3 if index else 0)
        plan = reference.Plan(tuple(data.draw(earlier)), tuple(data.draw(st.lists(names, max_size=2))),
                          data.draw(values), data.draw(st.booleans()))
        static, name = data.draw(earlier), NAMES[index]

        def step(engine, side):
            if logging:
                node = engine.nodes[name] = side[2](name, plan, explicit, value, flags)
            else:
                node = engine.add_node(name, plan, explicit, value, flags)
            if static:
                node.static_dependencies = list(static)
        self.both(step)

    @rule(dependent=names, dependency=names)
    def add_edge(self, dependent, dependency):
        self.both(lambda engine, side: engine.add_edge(dependent, dependency))

    @rule(step=st.sampled_from(sorted(STEPS)), name=names)
    def by_name(self, step, name):
        self.both(lambda engine, side: STEPS[step](engine, name))

    @rule(name=names, write=writes)
    def write(self, name, write):
        attr, value = write  # each side gets a list of its own
        self.both(lambda engine, side: setattr(engine.nodes[name], attr,
                                               [] if value == "a new list" else value))

    @rule(name=names, attr=st.sampled_from(["func", "cached_value", "flags", "dependents"]))
    def delete(self, name, attr):
        self.both(lambda engine, side: delattr(engine.nodes[name], attr))

    @rule(protocol=st.integers(0, pickle.HIGHEST_PROTOCOL))
    def round_trip(self, protocol):
        self.engines[0] = pickle.loads(pickle.dumps(self.engines[0], protocol))

    @invariant()
    def agree(self):
        assert snapshot(self.engines[0]) == snapshot(self.engines[1])


LONG = os.environ.get("TARN_LONG_HYPOTHESIS") == "1"
Agreement.TestCase.settings = settings(max_examples=3000 if LONG else 150,
                                       stateful_step_count=40, deadline=None)
TestAgreement = Agreement.TestCase
