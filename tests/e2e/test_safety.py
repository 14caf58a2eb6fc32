"""A runaway pattern, a link moved to another file system, and errors that stop the run."""

import os
import resource
import shutil
import subprocess
import tempfile
import unittest

import harness
from harness import entry, lines, path, renaming, stats


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

    def test_new_name_too_long_is_one_error_line(self):
        # Its existence query fails with "too long": the rename is tried, fails
        # on its own line, and the entries around it are renamed.
        long_stem = "b" * 200
        self.tree({"a.txt": "a", long_stem + ".txt": "b", "c.txt": "c"})
        result = self.tarn("-v", "^(.*)[.]txt$", "$1$1.new")
        self.assertEqual(sorted(result.stdout.splitlines(keepends=True)), sorted(lines(
            stats(2, 1, 0), *(renaming(entry(stem + ".txt"), stem * 2 + ".new", 1) for stem in ("a", long_stem, "c"))
        ).splitlines(keepends=True)))
        # Windows words it by how the volume refuses the name; one line all the same.
        text = harness.system_text("long") or result.stderr.decode()[len(harness.rn_error("")):].rstrip()
        self.assertEqual((result.stderr, result.returncode), (lines(harness.rn_error(text)), 0))
        self.assert_tree({"aa.new": "a", long_stem + ".txt": "b", "cc.new": "c"})

    @unittest.skipUnless(harness.is_posix(), "paths longer than Linux takes, under a limit on open files")
    def test_tree_deeper_than_any_path(self):
        # 3,000 levels (paths of 6,000 bytes) with 256 descriptors: every file
        # is renamed in place with -d, then moved out with -r, its path whole.
        depth, files = 3000, range(500, 3001, 500)
        chain(self, "d", depth, files)
        limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))
        result = self.tarn("-rdv", r"f(\d+)[.]txt$", "g$1.txt", preexec_fn=limit)
        self.assertEqual((result.stderr, result.returncode), (b"", 0))
        self.assertEqual(result.stdout.splitlines()[-1], stats(len(files), 0, depth, True).encode())
        deepest = entry(*["d"] * depth, "f3000.txt")
        self.assertTrue(renaming(deepest, deepest[:-9] + "g3000.txt", 1).encode() in result.stdout)
        result = self.tarn("-rv", r"^g(\d+)[.]txt$", "$&", preexec_fn=limit)
        self.assertEqual(result.stdout.splitlines()[-1], stats(len(files), 0, depth).encode())
        self.assertEqual(sorted(os.listdir(self.root)), ["d"] + sorted("g%d.txt" % level for level in files))

    def test_dot_dot_from_a_name_is_refused(self):
        # A ".." element that a listed name brings would lead out of the
        # tree: refused before anything is looked up or made, in a dry run
        # too; one typed in the start path is followed.
        refused, climb = [harness.cd_error(harness.system_text("invalid"))], ("^([^_]*)_(.*)$", "$1/$2")
        rows = [  # tree in w, arguments, lines, error lines, tree afterwards (None: unchanged)
            ({".._x.txt": "A"}, ["-v", *climb], [renaming(entry(".._x.txt"), "../x.txt", 1), stats(0, 1, 0)],
             refused, None),
            ({".._x.txt": "A"}, ["-nv", *climb], [harness.would_rename(entry(".._x.txt"), "../x.txt"),
                                                  harness.simulation(0)], refused, None),
            (None, ["-sdv", "photos", "pics", path("..", "photos")], [renaming(
                path("..", "photos", "a.jpg"), path("..", "pics", "a.jpg"), 1), stats(1, 0, 0, True)], [],
             {"w": {}, "photos": {}, "pics": {"a.jpg": "A"}})]
        if harness.is_posix():  # the extension's dot (a name ending in a dot is no Windows name)
            rows.append(({"b..": "B"}, ["-Ev", r"^b\.$", "x/."], [renaming(entry("b.."), "x/..", 1), stats(0, 1, 0)],
                         refused, None))
        for tree, args, out, err, after in rows:
            with self.subTest(args=args):
                top = self.fresh(before := {"w": tree} if tree else {"w": {}, "photos": {"a.jpg": "A"}})
                self.assert_run(self.tarn(*args, cwd=os.path.join(top, "w")), stdout=lines(*out), stderr=lines(*err))
                self.assert_tree(after or before, root=top)

    @unittest.skipUnless(harness.is_posix(), "limits the address space with setrlimit")
    def test_deep_tree_of_long_names_in_bounded_memory(self):
        # 2,000 levels of 200-byte names: 400 MB if every entry kept its
        # whole path. Under 64 MB of address space the file at the bottom is
        # moved out.
        name, depth = "n" * 200, 2000
        chain(self, name, depth, [depth])
        limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (64 << 20, 64 << 20))
        if self.tarn("-V", preexec_fn=limit).returncode != 0:
            self.skipTest("this build reserves more address space than the limit (a sanitizer build)")
        result = self.tarn("-rv", r"^f\d+[.]txt$", "g.txt", preexec_fn=limit)
        self.assert_run(result, stdout=lines(renaming(entry(*[name] * depth, "f2000.txt"), "g.txt", 1),
                                             stats(1, 0, depth)))
        self.assertEqual(sorted(os.listdir(self.root)), ["g.txt", name])

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

    @unittest.skipUnless(harness.is_posix() and os.geteuid() == 0, "gives a link to another user")
    def test_link_of_another_user_in_a_new_name_is_not_followed(self):
        # Theirs, on the way or at its end, leads nowhere; root's and the user's own are followed.
        for owner, new, failed in ((65533, "pics/a.jpg", 1), (65533, "own/pics/a.jpg", 1), (0, "pics/a.jpg", 0)):
            links = {"pics": harness.link("att"), "own": harness.link(".")}
            where = self.fresh(tree := {"a.jpg": "a", "att": {}, **links})
            os.lchown(os.path.join(where, "pics"), owner, owner)
            result = self.tarn("-v", r"^a[.]jpg$", new, cwd=where)
            self.assert_run(result, stdout=lines(renaming(entry("a.jpg"), new, 1), stats(1 - failed, failed, 3)),
                            stderr=lines(harness.cd_error("Permission denied")) * failed)
            self.assert_tree(tree if failed else {"att": {"a.jpg": "a"}, **links}, root=where)

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


def chain(case, name, depth, files):
    """Makes a chain of directories too deep for a path, with a file f<level>.txt at the given levels."""
    at = os.open(case.root, os.O_DIRECTORY)
    for level in range(1, depth + 1):
        os.mkdir(name, dir_fd=at)
        at, parent = os.open(name, os.O_DIRECTORY, dir_fd=at), at
        os.close(parent)
        if level in files:
            os.close(os.open("f%d.txt" % level, os.O_CREAT | os.O_WRONLY, dir_fd=at))
    os.close(at)
    case.addCleanup(peel, case.root, name)


def peel(root, name):
    """Removes such a chain a level at a time."""
    here, below, aside = (os.path.join(root, name), os.path.join(root, name, name), os.path.join(root, "next"))
    while os.path.isdir(here):
        if os.path.isdir(below):
            os.rename(below, aside)
        for item in os.listdir(here):
            os.unlink(os.path.join(here, item))
        os.rmdir(here)
        if os.path.isdir(aside):
            os.rename(aside, here)
