"""Every per-entry report line at verbosity 0, 1, 2 (and 3, which reads as 2),
byte for byte, with the summary that follows it.

Each row starts in a directory "src" that holds a single entry (given with
the s letter), so the output does not depend on the order in which the
platform lists a directory; without d the new name lands in the working
directory."""

import harness
from harness import (cant_rename, lines, path, processed, renamed_line, renaming,
                     simulation, skipping_no_match, skipping_type, stats, would_rename)


def rows():
    a = path("src", "a.txt")
    d = path("src", "a")
    deep = path("x", "y", "a.txt")
    table = [
        # name, tree, letters, pattern, replacement,
        # {verbosity: stdout lines}, stderr lines, tree afterwards
        ("rename", {"src": {"a.txt": "A"}}, "", "a", "b",
         {0: [], 1: [renaming(a, "b.txt", 1), stats(1, 0, 0)],
          2: [renaming(a, "b.txt", 2), renamed_line(a, "b.txt"), stats(1, 0, 0)]},
         [], {"src": {}, "b.txt": "A"}),
        ("rename into new directories", {"src": {"a.txt": "A"}}, "", "^a",
         path("x", "y", "a"),
         {0: [], 1: [renaming(a, deep, 1), stats(1, 0, 0)],
          2: [renaming(a, deep, 2), renamed_line(a, deep), stats(1, 0, 0)]},
         [], {"src": {}, "x": {"y": {"a.txt": "A"}}}),
        ("no match", {"src": {"a.txt": "A"}}, "", "zz", "b",
         {0: [], 1: [stats(0, 0, 1)], 2: [skipping_no_match(a), stats(0, 0, 1)]},
         [], None),
        ("directory without d", {"src": {"a": {}}}, "", "a", "b",
         {0: [], 1: [stats(0, 0, 1)], 2: [skipping_type(d), stats(0, 0, 1)]},
         [], None),
        ("file onto existing file", {"src": {"a.txt": "A"}, "b.txt": "B"}, "", "a", "b",
         {0: [cant_rename(a, "b.txt")], 1: [cant_rename(a, "b.txt"), stats(0, 1, 0)],
          2: [cant_rename(a, "b.txt"), stats(0, 1, 0)]},
         [], None),
        ("file onto existing directory", {"src": {"a.txt": "A"}, "b.txt": {}}, "", "a", "b",
         {0: [cant_rename(a, "b.txt")], 1: [cant_rename(a, "b.txt"), stats(0, 1, 0)],
          2: [cant_rename(a, "b.txt"), stats(0, 1, 0)]},
         [], None),
        ("directory onto existing directory", {"src": {"a": {"f": "F"}}, "b": {}}, "d",
         "src.a", "b",
         {0: [], 1: [stats(0, 0, 1, directories=True)],
          2: [processed(d), stats(0, 0, 1, directories=True)]},
         [], None),
        ("directory onto existing file", {"src": {"a": {}}, "b": "B"}, "d", "src.a", "b",
         {0: [], 1: [stats(0, 0, 1, directories=True)],
          2: [processed(d), stats(0, 0, 1, directories=True)]},
         [], None),
        ("dry run", {"src": {"a.txt": "A"}}, "n", "^a", path("x", "y", "a"),
         {0: [], 1: [would_rename(a, deep), simulation(1)],
          2: [would_rename(a, deep), simulation(1)]},
         [], None),
        ("dry run onto existing file", {"src": {"a.txt": "A"}, "b.txt": "B"}, "n", "a", "b",
         {0: [cant_rename(a, "b.txt")], 1: [cant_rename(a, "b.txt"), simulation(0)],
          2: [cant_rename(a, "b.txt"), simulation(0)]},
         [], None),
    ]
    if harness.is_posix():
        odd = path("src", 'q"x\\y.txt')
        table.append(
            ("quote and backslash in a name", {"src": {'q"x\\y.txt': "Q"}}, "", "q", "Q",
             {0: [], 1: [renaming(odd, 'Q"x\\y.txt', 1), stats(1, 0, 0)],
              2: [renaming(odd, 'Q"x\\y.txt', 2), renamed_line(odd, 'Q"x\\y.txt'),
                  stats(1, 0, 0)]},
             [], {"src": {}, 'Q"x\\y.txt': "Q"}))
        # A directory cannot move into itself: the directories for the target
        # are made, then the system refuses the rename.
        inside = path(".", "a", "b", "a")
        table.append(
            ("rename refused by the system", {"a": {}}, "d", "^.*$", inside,
             {0: [], 1: [renaming(path(".", "a"), inside, 1), stats(0, 1, 0, directories=True)],
              2: [renaming(path(".", "a"), inside, 2), stats(0, 1, 0, directories=True)]},
             [harness.rn_error("Invalid argument")], {"a": {"b": {}}}))
    return table


class report_lines_test(harness.tarn_case):

    def test_report_lines_per_verbosity(self):
        for name, tree, letters, pattern, replacement, out, err, after in rows():
            for verbosity in (0, 1, 2, 3):
                with self.subTest(name, verbosity=verbosity):
                    where = self.fresh(tree)
                    if "src" in tree:
                        args = ["-s" + letters + "v" * verbosity, pattern, replacement, "src"]
                    else:
                        args = ["-" + letters + "v" * verbosity, pattern, replacement]
                    result = self.tarn(*args, cwd=where)
                    self.assert_run(result, stdout=lines(*out[min(verbosity, 2)]),
                                    stderr=lines(*err))
                    self.assert_tree(after if after is not None else tree, root=where)
