"""The tool at its limits: relative paths of 4095 bytes and one more, text
lines of 4095 bytes and one more, a tree 1,100 directories deep, a listing of
a million lines read in flat memory, an archive of 100,000 entries, few
descriptors, little address space. At each limit a run either does the whole
job right or refuses with a message and leaves nothing half done."""

import os
import resource
import subprocess
import sys
import tempfile

from mdt import (TreeTest, archive_member, argv, make_tree, md5_hex, parse_listing, run, tool_env,
                 tree_digests, write_archive)

D_EMPTY = md5_hex(b"")
# os.walk, which the oracles use, recurses once per level of the deep tree.
sys.setrecursionlimit(10000)
# Entries of the big archive; MDTREE_ARCHIVE_ENTRIES lowers it for a quick run.
ARCHIVE_ENTRIES = int(os.environ.get("MDTREE_ARCHIVE_ENTRIES", "100000"))


def run_limited(args, nofile=None, vmem=None, cwd=None, timeout=600):
    """run() under resource limits, soft and hard alike as `ulimit` sets
    them: nofile open descriptors, vmem bytes of address space."""
    def limit():
        if nofile:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
        if vmem:
            resource.setrlimit(resource.RLIMIT_AS, (vmem, vmem))
    return subprocess.run(argv(args), cwd=cwd, env=tool_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          preexec_fn=limit, timeout=timeout)


def temps_below(root):
    return [os.path.join(d, n) for d, ds, fs in os.walk(root) for n in fs + ds if n.startswith(".mdtree-")]


def long_rel(length):
    """A relative path of exactly length bytes in components of 100 bytes."""
    parts, left = [], length
    while left > 101:
        parts.append("c" * 100)
        left -= 101
    return "/".join(parts + ["z" * left])


def make_long_path(root, length, content=b"x"):
    """Creates a file whose path relative to root is exactly length bytes,
    through directory descriptors (its absolute path may pass the system's
    limit). Components are at most 200 bytes. Returns the relative path."""
    parts = []
    left = length
    while left > 201:
        parts.append("d" * 199 + "%d" % (len(parts) % 10))
        left -= 201
    parts.append("f" * left)
    rel = "/".join(parts)
    assert len(rel) == length
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for d in parts[:-1]:
            os.mkdir(d, dir_fd=fd)
            nfd = os.open(d, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = nfd
        wfd = os.open(parts[-1], os.O_WRONLY | os.O_CREAT, 0o666, dir_fd=fd)
        os.write(wfd, content)
        os.close(wfd)
    finally:
        os.close(fd)
    return rel.encode()


class LongRelativePaths(TreeTest):
    """One tree per case: a file whose relative path is 4095 bytes (the most
    a path may have) or 4096 (one more)."""

    def tree(self, length):
        root = self.path("t%d" % length)
        os.mkdir(root)
        rel = make_long_path(root, length, b"deep content")
        make_tree(root, {"short": "s"})
        return root, rel

    def test_4095_bytes_is_listed_and_stored(self):
        root, rel = self.tree(4095)
        p = run(["-l", root])
        self.assertOk(p)
        self.assertIn((md5_hex(b"deep content"), rel), parse_listing(p.stdout))
        p = run(["-R", self.path("db"), "-i", root])
        self.assertOk(p)
        digest = md5_hex(b"deep content")
        with open(self.path("db", digest[:2], digest[2:]), "rb") as f:
            self.assertEqual(f.read(), b"deep content")

    def test_4095_bytes_archive_creation_refuses_cleanly(self):
        # The member is opened below the absolute root, a path longer than
        # 4095 bytes: refused before any archive exists.
        root, rel = self.tree(4095)
        arc = self.path("arc")
        p = run(["-f", root, "-a", arc])
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn(b"path too long", p.stderr)
        self.assertEqual(os.listdir(self.tmp), ["t4095"])

    def test_archive_names_of_4095_and_4096_bytes(self):
        rel = b"n/" * 2047 + b"z"
        good = archive_member(b"short", b"s")
        long_ok = archive_member(rel, b"deep content")
        arc = self.path("arc")
        with open(arc, "wb") as f:
            f.write(write_archive([good, long_ok]))
        p = run(["-l", arc])
        self.assertOk(p)
        self.assertEqual(parse_listing(p.stdout), [(md5_hex(b"s"), b"short"), (md5_hex(b"deep content"), rel)])
        # Below the target the long name is too long for the system's
        # paths: that member is refused by name, the other extracted.
        p = run(["-t", self.path("out"), "-a", arc])
        self.assertOk(p)
        self.assertIn(b"refusing member", p.stderr)
        self.assertEqual(tree_digests(self.path("out")), {b"short": md5_hex(b"s")})
        # A name of 4096 bytes: the whole table is refused, nothing written.
        with open(arc, "wb") as f:
            f.write(write_archive([good, archive_member(rel + b"z", b"x")]))
        for args in (["-l", arc], ["-t", self.path("out2"), "-a", arc]):
            with self.subTest(args=args[0]):
                p = run(args)
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertIn(b"4095", p.stderr)
                self.assertEqual(p.stdout, b"")
        self.assertFalse(os.path.exists(self.path("out2")))

    def test_4096_bytes_is_refused(self):
        root, rel = self.tree(4096)
        for args in (["-l", root], ["-R", self.path("db"), "-i", root], ["-f", root, "-a", self.path("arc")]):
            with self.subTest(args=args[0]):
                p = run(args)
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertIn(b"longer than 4095 bytes", p.stderr)
                self.assertNotIn(rel[:4000], p.stdout)
        self.assertFalse(os.path.exists(self.path("arc")))

    def test_manifest_line_over_4095_bytes_makes_no_patch(self):
        # A 4095-byte path makes a 4130-byte manifest line, which the reader
        # could not take back whole.
        root, rel = self.tree(4095)
        empty = self.path("empty")
        os.mkdir(empty)
        p = run(["-f", empty, "-t", root, "-p", self.path("p")])
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn(b"too long", p.stderr)
        self.assertFalse(os.path.exists(self.path("p", "FILES")))


def make_short_leaf(root, total, content):
    """Creates a file whose absolute path is exactly total bytes and whose
    own name is one byte: shorter than any temporary name beside it."""
    left = total - len(root) - 2  # the slash after root, and the name "f"
    parts = []
    while left > 0:
        n = min(200, left - 1) if left > 201 else left - 1
        n = max(n, 1)
        parts.append("d" * n)
        left -= n + 1
    assert left == 0, left
    rel = "/".join(parts + ["f"])
    assert len(root) + 1 + len(rel) == total
    make_long_path_exact(root, rel, content)
    return rel.encode()


def make_long_path_exact(root, rel, content):
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for d in rel.split("/")[:-1]:
            try:
                os.mkdir(d, dir_fd=fd)
            except FileExistsError:
                pass
            nfd = os.open(d, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = nfd
        wfd = os.open("f", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666, dir_fd=fd)
        os.write(wfd, content)
        os.close(wfd)
    finally:
        os.close(fd)


class NamesNearTheLimit(TreeTest):
    """Final paths within a temporary name's length of 4095 bytes: every
    job that publishes there does the whole job."""

    def test_patch_made_applied_and_undone(self):
        for total in (4090, 4095):
            with self.subTest(total=total):
                # Long roots keep the relative names within a manifest line.
                # P is shorter by "new/" and "old/".
                a, b, t, p = (self.path("%s%d" % (x, total) + "r" * (56 if x == "P" else 60)) for x in "ABTP")
                for root in (a, b, t):
                    os.mkdir(root)
                rel = make_short_leaf(a, total, b"old")
                make_short_leaf(t, total, b"old")
                make_short_leaf(b, total, b"new")
                self.assertOk(run(["-f", a, "-t", b, "-p", p]))
                self.assertOk(run(["-f", t, "-p", p]))
                self.assertEqual(tree_digests(t), {rel: md5_hex(b"new")})
                self.assertOk(run(["-r", "-f", t, "-p", p]))
                self.assertEqual(tree_digests(t), {rel: md5_hex(b"old")})
                self.assertEqual([n for n in walk_names(self.tmp) if n.startswith(b".mdtree-")], [])


def walk_names(root):
    return [n for _, ds, fs in os.walk(os.fsencode(root)) for n in ds + fs]


class LongLines(TreeTest):
    """Listing and manifest lines of 4095 bytes (read whole) and 4096 bytes
    (refused, never cut)."""

    def listing_with_path(self, path_len):
        """A listing whose first line holds a path of path_len bytes (a line
        of path_len + 34 bytes), then a short line."""
        rel = long_rel(path_len)
        make_tree(self.tmp, {"listing": "%s  %s\n%s  last\n" % (md5_hex(b"z"), rel, D_EMPTY)})
        return rel.encode(), self.path("listing")

    def test_listing_line_of_4095_bytes_reads_whole(self):
        rel, listing = self.listing_with_path(4095 - 34)
        p = run(["-l", listing])
        self.assertOk(p)
        with open(listing, "rb") as f:
            self.assertEqual(p.stdout, f.read())
        self.assertEqual(parse_listing(p.stdout)[0][1], rel)

    def test_listing_path_of_4096_bytes_is_refused(self):
        rel, listing = self.listing_with_path(4096)
        out = self.path("out")
        os.mkdir(out)
        for args in (["-l", listing], ["-R", self.path("db"), "-o", listing], ["-R", self.path("db"), "-i", listing]):
            with self.subTest(args=args[-2]):
                p = run(args, cwd=out)
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertIn(b"line 1 names a path longer than 4095 bytes", p.stderr)
                self.assertEqual(p.stdout, b"")
        self.assertEqual(os.listdir(out), [])
        self.assertFalse(os.path.exists(self.path("db")))

    def patch_with_line(self, path_len):
        """A tree and a patch that adds one file whose manifest line is
        path_len + 35 bytes long. The paths are kept short enough for the
        system: the temporary directory name is short."""
        rel = long_rel(path_len)
        tree = self.path("t")
        make_tree(tree, {"keep": "k"})
        patch = self.path("p")
        make_tree(patch, {"FILES": "+%s  %s\n" % (md5_hex(b"new"), rel)})
        dst = os.path.join(patch, "new", rel)
        os.makedirs(os.path.dirname(dst))
        with open(dst, "wb") as f:
            f.write(b"new")
        return rel.encode(), tree, patch

    def test_manifest_line_of_4095_bytes_applies(self):
        rel, tree, patch = self.patch_with_line(4095 - 35)
        if len(tree) + 1 + len(rel) > 4095 or len(patch) + 5 + len(rel) > 4095:
            self.skipTest("temporary directory name too long for this case")
        p = run(["-f", tree, "-p", patch])
        self.assertOk(p)
        self.assertEqual(tree_digests(tree), {b"keep": md5_hex(b"k"), rel: md5_hex(b"new")})

    def test_manifest_path_of_4096_bytes_changes_nothing(self):
        # No file can stand at such a path: the manifest alone.
        tree = make_tree(self.path("t"), {"keep": "k"})
        patch = make_tree(self.path("p"), {"FILES": "+%s  %s\n" % (md5_hex(b"new"), long_rel(4096))})
        p = run(["-f", tree, "-p", patch])
        self.assertNotEqual(p.returncode, 0)
        self.assertIn(b"line 1 is longer than 4130 bytes", p.stderr)
        self.assertEqual(tree_digests(tree), {b"keep": md5_hex(b"k")})


class DeepTree(TreeTest):
    """A tree 1,100 directories deep (more than the usual 1,024 descriptors),
    through every job that walks or writes a tree, under that limit."""

    DEPTH = 1100
    NOFILE = 1024

    def setUp(self):
        super().setUp()
        self.src = self.path("src")
        deep = os.path.join(self.src, *(["d"] * self.DEPTH))
        os.makedirs(deep)
        self.rel = b"d/" * self.DEPTH + b"bottom"
        for i in (1, 500, 1040, self.DEPTH):
            with open(os.path.join(self.src, *(["d"] * i), "f%d" % i), "wb") as f:
                f.write(b"level %d" % i)
            make_tree(os.path.join(self.src, *(["d"] * i)), {"side/s%d" % i: b"side %d" % i})
        with open(os.path.join(deep, "bottom"), "wb") as f:
            f.write(b"at the bottom")
        self.digests = tree_digests(self.src)

    def mdt(self, args, **kw):
        return run_limited(args, nofile=self.NOFILE, **kw)

    def test_listing_store_and_restore(self):
        p = self.mdt(["-l", self.src])
        self.assertOk(p)
        self.assertEqual({path: d for d, path in parse_listing(p.stdout)}, self.digests)
        # Far fewer descriptors than levels, at any thread count: the same listing.
        for jobs in ("1", "4"):
            with self.subTest(nofile=16, jobs=jobs):
                q = run_limited(["-j", jobs, "-l", self.src], nofile=16)
                self.assertOk(q)
                self.assertEqual(q.stdout, p.stdout)
        with open(self.path("listing"), "wb") as f:
            f.write(p.stdout)
        self.assertOk(self.mdt(["-R", self.path("db"), "-i", self.src]))
        out = self.path("out")
        os.mkdir(out)
        self.assertOk(self.mdt(["-R", self.path("db"), "-o", self.path("listing")], cwd=out))
        self.assertEqual(tree_digests(out), self.digests)

    def test_archive_round_trip(self):
        arc = self.path("arc")
        self.assertOk(self.mdt(["-f", self.src, "-a", arc]))
        self.assertOk(self.mdt(["-t", self.path("out"), "-a", arc]))
        self.assertEqual(tree_digests(self.path("out")), self.digests)

    def test_patch_round_trip(self):
        empty = self.path("empty")
        os.mkdir(empty)
        self.assertOk(self.mdt(["-f", empty, "-t", self.src, "-p", self.path("p")]))
        self.assertOk(self.mdt(["-f", empty, "-p", self.path("p")]))
        self.assertEqual(tree_digests(empty), self.digests)


class FewDescriptors(TreeTest):
    """Listing, storing, restoring, extracting, checking and making a patch
    of one tree of 150 files, each in a directory of its own, with few
    descriptors (soft and hard limit alike), at several thread counts: the
    same results as with many, and when even that is too few, a
    message that says so and no temporary file left."""

    # (descriptors, threads)
    CASES = [(16, "1"), (16, "8"), (64, "2"), (64, "16"), (1024, "64")]

    def setUp(self):
        super().setUp()
        # A directory per file: no job may hold a descriptor per directory.
        self.src = make_tree(self.path("src"), {"d%d/f%03d" % (i, i): os.urandom(i * 37 % 3000)
                                                for i in range(150)})
        os.mkdir(self.path("empty"))
        make_tree(self.src, {"top": "t"})
        self.digests = tree_digests(self.src)
        self.listing = self.path("src.md5")
        with open(self.listing, "wb") as f:
            f.write(b"".join(b"%s  %s\n" % (d.encode(), n) for n, d in sorted(self.digests.items())))
        self.arc = self.path("src.vok")
        self.assertOk(run(["-f", self.src, "-a", self.arc]))

    def jobs(self, nofile, jobs, tag):
        """Runs every job under the limit; returns their processes."""
        db, out, ext, patch = (self.path("%s-%s" % (k, tag)) for k in ("db", "out", "ext", "patch"))
        os.mkdir(out)
        lim = lambda args, **kw: run_limited(["-j", jobs] + args, nofile=nofile, timeout=120, **kw)
        return {"-l": lim(["-l", self.src]),
                "-i": lim(["-R", db, "-i", self.src]),
                "-o": lim(["-R", db, "-o", self.listing], cwd=out),
                "-t": lim(["-t", ext, "-a", self.arc]),
                "-c": lim(["-c", self.listing], cwd=self.src),
                "-p": lim(["-f", self.path("empty"), "-t", self.src, "-p", patch])}, out, ext

    def test_jobs_within_the_limit(self):
        for nofile, jobs in self.CASES:
            with self.subTest(nofile=nofile, jobs=jobs):
                p, out, ext = self.jobs(nofile, jobs, "%d-%s" % (nofile, jobs))
                for job, proc in p.items():
                    self.assertOk(proc, "%s: %r" % (job, proc.stderr[-500:]))
                self.assertEqual({n: d for d, n in parse_listing(p["-l"].stdout)}, self.digests)
                self.assertEqual(tree_digests(out), self.digests)
                self.assertEqual(tree_digests(ext), self.digests)
                self.assertEqual(tree_digests(self.path("patch-%d-%s" % (nofile, jobs), "new")), self.digests)
                self.assertEqual(p["-c"].stdout, b"".join(b"%s: OK\n" % n for n in sorted(self.digests)))
                self.assertEqual(temps_below(self.tmp), [])

    def test_too_few_descriptors_are_named(self):
        if os.environ.get("ASAN_OPTIONS"):
            self.skipTest("the sanitizer's own checks need descriptors of their own")
        p, _, _ = self.jobs(4, "4", "4")
        for job, proc in p.items():
            with self.subTest(job=job):
                self.assertEqual(proc.returncode, 1, proc.stderr)
                self.assertIn(b": Too many open files\n", proc.stderr)
                self.assertNotIn(b"with mode", proc.stderr)
        self.assertEqual(temps_below(self.tmp), [])


class SmallAddressSpace(TreeTest):
    """Under a limit of 800 MB of address space, many threads: the jobs never
    abort; they finish with fewer threads (or end with a message), and leave
    no temporary file."""

    def test_many_threads_in_little_memory(self):
        if any(os.environ.get(k) for k in ("ASAN_OPTIONS", "TSAN_OPTIONS", "MDTREE_SLOW_BUILD")):
            self.skipTest("a sanitizer reserves more address space than the limit")
        src = make_tree(self.path("src"), {"d%02d/f%04d" % (i % 30, i): os.urandom(i % 3000) for i in range(400)})
        digests = tree_digests(src)
        arc = self.path("a.vok")
        self.assertOk(run(["-f", src, "-a", arc]))
        for jobs in ("128", "512"):
            with self.subTest(jobs=jobs):
                lim = lambda args: run_limited(["-j", jobs] + args, vmem=800000 * 1024, timeout=300)
                runs = {"-l": lim(["-l", src]), "-i": lim(["-R", self.path("db" + jobs), "-i", src]),
                        "-t": lim(["-t", self.path("out" + jobs), "-a", arc])}
                for job, p in runs.items():
                    self.assertNotIn(b"Fatal glibc error", p.stderr)
                    self.assertEqual(p.returncode, 0, "%s: %r" % (job, p.stderr[-300:]))
                self.assertEqual({n: d for d, n in parse_listing(runs["-l"].stdout)}, digests)
                self.assertEqual(tree_digests(self.path("out" + jobs)), digests)
                self.assertEqual(temps_below(self.tmp), [])


def max_rss_kb(args, **kw):
    """Runs mdtree under /usr/bin/time and returns (process, max RSS in kB)."""
    with tempfile.NamedTemporaryFile() as t:
        from mdt import MDTREE
        p = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", t.name, MDTREE] + list(args), env=tool_env(),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)
        return p, int(open(t.name).read().split()[-1])


class BigInputs(TreeTest):

    def write_listing(self, path, n):
        with open(path, "wb") as f:
            for start in range(0, n, 10000):
                f.write(b"".join(b"%s  dir%03d/file%07d\n" % (md5_hex(b"%d" % i).encode(), i % 1000, i)
                                 for i in range(start, min(n, start + 10000))))

    def test_million_line_listing_in_flat_memory(self):
        small, big = self.path("small"), self.path("big")
        self.write_listing(small, 1000)
        self.write_listing(big, 1000000)
        p_small, rss_small = max_rss_kb(["-l", small])
        p_big, rss_big = max_rss_kb(["-l", big])
        self.assertOk(p_small)
        self.assertOk(p_big)
        with open(big, "rb") as f:
            self.assertEqual(p_big.stdout, f.read())
        # A thousand times the lines, the same memory (give or take a few
        # megabytes of allocator and buffer noise).
        self.assertLess(rss_big - rss_small, 8 * 1024, (rss_small, rss_big))

    def test_archive_of_100000_entries(self):
        n = ARCHIVE_ENTRIES
        contents = [b"content %d" % k for k in range(50)] + [b""]
        shared = [archive_member("", c) for c in contents]
        # Entries with equal content share one stream object, so one stream.
        entries = [dict(shared[i % 51], name=b"d%03d/f%06d" % (i % 500, i)) for i in range(n)]
        arc = self.path("arc")
        with open(arc, "wb") as f:
            f.write(write_archive(entries))
        p = run(["-l", arc])
        self.assertOk(p)
        want = [(md5_hex(contents[i % 51]), b"d%03d/f%06d" % (i % 500, i)) for i in range(n)]
        self.assertEqual(parse_listing(p.stdout), want)
        p = run(["-t", self.path("out"), "-a", arc])
        self.assertOk(p)
        self.assertEqual(p.stderr.count(b": OK\n"), n)
        got = tree_digests(self.path("out"))
        self.assertEqual(got, {path: d for d, path in want})
