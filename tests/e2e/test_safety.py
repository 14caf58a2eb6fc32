"""Behaviours that keep the user's files safe: a runaway pattern ends as a
pattern error, a move to another file system keeps the file whole or leaves
it where it was, and an error the program does not handle stops the run
before it changes anything."""

import os
import resource
import shutil
import stat
import tempfile
import unittest

import harness
from harness import entry, lines, renaming, rn_error, stats

nobody = (65534, 65534)


def unprivileged():
    """The identity to run a permission test with: nobody when the suite runs
    as root (root ignores permissions), else the caller's own."""
    if os.geteuid() != 0:
        return None
    if shutil.which("setpriv") is None:
        raise unittest.SkipTest("running as root and setpriv is not available")
    return nobody


class runaway_pattern_test(harness.tarn_case):

    def test_exploding_pattern_ends_as_pattern_error_keeping_done_renames(self):
        # With -rd the file inside the directory comes first: its subject
        # holds a "c", so the search succeeds quickly and the file is moved.
        # The directory's own subject has no "c": the search would backtrack
        # for longer than anyone waits, and is stopped as a pattern error.
        long_name = "a" * 200
        self.tree({long_name: {"c": "c"}})
        pattern = "((.)*)*c"
        # The timeout is a guard against a hang, not a speed measurement.
        result = self.tarn("-rdv", pattern, "done", timeout=60)
        self.assert_run(result, status=1,
                        stdout=lines(renaming(entry(long_name, "c"), "done", 1)),
                        stderr=harness.pattern_error(pattern))
        self.assert_tree({long_name: {}, "done": "c"})

    def test_ordinary_patterns_on_long_names_complete(self):
        # A long name with a pattern that backtracks in quadratic time is
        # well within the matcher's budget.
        long_name = "a" * 250
        self.tree({long_name: "x"})
        self.assert_run(self.tarn("-v", "(.)*b", "x"), stdout=lines(stats(0, 0, 1)))
        self.assert_run(self.tarn("-v", "(a*)*", "x"), stdout=lines(
            renaming(entry(long_name), "x", 1), stats(1, 0, 0)))


def disk_directory():
    """A directory for temporary trees on a file system other than /dev/shm,
    or None when there is none."""
    shm = os.stat("/dev/shm").st_dev
    candidates = [os.path.dirname(harness.config.binary), "/var/tmp", tempfile.gettempdir()]
    for candidate in candidates:
        if os.path.isdir(candidate) and os.access(candidate, os.W_OK) \
                and os.stat(candidate).st_dev != shm:
            return candidate
    return None


@harness.posix_only("moves to /dev/shm, a tmpfs of the native system")
class cross_file_system_test(harness.tarn_case):

    def setUp(self):
        if not os.path.isdir("/dev/shm"):
            self.skipTest("no /dev/shm on this system")
        base = disk_directory()
        if base is None:
            self.skipTest("every temporary directory lies on the same device as /dev/shm")
        self.temp_base = base
        super().setUp()
        self.other = tempfile.mkdtemp(prefix="tarn-e2e-", dir="/dev/shm")
        self.addCleanup(shutil.rmtree, self.other, True)

    def test_regular_file_is_copied_whole_then_removed(self):
        content = os.urandom((3 << 20) + 17)  # more than one copy buffer
        self.tree({"f.txt": content})
        source = os.path.join(self.root, "f.txt")
        os.chmod(source, 0o640)
        times = (1_000_000_000_123_456_789, 1_234_567_890_987_654_321)
        os.utime(source, ns=times)

        target = os.path.join(self.other, "sub", "moved.txt")
        result = self.tarn("-v", "^f[.]txt$", target)
        self.assert_run(result, stdout=lines(renaming(entry("f.txt"), target, 1), stats(1, 0, 0)))
        self.assert_tree({})
        self.assert_tree({"sub": {"moved.txt": content}}, root=self.other)
        info = os.stat(target)
        self.assertEqual(stat.S_IMODE(info.st_mode), 0o640)
        self.assertEqual(info.st_mtime_ns, times[1])

    def test_other_entries_are_not_moved(self):
        # A directory, and a link (the link itself is what would move), fail
        # with the system's cross-device text and stay where they are.
        tree = {"d": {"f": "x"}, "f": "x", "l": harness.link("f")}
        self.tree(tree)
        cases = [("-dv", "^[.]/d$", "d", True), ("-v", "^l$", "l", False)]
        for option, pattern, name, directories in cases:
            with self.subTest(name=name):
                target = os.path.join(self.other, name)
                result = self.tarn(option, pattern, target)
                self.assert_run(result, stdout=lines(renaming(entry(name), target, 1),
                                                     stats(0, 1, 2, directories)),
                                stderr=lines(rn_error(harness.system_text("cross_device"))))
                self.assert_tree(tree)
                self.assert_tree({}, root=self.other)


@harness.posix_only("uses POSIX permissions and resource limits")
class unhandled_error_test(harness.tarn_case):

    def open_up(self, tree):
        """Makes the tree and lets anyone read and change it."""
        self.tree(tree)
        for directory, _, _ in os.walk(self.root):
            os.chmod(directory, 0o777)

    def assert_stopped(self, result, tree, message):
        self.assert_run(result, status=2, stderr=lines(message))
        self.assert_tree(tree)

    def test_unreadable_subdirectory_stops_a_recursive_walk(self):
        user = unprivileged()
        tree = {"a.txt": "a", "locked": {"a.txt": "a"}, "open": {"a.txt": "a"}}
        self.open_up(tree)
        os.chmod(os.path.join(self.root, "locked"), 0)
        result = self.tarn("-rv", "a", "b", user=user)
        os.chmod(os.path.join(self.root, "locked"), 0o777)
        self.assert_stopped(result, tree, 'tarn: recursive_directory_iterator::operator++ '
                                          'failed for "./locked": Permission denied')

    def test_unreadable_start_directory(self):
        user = unprivileged()
        tree = {"start": {"a.txt": "a"}}
        self.open_up(tree)
        os.chmod(os.path.join(self.root, "start"), 0o333)  # no reading, search allowed
        for option, operation in [("-sv", "directory_iterator::directory_iterator"),
                                  ("-rsv", "recursive_directory_iterator::"
                                           "recursive_directory_iterator")]:
            with self.subTest(option=option):
                result = self.tarn(option, "a", "b", "start", user=user)
                self.assert_run(result, status=2, stderr=lines(
                    'tarn: %s failed for "start": Permission denied' % operation))
        os.chmod(os.path.join(self.root, "start"), 0o777)
        self.assert_tree(tree)

    def test_status_refused_stops_the_run(self):
        # The start directory can be listed but not searched: the status of
        # its entries, and the status of a start directory below it, are
        # refused, which is not the same as absent.
        user = unprivileged()
        tree = {"start": {"a.txt": "a", "inner": {}}}
        self.open_up(tree)
        os.chmod(os.path.join(self.root, "start"), 0o666)
        listed = self.tarn("-sv", "a", "b", "start", user=user)
        inner = self.tarn("-sv", "a", "b", os.path.join("start", "inner"), user=user)
        os.chmod(os.path.join(self.root, "start"), 0o777)
        self.assertEqual((listed.status, listed.stdout), (2, b""))
        self.assertRegex(listed.stderr.decode(), r'\Atarn: status failed for "start/(a\.txt|inner)"'
                                                 r': Permission denied\n\Z')
        self.assert_run(inner, status=2, stderr=lines(
            'tarn: status failed for "start/inner": Permission denied'))
        self.assert_tree(tree)

    def test_too_many_open_directories_stops_the_walk(self):
        # A failure that root meets too: a recursive walk keeps one directory
        # open per level, more than the lowered descriptor limit allows.
        tree = {"f.txt": "f"}
        level = tree
        for _ in range(12):
            level["d"] = {"f.txt": "f"}
            level = level["d"]
        self.tree(tree)

        def few_descriptors():
            resource.setrlimit(resource.RLIMIT_NOFILE, (8, 8))

        result = self.tarn("-rv", "f", "g", preexec_fn=few_descriptors)
        self.assertEqual((result.status, result.stdout), (2, b""))
        self.assertRegex(result.stderr.decode(), r'\Atarn: recursive_directory_iterator::operator\+\+ '
                                                 r'failed for "\./d(/d)+": Too many open files\n\Z')
        self.assert_tree(tree)

    def test_rename_refused_is_reported_and_the_walk_goes_on(self):
        # Renames in a directory the user may not change fail one by one with
        # the system's text; the run completes with status 0.
        user = unprivileged()
        tree = {"a.txt": "a", "ro": {"a.txt": "a"}}
        self.open_up(tree)
        os.chmod(os.path.join(self.root, "ro"), 0o555)
        result = self.tarn("-sv", "a", "b", "ro", user=user)
        self.assert_run(result, stdout=lines(renaming("ro/a.txt", "b.txt", 1), stats(0, 1, 0)),
                        stderr=lines(rn_error("Permission denied")))
        self.assert_tree(tree)
