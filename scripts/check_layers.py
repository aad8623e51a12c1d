#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer above its own.

Each folder below names the folders it may include from; what those may
include, it may include too. Tests (`*_test.*`) may in addition include the
shared test helpers in testsupport/, which sit above everything they help
test. Run from the top of the tree; prints one line per offending include.
"""
import os
import re
import sys

# folder -> folders whose headers it may include directly
LAYERS = {
    "stardb": [],
    "hostapi": [],
    "base": [],
    "osapi": ["base"],
    "libkeshimage": ["base"],
    "libimgops": ["base", "stardb"],
    "LW": ["osapi", "libkeshimage", "libimgops", "hostapi", "stardb"],
    "host/core": ["hostapi"],
    "host/panel": ["host/core"],
    "host/images": ["host/core"],
    "host/farm": ["host/core"],
    "host/sky": ["host/core"],
    "host/web": ["host/panel", "host/images"],
    "host/cli": ["host/web", "host/farm", "host/sky", "stardb"],
    "host/minimal": ["hostapi"],
    "tools": ["host/core", "stardb"],
    "testsupport": ["LW", "host/cli", "tools"],
    "tests": ["testsupport"],
    "bench": ["testsupport"],
    "fuzz": ["testsupport"],
    "docs/guide": ["testsupport"],
}
SOURCES = (".c", ".cpp", ".h")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def closure():
    reach = {}

    def visit(folder):
        if folder not in reach:
            reach[folder] = set()
            for below in LAYERS[folder]:
                reach[folder] |= {below} | visit(below)
        return reach[folder]

    for folder in LAYERS:
        visit(folder)
    return reach


def folder_of(path):
    best = None
    for folder in LAYERS:
        if (path == folder or path.startswith(folder + "/")) and (
                best is None or len(folder) > len(best)):
            best = folder
    return best


def is_test(path):
    return re.search(r"_test\.[a-z]+$", path) is not None


def main():
    reach = closure()
    bad = []
    for top, dirs, files in os.walk("."):
        dirs[:] = [d for d in dirs if not d.startswith(".") and d != "build"]
        for name in files:
            if not name.endswith(SOURCES):
                continue
            path = os.path.relpath(os.path.join(top, name))
            own = folder_of(path)
            if own is None:
                continue
            allowed = reach[own] | {own}
            if is_test(path):
                allowed |= {"testsupport"}
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m or "/" not in m.group(1):
                        continue
                    target = folder_of(m.group(1))
                    if target is not None and target not in allowed:
                        bad.append(f"{path}:{number}: {own}/ includes {m.group(1)}, "
                                   f"a header of {target}/ above it")
    for line in bad:
        print(line)
    print(f"{0 if bad else 1} passed, {1 if bad else 0} failed")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
