"""What the package index and a user installing from it get: the wheel
check used by CI, the version, the long description, a build without a
C++20 compiler."""

import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import tarn

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import check_dist  # noqa: E402

LICENCE = b"MIT License\n"
FILES = {"tarn/__init__.py", "tarn/py.typed", "tarn/tarnwick.pyi"}
METADATA = ("Metadata-Version: 2.4\nName: tarnwick\nVersion: 1.0\n"
            "License-Expression: MIT\nLicense-File: LICENSE\n"
            "Requires-Python: >=3.12\n\nA long description.\n")


def make_wheel(folder, platform="manylinux_2_17_x86_64.manylinux2014_x86_64",
               drop=(), add=()):
    path = folder / f"tarnwick-1.0-cp312-cp312-{platform}.whl"
    info = "tarnwick-1.0.dist-info/"
    content = {n: b"" for n in FILES}
    content["tarn/tarnwick.cpython-312-x86_64-linux-gnu.so"] = b"\x7fELF"
    content.update({info + "METADATA": METADATA.encode(), info + "WHEEL": b"",
                    info + "RECORD": b"", info + "licenses/LICENSE": LICENCE})
    with zipfile.ZipFile(path, "w") as wheel:
        wheel.writestr("tarn/", b"")  # repaired wheels list their folders too
        for name, data in content.items():
            if name.removeprefix(info) not in drop:
                wheel.writestr(name, data)
        for name in add:
            wheel.writestr(name, b"")
    return path


def check(path, modules=("tarnwick",)):
    return check_dist.check_wheel(path, "cp312", FILES, list(modules), "1.0", LICENCE)


def test_wheel_check(tmp_path):
    assert check(make_wheel(tmp_path)) == []
    # Each fault is named in its message.
    cases = [
        (dict(platform="linux_x86_64"), "platform tag linux_x86_64 is not a manylinux tag"),
        (dict(drop={"licenses/LICENSE"}), "the licence is missing"),
        (dict(drop={"tarn/py.typed"}), "package files missing: tarn/py.typed"),
        (dict(drop={"METADATA"}), "metadata files missing: METADATA"),
        (dict(add={"tarn/notes.txt"}), "unexpected files: tarn/notes.txt"),
        (dict(add={"tarn/tarnwick.cpython-313-x86_64-linux-gnu.so"}),
         "unexpected files: tarn/tarnwick.cpython-313"),
        (dict(drop={"tarn/tarnwick.cpython-312-x86_64-linux-gnu.so"}),
         "0 builds of the native module tarn/tarnwick for cp312"),
    ]
    for change, message in cases:
        for sub in tmp_path.glob("*.whl"):
            sub.unlink()
        problems = check(make_wheel(tmp_path, **change))
        assert len(problems) == 1 and message in problems[0], (change, problems)
    # A second installed module is expected as soon as CMake lists it.
    wheel = make_wheel(tmp_path)
    assert check(wheel, modules=("tarnwick", "_other")) == [
        f"wheel {wheel.name}: 0 builds of the native module tarn/_other for cp312, "
        "expected 1"]


def test_the_check_reads_the_projects_own_lists():
    assert check_dist.installed_modules(ROOT) == ["tarnwick", "_layer"]
    assert check_dist.source_version(ROOT) == tarn.__version__
    if shutil.which("git") and (ROOT / ".git").exists():
        assert {"tarn/__init__.py", "tarn/tarnwick.pyi", "tarn/_layer.pyi"} <= check_dist.tracked("tarn", ROOT)


def test_version_is_the_distributions():
    assert re.fullmatch(r"\d+\.\d+\.\d+", tarn.__version__)
    try:
        dist = importlib.metadata.distribution("tarnwick")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("tarnwick is not installed")
    installed = Path(dist.locate_file("tarn/__init__.py")).resolve()
    if installed != Path(tarn.__file__).resolve():
        pytest.skip("the installed tarnwick is not the tarn this run imports")
    assert dist.version == tarn.__version__


def test_long_description_example_runs():
    text = (ROOT / "DESCRIPTION.md").read_text()
    blocks = re.findall(r"^```python\n(.*?)^```$", text, re.M | re.S)
    assert blocks
    for block in blocks:
        exec(compile(block, "DESCRIPTION.md", "exec"), {"__name__": "__main__"})
    # The package index shows it on its own: no links into the repository.
    assert not re.search(r"\]\((?!https://)", text) and "tools/" not in text


@pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake is not installed")
@pytest.mark.skipif(sys.platform == "win32",
                    reason="Visual Studio generators find their compiler themselves")
def test_build_without_cxx20_compiler_says_what_is_missing(tmp_path):
    env = dict(os.environ, CXX=str(tmp_path / "no-such-c++"))
    env.pop("LD_PRELOAD", None)  # the sanitizer run's runtime is not cmake's
    done = subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tmp_path / "b")],
                          env=env, capture_output=True, text=True, timeout=300)
    message = " ".join(done.stderr.split())
    assert done.returncode != 0
    assert "tarn needs a C++20 compiler" in message, done.stderr
    assert 'see "Building from source" in README.md' in message
