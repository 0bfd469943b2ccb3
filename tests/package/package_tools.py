"""What the package tests share: running a command, building a plugin project
against an installed SDK, and reading which of its CTest tests failed."""

import json
import pathlib
import subprocess
import sys
import xml.etree.ElementTree as ElementTree


class Failure(Exception):
    pass


def run(command, check=True, **kwargs):
    print("+", " ".join(str(part) for part in command), flush=True)
    result = subprocess.run([str(part) for part in command], text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    print(result.stdout, end="", flush=True)
    if check and result.returncode != 0:
        raise Failure(f"{command[0]} exited with {result.returncode}")
    return result


def listed_tests(plugin_host, emulator):
    """The names plugin-host --list-tests shows: each starts a line."""
    listing = run(emulator + [plugin_host, "--list-tests"]).stdout
    return [line.split()[0] for line in listing.splitlines()
            if line.strip() and not line[0].isspace()]


def ctest_results(build):
    """Each CTest test of a build and whether it failed, from ctest's JUnit."""
    run(["ctest", "--test-dir", build, "--output-junit", "junit.xml"], check=False)
    cases = ElementTree.parse(build / "junit.xml").getroot().iter("testcase")
    return {case.get("name"): case.find("failure") is not None for case in cases}


def build_project(source, build, prefix, toolchain):
    configure = ["cmake", "-S", source, "-B", build, "-G", "Ninja",
                 f"-DCMAKE_PREFIX_PATH={prefix}"]
    if toolchain:
        configure.append(f"-DCMAKE_TOOLCHAIN_FILE={toolchain}")
    run(configure)
    run(["cmake", "--build", build])


def expect(condition, message):
    if not condition:
        raise Failure(message)


def ctest_commands(build, separate_errors=False):
    """Each CTest test of a build: its command line and its labels. With
    `separate_errors`, what ctest warns of on standard error is kept out."""
    command = ["ctest", "--test-dir", build, "--show-only=json-v1"]
    if separate_errors:
        output = subprocess.run([str(part) for part in command], text=True, check=True,
                                stdout=subprocess.PIPE).stdout
    else:
        output = run(command).stdout
    listing = json.loads(output)
    commands = {}
    for test in listing["tests"]:
        labels = [p["value"] for p in test.get("properties", []) if p["name"] == "LABELS"]
        commands[test["name"]] = (test["command"], labels[0] if labels else [])
    return commands


def job_steps(workflow, names):
    """The shell of each step of a CI workflow that `names` names, as the CI
    system runs it: the lines of its `run: |` block, in the workflow's order."""
    steps, step, block, indent = [], None, None, 0
    for line in pathlib.Path(workflow).read_text().splitlines():
        stripped = line.strip()
        if block is not None:
            if stripped and len(line) - len(line.lstrip()) <= indent:
                steps.append("\n".join(block))
                block = None
            else:
                block.append(stripped)
                continue
        if stripped.startswith("- name: "):
            step = stripped[len("- name: "):]
        elif stripped == "run: |" and step in names:
            block, indent = [], len(line) - len(line.lstrip())
    if block is not None:
        steps.append("\n".join(block))
    return steps


def failed_tests(results):
    return sorted(name for name, failure in results.items() if failure)


def run_main(script, main):
    """Runs a test's main: a Failure is one line on standard error, exit code 1."""
    try:
        main()
    except Failure as failure:
        print(f"{script}: {failure}", file=sys.stderr)
        sys.exit(1)
