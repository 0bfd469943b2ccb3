#!/usr/bin/env python3
"""The package a plugin developer installs, made by cpack (a Debian package on
Linux, a ZIP on Windows): what it holds, and nothing of the build folder; its
version; and that it works unpacked anywhere: its plugin-host passes its
Velquist, and the example project builds and passes its tests against it."""

import argparse
import pathlib
import shutil
import zipfile

from package_tools import build_project, ctest_results, expect, failed_tests, run, run_main

# Every part a plugin developer needs, relative to the installed prefix.
REQUIRED = {
    "DEB": [
        "bin/plugin-host",
        "lib/libpluginsdk.so",
        "plugins/Velquist.so",
        "share/man/man1/plugin-host.1.gz",
        "share/bash-completion/completions/plugin-host",
    ],
    "ZIP": [
        "bin/plugin-host.exe",
        "bin/pluginsdk.dll",
        "lib/pluginsdk.lib",
        "plugins/Velquist.dll",
        "lib/msvc_runtime/msvc_crt_static.lib",
        "lib/msvc_runtime/msvc_cpp_static.lib",
        "lib/msvc_runtime/msvcp140.lib",
    ],
}
COMMON = [
    "include/bakkesmod/export.h",
    "include/bakkesmod/plugin/bakkesmodplugin.h",
    "include/bakkesmod/plugin/plugin_descriptor.h",
    "include/bakkesmod/wrappers/cvarmanagerwrapper.h",
    "include/bakkesmod/wrappers/cvarwrapper.h",
    "share/BakkesModSDK/src/bakkesmodplugin.cpp",
    "share/BakkesModSDK/examples/CMakeLists.txt",
    "share/BakkesModSDK/examples/ExamplePlugin.cpp",
    "lib/cmake/BakkesModSDK/BakkesModSDKConfig.cmake",
    "lib/cmake/BakkesModSDK/BakkesModSDKConfigVersion.cmake",
    "lib/cmake/BakkesModSDK/BakkesModSDKTargets.cmake",
    "lib/cmake/BakkesModSDK/BakkesModPluginModule.cmake",
    "lib/cmake/BakkesModSDK/BakkesModPluginTests.cmake",
    "lib/cmake/BakkesModSDK/BakkesModDiscoverPluginTests.cmake",
    "lib/cmake/BakkesModSDK/BakkesModDiscoverFolderTests.cmake",
    "lib/cmake/BakkesModSDK/plugin_module.map",
    "share/doc/Velquist/README.md",
    "share/doc/Velquist/docs/plugin-host.md",
    "share/doc/Velquist/docs/plugin-developers.md",
]

# Names that only a build folder holds.
BUILD_ONLY = ("CMakeFiles", "CMakeCache", "Testing", "_test", "fixture_", ".o", ".obj", ".pdb",
              "wine-prefix", "module_bench", "process_child", "empty_library", "runtime_probe")


def unpack(generator, package, root):
    """Unpacks the package into `root`; the installed prefix inside it, and
    the files of the package relative to that prefix."""
    if generator == "DEB":
        version = run(["dpkg-deb", "--field", package, "Version"]).stdout.strip()
        run(["dpkg-deb", "-x", package, root])
        prefix = root / "usr"
    else:
        with zipfile.ZipFile(package) as archive:
            archive.extractall(root)
        tops = list(root.iterdir())
        expect(len(tops) == 1, f"the ZIP holds {tops} at its top, not one folder")
        prefix = tops[0]
        version = prefix.name.split("-")[1]
    files = sorted(str(path.relative_to(prefix)) for path in prefix.rglob("*") if path.is_file())
    return prefix, files, version


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--generator", choices=["DEB", "ZIP"], required=True)
    parser.add_argument("--build", type=pathlib.Path, required=True)
    parser.add_argument("--source", type=pathlib.Path, required=True)
    parser.add_argument("--version", required=True, help="the project's version")
    parser.add_argument("--work", type=pathlib.Path, required=True)
    parser.add_argument("--toolchain", help="the toolchain file of a cross build")
    parser.add_argument("emulator", nargs="*", help="how to run the build's programs")
    arguments = parser.parse_args()
    build, work = arguments.build.resolve(), arguments.work.resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)

    run(["cpack", "-G", arguments.generator, "--config", build / "CPackConfig.cmake",
         "-B", work / "cpack"])
    suffix = {"DEB": "*.deb", "ZIP": "*.zip"}[arguments.generator]
    packages = list((work / "cpack").glob(suffix))
    expect(len(packages) == 1, f"cpack made {packages}")
    package = packages[0]

    prefix, files, version = unpack(arguments.generator, package, work / "root")
    expect(version == arguments.version,
           f"the package's version is {version}, the project's {arguments.version}")
    for required in REQUIRED[arguments.generator] + COMMON:
        expect(required in files, f"the package lacks {required}")
    for name in files:
        expect(not any(part in name for part in BUILD_ONLY), f"the package holds {name}")
    for path in prefix.rglob("*"):
        if path.is_file() and path.suffix in (".cmake", ".map", ".txt", ".h", ".cpp", ".md"):
            text = path.read_text(errors="replace")
            for folder in (build, arguments.source.resolve()):
                expect(str(folder) not in text, f"{path.relative_to(prefix)} names {folder}")

    windows = arguments.generator == "ZIP"
    velquist = prefix / "plugins" / ("Velquist.dll" if windows else "Velquist.so")
    host = prefix / "bin" / ("plugin-host.exe" if windows else "plugin-host")
    result = run(arguments.emulator + [host, "--", velquist])
    last = result.stdout.splitlines()[-1]
    expect(last == f"{velquist.name}: passed 7 of 7 tests; lifecycle passed 1 of 1 cycle, "
                   "handles released, module unloaded", f"plugin-host said {last!r}")

    if not windows:
        # man reads the page the package installs, compressed as installed.
        page = run(["man", "-l", prefix / "share/man/man1/plugin-host.1.gz"]).stdout
        expect("plugin-host" in page and "EXIT STATUS" in page, "man cannot read the page")

    example = work / "example"
    build_project(prefix / "share/BakkesModSDK/examples", example, prefix, arguments.toolchain)
    results = ctest_results(example)
    failed = failed_tests(results)
    expect(len(results) >= 2 and not failed,
           f"the example's tests {sorted(results)}, failed {failed}")
    print(f"package: {package.name} holds {len(files)} files and works unpacked")


if __name__ == "__main__":
    run_main("package_test", main)
