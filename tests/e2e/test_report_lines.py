"""What one run decides and prints: each row names the entries in the order
they are handled and what becomes of each, runs at verbosity 0, 1, 2 and 3
(read as 2), and checks the exact output against the rules of the report
lines and the summary, the exit status and the tree left behind. A row whose
tree has a "src" directory starts there (s letter); the others start in '.'.
Every row lists at most one entry per directory, so no output depends on the
order in which the system lists a directory."""

import os
import pty
import subprocess
import tty
import unittest

import harness
from harness import (cant_rename, cd_error, entry, lines, path, processed, renamed_line, renaming,
                     rn_error, simulation, skipping_no_match, skipping_type, stats, would_rename)


def expected_stdout(events, verbosity, letters):
    """The report of the events at a verbosity: the model the rows are checked against."""
    dry, out, counts = "n" in letters, [], [0, 0, 0]  # renamed, failed, skipped
    for kind, old, *new in events:
        if kind in ("type", "nomatch", "processed"):
            counts[2] += 1
            shown = {"type": skipping_type, "nomatch": skipping_no_match, "processed": processed}
            out += [shown[kind](old)] if verbosity > 1 else []
        elif kind == "exists":
            counts[1] += 1
            out.append(cant_rename(old, new[0]))
        else:  # "ok" or "fail": a rename the program attempts
            out += [would_rename(old, new[0]) if dry else renaming(old, new[0], verbosity)] if verbosity else []
            counts[0 if dry or kind == "ok" else 1] += 1
            out += [renamed_line(old, new[0])] if kind == "ok" and not dry and verbosity > 1 else []
    if verbosity:
        out.append(simulation(counts[0]) if dry else stats(*counts, directories="d" in letters))
    return lines(*out)


def rows():
    sep, a, d = harness.config.separator, path("src", "a.txt"), path("src", "a")
    deep, in_the_way = path("x", "y", "a.txt"), path("f.txt", "x", "y", "a.txt")
    chain = {"a": {"b": {"f.txt": "f"}}}
    f, b = entry("a", "b", "f.txt"), entry("a", "b")
    table = [
        # tree, letters, pattern, replacement, events in the order handled,
        # standard error, tree afterwards (None: unchanged)
        ({"src": {"a.txt": "A"}}, "", "a", "b", [("ok", a, "b.txt")], [], {"src": {}, "b.txt": "A"}),
        ({"src": {"a.txt": "A"}}, "", "^a", path("x", "y", "a"), [("ok", a, deep)], [],
         {"src": {}, "x": {"y": {"a.txt": "A"}}}),
        ({"src": {"a.txt": "A"}}, "", "zz", "b", [("nomatch", a)], [], None),
        ({"src": {"a": {}}}, "", "a", "b", [("type", d)], [], None),
        ({"src": {"a.txt": "A"}, "b.txt": "B"}, "", "a", "b", [("exists", a, "b.txt")], [], None),
        ({"src": {"a.txt": "A"}, "b.txt": {}}, "", "a", "b", [("exists", a, "b.txt")], [], None),
        ({"a.txt": "A"}, "", "a", "a", [("exists", entry("a.txt"), "a.txt")], [], None),
        ({"src": {"a": {"f": "F"}}, "b": {}}, "d", "src.a", "b", [("processed", d)], [], None),
        ({"a": {}}, "d", "a", "a", [("processed", entry("a"))], [], None),
        ({"src": {"a.txt": "A"}}, "n", "^a", path("x", "y", "a"), [("ok", a, deep)], [], None),
        ({"src": {"a.txt": "A"}, "b.txt": "B"}, "n", "a", "b", [("exists", a, "b.txt")], [], None),
        ({"src": {"a": {}}, "b": "B"}, "dn", "src.a", "b", [("processed", d)], [], None),
        # Creating f.txt fails with "exists", the elements behind it with a
        # not-found kind of error: the report names the one that matters.
        ({"src": {"a.txt": "A"}, "f.txt": "F"}, "", "^a", path("f.txt", "x", "y", "a"),
         [("fail", a, in_the_way)], [cd_error(harness.system_text("exists"))], None),
        # A trailing separator names a directory: one takes the name itself,
        # a file is refused and no directory is made for it.
        ({"src": {"a": {}}}, "d", "src.a$", "b" + sep, [("ok", d, "b" + sep)], [], {"src": {}, "b": {}}),
        ({"src": {"a.txt": "A"}, "b": "B"}, "", "a.txt", "b" + sep, [("fail", a, "b" + sep)],
         [rn_error(harness.system_text("notdir"))], None),
        # The subject: name, stem (E), whole path with the leading "." (d), first match only (f).
        ({"IMG_1234.jpg": "c"}, "", r"IMG_(\d+)", "photo-$1", [("ok", entry("IMG_1234.jpg"), "photo-1234.jpg")],
         [], {"photo-1234.jpg": "c"}),
        ({"a-b-c": "c"}, "f", "-", "_", [("ok", entry("a-b-c"), "a_b-c")], [], {"a_b-c": "c"}),
        ({"abc": "c"}, "", "b", "[$0$&$$$1$x$]", [("ok", entry("abc"), "a[$0b$$x$]c")], [], {"a[$0b$$x$]c": "c"}),
        ({"r.final.pdf": "c"}, "E", r"\.", " ", [("ok", entry("r.final.pdf"), "r final.pdf")], [],
         {"r final.pdf": "c"}),
        ({"a.tar.gz": "c"}, "E", "gz", "x", [("nomatch", entry("a.tar.gz"))], [], None),
        ({"x.txt": "c"}, "d", r"\.", "_", [("ok", entry("x.txt"), path("_", "x_txt"))], [], {"_": {"x_txt": "c"}}),
        ({"x.tar.gz": "c"}, "dEf", "^..", "m" + sep, [("ok", entry("x.tar.gz"), path("m", "x.tar.gz"))], [],
         {"m": {"x.tar.gz": "c"}}),
        # ECMAScript where the standard matcher reads otherwise: \cA is the
        # byte 1, not "A"; a reference to a group not yet opened, or from
        # outside a negative lookahead to a group inside it, matches empty.
        ({"A": "c"}, "", r"\cA", "x", [("nomatch", entry("A"))], [], None),
        ({"A": "c"}, "", r"\1(A)", "[$1]", [("ok", entry("A"), "[A]")], [], {"[A]": "c"}),
        ({"A": "c"}, "", r"\u0041", "x", [("ok", entry("A"), "x")], [], {"x": "c"}),
        # An empty new name names nothing: its rename is tried, and fails.
        ({"a.txt": "A"}, "", ".*", "", [("fail", entry("a.txt"), "")], [rn_error(harness.system_text("empty"))], None),
        ({"a": {}}, "d", ".*", "", [("fail", entry("a"), "")], [rn_error(harness.system_text("empty"))], None),
        ({"a": {}}, "dn", ".*", "", [("ok", entry("a"), "")], [], None),
        ({"baaabaac": "c"}, "", r"(.*?)a(?!(a+)b\2c)\2(.*)", "[$1,$2,$3]",
         [("ok", entry("baaabaac"), "[ba,,abaac]")], [], {"[ba,,abaac]": "c"}),
        # The walk: a directory after its contents; the listing is complete
        # before the first rename, so the file in its new place (which would
        # match again) and the directories made for it are not handed on.
        (chain, "rd", "zz", "y", [("nomatch", f), ("nomatch", b), ("nomatch", entry("a"))], [], None),
        (chain, "d", "zz", "y", [("nomatch", entry("a"))], [], None),
        (chain, "r", "f", "g", [("ok", f, "g.txt"), ("type", b), ("type", entry("a"))], [],
         {"a": {"b": {}}, "g.txt": "f"}),
        (chain, "rd", "a", "c", [("ok", f, entry("c", "b", "f.txt")), ("processed", b), ("processed", entry("a"))],
         [], {"a": {"b": {}}, "c": {"b": {"f.txt": "f"}}}),
        (chain, "rdn", "a", "c", [("ok", f, entry("c", "b", "f.txt")), ("ok", b, entry("c", "b")),
                                  ("ok", entry("a"), entry("c"))], [], None),
        ({"f.txt": "1"}, "rd", "f", path("new", "ff"), [("ok", entry("f.txt"), entry("new", "ff.txt"))], [],
         {"new": {"ff.txt": "1"}}),
        # A link is listed but never walked into.
        ({"src": {"l": harness.link("../t")}, "t": {"f.txt": "f"}}, "r", "f", "g",
         [("type", path("src", "l"))], [], None),
    ]
    if harness.under_wine():
        # Made on the Unix side: read as typed paths, "foo." and "bar " would
        # be "foo" and "bar", and CON the console. The volume ignores case: a
        # file is refused a new name that differs only in case, as the name of
        # a file that is there (itself); a directory is skipped.
        for name, new in (("foo.", "foo_dot"), ("bar ", "bar_sp"), ("CON", "con_")):
            table.append(({"src": {name: "n"}}, "", "^.+$", new, [("ok", path("src", name), new)], [], {"src": {}, new: "n"}))
        table.append(({"a.TXT": "A"}, "", "a[.]TXT", "A.txt", [("exists", entry("a.TXT"), "A.txt")], [], None))
        table.append(({"Dir": {}}, "d", "Dir$", "dir", [("processed", entry("Dir"))], [], None))
    elif harness.is_posix():
        # Control characters are no part of a Windows name.
        table.append(({"\x01": "c"}, "", r"[\ca]\cA?", "<$&>", [("ok", entry("\x01"), "<\x01>")], [], {"<\x01>": "c"}))
        odd, new = path("src", 'q"x\\y.txt'), 'Q"x\\y.txt'
        table.append(({"src": {'q"x\\y.txt': "Q"}}, "", "q", "Q", [("ok", odd, new)], [], {"src": {}, new: "Q"}))
        # A special file is neither renamed nor taken for absent as a target.
        table.append(({"src": {"a.txt": "A"}, "b.txt": harness.fifo}, "", "a", "b", [("exists", a, "b.txt")], [], None))
        table.append(({"src": {"p": harness.fifo}}, "", "p", "q", [("type", path("src", "p"))], [], None))
        # A directory cannot move into itself: the directories for the target
        # are made, then the system refuses the rename.
        inside = path(".", "a", "b", "a")
        table.append(({"a": {}}, "d", "^.*$", inside, [("fail", entry("a"), inside)],
                      [rn_error("Invalid argument")], {"a": {"b": {}}}))
    return table


class report_lines_test(harness.tarn_case):

    def test_report_lines_per_verbosity(self):
        for tree, letters, pattern, replacement, events, err, after in rows():
            for verbosity in (0, 1, 2, 3):
                with self.subTest(letters=letters, pattern=pattern, events=events, verbosity=verbosity):
                    where = self.fresh(tree)
                    args = ["-" + letters + "v" * verbosity, pattern, replacement]
                    if "src" in tree:
                        args = ["-s" + args[0][1:]] + args[1:] + ["src"]
                    self.assert_run(self.tarn(*args, cwd=where), stderr=lines(*err),
                                    stdout=expected_stdout(events, verbosity, letters))
                    self.assert_tree(after if after is not None else tree, root=where)

    @unittest.skipUnless(harness.is_posix(), "a pseudo-terminal")
    def test_control_characters_shown_on_a_terminal_kept_in_a_pipe(self):
        # On a terminal (raw, so its line ends stay as written) each control
        # character is shown in caret notation; a pipe gets the bytes as they are.
        name, shown = "a\x1b[2J\rb\x7f\x01.txt", "a^[[2J^Mb^?^A.txt"
        self.tree({name: "n"})
        report = lambda text: lines(would_rename(entry(text), "x" + text[1:]), simulation(1))
        refusal = lambda text: lines(text + " does not seem to be a directory. Aborting.")
        for args, terminal, expected in ((["-nv", "^a", "x"], 1, (report(shown), b"", 0)),
                                         (["-nv", "^a", "x"], 2, (report(name), b"", 0)),
                                         (["-sv", "^a", "x", name], 2, (b"", refusal(shown), 1)),
                                         (["-sv", "^a", "x", name], 1, (b"", refusal(name), 1))):
            with self.subTest(args=args, terminal=terminal):
                main, end = pty.openpty()
                tty.setraw(end)
                with subprocess.Popen([harness.config.binary, *map(os.fsencode, args)], cwd=self.root,
                                      stdin=subprocess.DEVNULL, stdout=end if terminal == 1 else subprocess.PIPE,
                                      stderr=end if terminal == 2 else subprocess.PIPE) as process:
                    os.close(end)
                    result = [*process.communicate(timeout=30), process.returncode]
                try:
                    result[terminal - 1] = os.read(main, 65536)  # all there once the program has ended
                except OSError:  # nothing was written
                    result[terminal - 1] = b""
                os.close(main)
                self.assertEqual(tuple(result), expected)
        self.assert_tree({name: "n"})
