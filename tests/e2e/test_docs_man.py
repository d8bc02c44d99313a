"""The manual page and the install target: the page renders without a
warning and fits a terminal, documents every option the tool accepts, and
`cmake --install` puts a working binary and the page under a prefix."""

import os
import re
import shutil
import subprocess

from mdt import MDTREE, USAGE_LINES, TreeTest, make_tree, md5_hex, run

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PAGE = os.path.join(TOP, "doc", "mdtree.1")
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
        for heading in ("NAME", "SYNOPSIS", "OPTIONS", "ENVIRONMENT", "EXIT STATUS", "EXAMPLES"):
            with self.subTest(heading=heading):
                self.assertRegex(text, r"(?m)^%s$" % heading)

    def test_documents_every_option_and_status(self):
        with open(PAGE, encoding="utf-8") as f:
            src = f.read()
        letters = option_letters()
        self.assertGreaterEqual(len(letters), 12)
        for letter in letters:
            with self.subTest(option=letter):
                self.assertRegex(src, r"\n\.TP\n\.BI? \\-%s\b" % letter)
        for status in range(5):
            with self.subTest(status=status):
                self.assertRegex(src, r"\.SH EXIT STATUS\n(.*\n)*?\.TP\n\.B %d\n" % status)


class Install(TreeTest):
    def test_install_into_prefix_gives_working_tool_and_page(self):
        if not os.path.exists(os.path.join(BUILD, "cmake_install.cmake")):
            self.fail("no cmake_install.cmake beside the binary %s" % MDTREE)
        prefix = self.path("prefix")
        p = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(p.returncode, 0, p.stdout.decode(errors="replace"))

        with open(PAGE, "rb") as a, open(os.path.join(prefix, "share", "man", "man1", "mdtree.1"), "rb") as b:
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
