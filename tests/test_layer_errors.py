"""Mistakes a user makes in the first week, and what tarn says about them:
a mistyped input, an input declared without its call, a missing name with
a close one registered."""

import difflib

import pytest

from tarn import Graph, Input, Model, NodeNotFound, computed


class Order(Model):
    qty: Input[int] = Input(1)
    price: Input[float] = Input(2.0)

    @computed
    def total(self) -> float:
        return self.qty * self.price

    @property
    def doubled(self) -> int:
        return self.qty * 2

    @doubled.setter
    def doubled(self, value: int) -> None:
        self.qty = value // 2

    @property
    def fixed(self) -> int:
        return 1


def test_assignments_to_names_that_are_no_input_are_refused():
    order = Order()
    assert order.total == 2.0
    with pytest.raises(AttributeError) as info:
        order.qyt = 5
    assert str(info.value) == "Order has no input 'qyt'; did you mean 'qty'? (inputs: price, qty)"
    assert info.value.name == "qyt"
    with pytest.raises(AttributeError, match=r"^Order has no input 'zzz' \(inputs: price, qty\)$"):
        order.zzz = 1
    with pytest.raises(AttributeError, match="cannot set computed attribute 'total'"):
        order.total = 1
    with pytest.raises(AttributeError):
        order.fixed = 2                    # a property without a setter says so
    order._note = "kept"                   # private names and setters: as usual
    order.doubled = 10
    assert (order._note, order.qty, order.total) == ("kept", 5, 10.0)


def test_declarations_that_cannot_work_are_refused_when_the_class_is_made():
    with pytest.raises(TypeError, match=r"Bad\.qty is the class Input, not an input: call it"):
        class Bad(Model):
            qty = Input
    assert repr(Order.total) == "<computed Order.total>"
    assert repr(Order.__dict__["qty"]) == "Input(1)"


def test_missing_names_suggest_a_close_one_when_shown(monkeypatch):
    g = Graph()
    g["total"], g["price"] = 1, 2
    with pytest.raises(NodeNotFound) as info:
        g["totl"]
    assert str(info.value) == "node 'totl' is not defined; did you mean 'total'?"
    g.node(lambda g: g["pricee"], name="reader")
    with pytest.raises(NodeNotFound) as info:
        g["reader"]
    assert str(info.value) == "node 'pricee' is not defined (read by 'reader'); did you mean 'price'?"
    assert (info.value.name, info.value.reader) == ("pricee", "reader")
    with pytest.raises(NodeNotFound, match=r"^node 'nothing' is not defined$"):
        del g["nothing"]
    # The suggestion is worked out when the message is first shown, not when
    # the error is raised: failing reads of a graph of many names stay cheap.
    big = Graph()
    for i in range(1000):
        big[f"name{i}"] = i
    looked = []
    real = difflib.get_close_matches
    monkeypatch.setattr(difflib, "get_close_matches",
                        lambda *args, **kwargs: looked.append(1) or real(*args, **kwargs))
    errors = []
    for _ in range(100):
        try:
            big["nmae7"]
        except NodeNotFound as exc:
            errors.append(exc)
    assert looked == []
    assert str(errors[0]) == str(errors[0]) == "node 'nmae7' is not defined; did you mean 'name7'?"
    assert looked == [1]
