"""The manual page, the bash completion and the install target: the page
renders without a warning and fits a terminal, documents every option the
tool accepts, the completion offers options and file names, and
`cmake --install` puts a working binary, the page and the completion under a
prefix."""

import os
import re
import shutil
import subprocess

from mdt import MDTREE, USAGE_LINES, TreeTest, make_tree, md5_hex, run

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PAGE = os.path.join(TOP, "doc", "mdtree.1")
COMPLETION = os.path.join(TOP, "completion", "mdtree.bash")
# The build directory that holds the binary under test.
BUILD = os.path.dirname(MDTREE)


def option_letters():
    """Every option letter of the usage text."""
    return sorted({m.group(1) for l in USAGE_LINES for m in [re.match(r"\t-(\w) ", l)] if m})


class ManualPage(TreeTest):
    def groff(self, *args):
        if not shutil.which("groff"):
            self.fail("groff is needed to check the manual page (scripts/deps.sh installs it)")
        return subprocess.run(["groff", "-man"] + list(args) + [PAGE],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def test_renders_without_warnings(self):
        p = self.groff("-ww", "-z")
        self.assertEqual((p.returncode, p.stderr, p.stdout), (0, b"", b""))

    def test_fits_an_80_column_terminal(self):
        p = self.groff("-Tascii", "-rLL=78n", "-P-cbu")
        self.assertEqual(p.returncode, 0, p.stderr)
        text = p.stdout.decode("ascii")
        wide = [l for l in text.splitlines() if len(l) > 78]
        self.assertEqual(wide, [])
        # Every section a reader looks for is there.
        for heading in ("NAME", "SYNOPSIS", "OPTIONS", "ENVIRONMENT", "EXIT STATUS", "SECURITY",
                        "EXAMPLES"):
            with self.subTest(heading=heading):
                self.assertRegex(text, r"(?m)^%s$" % heading)

    def test_page_carries_the_version_of_the_tool(self):
        with open(PAGE, encoding="utf-8") as f:
            th = re.search(r'^\.TH MDTREE 1 "[^"]*" "([^"]*)"', f.read(), re.M).group(1)
        self.assertEqual(run(["--version"]).stdout.decode(), th + "\n")

    def test_documents_every_option_and_status(self):
        with open(PAGE, encoding="utf-8") as f:
            src = f.read()
        letters = option_letters()
        self.assertGreaterEqual(len(letters), 12)
        for letter in letters:
            with self.subTest(option=letter):
                self.assertRegex(src, r"\n\.TP\n\.BI? \\-%s\b" % letter)
        for word in ("help", "version", r"no\\-progress"):
            with self.subTest(option=word):
                self.assertRegex(src, r"\n\.TP\n\.B \\-\\-%s\n" % word)
        for status in range(5):
            with self.subTest(status=status):
                self.assertRegex(src, r"\.SH EXIT STATUS\n(.*\n)*?\.TP\n\.B %d\n" % status)


class BashCompletion(TreeTest):
    def complete(self, *words):
        """The completions bash offers for the last of words, as mdtree's
        completion function computes them in self.tmp."""
        script = ('source "$1"; shift; complete -p mdtree || exit 9; COMP_WORDS=("$@"); '
                  'COMP_CWORD=$(($# - 1)); _mdtree; printf "%s\\n" "${COMPREPLY[@]}"')
        p = subprocess.run(["bash", "--noprofile", "--norc", "-c", script, "bash", COMPLETION,
                            "mdtree"] + list(words), cwd=self.tmp,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(p.returncode, 0, p.stderr)
        registered, *offered = p.stdout.decode().splitlines()
        self.assertEqual(registered, "complete -F _mdtree mdtree")
        return sorted(o for o in offered if o)

    def test_options_and_file_names(self):
        make_tree(self.tmp, {"a file.md5": "", "arch.vok": "", "d/x": ""})
        names = ["a file.md5", "arch.vok", "d"]
        for words, expected in (
                (["-f", ""], names), (["-A", "a"], ["a file.md5", "arch.vok"]),
                # Only the second character counts, as in the tool.
                (["-lfoo", "ar"], ["arch.vok"]), (["-R", "d"], ["d"]),
                (["-r", ""], sorted(["-l", "-i", "-o", "-R", "-V", "-P", "-g", "-f", "-t", "-p", "-a",
                                     "-A", "-F", "-r", "-n", "-c", "-C", "-u", "-j", "-h", "--help",
                                     "--version", "--no-progress", "--quiet", "--status", "--warn",
                                     "--strict", "--ignore-missing", "--cache"])),
                (["-C", "d"], ["d"]), (["-P", "a"], ["a file.md5", "arch.vok"]),
                (["-g", ""], ["14d", "1d", "1h"]),
                (["-n", "--v"], ["--version"]), (["-F", "a"], [])):
            with self.subTest(words=words):
                self.assertEqual(self.complete(*words), expected)


class Install(TreeTest):
    def test_install_into_prefix_gives_working_tool_and_page(self):
        if not os.path.exists(os.path.join(BUILD, "cmake_install.cmake")):
            self.fail("no cmake_install.cmake beside the binary %s" % MDTREE)
        prefix = self.path("prefix")
        p = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(p.returncode, 0, p.stdout.decode(errors="replace"))

        for src, dest in ((PAGE, ("man", "man1", "mdtree.1")),
                          (COMPLETION, ("bash-completion", "completions", "mdtree"))):
            with self.subTest(dest=dest), open(src, "rb") as a, \
                    open(os.path.join(prefix, "share", *dest), "rb") as b:
                self.assertEqual(a.read(), b.read())

        installed = os.path.join(prefix, "bin", "mdtree")
        self.assertTrue(os.access(installed, os.X_OK))
        make_tree(self.path("t"), {"a": "alpha\n", "d/b": "beta\n"})
        r = run(["-l", "t"], cwd=self.tmp, prog=installed)
        self.assertOk(r)
        expected = sorted(b"%s  %s\n" % (md5_hex(c).encode(), n) for n, c in
                          ((b"a", b"alpha\n"), (b"d/b", b"beta\n")))
        self.assertEqual(sorted(r.stdout.splitlines(keepends=True)), expected)
        # The installed tool is the one under test, usage text and all.
        r = run(["-h"], prog=installed)
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr.splitlines()[1:], [l.encode().rstrip(b"\n") for l in USAGE_LINES[1:]])
