"""Argument binding, value conversions and the messages of refused calls."""

import ctypes
import re
import warnings

import pytest

from engine_support import Boom, at, boom
from helpers import entries, run_child
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
    # Too many positional arguments is reported before the keyword names.
    (lambda: DAGEngine(1, **{2: 3}), count("__init__", "exactly", 0, 1), []),
    (lambda: Node("a", None, True, 1, 2, 3, **{2: 3}),
     count("__init__", "at most", 5, 6), INIT),
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


# The interpreter's wording for a value outside a C int, of either sign.
TOO_LARGE = OverflowError("Python int too large to convert to C int")


@pytest.mark.parametrize("param, value, expected", [
    ("is_explicit", v, e) for v, e in [
        (True, True), (None, False), (0.5, True), ([], False), ([0], True),
        ("", False), (range(0), False), (convertible(1), Boom)]
] + [("flags", v, e) for v, e in [
    (2.9, 2), (-2.9, -2), (True, 1), (MyInt(7), 7), (2**31 - 1, 2**31 - 1),
    (-2**31, -2**31), (convertible(-5), -5), (2**31, TOO_LARGE),
    (-2**31 - 1, TOO_LARGE), (-2**63, TOO_LARGE), (convertible(2**64), TOO_LARGE),
    ("3", "an integer is required"),
    (type("IndexOnly", (), {"__index__": lambda s: 1})(), "an integer is required"),
    (convertible("1"), "__int__ returned non-int (type str)"),
    (convertible(boom), Boom)]])
def test_conversions(param, value, expected):
    for call, entry in [(lambda: Node("a", None, **{param: value}), INIT),
                        (lambda: E.add_node("a", None, **{param: value}), ADD_NODE)]:
        if not isinstance(expected, (str, type, BaseException)):
            got = getattr(call(), param)
            assert (type(got), got) == (type(expected), expected)
            continue
        if isinstance(expected, BaseException):
            exc_type, text = type(expected), str(expected)
        else:
            exc_type = TypeError if isinstance(expected, str) else expected
            text = expected if isinstance(expected, str) else None
        with pytest.raises(exc_type) as exc:
            call()
        assert text is None or str(exc.value) == text
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


# Script code run by a conversion empties the dictionary the constructor was
# called with; the values bound from it must stay alive until they are
# stored. Run in a child: the fault this guards against is a crash.
EMPTY_THE_CALL_DICT = """
import ctypes, gc, warnings
from tarn.tarnwick import Node

def empty_dicts():
    for o in gc.get_objects():
        if type(o) is dict and o.get("name") == "victim":
            o.clear()

class Bool:
    def __bool__(self):
        empty_dicts(); return True

class Int:
    def __int__(self):
        empty_dicts(); return 3

class Warns:
    def __int__(self):
        return type("Sub", (int,), {})(4)

def victim_func(obj): return obj

def make(**extra):
    kw = {"name": "".join(["vic", "tim"]), "func": lambda o: o,
          "explicit_value": [object()]}
    kw.update(extra)
    return kw

for extra in ({"is_explicit": Bool()}, {"flags": Int()}):
    n = Node(**make(**extra))
    assert n.name == "victim" and n.func(1) == 1 and len(n.cached_value) == 1
    gc.collect()

# Through the C API with a dictionary the script owns: a warning filter
# clears it while the DeprecationWarning of __int__ is issued.
own = make(flags=Warns())
def showwarning(*args):
    own.clear()
warnings.simplefilter("always")
warnings.showwarning = showwarning
call = ctypes.pythonapi.PyObject_Call
call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object] * 3
n = call(Node, (), own)
assert own == {} and n.name == "victim" and n.flags == 4
assert n.func(2) == 2 and len(n.cached_value) == 1
print("ok")
"""


def test_values_bound_from_a_dictionary_outlive_its_clearing():
    result = run_child(EMPTY_THE_CALL_DICT)
    assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")
