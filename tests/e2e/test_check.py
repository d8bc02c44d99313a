"""-c checks a tree against a source: md5sum -c --strict, run on the same
listing as the same user, is the oracle for every line, the warnings and the
status; hashlib and the file system for the rest."""

import os
import subprocess

from mdt import (MDTREE, TreeTest, argv, make_tree, md5_hex, run, run_as_nobody, tree_digests)


def nobody(cmd, cwd):
    """cmd as the user nobody (permissions do not stop root)."""
    if os.geteuid() == 0:
        cmd = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + cmd
    return subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)


def warnings(stderr, prog):
    return [l.split(b": ", 1)[1] for l in stderr.splitlines() if l.startswith(prog + b": WARNING: ")]


class AgainstMd5sum(TreeTest):
    """One tree with every kind of verdict, enough files for several groups."""

    def setUp(self):
        super().setUp()
        files = {"d%d/f%02d" % (i % 4, i): "content %d\n" % i * (i % 9) for i in range(70)}
        files.update({"a\nb": "newline", "back\\slash": "bs", "both\\\nx": "both", " lead": "sp",
                      "caf\u00e9": "utf8", "changed": "old", "gone": "here", "locked": "secret",
                      "dir": "file now, directory later"})
        self.t = make_tree(self.path("t"), files)
        p = run(["-l", self.t])
        self.assertOk(p)
        listing = p.stdout + b"".join(b"%s  ./%s\n" % (md5_hex(files[n].encode()).encode(), n.encode())
                                      for n in ("d1/f01", "changed"))
        listing += b"\n# a comment\n"
        with open(self.path("l.md5"), "wb") as f:
            f.write(listing)
        with open(self.path("t", "changed"), "w") as f:
            f.write("new")
        os.unlink(self.path("t", "gone"))
        os.unlink(self.path("t", "dir"))
        os.mkdir(self.path("t", "dir"))
        os.chmod(self.path("t", "locked"), 0)
        make_tree(self.t, {"extra/unlisted": "x"})
        for d in (self.tmp, self.t):
            os.chmod(d, 0o755)

    def test_lines_warnings_and_status_are_md5sums(self):
        ours = nobody(argv(["-c", self.path("l.md5")]), self.t)
        theirs = nobody(["md5sum", "-c", "--strict", self.path("l.md5")], self.t)
        self.assertEqual(ours.stdout, theirs.stdout)
        self.assertEqual((ours.returncode, warnings(ours.stderr, b"mdtree")),
                         (theirs.returncode, warnings(theirs.stderr, b"md5sum")))
        self.assertEqual(ours.returncode, 1)
        # Every verdict is there: the oracle's output is not trivially equal.
        for line in (b"changed: FAILED\n", b"gone: FAILED open or read\n", b"locked: FAILED open or read\n",
                     b"dir: FAILED open or read\n", b"\\a\\nb: OK\n", b"\\both\\\\\\nx: OK\n",
                     b"back\\slash: OK\n", b"./d1/f01: OK\n", b"./changed: FAILED\n"):
            self.assertIn(line, ours.stdout)
        # Each file that could not be read is named, with the reason.
        for reason in (b"gone: No such file or directory", b"locked: Permission denied", b"dir: Is a directory"):
            self.assertIn(reason, ours.stderr)

    def test_unlisted_files_and_another_tree(self):
        p = run(["-u", "-C", self.t, "-c", self.path("l.md5")], cwd="/")
        self.assertEqual(p.returncode, 1)
        self.assertEqual([l for l in p.stdout.splitlines() if l.endswith(b": NOT LISTED")],
                         [b"extra/unlisted: NOT LISTED"])
        self.assertIn(b"mdtree: WARNING: 1 file is not listed\n", p.stderr)
        # Root reads the locked file: only the real differences fail.
        self.assertIn(b"locked: OK\n", p.stdout)

    def test_a_clean_tree_passes_and_stays_where_it_was(self):
        clean = make_tree(self.path("c"), {"x": "1", "y/z": "2", "y/w": "3"})
        p = run(["-l", clean])
        with open(self.path("c.md5"), "wb") as f:
            f.write(p.stdout)
        # After -c (with the walk of -u), a relative path resolves where it did.
        p = run(["-u", "-C", clean, "-c", self.path("c.md5"), "-l", "c"], cwd=self.tmp)
        self.assertOk(p)
        self.assertEqual(sorted(p.stdout.splitlines()[:3]), [b"x: OK", b"y/w: OK", b"y/z: OK"])
        self.assertEqual(len(p.stdout.splitlines()), 6)
        self.assertEqual(p.stderr, b"")


class Sources(TreeTest):
    """A directory and an archive stand for a listing, as everywhere."""

    def test_directory_and_archive_sources(self):
        files = {"a": "alpha", "s/b": "beta", "s/c": "gamma"}
        orig = make_tree(self.path("orig"), files)
        copy = make_tree(self.path("copy"), dict(files, **{"s/b": "BETA"}))
        os.unlink(os.path.join(copy, "a"))
        self.assertOk(run(["-f", orig, "-a", self.path("orig.vok")]))
        for source in (orig, self.path("orig.vok")):
            with self.subTest(source=source):
                p = run(["-C", copy, "-c", source])
                self.assertEqual(p.returncode, 1)
                self.assertEqual(sorted(p.stdout.splitlines()),
                                 [b"a: FAILED open or read", b"s/b: FAILED", b"s/c: OK"])
                self.assertEqual(warnings(p.stderr, b"mdtree"),
                                 [b"WARNING: 1 listed file could not be read",
                                  b"WARNING: 1 computed checksum did NOT match"])


class BadInput(TreeTest):
    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def test_refusals(self):
        t = make_tree(self.path("t"), {"a": "alpha"})
        make_tree(self.tmp, {"outside": "secret"})
        good = md5_hex(b"alpha").encode()
        cases = [
            # A name that leads out of the tree is refused, after the lines before it.
            (self.write("up.md5", b"%s  a\n%s  ../outside\n%s  a\n" % (good, md5_hex(b"secret").encode(), good)),
             b"a: OK\n", b"../outside leads out of the tree"),
            (self.write("abs.md5", b"%s  %s\n" % (md5_hex(b"secret").encode(), self.path("outside").encode())),
             b"", b"leads out of the tree"),
            (self.write("junk.md5", b"no checksum here\n"), b"", b"no properly formatted checksum lines found"),
            (self.path("missing.md5"), b"", b"can not stat"),
        ]
        for listing, out, err in cases:
            with self.subTest(listing=listing):
                p = run(["-c", listing], cwd=t)
                self.assertEqual((p.returncode, p.stdout), (1, out))
                self.assertIn(err, p.stderr)

    def test_a_fifo_fails_without_blocking(self):
        t = make_tree(self.path("t"), {"a": "alpha"})
        os.mkfifo(os.path.join(t, "pipe"))
        listing = self.write("l", b"%s  pipe\n%s  a\n" % (md5_hex(b"").encode(), md5_hex(b"alpha").encode()))
        p = run(["-c", listing], cwd=t, timeout=60)
        self.assertEqual((p.returncode, p.stdout), (1, b"pipe: FAILED open or read\na: OK\n"))
        self.assertIn(b"pipe: not a regular file", p.stderr)
