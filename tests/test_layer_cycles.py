"""Cycles: a CycleError's path is the chain of reads that closed the cycle,
from the node read twice back to it, each arrow a read really made, whether
the nodes were computed before or not, across graphs and model instances,
and however long the cycle. Each test runs against the native layer and
the reference."""

import pytest

from tarn import Input


def cycle_path(layer, read):
    with pytest.raises(layer.CycleError) as info:
        read()
    assert str(info.value) == "cycle: " + " -> ".join(info.value.path)
    return info.value.path


def app_lib_obj(layer, split):
    """app reads lib, lib reads obj, obj is 1; with `split`, lib lives in a
    second graph. Returns the graph of each name."""
    first = layer.Graph()
    second = layer.Graph() if split else first
    first.node(lambda g: second["lib"] + 1, name="app")
    second.node(lambda g: first["obj"] + 1, name="lib")
    first.node(lambda g: 1, name="obj")
    first.node(lambda g: g["app"], name="top")
    return {"app": first, "lib": second, "obj": first, "top": first}


@pytest.mark.parametrize("split", [False, True], ids=["one graph", "two graphs"])
@pytest.mark.parametrize("computed", [False, True], ids=["fresh", "computed"])
def test_a_cycle_closed_by_a_redefinition_gives_the_reads_that_closed_it(layer, split, computed):
    graphs = app_lib_obj(layer, split)
    if computed:
        assert graphs["top"]["top"] == 3
    graphs["obj"].node(lambda g: graphs["app"]["app"], name="obj")
    assert cycle_path(layer, lambda: graphs["app"]["app"]) == ("app", "lib", "obj", "app")
    assert cycle_path(layer, lambda: graphs["lib"]["lib"]) == ("lib", "obj", "app", "lib")
    # Read from outside the cycle, the path starts at the node read twice.
    assert cycle_path(layer, lambda: graphs["top"]["top"]) == ("app", "lib", "obj", "app")
    assert not any(graphs[name].engine.nodes[name].is_valid for name in graphs)
    graphs["obj"].node(lambda g: 5, name="obj")
    assert graphs["top"]["top"] == 7


@pytest.mark.parametrize("computed", [False, True], ids=["fresh", "computed"])
def test_a_cycle_through_model_instances(layer, computed):
    class App(layer.Model):
        uses: Input[object] = layer.Input(None)

        @layer.computed
        def app(self):
            return self.uses.lib + 1

    class Lib(layer.Model):
        uses: Input[object] = layer.Input(None)

        @layer.computed
        def lib(self):
            return self.uses.obj + 1

    class Obj(layer.Model):
        uses: Input[object] = layer.Input(None)

        @layer.computed
        def obj(self):
            return 1 if self.uses is None else self.uses.app

    obj = Obj()
    lib = Lib(uses=obj)
    app = App(uses=lib)
    if computed:
        assert app.app == 3
    obj.uses = app
    assert cycle_path(layer, lambda: app.app) == ("app", "lib", "obj", "app")
    assert cycle_path(layer, lambda: obj.obj) == ("obj", "app", "lib", "obj")
    obj.uses = None
    assert app.app == 3


@pytest.mark.parametrize("computed", [False, True], ids=["fresh", "computed"])
def test_a_long_cycle_gives_its_whole_path(layer, computed):
    # Longer than any depth a layer would nest its computations to.
    size = 300
    g = layer.Graph()
    g["base"] = 0
    g.node(lambda g: g["base"], name="n0")
    for i in range(1, size):
        g.node(lambda g, p=f"n{i - 1}": g[p] + 1, name=f"n{i}")
    if computed:
        assert g[f"n{size - 1}"] == size - 1
    g.node(lambda g: g[f"n{size - 1}"], name="n0")
    # n150 reads n149 ... n0 reads n299 ... n151 reads n150.
    assert cycle_path(layer, lambda: g["n150"]) == tuple(f"n{(150 - k) % size}" for k in range(size + 1))
    g.node(lambda g: g["base"], name="n0")
    assert g[f"n{size - 1}"] == size - 1


def test_a_caught_cycle_is_returned_uncached(layer):
    g = layer.Graph()
    g.node(lambda g: g["b"] + 1, name="a")

    @g.node
    def b(g):
        try:
            return g["a"]
        except layer.CycleError:
            return 10

    # Reading a, b's read of a closes the cycle and b catches it: a is 11.
    # Reading b, a's read of b closes it, a fails, and b catches that: 10.
    assert g["a"] == 11 and g["b"] == 10
    assert not g.engine.nodes["a"].is_valid and not g.engine.nodes["b"].is_valid


def test_recorded_edges_that_would_make_a_cycle_are_not_one(layer):
    # x read y and y read nothing; once the flag turns, y reads x and x
    # reads nothing. Recorded edges say x -> y; the reads say y -> x.
    g, calls = layer.Graph(), []
    g["flag"] = True

    @g.node
    def x(g):
        calls.append("x")
        return g["y"] + 1 if g["flag"] else 0

    @g.node
    def y(g):
        calls.append("y")
        return 0 if g["flag"] else g["x"] + 1

    g.node(lambda g: (g["x"], g["y"]), name="both")
    assert g["both"] == (1, 0)
    g["flag"] = False
    assert g["both"] == (0, 1)
    assert g.dependencies("y") == ("flag", "x") and g.dependencies("x") == ("flag",)
    g["flag"] = True
    assert g["both"] == (1, 0)
