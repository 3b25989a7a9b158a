"""A pure-Python reference of the core engine, written for exactness rather
than speed, with the picklable node functions and logging subclasses used to
drive it and the native module side by side."""

import tarn.tarnwick as tw

_FLAGS = ("is_valid", "is_explicit")
_TYPED = {"name": str, "dependencies": list, "dependents": list,
          "static_dependencies": list, "nodes": dict, "call_stack": list}


def to_int(value):
    """Signed 32-bit conversion: ints as they are, anything else via __int__."""
    if not isinstance(value, int):
        if not hasattr(type(value), "__int__"):
            raise TypeError("an integer is required")
        value = type(value).__int__(value)
        if not isinstance(value, int):
            raise TypeError(f"__int__ returned non-int (type {type(value).__name__})")
    if not -2**31 <= value < 2**31:
        raise OverflowError("Python int too large to convert to C int")
    return int(value)


def check_name(value, param="name"):
    if value is not None and type(value) is not str:
        raise TypeError(f"Argument '{param}' has incorrect type (expected str, got {type(value).__name__})")


class _Record:
    """Field writes and deletions under the attribute rules of both types."""
    __slots__ = ()

    def __setattr__(self, attr, value):
        if attr in _FLAGS:
            value = bool(value)
        elif attr == "flags":
            value = to_int(value)
        elif attr in _TYPED and value is not None and type(value) is not _TYPED[attr]:
            raise TypeError(f"Expected {_TYPED[attr].__name__}, got {type(value).__name__}")
        object.__setattr__(self, attr, value)

    def __delattr__(self, attr):
        if attr in _FLAGS or attr == "flags":
            raise NotImplementedError("__del__")
        object.__setattr__(self, attr, None)


class Node(_Record):
    __slots__ = ("name", "func", "dependencies", "dependents", "is_valid",
                 "is_explicit", "cached_value", "flags", "static_dependencies")

    def __init__(self, name, func, is_explicit=False, explicit_value=None, flags=0):
        is_explicit, flags = bool(is_explicit), to_int(flags)
        check_name(name)
        self.name, self.func = name, func
        self.is_explicit = self.is_valid = is_explicit
        self.cached_value, self.dependencies, self.dependents = explicit_value, [], []
        self.flags, self.static_dependencies = flags, []

    def add_dependency(self, dep):
        if dep is not None and not isinstance(dep, Node):
            raise TypeError(f"Argument 'dep' has incorrect type "
                            f"(expected tarn.tarnwick.Node, got {type(dep).__name__})")
        if dep not in self.dependencies:
            self.dependencies.append(dep)
            dep.dependents.append(self)

    def invalidate(self):
        if self.is_explicit or not self.is_valid:
            return
        self.is_valid, self.cached_value = False, None
        for dep in self.dependents:  # a list iterator re-reads the length each step
            if not isinstance(dep, Node):
                raise TypeError(f"Cannot convert {type(dep).__name__} to tarn.tarnwick.Node")
            dep.invalidate()


class DAGEngine(_Record):
    __slots__ = ("nodes", "call_stack")

    def __init__(self):
        self.nodes, self.call_stack = {}, []

    def add_node(self, name, func, is_explicit=False, explicit_value=None, flags=0):
        node = Node(name, func, is_explicit, explicit_value, flags)
        if self.nodes is None:
            raise TypeError("'NoneType' object is not subscriptable")
        self.nodes[name] = node
        return node

    def add_edge(self, dependent_name, dependency_name):
        check_name(dependent_name, "dependent_name")
        check_name(dependency_name, "dependency_name")
        dependent, dependency = self.nodes.get(dependent_name), self.nodes.get(dependency_name)
        if dependent is not None and dependency is not None:
            dependent.add_dependency(dependency)

    def record_access(self, accessed_node_name):
        check_name(accessed_node_name, "accessed_node_name")
        if self.call_stack:
            running = self.call_stack[-1]
            if running is not accessed_node_name and running != accessed_node_name:
                self.add_edge(running, accessed_node_name)

    def invalidate(self, name):
        check_name(name)
        node = self.nodes.get(name)
        if node is not None:
            node.invalidate()

    def evaluate(self, name, instance):
        check_name(name)
        node = self.nodes.get(name)
        if node is None:
            raise ValueError(f"Node '{name}' not found in DAG")
        if node.is_valid:
            return node.cached_value
        for dep in node.static_dependencies:
            if dep is not None and type(dep) is not str:
                raise TypeError(f"Expected str, got {type(dep).__name__}")
            self.evaluate(dep, instance)
        self.call_stack.append(name)
        try:
            value = node.func(instance)
        except BaseException:
            self.call_stack.pop()  # failing here chains the function's error
            raise
        node.cached_value, node.is_valid = value, True
        self.call_stack.pop()
        return value


class PlanError(Exception):
    pass


class Plan:
    """A node function: reads nodes through the engine it is given (reporting
    each access), invalidates some, and returns the sum of what it read plus a
    constant, or raises PlanError."""

    def __init__(self, reads=(), drops=(), const=0, fail=False):
        self.reads, self.drops, self.const, self.fail = reads, drops, const, fail

    def __call__(self, engine):
        total = self.const
        for name in self.reads:
            engine.record_access(name)
            total += engine.evaluate(name, engine)
        for name in self.drops:
            engine.invalidate(name)
        if self.fail:
            raise PlanError(total)
        return total


class LogNode:
    """Replaces both node operations: logs each call, then defers."""

    def __init__(self, *args):
        super().__init__(*args)
        self.log = []

    def add_dependency(self, dep):
        self.log.append(("add_dependency", dep.name))
        super().add_dependency(dep)

    def invalidate(self):
        self.log.append("invalidate")
        super().invalidate()


class LogEngine:
    """Replaces add_edge and evaluate: logs each call, then defers."""

    def __init__(self):
        super().__init__()
        self.log = []

    def add_edge(self, dependent_name, dependency_name):
        self.log.append(("add_edge", dependent_name, dependency_name))
        super().add_edge(dependent_name, dependency_name)

    def evaluate(self, name, instance):
        self.log.append(("evaluate", name))
        return super().evaluate(name, instance)


ReferenceLogNode = type("ReferenceLogNode", (LogNode, Node), {})
ReferenceLogEngine = type("ReferenceLogEngine", (LogEngine, DAGEngine), {})
RealLogNode = type("RealLogNode", (LogNode, tw.Node), {})
RealLogEngine = type("RealLogEngine", (LogEngine, tw.DAGEngine), {})
