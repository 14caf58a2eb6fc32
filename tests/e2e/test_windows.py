"""Cases only the Windows build has, run under Wine (whose Z: drive is the
Unix root): code pages, letter case, drive and device paths, other drives."""

import os
import re
import shutil
import subprocess
import tempfile
import threading
import unittest

import harness
from harness import cant_rename, cd_error, entry, lines, processed, renaming, rn_error, stats

nobody = (65534, 65534)


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def locale(lang):
    """The environment of a run under this Unix locale, from which Wine takes
    the code page. LC_CTYPE would win over LANG, and Python sets it itself
    where it started with no locale at all."""
    environment = dict(os.environ, LANG=lang)
    for name in ("LC_ALL", "LC_CTYPE"):
        environment.pop(name, None)
    return environment


@unittest.skipUnless(harness.config.platform == "windows", "runs only against the Windows build")
class windows_test(harness.tarn_case):

    def map_drive(self, directory):
        """Maps a free drive letter onto directory; returns it ("Y:")."""
        devices = os.path.join(os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine"),
                               "dosdevices")
        if not os.path.isdir(devices):
            self.skipTest("no Wine prefix at %s to map a drive in" % devices)
        for letter in "yxwvutsrqponmlkjihgfed":
            link_path = os.path.join(devices, letter + ":")
            if not os.path.lexists(link_path):
                os.symlink(directory, link_path)
                self.addCleanup(os.remove, link_path)
                return letter.upper() + ":"
        self.skipTest("no free drive letter in the Wine prefix")

    def make_other(self):
        """self.other: a new directory on /dev/shm, another file system."""
        if not os.path.isdir("/dev/shm") or os.stat("/dev/shm").st_dev == os.stat(self.root).st_dev:
            self.skipTest("the temporary directory and /dev/shm share a device")
        self.other = tempfile.mkdtemp(prefix="tarn-e2e-", dir="/dev/shm")
        self.addCleanup(shutil.rmtree, self.other, True)

    def assert_stopped(self, result, tree, root=None, text=b"No Unicode translation"):
        """One line on standard error naming the failure (text: what Wine's
        message table gives), status 2, and every file as it was."""
        self.assertEqual((result.returncode, result.stdout, result.stderr.count(b"\n")), (2, b"", 1))
        self.assertRegex(result.stderr, b"\\Atarn: .*" + text + b".*\r\n\\Z")
        self.assert_tree(tree, root=root)

    def test_name_outside_the_code_page_stops_the_run(self):
        # Under code page 1252 a Japanese name has no narrow text: whatever
        # the pattern, the run stops before renaming it.
        # Below such a directory, even a name the pattern leaves alone stops it.
        tree = {"\u65e5\u672c.txt": "kept", "\u65e5": {"a.txt": "a"}}
        self.tree(tree)
        for option, pattern in (("-v", ".*"), ("-vd", ".*"), ("-vn", ".*"), ("-rv", "zzz")):
            with self.subTest(option=option):
                self.assert_stopped(self.tarn(option, pattern, "x", env=locale("C.UTF-8")), tree)

    def test_argument_outside_the_code_page_stops_the_run(self):
        # Read narrow, the l with a stroke would be the pattern "l" and
        # infinity an "8": each would rename a file here.
        tree = {"l.txt": "l", "8.txt": "8"}
        self.tree(tree)
        for args, position in ((("\u0142", "_"), 1), (("-v", "\u221e", "_"), 2), (("-v", "x", "\u221e"), 3)):
            with self.subTest(args=args):
                self.assert_run(self.tarn(*args, env=locale("C.UTF-8")), status=2, stderr=lines(
                    "tarn: argument %d has no exact form in the code page: No Unicode translation." % position))
                self.assert_tree(tree)

    def test_names_the_system_would_rewrite_are_reached_exactly(self):
        # Made on the Unix side. Read as typed paths, "foo." and "bar " would
        # be "foo" and "bar", and CON the console.
        self.tree({"foo.": "dot", "foo": "plain", "bar ": "space", "CON": "con"})
        for pattern, replacement, old, new in (("\\.$", "_dot", "foo.", "foo_dot"),
                                               (" $", "_sp", "bar ", "bar_sp"), ("^CON$", "con_", "CON", "con_")):
            self.assert_run(self.tarn("-v", pattern, replacement),
                            stdout=lines(renaming(entry(old), new, 1), stats(1, 0, 3)))
        self.assert_tree({"foo_dot": "dot", "foo": "plain", "bar_sp": "space", "con_": "con"})

    def test_long_paths(self):
        for depth in (3, 10):  # entry paths of about 300 and 1,000 characters
            with self.subTest(depth=depth):
                where = self.fresh({})
                names = ["%02d" % level + "x" * 97 for level in range(depth)]
                harness.make_tree(os.path.join(where, *names), {"f.txt": "f"})
                self.assert_run(self.tarn("-rdv", "f[.]txt$", "g.txt", cwd=where), stdout=lines(
                    renaming(entry(*names, "f.txt"), entry(*names, "g.txt"), 1), stats(1, 0, depth, True)))
                self.assert_tree({"g.txt": "f"}, root=os.path.join(where, *names))

    def test_stream_and_device_names_refused(self):
        # A ':' would put the data into a stream of some carrier file; a
        # device name would send it to the device. Nothing is made or moved.
        self.make_other()
        drive = self.map_drive(self.other)
        self.tree({"f.txt": "f"})
        for new in ("ab:c", "sub\\x:y.txt", drive + "\\g.txt:s", drive + "\\sub\\g:s", "CON", "sub\\nul.txt",
                    "COM1 .log", drive + "\\AUX"):
            with self.subTest(new=new):
                self.assert_run(self.tarn("-v", "^f[.]txt$", new), stderr=lines(rn_error("Invalid name.")),
                                stdout=lines(renaming(entry("f.txt"), new, 1), stats(0, 1, 0)))
                self.assert_tree({"f.txt": "f"})
                self.assert_tree({}, root=self.other)

    def test_manifest_and_version_resource(self):
        with open(harness.config.binary, "rb") as stream:
            program = stream.read()
        for text in (b"<ws2:longPathAware>true</ws2:longPathAware>", b'level="asInvoker"',
                     b'<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>'):
            self.assertIn(text, program)
        self.assertNotIn(b"activeCodePage", program)
        for key, value in (("ProductName", "tarn"), ("FileVersion", "2.0.0"), ("ProductVersion", "2.0.0")):
            self.assertRegex(program, re.escape(key.encode("utf-16-le")) + b"(\\0\\0)+"
                             + re.escape((value + "\0").encode("utf-16-le")))

    def test_double_byte_code_page(self):
        listed = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout
        if "ja_jp.utf8" not in listed.lower().replace("-", "").split():
            self.skipTest("the locale ja_JP.UTF-8 is not generated (locale-gen)")
        # Two dots take the one character; the report prints its two bytes.
        where = self.fresh({"\u65e5.txt": "x"})
        result = self.tarn("-v", "^..", "x", cwd=where, env=locale("ja_JP.UTF-8"))
        self.assert_run(result, stdout=b" Renaming       '\".\\\\\x93\xfa.txt\"' to 'x.txt' ...\r\n"
                        + lines(stats(1, 0, 0)))
        self.assert_tree({"x.txt": "x"}, root=where)
        # One dot takes half of it: the new name is not valid text in the
        # code page and the run stops (the system's text is in Japanese).
        where = self.fresh({"\u65e5.txt": "y"})
        result = self.tarn("-v", "^.", "", cwd=where, env=locale("ja_JP.UTF-8"))
        self.assert_stopped(result, {"\u65e5.txt": "y"}, root=where, text=b"")

    def test_case_only_rename_finds_the_entry_itself(self):
        # The volume ignores case: a file is refused, a directory skipped.
        cases = [
            ("-v", "a[.]TXT", "A.txt", {"a.TXT": "a"},
             [cant_rename(entry("a.TXT"), "A.txt"), stats(0, 1, 0)]),
            ("-vvd", "Dir$", "dir", {"Dir": {}}, [processed(entry("Dir")), stats(0, 0, 1, True)]),
        ]
        for option, pattern, replacement, tree, expected in cases:
            with self.subTest(pattern=pattern):
                where = self.fresh(tree)
                self.assert_run(self.tarn(option, pattern, replacement, cwd=where),
                                stdout=lines(*expected))
                self.assert_tree(tree, root=where)

    def test_start_paths_in_windows_forms(self):
        # With -d the new name carries the start path as typed.
        top = os.path.join(self.root, "top")
        os.makedirs(top)
        drive, z_top, device = self.map_drive(top), windows_path(top), "\\\\?\\" + windows_path(top)
        cases = [
            # start path, where the file lies below top, entry as listed, new name
            (z_top + "\\dir", "dir", z_top + "\\dir\\a.txt", z_top + "\\dir\\b.txt"),
            (z_top + "\\dir\\", "dir", z_top + "\\dir\\a.txt", z_top + "\\dir\\b.txt"),
            (device + "\\dir", "dir", device + "\\dir\\a.txt", device + "\\dir\\b.txt"),
            ("top/dir", "dir", "top/dir\\a.txt", "top/dir\\b.txt"),
            # Below a drive's root the parent text ends with a separator
            # already, so the subject holds two.
            (drive + "\\", "", drive + "\\a.txt", drive + "\\\\b.txt"),
            # A bare drive lists its current directory as Y:name; the subject
            # puts the root's separator in.
            (drive, "", drive + "a.txt", drive + "\\b.txt"),
        ]
        for start, below, listed, new in cases:
            with self.subTest(start=start):
                shutil.rmtree(top)
                harness.make_tree(os.path.join(top, below), {"a.txt": "a"})
                self.assert_run(self.tarn("-vds", "a[.]txt$", "b.txt", start),
                                stdout=lines(renaming(listed, new, 1), stats(1, 0, 0, True)))
                self.assertEqual(os.listdir(os.path.join(top, below)), ["b.txt"])

    def test_directory_creation_below_a_device_prefix(self):
        self.tree({"f.txt": "f", "g.txt": "g"})
        base = windows_path(self.root)
        cases = [  # target, stdout summary, stderr, tree afterwards
            ("\\\\?\\" + base + "\\g.txt\\x\\f.txt", stats(0, 1, 1),
             lines(cd_error(harness.system_text("exists"))), {"f.txt": "f", "g.txt": "g"}),
            (base + "\\g.txt\\x\\f.txt", stats(0, 1, 1),
             lines(cd_error(harness.system_text("exists"))), {"f.txt": "f", "g.txt": "g"}),
            ("\\\\?\\" + base + "\\new\\deep\\f.txt", stats(1, 0, 1), b"",
             {"g.txt": "g", "new": {"deep": {"f.txt": "f"}}}),
        ]
        for target, summary, err, after in cases:
            with self.subTest(target=target):
                self.assert_run(self.tarn("-v", "^f[.]txt$", target), stderr=err,
                                stdout=lines(renaming(entry("f.txt"), target, 1), summary))
                self.assert_tree(after)

    def test_move_to_another_drive(self):
        self.make_other()
        drive = self.map_drive(self.other)
        content = os.urandom((3 << 20) + 5)  # more than one copy buffer
        self.tree({"f.txt": content, "r.txt": "read-only", "d": {"f": "x"}})
        os.chmod(os.path.join(self.root, "r.txt"), 0o444)
        os.utime(os.path.join(self.root, "f.txt"), ns=(1_500_000_000_123_456_700, 1_234_567_890_987_654_300))
        for name, skipped in (("f.txt", 2), ("r.txt", 1)):
            with self.subTest(name=name):
                target = drive + "\\sub\\" + name
                self.assert_run(self.tarn("-v", "^" + name + "$", target),
                                stdout=lines(renaming(entry(name), target, 1), stats(1, 0, skipped)))
        self.assert_tree({"sub": {"f.txt": content, "r.txt": "read-only"}}, root=self.other)
        # The read-only attribute and the times travel with the copy.
        self.assertEqual(os.stat(os.path.join(self.other, "sub", "r.txt")).st_mode & 0o222, 0)
        self.assertEqual(os.stat(os.path.join(self.other, "sub", "f.txt")).st_mtime_ns, 1_234_567_890_987_654_300)
        # A directory is not moved: Wine answers access denied where Windows
        # gives its cross-device error; either way the [rn] line reports it.
        result = self.tarn("-dv", "^.*d$", drive + "\\d")
        self.assertEqual((result.stdout, result.returncode), (lines(
            renaming(entry("d"), drive + "\\d", 1), stats(0, 1, 0, True)), 0))
        self.assertEqual((result.stderr[:15], result.stderr.count(b"\n")), (rn_error("").encode(), 1))
        self.assert_tree({"d": {"f": "x"}})
        self.assert_tree({"sub": {"f.txt": content, "r.txt": "read-only"}}, root=self.other)

    def test_copy_to_another_drive_is_made_under_a_temporary_name(self):
        # Watched while a large file is copied: the copy is listed under a
        # temporary name beside the target and under the real name only whole.
        self.make_other()
        drive = self.map_drive(self.other)
        size = 256 << 20
        with open(os.path.join(self.root, "big"), "wb") as stream:
            stream.truncate(size)
        seen, done = set(), threading.Event()

        def watch():
            while not done.is_set():
                for name in os.listdir(self.other):
                    try:
                        seen.add((name, os.stat(os.path.join(self.other, name)).st_size))
                    except OSError:
                        pass  # renamed in between
        watcher = threading.Thread(target=watch)
        watcher.start()
        result = self.tarn("-v", "^big$", drive + "\\big")
        done.set()
        watcher.join()
        self.assert_run(result, stdout=lines(renaming(entry("big"), drive + "\\big", 1), stats(1, 0, 0)))
        self.assertEqual(os.listdir(self.other), ["big"])
        temporary = re.compile(r"\.tarn-\d+-[0-9a-f]{16}\.part$")
        self.assertTrue(any(temporary.match(name) for name, _ in seen), seen)
        self.assertLessEqual({size for name, size in seen if not temporary.match(name)}, {size})

    def test_source_that_cannot_be_deleted_after_the_copy(self):
        # Wine accepts the deletion and fails it silently when the file's
        # directory is not writable, which needs a user that permissions bind,
        # with a Wine prefix and program copy of its own.
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("needs root and setpriv to run as an unprivileged user")
        os.chmod(self.root, 0o755)
        prefix, binary = os.path.join(self.root, "prefix"), os.path.join(self.root, "tarn.exe")
        shutil.copy(harness.config.binary, binary)
        os.mkdir(prefix)
        source = os.path.join(self.root, "src")
        harness.make_tree(source, {"f.txt": "data"})
        environment = dict(os.environ, HOME=self.root, WINEPREFIX=prefix, WINEDEBUG="-all",
                           WINEDLLOVERRIDES="mscoree,mshtml=")

        def as_nobody(command, **options):
            return subprocess.run(harness.as_user(nobody, command), env=environment,
                                  stdin=subprocess.DEVNULL, timeout=120, **options)

        self.make_other()
        for owned in (self.root, self.other, prefix, source, os.path.join(source, "f.txt")):
            os.chown(owned, *nobody)
        as_nobody(["wineboot", "-i"], capture_output=True)
        self.addCleanup(as_nobody, ["wineserver", "-k"], capture_output=True)
        os.symlink(self.other, os.path.join(prefix, "dosdevices", "q:"))
        os.chmod(source, 0o555)
        completed = as_nobody(["wine", binary, "-v", "^f", "Q:\\g"], cwd=source, capture_output=True)
        self.assertEqual((completed.stdout, completed.returncode),
                         (lines(renaming(entry("f.txt"), "Q:\\g.txt", 1), stats(0, 1, 0)), 0))
        self.assertTrue(completed.stderr.startswith(rn_error("").encode()), completed.stderr)
        self.assert_tree({"f.txt": "data"}, root=source)
        self.assert_tree({}, root=self.other)
