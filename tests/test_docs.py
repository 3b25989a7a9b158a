"""Every code snippet of the documentation site runs and shows what the
page says, and the site's build refuses a public name it cannot document.

The convention of docs/: Python snippets are ```pycon blocks in doctest
form, and the blocks of one page run in order in one namespace, fresh for
each page; ```sh and ```text blocks are shown, not run. No other fence is
allowed, so no snippet escapes the tests."""

import doctest
import importlib.util
import re
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
FENCE = re.compile(r"^```([^\n]*)\n(.*?)^```$", re.M | re.S)
SHOWN = ("sh", "text")
sys.path.insert(0, str(ROOT / "tools"))
import mkdocs_hooks  # noqa: E402

# The build hook reads the package with griffe, from the docs extra.
needs_griffe = pytest.mark.skipif(
    importlib.util.find_spec("griffe") is None,
    reason="griffe is not installed (the docs extra has it)",
)


def pages():
    return sorted(p.relative_to(ROOT).as_posix() for p in DOCS.rglob("*.md"))


def sections():
    """{page: [(fence language, line of the fence, body)]} for every page
    with a fence, in page order."""
    found = {}
    for page in pages():
        text = (ROOT / page).read_text()
        for fence in FENCE.finditer(text):
            line = text.count("\n", 0, fence.start()) + 1
            found.setdefault(page, []).append((fence[1], line, fence[2]))
    return found


def test_every_fence_follows_the_convention():
    for page, blocks in sections().items():
        for kind, line, body in blocks:
            assert kind == "pycon" or kind in SHOWN, f"{page}:{line}: fence {kind!r}"
            assert kind != "pycon" or body.startswith(">>> "), f"{page}:{line}"
    # The pages with most of the code are among those found.
    assert {"docs/tutorial/graphs.md", "docs/tutorial/engine.md"} <= set(sections())


@pytest.mark.parametrize("page", [p for p, b in sections().items() if any(k == "pycon" for k, _, _ in b)])
def test_page_runs_as_shown(page, monkeypatch):
    monkeypatch.chdir(ROOT)  # snippets may import from examples/
    monkeypatch.setattr(sys, "path", list(sys.path))
    # One dictionary for the whole page: a function defined in one block
    # sees what later blocks bind and delete, as at the prompt.
    namespace = {"__name__": "__main__"}
    runner, report = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS), []
    for kind, line, body in sections()[page]:
        if kind == "pycon":
            test = doctest.DocTestParser().get_doctest(body, {}, page, page, line)
            test.globs = namespace
            runner.run(test, out=report.append, clear_globs=False)
    assert runner.failures == 0 and runner.tries > 0, "".join(report)


@needs_griffe
def test_reference_covers_the_public_api():
    assert mkdocs_hooks.problems() == []


@needs_griffe
def test_reference_refuses_what_it_cannot_document(tmp_path):
    # A copy of the package whose exported function lost its docstring, and
    # reference pages that forget one class.
    package = tmp_path / "tarn"
    package.mkdir()
    for source in (ROOT / "tarn").iterdir():
        if source.suffix in (".py", ".pyi"):
            (package / source.name).write_text(source.read_text())
    reactions = package / "_reactions.py"
    text = reactions.read_text()
    text, n = re.subn(r'(def batch\(\) -> Batch:\n)\s+"""[^"]*"""\n', r"\1", text)
    assert n == 1
    reactions.write_text(text)
    reference = tmp_path / "docs" / "reference"
    reference.mkdir(parents=True)
    for page in (DOCS / "reference").glob("*.md"):
        (reference / page.name).write_text(page.read_text().replace("::: tarn.CycleError\n", ""))
    assert mkdocs_hooks.problems(tmp_path) == [
        "tarn.CycleError is in no ::: line of docs/reference/",
        "tarn.batch has no docstring",
    ]


@needs_griffe
def test_reference_needs_docstrings_of_inherited_members(tmp_path):
    # Graph.peek is documented by the stub of its native base.
    package = tmp_path / "tarn"
    package.mkdir()
    for source in (ROOT / "tarn").iterdir():
        if source.suffix in (".py", ".pyi"):
            (package / source.name).write_text(source.read_text())
    stub = package / "_layer.pyi"
    text, n = re.subn(r'(def peek\(self, name: str, /\) -> Any:)\n\s+"""[^"]*"""', r"\1 ...", stub.read_text())
    assert n == 1
    stub.write_text(text)
    (tmp_path / "docs").symlink_to(DOCS)
    assert mkdocs_hooks.problems(tmp_path) == ["tarn.Graph.peek has no docstring"]


def _docs_check():
    spec = importlib.util.spec_from_file_location("docs_check", ROOT / "tools" / "docs-check.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_link_check_finds_missing_pages_and_anchors(tmp_path):
    (tmp_path / "guide").mkdir()
    (tmp_path / "index.html").write_text(
        '<h1 id="top">t</h1><a href="guide/">ok</a> <a href="guide/#part">ok</a>'
        '<a href="#top">ok</a> <a href="/guide/#part">ok</a> <a href="https://example.org/x">outside</a>'
        '<a href="missing/">no page</a> <a href="guide/#nowhere">no anchor</a>')
    (tmp_path / "guide" / "index.html").write_text(
        '<h2 id="part">p</h2><a href="../index.html#top">ok</a> <a href="../../up">out</a>')
    assert _docs_check().broken_links(tmp_path) == [
        "guide/: ../../up leaves the site",
        "/: missing/ names no file of the site",
        "/: guide/#nowhere names no anchor of guide/index.html",
    ]


def test_missing_browser_says_how_to_install_it(tmp_path, capsys):
    (tmp_path / "index.html").write_text("<p>home</p>")
    code = _docs_check().main(["--site", str(tmp_path), "--browser", str(tmp_path / "no-chromium")])
    assert code == 2
    assert "sudo apt-get install -y chromium" in capsys.readouterr().err


def test_readme_example_runs():
    # The README's one example, which the site does not repeat.
    text = (ROOT / "README.md").read_text()
    blocks = re.findall(r"^```python\n(.*?)^```$", text, re.M | re.S)
    assert len(blocks) == 1
    namespace = {"__name__": "__main__"}
    exec(compile(blocks[0], "README.md", "exec"), namespace)
    assert namespace["graph"]["total"] == 15.0
