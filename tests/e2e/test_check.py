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
            # A line too long to hold ends the run, after the lines before it.
            (self.write("long.md5", b"%s  a\n%s  %s\n%s  a\n" % (good, good, b"n" * (17 << 20), good)),
             b"a: OK\n", b"long.md5: line 2 is longer than 16777216 bytes; nothing checked after it\n"),
            (self.path("missing.md5"), b"", b"can not stat"),
        ]
        for listing, out, err in cases:
            with self.subTest(listing=listing):
                p = run(["-c", listing], cwd=t)
                self.assertEqual((p.returncode, p.stdout), (1, out))
                self.assertIn(err, p.stderr)
        # Standard input is named as in every other message about it.
        p = run(["-c", "-"], cwd=t, input=b"%s  a\n%s  ../outside\n" % (good, good))
        self.assertEqual((p.returncode, p.stdout, p.stderr),
                         (1, b"a: OK\n", b"mdtree: standard input: ../outside leads out of the tree or names no file; "
                                         b"nothing checked after it\n"))

    def test_a_fifo_fails_without_blocking(self):
        t = make_tree(self.path("t"), {"a": "alpha"})
        os.mkfifo(os.path.join(t, "pipe"))
        listing = self.write("l", b"%s  pipe\n%s  a\n" % (md5_hex(b"").encode(), md5_hex(b"alpha").encode()))
        p = run(["-c", listing], cwd=t, timeout=60)
        self.assertEqual((p.returncode, p.stdout), (1, b"pipe: FAILED open or read\na: OK\n"))
        self.assertIn(b"pipe: not a regular file", p.stderr)


E = md5_hex(b"").encode()
X = md5_hex(b"x").encode()
# Listings, each run in the tree of SideBySide.setUp (tree names: a, "a b",
# " lead", "t\tb", "e\x1bx", "b\\c", "n\nl", "cr\r", "l" * 255, "empty";
# d is a directory, dang a dangling link).
LISTINGS = {
    "untagged": b"%s  a\n%s  a b\n%s   lead\n%s  t\tb\n%s  e\x1bx\n%s  b\\c\n%s  %s\n" % (
        X, X, X, X, X, X, X, b"l" * 255),
    "escaped": b"\\%s  n\\nl\n\\%s  b\\\\c\n\\%s  cr\\r\n\\%s  bad\\tescape\n" % (X, X, X, X),
    "marker_upper_tag": b"%s *a\n%s  empty\nMD5 (a b) = %s\nMD5(t\tb)=%s\n  %s  a\n" % (
        X, E.upper(), X, X.upper(), X),
    "crlf": b"%s  a\r\n%s  a b\r\n# comment\n\n" % (X, X),
    "faults": b"%s  missing\n%s  d\n%s  dang\n%s  a\n%s  empty\n" % (E, E, E, E, E),
    "malformed": b"garbage\n%s  a\n%s a\nMD5 (a) = short\n%s\n" % (X, X, X),
    "reversed": b"%s a\n%s  a\n" % (X, X),
    # No file below the tree: an empty name, the tree itself.
    "tree_itself": b"MD5 () = %s\nMD5 (.) = %s\n%s  ./\n%s  .//.\n%s  a\n" % (X, X, X, X, X),
    "only_missing": b"%s  missing\n" % E,
    "none_matched": b"%s  missing\n%s  a\n%s  d\n" % (E, E, E),
    "empty": b"",
    "no_valid_line": b"no checksum\n\n# only a comment\n",
}
OPTIONS = [[], ["--quiet"], ["--status"], ["--warn"], ["--strict"], ["--ignore-missing"],
           ["--warn", "--strict"], ["--status", "--warn"], ["--quiet", "--ignore-missing", "--strict"]]


class SideBySide(TreeTest):
    """md5sum -c and mdtree -c on the same listings, in the same tree: the same
    standard output, standard error (the prefix aside) and status."""

    def setUp(self):
        super().setUp()
        names = ["a", "a b", " lead", "t\tb", "e\x1bx", "b\\c", "n\nl", "cr\r", "l" * 255]
        self.t = make_tree(self.path("t"), dict({n: "x" for n in names}, empty=""))
        os.mkdir(self.path("t", "d"))
        os.symlink("nowhere", self.path("t", "dang"))

    def both(self, listing, opts, stdin=None):
        env = dict(os.environ, LC_ALL="C")
        theirs = subprocess.run(["md5sum", "-c"] + opts + [listing], cwd=self.t, env=env, input=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        ours = run(["-c", listing] + opts, cwd=self.t, input=stdin)
        return ours, theirs

    def assertSame(self, ours, theirs):
        self.assertEqual((ours.returncode, ours.stdout, ours.stderr.replace(b"mdtree: ", b"md5sum: ")),
                         (theirs.returncode, theirs.stdout, theirs.stderr))

    def test_every_listing_with_every_option(self):
        for name, text in LISTINGS.items():
            listing = self.path(name + ".md5")
            with open(listing, "wb") as f:
                f.write(text)
            for opts in OPTIONS:
                with self.subTest(listing=name, opts=opts):
                    self.assertSame(*self.both(listing, opts))

    def test_standard_input(self):
        # A name "-" in a listing read from standard input is improperly
        # formatted (elsewhere md5sum would read its own standard input).
        dash = b"%s  -\n%s  a\n" % (E, X)
        for text in (LISTINGS["untagged"], LISTINGS["faults"], LISTINGS["empty"], dash):
            for opts in ([], ["--ignore-missing"], ["--warn", "--strict"]):
                with self.subTest(listing=text[:40], opts=opts):
                    self.assertSame(*self.both("-", opts, stdin=text))

    def test_a_tab_is_part_of_the_name(self):
        # The file "a" matches the digest; the line names "a<TAB>b".
        with open(self.path("tab.md5"), "wb") as f:
            f.write(b"%s  a\tzz\n" % X)
        ours, theirs = self.both(self.path("tab.md5"), [])
        self.assertSame(ours, theirs)
        self.assertEqual((ours.returncode, ours.stdout), (1, b"a\tzz: FAILED open or read\n"))


class ProcFiles(TreeTest):
    """Files of /proc say they are empty and are not: -c reads them to their
    end, as md5sum does."""

    def test_proc_files_read_whole(self):
        where = "/proc/sys/fs/inotify"
        names = sorted(os.listdir(where))
        env = dict(os.environ, LC_ALL="C")
        listing = subprocess.run(["md5sum"] + names, cwd=where, env=env, stdout=subprocess.PIPE, check=True).stdout
        with open(self.path("proc.md5"), "wb") as f:
            f.write(listing)
        theirs = subprocess.run(["md5sum", "-c", self.path("proc.md5")], cwd=where, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ours = run(["-C", where, "-c", self.path("proc.md5")])
        self.assertEqual((ours.returncode, ours.stdout), (theirs.returncode, theirs.stdout))
        self.assertEqual(ours.stdout, b"".join(n.encode() + b": OK\n" for n in names))


class LongestPaths(TreeTest):
    """-l of a tree with paths as long as the system allows, read back by -c
    and -o."""

    def test_listing_of_the_longest_paths_reads_back(self):
        base = "/dev/shm/check-longest-%d" % os.getpid()
        os.mkdir(base)
        try:
            tree = os.path.join(base, "t")
            os.mkdir(tree)
            # 4095 bytes of relative path, in 255-byte components.
            parts = []
            while sum(len(p) + 1 for p in parts) + 255 < 4095 - 1:
                parts.append("d" * 255)
            rel = "/".join(parts)
            rel += "/" + "f" * (4095 - len(rel) - 1)
            self.assertEqual(len(rel), 4095)
            fd = os.open(tree, os.O_RDONLY)
            try:
                # Made relative to the tree: the full path is past PATH_MAX.
                for i in range(1, len(parts) + 1):
                    os.mkdir("/".join(parts[:i]), dir_fd=fd)
                with open(os.open(rel, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
                    f.write(b"deep")
            finally:
                os.close(fd)
            p = run(["-l", tree])
            self.assertOk(p)
            self.assertEqual(p.stdout, b"%s  %s\n" % (md5_hex(b"deep").encode(), rel.encode()))
            listing = os.path.join(base, "l")
            with open(listing, "wb") as f:
                f.write(p.stdout)
            p = run(["-C", tree, "-c", listing])
            self.assertOk(p)
            self.assertEqual(p.stdout, rel.encode() + b": OK\n")
            db = os.path.join(base, "db")
            out = os.path.join(base, "out")
            os.mkdir(out)
            self.assertOk(run(["-R", db, "-i", tree]))
            self.assertOk(run(["-R", db, "-o", listing], cwd=out))
            fd = os.open(out, os.O_RDONLY)
            try:
                with open(os.open(rel, os.O_RDONLY, dir_fd=fd), "rb") as f:
                    self.assertEqual(f.read(), b"deep")
            finally:
                os.close(fd)
        finally:
            subprocess.run(["rm", "-rf", base])
