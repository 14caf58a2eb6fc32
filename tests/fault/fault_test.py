"""Runs small moves with one file call failed, or the process killed just
before or just after it, for every call the move makes, and checks after each
run that no file was lost, duplicated or left partial under a real name, and
that every failure was reported.

    fault_test.py BINARY SHIM"""

import errno
import os
import pathlib
import re
import struct
import subprocess
import sys
import tempfile

TEMPORARY = re.compile(r"\.tarn-\d+-[0-9a-f]{16}\.part$")
MTIME = 1_234_567_890_987_654_321
# name in the tree, name after the move (under the target), the file inside when a directory, content
ITEMS = [("a.txt", "n/a.new", "", os.urandom(300_000)),
         ("b.txt", "n/b.new", "", b"head" + bytes(1 << 20) + b"tail" + bytes(1 << 20)),  # two holes
         ("d", "n/d.new", "/inner", b"inside d")]
NO_FLAG, NO_LINK = "renameat2=38", "renameat2=22,linkat=1"  # ENOSYS, EINVAL: the flag refused
KERNEL_COPY = "copy_file_range between file systems"  # refuses nothing: the shim copies instead
# name, environment refusals, whether the target is on another file system
SCENARIOS = [("rename", "", False), ("rename without the no-replace flag", NO_FLAG, False),
             ("rename without the flag or hard links", NO_LINK, False),
             ("move to another file system", "", True),
             ("move to another file system without the flag or hard links", NO_LINK, True),
             ("move to another file system, copied by the kernel", KERNEL_COPY, True)]
# A source that does not give an attribute, or a target file system that
# refuses one, with one of these: it is left behind and the move goes on, as
# the system's own move does.
REFUSALS = (errno.EOPNOTSUPP, errno.EPERM, errno.EACCES, errno.EINVAL, errno.E2BIG, errno.ERANGE, errno.ENOSYS)
ATTRIBUTE = {"a.txt": b"a", "b.txt": b"", "d": b"d"}  # an empty value is an attribute too
MODE = {"a.txt": 0o6640, "b.txt": 0o640, "d": 0o640}  # set-id bits are lost with the owner


def acl(other):
    """An access list as the system stores it: owner rw, group r, user 65533 `other`, nobody else."""
    entries = ((1, 6, ~0), (2, other, 65533), (4, 4, ~0), (16, other | 4, ~0), (32, 0, ~0))
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", tag, allowed, who & 0xFFFFFFFF)
                                           for tag, allowed, who in entries)


ACL = {"b.txt": acl(4)}  # the copy has the source's list, or none from the target directory's default acl(7)
CHANGED = b"   error [rn]: the file changed while it was being copied"
CROSS = b"   error [rn]: Invalid cross-device link"  # a directory is not copied


def make(root):
    for name, _, inner, content in ITEMS:
        path = os.path.join(root, name + inner)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as stream:  # blocks of zeros left as holes
            for at in range(0, len(content), 4096):
                if content[at:at + 4096].strip(b"\0"):
                    os.pwrite(stream.fileno(), content[at:at + 4096], at)
            stream.truncate(len(content))
        os.chmod(path, MODE[name])
        os.setxattr(path, "user.tarn", ATTRIBUTE[name])
        if name in ACL:
            os.setxattr(path, "system.posix_acl_access", ACL[name])
        os.utime(path, ns=(MTIME, MTIME))


def check(result, root, target_root, target, refuse, action, error, call):
    """The faults found after one run, as text; empty when there are none.
    Where nothing failed but what the move must take in its stride (a refused
    attribute, a source that grows), the outcome is known exactly: everything
    moves but a directory to another file system and a source that grew."""
    # A SIGTERM ends the run as it would have, but never leaves a temporary copy.
    crashed = (action.startswith("kill") and result.returncode == -9) or (action == "term" and result.returncode == -15)
    faults = [] if result.returncode in (0, 1, 2) or crashed else ["exit status %d" % result.returncode]
    known = action in ("", "append") or error in REFUSALS
    grown, other_fs = action == "append", root != target_root
    found = {str(path): path.read_bytes() for top in {root, target_root}
             for path in pathlib.Path(top).rglob("*") if path.is_file()}
    expected = {}
    for name, moved, inner, content in ITEMS:
        old, new = os.path.join(root, name + inner), os.path.join(target_root, moved + inner)
        source = content + b"+" if grown and name == "a.txt" else content
        expected.update({old: source, new: content})
        here, there = found.get(old) == source, found.get(new) == content
        said = f"Successfully renamed ./{name} to {os.path.join(target, moved)}.".encode() in result.stdout
        stays = (other_fs and bool(inner)) or source != content
        if not (here or there) or (here and there and not crashed) or (said and here) or \
                (known and (here, said) != (stays, not stays)):
            faults.append(f"{name}: in the tree {here}, at the new name {there}, success reported {said}")
        if there:
            info = os.stat(new)
            attribute, access = (os.getxattr(new, key) if key in os.listxattr(new) else None
                                 for key in ("user.tarn", "system.posix_acl_access"))
            holes = name != "b.txt" or info.st_blocks * 512 < len(content)  # its holes are kept
            dropped = error in REFUSALS and "xattr" in call and (call, error) != ("fgetxattr value", errno.ERANGE)
            if (info.st_mode & 0o7777, info.st_mtime_ns, attribute, access, holes) != \
                    (MODE[name] & (0o1777 if (call, error) == ("fchown", errno.ENOSYS) else 0o7777), MTIME,
                     None if dropped and name == "a.txt" else ATTRIBUTE[name], ACL.get(name), True):
                faults.append("%s: metadata or holes lost" % name)
    for path, data in found.items():  # partial, or stray: a temporary or a reservation is left only by a crash
        wrong = expected.get(path, data) != data or \
            not (path in expected or crashed and action != "term" and TEMPORARY.search(path))
        if wrong and not (crashed and refuse == NO_LINK and data == b""):
            faults.append("%s left behind (%d bytes)" % (path, len(data)))
    moved, errors = result.stdout.count(b"Successfully renamed"), result.stderr.count(b"   error [")
    if not crashed and result.returncode == 0 and moved + errors != len(ITEMS):
        faults.append("%d renamed and %d error lines for %d entries" % (moved, errors, len(ITEMS)))
    if known and sorted(result.stderr.splitlines()) != [CROSS] * other_fs + [CHANGED] * grown:
        faults.append("error output %r" % result.stderr)
    # A refused hard link has a way around it (the name is reserved instead), and
    # a directory that was only read has nothing to lose when its close fails.
    if action == "fail" and error == errno.EIO and call not in ("linkat", "close directory") and \
            b"Input/output error" not in result.stderr:
        faults.append("the failure is not reported")
    return faults


def run(binary, shim, refuse, other_fs, at=0, action="", error=errno.EIO, call="", log=""):
    with tempfile.TemporaryDirectory(prefix="tarn-fault-") as root, \
            tempfile.TemporaryDirectory(prefix="tarn-fault-", dir="/dev/shm") as other:
        make(root)
        os.setxattr(other, "system.posix_acl_default", acl(7))
        target_root, target = (other, other) if other_fs else (root, ".")
        environment = dict(os.environ, LD_PRELOAD=shim, TARN_FAULT_REFUSE=refuse, TARN_FAULT_AT=str(at),
                           TARN_FAULT_ACTION=action, TARN_FAULT_LOG=log, TARN_FAULT_ERRNO=str(error),
                           TARN_FAULT_APPEND=os.path.join(root, "a.txt"), TARN_FAULT_KERNEL_COPY=str(int(refuse == KERNEL_COPY)))
        command = [binary, "-vvd", r"^[.]/([abd])([.]txt)?$", os.path.join(target, "n/$1.new")]
        result = subprocess.run(command, cwd=root, env=environment, capture_output=True, timeout=60)
        return check(result, root, target_root, target, refuse, action, error, call)


# Someone who can write the tree puts a link to a directory they cannot
# write (victim) in the place of one of its directories, just before each
# call in turn: after the listing, between listing a directory and opening
# it, between making a new name's directory and the move; before a new
# name's directory is made, the link alone appears, someone else's (also
# between a creation that then finds it and the open). The victim must
# never lose or gain an entry. A named pipe put in a file's place as it is
# moved to another file system (SHM) fails that entry at once. Each row:
# arguments, the directory (or file) swapped.
ATTACKS = [(["-rv", r"^x(\d)[.]txt$", "out$1.txt"], "sub"),  # out of sub, into the working directory
           (["-rdv", r"x(\d)[.]txt$", "y$1.txt"], "sub"),  # renamed where they are
           (["-rdv", r"/x(\d)[.]txt$", "/n/z$1.txt"], "sub/n"),  # into a directory the run makes
           (["-rv", r"^x1[.]txt$", "SHM/x1.txt"], "sub/x1.txt")]


def attacks(binary, shim):
    faults, runs = [], 0
    for args, swapped in ATTACKS:
        calls, at = 1, 0
        while at <= calls:
            with tempfile.TemporaryDirectory(prefix="tarn-fault-") as top, tempfile.NamedTemporaryFile("r") as log, \
                    tempfile.TemporaryDirectory(prefix="tarn-fault-", dir="/dev/shm") as shm:
                work, victim = os.path.join(top, "work"), os.path.join(top, "victim")
                for directory in (os.path.join(work, "sub"), victim):
                    os.makedirs(directory)
                    for name in ("x1.txt", "x2.txt"):
                        pathlib.Path(directory, name).write_bytes(directory.encode())
                environment = dict(os.environ, LD_PRELOAD=shim, TARN_FAULT_AT=str(at), TARN_FAULT_ACTION="swap",
                                   TARN_FAULT_SWAP=os.path.join(work, swapped), TARN_FAULT_LOG=log.name,
                                   TARN_FAULT_SWAP_TO="" if swapped.endswith(".txt") else victim)
                result = subprocess.run([binary, *(arg.replace("SHM", shm) for arg in args)], cwd=work,
                                        env=environment, capture_output=True, timeout=20)
                calls = max(calls, len(log.readlines())) if at == 0 else calls
                left = sorted(os.listdir(victim))
                failed = re.search(rb"\((\d+) failed", result.stdout)  # each error line is a failed entry
                if failed and int(failed[1]) != result.stderr.count(b"   error ["):
                    faults.append(f"{' '.join(args)}, swapped at call {at}: {result.stdout!r} {result.stderr!r}")
                if left != ["x1.txt", "x2.txt"] or result.returncode not in (0, 2):
                    faults.append(f"{' '.join(args)}, {swapped} swapped at call {at}: victim holds {left}, "
                                  f"status {result.returncode}")
            at, runs = at + 1, runs + 1
    print(f"attacks: {runs} runs, {len(faults)} faults", *faults, sep="\n  ")
    return len(faults)


def failed_query(binary, shim):
    """The query that checks a directory's identity as the walk comes back to
    it fails once: the entry it stops fails with that error, after its
    intention line, and the next entry reaches the directory again."""
    faults = []
    for letters, renamed, summary in (("-rdv", 2, b"(1 failed, 2 skipped)"), ("-rdnv", 0, b"suggested 2 renames")):
        with tempfile.TemporaryDirectory(prefix="tarn-fault-") as top, tempfile.NamedTemporaryFile("r") as log:
            inner = os.path.join(top, "a", "b")
            os.makedirs(inner)
            for name in ("x1", "x2", "x3"):
                pathlib.Path(inner, name).touch()
            command = [binary, letters, r"x(\d)$", "y$1"]
            subprocess.run(command, cwd=top, env=dict(os.environ, LD_PRELOAD=shim, TARN_FAULT_LOG=log.name),
                           capture_output=True, timeout=60, check=True)
            calls = [line.split()[0] + (" " + line.split()[1] if line.split()[1] == "b" else "") for line in log]
            again = [at for at, call in enumerate(calls) if call == "openat b"][1]  # the listing opened it first
            at = calls.index("fstat", again) + 1
            if letters == "-rdv":
                for name in ("x1", "x2", "x3"):
                    pathlib.Path(inner, name.replace("x", "y")).unlink()
                    pathlib.Path(inner, name).touch()
            environment = dict(os.environ, LD_PRELOAD=shim, TARN_FAULT_AT=str(at), TARN_FAULT_ACTION="fail",
                               TARN_FAULT_ERRNO=str(errno.EACCES))
            result = subprocess.run(command, cwd=top, env=environment, capture_output=True, timeout=60)
            intentions = result.stdout.count(b" Would rename " if "n" in letters else b" Renaming ")
            left = sorted(os.listdir(inner))
            if (result.returncode, result.stderr, intentions, len([n for n in left if n[0] == "y"])) != \
                    (0, b"   error [rn]: Permission denied\n", 3, renamed) or summary not in result.stdout:
                faults.append(f"{letters}: {result.stdout!r} {result.stderr!r} {left}")
    print(f"failed identity query: {len(faults)} faults", *faults, sep="\n  ")
    return len(faults)


def one_call(binary, shim):
    """A renamed entry costs one file call, its move; where something stands
    at the new name (a file, a directory, a dangling link, the entry itself
    under another name, a file put there just before the move) the report is
    what asking first gives, with the no-replace flag and without it."""
    faults, counts = [], []
    for count in (4, 8):  # the calls of 8 renames less those of 4, over 4
        with tempfile.TemporaryDirectory(prefix="tarn-fault-") as top, tempfile.NamedTemporaryFile("r") as log:
            for i in range(count):
                pathlib.Path(top, f"x{i}").touch()
            subprocess.run([binary, r"^x(\d)$", "y$1"], cwd=top, env=dict(os.environ, LD_PRELOAD=shim,
                           TARN_FAULT_LOG=log.name), capture_output=True, timeout=60, check=True)
            counts.append(len(log.readlines()))
    if counts[1] - counts[0] != 4:
        faults.append(f"{(counts[1] - counts[0]) / 4} calls per renamed entry")
    exists = [b" Can't rename '\"./a%d\"' to 'b%d' - file exists." % (i, i) for i in (1, 2, 4, 5)]
    expected = (sorted(exists + [b" Renaming       '\"./a3\"' to 'b3' ...",
                                 b" [STATS] Renamed 0 files (5 failed, 5 skipped)."]), b"   error [rn]: File exists\n")
    for refuse, claim in (("", "renameat2"), (NO_FLAG, "linkat")):
        with tempfile.TemporaryDirectory(prefix="tarn-fault-") as top, tempfile.NamedTemporaryFile("r") as log:
            names = [pathlib.Path(top, name) for name in ("a1", "b1", "a2", "a3", "a4", "a5")]
            for path in names:
                path.touch()
            os.mkdir(os.path.join(top, "b2"))
            os.symlink("nowhere", os.path.join(top, "b3"))
            os.link(os.path.join(top, "a4"), os.path.join(top, "b4"))
            environment = dict(os.environ, LD_PRELOAD=shim, TARN_FAULT_REFUSE=refuse, TARN_FAULT_LOG=log.name)
            command = [binary, "-v", r"^a(\d)$", "b$1"]
            subprocess.run([binary, "-v", "^a5$", "b5"], cwd=top, env=environment, capture_output=True, timeout=60)
            at = [line.split()[0] for line in log].index(claim) + 1
            os.rename(os.path.join(top, "b5"), os.path.join(top, "a5"))
            environment.update(TARN_FAULT_AT=str(at), TARN_FAULT_ACTION="append",
                               TARN_FAULT_APPEND=os.path.join(top, "b5"), TARN_FAULT_LOG="")
            subprocess.run([binary, "-v", "^a5$", "b5"], cwd=top, env=environment, capture_output=True, timeout=60)
            environment.update(TARN_FAULT_AT="0")
            result = subprocess.run(command, cwd=top, env=environment, capture_output=True, timeout=60)
            found = (sorted(result.stdout.splitlines()), result.stderr)
            left = sorted(os.listdir(top))
            if found != expected or left != ["a1", "a2", "a3", "a4", "a5", "b1", "b2", "b3", "b4", "b5"] or \
                    pathlib.Path(top, "b5").read_bytes() != b"+":
                faults.append(f"refusing {refuse or 'nothing'}: {found} {left}")
    print(f"one call: {counts} logged calls, {len(faults)} faults", *faults, sep="\n  ")
    return len(faults)


def main(binary, shim):
    if os.stat("/dev/shm").st_dev == os.stat(tempfile.gettempdir()).st_dev:
        print("SKIPPED: the temporary directory and /dev/shm share a device")
        return 0
    failures = 0
    for case, refuse, other_fs in SCENARIOS:
        with tempfile.NamedTemporaryFile("r") as log:
            faults = run(binary, shim, refuse, other_fs, log=log.name)  # nothing injected
            calls = [line.rstrip("\n").removesuffix(" -") for line in log]  # a function, and the path it opens
        runs = [(at, action, errno.EIO) for at in range(1, len(calls) + 1)
                for action in ("fail", "kill-before", "kill-after")]
        if other_fs:  # a.txt grows as its first piece is written, and again as its copy takes the real name
            start = calls.index("openat a.txt")
            claim = "renameat2" if "renameat2" in calls[start:] else "renameat"
            first = "copy_file_range" if refuse == KERNEL_COPY else "pwrite"
            runs += [(calls.index(piece, start) + 1, "append", errno.EIO) for piece in (first, claim)]
            runs += [(calls.index(call, start) + 1, "fail", refusal) for refusal in REFUSALS
                     for call in ("flistxattr", "fgetxattr size", "fgetxattr value", "fsetxattr")]  # not read, or not taken
            runs += [(calls.index("fchown", start) + 1, "fail", errno.ENOSYS)]  # a user-space file system
            runs += [(at, "term", errno.EIO) for at in range(1, len(calls) + 1)]
        for at, action, error in runs:
            faults += ["call %d (%s), %s %d: %s" % (at, calls[at - 1], action, error, fault)
                       for fault in run(binary, shim, refuse, other_fs, at, action, error, calls[at - 1])]
        print(f"{case}: {len(calls)} counted calls, {len(runs) + 1} runs, {len(faults)} faults", *faults, sep="\n  ")
        failures += len(faults)
    failures += attacks(binary, shim) + failed_query(binary, shim) + one_call(binary, shim)
    print("%d faults" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
