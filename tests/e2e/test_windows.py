"""Cases only the Windows build has, run under Wine (whose Z: drive is the
Unix root): code pages, letter case, drive and device paths, other drives."""

import contextlib
import os
import re
import shutil
import subprocess
import tempfile
import threading
import unittest

import harness
from harness import cd_error, entry, lines, renaming, rn_error, stats


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def locale(lang):
    """The environment of a run under this Unix locale, from which Wine takes
    the code page. LC_CTYPE would win over LANG, and Python sets it itself
    where it started with no locale at all."""
    return dict({name: value for name, value in os.environ.items() if name not in ("LC_ALL", "LC_CTYPE")}, LANG=lang)


@unittest.skipUnless(harness.under_wine(), "runs only against the Windows build under Wine")
class windows_test(harness.tarn_case):

    def drive(self, directory=None):
        """Maps a free drive letter onto directory, or else onto a new
        directory self.other on /dev/shm, another file system; returns the
        drive ("Y:")."""
        if directory is None:
            if os.stat("/dev/shm").st_dev == os.stat(self.root).st_dev:
                self.skipTest("the temporary directory and /dev/shm share a device")
            directory = self.other = tempfile.mkdtemp(prefix="tarn-e2e-", dir="/dev/shm")
            self.addCleanup(shutil.rmtree, directory, True)
        devices = os.path.join(os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine"), "dosdevices")
        link_path = next(os.path.join(devices, letter + ":") for letter in "yxwvutsrqponmlkjihgfed"
                         if not os.path.lexists(os.path.join(devices, letter + ":")))
        os.symlink(directory, link_path)
        self.addCleanup(os.remove, link_path)
        return os.path.basename(link_path).upper()

    def test_names_and_arguments_convert_exactly_or_stop_the_run(self):
        # Under code page 1252 a Japanese name has no narrow text: whatever
        # the pattern, the run stops before renaming it, even below a
        # directory whose own name the pattern leaves alone. Read narrow, the
        # l with a stroke would be the pattern "l" and infinity an "8": each
        # would rename a file. Under 932 one dot takes half of the character,
        # so the new name is no text in the code page (the system's text is in
        # Japanese); two dots take it whole and the report prints its bytes.
        japanese = "ja_jp.utf8" in subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower()
        wide, narrow = {"\u65e5\u672c.txt": "kept", "\u65e5": {"a.txt": "a"}}, {"l.txt": "l", "8.txt": "8"}
        no_form = b"tarn: argument %d has no exact form in the code page: No Unicode translation\\."
        cases = [(wide, "C.UTF-8", (letters, pattern, "x"), b"tarn: .*No Unicode translation.*")
                 for letters, pattern in (("-v", ".*"), ("-vd", ".*"), ("-vn", ".*"), ("-rv", "zzz"))]
        cases += [(narrow, "C.UTF-8", args, no_form % position) for args, position in
                  ((("\u0142", "_"), 1), (("-v", "\u221e", "_"), 2), (("-v", "x", "\u221e"), 3))]
        cases += [({"\u65e5.txt": "x"}, "ja_JP.UTF-8", ("-v", "^.", ""), b"tarn: .*")] if japanese else []
        # Words the form does not read need not convert: a fourth without -s,
        # any of six (the help screen), any behind an unknown letter.
        for args, status in ((("-r", "a", "b", "\u0142"), 0), (("a", "b", "c", "d", "\u0142"), 1),
                             (("-x", "\u0142", "b"), 1)):
            result = self.tarn(*args, cwd=self.fresh(narrow), env=locale("C.UTF-8"))
            self.assertEqual((result.returncode, result.stderr, bool(result.stdout)), (status, b"", bool(status)))
        for tree, lang, args, text in cases:
            with self.subTest(args=args, lang=lang):
                result = self.tarn(*args, cwd=(where := self.fresh(tree)), env=locale(lang))
                self.assertEqual((result.returncode, result.stdout), (2, b""))
                self.assertRegex(result.stderr, b"\\A" + text + b"\r\n\\Z")
                self.assert_tree(tree, root=where)
        if not japanese:
            self.skipTest("the locale ja_JP.UTF-8 is not generated (locale-gen)")
        self.assert_run(self.tarn("-v", "^..", "x", cwd=where, env=locale("ja_JP.UTF-8")), stdout=
                        b" Renaming       '\".\\\\\x93\xfa.txt\"' to 'x.txt' ...\r\n" + lines(stats(1, 0, 0)))
        self.assert_tree({"x.txt": "x"}, root=where)

    def test_start_paths_in_windows_forms(self):
        # With -d the new name carries the start path as typed.
        top = os.path.join(self.root, "top")
        drive, z_top, device = self.drive(top), windows_path(top), "\\\\?\\" + windows_path(top)
        cases = [
            # start path, where the file lies below top, the entry's parent as listed, the new name's
            (z_top + "\\dir", "dir", z_top + "\\dir\\", None), (z_top + "\\dir\\", "dir", z_top + "\\dir\\", None),
            (device + "\\dir", "dir", device + "\\dir\\", None), ("top/dir", "dir", "top/dir\\", None),
            # Read as the system reads it: "dir " and "dir." are dir.
            ("top/dir ", "dir", "top/dir\\", None), ("top/dir.", "dir", "top/dir\\", None),
            # Below a drive's root the parent text ends with a separator
            # already, so the subject holds two. A bare drive lists its
            # current directory as Y:name; the subject puts the root's
            # separator in.
            (drive + "\\", "", drive + "\\", drive + "\\\\"), (drive, "", drive, drive + "\\"),
        ]
        for start, below, parent, new_parent in cases:
            with self.subTest(start=start):
                shutil.rmtree(top, True)
                harness.make_tree(os.path.join(top, below), {"a.txt": "a"})
                self.assert_run(self.tarn("-vds", "a[.]txt$", "b.txt", start),
                                stdout=lines(renaming(parent + "a.txt", (new_parent or parent) + "b.txt", 1),
                                             stats(1, 0, 0, True)))
                self.assertEqual(os.listdir(os.path.join(top, below)), ["b.txt"])

    def test_refused_targets_make_nothing(self):
        # A ':' would put the data into a stream of some carrier file; a
        # device name would send it to the device; a file in the way stops
        # the directories, below a device prefix too. Nothing is made or
        # moved, here or on another drive. Which names are refused the unit
        # table decides; these show that no directory on the way is made first.
        drive, base = self.drive(), windows_path(self.root)
        self.tree(before := {"f.txt": "f", "g.txt": "g"})
        invalid, exists = lines(rn_error("Invalid name.")), lines(cd_error(harness.system_text("exists")))
        for target, err in (("sub\\x:y.txt", invalid), ("sub\\nul.txt", invalid), (drive + "\\sub\\g:s", invalid),
                            (drive + "\\sub\\AUX", invalid), ("\\\\?\\" + base + "\\g.txt\\x\\f.txt", exists),
                            (base + "\\g.txt\\x\\f.txt", exists),
                            # another drive's current directory; device names
                            # behind a prefix; a name the system would trim
                            (drive + "f.txt", invalid), ("\\\\?\\" + base + "\\NUL", invalid),
                            ("\\\\.\\" + base + "\\sub\\CONOUT$", invalid), ("bar.\\f.txt", invalid),
                            ("\\\\?\\" + base + "\\new\\deep\\f.txt", b"")):
            with self.subTest(target=target):
                self.assert_run(self.tarn("-v", "^f[.]txt$", target), stderr=err,
                                stdout=lines(renaming(entry("f.txt"), target, 1), stats(not err, bool(err), 1)))
                self.assert_tree(before if err else {"g.txt": "g", "new": {"deep": {"f.txt": "f"}}})
                self.assert_tree({}, root=self.other)

    def test_names_with_a_trailing_dot_are_reached_exactly(self):
        # Made on the Unix side, "foo." is reached as it is, also with a
        # directory foo beside it, never foo instead.
        renamed = renaming(entry("foo.", "x.txt"), entry("foo.", "y.txt"), 1)
        for tree, skipped in (({"foo.": {"x.txt": "x"}}, 1), ({"foo.": {"x.txt": "x"}, "foo": {"y.txt": "Y"}}, 3)):
            with self.subTest(tree=tree):
                self.assert_run(self.tarn("-rdv", "x[.]txt$", "y.txt", cwd=(where := self.fresh(tree))),
                                stdout=lines(renamed, stats(1, 0, skipped, True)))
                self.assert_tree(dict(tree, **{"foo.": {"y.txt": "x"}}), root=where)

    def test_move_to_another_drive(self):
        # Watched while a large file is copied: the copy is listed under a
        # temporary name beside the target and under the real name only whole.
        # The read-only attribute and the times travel with it, and the
        # read-only source is deleted all the same.
        drive = self.drive()
        content, sub, target = os.urandom(64 << 20), os.path.join(self.other, "sub"), drive + "\\sub\\f.txt"
        self.tree({"f.txt": content, "d": {"f": "x"}})
        os.chmod(os.path.join(self.root, "f.txt"), 0o444)
        os.utime(os.path.join(self.root, "f.txt"), ns=(1_500_000_000_123_456_700, 1_234_567_890_987_654_300))
        seen, done = set(), threading.Event()

        def watch():
            while not done.is_set():
                with contextlib.suppress(OSError):  # not there yet, or renamed in between
                    seen.update((item.name, item.stat().st_size) for item in os.scandir(sub))
        watcher = threading.Thread(target=watch)
        watcher.start()
        result = self.tarn("-v", "^f[.]txt$", target)
        done.set()
        watcher.join()
        self.assert_run(result, stdout=lines(renaming(entry("f.txt"), target, 1), stats(1, 0, 1)))
        self.assertTrue(any(re.match(r"\.tarn-\d+-[0-9a-f]{16}\.part$", name) for name, _ in seen), seen)
        self.assertLessEqual({size for name, size in seen if name == "f.txt"}, {len(content)})
        self.assertEqual((os.stat(os.path.join(sub, "f.txt")).st_mode & 0o222,
                          os.stat(os.path.join(sub, "f.txt")).st_mtime_ns), (0, 1_234_567_890_987_654_300))
        # A directory is not moved: Wine answers access denied where Windows
        # gives its cross-device error; either way the [rn] line reports it.
        result = self.tarn("-dv", "^.*d$", drive + "\\d")
        self.assertEqual((result.stdout, result.returncode, result.stderr[:15], result.stderr.count(b"\n")), (
            lines(renaming(entry("d"), drive + "\\d", 1), stats(0, 1, 0, True)), 0, rn_error("").encode(), 1))
        self.assert_tree({"d": {"f": "x"}})
        self.assert_tree({"sub": {"f.txt": content}}, root=self.other)

    def test_copy_to_another_drive_is_no_more_readable_than_its_source(self):
        # The copy is readable by its owner alone while it fills, and ends
        # with the source's access list, not the target directory's. Wine
        # keeps that list as the Unix mode, with Everyone as "others": who
        # else may read it shows in the others' read bit.
        drive, content = self.drive(), os.urandom(64 << 20)
        sub = os.path.join(self.other, "sub")
        self.tree({"f.txt": content, "g.txt": "g", "h.txt": "h"})
        for name, mode in (("f.txt", 0o640), ("g.txt", 0o600), ("h.txt", 0o644)):
            os.chmod(os.path.join(self.root, name), mode)
        modes, done = set(), threading.Event()

        def watch():
            while not done.is_set():
                with contextlib.suppress(OSError), os.scandir(sub) as items:
                    modes.update(item.stat().st_mode & 0o004 for item in items if item.name.endswith(".part"))
        watcher = threading.Thread(target=watch)
        watcher.start()
        result = self.tarn("-v", "^f[.]txt$", drive + "\\sub\\f.txt")
        done.set()
        watcher.join()
        self.assert_run(result, stdout=lines(renaming(entry("f.txt"), drive + "\\sub\\f.txt", 1), stats(1, 0, 2)))
        self.assertEqual(modes, {0})
        self.assertEqual(self.tarn("^([gh][.]txt)$", drive + "\\sub\\$1").returncode, 0)
        self.assertEqual([os.stat(os.path.join(sub, name)).st_mode & 0o004 for name in ("f.txt", "g.txt", "h.txt")],
                         [0, 0, 0o004])
        self.assert_tree({"sub": {"f.txt": content, "g.txt": "g", "h.txt": "h"}}, root=self.other)

    def test_links_of_ones_own_and_a_typed_dotdot_on_the_way(self):
        # A link the user made is followed; a ".." typed after it goes back
        # the way the name came, as the system reads the path, not to the
        # link target's parent.
        for target, where in (("pics\\x.jpg", ("target", "x.jpg")), ("pics\\..\\x.jpg", ("x.jpg",)),
                              ("sub\\..\\new\\..\\x.jpg", ("x.jpg",))):
            with self.subTest(target=target):
                root = self.fresh({"a.jpg": "a", "sub": {}, "target": {"t": "t"}})
                os.symlink("target", os.path.join(root, "pics"))
                self.assert_run(self.tarn("-v", "^a[.]jpg$", target, cwd=root),
                                stdout=lines(renaming(entry("a.jpg"), target, 1), stats(1, 0, 3)))
                self.assertEqual(harness.snapshot(os.path.join(root, *where[:-1]))[where[-1]], b"a")
