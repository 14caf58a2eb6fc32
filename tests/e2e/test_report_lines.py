"""Every report line at verbosity 0, 1, 2 (and 3, read as 2) with its summary.
A row with a "src" directory starts there (s letter), so the output does not
depend on listing order; without d the new name lands in the working directory."""

import harness
from harness import (cant_rename, cd_error, entry, lines, path, processed, renamed_line,
                     renaming, simulation, skipping_no_match, skipping_type, stats, would_rename)


def rows():
    a, d, deep = path("src", "a.txt"), path("src", "a"), path("x", "y", "a.txt")
    in_the_way = path("f.txt", "x", "y", "a.txt")
    stats_d, stats_new = stats(0, 0, 1, directories=True), stats(1, 0, 0, directories=True)
    sep = harness.config.separator
    refused = [cant_rename(a, "b.txt")]
    table = [
        # name, tree, letters, pattern, replacement,
        # (stdout at verbosity 0, 1, 2), stderr, tree afterwards (None: unchanged)
        ("rename", {"src": {"a.txt": "A"}}, "", "a", "b",
         ([], [renaming(a, "b.txt", 1), stats(1, 0, 0)],
          [renaming(a, "b.txt", 2), renamed_line(a, "b.txt"), stats(1, 0, 0)]),
         [], {"src": {}, "b.txt": "A"}),
        ("rename into new directories", {"src": {"a.txt": "A"}}, "", "^a", path("x", "y", "a"),
         ([], [renaming(a, deep, 1), stats(1, 0, 0)],
          [renaming(a, deep, 2), renamed_line(a, deep), stats(1, 0, 0)]),
         [], {"src": {}, "x": {"y": {"a.txt": "A"}}}),
        ("no match", {"src": {"a.txt": "A"}}, "", "zz", "b",
         ([], [stats(0, 0, 1)], [skipping_no_match(a), stats(0, 0, 1)]), [], None),
        ("directory without d", {"src": {"a": {}}}, "", "a", "b",
         ([], [stats(0, 0, 1)], [skipping_type(d), stats(0, 0, 1)]), [], None),
        ("file onto existing file", {"src": {"a.txt": "A"}, "b.txt": "B"}, "", "a", "b",
         (refused, refused + [stats(0, 1, 0)], refused + [stats(0, 1, 0)]), [], None),
        ("file onto existing directory", {"src": {"a.txt": "A"}, "b.txt": {}}, "", "a", "b",
         (refused, refused + [stats(0, 1, 0)], refused + [stats(0, 1, 0)]), [], None),
        ("file named as itself", {"a.txt": "A"}, "", "a", "a",
         ([cant_rename(entry("a.txt"), "a.txt")],
          [cant_rename(entry("a.txt"), "a.txt"), stats(0, 1, 0)],
          [cant_rename(entry("a.txt"), "a.txt"), stats(0, 1, 0)]), [], None),
        ("directory onto existing directory", {"src": {"a": {"f": "F"}}, "b": {}}, "d",
         "src.a", "b", ([], [stats_d], [processed(d), stats_d]), [], None),
        ("directory named as itself", {"a": {}}, "d", "a", "a",
         ([], [stats_d], [processed(entry("a")), stats_d]), [], None),
        ("dry run", {"src": {"a.txt": "A"}}, "n", "^a", path("x", "y", "a"),
         ([], [would_rename(a, deep), simulation(1)], [would_rename(a, deep), simulation(1)]),
         [], None),
        ("dry run onto existing file", {"src": {"a.txt": "A"}, "b.txt": "B"}, "n", "a", "b",
         (refused, refused + [simulation(0)], refused + [simulation(0)]), [], None),
        ("dry run of a directory onto existing file", {"src": {"a": {}}, "b": "B"}, "dn",
         "src.a", "b", ([], [simulation(0)], [processed(d), simulation(0)]), [], None),
        # Creating f.txt fails with "exists", the elements behind it with a
        # not-found kind of error: the report names the one that matters.
        ("file in the way of a new directory", {"src": {"a.txt": "A"}, "f.txt": "F"}, "", "^a",
         path("f.txt", "x", "y", "a"),
         ([], [renaming(a, in_the_way, 1), stats(0, 1, 0)],
          [renaming(a, in_the_way, 2), stats(0, 1, 0)]),
         [cd_error(harness.system_text("exists"))], None),
        # A trailing separator names a directory: one takes the name itself,
        # a file is refused and no directory is made for it.
        ("directory to a name ending in a separator", {"src": {"a": {}}}, "d", "src.a$", "b" + sep,
         ([], [renaming(d, "b" + sep, 1), stats_new], [renaming(d, "b" + sep, 2),
                                                      renamed_line(d, "b" + sep), stats_new]),
         [], {"src": {}, "b": {}}),
        ("file to a name ending in a separator", {"src": {"a.txt": "A"}}, "", "a.txt", "b" + sep,
         ([], [renaming(a, "b" + sep, 1), stats(0, 1, 0)], [renaming(a, "b" + sep, 2), stats(0, 1, 0)]),
         [harness.rn_error(harness.system_text("notdir"))], None),
    ]
    if harness.is_posix():
        odd, new = path("src", 'q"x\\y.txt'), 'Q"x\\y.txt'
        table.append(
            ("quote and backslash in a name", {"src": {'q"x\\y.txt': "Q"}}, "", "q", "Q",
             ([], [renaming(odd, new, 1), stats(1, 0, 0)],
              [renaming(odd, new, 2), renamed_line(odd, new), stats(1, 0, 0)]),
             [], {"src": {}, new: "Q"}))
        # A directory cannot move into itself: the directories for the target
        # are made, then the system refuses the rename.
        inside, stats_rn = path(".", "a", "b", "a"), stats(0, 1, 0, directories=True)
        table.append(
            ("rename refused by the system", {"a": {}}, "d", "^.*$", inside,
             ([], [renaming(entry("a"), inside, 1), stats_rn],
              [renaming(entry("a"), inside, 2), stats_rn]),
             [harness.rn_error("Invalid argument")], {"a": {"b": {}}}))
    return table


class report_lines_test(harness.tarn_case):

    def test_report_lines_per_verbosity(self):
        for name, tree, letters, pattern, replacement, out, err, after in rows():
            for verbosity in (0, 1, 2, 3):
                with self.subTest(name, verbosity=verbosity):
                    where = self.fresh(tree)
                    args = ["-" + letters + "v" * verbosity, pattern, replacement]
                    if "src" in tree:
                        args = ["-s" + args[0][1:]] + args[1:] + ["src"]
                    result = self.tarn(*args, cwd=where)
                    self.assert_run(result, stdout=lines(*out[min(verbosity, 2)]),
                                    stderr=lines(*err))
                    self.assert_tree(after if after is not None else tree, root=where)
