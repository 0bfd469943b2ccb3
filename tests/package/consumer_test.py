#!/usr/bin/env python3
"""A plugin developer outside this tree: install the build, move the installed
tree elsewhere, then configure, build and ctest plugin projects against it.

The example project must pass every named test plugin-host lists, each as a
CTest test of its own; a plugin that breaks one named test must fail exactly
that CTest test."""

import argparse
import os
import pathlib
import shutil
from xml.etree import ElementTree

from package_tools import (build_project, ctest_commands, ctest_results, expect, failed_tests,
                           job_steps, listed_tests, run, run_main)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", type=pathlib.Path, required=True, help="the build to install")
    parser.add_argument("--work", type=pathlib.Path, required=True, help="a folder to work in")
    parser.add_argument("--faulty", type=pathlib.Path, required=True,
                        help="a plugin project that breaks one named test")
    parser.add_argument("--toolchain", help="the toolchain file of a cross build")
    parser.add_argument("--exe-suffix", default="")
    parser.add_argument("--module-suffix", required=True)
    parser.add_argument("emulator", nargs="*", help="how to run the build's programs")
    arguments = parser.parse_args()
    work = arguments.work.resolve()

    shutil.rmtree(work, ignore_errors=True)
    staged, moved = work / "staged", work / "moved"
    run(["cmake", "--install", arguments.build, "--prefix", staged])
    staged.rename(moved)
    for text_file in moved.rglob("*.cmake"):
        expect(str(staged) not in text_file.read_text(),
               f"{text_file} names the folder it was installed to, so it cannot be moved")

    plugin_host = moved / "bin" / f"plugin-host{arguments.exe_suffix}"
    names = listed_tests(plugin_host, arguments.emulator)
    expect(len(names) >= 2, f"plugin-host --list-tests listed {names}")

    example = work / "example"
    build_project(moved / "share" / "BakkesModSDK" / "examples", example, moved,
                  arguments.toolchain)
    # Each test runs plugin-host (through the build's emulator, if any) on
    # the built module, with the options asked for.
    module = str(example / f"ExamplePlugin{arguments.module_suffix}")
    for name, (command, labels) in ctest_commands(example).items():
        test = name.removeprefix("ExamplePlugin.")
        expected = [str(plugin_host), "--test", test, "--strict", "--set", "example_greeting=",
                    "--", module]
        expect(command[-len(expected):] == expected and labels == ["plugin-host"],
               f"{name} runs {command}, labelled {labels}")
    results = ctest_results(example)
    expect(sorted(results) == sorted(f"ExamplePlugin.{name}" for name in names),
           f"the example's CTest tests are {sorted(results)}, plugin-host lists {names}")
    failed = failed_tests(results)
    expect(not failed, f"the example failed {failed}")

    if not arguments.toolchain:
        for installed in ("share/man/man1/plugin-host.1.gz",
                          "share/bash-completion/completions/plugin-host"):
            expect((moved / installed).is_file(), f"the install lacks {installed}")
        # The CI job a plugin developer copies, its own commands as its CI
        # runs them, on a fresh copy of the example.
        job = work / "job"
        shutil.copytree(moved / "share" / "BakkesModSDK" / "examples", job)
        for script in job_steps(job / "ci" / "plugin-tests.yml", ("Build", "Test")):
            run(["bash", "-e", "-c", script], cwd=job, env=dict(os.environ, BAKKESMOD_SDK=moved))
        for report in (job / "build" / "ctest.xml", job / "plugin-host.xml"):
            cases = list(ElementTree.parse(report).getroot().iter("testcase"))
            expect(len(cases) == len(names) and all(case.find("failure") is None for case in cases),
                   f"{report.name} holds {len(cases)} passing test cases, not {len(names)}")
        page = (job / "plugin-host.html").read_text(encoding="utf-8")
        expect(str(job / "build" / f"ExamplePlugin{arguments.module_suffix}") in page,
               "plugin-host.html does not name the example's module")

    faulty = work / "faulty"
    build_project(arguments.faulty, faulty, moved, arguments.toolchain)
    module = str(faulty / f"FaultyPlugin{arguments.module_suffix}")
    for name, (command, labels) in ctest_commands(faulty).items():
        expected = [str(plugin_host), "--test", name.removeprefix("FaultyPlugin."), "--timeout",
                    "60", "--", module]
        expect(command[-len(expected):] == expected and labels == ["faulty", "plugin-host"],
               f"{name} runs {command}, labelled {labels}")
    results = ctest_results(faulty)
    expect(sorted(results) == sorted(f"FaultyPlugin.{name}" for name in names),
           f"the faulty plugin's CTest tests are {sorted(results)}, plugin-host lists {names}")
    failed = failed_tests(results)
    expect(failed == ["FaultyPlugin.get-plugin-twice"],
           f"the faulty plugin failed {failed}, not only FaultyPlugin.get-plugin-twice")
    print(f"consumer: {len(names)} named tests registered and run from a moved install")


if __name__ == "__main__":
    run_main("consumer_test", main)
