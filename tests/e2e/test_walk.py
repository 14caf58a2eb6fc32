"""The walk: flat or recursive, a directory after its contents, reverse
listing order, the listing complete before any rename, links not followed."""

import os

import harness
from harness import entry, lines, path, processed, renamed_line, renaming, skipping_no_match, stats


class walk_test(harness.tarn_case):

    def test_flat_and_recursive_walks(self):
        tree = {"a": {"b": {"f.txt": "f"}}}
        f, moved, new = entry("a", "b", "f.txt"), entry("c", "b", "f.txt"), entry("new", "aa.txt")
        cases = [
            (tree, "-rdvv", "zz", "y", [skipping_no_match(f), skipping_no_match(entry("a", "b")),
                                        skipping_no_match(entry("a")), stats(0, 0, 3, True)], tree),
            (tree, "-dvv", "zz", "y", [skipping_no_match(entry("a")), stats(0, 0, 1, True)], tree),
            # Without d a file found below moves into the working directory.
            (tree, "-rv", "f", "g", [renaming(f, "g.txt", 1), stats(1, 0, 2)],
             {"a": {"b": {}}, "g.txt": "f"}),
            # The file moves first and makes ./c/b; its directories then find
            # their new names taken.
            (tree, "-rdvv", "a", "c", [renaming(f, moved, 2), renamed_line(f, moved),
                                       processed(entry("a", "b")), processed(entry("a")),
                                       stats(1, 0, 2, True)],
             {"a": {"b": {}}, "c": {"b": {"f.txt": "f"}}}),
            # The listing is complete before the first rename: neither the file
            # in its new place (which matches again) nor its new directory is
            # handed on.
            ({"a.txt": "1"}, "-rdvv", "a", path("new", "aa"),
             [renaming(entry("a.txt"), new, 2), renamed_line(entry("a.txt"), new),
              stats(1, 0, 0, True)], {"new": {"aa.txt": "1"}}),
        ]
        for before, option, pattern, replacement, out, after in cases:
            with self.subTest(option=option, pattern=pattern):
                where = self.fresh(before)
                self.assert_run(self.tarn(option, pattern, replacement, cwd=where),
                                stdout=lines(*out))
                self.assert_tree(after, root=where)

    @harness.posix_only("compares with the order the system lists a directory in")
    def test_flat_walk_handles_entries_in_reverse_listing_order(self):
        self.tree({"n%02d" % i: "x" for i in range(40)})
        listed = os.listdir(self.root)
        self.assert_run(self.tarn("-vv", "zz", "y"), stdout=lines(
            *[skipping_no_match(entry(name)) for name in reversed(listed)], stats(0, 0, 40)))

    def test_links_are_listed_but_never_walked_into(self):
        # Without d the directory and the links are skipped at the type
        # filter; only real/f.txt is seen below them.
        tree = {"real": {"f.txt": "f"}, "link": harness.link("real")}
        if harness.is_posix():
            tree["dangling"] = harness.link("nowhere")
        self.tree(tree)
        result = self.tarn("-rvv", "zz", "y")
        out = result.stdout.split(harness.config.line_end.encode())
        self.assertEqual((sorted(out[:-2]), out[-2:], result.stderr, result.returncode), (
            sorted([harness.skipping_type(entry(name)).encode() for name in tree] +
                   [skipping_no_match(entry("real", "f.txt")).encode()]),
            [stats(0, 0, len(tree) + 1).encode(), b""], b"", 0))
