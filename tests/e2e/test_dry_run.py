"""Dry runs report the decisions of a real run and change nothing."""

import harness
from harness import cant_rename, entry, lines, simulation, would_rename


class dry_run_test(harness.tarn_case):

    tree_before = {
        "a.txt": "A",
        "b.txt": "taken",
        "one": {"a.txt": "A1", "two": {"a.txt": "A2"}},
        "adir": {},
    }

    def test_dry_runs_change_nothing(self):
        # Renames, moves into new directories, directory renames and refusals
        # in one tree; the tree is the same afterwards at every verbosity.
        for option in ["-n", "-nv", "-nvv", "-rdn", "-rdnvv", "-rEfn"]:
            for replacement in ["b", harness.path("new", "dir", "b")]:
                with self.subTest(option=option, replacement=replacement):
                    where = self.fresh(self.tree_before)
                    result = self.tarn(option, "a", replacement, cwd=where)
                    self.assertEqual((result.stderr, result.status), (b"", 0))
                    self.assert_tree(self.tree_before, root=where)

    def test_dry_run_at_verbosity_0_prints_only_refusals(self):
        where = self.fresh({"src": {"a.txt": "A", "c.txt": "C"}, "b.txt": "B"})
        result = self.tarn("-sn", "[ac]", "b", "src", cwd=where)
        out = sorted(result.stdout.split(harness.config.line_end.encode()))
        self.assertEqual(out, sorted([b""] + [
            cant_rename(harness.path("src", name), "b.txt").encode()
            for name in ("a.txt", "c.txt")]))

    def test_dry_run_reports_what_a_real_run_would_do(self):
        # The same single-entry run, dry and real: the intention line is the
        # same apart from its lead, and the real run does it.
        new = harness.path("new", "b.txt")
        where = self.fresh({"a.txt": "A"})
        dry = self.tarn("-vn", "a", harness.path("new", "b"), cwd=where)
        self.assert_run(dry, stdout=lines(would_rename(entry("a.txt"), new), simulation(1)))
        real = self.tarn("-v", "a", harness.path("new", "b"), cwd=where)
        self.assert_run(real, stdout=lines(harness.renaming(entry("a.txt"), new, 1),
                                           harness.stats(1, 0, 0)))
        self.assert_tree({"new": {"b.txt": "A"}}, root=where)
