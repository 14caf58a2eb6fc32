"""The subject and the new name with -E, -d and -f, two entries mapping to
one name, and dry runs that change nothing."""

import harness
from harness import cant_rename, entry, lines, path, renaming, simulation, stats, would_rename


def rows():
    table = [
        # file name, letters, pattern, replacement, new name (None: no match)
        ("IMG_1234.jpg", "", r"IMG_(\d+)", "photo-$1", "photo-1234.jpg"),
        ("a-b-c", "f", "-", "_", "a_b-c"),
        ("abc", "", "b", "[$0$&$$$1$x$]", "a[$0b$$x$]c"),
        ("report.final.pdf", "E", r"\.", " ", "report final.pdf"),
        ("archive.tar.gz", "E", "tar", "zip", "archive.zip.gz"),
        ("archive.tar.gz", "E", "gz", "x", None),
        # With d the subject is the whole path, "." in front included.
        ("x.txt", "d", r"\.", "_", path("_", "x_txt")),
        ("x.tar.gz", "dE", "^..", "moved" + harness.config.separator, path("moved", "x.tar.gz")),
        ("x.txt", "df", r"\.", "_", path("_", "x.txt")),
    ]
    return table


class options_test(harness.tarn_case):

    def test_subject_and_new_name(self):
        for name, letters, pattern, replacement, new in rows():
            with self.subTest(name=name, letters=letters, pattern=pattern):
                where = self.fresh({name: "c"})
                result = self.tarn("-v" + letters, pattern, replacement, cwd=where)
                directories = "d" in letters
                if new is None:
                    self.assert_run(result, stdout=lines(stats(0, 0, 1, directories)))
                    self.assert_tree({name: "c"}, root=where)
                    continue
                self.assert_run(result, stdout=lines(renaming(entry(name), new, 1),
                                                     stats(1, 0, 0, directories)))
                tree = "c"
                for part in reversed([p for p in new.split(harness.config.separator) if p != "."]):
                    tree = {part: tree}
                self.assert_tree(tree, root=where)

    def test_two_entries_mapping_to_one_name(self):
        # Whichever comes first in reverse listing order is renamed; the other
        # finds the target taken and is refused at every verbosity. A dry run
        # renames nothing, so both would be renamed.
        for option in ["-v", "-", "-vn"]:
            with self.subTest(option=option):
                where = self.fresh({"a1.txt": "1", "a2.txt": "2"})
                result = self.tarn(option, "[0-9]", "", cwd=where)
                if option == "-vn":
                    out = result.stdout.split(harness.config.line_end.encode())
                    self.assertEqual((sorted(out[:2]), out[2:], result.stderr, result.returncode), (
                        [would_rename(entry(n), "a.txt").encode() for n in ("a1.txt", "a2.txt")],
                        [simulation(2).encode(), b""], b"", 0))
                    self.assert_tree({"a1.txt": "1", "a2.txt": "2"}, root=where)
                    continue
                after = harness.snapshot(where)
                winner = "a%s.txt" % after.get("a.txt", b"?").decode()
                loser = "a1.txt" if winner == "a2.txt" else "a2.txt"
                self.assertEqual(after, harness.normalised({"a.txt": winner[1], loser: loser[1]}))
                expected = [cant_rename(entry(loser), "a.txt")]
                if option == "-v":
                    expected = [renaming(entry(winner), "a.txt", 1)] + expected + [stats(1, 1, 0)]
                self.assert_run(result, stdout=lines(*expected))

    def test_dry_runs_change_nothing(self):
        # Renames, moves into new directories, directory renames and refusals.
        tree = {"a.txt": "A", "b.txt": "taken", "one": {"a.txt": "A1", "two": {"a.txt": "A2"}},
                "adir": {}}
        for option in ["-n", "-nvv", "-rdn", "-rdnvv", "-rEfn"]:
            for replacement in ["b", path("new", "dir", "b")]:
                with self.subTest(option=option, replacement=replacement):
                    where = self.fresh(tree)
                    result = self.tarn(option, "a", replacement, cwd=where)
                    self.assertEqual((result.stderr, result.returncode), (b"", 0))
                    self.assert_tree(tree, root=where)
