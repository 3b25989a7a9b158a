"""Random operation sequences run against the native engine and against the
pure-Python model side by side: after every step both must show the same
graph, and a failing step must fail with the same exception type on both."""

import os
import pickle
import types

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import model
import tarn.tarnwick as tw

NAMES = [None, "a", "b", "c", "d", "e"]
REAL = types.SimpleNamespace(Engine=tw.DAGEngine, LogEngine=model.RealLogEngine,
                             LogNode=model.RealLogNode)
MODEL = types.SimpleNamespace(Engine=model.DAGEngine, LogEngine=model.ModelLogEngine,
                              LogNode=model.ModelLogNode)
names = st.sampled_from(NAMES)
truths = st.sampled_from([False, True, 0, 1, None, (), (0,), "", "x"])
values = st.integers(-3, 3)
flags = st.one_of(st.integers(-2**32, 2**32), st.floats())
writes = st.one_of(
    st.tuples(st.sampled_from(["is_valid", "is_explicit"]), truths),
    st.tuples(st.just("flags"), flags),
    st.tuples(st.just("cached_value"), st.one_of(values, st.none())),
    st.tuples(st.sampled_from(["dependencies", "dependents", "static_dependencies"]),
              st.sampled_from([None, "new list", ()])),
)


def snapshot(engine):
    """All that both sides must agree on, with nodes numbered in the order a
    walk from the registry meets them, so that the graphs compare by shape."""
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
            [(n.name, n.is_valid, n.is_explicit, n.cached_value, n.flags,
              ids(n.dependencies), ids(n.dependents), n.static_dependencies,
              getattr(n, "log", None)) for n in order])


class Agreement(RuleBasedStateMachine):
    @initialize(logging=st.booleans())
    def start(self, logging):
        self.pair = [kit.LogEngine() if logging else kit.Engine() for kit in (REAL, MODEL)]

    def both(self, step):
        outcomes = []
        for engine, kit in zip(self.pair, (REAL, MODEL)):
            try:
                outcomes.append(("returned", step(engine, kit)))
            except Exception as exc:
                outcomes.append(("raised", type(exc)))
        assert outcomes[0] == outcomes[1]

    @rule(data=st.data(), index=st.integers(0, len(NAMES) - 1), explicit=truths,
          value=values, flags=flags, logging=st.booleans())
    def add_node(self, data, index, explicit, value, flags, logging):
        # Reads and static dependencies only name earlier nodes: no cycles.
        earlier = st.lists(st.sampled_from(NAMES[:index] or [None]), max_size=3 if index else 0)
        plan = model.Plan(tuple(data.draw(earlier)), tuple(data.draw(st.lists(names, max_size=2))),
                          data.draw(values), data.draw(st.booleans()))
        static = data.draw(earlier)
        name = NAMES[index]

        def step(engine, kit):
            if logging:
                node = engine.nodes[name] = kit.LogNode(name, plan, explicit, value, flags)
            else:
                node = engine.add_node(name, plan, explicit, value, flags)
            if static:
                node.static_dependencies = list(static)
        self.both(step)

    @rule(dependent=names, dependency=names)
    def add_edge(self, dependent, dependency):
        self.both(lambda engine, kit: engine.add_edge(dependent, dependency))

    @rule(name=names)
    def evaluate(self, name):
        self.both(lambda engine, kit: engine.evaluate(name, engine))

    @rule(name=names)
    def record_access(self, name):
        self.both(lambda engine, kit: engine.record_access(name))

    @rule(name=names, by_node=st.booleans())
    def invalidate(self, name, by_node):
        self.both(lambda engine, kit: engine.nodes[name].invalidate() if by_node
                  else engine.invalidate(name))

    @rule(name=names)
    def push(self, name):
        self.both(lambda engine, kit: engine.call_stack.append(name))

    @rule()
    def pop(self):
        self.both(lambda engine, kit: engine.call_stack.pop())

    @rule(reset=st.booleans())
    def replace_call_stack(self, reset):
        self.both(lambda engine, kit: setattr(engine, "call_stack", [] if reset else None))

    @rule(name=names, write=writes)
    def write(self, name, write):
        attr, value = write
        self.both(lambda engine, kit: setattr(engine.nodes[name], attr,
                                              [] if value == "new list" else value))

    @rule(name=names, attr=st.sampled_from(["func", "cached_value", "flags", "dependents"]))
    def delete(self, name, attr):
        self.both(lambda engine, kit: delattr(engine.nodes[name], attr))

    @rule(protocol=st.integers(0, pickle.HIGHEST_PROTOCOL))
    def round_trip(self, protocol):
        self.pair[0] = pickle.loads(pickle.dumps(self.pair[0], protocol))

    @invariant()
    def agree(self):
        assert snapshot(self.pair[0]) == snapshot(self.pair[1])


LONG = os.environ.get("TARN_LONG_HYPOTHESIS") == "1"
Agreement.TestCase.settings = settings(max_examples=3000 if LONG else 150,
                                       stateful_step_count=40, deadline=None)
TestAgreement = Agreement.TestCase
