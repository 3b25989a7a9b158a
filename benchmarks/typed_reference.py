"""``reference.py`` with type annotations, for compiling with mypyc.

The statements are those of ``reference.py``; only annotations are added
(a test compares the two with the annotations and docstrings removed), so
that mypyc can give the classes native attribute slots and call methods
directly. ``build_mypyc.py`` compiles it as ``reference_mypyc``.

A compiled class makes its blank instances by calling ``__init__`` with no
arguments, which ``Node`` refuses; so nodes pickle through ``copyreg`` here:
a placeholder node is made, remembered by the pickler, then given the
node's fields, which is what the interpreter's default does for the
reference's slotted classes (edges may form cycles). The fields travel as
one tuple set by a compiled function, the quickest form found for the
compiled engine (twice as quick as its own ``__getstate__`` dict); the
engine, whose ``__init__`` takes no arguments, pickles the compiled way.
"""

import copyreg
from typing import Any, Callable

__all__ = ["DAGEngine", "Node"]


class Node:
    """One vertex: a function, its memoised value and two-way edge lists."""

    __slots__ = (
        "name",
        "func",
        "dependencies",
        "dependents",
        "is_valid",
        "is_explicit",
        "cached_value",
        "flags",
        "static_dependencies",
    )

    name: Any
    func: Callable[[Any], Any]
    dependencies: list["Node"]
    dependents: list["Node"]
    is_valid: bool
    is_explicit: bool
    cached_value: Any
    flags: int
    static_dependencies: list[Any]

    def __init__(
        self,
        name: Any,
        func: Callable[[Any], Any],
        is_explicit: bool = False,
        explicit_value: Any = None,
        flags: int = 0,
    ) -> None:
        self.name = name
        self.func = func
        self.is_explicit = self.is_valid = is_explicit
        self.cached_value = explicit_value
        self.dependencies = []
        self.dependents = []
        self.flags = flags
        self.static_dependencies = []

    def add_dependency(self, dep: "Node") -> None:
        """Records that this node depends on `dep`, once."""
        dependencies = self.dependencies
        if dep not in dependencies:
            dependencies.append(dep)
            dep.dependents.append(self)

    def invalidate(self) -> None:
        """Clears this node, then each dependent's subtree in list order."""
        if self.is_explicit or not self.is_valid:
            return
        self.is_valid = False
        self.cached_value = None
        for dependent in self.dependents:
            dependent.invalidate()


class DAGEngine:
    """The registry of nodes by name and the stack of running evaluations."""

    __slots__ = ("nodes", "call_stack")

    nodes: dict[Any, Node]
    call_stack: list[Any]

    def __init__(self) -> None:
        self.nodes = {}
        self.call_stack = []

    def add_node(
        self,
        name: Any,
        func: Callable[[Any], Any],
        is_explicit: bool = False,
        explicit_value: Any = None,
        flags: int = 0,
    ) -> Node:
        node = Node(name, func, is_explicit, explicit_value, flags)
        self.nodes[name] = node
        return node

    def add_edge(self, dependent_name: Any, dependency_name: Any) -> None:
        nodes = self.nodes
        dependent = nodes.get(dependent_name)
        dependency = nodes.get(dependency_name)
        if dependent is not None and dependency is not None:
            dependent.add_dependency(dependency)

    def record_access(self, accessed_node_name: Any) -> None:
        """Makes the node whose function is running depend on the accessed one."""
        call_stack = self.call_stack
        if call_stack:
            running = call_stack[-1]
            if running != accessed_node_name:
                self.add_edge(running, accessed_node_name)

    def invalidate(self, name: Any) -> None:
        node = self.nodes.get(name)
        if node is not None:
            node.invalidate()

    def invalidate_iterative(self, name: Any) -> None:
        """The walk of ``invalidate``, over an explicit stack instead of recursion."""
        node = self.nodes.get(name)
        if node is None or node.is_explicit or not node.is_valid:
            return
        node.is_valid = False
        node.cached_value = None
        stack = [iter(node.dependents)]
        push = stack.append
        pop = stack.pop
        while stack:
            for dependent in stack[-1]:
                if dependent.is_explicit or not dependent.is_valid:
                    continue
                dependent.is_valid = False
                dependent.cached_value = None
                push(iter(dependent.dependents))
                break
            else:
                pop()

    def evaluate(self, name: Any, instance: Any) -> Any:
        """The node's value for `instance`, computed only when it is invalid."""
        try:
            node = self.nodes[name]
        except KeyError:
            raise ValueError(f"Node '{name}' not found in DAG") from None
        if node.is_valid:
            return node.cached_value
        for dependency in node.static_dependencies:
            self.evaluate(dependency, instance)
        self.call_stack.append(name)
        try:
            value = node.func(instance)
            node.cached_value = value
            node.is_valid = True
        finally:
            self.call_stack.pop()
        return value


def _unset(_instance: Any) -> Any:
    raise AssertionError("a placeholder function of an unpickled node ran")


def _blank_node() -> Node:
    return Node(None, _unset)


def _reduce_node(node: Node) -> tuple[Any, ...]:
    state = (
        node.name,
        node.func,
        node.dependencies,
        node.dependents,
        node.is_valid,
        node.is_explicit,
        node.cached_value,
        node.flags,
        node.static_dependencies,
    )
    return _blank_node, (), state, None, None, _set_node_state


def _set_node_state(node: Node, state: tuple[Any, ...]) -> None:
    (
        node.name,
        node.func,
        node.dependencies,
        node.dependents,
        node.is_valid,
        node.is_explicit,
        node.cached_value,
        node.flags,
        node.static_dependencies,
    ) = state


copyreg.pickle(Node, _reduce_node)
