"""The README tutorial runs as written: every `$` line of its console blocks
is run, in order, by one shell in an empty directory, and what each command
prints must be what the README shows. So the README cannot drift from the
tool."""

import fnmatch
import glob
import os
import re
import subprocess
import unittest

from mdt import MDTREE, USAGE_LINES, TreeTest, tool_env

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
README = os.path.join(TOP, "README.md")
# The directory the tutorial says it works in; the test's own directory
# stands in for it in what the commands print.
TOUR = "/home/me/tour"
MARK = "@@mdtree-readme-%d@@"


def console_blocks(text):
    """The ```console blocks of a Markdown text, each a list of
    (command, expected output lines)."""
    blocks = []
    for body in re.findall(r"^```console\n(.*?)^```$", text, re.M | re.S):
        steps = []
        for line in body.splitlines():
            if line.startswith("$ "):
                steps.append((line[2:], []))
            elif steps:
                steps[-1][1].append(line)
            else:
                raise ValueError("output before the first command: %r" % line)
        blocks.append(steps)
    return blocks


def normalise(lines):
    """Masks what differs from run to run: the date of an administration
    record and the source line in an open-failure message. The order of
    lines follows the directory walk, which follows the file system, so the
    lines are compared as a multiset."""
    out = []
    for l in lines:
        l = re.sub(r"^date: \w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}$", "date: <ctime>", l)
        l = re.sub(r" at line \d+$", " at line <n>", l)
        out.append(l)
    return sorted(out)


def run_tour(steps, workdir, bindir):
    """Runs the commands in one shell (so cd and export carry over) and
    returns the output of each, standard error included."""
    script = ["exec 2>&1", "cd %s" % workdir]
    for i, (cmd, _) in enumerate(steps):
        # The mark keeps $? as the last command left it, for "echo $?".
        script.append("__rc=$?; printf '%s\\n'; (exit $__rc)" % (MARK % i))
        script.append(cmd)
    script.append("printf '%s\\n'" % (MARK % len(steps)))
    env = tool_env({"PATH": bindir + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C"})
    p = subprocess.run(["bash", "--noprofile", "--norc"], input="\n".join(script).encode(),
                       stdout=subprocess.PIPE, env=env, timeout=300)
    parts = re.split(r"@@mdtree-readme-(\d+)@@\n", p.stdout.decode("utf-8", "replace"))
    # parts: [before mark 0, "0", output of 0, "1", output of 1, ..., "N", after]
    outputs = {}
    for k in range(1, len(parts) - 2, 2):
        outputs[int(parts[k])] = parts[k + 1]
    return outputs


class ReadmeTutorial(TreeTest):
    def test_tutorial_runs_as_written(self):
        with open(README, encoding="utf-8") as f:
            blocks = console_blocks(f.read())
        self.assertGreaterEqual(len(blocks), 4)
        steps = [s for b in blocks for s in b]
        commands = " ; ".join(c for c, _ in steps)
        # One worked example for every job of the tool.
        for job in (r"mdtree -l \w", r"mdtree -i ", r"mdtree -o ", r"mdtree -f \w+ -t \w+ -p ",
                    r"mdtree -n -f ", r"-A ", r"mdtree -r ", r"mdtree -f \w+ -a ", r"mdtree -t \w+ -a "):
            with self.subTest(job=job):
                self.assertRegex(commands, job)

        bindir = self.path("bin")
        os.mkdir(bindir)
        os.symlink(MDTREE, os.path.join(bindir, "mdtree"))
        work = os.path.realpath(self.path("tour"))
        os.mkdir(work)
        outputs = run_tour(steps, work, bindir)
        self.assertEqual(sorted(outputs), list(range(len(steps))), "the tour stopped early")
        for i, (cmd, expected) in enumerate(steps):
            with self.subTest(step=i, command=cmd):
                actual = outputs[i].replace(work, TOUR).splitlines()
                self.assertEqual(normalise(actual), normalise(expected))


class ReadmeOptions(unittest.TestCase):
    def test_every_option_is_described(self):
        with open(README, encoding="utf-8") as f:
            text = f.read()
        section = text[text.index("## Options"):text.index("## Tutorial")]
        letters = {m.group(1) for l in USAGE_LINES for m in [re.match(r"\t-(\w) ", l)] if m}
        for option in sorted("-" + l for l in letters) + ["--help", "--version", "--no-progress", "--cache"]:
            with self.subTest(option=option):
                self.assertRegex(section, r"\| `[^`]*%s\b" % option)


class ConsoleBlockParsing(unittest.TestCase):
    def test_commands_and_outputs_are_split(self):
        text = "x\n```console\n$ a\none\ntwo\n$ b\n$ c\n\nthree\n```\n```sh\n$ not run\n```\n"
        self.assertEqual(console_blocks(text),
                         [[("a", ["one", "two"]), ("b", []), ("c", ["", "three"])]])


class HackingMap(unittest.TestCase):
    """Every folder and file doc/HACKING.md names exists, so that the map
    stays true when files move."""

    def test_every_named_file_exists(self):
        with open(os.path.join(TOP, "doc", "HACKING.md"), encoding="utf-8") as f:
            text = f.read()
        names = set()
        for dirpath, dirnames, filenames in os.walk(TOP):
            dirnames[:] = [d for d in dirnames if not d.startswith((".", "build"))]
            names.update(filenames)
        checked = 0
        for token in re.findall(r"`([^`\s]+)`", text):
            if "<" in token:
                continue  # a pattern such as tests/unit/<file>_test.cpp
            if "/" in token:
                # A path from the top, or below src/ as the code includes it.
                found = glob.glob(os.path.join(TOP, token)) or glob.glob(os.path.join(TOP, "src", token))
            elif re.fullmatch(r"[\w.-]+\.(cpp|h|py|c|\*)", token):
                found = fnmatch.filter(names, token)
            else:
                continue
            with self.subTest(name=token):
                self.assertTrue(found, token)
            checked += 1
        self.assertGreater(checked, 30)
