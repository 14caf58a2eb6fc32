"""The subject and the new name from end to end: -E, -d and -f, and the
replacement codes as the program reads them."""

import harness
from harness import entry, lines, path, renaming, stats



def rows():
    s = harness.config.separator
    table = [
        # file name, letters, pattern, replacement, new name (None: no match)
        ("IMG_1234.jpg", "", r"IMG_(\d+)", "photo-$1", "photo-1234.jpg"),
        ("a-b-c", "", "-", "_", "a_b_c"),
        ("a-b-c", "f", "-", "_", "a_b-c"),
        ("report.final.pdf", "E", r"\.", " ", "report final.pdf"),
        ("report.final.pdf", "", r"\.", " ", "report final pdf"),
        (".profile", "E", "e$", "X", ".profilX"),
        ("archive.tar.gz", "E", "tar", "zip", "archive.zip.gz"),
        ("archive.tar.gz", "E", "gz", "x", None),
        ("abc", "", "x*", "-", "-a-b-c-"),
        ("abc", "", "b", "[$0$&$$$1$x$]", "a[$0b$$x$]c"),
        ("abcd", "", "b(c)", "$`+$'", "aa+dd"),
        ("abab", "", "b", "[$`]", "a[a]a[a]"),
        ("ab", "", "(a)", "[$10][$01][$00]", "[][a][$00]b"),
        ("ab", "", "a", "x$", "x$b"),
        ("aXbXc", "", "X", "$2", "abc"),
        ("Abc", "", "a", "x", None),
        # With d the subject is the whole path, "." in front included.
        ("x.txt", "d", r"\.", "_", path("_", "x_txt")),
        ("x.tar.gz", "dE", "^..", "moved" + s, path("moved", "x.tar.gz")),
        ("x.txt", "df", r"\.", "_", path("_", "x.txt")),
    ]
    if harness.is_posix():
        # A name ending in a dot keeps the dot as its extension.
        table.append(("name.", "E", "e$", "X", "namX."))
    return table


def tree_of(new_name, content):
    """The tree that holds one file at new_name, below the working directory."""
    parts = [part for part in new_name.split(harness.config.separator) if part != "."]
    tree = content
    for part in reversed(parts):
        tree = {part: tree}
    return tree


class options_test(harness.tarn_case):

    def test_subject_and_new_name(self):
        for name, letters, pattern, replacement, new in rows():
            with self.subTest(name=name, letters=letters, pattern=pattern,
                              replacement=replacement):
                where = self.fresh({name: "c"})
                result = self.tarn("-v" + letters, pattern, replacement, cwd=where)
                directories = "d" in letters
                if new is None:
                    self.assert_run(result, stdout=lines(stats(0, 0, 1, directories)))
                    self.assert_tree({name: "c"}, root=where)
                else:
                    self.assert_run(result, stdout=lines(renaming(entry(name), new, 1),
                                                         stats(1, 0, 0, directories)))
                    self.assert_tree(tree_of(new, "c"), root=where)

    def test_directories_only_with_d(self):
        # A matching directory is skipped without d and renamed with it.
        where = self.fresh({"adir": {"f": "f"}})
        self.assert_run(self.tarn("-v", "a", "b", cwd=where), stdout=lines(stats(0, 0, 1)))
        self.assert_run(self.tarn("-vd", "a", "b", cwd=where), stdout=lines(
            renaming(entry("adir"), entry("bdir"), 1), stats(1, 0, 0, directories=True)))
        self.assert_tree({"bdir": {"f": "f"}}, root=where)
