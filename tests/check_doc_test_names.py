"""Every GoogleTest name or filter a document gives (in backquotes, with or
without a tree's prefix: `ToolTest.*`, `windows.Staged/Concurrency.*`) must
match a test that one of the programs lists, so that it works as written
with --gtest_filter or ctest -R.

    check_doc_test_names.py DOCUMENT WINE_RUN PROGRAM...

A program ending in .exe is listed through WINE_RUN. Exit 77 (skipped) when
a program is missing: its tree was not built.
"""
import fnmatch
import os
import re
import subprocess
import sys

# A suite (with a parameterized test's instance) and a test or a pattern.
NAME = re.compile(r"`(?:(?:host|asan|windows)\.)?((?:[A-Z][A-Za-z0-9]*/)?[A-Z][A-Za-z0-9]*\.(?:\*|[A-Z][A-Za-z0-9_]*)[A-Za-z0-9_*/]*)`")


def listed(wine_run, program):
    command = [wine_run, program] if program.endswith(".exe") else [program]
    output = subprocess.run(command + ["--gtest_list_tests"], check=True, capture_output=True, text=True,
                            timeout=120).stdout
    names, suite = [], None
    for line in output.replace("\r", "").splitlines():
        if line and not line.startswith(" ") and line.endswith("."):
            suite = line
        elif line.startswith("  ") and suite:
            names.append(suite + line.split()[0])
    return names


def main(document, wine_run, programs):
    missing = [p for p in programs if not os.path.exists(p)]
    if missing:
        print("skipped: not built: " + ", ".join(missing))
        return 77
    tests = [name for program in programs for name in listed(wine_run, program)]
    with open(document, encoding="utf-8") as handle:
        given = sorted(set(NAME.findall(handle.read())))
    unknown = [name for name in given if not fnmatch.filter(tests, name)]
    for name in unknown:
        print("FAIL: %s names %s, which no program lists" % (document, name))
    print("%d names checked against %d tests" % (len(given), len(tests)))
    return 1 if unknown or not given else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
