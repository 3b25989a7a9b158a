"""Exceptions raised by graphs and models."""

from __future__ import annotations

from collections.abc import Sequence

__all__ = ["CycleError", "NodeNotFound"]


class NodeNotFound(LookupError):
    """A read or an operation named a node that the graph does not hold.

    ``name`` is the missing name; ``reader`` the name of the node whose
    computation made the read, or None for a read from outside.
    """

    __module__ = "tarn"

    def __init__(self, name: object, reader: str | None = None) -> None:
        text = f"node {name!r} is not defined"
        if reader is not None:
            text += f" (read by {reader!r})"
        super().__init__(text)
        self.name = name
        self.reader = reader

    def __reduce__(self) -> tuple[type[NodeNotFound], tuple[object, str | None]]:
        return (type(self), (self.name, self.reader))


class CycleError(RuntimeError):
    """A node read itself, directly or through other nodes.

    ``path`` lists the names from the node back to itself.
    """

    __module__ = "tarn"

    def __init__(self, path: Sequence[str | None]) -> None:
        super().__init__("cycle: " + " -> ".join(str(name) for name in path))
        self.path = tuple(path)

    def __reduce__(self) -> tuple[type[CycleError], tuple[tuple[str | None, ...]]]:
        return (type(self), (self.path,))
