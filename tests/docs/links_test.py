#!/usr/bin/env python3
"""Every link in README.md and docs/ leads to a file that exists, and so does
every path of this source tree that they name in backticks."""
import argparse
import pathlib
import re
import sys

# The folders of the source tree: a path in backticks that starts with one
# of them is a file or folder that must exist.
TREE = ("sdk/", "Velquist/", "host/", "tests/", "bench/", "cmake/", "examples/", "toolchain/",
        "scripts/", "docs/", ".ci/")
LINK = re.compile(r"\[[^\]]*\]\(([^)#\s]+)(#[^)]*)?\)")
CODE = re.compile(r"`([^`\s]+)`")


def problems(root, document):
    found = []
    text = document.read_text(encoding="utf-8")
    for number, line in enumerate(text.splitlines(), 1):
        for target, _ in LINK.findall(line):
            if re.match(r"[a-z]+://", target):
                continue
            if not (document.parent / target).exists():
                found.append("%s:%d: link to %s, which does not exist" %
                             (document.relative_to(root), number, target))
        for code in CODE.findall(line):
            path = code.rstrip(".,;:)")
            if not path.startswith(TREE) or any(c in path for c in "{}*…<>$"):
                continue
            if not (root / path).exists():
                found.append("%s:%d: names %s, which does not exist" %
                             (document.relative_to(root), number, path))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    root = pathlib.Path(parser.parse_args().source)
    documents = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    found = [p for document in documents for p in problems(root, document)]
    for problem in found:
        print(problem)
    print("%d documents, %d dangling" % (len(documents), len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
