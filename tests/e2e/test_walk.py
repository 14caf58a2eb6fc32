"""The walk: flat or recursive, pre-order listing handled in reverse, the
listing taken before anything is renamed."""

import os

import harness
from harness import entry, lines, renaming, skipping_no_match, skipping_type, stats


class walk_test(harness.tarn_case):

    def test_recursive_walk_handles_a_directory_after_its_contents(self):
        self.tree({"a": {"b": {"f.txt": "f"}}})
        result = self.tarn("-rdvv", "zz", "y")
        self.assert_run(result, stdout=lines(
            skipping_no_match(entry("a", "b", "f.txt")),
            skipping_no_match(entry("a", "b")),
            skipping_no_match(entry("a")),
            stats(0, 0, 3, directories=True)))

    def test_flat_walk_lists_only_the_start_directory(self):
        self.tree({"a": {"b": {"f.txt": "f"}}})
        result = self.tarn("-dvv", "zz", "y")
        self.assert_run(result, stdout=lines(skipping_no_match(entry("a")),
                                             stats(0, 0, 1, directories=True)))

    def test_empty_start_directory(self):
        for option in ["-v", "-rv", "-rdvv"]:
            with self.subTest(option=option):
                self.assert_run(self.tarn(option, "a", "b"), stdout=lines(
                    stats(0, 0, 0, directories="d" in option)))

    @harness.posix_only("compares with the order the system lists a directory in")
    def test_flat_walk_handles_entries_in_reverse_listing_order(self):
        names = ["n%02d" % i for i in range(40)]
        self.tree({name: name for name in names})
        listed = os.listdir(self.root)
        result = self.tarn("-vv", "zz", "y")
        self.assert_run(result, stdout=lines(
            *[skipping_no_match(entry(name)) for name in reversed(listed)],
            stats(0, 0, len(names))))

    def test_renamed_entries_are_not_handled_again(self):
        # The listing is complete before the first rename: neither the file in
        # its new place (whose name matches again) nor the directory made for
        # it is handed on a second time, also in a recursive walk.
        new = harness.path("new", "aa.txt")
        for option in ["-vv", "-rvv", "-rdvv"]:
            with self.subTest(option=option):
                where = self.fresh({"a.txt": "1"})
                result = self.tarn(option, "a", harness.path("new", "aa"), cwd=where)
                if "d" in option:
                    # The subject is the whole path; "./" stays in front.
                    new_name = harness.path(".", new)
                else:
                    new_name = new
                self.assert_run(result, stdout=lines(
                    renaming(entry("a.txt"), new_name, 2),
                    harness.renamed_line(entry("a.txt"), new_name),
                    stats(1, 0, 0, directories="d" in option)))
                self.assert_tree({"new": {"aa.txt": "1"}}, root=where)

    def test_recursive_walk_without_d_moves_into_working_directory(self):
        self.tree({"a": {"b": {"f.txt": "f"}}})
        result = self.tarn("-rv", "f", "g")
        self.assert_run(result, stdout=lines(renaming(entry("a", "b", "f.txt"), "g.txt", 1),
                                             stats(1, 0, 2)))
        self.assert_tree({"a": {"b": {}}, "g.txt": "f"})

    @harness.posix_only("makes symbolic links with the system's own call")
    def test_links_are_listed_but_never_walked_into(self):
        self.tree({"real": {"f.txt": "f"}})
        os.symlink("real", os.path.join(self.root, "link"))
        os.symlink("nowhere", os.path.join(self.root, "dangling"))
        # Without d the directory and the link to it are skipped at the type
        # filter; the dangling link is skipped as well. Only real/f.txt is
        # seen below them.
        result = self.tarn("-rvv", "zz", "y")
        out = result.stdout.decode().splitlines()
        self.assertEqual(sorted(out[:-1]), sorted([
            skipping_type(entry("dangling")), skipping_type(entry("link")),
            skipping_type(entry("real")), skipping_no_match(entry("real", "f.txt"))]))
        self.assertEqual(out[-1], stats(0, 0, 4))
        # A link to a file is renamed itself (the link, not its target).
        os.symlink(os.path.join("real", "f.txt"), os.path.join(self.root, "flink"))
        self.assert_run(self.tarn("flink", "moved"))
        self.assert_tree({"real": {"f.txt": "f"}, "link": harness.link("real"),
                          "dangling": harness.link("nowhere"),
                          "moved": harness.link(os.path.join("real", "f.txt"))})
