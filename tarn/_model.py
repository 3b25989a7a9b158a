"""Classes whose instances are small graphs: inputs and computed attributes.

`Model`, `Input` and `Computed` are API glue over their native bases in
`tarn._layer`, which read and set the attributes, build each instance's
graph, and unlink an instance's nodes from other graphs when it is freed.
"""

from __future__ import annotations

from collections.abc import Callable
from functools import partial
import pickle
from typing import TYPE_CHECKING, Any, ClassVar, Generic, Never, Self, SupportsIndex, TypeVar, cast, dataclass_transform, overload

from tarn._graph import Graph
from tarn._layer import ComputedBase, InputBase, ModelBase, build_model, model_graph
from tarn._pickling import fill_graph, reduce_member
from tarn._tracking import Cutoff, Record, check_cutoff, check_function
from tarn.diagram import to_html_table, to_markdown

__all__ = ["Computed", "Input", "Model", "computed", "graph_of"]

_T = TypeVar("_T")


class _NoDefault:
    def __repr__(self) -> str:
        return "<no default>"


_NO_DEFAULT: Any = _NoDefault()


class Input(InputBase, Generic[_T]):
    """An input attribute of a model, with an optional default value."""

    __module__ = "tarn"

    # `name` is kept by the native base, which also reads and sets the
    # attribute and refuses its deletion.
    __slots__ = ("default",)

    default: Any
    """The value an instance gets when the constructor is not given one."""

    @overload
    def __init__(self, *, cutoff: Cutoff = False) -> None: ...
    @overload
    def __init__(self, default: _T, *, cutoff: Cutoff = False) -> None: ...
    def __init__(self, default: Any = _NO_DEFAULT, *, cutoff: Cutoff = False) -> None:
        if isinstance(default, (list, dict, set)):
            raise TypeError(
                f"mutable default {type(default).__name__} for an Input is not allowed: "
                "every instance would share it"
            )
        check_cutoff(cutoff)
        self.default = default
        self.name = ""
        """The attribute's name, set when the class is created."""
        # With a cutoff, setting the input to an unchanged value changes
        # nothing at all.
        self.cutoff = cutoff
        """False, True (unchanged: the same object, or ``==``) or a callable
        ``(old, new) -> bool`` saying "unchanged": setting the input to an
        unchanged value changes nothing."""

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    if TYPE_CHECKING:  # the native base reads and sets the attribute
        @overload
        def __get__(self, instance: None, owner: type | None = None) -> Input[_T]: ...
        @overload
        def __get__(self, instance: object, owner: type | None = None) -> _T: ...
        def __get__(self, instance: object, owner: type | None = None) -> Any: ...
        def __set__(self, instance: object, value: _T) -> None: ...

    def __repr__(self) -> str:
        if self.default is _NO_DEFAULT:
            return "Input()"
        return f"Input({self.default!r})"


class Computed(ComputedBase, Generic[_T]):
    """A computed attribute of a model; made by :func:`computed`."""

    # `name`, `func`, `cutoff` and `overridden` are kept by the native base,
    # which also reads the attribute and refuses writes to it.
    __slots__ = ("owner",)

    owner: str
    """The qualified name of the class that defines the attribute."""

    def __init__(self, func: Callable[[Any], _T], cutoff: Cutoff) -> None:
        check_function(func, f"computed attribute {getattr(func, '__name__', func)!r}")
        check_cutoff(cutoff)
        self.func = func
        """The method that computes the attribute from the instance."""
        self.cutoff = cutoff
        """False, True (unchanged: the same object, or ``==``) or a callable
        ``(old, new) -> bool`` saying "unchanged": a recomputation to an
        unchanged value leaves the attribute's readers as they were."""
        self.name = getattr(func, "__name__", "")
        """The attribute's name, set when the class is created."""
        # Set when a subclass defines its own attribute of this name; then a
        # read through this descriptor is a `super()` call unless it is
        # still the one the instance's class uses.
        self.overridden = False
        """Whether a subclass defines an attribute of the same name."""
        self.owner = ""

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name
        self.owner = owner.__qualname__

    def __repr__(self) -> str:
        where = f"{self.owner}." if self.owner else ""
        return f"<computed {where}{self.name}>"

    if TYPE_CHECKING:  # the native base reads the attribute
        @overload
        def __get__(self, instance: None, owner: type | None = None) -> Computed[_T]: ...
        @overload
        def __get__(self, instance: object, owner: type | None = None) -> _T: ...
        def __get__(self, instance: object, owner: type | None = None) -> Any: ...
        def __set__(self, instance: object, value: Never) -> None: ...


@overload
def computed(func: Callable[[Any], _T], /) -> Computed[_T]: ...
@overload
def computed(*, cutoff: Cutoff = False) -> Callable[[Callable[[Any], _T]], Computed[_T]]: ...
def computed(
    func: Callable[[Any], _T] | None = None, /, *, cutoff: Cutoff = False
) -> Computed[_T] | Callable[[Callable[[Any], _T]], Computed[_T]]:
    """Make a method a computed attribute, cached per instance.

    With `cutoff` (True: the same object or ``==``; or a callable ``(old,
    new) -> bool`` saying "unchanged"), a recomputation to an unchanged
    value keeps the previous object and leaves the attribute's readers as
    they were.
    """
    if func is not None:
        return Computed(func, False)
    check_cutoff(cutoff)
    return partial(Computed, cutoff=cutoff)


# Inputs are not declared as field specifiers: type checkers would then
# only see a default given as `default=`, and `Input(1)` reads better. The
# constructor itself refuses a missing input at run time.
@dataclass_transform(kw_only_default=True)
class Model(ModelBase):
    """Base class for models: inputs and computed attributes that track reads.

    The constructor takes the inputs as keywords. Each instance is a graph
    of its own (see :func:`graph_of`).
    """

    __module__ = "tarn"

    # The graph and its nodes are kept by the native base.
    __slots__ = ()

    # The class of every instance's graph.
    _tarn_graph_class: ClassVar[type[Graph]] = Graph
    _tarn_inputs: ClassVar[dict[str, Input[Any]]] = {}
    _tarn_computed: ClassVar[dict[str, Computed[Any]]] = {}
    _tarn_graph: Graph
    _tarn_nodes: dict[str, Record]

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        inputs: dict[str, Input[Any]] = {}
        computeds: dict[str, Computed[Any]] = {}
        for name, attr in vars(cls).items():
            if isinstance(attr, type) and issubclass(attr, Input):
                raise TypeError(
                    f"{cls.__name__}.{name} is the class {attr.__name__}, not an input: "
                    f"call it, as {attr.__name__}() or {attr.__name__}(default)"
                )
        for klass in reversed(cls.__mro__):
            for name, attr in vars(klass).items():
                if isinstance(attr, Input):
                    inputs[name] = attr
                    computeds.pop(name, None)
                elif isinstance(attr, Computed):
                    computeds[name] = attr
                    inputs.pop(name, None)
        for klass in cls.__mro__:
            for name, attr in vars(klass).items():
                if isinstance(attr, Computed) and computeds.get(name) is not attr:
                    attr.overridden = True
        cls._tarn_inputs = inputs
        cls._tarn_computed = computeds

    def __init__(self, **inputs: Any) -> None:
        cls = type(self)
        unknown = [name for name in inputs if name not in cls._tarn_inputs]
        if unknown:
            raise TypeError(f"{cls.__name__}() got an unexpected keyword argument {unknown[0]!r}")
        missing = [
            name for name, spec in cls._tarn_inputs.items()
            if name not in inputs and spec.default is _NO_DEFAULT
        ]
        if missing:
            listed = ", ".join(repr(name) for name in missing)
            raise TypeError(f"{cls.__name__}() missing required keyword argument(s): {listed}")
        values = {
            name: inputs[name] if name in inputs else spec.default
            for name, spec in cls._tarn_inputs.items()
        }
        build_model(self, Graph, values, cls._tarn_inputs, cls._tarn_computed)

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"cannot delete attribute {name!r} of a model")

    def __repr__(self) -> str:
        nodes = self._tarn_nodes
        shown = ", ".join(f"{name}={nodes[name].cached_value!r}" for name in type(self)._tarn_inputs)
        return f"{type(self).__name__}({shown})"

    def __reduce_ex__(self, protocol: SupportsIndex) -> tuple[Any, ...]:
        return reduce_member(self, int(protocol))

    def __reduce__(self) -> tuple[Any, ...]:
        return self.__reduce_ex__(2)

    def __copy__(self) -> Self:
        return cast(Self, pickle.loads(pickle.dumps(self, pickle.HIGHEST_PROTOCOL)))

    def __deepcopy__(self, memo: dict[int, Any]) -> Self:
        return self.__copy__()

    # notebook display

    def _repr_html_(self) -> str:
        return to_html_table(self)

    def _repr_markdown_(self) -> str:
        return to_markdown(self)


def _load_model(cls: type[Model], state: tuple[Any, ...]) -> Model:
    """Rebuild an instance pickled on its own in the one-graph flat form."""
    model = cls.__new__(cls)
    graph = model_graph(model, Graph)
    computeds = cls._tarn_computed
    fill_graph(graph, state, lambda name: computeds[name].func if name in computeds else None)
    return model


def graph_of(instance: Model) -> Graph:
    """The graph of a model instance: read, inspect and set its inputs through it."""
    if not isinstance(instance, Model):
        raise TypeError(f"graph_of() takes a Model instance, not {type(instance).__name__}")
    return instance._tarn_graph
