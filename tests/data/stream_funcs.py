"""Functions and classes that the stored pickle streams and the pickle
tests refer to by module and name. Renaming anything here breaks the
stored streams."""

from tarn.tarnwick import DAGEngine, Node


def price(obj):
    return obj["price"]


def total(obj):
    return obj["price"] * obj["qty"]


class Tagged(Node):
    """A node subclass whose instances carry a __dict__."""


class Slotted(Node):
    """A node subclass whose instances carry no __dict__."""

    __slots__ = ()


class TaggedEngine(DAGEngine):
    """An engine subclass whose instances carry a __dict__."""


def build_graph():
    """Three registered nodes; total and qty depend on each other."""
    engine = DAGEngine()
    engine.add_node("price", price, True, 10, 3)
    engine.add_node("qty", len)
    node = engine.add_node("total", total, flags=-7)
    node.cached_value, node.is_valid = 30, True
    node.static_dependencies = ["price", "qty"]
    for dependent, dependency in (("total", "price"), ("total", "qty"), ("qty", "total")):
        engine.add_edge(dependent, dependency)
    engine.call_stack.append("outer")
    return engine


def build_tagged():
    """A subclass instance with two attributes, depending on a plain node."""
    node = Tagged("tagged", total, flags=2)
    node.label, node.extra = "hello", {"k": [1, 2]}
    node.add_dependency(Node("base", len))
    return node
