#!/usr/bin/env python3
"""plugin-host --junit, read back by a real XML parser: every status, a plugin's
hostile bytes, its output and warnings, and a path plugin-host cannot write."""

import argparse
import pathlib
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ElementTree

ARGUMENTS = None


def plugin_host(*arguments, cwd):
    command = ARGUMENTS.emulator + [str(ARGUMENTS.plugin_host), *arguments]
    return subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def module(name):
    return str(ARGUMENTS.modules / f"{name}{ARGUMENTS.module_suffix}")


def shown(path):
    """A path as plugin-host names it: under wine, on the drive that maps /."""
    return "Z:" + path.replace("/", "\\") if ARGUMENTS.emulator else path


class Junit(unittest.TestCase):
    def run_junit(self, name, *options):
        """Runs plugin-host on one module with --junit; its exit code and the
        parsed document's test cases, by name."""
        work = ARGUMENTS.work / name
        work.mkdir(parents=True, exist_ok=True)
        result = plugin_host("--junit", "report.xml", *options, "--", module(name), cwd=work)
        root = ElementTree.parse(work / "report.xml").getroot()
        suite = root.find("testsuite")
        cases = {case.get("name"): case for case in suite.iter("testcase")}
        return result.returncode, suite, cases

    def status(self, case):
        for element in ("failure", "error", "skipped"):
            found = case.find(element)
            if found is not None:
                return element, found.get("type"), found.get("message")
        return ("passed",)

    def test_every_status_and_counts(self):
        code, suite, cases = self.run_junit("fixture_crashing_onload")
        self.assertEqual(code, 1)
        kind, kind_type, message = self.status(cases["lifecycle"])
        self.assertEqual((kind, kind_type), ("error", "crashed"))
        self.assertRegex(message, r"^crashed with (signal 11 \(Segmentation fault\)|"
                                  r"exception 0xC0000005 .*) in onLoad$")
        self.assertEqual(self.status(cases["descriptor"]), ("passed",))
        self.assertEqual((suite.get("tests"), suite.get("errors"), suite.get("failures")),
                         ("7", "1", "0"))

        # A limit that a sanitizer's or wine's start-up on a busy machine never reaches.
        code, suite, cases = self.run_junit("fixture_hanging_onload", "--timeout", "2",
                                            "--test", "lifecycle")
        self.assertEqual(code, 1)
        self.assertEqual(self.status(cases["lifecycle"])[:2], ("error", "timed out"))

        code, suite, cases = self.run_junit("fixture_sdk94")
        self.assertEqual(code, 2)
        self.assertEqual(self.status(cases["descriptor"]),
                         ("failure", "failed", "bad descriptor: sdk level 94, this host takes 95"))
        self.assertEqual([self.status(case)[:2] for name, case in cases.items()
                          if name != "descriptor"], [("skipped", "skipped")] * 6)
        self.assertEqual(suite.get("skipped"), "6")

        code, suite, cases = self.run_junit("Velquist" if ARGUMENTS.velquist else "fixture_noop")
        self.assertEqual(code, 0)
        self.assertEqual(len(cases), 7)
        self.assertTrue(all(self.status(case) == ("passed",) for case in cases.values()))

    def test_hostile_bytes_keep_the_one_representation(self):
        code, _, cases = self.run_junit("fixture_hostile_exception")
        self.assertEqual(code, 1)
        kind, _, message = self.status(cases["lifecycle"])
        self.assertEqual(kind, "failure")
        self.assertEqual(message, "onLoad threw an exception: "
                                  "one\\x0Atwo\\x0D\\x1B[31mred\\xFF")

    def test_plugin_output_and_warnings_where_ci_servers_show_them(self):
        code, suite, cases = self.run_junit("fixture_prints")
        self.assertEqual(code, 0)
        self.assertIn("bytes to standard output; first line: ",
                      cases["lifecycle"].find("system-out").text)
        self.assertTrue(all(line.startswith(f"plugin-host: {shown(module('fixture_prints'))}: warning [")
                            for line in suite.find("system-err").text.splitlines()))

    def test_several_modules_are_a_suite_each_in_the_order_named(self):
        work = ARGUMENTS.work / "several"
        work.mkdir(parents=True, exist_ok=True)
        named = [module("fixture_crashing_onload"), module("fixture_noop")]
        result = plugin_host("--junit", "report.xml", "--", *named, cwd=work)
        self.assertEqual(result.returncode, 1)
        root = ElementTree.parse(work / "report.xml").getroot()
        suites = root.findall("testsuite")
        self.assertEqual([suite.find("properties/property[@name='module']").get("value")
                          for suite in suites], [shown(path) for path in named])
        self.assertEqual([suite.get("errors") for suite in suites], ["1", "0"])
        self.assertEqual((root.get("tests"), root.get("errors"), root.get("failures"),
                          root.get("skipped")), ("14", "1", "0", "0"))

    def test_a_path_it_cannot_write_is_its_own_trouble(self):
        work = ARGUMENTS.work / "unwritable"
        (work / "a-folder").mkdir(parents=True, exist_ok=True)
        for path, reason in (("no-such-folder/report.xml", "No such file or directory"),
                             ("a-folder", None)):
            result = plugin_host("--junit", path, "--", module("fixture_noop"), cwd=work)
            self.assertEqual(result.returncode, 3)
            self.assertEqual(result.stdout, b"")
            line = result.stderr.decode().rstrip("\r\n")
            prefix = f"plugin-host: {shown(module('fixture_noop'))}: cannot write the JUnit report {path} ("
            self.assertTrue(line.startswith(prefix), line)
            if reason is not None:
                self.assertEqual(line, prefix + reason + ")")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--plugin-host", type=pathlib.Path, required=True)
    parser.add_argument("--modules", type=pathlib.Path, required=True)
    parser.add_argument("--module-suffix", required=True)
    parser.add_argument("--work", type=pathlib.Path, required=True)
    parser.add_argument("--velquist", action="store_true")
    parser.add_argument("emulator", nargs="*")
    ARGUMENTS = parser.parse_args()
    ARGUMENTS.plugin_host = ARGUMENTS.plugin_host.resolve()
    ARGUMENTS.modules = ARGUMENTS.modules.resolve()
    ARGUMENTS.work = ARGUMENTS.work.resolve()
    unittest.main(argv=[sys.argv[0]], verbosity=2)
