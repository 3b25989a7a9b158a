"""Every Python snippet of docs/guide.md runs and shows what the guide says.
Its convention, stated at its top: snippets are ```pycon blocks in doctest
form, run in order in one namespace per `##` section; ```sh blocks are not run."""

import doctest
import re
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
GUIDE = (ROOT / "docs" / "guide.md").read_text()
FENCE = re.compile(r"^```([^\n]*)\n(.*?)^```$", re.M | re.S)
HEADING = re.compile(r"^## (.+)$", re.M)


def sections():
    """{heading: [(fence language, line of the fence, body)]} in guide order."""
    starts = [(0, "(before the first heading)")] + [(m.start(), m[1]) for m in HEADING.finditer(GUIDE)]
    found = {}
    for fence in FENCE.finditer(GUIDE):
        title = [t for at, t in starts if at <= fence.start()][-1]
        line = GUIDE.count("\n", 0, fence.start()) + 1
        found.setdefault(title, []).append((fence[1], line, fence[2]))
    return found


def test_every_fence_follows_the_convention():
    assert GUIDE.startswith("<!-- Python snippets are ```pycon blocks in doctest form")
    for blocks in sections().values():
        for kind, line, body in blocks:
            assert kind in ("pycon", "sh"), f"docs/guide.md:{line}: fence {kind!r}"
            assert kind == "sh" or body.startswith(">>> "), f"docs/guide.md:{line}"


@pytest.mark.parametrize("title", [t for t, b in sections().items() if any(k == "pycon" for k, _, _ in b)])
def test_section_runs_as_shown(title, monkeypatch):
    monkeypatch.chdir(ROOT)  # snippets may import from examples/
    monkeypatch.setattr(sys, "path", list(sys.path))
    namespace, runner, report = {"__name__": "__main__"}, doctest.DocTestRunner(optionflags=doctest.ELLIPSIS), []
    for kind, line, body in sections()[title]:
        if kind == "pycon":
            test = doctest.DocTestParser().get_doctest(body, namespace, title, "docs/guide.md", line)
            runner.run(test, out=report.append, clear_globs=False)
            namespace = test.globs  # the parser ran on a copy
    assert runner.failures == 0 and runner.tries > 0, "".join(report)
