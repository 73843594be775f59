#!/usr/bin/env python3
"""Checks the lock rules: every source file of a build compiled by Clang with
-Wthread-safety as an error, so that a member declared ZVT_GUARDED_BY(mu)
touched without mu held, or a ZVT_REQUIRES function called without its lock,
fails the run naming the line.

usage: check_thread_safety.py BUILD_DIR SOURCE_DIR [CLANG++]

The commands are the build's own (compile_commands.json), with Clang in
place of the compiler and only the front end run (-fsyntax-only): the check
needs the analysis, not the code."""
import concurrent.futures
import json
import os
import shlex
import subprocess
import sys

FLAGS = ["-fsyntax-only", "-ferror-limit=0", "-Wthread-safety", "-Werror=thread-safety",
         "-Wno-unknown-warning-option"]


def clang_command(entry, clang):
    args = entry.get("arguments") or shlex.split(entry["command"])
    out = [clang]
    skip = False
    for a in args[1:]:
        if skip:
            skip = False
            continue
        if a == "-o":
            skip = True
            continue
        if a == "-c":
            continue
        out.append(a)
    return out + FLAGS


def check(entry, clang):
    cmd = clang_command(entry, clang)
    r = subprocess.run(cmd, cwd=entry["directory"], capture_output=True, text=True)
    return entry["file"], r.returncode, r.stderr


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    clang = sys.argv[3] if len(sys.argv) > 3 else "clang++"
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    # The project's C++ sources with the test fixtures; the unit tests
    # themselves keep no locks of their own, and the sources of libraries
    # built along (a test framework) are not ours to check.
    entries = [e for e in entries
               if os.path.abspath(e["file"]).startswith(source + os.sep)
               and e["file"].endswith(".cc") and not e["file"].endswith("_test.cc")]
    failed = []
    jobs = os.cpu_count() or 2
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for name, rc, err in pool.map(lambda e: check(e, clang), entries):
            if rc != 0:
                failed.append(name)
                sys.stderr.write(err)
    if failed:
        print(f"{len(failed)} of {len(entries)} files break the lock rules or do not compile"
              " with Clang:")
        for name in failed:
            print("  " + os.path.relpath(name, source))
        return 1
    print(f"{len(entries)} files keep the lock rules")
    return 0


if __name__ == "__main__":
    sys.exit(main())
