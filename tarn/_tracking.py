"""Who is computing in this thread or task, and what the layer's modules share.

The algorithm of graphs and models (reads and their tracking, refreshes,
computations, cut-off, cycles, depth and every change) is native, in
`tarn._layer`; this package shapes the API around it. `tarn._layer` needs
nothing registered from Python: it takes the engine's types from
`tarn.tarnwick` and the exception classes from `tarn._errors` when it is
imported.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable
from typing import Any, TypeAlias

from tarn._layer import Frame, Record, current, plain_function, revision

__all__ = ["Cutoff", "Frame", "Record", "check_function", "check_cutoff", "current", "plain_function",
           "revision"]

# What `cutoff=` takes: False (every recomputation counts as a change),
# True (unchanged: the same object, or ==), or a callable (old, new) that
# says "unchanged".
Cutoff: TypeAlias = "bool | Callable[[Any, Any], object]"


def check_cutoff(cutoff: object) -> None:
    """Refuse what cannot be an equality: not a bool and not callable."""
    if not (isinstance(cutoff, bool) or callable(cutoff)):
        raise TypeError(
            f"cutoff must be True, False or a callable (old, new) -> bool, not {type(cutoff).__name__}"
        )


def check_function(func: Any, what: str) -> None:
    """Refuse what cannot be a node function: not callable, or asynchronous."""
    if plain_function(func):
        return
    if not callable(func):
        raise TypeError(f"{what} must be callable, not {type(func).__name__}")
    if inspect.iscoroutinefunction(func) or inspect.isasyncgenfunction(func):
        raise TypeError(f"{what} is asynchronous; node functions must return their value")
