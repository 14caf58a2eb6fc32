"""Runs small moves with one file call failed, or the process killed just
before or just after it, for every call the move makes, and checks after each
run that no file was lost, duplicated or left partial under a real name, and
that every failure was reported."""

import argparse
import errno
import os
import re
import shutil
import subprocess
import sys
import tempfile

TEMPORARY = re.compile(r"\.tarn-\d+-[0-9a-f]{16}\.part$")
MTIME = 1_234_567_890_987_654_321
# name in the tree, name after the move (under the target), content
ITEMS = [("a.txt", "n/a.new", os.urandom(300_000)),
         ("b.txt", "n/b.new", b"head" + bytes(1 << 20) + b"tail" + bytes(1 << 20)),  # two holes
         ("d", "n/d.new", {"inner": b"inside d"})]
NO_FLAG, NO_LINK = "renameat2=38", "renameat2=22,link=1"  # ENOSYS, EINVAL: the flag refused
# name, environment refusals, whether the target is on another file system
SCENARIOS = [("rename", "", False), ("rename without the no-replace flag", NO_FLAG, False),
             ("rename without the flag or hard links", NO_LINK, False),
             ("move to another file system", "", True),
             ("move to another file system without the flag or hard links", NO_LINK, True)]


def make(root):
    for name, _, content in ITEMS:
        path = os.path.join(root, name)
        if isinstance(content, dict):
            os.mkdir(path)
            for inner, data in content.items():
                with open(os.path.join(path, inner), "wb") as stream:
                    stream.write(data)
            continue
        with open(path, "wb") as stream:  # blocks of zeros left as holes
            for at in range(0, len(content), 4096):
                if content[at:at + 4096].strip(b"\0"):
                    stream.seek(at)
                    stream.write(content[at:at + 4096])
            stream.truncate(len(content))
        os.chmod(path, 0o640)
        os.setxattr(path, "user.tarn", name.encode())
        os.utime(path, ns=(MTIME, MTIME))


def files(root):
    found = {}
    for directory, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(directory, name), "rb") as stream:
                found[os.path.relpath(os.path.join(directory, name), root)] = stream.read()
    return found


def flat(name, content):
    return {os.path.join(name, inner): data for inner, data in content.items()} \
        if isinstance(content, dict) else {name: content}


def check_changed(result, root, target_root, target, crashed):
    """A source that grows while it is copied stays, and only the source."""
    kept = files(root).get("a.txt") == ITEMS[0][2] + b"+"
    copied = os.path.exists(os.path.join(target_root, "n", "a.new"))
    said = b"   error [rn]: the file changed while it was being copied\n" in result.stderr
    return [] if kept and not copied and said else ["changed source kept %s, copied %s, reported %s"
                                                     % (kept, copied, said)]


def check_all_moved(refuse, result, root, target_root, target, crashed):
    """Nothing failed: everything is moved but a directory to another file system."""
    expected = len(ITEMS) - (1 if target_root != root else 0)
    moved = result.stdout.count(b"Successfully renamed")
    return check(refuse, result, root, target_root, target, crashed) + \
        ([] if moved == expected else ["%d of %d moved with nothing failed" % (moved, expected)])


def check_attribute_refused(refuse, result, root, target_root, target, crashed):
    """a.txt arrives whole, without the attribute, and with no error line
    (the directory's cross-device one aside)."""
    moved = os.path.join(target_root, "n", "a.new")
    whole = files(target_root).get(os.path.join("n", "a.new")) == ITEMS[0][2]
    if whole and not os.listxattr(moved) and result.stderr == b"   error [rn]: Invalid cross-device link\n":
        return []
    return ["refused attribute: moved whole %s, error output %r" % (whole, result.stderr)]


def check(refuse, result, root, target_root, target, crashed):
    """The faults found after one run, as text; empty when there are none."""
    faults = []
    if result.returncode not in (0, 1, 2) and not crashed:
        return ["exit status %d" % result.returncode]
    old = files(root)
    new = files(target_root) if target_root != root else old
    expected = {}
    refused = refuse == NO_LINK
    for name, moved, content in ITEMS:
        at_old, at_new = flat(name, content), flat(moved, content)
        expected.update(at_old)
        expected.update(at_new)
        here = all(old.get(k) == v for k, v in at_old.items())
        there = all(new.get(k) == v for k, v in at_new.items())
        reported = ("Successfully renamed ./%s to %s." % (name, os.path.join(target, moved))).encode()
        if not (here or there) or (here and there and not crashed) or (reported in result.stdout and here):
            faults.append("%s: in the tree %s, at the new name %s, success reported %s"
                          % (name, here, there, reported in result.stdout))
        if there and not isinstance(content, dict):
            info = os.stat(os.path.join(target_root, moved))
            if (info.st_mode & 0o7777, info.st_mtime_ns) != (0o640, MTIME) or \
                    os.getxattr(os.path.join(target_root, moved), "user.tarn") != name.encode():
                faults.append("%s: metadata lost" % name)
    for tree in (old, new) if new is not old else (old,):
        for name, data in tree.items():
            partial = expected.get(name, data) != data
            stray = name not in expected and not (crashed and TEMPORARY.search(name))
            reservation = crashed and refused and data == b""
            if (partial or stray) and not reservation:
                faults.append("%s left behind (%d bytes)" % (name, len(data)))
    moved = result.stdout.count(b"Successfully renamed")
    errors = result.stderr.count(b"   error [")
    if not crashed and result.returncode == 0 and moved + errors != len(ITEMS):
        faults.append("%d renamed and %d error lines for %d entries" % (moved, errors, len(ITEMS)))
    return faults


def run(binary, shim, refuse, other_fs, at=0, action="", log=None, inspect=None, error=5):
    base = tempfile.mkdtemp(prefix="tarn-fault-")
    other = tempfile.mkdtemp(prefix="tarn-fault-", dir="/dev/shm") if other_fs else base
    try:
        root = os.path.join(base, "tree")
        os.mkdir(root)
        make(root)
        target = other if other_fs else "."
        environment = dict(os.environ, LD_PRELOAD=shim, TARN_FAULT_REFUSE=refuse, TARN_FAULT_AT=str(at),
                           TARN_FAULT_ACTION=action, TARN_FAULT_LOG=log or "",
                           TARN_FAULT_APPEND=os.path.join(root, "a.txt"), TARN_FAULT_ERRNO=str(error))
        result = subprocess.run([binary, "-vvd", r"^[.]/([abd])([.]txt)?$", os.path.join(target, "n/$1.new")],
                                cwd=root, env=environment, capture_output=True, timeout=60)
        crashed = action.startswith("kill") and result.returncode == -9
        return (inspect or check)(refuse, result, root, other if other_fs else root, target, crashed)
    finally:
        shutil.rmtree(base, True)
        if other_fs:
            shutil.rmtree(other, True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--shim", required=True)
    options = parser.parse_args()
    if os.stat("/dev/shm").st_dev == os.stat(tempfile.gettempdir()).st_dev:
        print("SKIPPED: the temporary directory and /dev/shm share a device")
        return 0
    failures = total = 0
    for case, refuse, other_fs in SCENARIOS:
        with tempfile.NamedTemporaryFile() as log:
            faults = run(options.binary, options.shim, refuse, other_fs, log=log.name, inspect=check_all_moved)
            calls = [line.split()[0] for line in open(log.name)]
            opened = [line.split()[-1] for line in open(log.name)]
        runs = 3 * len(calls)
        for at in range(1, len(calls) + 1):
            for action in ("fail", "kill-before", "kill-after"):
                found = run(options.binary, options.shim, refuse, other_fs, at, action)
                for fault in found:
                    faults.append("call %d (%s), %s: %s" % (at, calls[at - 1], action, fault))
        # a.txt grows as its first piece is written, and again as its copy
        # takes the real name.
        start = opened.index("./a.txt") if other_fs else len(calls)
        for piece in ("pwrite", "renameat2" if "renameat2" in calls[start:] else "rename")[:2 if other_fs else 0]:
            faults += run(options.binary, options.shim, refuse, other_fs, calls.index(piece, start) + 1, "append",
                          inspect=lambda _, *rest: check_changed(*rest))
            runs += 1
        # A target file system that refuses the attribute: it is left behind
        # and the move goes on, as the system's own move does.
        for refusal in (errno.EOPNOTSUPP, errno.EPERM, errno.EACCES, errno.EINVAL, errno.E2BIG, errno.ERANGE):
            if other_fs:
                faults += run(options.binary, options.shim, refuse, other_fs, calls.index("fsetxattr") + 1, "fail",
                              inspect=check_attribute_refused, error=refusal)
                runs += 1
        print("%s: %d counted calls, %d runs, %d faults" % (case, len(calls), runs, len(faults)))
        total += runs
        for fault in faults:
            print("  " + fault)
        failures += len(faults)
    print("%d runs, %d faults" % (total, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
