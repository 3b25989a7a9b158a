"""Checks a built wheel or sdist before it is installed or published.

    python tools/check_dist.py wheel PYTHON_TAG WHEEL...   (tag: cp312, cp313)
    python tools/check_dist.py sdist SDIST

A wheel must carry a manylinux platform tag and hold exactly the package:
the files git tracks under tarn/, one build of every native module the CMake
project installs (the TARN_INSTALLED_MODULES list in CMakeLists.txt), the
licence and the metadata. Every failed check is printed with what it found;
the exit status is 1 if any failed.
"""

from __future__ import annotations

import email.parser
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NAME = "tarnwick"
MANYLINUX = re.compile(r"manylinux(_\d+_\d+|1|2010|2014)_(x86_64|aarch64|i686|ppc64le|s390x)$")
DIST_INFO_FILES = {"METADATA", "WHEEL", "RECORD", "licenses/LICENSE"}


def source_version(root: Path = ROOT) -> str:
    text = (root / "tarn" / "__init__.py").read_text()
    return re.search(r'^__version__ = "([^"]+)"$', text, re.M)[1]


def installed_modules(root: Path = ROOT) -> list[str]:
    text = (root / "CMakeLists.txt").read_text()
    return re.search(r"^set\(TARN_INSTALLED_MODULES ([^)]*)\)", text, re.M)[1].split()


def tracked(folder: str, root: Path = ROOT) -> set[str]:
    """The files git tracks under `folder` (native builds are not tracked)."""
    out = subprocess.run(["git", "ls-files", folder], cwd=root, check=True,
                         capture_output=True, text=True).stdout
    return set(out.split())


def check_metadata(where: str, text: str, version: str) -> list[str]:
    meta = email.parser.Parser().parsestr(text)
    wanted = {"Name": NAME, "Version": version, "License-Expression": "MIT",
              "License-File": "LICENSE", "Requires-Python": ">=3.12"}
    problems = [f"{where}: metadata {key} is {meta.get(key)!r}, expected {value!r}"
                for key, value in wanted.items() if meta.get(key) != value]
    if not meta.get_payload().strip():
        problems.append(f"{where}: metadata has no long description")
    return problems


def check_wheel(path: Path, python_tag: str, files: set[str], modules: list[str],
                version: str, licence: bytes) -> list[str]:
    where = f"wheel {path.name}"
    parts = path.name.removesuffix(".whl").split("-")
    if len(parts) != 5:
        return [f"{where}: not a wheel file name"]
    name, wheel_version, py, abi, platforms = parts
    problems = []
    if (name, wheel_version) != (NAME, version):
        problems.append(f"{where}: named {name} {wheel_version}, expected {NAME} {version}")
    if (py, abi) != (python_tag, python_tag):
        problems.append(f"{where}: tags {py}-{abi}, expected {python_tag}-{python_tag}")
    for platform in platforms.split("."):
        if not MANYLINUX.match(platform):
            problems.append(f"{where}: platform tag {platform} is not a manylinux "
                            "tag (repair the wheel with auditwheel)")
    with zipfile.ZipFile(path) as wheel:
        names = {n for n in wheel.namelist() if not n.endswith("/")}  # not folders
        info = f"{NAME}-{version}.dist-info/"
        package = {n for n in names if not n.startswith(info)}
        meta = {n.removeprefix(info) for n in names if n.startswith(info)}
        native = {n for n in package if n not in files and any(
            re.fullmatch(rf"tarn/{m}\.cpython-{python_tag[2:]}-[\w-]+\.so", n) for m in modules)}
        for m in modules:
            count = sum(n.startswith(f"tarn/{m}.") for n in native)
            if count != 1:
                problems.append(f"{where}: {count} builds of the native module tarn/{m} "
                                f"for {python_tag}, expected 1")
        if missing := sorted(files - package):
            problems.append(f"{where}: package files missing: {', '.join(missing)}")
        if extra := sorted(package - files - native):
            problems.append(f"{where}: unexpected files: {', '.join(extra)}")
        if "licenses/LICENSE" not in meta:
            problems.append(f"{where}: the licence is missing ({info}licenses/LICENSE)")
        elif wheel.read(info + "licenses/LICENSE") != licence:
            problems.append(f"{where}: the licence differs from LICENSE")
        if missing := sorted(DIST_INFO_FILES - meta - {"licenses/LICENSE"}):
            problems.append(f"{where}: metadata files missing: {', '.join(missing)}")
        if extra := sorted(meta - DIST_INFO_FILES):
            problems.append(f"{where}: unexpected metadata files: {', '.join(extra)}")
        if "METADATA" in meta:
            problems += check_metadata(where, wheel.read(info + "METADATA").decode(), version)
    return problems


def check_sdist(path: Path, files: set[str], version: str, licence: bytes) -> list[str]:
    where = f"sdist {path.name}"
    top = f"{NAME}-{version}/"
    with tarfile.open(path) as sdist:
        names = {n.removeprefix(top) for n in sdist.getnames()}
        wanted = files | {"LICENSE", "PKG-INFO", "pyproject.toml", "CMakeLists.txt"}
        problems = []
        if missing := sorted(wanted - names):
            problems.append(f"{where}: files missing: {', '.join(missing)}")
        if "LICENSE" in names and sdist.extractfile(top + "LICENSE").read() != licence:
            problems.append(f"{where}: the licence differs from LICENSE")
        if "PKG-INFO" in names:
            problems += check_metadata(where, sdist.extractfile(top + "PKG-INFO").read().decode(),
                                       version)
    return problems


def main(argv: list[str]) -> int:
    version, licence = source_version(), (ROOT / "LICENSE").read_bytes()
    if argv[:1] == ["wheel"] and len(argv) >= 3:
        modules, files = installed_modules(), tracked("tarn")
        problems = [p for w in argv[2:] for p in
                    check_wheel(Path(w), argv[1], files, modules, version, licence)]
    elif argv[:1] == ["sdist"] and len(argv) == 2:
        sources = tracked("tarn") | tracked("src")
        problems = check_sdist(Path(argv[1]), sources, version, licence)
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for problem in problems:
        print("dist check failed:", problem, file=sys.stderr)
    if not problems:
        print("dist check passed:", ", ".join(Path(a).name for a in argv[1:] if "." in a))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
