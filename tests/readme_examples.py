"""Runs the README's examples: each console block in a fresh temporary
directory, each "$ " line through the shell with the built tarn first on the
PATH, and compares what the command prints with the lines below it.

    readme_examples.py README BINARY

The report lines of a tarn command are compared in any order but the last (the
summary), because the entries are reported in the order the directory lists
them, which is the file system's own."""

import os
import re
import subprocess
import sys
import tempfile


def main(readme, binary):
    environment = dict(os.environ, LC_ALL="C", PATH=os.path.dirname(os.path.abspath(binary)) + os.pathsep +
                       os.environ["PATH"])
    with open(readme, encoding="utf-8") as stream:
        blocks = re.findall(r"^```console\n(.*?)^```", stream.read(), re.M | re.S)
    commands = failures = 0
    for block in blocks:
        with tempfile.TemporaryDirectory() as root:
            for step in ("\n" + block[:-1]).split("\n$ ")[1:]:  # a command, then what it prints
                command, *expected = step.split("\n")
                commands += 1
                result = subprocess.run(command, shell=True, cwd=root, env=environment, text=True,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                actual = result.stdout.splitlines()
                if command.startswith("tarn ") and "[STATS]" in "".join(expected[-1:]):
                    actual, expected = sorted(actual[:-1]) + actual[-1:], sorted(expected[:-1]) + expected[-1:]
                if result.returncode != 0 or actual != expected:
                    failures += 1
                    print("FAILED: $ %s (status %d)\n--- expected\n%s\n--- got\n%s" % (
                        command, result.returncode, "\n".join(expected), "\n".join(actual)))
    print("%d examples, %d commands, %d failed" % (len(blocks), commands, failures))
    return 1 if failures or not blocks else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
