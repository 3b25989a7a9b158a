"""Compiles ``typed_reference.py`` with mypyc into build/mypyc/.

    python benchmarks/build_mypyc.py [--force]

The compiled module is named ``reference_mypyc`` so that it never shadows
the pure-Python ``reference``; ``bench.py`` imports it from build/mypyc/
and calls ``ensure()`` first, which builds only when the source or the
compiler's version changed since the last build. mypyc comes with mypy and
builds through setuptools and the system's C compiler: both are in the
project's ``bench`` extra (``pip install '.[bench]'``).
"""

import argparse
import hashlib
import importlib.util
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SOURCE = Path(__file__).resolve().with_name("typed_reference.py")
BUILD_DIR = ROOT / "build" / "mypyc"
MODULE = "reference_mypyc"
STAMP = BUILD_DIR / "stamp"


class Unavailable(RuntimeError):
    """mypyc or what it builds with is not installed."""


def missing_tools():
    return [name for name in ("mypy", "mypyc", "setuptools")
            if importlib.util.find_spec(name) is None]


def fingerprint():
    from mypy.version import __version__ as mypy_version

    digest = hashlib.sha256(SOURCE.read_bytes()).hexdigest()
    return f"{digest} mypy {mypy_version} python {sys.version.split()[0]}\n"


def built_extension():
    found = sorted(BUILD_DIR.glob(f"{MODULE}.*.so"))
    return found[0] if found else None


def is_current():
    return (built_extension() is not None and STAMP.exists()
            and STAMP.read_text() == fingerprint())


def build(quiet=True):
    """Compiles the module; raises Unavailable or CalledProcessError."""
    missing = missing_tools()
    if missing:
        raise Unavailable(
            f"cannot build the mypyc engine: {', '.join(missing)} not installed; "
            f"install the benchmark extra with: pip install '.[bench]'")
    if BUILD_DIR.exists():
        shutil.rmtree(BUILD_DIR)
    BUILD_DIR.mkdir(parents=True)
    shutil.copyfile(SOURCE, BUILD_DIR / f"{MODULE}.py")
    env = dict(os.environ, MYPY_CACHE_DIR=str(BUILD_DIR / ".mypy_cache"))
    env.pop("LD_PRELOAD", None)  # a sanitizer run's runtime is not the compiler's
    result = subprocess.run(
        [sys.executable, "-m", "mypyc", f"{MODULE}.py"],
        cwd=BUILD_DIR, env=env, capture_output=quiet, text=True)
    if result.returncode != 0:
        if quiet:
            sys.stderr.write(result.stdout + result.stderr)
        raise subprocess.CalledProcessError(result.returncode, result.args)
    if built_extension() is None:
        raise Unavailable(f"mypyc ran but left no {MODULE} extension in {BUILD_DIR}")
    STAMP.write_text(fingerprint())


def ensure(announce=print):
    """Builds the module unless an up-to-date build is there."""
    if not missing_tools() and is_current():
        return False
    announce(f"building the mypyc engine in {BUILD_DIR.relative_to(ROOT)} ...")
    start = time.perf_counter()
    build()
    announce(f"built in {time.perf_counter() - start:.1f} s")
    return True


def load():
    """The compiled module, imported from build/mypyc/ (never the source copy)."""
    path = built_extension()
    if path is None:
        raise Unavailable(f"no {MODULE} build in {BUILD_DIR}; run benchmarks/build_mypyc.py")
    spec = importlib.util.spec_from_file_location(MODULE, path)
    module = importlib.util.module_from_spec(spec)
    # Registered before running, as an import would: pickling names the
    # module of the classes, and unpickling imports it by that name.
    sys.modules[MODULE] = module
    spec.loader.exec_module(module)
    return module


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--force", action="store_true", help="rebuild even if up to date")
    args = parser.parse_args(argv)
    try:
        if args.force:
            build(quiet=False)
            print(f"built {built_extension()}")
        elif not ensure():
            print(f"up to date: {built_extension()}")
    except (Unavailable, subprocess.CalledProcessError) as exc:
        print(exc, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
