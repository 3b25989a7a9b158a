"""Exceptions raised by graphs and models, and the texts that suggest the
name that was probably meant."""

from __future__ import annotations

import difflib
import weakref
from collections.abc import Iterable, Sequence
from typing import Any

__all__ = ["CycleError", "NodeNotFound"]


def _closest(name: object, names: Iterable[object]) -> str | None:
    """The registered name closest to a mistyped one, if one is close."""
    if not isinstance(name, str):
        return None
    found = difflib.get_close_matches(name, [n for n in names if isinstance(n, str)], n=1)
    return found[0] if found else None


def missing_input(cls: type, name: str) -> AttributeError:
    """The error of an assignment to a name that is none of a model's inputs."""
    inputs = sorted(getattr(cls, "_tarn_inputs", {}))
    text = f"{cls.__name__} has no input {name!r}"
    close = _closest(name, inputs)
    if close is not None:
        text += f"; did you mean {close!r}?"
    text += f" (inputs: {', '.join(inputs)})"
    return AttributeError(text, name=name)


class NodeNotFound(LookupError):
    """A read or an operation named a node that the graph does not hold.

    ``name`` is the missing name; ``reader`` the name of the node whose
    computation made the read, or None for a read from outside. When the
    graph holds a name close to the missing one, the message asks whether
    it was meant; that is worked out when the message is first shown, not
    when the error is raised.
    """

    __module__ = "tarn"

    def __init__(self, name: object, reader: str | None = None, graph: Any = None) -> None:
        text = f"node {name!r} is not defined"
        if reader is not None:
            text += f" (read by {reader!r})"
        super().__init__(text)
        self.name = name
        """The name that is not defined."""
        self.reader = reader
        """The node whose computation read it, or None for a read from outside."""
        self._among = weakref.ref(graph) if graph is not None else None
        self._shown: str | None = None

    def __str__(self) -> str:
        if self._shown is None:
            text = super().__str__()
            graph = self._among() if self._among is not None else None
            if graph is not None:
                close = _closest(self.name, list(graph._nodes))
                if close is not None:
                    text += f"; did you mean {close!r}?"
            self._shown = text
        return self._shown

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
        """The names on the cycle, from the node read twice back to it."""

    def __reduce__(self) -> tuple[type[CycleError], tuple[tuple[str | None, ...]]]:
        return (type(self), (self.path,))
