"""Build hooks of the documentation site (mkdocs.yml names this file).

The reference pages are generated from docstrings by mkdocstrings, which
quietly leaves out a member that has none. So before anything is built,
this hook reads the package the way the reference does (its sources and
type stubs, nothing imported) and fails the build when

- a public name is not documented by a ``::: name`` line of a page under
  docs/reference/, or
- a public name, or a public member of a public class (inherited ones
  included), has no docstring.

The public names are the package's ``__all__``, the ``__all__`` of
``tarn.diagram``, the engine's classes, and the types that public calls
hand out without exporting them (listed in ``HANDED_OUT``).
"""

from __future__ import annotations

import re
from collections.abc import Iterable
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent

# Types a user meets through public calls (the value of `computed`, of
# `tarn.batch()`, the events of a trace) though the package does not export
# them by name.
HANDED_OUT = (
    "tarn._model.Computed",
    "tarn._reactions.Batch",
    "tarn._reactions.Change",
    "tarn._reactions.Computation",
    "tarn._reactions.EffectRun",
)

DIRECTIVE = re.compile(r"^:::\s+(\S+)", re.M)


def load_package(root: Path = ROOT) -> Any:
    """The package as the reference sees it: sources and stubs, no import."""
    import griffe

    # By path: a name would find the package already imported, wherever it is.
    return griffe.load(root / "tarn", search_paths=[str(root)], allow_inspection=False)


def public_names(package: Any) -> list[str]:
    """Every public name, by the path the reference documents it under."""
    names = [f"tarn.{name}" for name in package.exports or ()]
    names += [f"tarn.diagram.{name}" for name in package["diagram"].exports or ()]
    names += [
        f"tarn.tarnwick.{name}"
        for name, member in package["tarnwick"].members.items()
        if not name.startswith("_") and not member.is_alias and member.is_class
    ]
    return names + list(HANDED_OUT)


def _target(package: Any, path: str) -> Any:
    obj = package[path.removeprefix("tarn.")]
    return obj.final_target if obj.is_alias else obj


def undocumented(package: Any, names: Iterable[str]) -> list[str]:
    """The names, and public members of the classes among them, that carry
    no docstring."""
    missing = []
    for path in names:
        obj = _target(package, path)
        if not (obj.docstring and obj.docstring.value.strip()):
            missing.append(path)
        if obj.is_class:
            for name, member in obj.all_members.items():
                if name.startswith("_"):
                    continue
                # An inherited member is an alias of the base's own.
                member = member.final_target if member.is_alias else member
                if not (member.docstring and member.docstring.value.strip()):
                    missing.append(f"{path}.{name}")
    return missing


def documented(reference: Path) -> set[str]:
    """The names that ``::: name`` lines of the reference pages document."""
    found: set[str] = set()
    for page in sorted(reference.rglob("*.md")):
        found.update(DIRECTIVE.findall(page.read_text()))
    return found


def problems(root: Path = ROOT) -> list[str]:
    """What keeps the reference from covering every public name."""
    package = load_package(root)
    names = public_names(package)
    pages = documented(root / "docs" / "reference")
    # A re-export (tarn.Node) is covered by the page of what it names.
    covered = {_target(package, name).path for name in pages}
    found = [f"{name} is in no ::: line of docs/reference/"
             for name in names if _target(package, name).path not in covered]
    found += [f"{name} has no docstring" for name in undocumented(package, sorted(pages))]
    return found


def on_pre_build(config: Any) -> None:
    from mkdocs.exceptions import PluginError

    found = problems(Path(config["config_file_path"]).resolve().parent)
    if found:
        raise PluginError("the reference does not cover the public API:\n  " + "\n  ".join(found))
