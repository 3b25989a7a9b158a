"""Opens the built documentation site in a real headless browser.

    python tools/docs-check.py [--site site] [--out build/docs-check] [--browser PATH]

Run `tools/docs` first. The site is served on a loopback port and opened in
Debian's Chromium, driven by Playwright (from the docs extra) at the
browser's own executable, since Playwright's browser downloads are not
used. It checks that

- every page loads with no console error, page error or failed request;
- the search finds the names in SEARCHES, each on the page that documents it;
- every internal link and anchor of every page resolves to a file of the
  site and an element id on it;

and writes screenshots of the home page and of the reference page of
`Graph` under the output folder, for a person to look at. Exits 1 listing
what failed, and 2 when no browser or no Playwright is there, saying how
to install it.
"""

from __future__ import annotations

import argparse
import functools
import http.server
import os
import posixpath
import shutil
import sys
import threading
from collections.abc import Iterator
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit

ROOT = Path(__file__).resolve().parent.parent
INSTALL_BROWSER = (
    "no Chromium found: install Debian's browser with `sudo apt-get install -y chromium` "
    "(or name another Chromium executable with --browser or TARN_CHROMIUM)"
)
INSTALL_PLAYWRIGHT = (
    "Playwright is not installed: install the docs extra with "
    "`.venv/bin/pip install -c constraints.txt '.[docs]'`"
)
# What the search must find: the query, and the page (with its anchor) that
# one of the results must point to.
SEARCHES = {
    "cutoff": "explanation/cutoff/",
    "tarn.effect": "reference/reactions/#tarn.effect",
}
SCREENSHOTS = {"home.png": "", "graph-reference.png": "reference/graph/"}


class _Anchors(HTMLParser):
    """The hrefs of a page's links and the ids its elements carry."""

    def __init__(self) -> None:
        super().__init__()
        self.hrefs: list[str] = []
        self.ids: set[str] = set()

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        found = dict(attrs)
        if found.get("id"):
            self.ids.add(found["id"] or "")
        if tag == "a":
            if found.get("name"):
                self.ids.add(found["name"] or "")
            if found.get("href") is not None:
                self.hrefs.append(found["href"] or "")


@functools.cache
def _parse(path: Path) -> _Anchors:
    parser = _Anchors()
    parser.feed(path.read_text(encoding="utf-8"))
    return parser


def pages(site: Path) -> list[str]:
    """The site's pages as URL paths relative to its root ("" for the home page)."""
    found = []
    for path in sorted(site.rglob("*.html")):
        rel = path.relative_to(site).as_posix()
        found.append(rel.removesuffix("index.html"))
    return found


def _file_of(site: Path, url_path: str) -> Path | None:
    """The file a URL path of the site serves, as a static server would."""
    target = site / unquote(url_path)
    if url_path.endswith("/") or url_path == "":
        target = target / "index.html"
    elif target.is_dir():
        target = target / "index.html"
    return target if target.is_file() else None


def broken_links(site: Path) -> list[str]:
    """Every internal link of every page whose file or anchor is missing."""
    problems = []
    for page in pages(site):
        source = _file_of(site, page)
        assert source is not None
        for href in _parse(source).hrefs:
            parts = urlsplit(href)
            if parts.scheme or parts.netloc or href.startswith(("mailto:", "javascript:")):
                continue
            # Root-relative links (the 404 page's) start from the site's root.
            folder = "" if parts.path.startswith("/") else page if page.endswith("/") or not page \
                else posixpath.dirname(page)
            joined = posixpath.normpath(posixpath.join(folder, parts.path.lstrip("/"))) if parts.path else page
            if joined == ".":
                joined = ""
            elif parts.path.endswith("/") and not joined.endswith("/"):
                joined += "/"
            if joined == ".." or joined.startswith("../"):
                problems.append(f"{page or '/'}: {href} leaves the site")
                continue
            target = _file_of(site, joined) if parts.path else source
            if target is None:
                problems.append(f"{page or '/'}: {href} names no file of the site")
            elif parts.fragment and target.suffix == ".html" and unquote(parts.fragment) not in _parse(target).ids:
                problems.append(f"{page or '/'}: {href} names no anchor of {target.relative_to(site)}")
    return problems


def find_browser(explicit: str | None) -> str | None:
    """The Chromium executable: named, from TARN_CHROMIUM, or on PATH."""
    for candidate in (explicit, os.environ.get("TARN_CHROMIUM")):
        if candidate:
            return candidate if Path(candidate).is_file() else None
    for name in ("chromium", "chromium-browser"):
        found = shutil.which(name)
        if found:
            return found
    return None


@functools.cache
def _quiet_handler(site: str) -> type:
    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args: object, **kwargs: object) -> None:
            super().__init__(*args, directory=site, **kwargs)  # type: ignore[arg-type]

        def log_message(self, format: str, *args: object) -> None:
            pass

    return Handler


def serve(site: Path) -> tuple[http.server.ThreadingHTTPServer, str]:
    """A static server of the site on a free loopback port, running."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _quiet_handler(str(site)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/"


def _search_hits(page: object, query: str) -> list[str]:
    """The result links Material's search shows for `query`."""
    page.keyboard.press("Escape")  # type: ignore[attr-defined]
    box = page.locator("input.md-search__input")  # type: ignore[attr-defined]
    box.click()
    box.fill("")
    # Typed key by key: the search listens to keys, not to a filled value.
    box.press_sequentially(query, delay=20)
    results = page.locator(".md-search-result__item a")  # type: ignore[attr-defined]
    try:
        results.first.wait_for(timeout=15_000)
    except Exception:
        return []
    return [results.nth(i).get_attribute("href") or "" for i in range(results.count())]


def _site_path(href: str, base: str) -> str:
    """A search result's link as a site path with its anchor, without the
    highlight query the search adds."""
    parts = urlsplit(href.removeprefix(base))
    return parts.path.lstrip("/") + (f"#{parts.fragment}" if parts.fragment else "")


def check_in_browser(site: Path, browser: str, out: Path) -> list[str]:
    from playwright.sync_api import sync_playwright

    problems: list[str] = []
    server, base = serve(site)
    try:
        with sync_playwright() as playwright:
            # --no-sandbox: CI runs as root, where Chromium's sandbox refuses to start.
            chromium = playwright.chromium.launch(executable_path=browser, args=["--no-sandbox"])
            view = chromium.new_page(viewport={"width": 1280, "height": 900})
            heard: list[str] = []
            view.on("console", lambda m: heard.append(f"console {m.type}: {m.text}") if m.type == "error" else None)
            view.on("pageerror", lambda e: heard.append(f"page error: {e}"))
            # A request cut short by leaving the page (net::ERR_ABORTED) is
            # no fault of the page; a missing file is a 404 below.
            view.on("requestfailed", lambda r: heard.append(f"request failed: {r.url} ({r.failure})")
                    if "ERR_ABORTED" not in (r.failure or "") else None)
            view.on("response", lambda r: heard.append(f"HTTP {r.status}: {r.url}") if r.status >= 400 else None)
            for url_path in pages(site):
                if url_path == "404.html":
                    continue  # served for missing pages; its own load is a 200 here
                heard.clear()
                view.goto(base + url_path, wait_until="networkidle")
                problems += [f"{url_path or '/'}: {what}" for what in heard]
            view.goto(base, wait_until="networkidle")
            for query, expected in SEARCHES.items():
                hits = [_site_path(h, base) for h in _search_hits(view, query)]
                if not any(h == expected or h.split("#")[0] == expected for h in hits):
                    problems.append(f"search for {query!r} shows no link to {expected}: {hits[:8]}")
            out.mkdir(parents=True, exist_ok=True)
            for name, url_path in SCREENSHOTS.items():
                view.goto(base + url_path, wait_until="networkidle")
                view.screenshot(path=str(out / name), full_page=name != "home.png")
            chromium.close()
    finally:
        server.shutdown()
    return problems


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--site", type=Path, default=ROOT / "site")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "docs-check")
    parser.add_argument("--browser", help="the Chromium executable (default: chromium on PATH)")
    args = parser.parse_args(argv)
    if not (args.site / "index.html").is_file():
        print(f"no built site in {args.site}: run tools/docs first", file=sys.stderr)
        return 2
    browser = find_browser(args.browser)
    if browser is None:
        print(INSTALL_BROWSER, file=sys.stderr)
        return 2
    try:
        import playwright.sync_api  # noqa: F401
    except ImportError:
        print(INSTALL_PLAYWRIGHT, file=sys.stderr)
        return 2
    problems = broken_links(args.site) + check_in_browser(args.site, browser, args.out)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    count = len(pages(args.site))
    print(f"{count} pages load without console errors; the search finds "
          f"{', '.join(SEARCHES)}; every internal link and anchor resolves; "
          f"screenshots in {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
