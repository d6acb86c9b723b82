#!/usr/bin/env python3
"""Runs a GoogleTest program under an emulator once and reports its cases one ctest entry each.

Starting a Windows program under Wine costs about half a second, so a cross build cannot afford
a process per case. Instead:

  list <script> <results> <cmake> <exe> <emulator...>
      (after the build) asks the program for its cases and writes a ctest script that registers
      the whole run as the fixture setup <exe name>, plus one entry per case that prints the
      case's recorded outcome: a skipped case shows as skipped, a failed one as failed with its
      messages.
  run <results> <exe> <emulator...>
      (the fixture setup) runs every case once, writing one outcome file per case into <results>.
      It fails only when the program left no result file (a crash or a bad option); a failing
      case fails its own entry.
"""
import json
import os
import re
import shutil
import subprocess
import sys


def outcome_file(results, case):
    return os.path.join(results, re.sub(r"[^A-Za-z0-9_.-]", "_", case) + ".txt")


def list_cases(exe, emulator):
    out = subprocess.run(emulator + [exe, "--gtest_list_tests"], check=True,
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True).stdout
    suite = None
    cases = []
    for line in out.splitlines():
        line = line.split("#", 1)[0].rstrip()
        if not line.strip():
            continue
        if not line.startswith(" "):
            suite = line.strip()
        elif suite is not None:
            cases.append(suite + line.strip())
    return cases


def cmake_arg(text):
    return "[==[" + text + "]==]"


def write_script(script, results, cmake, exe, emulator):
    name = os.path.splitext(os.path.basename(exe))[0]
    me = os.path.abspath(__file__)
    lines = [
        "add_test(%s %s %s run %s %s %s)" % (
            cmake_arg(name), cmake_arg(sys.executable), cmake_arg(me), cmake_arg(results),
            cmake_arg(exe), " ".join(cmake_arg(e) for e in emulator)),
        "set_tests_properties(%s PROPERTIES LABELS unit TIMEOUT 600 FIXTURES_SETUP %s)" % (
            cmake_arg(name), cmake_arg(name)),
    ]
    for case in list_cases(exe, emulator):
        lines.append("add_test(%s %s -E cat %s)" % (
            cmake_arg(case), cmake_arg(cmake),
            cmake_arg(outcome_file(results, case))))
        props = "LABELS unit FIXTURES_REQUIRED %s SKIP_REGULAR_EXPRESSION %s " \
                "FAIL_REGULAR_EXPRESSION %s" % (cmake_arg(name), cmake_arg("^skipped"),
                                                cmake_arg("^failed"))
        if "DISABLED_" in case:
            props += " DISABLED TRUE"
        lines.append("set_tests_properties(%s PROPERTIES %s)" % (cmake_arg(case), props))
    tmp = script + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(tmp, script)


def run(results, exe, emulator):
    shutil.rmtree(results, ignore_errors=True)
    os.makedirs(results)
    # A relative output path: the emulated program need not understand the host's paths.
    rc = subprocess.run(emulator + [exe, "--gtest_output=json:results.json"], cwd=results,
                        stdin=subprocess.DEVNULL).returncode
    try:
        with open(os.path.join(results, "results.json"), encoding="utf-8") as f:
            report = json.load(f)
    except (OSError, ValueError) as e:
        print("%s left no readable results (exit code %d): %s" % (exe, rc, e))
        return rc or 1
    for suite in report.get("testsuites", []):
        for case in suite.get("testsuite", []):
            full = suite["name"] + "." + case["name"]
            failures = [f.get("failure", "") for f in case.get("failures", [])]
            if failures:
                text = "failed\n" + "\n".join(failures)
            elif case.get("result") == "SKIPPED" or case.get("status") == "NOTRUN":
                text = "skipped\n"
            else:
                text = "passed\n"
            with open(outcome_file(results, full), "w", encoding="utf-8") as f:
                f.write(text)
    return 0


def main(argv):
    if len(argv) >= 6 and argv[1] == "list":
        write_script(argv[2], argv[3], argv[4], argv[5], argv[6:])
        return 0
    if len(argv) >= 4 and argv[1] == "run":
        return run(argv[2], argv[3], argv[4:])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
