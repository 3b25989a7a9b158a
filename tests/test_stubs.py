"""The type stubs of the native module agree with the built module."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tarn

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)
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
