"""Models: inputs and computed attributes, inheritance, reads across
instances and graphs, collection of dead instances, pickling. Each test
runs against the native layer and the reference."""

import copy
import gc
import pickle

import pytest

from layer_funcs import models
from tarn import Input


def test_constructor_takes_inputs_as_keywords_only(layer):
    Order = models(layer).Order
    o = Order(price=2.5)
    assert (o.qty, o.price, o.customer) == (1, 2.5, None)
    assert Order(qty=3, price=1.0).qty == 3
    with pytest.raises(TypeError, match="missing.*'price'"):
        Order()
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        Order(price=1, bogus=2)
    with pytest.raises(TypeError):
        Order(2, 2.5)
    assert repr(o) == "Order(qty=1, price=2.5, customer=None)"


def test_computed_attributes_are_cached_per_instance_and_track_inputs(layer):
    class Counted(layer.Model):
        base: Input[int] = layer.Input(1)
        log: Input[object] = layer.Input(None)

        @layer.computed
        def doubled(self) -> int:
            self.log.append("doubled")
            return self.base * 2

    log = []
    a, b = Counted(log=log), Counted(base=5, log=log)
    assert (a.doubled, a.doubled, b.doubled) == (2, 2, 10)
    assert log == ["doubled", "doubled"]
    a.base = 4
    assert (a.doubled, b.doubled) == (8, 10) and len(log) == 3
    assert layer.graph_of(a).dependencies("doubled") == ("log", "base")


def test_computed_attributes_and_all_attributes_are_protected(layer):
    Order = models(layer).Order
    o = Order(price=1.0)
    with pytest.raises(AttributeError, match="'total'"):
        o.total = 3  # type: ignore[misc]
    for name in ("total", "qty", "anything"):
        with pytest.raises(AttributeError):
            delattr(o, name)
    assert o.total == 1.2


def test_mutable_defaults_are_refused_at_class_creation(layer):
    for default in ([], {}, set()):
        with pytest.raises(TypeError, match="mutable default"):
            class Bad(layer.Model):  # noqa: F841
                items: Input[object] = layer.Input(default)
    class Fine(layer.Model):
        items: Input[tuple[int, ...]] = layer.Input(())
    assert Fine().items == ()


def test_asynchronous_computed_attributes_are_refused(layer):
    with pytest.raises(TypeError, match="asynchronous"):
        class Bad(layer.Model):  # noqa: F841
            @layer.computed
            async def value(self) -> int:
                return 1


def test_subclasses_inherit_override_and_call_the_parent(layer):
    class Base(layer.Model):
        x: Input[int] = layer.Input(1)

        @layer.computed
        def total(self) -> int:
            return self.x * 10

        @layer.computed
        def label(self) -> str:
            return f"total={self.total}"

    class Child(Base):
        x: Input[int] = layer.Input(2)
        y: Input[int] = layer.Input(0)

        @layer.computed
        def total(self) -> int:
            return super().total + self.y

    c, b = Child(y=1), Base()
    assert (c.total, c.label, b.total, b.label) == (21, "total=21", 10, "total=10")
    assert layer.graph_of(c).dependencies("total") == ("x", "y")  # the parent's read is the child's
    c.x = 3
    assert c.label == "total=31"
    assert list(layer.graph_of(c)) == ["x", "y", "total", "label"]


def test_reads_across_instances_and_graphs_are_tracked(layer):
    Customer, Order = models(layer).Customer, models(layer).Order
    vip = Customer(discount=0.5)
    o = Order(qty=2, price=5.0, customer=vip)
    assert o.total == 6.0
    vip.discount = 0.0
    assert o.total == 12.0
    rates = layer.Graph()
    rates["factor"] = 3

    class Scaled(layer.Model):
        order: Input[Order | None] = layer.Input(None)

        @layer.computed
        def value(self) -> float:
            return self.order.total * rates["factor"]

    s = Scaled(order=o)
    assert s.value == 36.0
    rates["factor"] = 1
    o.qty = 1
    assert s.value == 6.0
    assert layer.graph_of(s).dependencies("value") == ("order", (o, "total"), (rates, "factor"))

    g = layer.Graph()
    g.node(lambda g: o.subtotal + 1, name="plus")
    assert g["plus"] == 6.0
    o.price = 1.0
    assert g["plus"] == 2.0


def test_dead_instances_leave_no_nodes_in_other_graphs(layer):
    rates = layer.Graph()
    rates["vat"] = 0.2

    class Line(layer.Model):
        net: Input[float] = layer.Input(1.0)

        @layer.computed
        def gross(self) -> float:
            return self.net * (1 + rates["vat"])

    lines = [Line(net=float(n)) for n in range(5)]
    assert [line.gross for line in lines][-1] == 4.8
    assert len(rates.dependents("vat")) == 5
    del lines
    gc.collect()
    assert rates.dependents("vat") == ()
    rates["vat"] = 0.5


def test_graph_of_reads_sets_inputs_and_refuses_structure(layer):
    Order = models(layer).Order
    o = Order(price=2.0)
    g = layer.graph_of(o)
    assert g["total"] == 2.4 and g.engine.nodes["total"].is_valid
    g["qty"] = 2
    assert o.total == 4.8
    with pytest.raises(TypeError, match="'total'"):
        g["total"] = 1
    with pytest.raises(TypeError):
        g.node(lambda g: 1, name="extra")
    with pytest.raises(TypeError):
        g.input("extra", 1)
    with pytest.raises(TypeError):
        del g["qty"]
    with pytest.raises(TypeError):
        layer.graph_of(g)  # type: ignore[arg-type]
    # A computed attribute may not change its own instance.

    class Selfish(layer.Model):
        x: Input[int] = layer.Input(0)

        @layer.computed
        def bump(self) -> int:
            self.x = 1
            return 0

    with pytest.raises(RuntimeError, match="cannot set 'x' while 'bump' is computing"):
        Selfish().bump


def test_model_cycles_and_cutoff(layer):
    class Loop(layer.Model):
        @layer.computed
        def a(self) -> int:
            return self.b

        @layer.computed
        def b(self) -> int:
            return self.a

    with pytest.raises(layer.CycleError, match="cycle: a -> b -> a"):
        Loop().a
    log = []

    class Cut(layer.Model):
        x: Input[int] = layer.Input(1)

        @layer.computed(cutoff=True)
        def sign(self) -> bool:
            return self.x > 0

        @layer.computed
        def text(self) -> str:
            log.append("text")
            return "positive" if self.sign else "not"

    c = Cut()
    assert c.text == "positive"
    c.x = 7
    assert c.text == "positive" and log == ["text"]


def test_instances_pickle_with_inputs_and_values(layer):
    Customer, Order = models(layer).Customer, models(layer).Order
    vip = Customer(discount=0.5)
    o = Order(qty=2, price=5.0, customer=vip)
    o.total
    back = pickle.loads(pickle.dumps(o))
    assert type(back) is Order and back.customer is not vip
    assert layer.graph_of(back).engine.nodes["subtotal"].is_valid
    assert back.total == 6.0
    back.customer.discount = 0.0
    assert back.total == 12.0 and o.total == 6.0
    copied = pickle.loads(pickle.dumps(layer.graph_of(o)))
    assert type(copied) is layer.Graph and copied["qty"] == 2 and copied is not layer.graph_of(o)


def test_instances_pickle_with_equalities_of_their_class(layer):
    gauge = models(layer).Gauge(level=1.0)
    gauge.band
    back = copy.copy(gauge)
    back.level = 1.2                        # unchanged under the input's equality
    assert back.level == 1.0
    kept = back.band
    back.level = 5.0                        # unchanged under the attribute's
    assert back.band is kept and kept == (0, 1.0)
