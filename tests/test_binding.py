"""Argument binding, value conversions and the messages of refused calls."""

import ctypes
import re
import warnings

import pytest

from engine_support import Boom, at, boom
from helpers import entries
from tarn.tarnwick import DAGEngine, Node

E, N = DAGEngine(), Node("n", None)
ADD_NODE, INIT, ADD_DEP = (at("DAGEngine.add_node", 74), at("Node.__init__", 32),
                           at("Node.add_dependency", 43))


def convertible(result):  # truth test raises; __int__ returns `result`
    return type("Convertible", (), {"__bool__": boom, "__int__": (
        result if result is boom else lambda self: result)})()


def count(name, word, expected, given):
    return (f"{name}() takes {word} {expected} positional "
            f"argument{'s' * (expected != 1)} ({given} given)")


def argument(param, expected, got):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize("call, message, expected", [
    (lambda: E.add_node("a"), count("add_node", "at least", 2, 1), ADD_NODE),
    (lambda: E.add_node(*"abcdef"), count("add_node", "at most", 5, 6), ADD_NODE),
    (lambda: E.add_node(flags=1), count("add_node", "at least", 2, 0), ADD_NODE),
    (lambda: E.add_node("a", None, name="b"),
     "add_node() got multiple values for keyword argument 'name'", ADD_NODE),
    (lambda: E.add_node("a", None, nmae="b"),
     "add_node() got an unexpected keyword argument 'nmae'", ADD_NODE),
    (lambda: E.evaluate("a"), count("evaluate", "exactly", 2, 1),
     at("DAGEngine.evaluate", 97)),
    (lambda: N.add_dependency(), count("add_dependency", "exactly", 1, 0), ADD_DEP),
    (lambda: Node("a"), count("__init__", "at least", 2, 1), INIT),
    # Conversions are reported before the test of the name.
    (lambda: Node(1, None, flags="x"), "an integer is required", INIT),
    (lambda: E.add_node(1, None, flags="x"), "an integer is required", ADD_NODE),
    # No entry: argument types, operations without parameters, and a method
    # read from its type and called without an instance.
    (lambda: Node(b"a", None), argument("name", "str", "bytes"), []),
    (lambda: E.add_edge(1, "b"), argument("dependent_name", "str", "int"), []),
    (lambda: E.add_edge("a", type("S", (str,), {})()),
     argument("dependency_name", "str", "S"), []),
    (lambda: N.add_dependency(5), argument("dep", "tarn.tarnwick.Node", "int"), []),
    (lambda: N.invalidate(1), count("invalidate", "exactly", 0, 1), []),
    (lambda: N.invalidate(now=1),
     "invalidate() got an unexpected keyword argument 'now'", []),
    (lambda: DAGEngine(1), count("__init__", "exactly", 0, 1), []),
    (lambda: Node.invalidate(), "invalidate() needs an argument", []),
    (lambda: Node.add_dependency(dep=N), "add_dependency() needs an argument", []),
])
def test_refused_calls(call, message, expected):
    with pytest.raises(TypeError) as exc:
        call()
    assert (str(exc.value), entries(exc.value)) == (message, expected)


def test_keyword_names_must_be_strings():
    obj, api = ctypes.py_object, ctypes.pythonapi
    vectorcall = ctypes.PYFUNCTYPE(obj, obj, ctypes.POINTER(obj), ctypes.c_size_t, obj)(
        ("PyObject_Vectorcall", api))
    call = ctypes.PYFUNCTYPE(obj, obj, obj, obj)(("PyObject_Call", api))
    with pytest.raises(TypeError) as exc:
        vectorcall(N.add_dependency, (obj * 1)(N), 0, (1,))
    assert str(exc.value) == "add_dependency() keywords must be strings"
    assert entries(exc.value) == ADD_DEP and N.dependencies == []
    with pytest.raises(TypeError) as exc:  # every key is tested before any match
        call(Node, ("a", None), {"func": 2, 1: 2})
    assert (str(exc.value), entries(exc.value)) == ("keywords must be strings", INIT)


@pytest.mark.parametrize("call", [
    lambda: Node.invalidate(5), lambda: DAGEngine.evaluate(N, "a", None)])
def test_method_through_its_type_refuses_a_foreign_instance(call):
    with pytest.raises(TypeError):
        call()


class MyInt(int):
    pass


@pytest.mark.parametrize("param, value, expected", [
    ("is_explicit", v, e) for v, e in [
        (True, True), (None, False), (0.5, True), ([], False), ([0], True),
        ("", False), (range(0), False), (convertible(1), Boom)]
] + [("flags", v, e) for v, e in [
    (2.9, 2), (-2.9, -2), (True, 1), (MyInt(7), 7), (2**31 - 1, 2**31 - 1),
    (-2**31, -2**31), (convertible(-5), -5), (2**31, OverflowError),
    (-2**31 - 1, OverflowError), (convertible(2**64), OverflowError),
    ("3", "an integer is required"),
    (type("IndexOnly", (), {"__index__": lambda s: 1})(), "an integer is required"),
    (convertible("1"), "__int__ returned non-int (type str)"),
    (convertible(boom), Boom)]])
def test_conversions(param, value, expected):
    for call, entry in [(lambda: Node("a", None, **{param: value}), INIT),
                        (lambda: E.add_node("a", None, **{param: value}), ADD_NODE)]:
        if not isinstance(expected, (str, type)):
            got = getattr(call(), param)
            assert (type(got), got) == (type(expected), expected)
            continue
        exc_type = TypeError if isinstance(expected, str) else expected
        with pytest.raises(exc_type) as exc:
            call()
        assert str(exc.value) == expected or not isinstance(expected, str)
        assert entries(exc.value) == entry


def test_int_subclass_returned_by_int_warns_then_is_used():
    text = ("__int__ returned non-int (type MyInt).  The ability to return an "
            "instance of a strict subclass of int is deprecated, and may be "
            "removed in a future version of Python.")
    with pytest.warns(DeprecationWarning, match=re.escape(text)):
        assert Node("a", None, flags=convertible(MyInt(9))).flags == 9
    with warnings.catch_warnings(), pytest.raises(DeprecationWarning) as exc:
        warnings.simplefilter("error")
        E.add_node("a", None, flags=convertible(MyInt(9)))
    assert (str(exc.value), entries(exc.value)) == (text, ADD_NODE)
