"""The stat cache (--cache FILE): -l, -i and patch creation give the same
output and files with the cache, without it and at one thread, after every
kind of change to a tree; a file the cache vouches for is not read; the
cache file is outside input."""

import hashlib
import os
import zlib
import shutil
import stat
import subprocess
import tempfile
import threading
import time
import unittest

from mdt import (TreeTest, check_store, make_tree, parse_listing, read_tree, run, tree_digests)
from test_db import ROUND_TRIP, SMALL
from test_listing import DirectoryListing

LISTING_SHAPE = DirectoryListing.FILES
# How much older than a cache a file must be for the cache to trust it
# (the racy rule's margin), with some to spare.
TRUST = 2.2


def shape_listing(root):
    make_tree(root, LISTING_SHAPE)
    os.makedirs(os.path.join(root, "empty", "dir"))
    os.symlink("a", os.path.join(root, "link-to-file"))
    os.symlink("d", os.path.join(root, "link-to-dir"))
    os.mkfifo(os.path.join(root, "fifo"))


SHAPES = {
    "listing": shape_listing,
    "round trip": lambda root: make_tree(root, ROUND_TRIP),
    "small": lambda root: make_tree(root, SMALL),
}


def first_file(root):
    """The first regular file of the tree, by name, and a second one."""
    names = sorted(p.decode() for p in tree_digests(root))
    return names[0], names[-1]


def rewrite_keep_mtime(path, data=None):
    st = os.stat(path)
    with open(path, "rb") as f:
        old = f.read()
    new = data if data is not None else bytes((b + 1) % 256 for b in old) or b""
    with open(path, "wb") as f:
        f.write(new)
    # touch -d sets the time back to the one the cache recorded.
    stamp = "@%d.%09d" % (st.st_mtime_ns // 10**9, st.st_mtime_ns % 10**9)
    subprocess.run(["touch", "-m", "-d", stamp, path], check=True)


def change_same_size_touch_back(root):
    a, _ = first_file(root)
    p = os.path.join(root, a)
    if os.path.getsize(p) == 0:
        with open(p, "wb") as f:
            f.write(b"x")
    rewrite_keep_mtime(p)


def change_same_tick(root):
    # Rewritten at once, same size, time set back: the change time alone
    # tells (the tick itself is the ext4 test below).
    _, b = first_file(root)
    p = os.path.join(root, b)
    rewrite_keep_mtime(p, b"Z" * os.path.getsize(p))


def change_rename_over(root):
    a, b = first_file(root)
    os.rename(os.path.join(root, a), os.path.join(root, b))


def change_hard_link(root):
    a, b = first_file(root)
    os.link(os.path.join(root, a), os.path.join(root, "new link"))
    os.unlink(os.path.join(root, b))
    os.link(os.path.join(root, a), os.path.join(root, b))


def change_truncate_regrow(root):
    _, b = first_file(root)
    p = os.path.join(root, b)
    size = max(os.path.getsize(p), 3)
    st = os.stat(p)
    os.truncate(p, 0)
    with open(p, "r+b") as f:
        f.write(b"R" * size)
    os.utime(p, ns=(st.st_atime_ns, st.st_mtime_ns))


def change_file_to_dir(root):
    a, _ = first_file(root)
    p = os.path.join(root, a)
    os.unlink(p)
    os.makedirs(p)
    with open(os.path.join(p, "inner"), "wb") as f:
        f.write(b"inner\n")


def change_other_tree(root):
    # Another tree at the same path: same names, sizes and times.
    old = root + ".moved"
    os.rename(root, old)
    shutil.copytree(old, root, symlinks=True, ignore=lambda d, names: [
        n for n in names if stat.S_ISFIFO(os.lstat(os.path.join(d, n)).st_mode)])
    for rel in tree_digests(old):
        p = os.path.join(os.fsencode(root), rel)
        st = os.stat(os.path.join(os.fsencode(old), rel))
        with open(p, "r+b") as f:
            data = f.read()
            f.seek(0)
            f.write(bytes((c ^ 0x55) for c in data))
        os.utime(p, ns=(st.st_atime_ns, st.st_mtime_ns))


CHANGES = {
    "nothing": lambda root: None,
    "same size, mtime set back": change_same_size_touch_back,
    "rewrite in the same tick": change_same_tick,
    "rename over another": change_rename_over,
    "hard link": change_hard_link,
    "truncate and regrow": change_truncate_regrow,
    "file replaced by a directory": change_file_to_dir,
    "a cache from another tree": change_other_tree,
}


class Differential(TreeTest):
    """For every tree shape and change: -l, -i and -f/-t/-p with a warm
    cache, without one, and with the cache at -j 1 give the same bytes."""

    def run_ok(self, args):
        p = run(args)
        self.assertEqual(p.returncode, 0, p.stderr)
        return p

    def jobs(self, w, tree, old, store, extra):
        """The three jobs in w, with the extra words; their outputs and files."""
        os.makedirs(w)
        st = os.path.join(w, "store")
        shutil.copytree(store, st)
        lst = self.run_ok(extra + ["-l", tree])
        ins = self.run_ok(extra + ["-R", st, "-i", tree])
        pat = self.run_ok(extra + ["-f", old, "-t", tree, "-p", os.path.join(w, "patch")])
        check_store(st)
        return (lst.stdout, lst.stderr, ins.stdout, ins.stderr, pat.stdout, pat.stderr,
                read_tree(st), read_tree(os.path.join(w, "patch")))

    def test_same_results_after_each_change(self):
        # In phases over all cases, so that one wait serves them all: the
        # cache trusts what is older than it by two seconds (TRUST), and
        # each change is that old when the cached runs meet it, so that
        # only the file's identity can tell it.
        cases = [(shape, change) for shape in SHAPES for change in CHANGES]
        base = {c: self.path("%s-%s" % c).replace(" ", "_") for c in cases}
        for (shape, change), b in base.items():
            SHAPES[shape](os.path.join(b, "tree"))
            SHAPES[shape](os.path.join(b, "old"))
            make_tree(os.path.join(b, "old"), {"only in old": "old\n"})
            os.makedirs(os.path.join(b, "empty"))
        time.sleep(TRUST)
        for b in base.values():
            tree, old = os.path.join(b, "tree"), os.path.join(b, "old")
            self.jobs(os.path.join(b, "warm"), tree, old, os.path.join(b, "empty"),
                      ["--cache", os.path.join(b, "cache")])
        for (shape, change), b in base.items():
            CHANGES[change](os.path.join(b, "tree"))
        time.sleep(TRUST)
        for (shape, change), b in base.items():
            with self.subTest(shape=shape, change=change):
                tree, old = os.path.join(b, "tree"), os.path.join(b, "old")
                store = os.path.join(b, "warm", "store")
                results = {}
                for variant, extra in (("cached", ["--cache"]), ("plain", []), ("cached1", ["-j", "1", "--cache"])):
                    if extra:
                        c = os.path.join(b, variant + ".cache")
                        shutil.copy2(os.path.join(b, "cache"), c)
                        extra = extra + [c]
                    results[variant] = self.jobs(os.path.join(b, variant), tree, old, store, extra)
                self.assertEqual(results["cached"], results["plain"])
                self.assertEqual(results["cached1"], results["plain"])
                # And the listing is the tree's, by an oracle of its own.
                got = {p: d for d, p in parse_listing(results["plain"][0])}
                self.assertEqual(got, tree_digests(tree))


@unittest.skipUnless(os.geteuid() == 0, "mounts a file system")
class WhatIsRead(TreeTest):
    """On a file system that records every read (strictatime), a file the
    cache vouches for is not read; a changed one, or one written in the
    cache's own clock tick, is."""

    def mount(self, *args):
        subprocess.run(["mount"] + list(args), check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", args[-1]])

    def atimes(self, root):
        out = {}
        for dirpath, _, files in os.walk(root):
            for n in files:
                p = os.path.join(dirpath, n)
                out[os.path.relpath(p, root)] = os.stat(p).st_atime_ns
        return out

    def test_unchanged_files_are_not_read(self):
        mnt = self.path("mnt")
        os.makedirs(mnt)
        self.mount("-t", "tmpfs", "-o", "strictatime,size=64m", "tmpfs", mnt)
        tree = os.path.join(mnt, "t")
        make_tree(tree, ROUND_TRIP)
        store, cache = os.path.join(mnt, "store"), self.path("cache")
        time.sleep(TRUST)
        self.assertEqual(run(["--cache", cache, "-R", store, "-i", tree]).returncode, 0)
        before = self.atimes(tree)
        time.sleep(TRUST)
        changed = os.path.join(tree, "sub", "dup2")
        rewrite_keep_mtime(changed)
        before["sub/dup2"] = self.atimes(tree)["sub/dup2"]
        time.sleep(TRUST)
        for args in (["-l", tree], ["-R", store, "-i", tree]):
            p = run(["--cache", cache] + args)
            self.assertEqual(p.returncode, 0, p.stderr)
            after = self.atimes(tree)
            read = sorted(k for k in after if after[k] != before[k])
            self.assertEqual(read, ["sub/dup2"], args)
            before = after
            pass
        check_store(store)
        self.assertEqual({d for d in tree_digests(tree).values()},
                         {l[:2].decode() + l[3:33].decode() for l in p.stdout.splitlines()})

    def test_a_file_written_in_the_caches_tick_is_read_again(self):
        # ext4 with small inodes keeps whole seconds: a second is one tick.
        img, mnt = self.path("img"), self.path("ext4")
        os.makedirs(mnt)
        subprocess.run(["mkfs.ext4", "-q", "-I", "128", img, "8M"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.mount("-o", "loop", img, mnt)
        f = os.path.join(mnt, "t", "f")
        os.makedirs(os.path.dirname(f))
        cache = self.path("tick-cache")
        for attempt in range(5):
            # Start just after a second begins, so that all fits in it.
            time.sleep(1 - time.time() % 1 + 0.01)
            second = int(time.time())
            with open(f, "wb") as out:
                out.write(b"aaaa")
            first = run(["--cache", cache, "-l", os.path.dirname(f)])
            with open(f, "wb") as out:
                out.write(b"bbbb")
            again = run(["--cache", cache, "-l", os.path.dirname(f)])
            if int(time.time()) != second:
                continue  # the second ran out: try again
            st = os.stat(f)
            self.assertEqual((st.st_mtime_ns, st.st_ctime_ns), (second * 10**9, second * 10**9))
            self.assertEqual(first.stdout, b"74b87337454200d4d33f80c4663dc5e5  f\n")
            self.assertEqual(again.stdout, hashlib.md5(b"bbbb").hexdigest().encode() + b"  f\n")
            return
        self.skipTest("no second was long enough")


def image_squashfs(src, img):
    # A reproducible image: every time fixed, as a build makes them.
    subprocess.run(["mksquashfs", src, img, "-noappend", "-quiet", "-all-time", "1577836800", "-mkfs-time",
                    "1577836800"], check=True, stdout=subprocess.DEVNULL)


def image_ext4(src, img):
    # Each image has its own UUID; the change time is set as an image
    # built in the same second as the other would have it.
    subprocess.run(["mke2fs", "-q", "-t", "ext4", "-d", src, img, "8M"], check=True)
    subprocess.run(["debugfs", "-w", "-R", "set_inode_field /f ctime 20200101000000", img], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


IMAGES = {"squashfs": image_squashfs, "ext4": image_ext4}


@unittest.skipUnless(os.geteuid() == 0, "mounts file systems")
class ImageSwapped(TreeTest):
    """Two images whose files have the same names, sizes and times, mounted
    in turn at one place (the same loop device, so the same device number
    and inode numbers): the cache must not take one for the other."""

    def test_the_second_image_is_read(self):
        for kind, make in IMAGES.items():
            with self.subTest(image=kind):
                w = self.path(kind)
                mnt, cache = os.path.join(w, "mnt"), os.path.join(w, "cache")
                os.makedirs(mnt)
                for v in ("1", "2"):
                    src = os.path.join(w, "src" + v)
                    make_tree(src, {"f": "version 1.0.%s\n" % v})
                    os.utime(os.path.join(src, "f"), (1577836800, 1577836800))
                    make(src, os.path.join(w, v + ".img"))
                for v in ("1", "2"):
                    subprocess.run(["mount", "-o", "loop,ro", os.path.join(w, v + ".img"), mnt], check=True)
                    try:
                        got = {variant: run(extra + ["-l", mnt])
                               for variant, extra in (("cached", ["--cache", cache]), ("plain", []))}
                        want = tree_digests(mnt)
                    finally:
                        subprocess.run(["umount", mnt], check=True)
                    self.assertEqual(got["cached"].returncode, 0, got["cached"].stderr)
                    self.assertEqual(got["cached"].stdout, got["plain"].stdout)
                    self.assertEqual({p: d for d, p in parse_listing(got["cached"].stdout)}, want)


class CacheFile(TreeTest):
    """The cache file is outside input."""

    def setUp(self):
        super().setUp()
        self.tree = self.path("t")
        make_tree(self.tree, ROUND_TRIP)
        self.cache = self.path("cache")
        self.expected = run(["-l", self.tree]).stdout
        time.sleep(TRUST)
        p = run(["--cache", self.cache, "-l", self.tree])
        self.assertEqual((p.returncode, p.stdout, p.stderr), (0, self.expected, b""))

    def listed(self, env=None):
        return run(["--cache", self.cache, "-l", self.tree], env=env)

    def assert_clean_rerun(self):
        p = self.listed()
        self.assertEqual((p.returncode, p.stdout, p.stderr), (0, self.expected, b""))

    def test_damaged_caches_are_ignored_once_and_written_anew(self):
        with open(self.cache, "rb") as f:
            good = f.read()
        def version(v):
            other = bytearray(good)
            other[8:12] = v.to_bytes(4, "little")
            other[44:48] = zlib.crc32(bytes(other[:44])).to_bytes(4, "little")
            return bytes(other)
        ours = int.from_bytes(good[8:12], "little")
        cases = {
            "damaged": (good[:60] + bytes([good[60] ^ 1]) + good[61:], b"damaged"),
            "damaged index": (good[:-3] + bytes([good[-3] ^ 0x80]) + good[-2:], b"damaged"),
            "truncated": (good[:len(good) - 10], b"truncated"),
            "header cut": (good[:20], b"truncated"),
            "foreign": (b"a listing, not a cache\n" * 4, b"not a cache file"),
            "empty": (b"", b"not a cache file"),
            "newer": (version(ours + 1), b"written by a newer version"),
            "older": (version(ours - 1), b"written by an older version"),
        }
        for case, (data, why) in cases.items():
            with self.subTest(case=case):
                with open(self.cache, "wb") as f:
                    f.write(data)
                os.chmod(self.cache, 0o600)
                p = self.listed()
                self.assertEqual(p.returncode, 0)
                self.assertEqual(p.stdout, self.expected)
                self.assertEqual(p.stderr, b"mdtree: cache %s: %s; not used, written anew\n"
                                 % (self.cache.encode(), why))
                self.assert_clean_rerun()

    def test_a_cache_others_may_write_or_own_is_refused(self):
        for case in ("group writable", "others writable", "another owner"):
            with self.subTest(case=case):
                if case == "another owner" and os.geteuid() != 0:
                    self.skipTest("needs root to give a file away")
                os.chmod(self.cache, {"group writable": 0o620, "others writable": 0o602}.get(case, 0o600))
                if case == "another owner":
                    os.chown(self.cache, 65534, 65534)
                p = self.listed()
                self.assertEqual(p.returncode, 1)
                self.assertEqual(p.stdout, b"")
                what = b"is owned by another user" if case == "another owner" else \
                    b"may be written by group or others"
                self.assertEqual(p.stderr, b"mdtree: cache file %s %s; refusing to use it\n"
                                 % (self.cache.encode(), what))
                os.chown(self.cache, os.geteuid(), os.getegid())
                os.chmod(self.cache, 0o600)
        self.assertEqual(os.stat(self.cache).st_mode & 0o777, 0o600)

    def test_jobs_that_verify_never_open_it(self):
        listing = self.path("listing")
        with open(listing, "wb") as f:
            f.write(self.expected)
        os.unlink(self.cache)
        store = self.path("store")
        self.assertEqual(run(["-R", store, "-i", self.tree]).returncode, 0)
        out = self.path("out")
        os.makedirs(out)
        for args, cwd in ((["-C", self.tree, "-c", listing], None), (["-R", store, "-V"], None),
                          (["-R", store, "-o", listing], out), (["-f", self.tree, "-a", self.path("a")], None),
                          (["-t", self.path("x"), "-a", self.path("a")], None)):
            with self.subTest(args=args):
                p = run(["--cache", self.cache] + args, cwd=cwd)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertFalse(os.path.exists(self.cache))

    def test_two_runs_at_once_never_tear_it(self):
        other = self.path("u")
        make_tree(other, SMALL)
        other_expected = run(["-l", other]).stdout
        failures = []

        def loop(tree, expected):
            for _ in range(15):
                p = run(["--cache", self.cache, "-l", tree])
                if p.returncode != 0 or p.stdout != expected or p.stderr:
                    failures.append((p.returncode, p.stderr))

        ts = [threading.Thread(target=loop, args=(self.tree, self.expected)),
              threading.Thread(target=loop, args=(other, other_expected))]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        self.assertEqual(failures, [])
        self.assert_clean_rerun()
        self.assertEqual([n for n in os.listdir(self.tmp) if n.startswith(".mdtree-")], [])


class StoreRefresh(TreeTest):
    """-i with the cache skips an object only once it is fresh again, and
    writes anew one a prune took or that is not a whole object."""

    def test_taken_or_damaged_objects_are_written_anew_and_kept_ones_refreshed(self):
        tree, store, cache = self.path("t"), self.path("store"), self.path("cache")
        make_tree(tree, ROUND_TRIP)
        time.sleep(TRUST)
        first = run(["--cache", cache, "-R", store, "-i", tree])
        self.assertEqual(first.returncode, 0, first.stderr)
        digests = sorted(set(tree_digests(tree).values()))
        obj = [os.path.join(store, d[:2], d[2:]) for d in digests]
        os.unlink(obj[0])                          # a prune took it
        with open(obj[1], "r+b") as f:             # cut short
            f.truncate(max(os.path.getsize(obj[1]) - 1, 0)) if os.path.getsize(obj[1]) else f.write(b"x")
        os.unlink(obj[2])
        os.symlink(obj[3], obj[2])                 # a link where an object was
        for o in obj[3:]:
            os.utime(o, (1000000000, 1000000000))  # old: a prune would take it
        kept = {o: os.stat(o).st_ino for o in obj[3:]}
        again = run(["--cache", cache, "-R", store, "-i", tree])
        # Neither read nor rewritten: the same files, only fresher.
        self.assertEqual({o: os.stat(o).st_ino for o in obj[3:]}, kept)
        self.assertEqual((again.returncode, again.stdout), (0, first.stdout), again.stderr)
        check_store(store)
        for o in obj:
            self.assertFalse(os.path.islink(o))
            self.assertGreater(os.stat(o).st_mtime, time.time() - 3600)
        # What -i reported survives a prune with a grace period of an hour.
        one = self.path("one.md5")
        with open(one, "w") as f:
            f.write("%s  x\n" % digests[0])
        p = run(["-R", store, "-g", "1h", "-P", one])
        self.assertEqual(p.returncode, 0, p.stderr)
        check_store(store)
        self.assertEqual(sorted(os.path.basename(os.path.dirname(o)) + os.path.basename(o) for o in obj
                                if os.path.exists(o)), digests)


if __name__ == "__main__":
    unittest.main()
