#!/usr/bin/env python3
"""scripts/ctest-wine re-runs a failed test only when it printed nothing, only once, and says so; a
listing that stops CTest before any test is made once more."""
import os
import subprocess
import sys
import tempfile

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts/ctest-wine")
# Each test counts its runs in NAME.runs; flaky fails silently on its first run only.
TESTS = {"loud": "echo broken; exit 1", "silent": "exit 1",
         "flaky": "[ $(wc -l < flaky.runs) -gt 1 ] && echo ok", "skips": "echo SKIPPED"}
# A listing that stops CTest, as a test program's listing whose Wine process ended does: on the
# first run only, or on every run.
LISTINGS = {"once": 'if(NOT EXISTS {build}/listed)\n  file(WRITE {build}/listed "")\n'
                    '  message(FATAL_ERROR "listing")\nendif()\n',
            "always": 'message(FATAL_ERROR "listing")\n'}
# Selection, listing failure: exit status and the runs of each test.
CASES = {("flaky", None): (0, {"flaky": 2}), ("silent", None): (1, {"silent": 2}),
         ("loud|flaky", None): (1, {"loud": 1, "flaky": 1}),
         ("skips|flaky", None): (0, {"flaky": 2, "skips": 1}),
         ("flaky", "once"): (0, {"flaky": 2}), ("flaky", "always"): (1, {})}

failed = False
for (selection, listing_fails), expected in CASES.items():
    with tempfile.TemporaryDirectory() as build:
        with open(os.path.join(build, "CTestTestfile.cmake"), "w") as listing:
            if listing_fails:
                listing.write(LISTINGS[listing_fails].replace("{build}", build))
            for name, body in TESTS.items():
                listing.write('add_test(%s sh -c "echo >> %s.runs; %s")\n' % (name, name, body))
            listing.write("set_tests_properties(skips PROPERTIES SKIP_REGULAR_EXPRESSION SKIPPED)\n")
        done = subprocess.run([SCRIPT, build, "-R", "^(%s)$" % selection],
                              capture_output=True, text=True)
        runs = {n: len(open(os.path.join(build, n + ".runs")).readlines())
                for n in TESTS if os.path.exists(os.path.join(build, n + ".runs"))}
        named = [n for n in TESTS if "re-running %s:" % n in done.stdout]
        listed_again = "running CTest once more" in done.stdout
        if ((min(done.returncode, 1), runs) != expected or named != [n for n in runs if runs[n] > 1]
                or listed_again != bool(listing_fails)):
            failed = True
            print("%s, listing %s: exit %d, runs %s, named %s\n%s"
                  % (selection, listing_fails, done.returncode, runs, named, done.stdout))
sys.exit(failed)
