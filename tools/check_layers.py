#!/usr/bin/env python3
"""Checks that every #include of the project's own headers goes to the same
floor or a lower one. The floors, lowest first:

  include/ (the public headers)
  src/services, src/diag, src/host, src/cache, src/hierarchy, src/bypass,
  src/api (the core, in that order)
  platform/, pgm/, client/, hostd/ (the stand-ins, the wire, the client
  services, the host server)
  bind/ (the default binding: the one place that names the core's seam and
  the stand-ins together)
  tests, test fixtures, tools, benchmarks and fuzzers (on top)

A file named *_test.cc belongs on top whatever its folder. Prints each
include that goes up, with its file and line, and exits 1 when there is one.
Usage: check_layers.py [SOURCE_DIR]
"""
import os
import re
import sys

CORE = ["services", "diag", "host", "cache", "hierarchy", "bypass", "api"]
FLOORS = (
    [["include"]]
    + [["src/" + part] for part in CORE]
    + [["platform"], ["pgm"], ["client"], ["hostd"], ["bind"]]
    + [["resources", "testing", "tests", "tools", "bench", "fuzz"]]
)
TOP = len(FLOORS) - 1
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def floor_of_folder(path):
    """The floor of a path relative to the source tree, or None."""
    for level, folders in enumerate(FLOORS):
        for folder in folders:
            if path == folder or path.startswith(folder + "/"):
                return level
    return None


def floor_of_include(target):
    first = target.split("/", 1)[0]
    if first in CORE:  # headers of the core are named from inside src/
        return floor_of_folder("src/" + target)
    return floor_of_folder(target)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    problems = 0
    for folder in sorted({f for floor in FLOORS for f in floor}):
        for directory, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if not name.endswith((".cc", ".h", ".c")):
                    continue
                path = os.path.relpath(os.path.join(directory, name), root)
                own = TOP if name.endswith("_test.cc") else floor_of_folder(path)
                with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        target = floor_of_include(m.group(1))
                        if target is not None and target > own:
                            print(f"{path}:{number}: includes {m.group(1)}, a higher floor")
                            problems += 1
    if problems:
        print(f"{problems} includes go up a floor")
        return 1
    print("every include stays on its floor or goes down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
