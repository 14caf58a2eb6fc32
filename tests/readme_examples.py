"""Runs the README's examples: each console block in a fresh temporary
directory, each "$ " line through the shell with the built tarn first on the
PATH, and compares what the command prints with the lines below it.

    readme_examples.py README BINARY

The report lines of a tarn command are compared in any order but the last (the
summary), because the entries are reported in the order the directory lists them, which
is the file system's own."""

import os
import re
import subprocess
import sys
import tempfile


def examples(text):
    for block in re.findall(r"^```console\n(.*?)^```", text, re.M | re.S):
        steps = []
        for line in block.splitlines():
            if line.startswith("$ "):
                steps.append((line[2:], []))
            else:
                steps[-1][1].append(line)
        yield steps


def same_output(command, actual, expected):
    if command.startswith("tarn ") and "[STATS]" in "".join(expected[-1:]):
        return sorted(actual) == sorted(expected) and actual[-1:] == expected[-1:]
    return actual == expected


def main(readme, binary):
    path = os.path.dirname(os.path.abspath(binary)) + os.pathsep + os.environ["PATH"]
    environment = dict(os.environ, PATH=path, LC_ALL="C")
    with open(readme, encoding="utf-8") as stream:
        blocks = list(examples(stream.read()))
    commands = failures = 0
    for steps in blocks:
        with tempfile.TemporaryDirectory() as root:
            for command, expected in steps:
                commands += 1
                result = subprocess.run(command, shell=True, cwd=root, env=environment, text=True,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                actual = result.stdout.splitlines()
                if result.returncode != 0 or not same_output(command, actual, expected):
                    failures += 1
                    print("FAILED: $ %s (status %d)\n--- expected\n%s\n--- got\n%s" % (
                        command, result.returncode, "\n".join(expected), "\n".join(actual)))
    print("%d examples, %d commands, %d failed" % (len(blocks), commands, failures))
    return 1 if failures or not blocks else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
