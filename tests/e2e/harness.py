"""Shared helpers of the end-to-end suite.

Every test runs the built program in a fresh temporary tree and compares the
exact bytes of both output streams, the exit status and the tree left behind.
The expected texts are written with the separator and line end of the
platform under test, so the same cases run against the native build and
against the Windows build under a command prefix such as wine.
"""

import os
import shlex
import stat
import subprocess
import tempfile
import unittest
from dataclasses import dataclass, field

# --------------------------------------------------------------------------
# Configuration, filled in once by run_e2e.py before the test modules load.


@dataclass
class config_record:
    binary: str = ""
    runner: list = field(default_factory=list)
    platform: str = "posix"
    separator: str = "/"
    line_end: str = "\n"


config = config_record()


def configure(binary, runner, platform):
    if platform not in ("posix", "windows"):
        raise ValueError("platform must be posix or windows, not %r" % platform)
    config.binary = os.path.abspath(binary)
    config.runner = shlex.split(runner or "")
    config.platform = platform
    config.separator = "/" if platform == "posix" else "\\"
    config.line_end = "\n" if platform == "posix" else "\r\n"


def is_posix():
    return config.platform == "posix"


def posix_only(reason):
    """Skips a case that relies on behaviour only a native POSIX build has."""
    return unittest.skipUnless(config.platform == "posix", reason)


# The system's texts that follow the error prefixes of the rename step. The
# Windows build is tested under Wine, whose message table words them its own
# way.
_system_texts = {
    "posix": {
        "exists": "File exists",
        "cross_device": "Invalid cross-device link",
    },
    "windows": {
        "exists": "File already exists.",
    },
}


def system_text(kind):
    return _system_texts[config.platform][kind]


# --------------------------------------------------------------------------
# Trees. A tree is described by a dict: a name maps to a dict (a directory),
# to str or bytes (a regular file with that content) or to a link record (a
# symbolic link). snapshot() returns the same form, so a resulting tree is
# compared with one assertEqual.


@dataclass(frozen=True)
class link:
    target: str


def make_tree(root, description):
    os.makedirs(root, exist_ok=True)
    for name, value in description.items():
        path = os.path.join(root, name)
        if isinstance(value, dict):
            make_tree(path, value)
        elif isinstance(value, link):
            os.symlink(value.target, path)
        else:
            with open(path, "wb") as stream:
                stream.write(_as_bytes(value))


def snapshot(root):
    """The tree below root: names, types and file contents; links not followed."""
    result = {}
    with os.scandir(root) as entries:
        for entry in entries:
            if entry.is_symlink():
                result[entry.name] = link(os.readlink(entry.path))
            elif entry.is_dir():
                result[entry.name] = snapshot(entry.path)
            elif entry.is_file():
                with open(entry.path, "rb") as stream:
                    result[entry.name] = stream.read()
            else:
                result[entry.name] = ("special", stat.S_IFMT(entry.stat().st_mode))
    return result


def normalised(description):
    """A tree description in the form snapshot() returns."""
    result = {}
    for name, value in description.items():
        if isinstance(value, dict):
            result[name] = normalised(value)
        elif isinstance(value, link):
            result[name] = value
        else:
            result[name] = _as_bytes(value)
    return result


def _as_bytes(value):
    return value if isinstance(value, bytes) else value.encode("utf-8", "surrogateescape")


# --------------------------------------------------------------------------
# Running the program.


@dataclass
class run_result:
    status: int
    stdout: bytes
    stderr: bytes


def run_tarn(args, cwd, timeout=30, preexec_fn=None, user=None):
    """Runs the program with the given arguments in cwd.

    timeout guards against a hang; a command prefix such as wine may need
    far longer to start (its first run sets up its prefix), so it is
    stretched then.

    user, when given, is a (uid, gid) pair: the command then runs through
    setpriv with that identity and no supplementary groups.
    """
    command = list(config.runner) + [config.binary] + [os.fsencode(a) for a in args]
    if user is not None:
        command = ["setpriv", "--reuid=%d" % user[0], "--regid=%d" % user[1],
                   "--clear-groups", "--"] + command
    if config.runner:
        timeout *= 10
    completed = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               timeout=timeout, preexec_fn=preexec_fn)
    return run_result(completed.returncode, completed.stdout, completed.stderr)


# --------------------------------------------------------------------------
# Expected output, assembled from the same fixed pieces as the program's.


def lines(*texts):
    """The bytes of whole lines, each with the platform's line end."""
    return b"".join(_as_bytes(text + config.line_end) for text in texts)


def entry(*parts):
    """An entry as the walk writes it below the start path '.'."""
    return config.separator.join((".",) + parts)


def path(*parts):
    """Path elements joined with the platform's separator."""
    return config.separator.join(parts)


def quoted(text):
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    return '"' + escaped + '"'


def skipping_type(old):
    return " Skipping     '" + quoted(old) + "'."


def skipping_no_match(old):
    return " Skipping         '" + quoted(old) + "' ..."


def processed(old):
    return " Processed        '" + quoted(old) + "' ..."


def cant_rename(old, new):
    return " Can't rename '" + quoted(old) + "' to '" + new + "' - file exists."


def renaming(old, new, verbosity):
    lead = " Renaming           '" if verbosity > 1 else " Renaming       '"
    return lead + quoted(old) + "' to '" + new + "' ..."


def would_rename(old, new):
    return " Would rename   '" + quoted(old) + "' to '" + new + "' ..."


def renamed_line(old, new):
    return "Successfully renamed " + old + " to " + new + "."


def stats(renamed, failed, skipped, directories=False):
    return (" [STATS] Renamed %d files %s(%d failed, %d skipped)."
            % (renamed, "and directories " if directories else "", failed, skipped))


def simulation(renamed):
    return (" [STATS] The simulation suggested %d renames. Note that some of them might fail."
            % renamed)


def cd_error(text):
    return "   error [cd]: " + text


def rn_error(text):
    return "   error [rn]: " + text


def pattern_error(pattern=None):
    """The two lines that end a run on a pattern error; without a pattern in
    the short-form wording, with it in the option-form wording."""
    if pattern is None:
        return lines("tarn could not parse your input regex.", "Aborted.")
    return lines("tarn could not parse your input regex: " + pattern, "Aborted.")


help_lines = [
    "",
    " This is tarn - move files using regular expressions.",
    "",
    " USAGE:",
    "\ttarn [COMMANDS]",
    "\ttarn [OPTIONS] <regex> <replacement> [<startpath>]",
    "",
    " OPTIONS (any combination):",
    "\t-r\tRecurse into subdirectories.",
    "\t-E\tSkip file extensions while renaming.",
    "\t-d\tAlso rename directories on the way.",
    "\t-s\tSets the start directory to the last parameter;",
    "\t\telse, tarn will start in '.'.",
    "\t-f\tOnly replaces the first occurrence in each name.",
    "\t-v\tVerbose logging.",
    "\t-vv\tVery verbose logging.",
    "\t-n\tDry run - don't modify anything just yet.",
    "",
    " COMMANDS:",
    "\t-V\tDisplay the tarn version and exit.",
    "\t-h\tDisplay this help screen and exit.",
    "",
    " You can use $1, $2 etc. in your replacement strings for back-",
    " references.",
    "",
]


def help_text():
    return lines(*help_lines)


def version_text():
    return lines("", "This is tarn version 2.0.0.")


# --------------------------------------------------------------------------
# The base of every test case: a fresh temporary directory per test.


class tarn_case(unittest.TestCase):
    maxDiff = None
    # Where temporary trees are made; None means the system's default.
    temp_base = None

    def setUp(self):
        self._temp = tempfile.TemporaryDirectory(prefix="tarn-e2e-", dir=self.temp_base)
        self.addCleanup(self._remove_temp)
        self.root = self._temp.name

    def _remove_temp(self):
        # Tests take permissions away; give them back so everything goes.
        for directory, subdirectories, _ in os.walk(self.root):
            for name in subdirectories:
                full = os.path.join(directory, name)
                if not os.path.islink(full):
                    os.chmod(full, 0o755)
        self._temp.cleanup()

    def tree(self, description, root=None):
        make_tree(root or self.root, description)

    def fresh(self, description):
        """A new directory beside the others, holding the described tree: one
        per row of a table-driven test. Returns its path."""
        self._fresh_count = getattr(self, "_fresh_count", 0) + 1
        directory = os.path.join(self.root, "case%d" % self._fresh_count)
        make_tree(directory, description)
        return directory

    def tarn(self, *args, cwd=None, **options):
        return run_tarn(list(args), cwd or self.root, **options)

    def assert_run(self, result, stdout=b"", stderr=b"", status=0):
        """Compares all three at once so that a failure shows the whole picture."""
        self.assertEqual((result.stdout, result.stderr, result.status),
                         (stdout, stderr, status))

    def assert_tree(self, description, root=None):
        self.assertEqual(snapshot(root or self.root), normalised(description))
