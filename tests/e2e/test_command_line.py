"""The command line: dispatch by word count, the two commands, the option
word, the start directory and the two wordings of a pattern error."""

import harness
from harness import entry, lines, renaming, stats

# A file that any of the runs below would rename if it got as far as a walk.
bait = {"abc.txt": "bait"}


class command_line_test(harness.tarn_case):

    def test_help_screen_is_25_lines_with_empty_first_and_last(self):
        text = harness.help_text()
        self.assertEqual(len(harness.help_lines), 25)
        self.assertEqual(text.count(harness.config.line_end.encode()), 25)
        self.tree(bait)
        self.assert_run(self.tarn("-h"), stdout=text, status=0)
        self.assert_tree(bait)

    def test_malformed_command_lines_print_help_with_status_1(self):
        cases = [
            ("program alone", []),
            ("six words", ["-v", "a", "b", "c", "d"]),
            ("seven words", ["-v", "a", "b", "c", "d", "e"]),
            ("unknown single argument", ["-x"]),
            ("version with a letter behind", ["-Vx"]),
            ("help with a letter behind", ["-hh"]),
            ("plain word", ["abc"]),
            ("dash pattern with an unknown letter", ["-x", "y"]),
            ("unknown letter in option word", ["-x", "abc", "x"]),
            ("unknown letter among known ones", ["-rvq", "abc", "x", "."]),
            ("s with four words", ["-s", "abc", "x"]),
            ("rs with four words", ["-rs", "abc", "x"]),
            ("s with three words", ["-s", "x"]),
            ("four words without option word", ["abc", "x", "."]),
            ("five words without option word", ["abc", "x", ".", "."]),
        ]
        self.tree(bait)
        for name, args in cases:
            with self.subTest(name, args=args):
                self.assert_run(self.tarn(*args), stdout=harness.help_text(), status=1)
                self.assert_tree(bait)

    def test_version_is_selected_by_any_prefix_of_its_command(self):
        for word in ["-V", "-", ""]:
            with self.subTest(word=word):
                self.assert_run(self.tarn(word), stdout=harness.version_text(), status=0)

    def test_short_form_reads_a_dash_pattern_as_option_word_too(self):
        # "-r" turns recursion on and is also the pattern: the file in the
        # subdirectory is found and, without d, lands in the working directory.
        self.tree({"sub": {"f-r.txt": "x"}})
        self.assert_run(self.tarn("-r", "_x"), status=0)
        self.assert_tree({"sub": {}, "f_x.txt": "x"})

    def test_lone_dash_is_an_empty_option_word_and_a_pattern(self):
        self.tree({"a-b": "x"})
        self.assert_run(self.tarn("-", "_"), status=0)
        self.assert_tree({"a_b": "x"})

    def test_short_form_runs_flat_in_working_directory(self):
        self.tree({"abc.txt": "1", "sub": {"abc.txt": "2"}})
        self.assert_run(self.tarn("b", "X"), status=0)
        self.assert_tree({"aXc.txt": "1", "sub": {"abc.txt": "2"}})

    def test_five_words_without_s_start_in_dot_and_ignore_the_last(self):
        self.tree({"abc.txt": "1"})
        result = self.tarn("-v", "b", "X", "no-such-directory")
        self.assert_run(result, stdout=lines(renaming(entry("abc.txt"), "aXc.txt", 1),
                                             stats(1, 0, 0)))
        self.assert_tree({"aXc.txt": "1"})

    def test_s_starts_in_the_given_directory_and_moves_to_working_directory(self):
        self.tree({"photos": {"abc.txt": "1"}})
        result = self.tarn("-sv", "b", "X", "photos")
        old = harness.path("photos", "abc.txt")
        self.assert_run(result, stdout=lines(renaming(old, "aXc.txt", 1), stats(1, 0, 0)))
        self.assert_tree({"photos": {}, "aXc.txt": "1"})

    def test_start_path_text_stays_as_typed(self):
        # A trailing separator is not doubled; the text before it is kept.
        self.tree({"photos": {"abc.txt": "1"}})
        start = "photos" + harness.config.separator
        result = self.tarn("-svn", "b", "X", start)
        self.assert_run(result, stdout=lines(harness.would_rename(start + "abc.txt", "aXc.txt"),
                                             harness.simulation(1)))
        # With d the subject is built from the parent path: one separator.
        result = self.tarn("-sdvn", "b", "X", start)
        self.assert_run(result, stdout=lines(
            harness.would_rename(start + "abc.txt", harness.path("photos", "aXc.txt")),
            harness.simulation(1)))

    def test_s_with_something_not_a_directory(self):
        self.tree({"file.txt": "f", "abc.txt": "bait"})
        for start in ["file.txt", "missing", harness.path("missing", "deeper"),
                      harness.path("file.txt", "deeper")]:
            with self.subTest(start=start):
                result = self.tarn("-sv", "b", "X", start)
                self.assert_run(result, status=1, stderr=lines(
                    start + " does not seem to be a directory. Aborting."))
                self.assert_tree({"file.txt": "f", "abc.txt": "bait"})

    def test_pattern_errors_in_both_wordings(self):
        self.tree(bait)
        cases = [
            (["(", "x"], None),
            (["[b", "x"], None),
            (["b{2,1}", "x"], None),
            (["-v", "(", "x"], "("),
            (["-v", "*", "x"], "*"),
            (["-rdv", "a)", "x", "."], "a)"),
            (["-sv", "(b", "x", "."], "(b"),
        ]
        for args, shown in cases:
            with self.subTest(args=args):
                self.assert_run(self.tarn(*args), stderr=harness.pattern_error(shown), status=1)
                self.assert_tree(bait)

    def test_pattern_is_compiled_before_the_start_directory_is_examined(self):
        result = self.tarn("-s", "(", "x", "no-such-directory")
        self.assert_run(result, stderr=harness.pattern_error("("), status=1)

    def test_summary_variants(self):
        # A file that does not match and a directory: two skipped entries.
        self.tree({"x": "x", "d": {}})
        cases = [
            ("-r", b""),
            ("-n", b""),
            ("-v", lines(stats(0, 0, 2))),
            ("-vd", lines(stats(0, 0, 2, directories=True))),
            ("-vn", lines(harness.simulation(0))),
            ("-vnd", lines(harness.simulation(0))),
        ]
        for option, expected in cases:
            with self.subTest(option=option):
                self.assert_run(self.tarn(option, "zz", "y"), stdout=expected)
