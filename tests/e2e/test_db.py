"""The content store: -i stores a source under digest names, -o rebuilds the
files a listing names; the root comes from -R or DB_ROOT. After every test
each object in the store must hash to its own name (hashlib as the oracle)."""

import os
import random
import re
import subprocess
import unittest

from mdt import (TreeTest, argv, check_store, make_tree, md5_hex, parse_listing, run, store_digests, strace_works,
              traced_env,
                 tree_digests, usage_text)

ROOT_MESSAGE = b"database root unknown. Set DB_ROOT in the environment\n, or use -R parameter"
EMPTY_OBJECT = ("d4", "1d8cd98f00b204e9800998ecf8427e")
# Longest root whose store paths fit in 4095 bytes: root, '/', XX, '/', 30 digits.
STORE_ROOT_MAX = 4095 - 34

# One tree shape for the round trip: nested directories, two files with one
# content, empty files, a space and UTF-8 in names, a hidden file, and a file
# larger than one copy block.
ROUND_TRIP = {
    "a.txt": "alpha\n",
    "dup1": "same content\n",
    "sub/dup2": "same content\n",
    "sub/deeper/empty": b"",
    "sub/deeper/another empty": b"",
    "with space.txt": "x y\n",
    "caf\u00e9/\u00fcber": "utf-8 names\n",
    ".hidden": "h\n",
    "big.bin": random.Random(1).randbytes(300_001),
}

SMALL = {"a": "first\n", "b": "second\n", "c": "third\n"}


def object_path(root, digest):
    return os.path.join(root, digest[:2], digest[2:])


def write_listing(path, entries):
    """entries: (digest, relative path) pairs, written in that order."""
    with open(path, "wb") as f:
        for digest, name in entries:
            f.write(digest.encode() + b"  " + os.fsencode(name) + b"\n")
    return path


class DbTest(TreeTest):
    def setUp(self):
        super().setUp()
        self.db = self.path("db")
        self.addCleanup(self.assertStoreSound, self.db)

    def assertStoreSound(self, root):
        problems, objects, temps = check_store(root)
        self.assertEqual(problems, [])
        self.assertEqual(temps, [], "temporary files left in the store")
        return objects

    def store(self, tree, root=None, **kw):
        p = run(["-R", root or self.db, "-i", tree], **kw)
        self.assertOk(p)
        return p


class StoreAndRestore(DbTest):
    def test_round_trip(self):
        tree = make_tree(self.path("tree"), ROUND_TRIP)
        expect = tree_digests(tree)
        p = self.store(tree)
        stored = {}
        for line in p.stdout.splitlines():
            self.assertEqual((line[2:3], line[33:35]), (b"/", b"  "), line)
            stored[line[35:]] = line[:33].decode()
        self.assertEqual(len(p.stdout.splitlines()), len(expect))
        self.assertEqual({n: o.replace("/", "") for n, o in stored.items()}, expect)
        # One object per distinct content, shared by both lines that have it.
        self.assertEqual(store_digests(self.db), set(expect.values()))
        self.assertEqual(stored[b"dup1"], stored[b"sub/dup2"])
        self.assertEqual(os.path.getsize(os.path.join(self.db, *EMPTY_OBJECT)), 0)

        listing = run(["-l", tree])
        self.assertOk(listing)
        with open(self.path("tree.lst"), "wb") as f:
            f.write(listing.stdout)
        out = self.path("out")
        os.mkdir(out)
        p = run(["-o", self.path("tree.lst")], cwd=out, env={"DB_ROOT": self.db})
        self.assertOk(p)
        self.assertEqual(p.stdout.splitlines(), [n for _, n in parse_listing(listing.stdout)])
        self.assertTreesEqual(tree, out)

    def test_storing_again_writes_every_object_anew(self):
        tree = make_tree(self.path("tree"), ROUND_TRIP)
        first = self.store(tree)
        # Damage an object through a second link to it: storing again must
        # replace the object with a new file, not write into the old one.
        obj = object_path(self.db, md5_hex(b"alpha\n"))
        os.link(obj, self.path("link"))
        with open(self.path("link"), "r+b") as f:
            f.write(b"X")
        second = self.store(tree)
        self.assertEqual(second.stdout, first.stdout)
        self.assertEqual(store_digests(self.db), set(tree_digests(tree).values()))
        with open(self.path("link"), "rb") as f:
            self.assertEqual(f.read(), b"Xlpha\n")

    def source(self, kind, tree):
        """A listing or an archive describing tree as it is now."""
        if kind == "listing":
            return write_listing(self.path("l"), [(md5_hex(v.encode()), k) for k, v in SMALL.items()])
        archive = self.path("z")
        self.assertOk(run(["-f", tree, "-a", archive]))
        return archive

    def test_store_and_restore_by_listing_or_archive(self):
        # Files are read at the source's paths below the working directory,
        # and restored below it again.
        for kind in ("listing", "archive"):
            with self.subTest(kind=kind):
                base = self.path(kind)
                db = os.path.join(base, "db")
                tree = make_tree(os.path.join(base, "tree"), SMALL)
                src = self.source(kind, tree)
                p = self.store(src, root=db, cwd=tree)
                self.assertEqual(sorted(p.stdout.splitlines()),
                                 sorted(("%s/%s  %s" % (md5_hex(v.encode())[:2], md5_hex(v.encode())[2:], k)).encode()
                                        for k, v in SMALL.items()))
                self.assertEqual(store_digests(db), {md5_hex(v.encode()) for v in SMALL.values()})
                self.assertStoreSound(db)
                out = os.path.join(base, "out")
                os.mkdir(out)
                self.assertOk(run(["-R", db, "-o", src], cwd=out))
                self.assertTreesEqual(tree, out)

    def test_stale_digest_is_not_stored(self):
        for kind in ("listing", "archive"):
            with self.subTest(kind=kind):
                base = self.path(kind)
                db = os.path.join(base, "db")
                tree = make_tree(os.path.join(base, "tree"), SMALL)
                src = self.source(kind, tree)
                make_tree(tree, {"b": "changed after listing\n"})
                p = run(["-R", db, "-i", src], cwd=tree)
                self.assertEqual(p.returncode, 1)
                self.assertIn(b"b: content has digest " + md5_hex(b"changed after listing\n").encode(), p.stderr)
                # The entries before the stale one are stored; nothing under
                # either digest of b.
                stored = {line[35:].decode() for line in p.stdout.splitlines()}
                self.assertNotIn("b", stored)
                self.assertEqual(store_digests(db), {md5_hex(SMALL[k].encode()) for k in stored})
                self.assertStoreSound(db)


    def test_listing_naming_a_non_regular_file_is_refused(self):
        # A FIFO must not block the run; a directory can not be read as a file.
        os.mkfifo(self.path("fifo"))
        os.mkdir(self.path("dir"))
        for name in ("fifo", "dir"):
            with self.subTest(name=name):
                lst = self.path(name + ".lst")
                with open(lst, "wb") as f:
                    f.write(("%s  %s\n" % (md5_hex(b""), name)).encode())
                p = run(["-R", self.db, "-i", lst], cwd=self.tmp, timeout=20)
                self.assertEqual(p.returncode, 1)
                self.assertIn(b"not a regular file", p.stderr)
                self.assertEqual(p.stdout, b"")
                self.assertEqual(store_digests(self.db) if os.path.exists(self.db) else set(), set())


@unittest.skipUnless(strace_works(), "needs strace")
class DirectoriesMade(DbTest):
    """On a network file system a look-up of a name is a round trip: a
    directory -i or -o makes (the store's two-digit directories, the
    restored tree's) is made at once, not looked up first and found
    missing. strace records the calls; diff -r and the store check judge
    the files."""

    def traced(self, args, cwd=None):
        log = self.path("calls.log")
        p = subprocess.run(["strace", "-qq", "-f", "-y", "-o", log, "-e", "trace=%stat,%lstat,%fstat,mkdir,mkdirat"] +
                           argv(args), cwd=cwd, env=traced_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=120)
        self.assertOk(p)
        # Each path's first look (a stat of any kind) and first mkdir, in
        # the order the calls started; a name relative to a directory's
        # descriptor is joined to the path strace gives for it, and taken
        # relative to cwd again.
        first = {}
        call = re.compile(r'^\d+\s+(\w+)\((?:AT_FDCWD, |\d+<([^>]*)>, )?"((?:[^"\\]|\\.)*)"')
        with open(log, errors="replace") as f:
            for line in f:
                m = call.match(line)
                if m:
                    kind = "mkdir" if m.group(1).startswith("mkdir") else "look"
                    path = m.group(3)
                    if m.group(2):
                        path = os.path.join(m.group(2), path)
                        if cwd and path.startswith(cwd + "/"):
                            path = path[len(cwd) + 1:]
                    first.setdefault((kind, path), len(first))
        return p, first

    def assertMadeWithoutLook(self, first, made):
        for d in made:
            self.assertIn(("mkdir", d), first, "%s was not made by the run" % d)
            look = first.get(("look", d))
            self.assertTrue(look is None or look > first["mkdir", d], "%s was looked up before it was made" % d)

    def test_store_and_restore_make_their_directories_at_once(self):
        src = self.path("src")
        make_tree(src, ROUND_TRIP)
        _, first = self.traced(["-R", self.db, "-i", src])
        fanout = [os.path.join(self.db, d) for d in os.listdir(self.db) if len(d) == 2]
        self.assertEqual(sorted(fanout), sorted({os.path.join(self.db, h[:2]) for h in tree_digests(src).values()}))
        self.assertMadeWithoutLook(first, fanout)
        listing = self.path("tree.lst")
        with open(listing, "wb") as f:
            p = run(["-l", "."], cwd=src)
            self.assertOk(p)
            f.write(p.stdout)
        out = self.path("out")
        os.mkdir(out)
        _, first = self.traced(["-R", self.db, "-o", listing], cwd=out)
        self.assertTreesEqual(src, out)
        self.assertMadeWithoutLook(first, ["sub", "sub/deeper", "caf\\303\\251"])


class RestoreFailures(DbTest):
    def test_restore_stops_at_a_bad_object(self):
        for damage in ("missing", "damaged"):
            with self.subTest(damage=damage):
                base = self.path(damage)
                db = os.path.join(base, "db")
                self.store(make_tree(os.path.join(base, "tree"), SMALL), root=db)
                listing = write_listing(os.path.join(base, "l"),
                                        [(md5_hex(SMALL[k].encode()), k) for k in ("a", "b", "c")])
                out = make_tree(os.path.join(base, "out"), {"b": "old b\n"})
                obj = object_path(db, md5_hex(b"second\n"))
                if damage == "missing":
                    os.remove(obj)
                else:
                    with open(obj, "wb") as f:
                        f.write(b"second, damaged\n")
                p = run(["-R", db, "-o", listing], cwd=out)
                self.assertEqual(p.returncode, 1)
                self.assertEqual(p.stdout, b"a\n")
                if damage == "missing":
                    self.assertRegex(p.stderr, rb"^can not open %s with mode rb at line \d+\n$" % obj.encode())
                else:
                    self.assertIn(b"damaged object " + obj.encode(), p.stderr)
                # Earlier entries restored, the bad entry's file as it was,
                # nothing after it, no temporary file left.
                self.assertEqual(sorted(os.listdir(out)), ["a", "b"])
                self.assertEqual(tree_digests(out), {b"a": md5_hex(b"first\n"), b"b": md5_hex(b"old b\n")})

    def test_restore_refuses_a_directory(self):
        tree = make_tree(self.path("tree"), SMALL)
        self.store(tree)
        out = self.path("out")
        os.mkdir(out)
        p = run(["-R", self.db, "-o", tree], cwd=out)
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"not a directory: " + tree.encode(), p.stderr)
        self.assertEqual(p.stdout, b"")
        self.assertEqual(os.listdir(out), [])
        self.assertEqual(tree_digests(tree), {k.encode(): md5_hex(v.encode()) for k, v in SMALL.items()})

    def test_empty_path_entry(self):
        listing = write_listing(self.path("l"), [("".join(EMPTY_OBJECT), "")])
        work = self.path("work")
        os.mkdir(work)
        p = run(["-R", self.db, "-i", listing], cwd=work)
        self.assertEqual(p.returncode, 1)
        self.assertRegex(p.stderr, rb"^can not open  with mode rb at line \d+\n$")
        self.assertEqual(store_digests(self.db), set())

        self.store(make_tree(self.path("tree"), {"e": b""}))
        p = run(["-R", self.db, "-o", listing], cwd=work)
        self.assertEqual((p.returncode, p.stdout, p.stderr), (1, b"", b"can not read \n"))
        self.assertEqual(os.listdir(work), [])


class RestorePaths(DbTest):
    def test_listing_paths_are_taken_unchanged(self):
        contents = {"f1": "one\n", "f2": "two\n", "f3": "three\n"}
        self.store(make_tree(self.path("tree"), contents))
        work = self.path("work", "here")
        os.makedirs(work)
        absolute = self.path("abs", "deep", "f")
        names = [absolute, "../up/g", "new/sub/h"]
        listing = write_listing(self.path("l"), zip((md5_hex(v.encode()) for v in contents.values()), names))
        # A read-only file in the way is replaced, not written into.
        make_tree(work, {"new/sub/h": "old\n"})
        os.chmod(os.path.join(work, "new/sub/h"), 0o444)
        p = run(["-R", self.db, "-o", listing], cwd=work)
        self.assertOk(p)
        self.assertEqual(p.stdout, "".join(n + "\n" for n in names).encode())
        for path, content in zip([absolute, self.path("work", "up", "g"), os.path.join(work, "new/sub/h")],
                                 contents.values()):
            with open(path, "rb") as f:
                self.assertEqual(f.read(), content.encode(), path)

    def test_names_with_control_bytes_from_md5sum_are_taken_whole(self):
        # md5sum writes a tab or an escape byte raw: the name runs to the end
        # of the line, it is not the shorter name before that byte.
        contents = {"a": "short\n", "a\tb": "tab\n", "e\x1bx": "esc\n", "e": "e\n", "cr\r": "cr\n", "cr": "no cr\n"}
        tree = self.store(make_tree(self.path("tree"), contents)) and self.path("tree")
        listing = subprocess.run(["md5sum", "--", "a\tb", "e\x1bx", "cr\r"], cwd=tree, check=True,
                                 stdout=subprocess.PIPE).stdout
        with open(self.path("l"), "wb") as f:
            f.write(listing)
        work = self.path("work")
        os.makedirs(work)
        self.assertOk(run(["-R", self.db, "-o", self.path("l")], cwd=work))
        self.assertEqual(tree_digests(work), {os.fsencode(n): md5_hex(contents[n].encode())
                                              for n in ("a\tb", "e\x1bx", "cr\r")})

    def test_a_name_written_twice_keeps_the_later_content(self):
        # Files are renamed into place by the threads: a name that comes
        # again, far enough on to fall in another group, still ends with
        # the content listed last, under each spelling that names it.
        contents = {"f%03d" % i: "content %d\n" % i for i in range(300)}
        self.store(make_tree(self.path("tree"), contents))
        entries = [(md5_hex(v.encode()), n) for n, v in sorted(contents.items())]
        twice = [(entries[7][0], "f000"), (entries[9][0], "sub/x"), (entries[11][0], "sub/x")]
        # Next to each other: at -j 64 each file is a group of its own.
        for k in range(100):
            twice += [(entries[k][0], "p/%d" % k), (entries[k + 100][0], "p/%d" % k)]
        for jobs in ("1", "8", "64"):
            with self.subTest(jobs=jobs):
                work = self.path("work" + jobs)
                os.makedirs(work)
                listing = write_listing(self.path("l" + jobs), [(entries[9][0], "sub/x")] + entries + twice +
                                        [(entries[5][0], os.path.join(work, "f000"))])
                self.assertOk(run(["-j", jobs, "-R", self.db, "-o", listing], cwd=work))
                for name, want in [("f000", "content 5\n"), ("sub/x", "content 11\n"), ("f299", "content 299\n")] + \
                        [("p/%d" % k, "content %d\n" % (k + 100)) for k in range(100)]:
                    with open(os.path.join(work, name)) as f:
                        self.assertEqual(f.read(), want, name)


class Root(DbTest):
    def test_relative_db_root_is_fixed_before_the_walk(self):
        tree = make_tree(self.path("tree"), {"x/y/z/deep": "deep\n", "x/mid": "mid\n", "top": "top\n"})
        p = run(["-i", "tree"], cwd=self.tmp, env={"DB_ROOT": "db"})
        self.assertOk(p)
        self.assertEqual(store_digests(self.db), set(tree_digests(tree).values()))
        self.assertEqual(sorted(tree_digests(tree)), [b"top", b"x/mid", b"x/y/z/deep"])

    def test_unknown_root(self):
        for args in (["-i", self.path("missing")], ["-o", self.path("missing")]):
            for env in (None, {"DB_ROOT": ""}):
                with self.subTest(args=args[0], env=env):
                    p = run(args, cwd=self.tmp, env=env)
                    self.assertEqual((p.returncode, p.stdout, p.stderr), (1, b"", ROOT_MESSAGE))
        self.assertEqual(os.listdir(self.tmp), [])

    def _long_root(self, length):
        # Components well below the 255-byte name limit.
        root = self.path("r")
        while len(root) < length:
            n = min(200, length - len(root) - 1)
            if length - len(root) - 1 - n == 1:
                n -= 1  # leave room for a last "/r", never a lone "/"
            root += "/" + "r" * n
        self.assertNotIn("//", root + "/")
        self.assertEqual(len(root), length)
        return root

    def test_root_length_limit(self):
        tree = make_tree(self.path("tree"), {"f": "content\n"})
        listing = write_listing(self.path("l"), [(md5_hex(b"content\n"), "f")])
        root = self._long_root(STORE_ROOT_MAX)
        p = self.store(tree, root=root)
        self.assertEqual(len(root) + 34, 4095)
        self.assertEqual(self.assertStoreSound(root), 1)
        self.store(listing, root=root, cwd=tree)
        self.assertEqual(self.assertStoreSound(root), 1)

        too_long = self._long_root(STORE_ROOT_MAX + 1)
        for args in (["-i", tree], ["-o", listing]):
            with self.subTest(args=args[0]):
                p = run(["-R", too_long] + args, cwd=self.tmp)
                self.assertEqual(p.returncode, 1)
                self.assertIn(b"database root longer than 4061 bytes", p.stderr)
        self.assertFalse(os.path.exists(too_long))


class CommandLine(DbTest):
    """How -R, DB_ROOT and the jobs met during the scan play together."""

    def setUp(self):
        super().setUp()
        self.t1 = make_tree(self.path("t1"), {"one": "one\n"})
        self.t2 = make_tree(self.path("t2"), {"two": "two\n"})

    def test_root_serves_only_later_options(self):
        other = self.path("other")
        self.addCleanup(self.assertStoreSound, other)
        p = run(["-i", self.t1, "-R", self.db], cwd=self.tmp)
        self.assertEqual((p.returncode, p.stderr), (1, ROOT_MESSAGE))
        self.assertFalse(os.path.exists(self.db))

        p = run(["-i", self.t1, "-R", self.db], cwd=self.tmp, env={"DB_ROOT": other})
        self.assertOk(p)
        self.assertEqual(store_digests(other), {md5_hex(b"one\n")})
        self.assertFalse(os.path.exists(self.db))

        p = run(["-R", self.db, "-i", self.t1, "-R", other, "-i", self.t2], cwd=self.tmp)
        self.assertOk(p)
        self.assertEqual(store_digests(self.db), {md5_hex(b"one\n")})
        self.assertEqual(store_digests(other), {md5_hex(b"one\n"), md5_hex(b"two\n")})

    def test_paths_after_a_walk_resolve_where_it_ended(self):
        # The walk of a/b ends in a: "snap" is a/snap, and -o restores below a.
        make_tree(self.path("a"), {"b/f": "walked\n"})
        write_listing(self.path("a", "snap"), [(md5_hex(b"walked\n"), "restored/f")])
        p = run(["-R", self.db, "-i", "a/b", "-o", "snap"], cwd=self.tmp)
        self.assertOk(p)
        with open(self.path("a", "restored", "f"), "rb") as f:
            self.assertEqual(f.read(), b"walked\n")

    def test_known_root_runs_no_patch_or_archive_job(self):
        a = make_tree(self.path("A"), {"x": "from\n"})
        b = make_tree(self.path("B"), {"x": "to\n"})
        before = (tree_digests(a), tree_digests(b))
        patch, archive = self.path("P"), self.path("Z")
        cases = [
            (["-R", self.db, "-f", a, "-t", b, "-p", patch], None),
            (["-R", self.db, "-f", a, "-p", patch], None),
            (["-R", self.db, "-f", a, "-a", archive], None),
            (["-R", self.db, "-t", b, "-a", archive], None),
            (["-i", self.t1, "-f", a, "-t", b, "-p", patch, "-a", archive], {"DB_ROOT": self.db}),
        ]
        for args, env in cases:
            with self.subTest(args=args):
                p = run(args, cwd=self.tmp, env=env)
                self.assertOk(p)
                self.assertEqual(p.stderr, b"")
                if "-i" in args:
                    self.assertEqual(p.stdout, b"%s/%s  one\n" % (md5_hex(b"one\n")[:2].encode(),
                                                                  md5_hex(b"one\n")[2:].encode()))
                else:
                    self.assertEqual(p.stdout, b"")
                self.assertFalse(os.path.exists(patch))
                self.assertFalse(os.path.exists(archive))
                self.assertEqual((tree_digests(a), tree_digests(b)), before)

    def test_usage_error_after_a_job(self):
        p = run(["-R", self.db, "-i", self.t1, "-h"], cwd=self.tmp)
        self.assertEqual(p.returncode, 2)
        self.assertEqual(p.stdout.count(b"  one\n"), 1)
        self.assertEqual(p.stderr, usage_text())
        self.assertEqual(store_digests(self.db), {md5_hex(b"one\n")})


if __name__ == "__main__":
    unittest.main()
