"""Which words lead to the help screen (whose text the README's example pins),
the version, a run or a pattern error in either wording, and the start
directory: no row changes anything."""

import harness
from harness import lines, path, pattern_error, simulation, stats, would_rename


class command_line_test(harness.tarn_case):

    def test_runs_that_change_nothing(self):
        tree = {"abc.txt": "bait", "file.txt": "f", "photos": {"abc.txt": "1"}}
        self.tree(tree)
        start = "photos" + harness.config.separator
        not_a_directory = [lines(s + " does not seem to be a directory. Aborting.") for s in
                           ("file.txt", "missing", path("file.txt", "deeper"))]
        help_screen = self.tarn("-h").stdout
        self.assertTrue(help_screen.startswith(lines("", " This is tarn - move files using regular expressions.")))
        version = lines("", "This is tarn version 2.0.0.")
        # The help screen for: no word, a single word that is not a command, a
        # wrong count, a letter outside the table, s without five words, an
        # option form without its dash, also a short-form pattern read as
        # letters. A single word is compared up to its own length: "-" and
        # the empty word select the version.
        cases = [(args, help_screen, b"", 1) for args in (
            [], ["-x"], ["-Vx"], ["-v", "a", "b", "c", "d"], ["-vq", "a", "b"], ["-rs", "a", "b"], ["-s", "b"],
            ["-x", "b"], ["a", "b", "c", "d"])]
        cases += [
            # arguments, standard output, standard error, status
            (["-h"], help_screen, b"", 0), (["-V"], version, b"", 0), (["-"], version, b"", 0), ([""], version, b"", 0),
            # A short-form pattern with a dash sets its letters too; five
            # words without s start in "." and ignore the last; "-" sets nothing.
            (["-v", "b"], lines(stats(0, 0, 3)), b"", 0),
            (["-rv", "zz", "b", "photos"], lines(stats(0, 0, 4)), b"", 0),
            (["-", "zz", "b"], b"", b"", 0),
            (["(", "x"], b"", pattern_error(), 1),
            (["b{2,1}", "x"], b"", pattern_error(), 1),
            # A quantifier after a quantifier, though the lazy mark is not one.
            (["a**", "x"], b"", pattern_error(), 1),
            (["-v", "x{1}{1,}", "x"], b"", pattern_error("x{1}{1,}"), 1),
            (["-v", "a???", "x"], b"", pattern_error("a???"), 1),
            # Counts and reference numbers the standard matcher would wrap.
            (["a{4294967296}", "x"], b"", pattern_error(), 1),
            (["-v", r"(a)\4294967297", "x"], b"", pattern_error(r"(a)\4294967297"), 1),
            (["-v", "zz??", "x"], lines(stats(0, 0, 3)), b"", 0),
            # A pattern that looks like a wildcard reaches the program as typed.
            (["-v", "*", "x"], b"", pattern_error("*"), 1),
            (["*.txt", "x"], b"", pattern_error(), 1),
            (["-rdv", "a)", "x", "."], b"", pattern_error("a)"), 1),
            # The pattern is compiled before the start directory is examined.
            (["-s", "(", "x", "missing"], b"", pattern_error("("), 1),
            (["-sv", "b", "X", "file.txt"], b"", not_a_directory[0], 1),
            (["-sv", "b", "X", "missing"], b"", not_a_directory[1], 1),
            (["-sv", "b", "X", path("file.txt", "deeper")], b"", not_a_directory[2], 1),
            # The start path's text stays as typed: a trailing separator is not
            # doubled, and with d the subject holds it.
            (["-svn", "b", "X", start], lines(would_rename(start + "abc.txt", "aXc.txt"), simulation(1)), b"", 0),
            (["-svnd", "b", "X", start], lines(would_rename(start + "abc.txt", path("photos", "aXc.txt")),
                                               simulation(1)), b"", 0),
        ]
        for args, out, err, status in cases:
            with self.subTest(args=args):
                self.assert_run(self.tarn(*args), stdout=out, stderr=err, status=status)
                self.assert_tree(tree)
