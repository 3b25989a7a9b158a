"""The type stubs of the native module agree with the built module."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)
def test_stubtest_passes():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(ROOT)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else [])
    )
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "tarn.tarnwick",
            "--allowlist",
            str(ROOT / "tests" / "stubtest_allowlist.txt"),
        ],
        cwd=ROOT,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
