"""Creation of the directories a new name needs, and the [cd] error."""

import harness
from harness import cd_error, entry, lines, path, processed, renamed_line, renaming, stats


class directories_test(harness.tarn_case):

    def test_photo_example_from_the_usage_notes(self):
        # -rdv with the whole path as subject: the file moves into a new
        # directory beside it, the directory itself does not match.
        self.tree({"a": {"12.jpeg": "jpeg"}})
        new = path(".", "a", "photos", "img12.jpg")
        result = self.tarn("-rdv", "([0-9]+)[.]jpeg", path("photos", "img$1.jpg"))
        self.assert_run(result, stdout=lines(renaming(entry("a", "12.jpeg"), new, 1),
                                             stats(1, 0, 1, directories=True)))
        self.assert_tree({"a": {"photos": {"img12.jpg": "jpeg"}}})

    def test_renaming_a_directory_on_the_path_gathers_its_contents(self):
        # Each file moves into ./new, made by the first move; the old
        # directory then finds ./new in place and is counted as skipped.
        self.tree({"old": {"x.txt": "x"}})
        result = self.tarn("-rdvv", "old", "new")
        self.assert_run(result, stdout=lines(
            renaming(entry("old", "x.txt"), entry("new", "x.txt"), 2),
            renamed_line(entry("old", "x.txt"), entry("new", "x.txt")),
            processed(entry("old")),
            stats(1, 0, 1, directories=True)))
        self.assert_tree({"old": {}, "new": {"x.txt": "x"}})

    def test_existing_directories_on_the_way_are_used(self):
        self.tree({"a.txt": "A", "x": {"keep": "k"}})
        self.assert_run(self.tarn("^a", path("x", "y", "z", "a")))
        self.assert_tree({"x": {"keep": "k", "y": {"z": {"a.txt": "A"}}}})

    def test_file_in_the_way_gives_the_already_exists_error(self):
        # Creating f.txt fails with "exists", the elements behind it with a
        # not-found kind of error; the report names the one that matters.
        cases = [
            ("file is the whole parent", path("f.txt", "a")),
            ("file early in a deep parent", path("f.txt", "x", "y", "a")),
            ("file in a new directory's place", path("d", "f.txt", "x", "a")),
        ]
        for name, replacement in cases:
            for option in ["-", "-vv"]:
                with self.subTest(name, option=option):
                    tree = {"src": {"a.txt": "A"}, "f.txt": "F", "d": {"f.txt": "F"}}
                    where = self.fresh(tree)
                    result = self.tarn(option + "s", "^a", replacement, "src", cwd=where)
                    new = replacement + ".txt"
                    out = [renaming(path("src", "a.txt"), new, 2), stats(0, 1, 0)]
                    self.assert_run(result, stdout=lines(*out) if option == "-vv" else b"",
                                    stderr=lines(cd_error(harness.system_text("exists"))))
                    self.assert_tree(tree, root=where)

    @harness.posix_only("relies on the system's limit on the length of one name")
    def test_directories_made_before_a_failure_stay(self):
        # x and x/y are made, then an element longer than the system allows
        # fails; what was made stays, the file stays where it was.
        self.tree({"a.txt": "A"})
        too_long = "z" * 300
        result = self.tarn("-v", "^a", path("x", "y", too_long, "a"))
        self.assert_run(result, stdout=lines(
            renaming(entry("a.txt"), path("x", "y", too_long, "a.txt"), 1), stats(0, 1, 0)),
            stderr=lines(cd_error("File name too long")))
        self.assert_tree({"a.txt": "A", "x": {"y": {}}})
