#!/usr/bin/env python3
"""plugin-host's manual page renders without a warning and names every option
--help names and every test --list-tests lists; its bash completion, in a
real bash, completes the options, the tests after --test and the operations
after --sequence, comma by comma."""
import argparse
import os
import re
import subprocess
import sys
import tempfile


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, check=True, **kwargs)


def check_manual(plugin_host, manual, failures):
    # Rendered as man renders it; groff's warnings, all of them, on stderr.
    rendered = run(["man", "-l", manual], env=dict(os.environ, MANWIDTH="200", MAN_KEEP_FORMATTING="",
                                                   LC_ALL="C.UTF-8")).stdout
    warnings = run(["groff", "-man", "-ww", "-z", manual]).stderr
    if warnings:
        failures.append("groff warns: " + warnings)
    text = re.sub(r".\x08", "", rendered)
    options = set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*)", run([plugin_host, "--help"]).stdout))
    tests = [line for line in run([plugin_host, "--list-tests"]).stdout.splitlines()
             if line and not line.startswith(" ")]
    for name in sorted(options) + tests:
        if not re.search(r"(?<![\w-])" + re.escape(name) + r"(?![\w-])", text):
            failures.append("the manual page does not name " + name)
    # Word for word: each option's description as --help gives it, each
    # warning's, and each test's text as --list-tests gives it.
    flowing = " ".join(text.split())
    help_lines = run([plugin_host, "--help"]).stdout.splitlines()
    texts = []
    for i, line in enumerate(help_lines):
        described = re.match(r"^  (?:-|MODULE)\S*.*?\s{2,}(\S.*)$", line)
        warning = re.match(r"^  ([a-z-]+): (.*)$", line)
        if described:
            texts.append(described.group(1))
        elif warning:
            texts.append(warning.group(2))
        elif re.match(r"^  --\S", line) and i + 1 < len(help_lines):
            texts.append(help_lines[i + 1].strip())
    for described in texts:
        if " ".join(described.split()) not in flowing:
            failures.append("the manual page does not say, word for word: " + described)
    # The tests' texts, each line of them, as a sentence of the page: code
    # marks and the case of its first letter are the page's own.
    def plain(line):
        return " ".join(line.replace("`", "").split()).lower()
    plain_page = plain(text)
    for line in run([plugin_host, "--list-tests"]).stdout.splitlines():
        if line.strip() and plain(line) not in plain_page:
            failures.append("the manual page does not say, word for word: " + line.strip())
    for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "TESTS", "WARNINGS",
                    "EXIT STATUS", "ENVIRONMENT", "FILES", "EXAMPLES"):
        if not re.search(r"^" + section + r"$", text, re.MULTILINE):
            failures.append("the manual page has no section " + section)


def completed(plugin_host, script, words, env=None):
    """What the completion gives for the command line `words`, the last one
    being completed, as bash's own completion calls it."""
    array = " ".join("'" + w.replace("'", "'\\''") + "'" for w in [plugin_host] + words)
    program = ("source '%s' && COMP_WORDS=(%s) && COMP_CWORD=%d && _plugin_host && "
               "for word in \"${COMPREPLY[@]}\"; do echo \"$word\"; done" %
               (script, array, len(words)))
    return run(["bash", "--norc", "--noprofile", "-c", program], env=env).stdout.split("\n")[:-1]


def check_completion(plugin_host, script, failures):
    registered = run(["bash", "--norc", "--noprofile", "-c",
                      "source '%s' && complete -p plugin-host" % script]).stdout.strip()
    if registered != "complete -o filenames -F _plugin_host plugin-host":
        failures.append("complete -p says " + registered)
    rows = [
        (["--te"], ["--test"]),
        (["--in"], ["--in-process"]),
        (["--test", "li"], ["lifecycle"]),
        (["--test", ""], ["descriptor", "lifecycle", "get-plugin-twice", "delete-before-get",
                          "fresh-after-delete", "copy-outlives-delete", "unload-while-holding"]),
        (["--sequence", "get"], ["getPlugin"]),
        (["--sequence", "getPlugin,co"], ["getPlugin,copy"]),
        (["--sequence", "getPlugin,copy,on"], ["getPlugin,copy,onLoad", "getPlugin,copy,onUnload"]),
        (["--sequence", "getPlugin,copy,onLoad,onU"], ["getPlugin,copy,onLoad,onUnload"]),
        (["--sequence", "1:getPlugin,2:on"], ["1:getPlugin,2:onLoad", "1:getPlugin,2:onUnload"]),
        # As bash splits it at its colons: only what follows the last one.
        (["--sequence", "1", ":", "getPlugin,2", ":", "on"], ["onLoad", "onUnload"]),
        (["--cycles", ""], []),
        (["--skip", "li"], ["lifecycle"]),
        (["--jobs", ""], []),
    ]
    with tempfile.TemporaryDirectory() as folder:
        os.mkdir(os.path.join(folder, "a-folder"))
        open(os.path.join(folder, "a-file"), "w").close()
        rows += [
            (["--writable", folder + "/a"], [folder + "/a-folder"]),
            ([folder + "/a"], [folder + "/a-file", folder + "/a-folder"]),
            # A module or folder after another.
            ([folder + "/a-file", folder + "/a-fo"], [folder + "/a-folder"]),
        ]
        failures += check_rows(plugin_host, script, rows)
        # A plugin-host named by its path is the one asked, whatever else
        # is first on PATH.
        impostor = os.path.join(folder, "plugin-host")
        with open(impostor, "w") as out:
            out.write("#!/bin/sh\necho impostor\n")
        os.chmod(impostor, 0o755)
        path = dict(os.environ, PATH=folder + os.pathsep + os.environ.get("PATH", ""))
        got = completed(os.path.abspath(plugin_host), script, ["--test", "li"], env=path)
        if got != ["lifecycle"]:
            failures.append("by its path, plugin-host --test li completes to %s" % got)


def check_rows(plugin_host, script, rows):
    failures = []
    for words, expected in rows:
        # bash shows them sorted, whatever order they come in.
        got = sorted(completed(plugin_host, script, words))
        if got != sorted(expected):
            failures.append("%s completes to %s, not %s" % (words, got, expected))
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--plugin-host", required=True)
    parser.add_argument("--manual", required=True)
    parser.add_argument("--completion", required=True)
    args = parser.parse_args()
    failures = []
    check_manual(args.plugin_host, args.manual, failures)
    check_completion(args.plugin_host, args.completion, failures)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
