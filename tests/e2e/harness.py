"""The end-to-end suite and its helpers: each test runs the program in a fresh
temporary tree and compares both output streams byte for byte, the exit status
and the tree left behind, with the separator and line end of the platform.

    harness.py BINARY posix|windows [RUNNER]

RUNNER is a command prefix put before the binary (for example wine); without
one a Windows build runs natively. The exit status is 0 only when every test
passed or was skipped."""

import os
import pathlib
import shlex
import stat
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass


class config:
    binary, runner, platform, separator, line_end = "", [], "posix", "/", "\n"


def configure(binary, runner, platform):
    config.binary, config.runner, config.platform = os.path.abspath(binary), shlex.split(runner), platform
    config.separator, config.line_end = ("/", "\n") if platform == "posix" else ("\\", "\r\n")


def is_posix():
    return config.platform == "posix"


def under_wine():
    """A Windows build run through a command prefix, whose Z: drive is the Unix root."""
    return not is_posix() and bool(config.runner)


def system_text(kind):
    """The system's text after an error prefix: POSIX's, Wine's own wording, or real Windows'."""
    return {"exists": ("File exists", "File already exists.", "Cannot create a file when that file already exists."),
            "notdir": ("Not a directory", "Directory name invalid.", "The directory name is invalid."),
            "empty": ("No such file or directory", "Path not found.", "The system cannot find the path specified."),
            "cross_device": ("Invalid cross-device link", None, None), "long": ("File name too long", None, None),
            "invalid": ("Invalid argument", "Invalid parameter.", "The parameter is incorrect.")}[kind][0 if is_posix() else 2 - under_wine()]


# A tree is a dict: a name maps to a dict (a directory), str or bytes (a file
# with that content) or a link. snapshot() returns the same form.
@dataclass(frozen=True)
class link:
    target: str


fifo = "<named pipe>"  # a special file, neither a file nor a directory


def make_tree(root, description):
    os.makedirs(root, exist_ok=True)
    for name, value in description.items():
        full = os.path.join(root, name)
        if isinstance(value, dict):
            make_tree(full, value)
        elif isinstance(value, link):
            os.symlink(value.target, full)
        elif value is fifo:
            os.mkfifo(full)
        else:
            with open(full, "wb") as stream:
                stream.write(as_bytes(value))


def snapshot(root):
    result = {}
    for item in os.scandir(root):
        if item.is_symlink() or stat.S_ISFIFO(item.stat().st_mode):
            result[item.name] = link(os.readlink(item.path)) if item.is_symlink() else fifo
        else:
            result[item.name] = snapshot(item.path) if item.is_dir() else pathlib.Path(item.path).read_bytes()
    return result


def normalised(description):
    return {name: normalised(value) if isinstance(value, dict)
            else value if isinstance(value, link) or value is fifo else as_bytes(value)
            for name, value in description.items()}


def as_bytes(value):
    return value if isinstance(value, bytes) else value.encode("utf-8", "surrogateescape")


# Expected output, assembled from the same fixed pieces as the program's.
def lines(*texts):
    return b"".join(as_bytes(text + config.line_end) for text in texts)


def path(*parts):
    return config.separator.join(parts)


def entry(*parts):
    """An entry as the walk writes it below the start path '.'."""
    return path(".", *parts)


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


# One line each, as the program words them.
def skipping_type(old): return " Skipping     '" + quoted(old) + "'."
def skipping_no_match(old): return " Skipping         '" + quoted(old) + "' ..."
def processed(old): return " Processed        '" + quoted(old) + "' ..."
def cant_rename(old, new): return " Can't rename '" + quoted(old) + "' to '" + new + "' - file exists."
def would_rename(old, new): return " Would rename   '" + quoted(old) + "' to '" + new + "' ..."
def renamed_line(old, new): return "Successfully renamed " + old + " to " + new + "."
def cd_error(text): return "   error [cd]: " + text
def rn_error(text): return "   error [rn]: " + text
def simulation(renamed): return " [STATS] The simulation suggested %d renames. Note that some of them might fail." % renamed


def renaming(old, new, verbosity):
    lead = " Renaming           '" if verbosity > 1 else " Renaming       '"
    return lead + quoted(old) + "' to '" + new + "' ..."


def stats(renamed, failed, skipped, directories=False):
    return (" [STATS] Renamed %d files %s(%d failed, %d skipped)."
            % (renamed, "and directories " if directories else "", failed, skipped))


def pattern_error(pattern=None):
    """Without a pattern the short-form wording, with it the option-form one."""
    return lines("tarn could not parse your input regex" + (": " + pattern if pattern else "."),
                 "Aborted.")


class tarn_case(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        temp = tempfile.TemporaryDirectory(prefix="tarn-e2e-")  # gives back permissions a test took away
        self.root = temp.name
        self.addCleanup(temp.cleanup)

    def tree(self, description):
        make_tree(self.root, description)

    def fresh(self, description):
        """A new directory holding the tree, one per row of a table."""
        make_tree(directory := tempfile.mkdtemp(prefix="case", dir=self.root), description)
        return directory

    def tarn(self, *args, cwd=None, timeout=30, prefix=(), **options):
        command = [*prefix, *config.runner, config.binary, *map(os.fsencode, args)]
        # A command prefix such as wine may take far longer to start.
        return subprocess.run(command, cwd=cwd or self.root, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout * (10 if config.runner else 1), **options)

    def assert_run(self, result, stdout=b"", stderr=b"", status=0):
        self.assertEqual((result.stdout, result.stderr, result.returncode), (stdout, stderr, status))

    def assert_tree(self, description, root=None):
        self.assertEqual(snapshot(root or self.root), normalised(description))


def main(binary, platform, runner=""):
    import harness  # the test modules import this module under its own name, not as __main__
    harness.configure(binary, runner, platform)
    here = os.path.dirname(os.path.abspath(__file__))
    tests = unittest.TestLoader().discover(start_dir=here, pattern="test_*.py", top_level_dir=here)
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(tests)
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
