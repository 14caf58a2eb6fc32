"""A runaway pattern, a link moved to another file system, and errors that stop the run."""

import os
import shutil
import subprocess
import tempfile
import unittest

import harness
from harness import entry, lines, renaming, stats


class safety_test(harness.tarn_case):

    def test_exploding_pattern_ends_as_pattern_error_keeping_done_renames(self):
        # With -rd the file inside comes first: its subject ends with a "c" and
        # it is moved. The directory's subject holds its "c" only in front, so
        # the search tries every way of splitting the rest first, for longer
        # than anyone waits; it ends as a pattern error.
        long_name = "c" + "a" * 200
        self.tree({long_name: {"c": "c"}})
        result = self.tarn("-rdv", "((.)*)*c", "done", timeout=60)
        self.assert_run(result, status=1, stdout=lines(renaming(entry(long_name, "c"), "done", 1)),
                        stderr=harness.pattern_error("((.)*)*c"))
        self.assert_tree({long_name: {}, "done": "c"})

    @unittest.skipUnless(harness.is_posix(), "moves to /dev/shm, a tmpfs of the native system")
    def test_link_is_not_moved_to_another_file_system(self):
        # The link itself would move: it fails with the system's cross-device
        # text and stays where it is. (Files are the fault test's.)
        if os.stat("/dev/shm").st_dev == os.stat(self.root).st_dev:
            self.skipTest("the temporary directory and /dev/shm share a device")
        self.addCleanup(shutil.rmtree, other := tempfile.mkdtemp(prefix="tarn-e2e-", dir="/dev/shm"), True)
        self.tree(tree := {"f": "x", "l": harness.link("f")})
        target = os.path.join(other, "l")
        self.assert_run(self.tarn("-v", "^l$", target), stdout=lines(renaming(entry("l"), target, 1), stats(0, 1, 1)),
                        stderr=lines(harness.rn_error(harness.system_text("cross_device"))))
        self.assert_tree(tree)
        self.assert_tree({}, root=other)

    @unittest.skipUnless(harness.is_posix(), "uses POSIX permissions")
    def test_refused_listing_or_status_stops_the_run(self):
        # A subdirectory that cannot be listed in a recursive walk; a start
        # directory, and a matching entry, below one that can be listed but
        # not searched, whose status query is refused: not the same as absent.
        # Root ignores permissions, so as root the runs are nobody's.
        prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"] if os.geteuid() == 0 else []
        if prefix and shutil.which("setpriv") is None:
            self.skipTest("running as root and setpriv is not available")
        self.tree(tree := {"locked": {"a.txt": "a"}})
        locked = os.path.join(self.root, "locked")
        for directory, _, _ in os.walk(self.root):
            os.chmod(directory, 0o777)
        for mode, args, operation, shown in (
                (0, ["-rv", "a", "b"], "recursive_directory_iterator::operator++", "./locked"),
                (0o666, ["-sv", "a", "b", "locked/a.txt"], "status", "locked/a.txt"),
                (0o444, ["-rv", "a", "b"], "status", "./locked/a.txt")):  # listed, so it matches
            with self.subTest(args=args):
                os.chmod(locked, mode)
                result = self.tarn(*args, prefix=prefix)
                os.chmod(locked, 0o777)
                self.assert_run(result, status=2, stderr=lines(
                    'tarn: %s failed for "%s": Permission denied' % (operation, shown)))
                self.assert_tree(tree)

    @unittest.skipUnless(harness.is_posix(), "writes to /dev/full")
    def test_report_that_cannot_be_written_is_not_a_success(self):
        # The renames are done; the run says the report was lost.
        self.tree({"a.txt": "a"})
        with open("/dev/full", "wb") as full:
            result = subprocess.run([harness.config.binary, "-v", "^a", "b"], cwd=self.root,
                                    stdout=full, stderr=subprocess.PIPE, timeout=30)
        self.assertEqual((result.returncode, result.stderr),
                         (2, b"tarn: the report could not be written to the standard output\n"))
        self.assert_tree({"b.txt": "a"})
