"""Snapshot listings: what -l writes for a directory, and how a listing is
read back."""

import os
import subprocess

from mdt import TreeTest, make_tree, md5_hex, parse_listing, run, run_as_nobody, tree_digests

D_EMPTY = "d41d8cd98f00b204e9800998ecf8427e"


class DirectoryListing(TreeTest):
    """One tree of varied shape, listed by -l."""

    FILES = {
        "a": "alpha\n",
        "d/b": "beta",
        "d/e/c": "",
        ".hidden": "h",
        "with space/na me": "spaces",
        "caf\u00e9/\u00fc": "utf-8 names",
        "dup1": "same",
        "dup2": "same",
    }

    def setUp(self):
        super().setUp()
        self.root = self.path("t")
        make_tree(self.root, self.FILES)
        os.makedirs(self.path("t", "empty", "dir"))
        os.symlink("a", self.path("t", "link-to-file"))
        os.symlink("d", self.path("t", "link-to-dir"))
        os.mkfifo(self.path("t", "fifo"))

    def test_matches_md5sum_of_regular_files(self):
        p = run(["-l", self.root])
        self.assertOk(p)
        got = dict((path, digest) for digest, path in parse_listing(p.stdout))
        self.assertEqual(got, tree_digests(self.root))
        self.assertEqual(len(parse_listing(p.stdout)), len(self.FILES))
        # Oracle independent of Python's hashing too: find + md5sum.
        find = subprocess.run("find . -type f -print0 | xargs -0 md5sum", shell=True, cwd=self.root,
                              stdout=subprocess.PIPE, check=True).stdout
        expected = sorted(l.replace(b"  ./", b"  ", 1) for l in find.splitlines())
        self.assertEqual(sorted(p.stdout.splitlines()), expected)

    def test_md5sum_check_accepts_listing(self):
        p = run(["-l", self.root])
        with open(self.path("listing"), "wb") as f:
            f.write(p.stdout)
        c = subprocess.run(["md5sum", "-c", "--quiet", self.path("listing")], cwd=self.root,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(c.returncode, 0, c.stdout + c.stderr)

    def test_subdirectory_entries_come_together(self):
        p = run(["-l", self.root])
        paths = [path for _, path in parse_listing(p.stdout)]
        idx = [i for i, x in enumerate(paths) if x.startswith(b"d/")]
        self.assertEqual(idx, list(range(idx[0], idx[0] + 2)))

    def test_round_trip_through_listing(self):
        first = run(["-l", self.root])
        with open(self.path("listing"), "wb") as f:
            f.write(first.stdout)
        second = run(["-l", self.path("listing")])
        self.assertOk(second)
        self.assertEqual(second.stdout, first.stdout)

    def test_walk_leaves_parent_of_root(self):
        # A relative path after -l resolves where the walk left: t's parent.
        p = run(["-l", "t/d", "-l", "d/e"], cwd=self.tmp)
        self.assertOk(p)
        self.assertEqual(parse_listing(p.stdout)[-1], (D_EMPTY, b"c"))

    def test_root_may_be_a_symlink(self):
        os.symlink(self.path("t", "d"), self.path("ln"))
        p = run(["-l", "ln", "-l", "d/e"], cwd=self.tmp)
        self.assertOk(p)
        # After walking the link's target t/d, the working directory is t.
        self.assertEqual(parse_listing(p.stdout)[-1], (D_EMPTY, b"c"))


class EmptyTrees(TreeTest):
    def test_empty_and_file_less_trees_print_nothing(self):
        os.makedirs(self.path("empty"))
        os.makedirs(self.path("dirs", "a", "b"))
        open(self.path("zero"), "wb").close()
        for src in ("empty", "dirs", "zero"):
            with self.subTest(src=src):
                p = run(["-l", src], cwd=self.tmp)
                self.assertOk(p)
                self.assertEqual((p.stdout, p.stderr), (b"", b""))


class ListingReader(TreeTest):
    """Lines of a hand-written listing, and what -l gives back for them."""

    DIG = md5_hex(b"x")

    CASES = [
        # (line in the listing, line -l prints for it or None when skipped)
        (DIG + "  plain", DIG + "  plain"),
        (DIG.upper() + "  upper", None),
        (DIG[:-1] + "G  badhex", None),
        (DIG + " one-space", None),
        (DIG + "\ttab", None),
        (DIG + "   three", DIG + "   three"),
        (DIG + "  ", DIG + "  "),
        (DIG + "  crlf\r", DIG + "  crlf"),
        # The name runs to the end of the line, as md5sum reads it.
        # -l writes it back in the escaped form (a tab stays a tab).
        (DIG + "  tab\tkept\x1b", "\\" + DIG + "  tab\tkept\x1b"),
        (DIG + "  caf\u00e9 \u00fc", DIG + "  caf\u00e9 \u00fc"),
        ("", None),
        ("# a comment", None),
        (DIG[:20], None),
        (DIG, None),
        (DIG + " ", None),
    ]

    def test_lines(self):
        text = "\n".join(line for line, _ in self.CASES) + "\n"
        with open(self.path("l"), "wb") as f:
            f.write(text.encode())
        p = run(["-l", self.path("l")])
        self.assertOk(p)
        expected = "".join(out + "\n" for _, out in self.CASES if out is not None).encode()
        self.assertEqual(p.stdout, expected)

    def test_last_line_without_line_feed(self):
        with open(self.path("l"), "wb") as f:
            f.write((self.DIG + "  last").encode())
        p = run(["-l", self.path("l")])
        self.assertEqual(p.stdout, (self.DIG + "  last\n").encode())

    def test_zero_byte_skips_line(self):
        # Never read as the shorter name before the zero byte.
        with open(self.path("l"), "wb") as f:
            f.write((self.DIG + "  ab").encode() + b"\0cd\n" + (self.DIG + "  ef\n").encode())
        p = run(["-l", self.path("l")])
        self.assertEqual(p.stdout, (self.DIG + "  ef\n").encode())

    def test_line_length_limit(self):
        # 4095 bytes is the longest path; one more is refused, not cut.
        ok = self.DIG + "  " + "p" * 4095
        with open(self.path("ok"), "wb") as f:
            f.write((ok + "\n").encode())
        p = run(["-l", self.path("ok")])
        self.assertOk(p)
        self.assertEqual(p.stdout, (ok + "\n").encode())
        with open(self.path("long"), "wb") as f:
            f.write((ok + "q\n" + self.DIG + "  after\n").encode())
        p = run(["-l", self.path("long")])
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stdout, b"")
        self.assertIn(b"line 1", p.stderr)
        self.assertIn(self.path("long").encode(), p.stderr)

    def test_unreadable_listing(self):
        with open(self.path("l"), "wb") as f:
            f.write((self.DIG + "  a\n").encode())
        os.chmod(self.path("l"), 0)
        os.chmod(self.tmp, 0o755)
        p = run_as_nobody(["-l", self.path("l")])
        self.assertEqual(p.returncode, 1)
        self.assertTrue(p.stderr.startswith(b"can not open " + self.path("l").encode() + b" with mode r"), p.stderr)


class WalkLimits(TreeTest):
    def test_unreadable_directory_ends_the_run(self):
        make_tree(self.path("t"), {"a": "x", "locked/b": "y"})
        os.chmod(self.tmp, 0o755)
        os.chmod(self.path("t"), 0o755)
        os.chmod(self.path("t", "locked"), 0)
        p = run_as_nobody(["-l", self.path("t")])
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"locked", p.stderr)

    def test_files_before_an_unreadable_one_are_listed_first(self):
        # Enough files that several are hashed together: the lines before
        # the failure are exactly those of the files walked before it.
        files = {"d%d/f%02d" % (i % 3, i): "content %d\n" % i for i in range(40)}
        make_tree(self.path("t"), files)
        os.chmod(self.tmp, 0o755)
        whole = run_as_nobody(["-l", self.path("t")])
        self.assertOk(whole)
        lines = whole.stdout.splitlines(keepends=True)
        for k in (0, 17, len(lines) - 1):
            with self.subTest(k=k):
                name = parse_listing(lines[k])[0][1].decode()
                os.chmod(self.path("t", name), 0)
                p = run_as_nobody(["-l", self.path("t")])
                os.chmod(self.path("t", name), 0o644)
                self.assertEqual(p.returncode, 1)
                self.assertIn(os.path.basename(name).encode(), p.stderr)
                self.assertEqual(p.stdout, b"".join(lines[:k]))

    def test_relative_path_limit(self):
        # Components of 200 bytes; the file name is sized so that its
        # relative path is exactly 4095 bytes, then one more.
        comps = ["c" * 200] * 20
        base = "/".join(comps)
        for extra, ok in ((4095 - len(base) - 1, True), (4096 - len(base) - 1, False)):
            with self.subTest(ok=ok):
                root = self.path("ok" if ok else "long")
                d = root
                for c in comps:
                    d = os.path.join(d, c)
                    os.makedirs(d, exist_ok=True)
                fd = os.open(".", os.O_RDONLY)
                try:
                    os.chdir(d)
                    with open("f" * extra, "wb") as f:
                        f.write(b"z")
                finally:
                    os.fchdir(fd)
                    os.close(fd)
                p = run(["-l", root])
                if ok:
                    self.assertOk(p)
                    self.assertEqual(len(parse_listing(p.stdout)[0][1]), 4095)
                else:
                    self.assertEqual(p.returncode, 1)
                    self.assertIn(b"longer than 4095", p.stderr)
