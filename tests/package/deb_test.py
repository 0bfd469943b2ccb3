#!/usr/bin/env python3
"""The Debian package a plugin developer installs: what it holds (and nothing
of the build folder), its version, and that it works unpacked anywhere: its
plugin-host passes Velquist, and the example project builds and passes its
tests against it."""

import argparse
import pathlib
import shutil
import sys

from package_tools import Failure, build_project, ctest_results, expect, run

# Every part a plugin developer needs, relative to the package's root.
REQUIRED = [
    "usr/bin/plugin-host",
    "usr/lib/libpluginsdk.so",
    "usr/include/bakkesmod/export.h",
    "usr/include/bakkesmod/plugin/bakkesmodplugin.h",
    "usr/include/bakkesmod/plugin/plugin_descriptor.h",
    "usr/include/bakkesmod/wrappers/cvarmanagerwrapper.h",
    "usr/include/bakkesmod/wrappers/cvarwrapper.h",
    "usr/share/BakkesModSDK/src/bakkesmodplugin.cpp",
    "usr/share/BakkesModSDK/examples/CMakeLists.txt",
    "usr/share/BakkesModSDK/examples/ExamplePlugin.cpp",
    "usr/lib/cmake/BakkesModSDK/BakkesModSDKConfig.cmake",
    "usr/lib/cmake/BakkesModSDK/BakkesModSDKConfigVersion.cmake",
    "usr/lib/cmake/BakkesModSDK/BakkesModSDKTargets.cmake",
    "usr/lib/cmake/BakkesModSDK/BakkesModPluginModule.cmake",
    "usr/lib/cmake/BakkesModSDK/BakkesModPluginTests.cmake",
    "usr/lib/cmake/BakkesModSDK/BakkesModDiscoverPluginTests.cmake",
    "usr/lib/cmake/BakkesModSDK/plugin_module.map",
    "usr/plugins/Velquist.so",
    "usr/share/doc/Velquist/README.md",
]

# Names that only a build folder holds.
BUILD_ONLY = ("CMakeFiles", "CMakeCache", "Testing", "_test", "fixture_", ".o", ".a", "wine-prefix",
              "module_bench", "process_child", "empty_library")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", type=pathlib.Path, required=True)
    parser.add_argument("--source", type=pathlib.Path, required=True)
    parser.add_argument("--version", required=True, help="the project's version")
    parser.add_argument("--work", type=pathlib.Path, required=True)
    arguments = parser.parse_args()
    build, work = arguments.build.resolve(), arguments.work.resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)

    run(["cpack", "-G", "DEB", "--config", build / "CPackConfig.cmake", "-B", work / "cpack"])
    packages = list((work / "cpack").glob("*.deb"))
    expect(len(packages) == 1, f"cpack made {packages}")
    package = packages[0]

    version = run(["dpkg-deb", "--field", package, "Version"]).stdout.strip()
    expect(version == arguments.version, f"the package's version is {version}, "
                                         f"the project's {arguments.version}")

    listing = run(["dpkg-deb", "--contents", package]).stdout.splitlines()
    files = sorted(line.split()[-1].removeprefix("./") for line in listing
                   if not line.startswith("d"))
    for required in REQUIRED:
        expect(required in files, f"the package lacks {required}")
    for name in files:
        expect(not any(part in name for part in BUILD_ONLY), f"the package holds {name}")

    root = work / "root"
    run(["dpkg-deb", "-x", package, root])
    for path in root.rglob("*"):
        if path.is_file() and path.suffix in (".cmake", ".map", ".txt", ".h", ".cpp", ".md"):
            text = path.read_text(errors="replace")
            for folder in (build, arguments.source.resolve()):
                expect(str(folder) not in text, f"{path.relative_to(root)} names {folder}")

    result = run([root / "usr/bin/plugin-host", root / "usr/plugins/Velquist.so"])
    last = result.stdout.splitlines()[-1]
    expect(last == "Velquist.so: passed 7 of 7 tests; lifecycle passed 1 of 1 cycle, "
                   "handles released, module unloaded", f"plugin-host said {last!r}")

    example = work / "example"
    build_project(root / "usr/share/BakkesModSDK/examples", example, root / "usr", None)
    results = ctest_results(example)
    failed = sorted(name for name, failure in results.items() if failure)
    expect(len(results) >= 2 and not failed, f"the example's tests {sorted(results)}, "
                                             f"failed {failed}")
    print(f"deb: {package.name} holds {len(files)} files and works unpacked")


if __name__ == "__main__":
    try:
        main()
    except Failure as failure:
        print(f"deb_test: {failure}", file=sys.stderr)
        sys.exit(1)
