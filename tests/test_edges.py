"""Node edges (add_dependency) and the invalidation walk over dependents."""

import pytest

from engine_support import at
from helpers import entries, run_child
from tarn.tarnwick import Node

NOT_ITERABLE = "'NoneType' object is not iterable"
CONVERT = "Cannot convert int to tarn.tarnwick.Node"


class Spy:  # a cached value that logs its node's state when the node drops it
    def __init__(self, node, log):
        self.node, self.log = node, log

    def __del__(self):
        self.log.append((self.node.name, self.node.is_valid, self.node.cached_value))


class Recording(Node):
    visits = []

    def invalidate(self):
        self.visits.append((self.name, self.is_valid))
        Node.invalidate(self)


class Alias(Node):
    invalidate = Node.invalidate


class Eq(Node):  # "x" equals every node, "u" none (not even itself)
    def __eq__(self, other):
        return self.name == "x"


def valid(names, cls=Node, log=None):
    nodes = [cls(name, None) for name in names]
    for n in nodes:
        n.is_valid, n.cached_value = True, 1 if log is None else Spy(n, log)
    return nodes


def test_add_dependency_records_each_edge_once():
    a, b = Node("a", None), Node("b", None)
    assert a.add_dependency(b) is None
    a.add_dependency(b)
    a.add_dependency(a)
    assert (a.dependencies, a.dependents, b.dependents, b.dependencies) == (
        [b, a], [a], [a], [])
    # The containment test tries identity, then equality.
    u, x, y = Eq("u", None), Eq("x", None), Eq("y", None)
    for dep in (u, u, x, y):
        b.add_dependency(dep)
    assert [d.name for d in b.dependencies] == ["u", "x"]
    assert (len(u.dependents), len(x.dependents), y.dependents) == (1, 1, [])


def test_containment_compares_what_comes_before_the_match():
    # Plain nodes are told apart by identity alone; any other element in
    # front of the match, or anywhere when there is none, is compared.
    log = []
    Logged = type("Logged", (Node,), {
        "__eq__": lambda self, other: log.append(self.name) or False})
    a, d, e = Node("a", None), Node("d", None), Node("e", None)
    p, q = Logged("p", None), Logged("q", None)
    a.dependencies = [Node("n", None), p, Node("m", None), d, q]
    a.add_dependency(d)
    assert log == ["p"] and len(a.dependencies) == 5 and d.dependents == []
    a.add_dependency(e)
    assert log == ["p", "p", "q"] and a.dependencies[-1] is e


def test_add_dependency_failures():
    a, d = Node("a", None), Node("d", None)
    d.dependents = None
    with pytest.raises(AttributeError) as exc:
        a.add_dependency(d)
    assert str(exc.value) == "'NoneType' object has no attribute 'append'"
    assert entries(exc.value) == at("Node.add_dependency", 43, 47)
    assert a.dependencies == [d]  # the half-made edge stays
    a.dependencies = None
    with pytest.raises(TypeError) as exc:
        a.add_dependency(d)
    assert str(exc.value) == "argument of type 'NoneType' is not iterable"
    assert entries(exc.value) == at("Node.add_dependency", 43, 45)
    with pytest.raises(TypeError):  # the wording is the module's own
        d.add_dependency(None)
    assert d.dependencies == []


@pytest.mark.parametrize("cls", [Node, Recording])
def test_walk_is_depth_first_and_stops_at_barriers(cls):
    cleared, Recording.visits = [], []
    nodes = dict(zip("rabcdefgqz", valid("rabcdefg", cls, cleared)
                     + valid("q", Recording) + valid("z")))
    # An override found on the instance takes over: q stays valid, z unvisited.
    nodes["q"].invalidate = lambda: Recording.visits.append("q")
    for dependency, *dependents in ["rabq", "acd", "bce", "cr", "df", "eg", "qz"]:
        for name in dependents:
            nodes[name].add_dependency(nodes[dependency])
    r, d, e = nodes["r"], nodes["d"], nodes["e"]
    d.is_explicit, e.is_valid = True, False
    del e.cached_value, cleared[:]
    r.invalidate()
    assert cleared == [(name, False, None) for name in "racb"]
    assert [n for n in nodes if nodes[n].is_valid] == list("dfgqz")
    assert Recording.visits == ([] if cls is Node else [
        ("r", True), ("a", True), ("c", True), ("r", False), ("d", True),
        ("b", True), ("c", False), ("e", False)]) + ["q"]
    for node in (r, d, e):
        node.invalidate()
    assert len(cleared) == 4


def test_deep_chain():
    # A million levels cost no native stack. Deep down, an override starts
    # walks of its own while the outer one is running, and a released value
    # appends to the list at the top, which the walk then visits; a failure
    # at the bottom carries one entry per level.
    result = run_child("""
        import traceback
        from tarn.tarnwick import Node

        def chain(n, last=None):
            nodes = [Node(None, None) for _ in range(n)] + [last or Node(None, None)]
            for node, dependent in zip(nodes, nodes[1:]):
                node.dependents, node.is_valid = [dependent], True
            return nodes

        chain_a = chain(1_000_000)
        chain_a[0].invalidate()
        print(sum(node.is_valid for node in chain_a))

        class Nested(Node):
            def invalidate(self):
                for other in (chain_b, chain_c):
                    for node in other:
                        node.is_valid = True
                    other[0].invalidate()
                Node.invalidate(self)

        class Appends:
            def __del__(self):
                late.is_valid = True
                chain_a[0].dependents.append(late)

        late = Node("late", None)
        chain_b, chain_c = chain(100_000), chain(100_000)
        chain_a = chain(100_000, Nested("nested", None))
        chain_a[-1].dependents = [Node(None, None)]
        for repeat in range(2):
            for node in chain_a + chain_a[-1].dependents:
                node.is_valid = True
            chain_a[-1].dependents[0].cached_value = Appends()
            chain_a[0].invalidate()
            print(sum(n.is_valid for n in chain_a + chain_b + chain_c),
                  late.is_valid, len(chain_a[0].dependents))
        chain_d = chain(100_000)
        chain_d[-1].dependents, chain_d[-1].is_valid = None, True
        try:
            chain_d[0].invalidate()
        except TypeError as exc:
            lines = [f.lineno for f in traceback.extract_tb(exc.__traceback__)
                     if f.filename == "tarn/tarnwick"]
            print(lines == [49] + [62] * 100_000 + [61])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "0\n0 False 2\n0 False 3\nTrue\n"


@pytest.mark.parametrize("path, broken, message, lines, still_valid", [
    ([], None, NOT_ITERABLE, [49, 61], "xy"),
    ([], ["x", 5, "y"], CONVERT, [49, 61], "y"),
    ([], ["x", None, "y"], None, None, ""),
    ([Node, Node], [5], CONVERT, [49, 62, 62, 61], "xy"),
    # Binding the inherited method in a class body replaces nothing, so no
    # entry of a replacement's call appears.
    ([Alias], None, NOT_ITERABLE, [49, 62, 61], "xy"),
])
def test_walk_failures(path, broken, message, lines, still_valid):
    a, x, y = valid("axy")
    nodes = [a] + [valid("p", cls)[0] for cls in path]
    for dependency, dependent in zip(nodes, nodes[1:]):
        dependent.add_dependency(dependency)
    nodes[-1].dependents = broken and [{"x": x, "y": y}.get(v, v) for v in broken]
    if message is None:
        a.invalidate()
    else:
        with pytest.raises(TypeError) as exc:
            a.invalidate()
        assert str(exc.value) == message
        assert entries(exc.value) == at("Node.invalidate", *lines)
    assert all((n.is_valid, n.cached_value) == (False, None) for n in nodes)
    assert [n.name for n in (x, y) if n.is_valid] == list(still_valid)


@pytest.mark.parametrize("change, still_valid", [
    (lambda r, y: r.dependents.append(y), ""),
    (lambda r, y: r.dependents.pop(0), "xy"),  # x moves below the index
    (lambda r, y: r.dependents.clear(), "xy"),
    (lambda r, y: setattr(r, "dependents", [y]), "y"),  # the old list is walked on
    (lambda r, y: setattr(r, "dependents", None), "y"),
])
def test_changing_the_walked_list_mid_walk(change, still_valid):
    r, x, y = valid("rxy")
    hook = type("Hook", (Node,), {"invalidate": lambda self: [
        change(r, y), Node.invalidate(self)]})("hook", None)
    hook.is_valid = True
    r.dependents.extend([hook, x])
    del hook
    r.invalidate()
    assert "".join(n.name for n in (r, x, y) if n.is_valid) == still_valid


class Trigger:  # a cached value that changes the graph when its node drops it
    def __init__(self, change):
        self.change = change

    def __del__(self):
        self.change()


@pytest.mark.parametrize("at_node, change, still_valid", [
    ("a", lambda g: g["r"].dependents.append(g["y"]), "z"),
    ("b", lambda g: g["r"].dependents.append(g["y"]), "z"),  # two levels up
    ("b", lambda g: g["a"].dependents.append(g["z"]), "y"),
    ("a", lambda g: g["a"].dependents.clear(), "byz"),
    ("a", lambda g: setattr(g["a"], "dependents", [g["z"]]), "by"),
    ("b", lambda g: [setattr(g[k], "dependents", None) for k in "ra"], "yz"),
    ("b", lambda g: g.clear(), "yz"),  # the walk holds what it still needs
])
def test_plain_walk_survives_changes_made_by_released_values(at_node, change, still_valid):
    g = dict(zip("rabyz", valid("rabyz")))
    g["a"].add_dependency(g["r"])
    g["b"].add_dependency(g["a"])
    g[at_node].cached_value = Trigger(lambda: change(g))
    nodes = list(g.values())
    nodes[0].invalidate()
    assert "".join(n.name for n in nodes if n.is_valid) == still_valid
