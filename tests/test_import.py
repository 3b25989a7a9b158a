"""Import of tarn.tarnwick: the module, its two types and their operations."""

import inspect
import os
import shutil
import sys
import weakref
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

import pytest

import tarn.tarnwick as tw
from helpers import run_child
from tarn.tarnwick import DAGEngine, Node

F, S = "tarn/tarnwick", "<stringsource>"
DOCS = {"add_dependency": "Creates a bidirectional edge. Prevents duplicates "
        "during dynamic access.",
        "Node.invalidate": "\n        Fast C-level recursive invalidation.\n"
        "        Uses bint (boolean integer) for 0-overhead checks.\n        "}
UNPICKLE = "__pyx_type, __pyx_checksum, __pyx_state"


@pytest.mark.parametrize("owner, attr, params, line, file", [
    (Node, "add_dependency", "self, dep", 43, F),
    (Node, "invalidate", "self", 49, F),
    (Node, "__reduce_cython__", "self", 1, S),
    (Node, "__setstate_cython__", "self, __pyx_state", 16, S),
    (DAGEngine, "add_node", "self, name, func, is_explicit=False, "
     "explicit_value=None, flags=0", 74, F),
    (DAGEngine, "add_edge", "self, dependent_name, dependency_name", 79, F),
    (DAGEngine, "record_access", "self, accessed_node_name", 85, F),
    (DAGEngine, "invalidate", "self, name", 92, F),
    (DAGEngine, "evaluate", "self, name, instance", 97, F),
    (DAGEngine, "__reduce_cython__", "self", 1, S),
    (DAGEngine, "__setstate_cython__", "self, __pyx_state", 16, S),
    (tw, "__pyx_unpickle_Node", UNPICKLE, 4, S),
    (tw, "__pyx_unpickle_DAGEngine", UNPICKLE, 4, S),
])
def test_registered_operations(owner, attr, params, line, file):
    func = getattr(owner, attr)
    qualname = attr if owner is tw else f"{owner.__name__}.{attr}"
    assert (func.__name__, func.__qualname__, func.__module__, func.__doc__) == (
        attr, qualname, "tarn.tarnwick", DOCS.get(attr, DOCS.get(qualname)))
    code = func.__code__
    names = tuple(p.split("=")[0] for p in params.split(", "))
    assert (code.co_filename, code.co_firstlineno) == (file, line)
    assert code.co_varnames[:code.co_argcount] == names
    assert str(inspect.signature(func)) == f"({params})"
    assert func.__defaults__ == ((False, None, 0) if "=" in params else None)


@pytest.mark.parametrize("cls, doc", [
    (Node, "\n    A C-level extension type representing a single node in the "
     "DAG.\n    "),
    (DAGEngine, "Manages the lifecycle and topology of the graph."),
])
def test_types(cls, doc):
    assert (cls.__doc__, cls.__bases__, cls.__module__) == (
        doc, (object,), "tarn.tarnwick")
    assert cls.__qualname__ == cls.__name__ in ("Node", "DAGEngine")
    assert type(cls.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"
    assert cls.__dict__["__reduce__"].__name__ == "__reduce_cython__"
    assert cls.__dict__["__setstate__"].__name__ == "__setstate_cython__"
    args = ("n", None) if cls is Node else ()
    obj = cls(*args)
    for change in (lambda: setattr(cls, "extra", 1), lambda: weakref.ref(obj),
                   lambda: setattr(cls, "invalidate", None),
                   lambda: delattr(cls, "invalidate")):
        with pytest.raises(TypeError):
            change()
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")
    sub = type("Sub", (cls,), {})(*args)
    sub.extra = 1
    assert weakref.ref(sub)() is sub


def test_import_reimport_and_reload():
    result = run_child("""
        import warnings
        warnings.simplefilter("error")
        import builtins, importlib, sys, tarn.tarnwick as m
        assert m.__doc__ is None and type(m.__test__) is dict and m.__test__ == {}
        assert m.__builtins__ is builtins and m.__package__ == "tarn"
        assert (m.__file__, m.__loader__) == (m.__spec__.origin,
                                              m.__spec__.loader)
        print([k for k in vars(m) if k.startswith("__") or k[0] != "_"])
        m.__test__["mark"], node_type = 1, m.Node
        del sys.modules["tarn.tarnwick"]
        import tarn.tarnwick as again
        assert again is m and sys.modules["tarn.tarnwick"] is m
        assert importlib.reload(m) is m and m.Node is node_type
        assert m.__test__ == {"mark": 1}
    """)
    assert (result.returncode, result.stderr) == (0, "")
    assert eval(result.stdout) == [
        "__name__", "__doc__", "__package__", "__loader__", "__spec__",
        "__file__", "__builtins__", "Node", "DAGEngine",
        "__pyx_unpickle_Node", "__pyx_unpickle_DAGEngine", "__test__"]


def test_second_interpreter_is_refused():
    # The private sub-interpreter module was renamed in 3.13, and its
    # non-isolated configuration is named differently.
    if sys.version_info >= (3, 13):
        name, config = "_interpreters", "'legacy'"
    else:
        name, config = "_xxsubinterpreters", "isolated=False"
    pytest.importorskip(name)
    inner = (f"import os, sys\nsys.path[:] = {sys.path!r}\ntry:\n    import "
             "tarn.tarnwick\nexcept ImportError as e:\n    os.write(1, str(e).encode())")
    result = run_child(f"""
        import {name} as interpreters, tarn.tarnwick
        interp = interpreters.create({config})
        interpreters.run_string(interp, {inner!r})
        interpreters.destroy(interp)
        tarn.tarnwick.Node("a", None).invalidate()
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("Interpreter change detected - this module can "
                             "only be loaded into one interpreter per process.")


def test_import_survives_memory_failures():
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("_testcapi has no set_nomemory")
    # Every allocation from `start` on fails; each round gets further into
    # create and exec, and a failed exec leaves nothing behind.
    result = run_child("""
        import _imp, _testcapi, importlib.machinery, importlib.util, sys
        spec = importlib.machinery.PathFinder.find_spec("tarn.tarnwick",
            importlib.util.find_spec("tarn").submodule_search_locations)
        for start in range(100000):
            sys.modules.pop("tarn.tarnwick", None)
            try:
                try:
                    _testcapi.set_nomemory(start, 0)
                    module = _imp.create_dynamic(spec)
                    _imp.exec_dynamic(module)
                finally:
                    _testcapi.remove_mem_hooks()
            except MemoryError:
                continue
            break
        import tarn.tarnwick as again
        assert start > 50 and again is module
        again.DAGEngine().add_node("a", 1).add_dependency(again.Node("b", 1))
    """)
    assert result.returncode == 0, result.stderr


def test_failed_import_under_another_name_leaves_no_entry():
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("_testcapi has no set_nomemory")
    # Loaded as "other.tarnwick", exec also registers "tarn.tarnwick"; when
    # a later step fails, that entry must go with the half-built module.
    result = run_child("""
        import _imp, _testcapi, importlib.machinery, importlib.util, sys
        origin = importlib.machinery.PathFinder.find_spec("tarn.tarnwick",
            importlib.util.find_spec("tarn").submodule_search_locations).origin
        spec = importlib.util.spec_from_file_location("other.tarnwick", origin)
        for start in range(100000):
            sys.modules.pop("tarn.tarnwick", None)
            try:
                try:
                    _testcapi.set_nomemory(start, 0)
                    module = _imp.create_dynamic(spec)
                    _imp.exec_dynamic(module)
                finally:
                    _testcapi.remove_mem_hooks()
            except MemoryError:
                assert "tarn.tarnwick" not in sys.modules, start
                continue
            break
        assert sys.modules["tarn.tarnwick"] is module
        assert module.__name__ == "other.tarnwick"
        import tarn.tarnwick as again
        assert again is module and again.__test__ == {}
        print(start)
    """)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) > 50


def _pretend_builds():
    """Builds staged by .ci/run that claim another compile-time minor version
    (tools/stage pretend-py3N PYTHON -DTARN_PRETEND_PY_MINOR=N)."""
    root = Path(__file__).resolve().parent.parent / "build"
    found = []
    for pkg in sorted(root.glob("pretend-py3*/pkg")):
        minor = int(pkg.parent.name.removeprefix("pretend-py3"))
        # Only a build for this interpreter's ABI can be imported here.
        if list((pkg / "tarn").glob("tarnwick" + EXTENSION_SUFFIXES[0])):
            found.append((minor, pkg))
    return found


def test_version_mismatch_warns():
    builds = _pretend_builds()
    if not builds:
        pytest.skip("no build pretending another Python version (.ci/run stages one)")
    running = sys.version_info
    for minor, pkg in builds:
        assert minor != running.minor, pkg
        expected = (f"compile time Python version 3.{minor} of module "
                    f"'tarn.tarnwick' does not match runtime version "
                    f"{running.major}.{running.minor}")
        env = dict(os.environ, PYTHONPATH=str(pkg))
        # A warning that the filter turns into an error fails the import.
        failed = run_child("""
            import warnings
            warnings.simplefilter("error", RuntimeWarning)
            try:
                import tarn.tarnwick
            except RuntimeWarning as w:
                print(repr(str(w)), "tarn.tarnwick" in __import__("sys").modules)
        """, env=env)
        assert (failed.returncode, failed.stderr) == (0, "")
        assert failed.stdout == f"{expected!r} False\n"
        # Otherwise the module imports and works, once warned.
        warned = run_child("""
            import warnings
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                import tarn.tarnwick as m
            print([(w.category.__name__, str(w.message)) for w in caught])
            m.DAGEngine().add_node("a", len)
        """, env=env)
        assert (warned.returncode, warned.stderr) == (0, "")
        assert eval(warned.stdout) == [("RuntimeWarning", expected)]


def test_unbuilt_tree_says_what_to_do(tmp_path):
    # The package's Python files without the native module, as in a fresh
    # clone that was never built.
    source = Path(__file__).resolve().parent.parent / "tarn"
    (tmp_path / "tarn").mkdir()
    for f in source.glob("*.py"):
        shutil.copy(f, tmp_path / "tarn")
    result = run_child("""
        try:
            import tarn.tarnwick
        except ModuleNotFoundError as e:
            print(e.name)
            print(e)
    """, env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert result.returncode == 0, result.stderr
    name, text = result.stdout.splitlines()
    assert name == "tarn.tarnwick"
    assert text == (f"tarn's native module tarn.tarnwick is not built in "
                    f"{tmp_path / 'tarn'}: install the package (pip install "
                    "tarnwick, or pip install . in a clone), or build it in "
                    "place with tools/build-dev")


def test_unbuilt_layer_module_says_what_to_do(tmp_path):
    # The engine is built but the graph layer's native module is not.
    source = Path(__file__).resolve().parent.parent / "tarn"
    (tmp_path / "tarn").mkdir()
    for f in source.glob("*.py"):
        shutil.copy(f, tmp_path / "tarn")
    shutil.copy(Path(tw.__file__), tmp_path / "tarn")
    result = run_child("""
        try:
            import tarn
        except ModuleNotFoundError as e:
            print(e.name)
            print(e)
    """, env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert result.returncode == 0, result.stderr
    name, text = result.stdout.splitlines()
    assert name == "tarn._layer"
    assert text.startswith(f"tarn's native module tarn._layer is not built in "
                           f"{tmp_path / 'tarn'}: install the package")
