"""A pure-Python engine with the same operations as ``tarn.tarnwick``.

It is the yardstick of ``bench.py``: the same algorithms, written the way a
careful Python developer would write them for speed (attributes in
``__slots__``, no argument checks, locals instead of repeated lookups), so
that its results agree with the native module's and only the cost differs.
Both types pickle through the interpreter's defaults for slotted objects.
"""

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

    def __init__(self, name, func, is_explicit=False, explicit_value=None, flags=0):
        self.name = name
        self.func = func
        self.is_explicit = self.is_valid = is_explicit
        self.cached_value = explicit_value
        self.dependencies = []
        self.dependents = []
        self.flags = flags
        self.static_dependencies = []

    def add_dependency(self, dep):
        """Records that this node depends on `dep`, once."""
        dependencies = self.dependencies
        if dep not in dependencies:
            dependencies.append(dep)
            dep.dependents.append(self)

    def invalidate(self):
        """Clears this node, then each dependent's subtree in list order.

        Explicit and already invalid nodes stop the walk, which is what ends
        it on cycles. The walk recurses once per level.
        """
        if self.is_explicit or not self.is_valid:
            return
        self.is_valid = False
        self.cached_value = None
        for dependent in self.dependents:
            dependent.invalidate()


class DAGEngine:
    """The registry of nodes by name and the stack of running evaluations."""

    __slots__ = ("nodes", "call_stack")

    def __init__(self):
        self.nodes = {}
        self.call_stack = []

    def add_node(self, name, func, is_explicit=False, explicit_value=None, flags=0):
        node = Node(name, func, is_explicit, explicit_value, flags)
        self.nodes[name] = node
        return node

    def add_edge(self, dependent_name, dependency_name):
        nodes = self.nodes
        dependent = nodes.get(dependent_name)
        dependency = nodes.get(dependency_name)
        if dependent is not None and dependency is not None:
            dependent.add_dependency(dependency)

    def record_access(self, accessed_node_name):
        """Makes the node whose function is running depend on the accessed one."""
        call_stack = self.call_stack
        if call_stack:
            running = call_stack[-1]
            if running != accessed_node_name:
                self.add_edge(running, accessed_node_name)

    def invalidate(self, name):
        node = self.nodes.get(name)
        if node is not None:
            node.invalidate()

    def invalidate_iterative(self, name):
        """The walk of ``invalidate``, over an explicit stack instead of recursion.

        Only for the benchmarks: the recursive walk nests one Python call per
        level and so cannot clear a chain far deeper than the interpreter's
        recursion limit (100,000 nodes and more). Keeping one iterator per
        level clears the nodes in exactly the same depth-first, list order.
        Unlike ``invalidate`` it reads the flags itself, so it does not honour
        a Node subclass that replaces ``invalidate``.
        """
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

    def evaluate(self, name, instance):
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
