"""The type stubs of the native modules agree with the built modules, and
code written against them passes `mypy --strict`."""

import doctest
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tarn
from test_guide import sections

ROOT = Path(__file__).resolve().parent.parent
needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)


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
    # The guide's snippets, one module per section as they run, beside the
    # examples and a program written the way users write them.
    guide = tmp_path / "guide"
    guide.mkdir()
    where = {}  # (generated file, line) -> line of docs/guide.md
    for number, (title, blocks) in enumerate(sections().items()):
        name, source = f"guide/section_{number}.py", []
        for kind, line, body in blocks:
            if kind == "pycon":
                for example in doctest.DocTestParser().get_examples(body):
                    for offset, text in enumerate(example.source.splitlines(True)):
                        source.append(text)
                        where[name, len(source)] = line + 1 + example.lineno + offset
        if source:
            (tmp_path / name).write_text("".join(source))
    targets = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    targets += [str(guide), str(ROOT / "tests" / "typing" / "user_program.py")]
    # The repository's package (and its stubs) comes before any installed one.
    env = dict(os.environ, MYPYPATH=os.pathsep.join([str(ROOT), str(ROOT / "examples")]))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         "--explicit-package-bases", *targets],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600,
    )
    report = re.sub(r"^(guide/section_\d+\.py):(\d+):",
                    lambda m: f"docs/guide.md:{where[m[1], int(m[2])]}:",
                    done.stdout, flags=re.M)
    assert done.returncode == 0, "mypy --strict rejects:\n" + report + done.stderr


def test_user_program_runs():
    # The typed program is also a working one against the built module.
    done = subprocess.run([sys.executable, "-P", "-W", "error",
                           str(ROOT / "tests" / "typing" / "user_program.py")],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
