"""Smoke test of an installed tarnwick: run it with the environment's own
interpreter, outside the source tree (python -P -W error tools/smoke.py).

Checks that the package imported is the installed one, that its version is
the distribution's, that the stubs came along, that a small engine
evaluates, invalidates and survives a pickle round trip, and that a graph
and a model read through the layer's native module."""

import importlib.metadata
import pickle
import sys
from pathlib import Path

import tarn
import tarn._layer as layer
import tarn.tarnwick as tw

package = Path(tarn.__file__).resolve().parent
assert package.is_relative_to(Path(sys.prefix).resolve()), f"{package} is not installed"
assert Path(tw.__file__).parent == package, tw.__file__
assert Path(layer.__file__).parent == package, layer.__file__
assert tarn.__version__ == importlib.metadata.version("tarnwick"), tarn.__version__
assert (package / "tarnwick.pyi").is_file() and (package / "py.typed").is_file()
assert (package / "_layer.pyi").is_file()

engine = tw.DAGEngine()
engine.add_node("base", lambda x: x * 2)


def doubled(x: int) -> int:
    engine.record_access("base")
    value: int = engine.evaluate("base", x)
    return value + 1


engine.add_node("top", doubled)
assert engine.evaluate("top", 20) == 41 and engine.nodes["top"].is_valid
engine.invalidate("base")
assert not engine.nodes["top"].is_valid
copy = pickle.loads(pickle.dumps(tw.Node("n", None, True, 5)))
assert (copy.name, copy.is_explicit, copy.cached_value) == ("n", True, 5)
graph = tarn.Graph()
graph["a"] = 2
graph.node(lambda g: g["a"] * 3, name="b")
assert graph["b"] == 6 and graph.dependencies("b") == ("a",)


class Order(tarn.Model):
    qty: tarn.Input[int] = tarn.Input(2)

    @tarn.computed
    def total(self) -> int:
        return self.qty * 5


order = Order(qty=3)
assert (order.qty, order.total) == (3, 15)
print(f"smoke test passed: tarnwick {tarn.__version__} on Python "
      f"{sys.version_info.major}.{sys.version_info.minor} from {package}")
