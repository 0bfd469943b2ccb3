#!/usr/bin/env python3
"""plugin-host --html, opened in a real headless browser: what the page shows
is the table of modules by tests, each cell's status and its cause, the
changed variables and the memory chart; a plugin's hostile text is shown as
text and never run."""

import argparse
import html.parser
import pathlib
import shutil
import subprocess
import sys
import unittest

ARGUMENTS = None


class Page(html.parser.HTMLParser):
    """The page as the browser left it: its title, the summary table's rows
    of cells (text and attributes), every element's name, and the text."""

    def __init__(self, dom):
        super().__init__()
        self.title, self.rows, self.elements, self.text = "", [], [], ""
        self._in = []
        self._cell = None
        self.feed(dom)

    def handle_starttag(self, tag, attrs):
        self.elements.append(tag)
        self._in.append(tag)
        if tag == "tr" and "table" in self._in and self._summary:
            self.rows.append([])
        if tag in ("td", "th") and self.rows and self._summary:
            self._cell = {"text": "", **dict(attrs)}
            self.rows[-1].append(self._cell)
        if tag == "table":
            self._summary = dict(attrs).get("id") == "summary"

    def handle_endtag(self, tag):
        while self._in and self._in.pop() != tag:
            pass
        if tag in ("td", "th"):
            self._cell = None
        if tag == "table":
            self._summary = False

    def handle_data(self, data):
        self.text += data
        if self._in and self._in[-1] == "title" and "head" in self._in:
            self.title += data
        if self._cell is not None:
            self._cell["text"] += data

    _summary = False


def browse(page):
    result = subprocess.run([ARGUMENTS.browser, "--headless", "--no-sandbox", "--disable-gpu",
                             "--dump-dom", page.as_uri()],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
    return Page(result.stdout.decode())


class Html(unittest.TestCase):
    def test_what_the_page_shows(self):
        folder = ARGUMENTS.work / "pack"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        # A module name a browser would take for markup that runs a script.
        hostile = folder / ("<img src=x onerror=\"document.title='pwned'\">" + ARGUMENTS.suffix)
        shutil.copy(ARGUMENTS.modules / ("Velquist" + ARGUMENTS.suffix), hostile)
        throwing = folder / ("fixture_hostile_exception" + ARGUMENTS.suffix)
        shutil.copy(ARGUMENTS.modules / throwing.name, throwing)
        second = folder / ("second" + ARGUMENTS.suffix)
        shutil.copy(ARGUMENTS.modules / ("Velquist" + ARGUMENTS.suffix), second)
        page = ARGUMENTS.work / "report.html"
        result = subprocess.run([str(ARGUMENTS.plugin_host), "--cycles", "20", "--html", str(page),
                                 str(folder)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 1, result.stderr)
        shown = browse(page)
        self.assertEqual(shown.title, "plugin-host report")
        self.assertNotIn("img", shown.elements)
        self.assertNotIn("script", shown.elements)
        tests = ["descriptor", "lifecycle", "get-plugin-twice", "delete-before-get",
                 "fresh-after-delete", "copy-outlives-delete", "unload-while-holding"]
        self.assertIn("3 modules: 2 passed, 1 failed, ", shown.text)
        header, sound, failing, causes, other = shown.rows
        self.assertEqual(other[0]["text"], str(second))
        self.assertEqual([cell["text"] for cell in header],
                         ["module", *tests, "warnings", "seconds"])
        self.assertEqual(sound[0]["text"], str(hostile))
        self.assertEqual([cell["text"] for cell in sound[1:9]], ["passed"] * 7 + ["0"])
        self.assertEqual(failing[0]["text"], str(throwing))
        cause = "onLoad threw an exception: one\\x0Atwo\\x0D\\x1B[31mred\\xFF"
        statuses = [(cell["text"], cell.get("class"), cell.get("title")) for cell in failing[1:8]]
        self.assertEqual(statuses[1], ("failed", "failed", cause))
        self.assertEqual([s for i, s in enumerate(statuses) if i != 1],
                         [("passed", "passed", None)] * 6)
        self.assertEqual(causes[0]["text"], "lifecycle: " + cause)
        self.assertIn("cl_online_status_override", shown.text)
        self.assertEqual(shown.elements.count("svg"), 2)  # the sound modules' 20 cycles
        self.assertEqual(shown.elements.count("polyline"), 2)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--plugin-host", type=pathlib.Path, required=True)
    parser.add_argument("--modules", type=pathlib.Path, required=True)
    parser.add_argument("--suffix", required=True)
    parser.add_argument("--browser", required=True)
    parser.add_argument("--work", type=pathlib.Path, required=True)
    ARGUMENTS = parser.parse_args()
    if not pathlib.Path(ARGUMENTS.browser).is_file():
        sys.exit("no headless browser (chromium): scripts/install-deps installs it")
    ARGUMENTS.work = ARGUMENTS.work.resolve()
    unittest.main(argv=[sys.argv[0]], verbosity=2)
