#!/usr/bin/env python3
"""The installed CMake functions as their documentation states them:
bakkesmod_add_plugin_tests option by option, the tests it registers and the
command each runs, and what it and bakkesmod_plugin_module refuse."""

import argparse
import json
import pathlib
import shutil
import subprocess

from package_tools import ctest_commands, expect, listed_tests, run, run_main


def configure(probe, work, sdk_cmake, plugin_host, generator="Ninja"):
    build = work / probe
    shutil.rmtree(build, ignore_errors=True)
    return build, run(["cmake", "-S", pathlib.Path(__file__).parent / "function_probe", "-B", build,
                       "-G", generator, f"-DSDK_CMAKE_DIR={sdk_cmake}",
                       f"-DPLUGIN_HOST={plugin_host}", f"-DPROBE={probe}"], check=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cmake-dir", type=pathlib.Path, required=True)
    parser.add_argument("--plugin-host", type=pathlib.Path, required=True)
    parser.add_argument("--work", type=pathlib.Path, required=True)
    arguments = parser.parse_args()
    work = arguments.work.resolve()
    host = str(arguments.plugin_host)
    names = listed_tests(host, [])

    build, result = configure("registered", work, arguments.cmake_dir, host)
    expect(result.returncode == 0, "the probe does not configure")
    commands = ctest_commands(build)
    # Per module: the test name's prefix, the options before "--", the labels.
    rows = [("plain.", [], ["plugin-host"]),
            ("all/", ["--strict", "--set", "a=b", "--set", "c=", "--timeout", "5"], ["x", "y"]),
            ("unlimited.", ["--timeout", "0"], ["plugin-host"])]
    expected = {}
    for (prefix, options, labels), module in zip(rows, ["plain", "everything", "unlimited"]):
        for name in names:
            expected[prefix + name] = ([host, "--test", name] + options +
                                       ["--", f"/modules/{module}.so"], labels)
    for name in sorted(set(expected) | set(commands)):
        expect(commands.get(name) == expected.get(name),
               f"{name} runs {commands.get(name)}, expected {expected.get(name)}")

    # A generator of several configurations: the tests of the one ctest runs.
    build, result = configure("registered", work / "multi", arguments.cmake_dir, host,
                              "Ninja Multi-Config")
    listing = json.loads(subprocess.run(["ctest", "--test-dir", build, "-C", "Release",
                                         "--show-only=json-v1"], text=True, check=True,
                                        stdout=subprocess.PIPE).stdout)
    expect(len(listing["tests"]) == len(expected),
           f"with several configurations, ctest has {len(listing['tests'])} tests")

    # plugin-host that cannot list its tests: one test that shows why.
    build, result = configure("registered", work, arguments.cmake_dir, "/bin/false")
    listing = ctest_commands(build, separate_errors=True)
    expect(sorted(listing) == ["all/list-tests", "plain.list-tests", "unlimited.list-tests"],
           f"with no listing, ctest has {sorted(listing)}")
    expect(listing["plain.list-tests"] == (["/bin/false", "--list-tests"], ["plugin-host"]),
           f"plain.list-tests runs {listing['plain.list-tests']}")

    refusals = {
        "unknown-argument": "bakkesmod_add_plugin_tests(plain): unknown arguments: FAST",
        "no-target": "bakkesmod_add_plugin_tests(missing): no such target",
        "set-without-value": "bakkesmod_add_plugin_tests(plain): SET takes NAME=VALUE, got '=c'",
        "not-a-module": "bakkesmod_plugin_module(shared): a plugin module is a MODULE library "
                        "(add_library(shared MODULE ...)), not a SHARED_LIBRARY",
    }
    for probe, message in refusals.items():
        _, result = configure(probe, work, arguments.cmake_dir, host)
        said = " ".join(result.stdout.split())
        expect(result.returncode != 0 and message in said,
               f"{probe}: configure exited {result.returncode} without saying \"{message}\"")
    print(f"cmake functions: {len(rows)} registrations of {len(names)} tests, "
          f"{len(refusals)} refusals")


if __name__ == "__main__":
    run_main("cmake_functions_test", main)
