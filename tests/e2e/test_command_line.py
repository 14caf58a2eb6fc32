"""Help and version bytes and statuses (the dispatch is unit tested),
pattern errors in both wordings, and the start directory."""

import harness
from harness import lines, path, pattern_error, simulation, would_rename

bait = {"abc.txt": "bait"}  # what any of the runs below would rename


class command_line_test(harness.tarn_case):

    def test_commands_and_malformed_lines(self):
        self.tree(bait)
        cases = [
            (["-h"], harness.help_text, 0),
            (["-V"], ["", "This is tarn version 2.0.0."], 0),
            ([], harness.help_text, 1),
            (["-x"], harness.help_text, 1),
            (["-v", "a", "b", "c", "d"], harness.help_text, 1),
        ]
        for args, out, status in cases:
            with self.subTest(args=args):
                self.assert_run(self.tarn(*args), stdout=lines(*out), status=status)
                self.assert_tree(bait)

    def test_pattern_errors(self):
        self.tree(bait)
        cases = [
            (["(", "x"], None),
            (["b{2,1}", "x"], None),
            # A pattern that looks like a wildcard reaches the program as typed.
            (["-v", "*", "x"], "*"),
            (["*.txt", "x"], None),
            (["-rdv", "a)", "x", "."], "a)"),
            # The pattern is compiled before the start directory is examined.
            (["-s", "(", "x", "no-such-directory"], "("),
        ]
        for args, shown in cases:
            with self.subTest(args=args):
                self.assert_run(self.tarn(*args), stderr=pattern_error(shown), status=1)
                self.assert_tree(bait)

    def test_start_that_is_not_a_directory(self):
        self.tree({"file.txt": "f", "abc.txt": "bait"})
        for start in ["file.txt", "missing", path("missing", "deeper"), path("file.txt", "deeper")]:
            with self.subTest(start=start):
                self.assert_run(self.tarn("-sv", "b", "X", start), status=1, stderr=lines(
                    start + " does not seem to be a directory. Aborting."))
                self.assert_tree({"file.txt": "f", "abc.txt": "bait"})

    def test_start_path_text_stays_as_typed(self):
        # A trailing separator is not doubled; with d the subject is built
        # from the parent path with one separator.
        self.tree({"photos": {"abc.txt": "1"}})
        start = "photos" + harness.config.separator
        for letters, new in [("", "aXc.txt"), ("d", path("photos", "aXc.txt"))]:
            with self.subTest(letters=letters):
                self.assert_run(self.tarn("-svn" + letters, "b", "X", start), stdout=lines(
                    would_rename(start + "abc.txt", new), simulation(1)))
