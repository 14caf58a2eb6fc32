"""Existing targets and collisions: nothing is ever renamed onto an existing
entry, two entries mapping to one name, a new name equal to the old."""

import harness
from harness import (cant_rename, entry, lines, processed, renaming, simulation, stats,
                     would_rename)


class targets_test(harness.tarn_case):

    def test_two_files_mapping_to_one_name(self):
        # Whichever comes first in reverse listing order is renamed; the other
        # finds the target taken and is refused, at every verbosity.
        for option in ["-v", "-"]:
            with self.subTest(option=option):
                where = self.fresh({"a1.txt": "1", "a2.txt": "2"})
                result = self.tarn(option, "[0-9]", "", cwd=where)
                after = harness.snapshot(where)
                winner = "a%s.txt" % after.get("a.txt", b"?").decode()
                loser = "a1.txt" if winner == "a2.txt" else "a2.txt"
                self.assertEqual(after, harness.normalised({"a.txt": winner[1], loser: loser[1]}))
                expected = [cant_rename(entry(loser), "a.txt")]
                if option == "-v":
                    expected = [renaming(entry(winner), "a.txt", 1)] + expected + [stats(1, 1, 0)]
                self.assert_run(result, stdout=lines(*expected))

    def test_two_directories_mapping_to_one_name(self):
        where = self.fresh({"d1": {"f": "1"}, "d2": {"f": "2"}})
        result = self.tarn("-dvv", "[0-9]$", "", cwd=where)
        after = harness.snapshot(where)
        winner = "d" + after.get("d", {}).get("f", b"?").decode()
        loser = "d1" if winner == "d2" else "d2"
        self.assertEqual(after, {"d": {"f": winner[1:].encode()}, loser: {"f": loser[1:].encode()}})
        self.assert_run(result, stdout=lines(
            renaming(entry(winner), entry("d"), 2),
            harness.renamed_line(entry(winner), entry("d")),
            processed(entry(loser)),
            stats(1, 0, 1, directories=True)))

    def test_dry_run_counts_both_of_two_entries_mapping_to_one_name(self):
        where = self.fresh({"a1.txt": "1", "a2.txt": "2"})
        result = self.tarn("-vn", "[0-9]", "", cwd=where)
        out = result.stdout.split(harness.config.line_end.encode())
        self.assertEqual(sorted(out[:2]), sorted(
            [would_rename(entry(name), "a.txt").encode() for name in ("a1.txt", "a2.txt")]))
        self.assertEqual(out[2:], [simulation(2).encode(), b""])
        self.assertEqual((result.stderr, result.status), (b"", 0))
        self.assert_tree({"a1.txt": "1", "a2.txt": "2"}, root=where)

    def test_new_name_equal_to_the_old(self):
        cases = [
            # A file finds itself as the existing target and is refused.
            ("file", {"a.txt": "A"}, "-v", "a", "a",
             [cant_rename(entry("a.txt"), "a.txt"), stats(0, 1, 0)]),
            ("file, whole match put back", {"a.txt": "A"}, "-vv", "^.*$", "$&",
             [cant_rename(entry("a.txt"), "a.txt"), stats(0, 1, 0)]),
            # A directory finds itself and is counted as skipped.
            ("directory", {"a": {}}, "-dvv", "a", "a",
             [processed(entry("a")), stats(0, 0, 1, directories=True)]),
        ]
        for name, tree, option, pattern, replacement, out in cases:
            with self.subTest(name):
                where = self.fresh(tree)
                self.assert_run(self.tarn(option, pattern, replacement, cwd=where),
                                stdout=lines(*out))
                self.assert_tree(tree, root=where)

    def test_new_name_differing_only_in_letter_case(self):
        # Where letter case counts the entry is renamed; where it does not,
        # the target is the entry itself and it is refused or skipped.
        old = entry("abc")
        for tree, directories in [({"abc": "x"}, False), ({"abc": {}}, True)]:
            with self.subTest(directories=directories):
                where = self.fresh(tree)
                result = self.tarn("-dvv" if directories else "-v", "b", "B", cwd=where)
                new = entry("aBc") if directories else "aBc"
                if harness.is_posix():
                    out = [renaming(old, new, 2 if directories else 1)]
                    if directories:
                        out.append(harness.renamed_line(old, new))
                    out.append(stats(1, 0, 0, directories))
                    after = {"aBc": tree["abc"]}
                elif directories:
                    out = [processed(old), stats(0, 0, 1, directories)]
                    after = tree
                else:
                    out = [cant_rename(old, new), stats(0, 1, 0)]
                    after = tree
                self.assert_run(result, stdout=lines(*out))
                self.assert_tree(after, root=where)

    def test_existing_targets_are_left_untouched_at_verbosity_0(self):
        # Existing target of every kind; the entry and the target both stay.
        tree = {"src": {"a.txt": "new"}, "b.txt": "old", "c.txt": {"keep": "k"}}
        for replacement, shown in [("b", "b.txt"), ("c", "c.txt")]:
            with self.subTest(replacement=replacement):
                where = self.fresh(tree)
                result = self.tarn("-s", "a", replacement, "src", cwd=where)
                self.assert_run(result, stdout=lines(
                    cant_rename(harness.path("src", "a.txt"), shown)))
                self.assert_tree(tree, root=where)
