#!/usr/bin/env python3
"""Runs the end-to-end suite against one build of tarn.

    python3 tests/e2e/run_e2e.py --binary PATH --runner "PREFIX" --platform posix|windows

--runner is a command prefix put before the binary (empty for a native build,
for example "wine" for the Windows build). --platform fixes the separator and
the line end of the expected output. Every tests/e2e/test_*.py module runs;
each failure is printed in full and the last line reads
"N passed, N failed" (", N skipped" when any were skipped). The exit status
is 0 only when nothing failed.
"""

import argparse
import os
import sys
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)

import harness  # noqa: E402  (needs the path above)


def main():
    parser = argparse.ArgumentParser(description="tarn end-to-end tests")
    parser.add_argument("--binary", required=True, help="the tarn program to test")
    parser.add_argument("--runner", default="", help="command prefix, e.g. wine")
    parser.add_argument("--platform", choices=["posix", "windows"], required=True)
    parser.add_argument("-k", dest="select", action="append", default=[],
                        help="run only tests whose name contains this text")
    arguments = parser.parse_args()

    if not os.path.isfile(arguments.binary):
        print("no such program: %s" % arguments.binary)
        print("0 passed, 1 failed")
        return 1
    harness.configure(arguments.binary, arguments.runner, arguments.platform)

    loader = unittest.TestLoader()
    if arguments.select:
        loader.testNamePatterns = ["*%s*" % text for text in arguments.select]
    suite = loader.discover(start_dir=here, pattern="test_*.py", top_level_dir=here)

    runner = unittest.TextTestRunner(stream=sys.stdout, verbosity=1)
    result = runner.run(suite)

    # Counted per test method: a table-driven test with several failing rows
    # (subtests) is one failed test.
    def case_id(test):
        return getattr(test, "test_case", test).id()

    failed_ids = {case_id(test) for test, _ in result.failures + result.errors}
    failed_ids |= {case_id(test) for test in result.unexpectedSuccesses}
    skipped_ids = set()
    for test, reason in result.skipped:
        print("skipped %s: %s" % (test.id(), reason))
        skipped_ids.add(case_id(test))
    skipped_ids -= failed_ids
    failed = len(failed_ids)
    skipped = len(skipped_ids)
    passed = result.testsRun - failed - skipped
    summary = "%d passed, %d failed" % (passed, failed)
    if skipped:
        summary += ", %d skipped" % skipped
    sys.stdout.flush()
    print(summary)
    return 0 if failed == 0 and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
