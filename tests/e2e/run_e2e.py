#!/usr/bin/env python3
"""Runs the end-to-end suite against one build of tarn:

    run_e2e.py --binary PATH [--runner "PREFIX"] --platform posix|windows

--runner is a command prefix put before the binary (for example wine);
--platform fixes the separator and line end of the expected output. The exit
status is 0 only when every test passed or was skipped."""

import argparse
import os
import sys
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
import harness  # noqa: E402  (needs the path above)


def main():
    parser = argparse.ArgumentParser(description="tarn end-to-end tests")
    parser.add_argument("--binary", required=True)
    parser.add_argument("--runner", default="")
    parser.add_argument("--platform", choices=["posix", "windows"], required=True)
    arguments = parser.parse_args()
    harness.configure(arguments.binary, arguments.runner, arguments.platform)
    result = unittest.TextTestRunner(stream=sys.stdout).run(unittest.TestLoader().discover(
        start_dir=here, pattern="test_*.py", top_level_dir=here))
    for test, reason in result.skipped:
        print("skipped %s: %s" % (test.id(), reason))
    # A table's failing rows are reported one by one; the test fails once.
    failed = len({getattr(test, "test_case", test).id() for test, _ in result.failures + result.errors})
    skipped = len(result.skipped)
    print("%d passed, %d failed, %d skipped" % (result.testsRun - failed - skipped, failed, skipped))
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
