"""Runs the suites that drive real processes (the browser layer's C++ tests on
both routes, the engine host's and the system tests) several times over, and
ends with a table of every test that failed: how often, and its first error line.
Called by `tools/test.sh --repeat N [--busy]` once the build, the display and the
Wine service are up; `--busy` keeps one core busy with a plain loop meanwhile.

    repeat_tests.py ROUNDS [--busy]        exit code 0 only when nothing failed
    repeat_tests.py --suite DIR OUT.json   (internal) one Python suite, results to OUT.json
"""
import collections
import glob
import json
import os
import subprocess
import sys
import tempfile
import time
import traceback
import unittest
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("VORNMARK_BUILD", os.path.join(ROOT, "build"))
CTEST_SUITES = ("cef", "cef_embedded")
PY_SUITES = ("host", "system")


def first_error_line(text):
    """What went wrong in a GoogleTest failure: its place ("file:line") and the
    failed expectation's first line."""
    lines = [l.strip() for l in (text or "").strip().splitlines() if l.strip()]
    return " ".join(lines[:2])[:200] if lines else "(no message)"


class _Recorder(unittest.TextTestResult):
    def __init__(self, *a, **k):
        super().__init__(*a, **k)
        self.failed = {}

    def _note(self, test, err):
        # The exception's own first line: an assertion's message may run over many.
        lines = "".join(traceback.format_exception_only(err[0], err[1])).strip().splitlines()
        self.failed[test.id()] = (lines[0] if lines else err[0].__name__)[:200]

    def addError(self, test, err):
        super().addError(test, err)
        self._note(test, err)

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self._note(test, err)


def run_suite(folder, out):
    """One Python suite in this process; writes {"ran": n, "failed": {id: line}}."""
    sys.path.insert(0, folder)
    suite = unittest.defaultTestLoader.discover(folder, pattern="test_*.py", top_level_dir=folder)
    runner = unittest.TextTestRunner(verbosity=2, resultclass=_Recorder)
    result = runner.run(suite)
    with open(out, "w") as f:
        json.dump({"ran": result.testsRun, "failed": result.failed}, f)
    return 0 if result.wasSuccessful() else 1


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def gtest_failures(xml_dir, prefix):
    failed, ran = {}, 0
    for path in glob.glob(os.path.join(xml_dir, "*.xml")):
        try:
            tree = ET.parse(path)
        except ET.ParseError as e:
            failed[f"{prefix}.<report {os.path.basename(path)}>"] = f"unreadable: {e}"
            continue
        for case in tree.iter("testcase"):
            ran += 1
            problems = list(case.iter("failure")) + list(case.iter("error"))
            if problems:
                p = problems[0]
                name = f"{prefix}.{case.get('classname')}.{case.get('name')}"
                failed[name] = first_error_line(p.get("message") or p.text)
    return ran, failed


def run_round(number, work):
    """Every suite once; returns ({test: first error line}, tests run)."""
    failed, ran = {}, 0
    for name in CTEST_SUITES:
        xml_dir = os.path.join(work, f"round{number}-{name}")
        os.makedirs(xml_dir)
        env = dict(os.environ, GTEST_OUTPUT="xml:" + windows_path(xml_dir) + "\\")
        proc = subprocess.run(["ctest", "--test-dir", BUILD, "--output-on-failure", "-R", f"^{name}$"], env=env)
        n, f = gtest_failures(xml_dir, name)
        ran += n
        failed.update(f)
        if proc.returncode != 0 and not f:
            # Ended before writing its report (a crash, the ctest timeout).
            failed[f"{name}.<whole run>"] = f"ctest exit {proc.returncode} without a failed test in its report"
    for name in PY_SUITES:
        out = os.path.join(work, f"round{number}-{name}.json")
        env = dict(os.environ, VORNMARK_BUILD=BUILD)
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--suite",
                               os.path.join(ROOT, "tests", name), out], env=env)
        try:
            with open(out) as f:
                data = json.load(f)
        except (OSError, ValueError):
            data = {"ran": 0, "failed": {f"{name}.<whole run>": f"exit {proc.returncode} without results"}}
        ran += data["ran"]
        failed.update({f"{name}.{k}": v for k, v in data["failed"].items()})
    return failed, ran


def main(argv):
    if argv[:1] == ["--suite"]:
        return run_suite(argv[1], argv[2])
    rounds = int(argv[0])
    busy = None
    if "--busy" in argv:
        # A plain loop of our own on one core, ended by its pid.
        busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    counts = collections.Counter()
    first_line = {}
    timings = []
    try:
        with tempfile.TemporaryDirectory(prefix="vm-repeat-") as work:
            for i in range(1, rounds + 1):
                print(f"\n===== round {i} of {rounds}{' (one core busy)' if busy else ''}", flush=True)
                start = time.time()
                failed, ran = run_round(i, work)
                timings.append(time.time() - start)
                for test, line in failed.items():
                    counts[test] += 1
                    first_line.setdefault(test, line)
                print(f"===== round {i}: {ran} tests, {len(failed)} failed, {timings[-1]:.0f} s", flush=True)
    finally:
        if busy:
            busy.kill()
            busy.wait()
    print(f"\nRepeat table: {rounds} rounds{' with one core busy' if busy else ''}, "
          f"{min(timings):.0f}-{max(timings):.0f} s a round")
    if not counts:
        print("no test failed in any round")
        return 0
    print(f"{'test':70} {'failed':>8}  first error")
    for test, n in counts.most_common():
        print(f"{test:70} {n:>4}/{rounds:<3}  {first_line[test]}")
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
