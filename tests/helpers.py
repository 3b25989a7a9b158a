"""Shared helpers of the test suite."""

import subprocess
import sys
import textwrap
import traceback

MODULE_FILES = ("tarn/tarnwick", "<stringsource>")


def entries(exc):
    """The traceback entries the module added to `exc`, outermost first,
    as (qualified name, file, line)."""
    return [
        (f.name, f.filename, f.lineno)
        for f in traceback.extract_tb(exc.__traceback__)
        if f.filename in MODULE_FILES
    ]


def lines(exc):
    """Only the lines of the module's entries, outermost first."""
    return [line for _, _, line in entries(exc)]


def run_child(code, timeout=120, env=None):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess.

    -P keeps the working directory off sys.path, so the child imports the
    same tarn package as the test run, not the source tree."""
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
