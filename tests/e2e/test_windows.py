"""Cases only the Windows build has: names in the code page of the file
interfaces, a volume that ignores letter case, drive, device and network-style
start paths, directory creation below a device prefix, and moves between
drives. They run the program under Wine, whose Z: drive is the Unix root; the
tests map further drive letters onto temporary directories of their own."""

import contextlib
import os
import shutil
import subprocess
import tempfile
import unittest

import harness
from harness import cant_rename, cd_error, entry, lines, processed, renaming, rn_error, stats

windows_only = unittest.skipUnless(harness.config.platform == "windows",
                                   "runs only against the Windows build")

# What Wine's message table gives for the no-mapping error (a name with a
# character outside the code page); the line around it is the program's.
no_mapping_text = b"No Unicode translation"


def windows_path(unix_path):
    """The path through Wine's Z: drive, which maps the Unix root."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def wine_prefix():
    return os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")


def has_locale(name):
    try:
        listed = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout
    except OSError:
        return False
    wanted = name.lower().replace("-", "")
    return any(line.strip().lower().replace("-", "") == wanted for line in listed.splitlines())


@contextlib.contextmanager
def environment(**values):
    """Runs the enclosed commands with these variables set (None: removed).
    Wine takes the code page from the Unix locale of each process."""
    saved = {name: os.environ.get(name) for name in values}
    try:
        for name, value in values.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


class windows_case(harness.tarn_case):

    def map_drive(self, directory):
        """Maps a free drive letter of the Wine prefix onto directory and
        returns the drive ("Y:"); the mapping goes when the test ends."""
        devices = os.path.join(wine_prefix(), "dosdevices")
        if not os.path.isdir(devices):
            self.skipTest("no Wine prefix at %s to map a drive in" % devices)
        for letter in "yxwvutsrqponmlkjihgfed":
            link_path = os.path.join(devices, letter + ":")
            try:
                os.symlink(directory, link_path)
            except FileExistsError:
                continue
            self.addCleanup(os.remove, link_path)
            return letter.upper() + ":"
        self.skipTest("no free drive letter in the Wine prefix")

    def assert_stopped(self, result, tree, root=None, text=no_mapping_text):
        """The run ended on an error it does not handle: one line on standard
        error naming the failure, status 2, and every file as it was."""
        self.assertEqual(result.status, 2, result)
        self.assertEqual(result.stdout, b"")
        self.assertTrue(result.stderr.startswith(b"tarn: "), result.stderr)
        self.assertTrue(result.stderr.endswith(b"\r\n"), result.stderr)
        self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
        if text is not None:
            self.assertIn(text, result.stderr)
        self.assert_tree(tree, root=root)


@windows_only
class code_page_test(windows_case):

    def test_name_outside_the_code_page_stops_the_run(self):
        # Under the default code page 1252 a Japanese name has no narrow
        # text: whatever the pattern, the run stops before renaming it.
        with environment(LANG="C.UTF-8", LC_ALL=None):
            for option in ("-v", "-vd", "-vn"):
                with self.subTest(option=option):
                    tree = {"\u65e5\u672c.txt": "kept"}
                    self.tree(tree)
                    self.assert_stopped(self.tarn(option, ".*", "x"), tree)

    def test_double_byte_code_page(self):
        if not has_locale("ja_JP.UTF-8"):
            self.skipTest("the locale ja_JP.UTF-8 is not generated (locale-gen)")
        name = "\u65e5.txt"  # one character, two bytes in code page 932
        narrow = b"\x93\xfa.txt"
        with environment(LANG="ja_JP.UTF-8", LC_ALL=None):
            # Two dots take the one character; the report prints its bytes.
            self.tree({name: "x"})
            result = self.tarn("-v", "^..", "x")
            self.assert_run(result, stdout=b" Renaming       '\".\\\\" + narrow + b"\"' to 'x.txt' ...\r\n"
                            + lines(stats(1, 0, 0)))
            self.assert_tree({"x.txt": "x"})

            # One dot takes half of it: the new name is not valid text in the
            # code page, so it cannot become a file name, and the run stops.
            tree = {name: "y"}
            directory = self.fresh(tree)
            result = self.tarn("-v", "^.", "", cwd=directory)
            # The system's text comes in the user's language, here Japanese.
            self.assert_stopped(result, tree, root=directory, text=None)


@windows_only
class command_line_test(windows_case):

    def test_arguments_are_not_expanded_as_wildcards(self):
        # A pattern that looks like a wildcard reaches the program as typed.
        self.tree({"a.txt": "a", "b.txt": "b"})
        result = self.tarn("-v", "*", "x")
        self.assert_run(result, status=1, stderr=harness.pattern_error("*"))
        self.assert_run(self.tarn("*.txt", "x"), status=1, stderr=harness.pattern_error())
        self.assert_tree({"a.txt": "a", "b.txt": "b"})


@windows_only
class listing_test(windows_case):

    def test_link_to_a_directory_is_listed_but_not_walked(self):
        # Wine lists a Unix symbolic link as a reparse point of no stated
        # kind; like a Windows link or junction it is not walked into.
        self.tree({"real": {"f.txt": "f"}})
        os.symlink("real", os.path.join(self.root, "link"))
        result = self.tarn("-rvv", "zz", "y")
        self.assertEqual((result.stderr, result.status), (b"", 0))
        out = result.stdout.decode().split("\r\n")
        self.assertEqual(out[-1], "")
        self.assertEqual(sorted(out[:-2]), sorted([
            harness.skipping_type(entry("link")), harness.skipping_type(entry("real")),
            harness.skipping_no_match(entry("real", "f.txt"))]))
        self.assertEqual(out[-2], stats(0, 0, 3))


@windows_only
class letter_case_test(windows_case):

    def test_case_only_rename_finds_the_entry_itself(self):
        # The volume ignores case: the target is the entry itself, so a file
        # is refused and a directory counted as skipped, nothing renamed.
        cases = [
            ("-v", "a[.]TXT", "A.txt", {"a.TXT": "a"}, [cant_rename(entry("a.TXT"), "A.txt"), stats(0, 1, 0)]),
            ("-vvd", "Dir$", "dir", {"Dir": {}}, [processed(entry("Dir")), stats(0, 0, 1, True)]),
        ]
        for option, pattern, replacement, tree, expected in cases:
            with self.subTest(pattern=pattern):
                directory = self.fresh(tree)
                result = self.tarn(option, pattern, replacement, cwd=directory)
                self.assert_run(result, stdout=lines(*expected))
                self.assert_tree(tree, root=directory)


@windows_only
class start_path_test(windows_case):

    def test_start_paths_in_windows_forms(self):
        # With -d the subject is the entry's whole path, so the new name
        # carries the start path as it was typed (after the walk's rules).
        top = os.path.join(self.root, "top")
        os.makedirs(top)
        drive = self.map_drive(top)
        z_top = windows_path(top)
        cases = [
            # start path, where the file lies below top, entry as listed, new name
            (z_top + "\\dir", "dir", z_top + "\\dir\\a.txt", z_top + "\\dir\\b.txt"),
            (z_top + "\\dir\\", "dir", z_top + "\\dir\\a.txt", z_top + "\\dir\\b.txt"),
            ("\\\\?\\" + z_top + "\\dir", "dir", "\\\\?\\" + z_top + "\\dir\\a.txt",
             "\\\\?\\" + z_top + "\\dir\\b.txt"),
            ("top/dir", "dir", "top/dir\\a.txt", "top/dir\\b.txt"),
            # Entries right below a drive's root: the parent text ends with a
            # separator already, so the subject holds two.
            (drive + "\\", "", drive + "\\a.txt", drive + "\\\\b.txt"),
            # A bare drive lists its current directory (the root here) as
            # Y:name, and the subject puts the root's separator in.
            (drive, "", drive + "a.txt", drive + "\\b.txt"),
        ]
        for start, below, listed, new in cases:
            with self.subTest(start=start):
                shutil.rmtree(top)
                base = os.path.join(top, below)
                os.makedirs(base)
                with open(os.path.join(base, "a.txt"), "w") as stream:
                    stream.write("a")
                result = self.tarn("-vds", "a[.]txt$", "b.txt", start)
                self.assert_run(result, stdout=lines(renaming(listed, new, 1), stats(1, 0, 0, True)))
                self.assertEqual(os.listdir(base), ["b.txt"])

    def test_bare_drive_without_d_moves_into_the_working_directory(self):
        top = os.path.join(self.root, "top")
        os.makedirs(top)
        drive = self.map_drive(top)
        with open(os.path.join(top, "a.txt"), "w") as stream:
            stream.write("a")
        result = self.tarn("-vs", "a", "b", drive)
        self.assert_run(result, stdout=lines(renaming(drive + "a.txt", "b.txt", 1), stats(1, 0, 0)))
        self.assert_tree({"top": {}, "b.txt": "a"})


@windows_only
class directory_creation_test(windows_case):

    def test_creation_below_a_device_prefix(self):
        self.tree({"f.txt": "f"})
        target = "\\\\?\\" + windows_path(self.root) + "\\new\\deep\\f.txt"
        result = self.tarn("-v", "^f[.]txt$", target)
        self.assert_run(result, stdout=lines(renaming(entry("f.txt"), target, 1), stats(1, 0, 0)))
        self.assert_tree({"new": {"deep": {"f.txt": "f"}}})

    def test_file_in_the_way_gives_the_already_exists_error(self):
        tree = {"f.txt": "f", "g.txt": "g"}
        self.tree(tree)
        for prefix in ("\\\\?\\", ""):
            with self.subTest(prefix=prefix):
                target = prefix + windows_path(self.root) + "\\g.txt\\x\\f.txt"
                result = self.tarn("-v", "^f[.]txt$", target)
                self.assert_run(result, stdout=lines(renaming(entry("f.txt"), target, 1), stats(0, 1, 1)),
                                stderr=lines(cd_error(harness.system_text("exists"))))
                self.assert_tree(tree)


def other_device_directory(near):
    """A new directory on a file system other than the one near lies on, or
    None when /dev/shm is not one."""
    if not os.path.isdir("/dev/shm") or os.stat("/dev/shm").st_dev == os.stat(near).st_dev:
        return None
    return tempfile.mkdtemp(prefix="tarn-e2e-", dir="/dev/shm")


@windows_only
class other_volume_test(windows_case):

    def setUp(self):
        super().setUp()
        other = other_device_directory(self.root)
        if other is None:
            self.skipTest("the temporary directory and /dev/shm share a device")
        self.other = other
        self.addCleanup(shutil.rmtree, other, True)
        self.drive = self.map_drive(other)

    def test_file_is_copied_whole_then_removed(self):
        content = os.urandom((3 << 20) + 5)  # more than one copy buffer
        self.tree({"f.txt": content, "r.txt": "read-only"})
        os.chmod(os.path.join(self.root, "r.txt"), 0o444)
        for name, skipped in (("f.txt", 1), ("r.txt", 0)):
            with self.subTest(name=name):
                target = self.drive + "\\sub\\" + name
                result = self.tarn("-v", "^" + name + "$", target)
                self.assert_run(result, stdout=lines(renaming(entry(name), target, 1), stats(1, 0, skipped)))
        self.assert_tree({})
        self.assert_tree({"sub": {"f.txt": content, "r.txt": "read-only"}}, root=self.other)
        # The read-only attribute travels with the copy.
        self.assertEqual(os.stat(os.path.join(self.other, "sub", "r.txt")).st_mode & 0o222, 0)

    def test_directory_is_not_moved(self):
        # Wine answers access denied where Windows gives its cross-device
        # error; either way the [rn] line reports it and nothing moves.
        tree = {"d": {"f": "x"}}
        self.tree(tree)
        target = self.drive + "\\d"
        result = self.tarn("-dv", "^.*$", target)
        self.assertEqual((result.stdout, result.status),
                         (lines(renaming(entry("d"), target, 1), stats(0, 1, 0, True)), 0))
        self.assertTrue(result.stderr.startswith(rn_error("").encode()), result.stderr)
        self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
        self.assert_tree(tree)
        self.assert_tree({}, root=self.other)


nobody = (65534, 65534)


@windows_only
class unremovable_source_test(windows_case):
    """A move to another drive whose source cannot be deleted after the copy:
    Wine accepts the deletion and then fails it silently when the file's
    directory is not writable, which needs a user that permissions bind."""

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("needs root and setpriv to run as an unprivileged user")
        other = other_device_directory(self.root)
        if other is None:
            self.skipTest("the temporary directory and /dev/shm share a device")
        self.addCleanup(shutil.rmtree, other, True)
        self.other = other
        os.chmod(self.root, 0o755)
        # The user's own Wine prefix and program copy: Wine refuses a prefix
        # that belongs to someone else.
        self.prefix = os.path.join(self.root, "prefix")
        self.binary = os.path.join(self.root, "tarn.exe")
        shutil.copy(harness.config.binary, self.binary)
        for path in (self.root, other):
            os.chown(path, *nobody)
        os.mkdir(self.prefix)
        os.chown(self.prefix, *nobody)
        self.as_nobody(["wineboot", "-i"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.as_nobody, ["wineserver", "-k"], stderr=subprocess.DEVNULL)
        os.symlink(other, os.path.join(self.prefix, "dosdevices", "q:"))

    def as_nobody(self, command, **options):
        environment = dict(os.environ, HOME=self.root, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                           WINEDLLOVERRIDES="mscoree,mshtml=")
        return subprocess.run(["setpriv", "--reuid=%d" % nobody[0], "--regid=%d" % nobody[1],
                               "--clear-groups", "--"] + command,
                              env=environment, stdin=subprocess.DEVNULL, timeout=120, **options)

    def test_copy_is_removed_and_the_source_stays(self):
        source = os.path.join(self.root, "src")
        os.mkdir(source)
        with open(os.path.join(source, "f.txt"), "w") as stream:
            stream.write("data")
        os.chown(os.path.join(source, "f.txt"), *nobody)
        os.chown(source, *nobody)
        os.chmod(source, 0o555)
        self.addCleanup(os.chmod, source, 0o755)

        completed = self.as_nobody(["wine", self.binary, "-v", "^f", "Q:\\g"], cwd=source,
                                   capture_output=True)
        self.assertEqual((completed.stdout, completed.returncode),
                         (lines(renaming(entry("f.txt"), "Q:\\g.txt", 1), stats(0, 1, 0)), 0))
        self.assertTrue(completed.stderr.startswith(rn_error("").encode()), completed.stderr)
        self.assert_tree({"f.txt": "data"}, root=source)
        self.assert_tree({}, root=self.other)
