"""-V verifies a store and -P prunes it: hashlib and the file system are the
oracles (check_store, os.stat), and the races against a concurrent -i are
made to happen by holding the maintenance run at its first rename or unlink
with strace while another run stores or refreshes the objects."""

import os
import shutil
import signal
import subprocess
import time
import unittest

from mdt import (TreeTest, argv, check_store, make_tree, md5_hex, preload_library, run, run_as_nobody, run_faulted,
                 store_digests, strace_works, traced_env, tree_digests)


def snapshot(root):
    """Every entry below root: its kind and, for a file, its bytes."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for n in dirnames + filenames:
            p = os.path.join(dirpath, n)
            if os.path.islink(p):
                out[p] = ("link", os.readlink(p))
            elif os.path.isdir(p):
                out[p] = ("dir",)
            else:
                with open(p, "rb") as f:
                    out[p] = ("file", f.read())
    return out


def obj(store, digest):
    return os.path.join(store, digest[:2], digest[2:])


def age(path, seconds):
    t = time.time() - seconds
    os.utime(path, (t, t), follow_symlinks=False)


def netfs_faults_library(base):
    """netfs_faults.c built at base.so: preloaded, it gives the answers
    GlusterFS has given for one object (FAULT_OF) that its variables
    name."""
    return preload_library("netfs_faults.c", base)


def netfs_faults_env(lib, path, *faults):
    env = {"LD_PRELOAD": lib, "FAULT_OF": path, "ASAN_OPTIONS": "verify_asan_link_order=0"}
    env.update((f, "1") for f in faults)
    return env


class StoreTest(TreeTest):
    def store(self, tree, store=None):
        store = store or self.path("store")
        p = run(["-R", store, "-i", tree])
        self.assertOk(p)
        return store

    def listing(self, source, name):
        p = run(["-l", source])
        self.assertOk(p)
        with open(self.path(name), "wb") as f:
            f.write(p.stdout)
        return self.path(name)


    def aged_store(self):
        """A store of 50 objects a month old, and a listing that names none."""
        files = {"f%02d" % i: "object %d\n" % i for i in range(50)}
        t = make_tree(self.path("t"), files)
        db = self.store(t)
        for d in store_digests(db):
            age(obj(db, d), 86400 * 30)
        keep = make_tree(self.path("keep"), {"k": "kept"})
        return t, db, self.listing(keep, "keep.md5")


class Verify(StoreTest):
    def setUp(self):
        super().setUp()
        self.files = {"f%02d" % i: "content %d\n" % i * (i + 1) for i in range(40)}
        self.t = make_tree(self.path("t"), self.files)
        self.db = self.store(self.t)
        d = sorted(md5_hex(c.encode()) for c in self.files.values())
        self.flipped, self.cut, self.linked, self.dir = d[0], d[5], d[10], d[20]
        with open(obj(self.db, self.flipped), "r+b") as f:
            b = f.read(1)
            f.seek(0)
            f.write(bytes([b[0] ^ 1]))
        os.truncate(obj(self.db, self.cut), 3)
        os.unlink(obj(self.db, self.linked))
        os.symlink("/etc/hostname", obj(self.db, self.linked))
        os.unlink(obj(self.db, self.dir))
        os.mkdir(obj(self.db, self.dir))
        self.misnamed = os.path.join(self.db, d[30][:2], "README")
        make_tree(self.db, {os.path.relpath(self.misnamed, self.db): "not an object"})
        # A killed run's leftover, at the top and in a two-digit directory;
        # a file of a run in progress, which is left alone.
        self.stale = [os.path.join(self.db, ".mdtree-0123456789"), os.path.join(self.db, d[1][:2], ".mdtree-abcdefghij")]
        for p in self.stale:
            make_tree(self.db, {os.path.relpath(p, self.db): "half"})
            age(p, 7200)
        self.young = os.path.join(self.db, ".mdtree-youngyoung")
        make_tree(self.db, {".mdtree-youngyoung": "in flight"})
        # An object a run without a lease has just held in the root: old by
        # its own time, taken now.
        held = d[2]
        self.young_held = os.path.join(self.db, ".mdtree-youngyoun2." + held)
        shutil.copy(obj(self.db, held), self.young_held)
        age(self.young_held, 86400 * 30)
        rel = lambda d: (d[:2] + "/" + d[2:]).encode()
        self.expected = sorted([b"Damaged: " + rel(self.flipped), b"Damaged: " + rel(self.cut),
                                b"Foreign: " + rel(self.linked), b"Foreign: " + rel(self.dir),
                                b"Foreign: " + os.path.relpath(self.misnamed, self.db).encode()] +
                               [b"Stale: " + os.path.relpath(p, self.db).encode() for p in self.stale])

    def test_dry_run_reports_and_changes_nothing(self):
        before = snapshot(self.db)
        p = run(["-R", self.db, "-V", "-n"])
        self.assertEqual(p.returncode, 1)
        self.assertEqual(sorted(p.stdout.splitlines()), self.expected)
        self.assertIn(b"7 problems in the store", p.stderr)
        self.assertIn(b"nothing moved", p.stderr)
        self.assertEqual(snapshot(self.db), before)

    def test_moved_aside_then_restored_by_i(self):
        before = snapshot(self.db)
        p = run(["-R", self.db, "-V"])
        self.assertEqual(p.returncode, 1)
        self.assertEqual(sorted(p.stdout.splitlines()), self.expected)
        # Every byte moved is kept below damaged/, under the same path.
        after = snapshot(self.db)
        for line in self.expected:
            rel = line.split(b": ", 1)[1].decode()
            self.assertEqual(after[os.path.join(self.db, "damaged", rel)], before[os.path.join(self.db, rel)])
            self.assertNotIn(os.path.join(self.db, rel), after)
        self.assertIn(self.young, after)
        self.assertIn(self.young_held, after)
        # The store proper holds good objects only, and a new -i of the tree
        # brings back the ones that went.
        shutil.move(os.path.join(self.db, "damaged"), self.path("kept"))
        os.unlink(self.young)
        os.unlink(self.young_held)
        self.assertEqual(check_store(self.db)[0], [])
        self.store(self.t, self.db)
        self.assertEqual(store_digests(self.db), set(tree_digests(self.t).values()))
        p = run(["-R", self.db, "-V"])
        self.assertEqual((p.returncode, p.stdout, p.stderr), (0, b"", b""))

    def test_a_root_holding_other_things_is_not_touched(self):
        make_tree(self.db, {"notes.txt": "mine"})
        before = snapshot(self.db)
        p = run(["-R", self.db, "-V"])
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"Foreign: notes.txt", p.stdout)
        self.assertIn(b"nothing moved: the root holds entries a store does not", p.stderr)
        self.assertEqual(snapshot(self.db), before)


class Prune(StoreTest):
    def setUp(self):
        super().setUp()
        self.a = make_tree(self.path("a"), {"x": "shared", "y": "only in a"})
        self.b = make_tree(self.path("b"), {"z": "only in b", "w": "b" * 5000})
        self.c = make_tree(self.path("c"), {"x": "shared", "v": "only in c", "u": "c" * 3000})
        self.db = self.path("store")
        for t in (self.a, self.b, self.c):
            self.store(t, self.db)
        self.only_c = {md5_hex(b"only in c"), md5_hex(b"c" * 3000)}
        self.a_md5 = self.listing(self.a, "a.md5")
        self.assertOk(run(["-f", self.b, "-a", self.path("b.vok")]))

    def removed(self, p):
        return {l[len(b"Removed: "):].replace(b"/", b"").decode() for l in p.stdout.splitlines()}

    def test_another_users_dead_aside_directory_is_left_alone(self):
        # A shared store: a run of root killed with an object aside left a
        # directory another user can not empty. That user's prune passes it
        # by (-V as root puts it back); -V of that user reports it.
        if os.geteuid() != 0:
            self.skipTest("needs root to run as another user")
        aside = os.path.join(self.db, ".mdtree-zzzzz00000")
        os.mkdir(aside, 0o700)
        open(os.path.join(self.db, ".mdtree-zzzzzLEASE"), "w").close()
        for d, _, _ in os.walk(self.tmp):
            os.chmod(d, 0o777)
        os.chmod(aside, 0o700)
        for n in (self.a_md5, self.path("b.vok")):
            os.chmod(n, 0o644)
        p = run_as_nobody(["-R", self.db, "-g", "0s", "-P", self.a_md5, "-P", self.path("b.vok")])
        self.assertOk(p)
        self.assertEqual(self.removed(p), self.only_c)
        self.assertTrue(os.path.isdir(aside))

    def full_store(self):
        """A copy of the store on an ext4 (no blocks kept for root) that is
        then filled: no room for a directory, which the prune must not need
        to free space."""
        img, mnt = self.path("img"), self.path("ext4")
        os.makedirs(mnt)
        subprocess.run(["mkfs.ext4", "-q", "-m", "0", img, "8M"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["mount", "-o", "loop", img, mnt], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", mnt])
        db = os.path.join(mnt, "store")
        shutil.copytree(self.db, db)
        fd = os.open(os.path.join(mnt, "fill"), os.O_WRONLY | os.O_CREAT)
        try:
            for chunk in (65536, 1):
                try:
                    while os.write(fd, b"\0" * chunk):
                        pass
                except OSError:
                    pass
        finally:
            os.close(fd)
        return db

    @unittest.skipUnless(os.geteuid() == 0, "mounts a file system")
    def test_prunes_a_full_file_system(self):
        db = self.full_store()
        p = run(["-R", db, "-g", "0s", "-P", self.a_md5, "-P", self.path("b.vok")])
        self.assertOk(p)
        self.assertEqual(self.removed(p), self.only_c)
        self.assertEqual(store_digests(db), set(tree_digests(self.a).values()) | set(tree_digests(self.b).values()))
        self.assertEqual([n for n in os.listdir(db) if n.startswith(".mdtree-")], [])

    @unittest.skipUnless(os.geteuid() == 0, "mounts a file system")
    def test_what_a_killed_run_held_on_a_full_file_system_goes_back(self):
        # Killed while it holds an object in the root (no room for its
        # aside directory): the next prune puts the object back under its
        # name at once, and the dead run's lease goes with it.
        db = self.full_store()
        digest = sorted(self.only_c)[0]
        lib = netfs_faults_library(self.path("faults"))
        p = run(["-R", db, "-g", "0s", "-P", self.a_md5, "-P", self.path("b.vok")],
                env=netfs_faults_env(lib, obj(db, digest), "FAULT_KILL_AFTER_MOVE"))
        self.assertEqual(p.returncode, -signal.SIGTERM, p.stderr)
        self.assertNotIn(digest, store_digests(db))
        self.assertEqual(len([n for n in os.listdir(db) if n.endswith("." + digest)]), 1)
        p = run(["-R", db, "-g", "0s", "-P", self.a_md5, "-P", self.path("b.vok"), "-P", self.c])
        self.assertOk(p)
        self.assertEqual(p.stdout, b"")
        with open(obj(db, digest), "rb") as f:
            self.assertEqual(md5_hex(f.read()), digest)
        self.assertEqual(check_store(db)[0], [])
        self.assertEqual([n for n in os.listdir(db) if n.startswith(".mdtree-")], [])

    def test_a_held_name_whose_digest_lies_never_takes_the_objects_name(self):
        # A file named like an object held in the root by a dead run, whose
        # content is not that object's (of its size, as -i --cache checks):
        # put back, it would be taken for a stored copy. It stays for -V.
        digest = sorted(self.only_c)[0]
        with open(obj(self.db, digest), "rb") as f:
            size = len(f.read())
        os.unlink(obj(self.db, digest))
        planted = os.path.join(self.db, ".mdtree-abcdefghij." + digest)
        with open(planted, "wb") as f:
            f.write(b"x" * size)
        lease = os.path.join(self.db, ".mdtree-abcdeLEASE")  # unlocked: a dead run's
        open(lease, "w").close()
        age(lease, 7200)
        p = run(["-R", self.db, "-g", "0s", "-P", self.c])
        self.assertOk(p)
        self.assertFalse(os.path.exists(obj(self.db, digest)))
        self.assertTrue(os.path.exists(planted))
        p = run(["-R", self.db, "-V"])
        self.assertEqual((p.returncode, p.stdout),
                         (1, b"Stale: .mdtree-abcdeLEASE\nStale: .mdtree-abcdefghij.%s\n" % digest.encode()), p.stderr)
        with open(os.path.join(self.db, "damaged", ".mdtree-abcdefghij." + digest), "rb") as f:
            self.assertEqual(f.read(), b"x" * size)
        self.assertEqual(check_store(self.db)[0], ["stray entry %s" % os.path.join(self.db, "damaged")])

    def test_keeps_what_listings_directories_and_archives_reference(self):
        before = snapshot(self.db)
        for sources in ([self.a_md5, self.b], [self.a_md5, self.path("b.vok")]):
            with self.subTest(sources=sources):
                args = ["-R", self.db, "-g", "0s", "-n"] + [w for s in sources for w in ("-P", s)]
                p = run(args)
                self.assertOk(p)
                self.assertEqual(self.removed(p), self.only_c)
                size = sum(os.stat(obj(self.db, d)).st_size for d in self.only_c)
                self.assertIn(b"would remove 2 objects (%d bytes)" % size, p.stderr)
                self.assertEqual(snapshot(self.db), before)
        # -n and -g count wherever they stand: the prune runs after the last word.
        p = run(["-R", self.db, "-P", self.a_md5, "-P", self.b, "-g", "0s"])
        self.assertOk(p)
        self.assertEqual(self.removed(p), self.only_c)
        self.assertEqual(check_store(self.db)[0], [])
        self.assertEqual(store_digests(self.db), set(tree_digests(self.a).values()) | set(tree_digests(self.b).values()))

    def test_grace_period(self):
        for args in (["-P", self.a_md5], ["-g", "1h", "-P", self.a_md5]):
            with self.subTest(args=args):
                p = run(["-R", self.db] + args)
                self.assertOk(p)
                self.assertEqual(p.stdout, b"")
                self.assertIn(b"kept 2 referenced and 4 younger than the grace period", p.stderr)
        # Modified two hours ago: a one-hour grace lets it go, a day's does not.
        old = md5_hex(b"only in b")
        age(obj(self.db, old), 7200)
        self.assertEqual(self.removed(run(["-R", self.db, "-g", "1d", "-P", self.a_md5])), set())
        p = run(["-R", self.db, "-g", "60m", "-P", self.a_md5])
        self.assertOk(p)
        self.assertEqual(self.removed(p), {old})
        self.assertFalse(os.path.exists(obj(self.db, old)))

    def test_i_gives_a_stored_object_the_time_of_the_run(self):
        d = md5_hex(b"only in a")
        age(obj(self.db, d), 86400 * 30)
        self.store(self.a, self.db)
        self.assertGreater(os.stat(obj(self.db, d)).st_mtime, time.time() - 600)

    def test_bad_input_removes_nothing(self):
        before = snapshot(self.db)
        with open(self.path("empty.md5"), "wb") as f:
            f.write(b"no listing line\n")
        make_tree(self.path("home"), {"notes": "mine", "ab/" + "0" * 30: "looks like an object"})
        cases = [(["-R", self.db, "-P", self.a_md5, "-P", self.path("missing.md5")], 1, b"can not stat"),
                 (["-R", self.db, "-P", self.path("empty.md5")], 1, b"names no file; nothing removed"),
                 (["-R", self.path("home"), "-P", self.a_md5], 1, b"not a content store"),
                 (["-R", self.path("nowhere"), "-P", self.a_md5], 1, b"not a content store"),
                 (["-R", self.db, "-g", "5", "-P", self.a_md5], 2, b"usage:"),
                 (["-R", self.db, "-g", "2w", "-P", self.a_md5], 2, b"usage:")]
        for args, status, message in cases:
            with self.subTest(args=args):
                p = run(args + ["-g", "0s"] if status != 2 else args)
                self.assertEqual(p.returncode, status)
                self.assertIn(message, p.stderr)
                self.assertEqual(p.stdout, b"")
        self.assertEqual(snapshot(self.db), before)
        self.assertTrue(os.path.exists(self.path("home", "ab", "0" * 30)))


# x86-64 numbers of the calls that move or remove an entry.
MOVES = {82: "rename", 264: "renameat", 316: "renameat2", 87: "unlink", 263: "unlinkat", 86: "link",
         265: "linkat"}
HOLD = 5  # seconds the first such call is held
CALLS = {**MOVES, 84: "rmdir"}  # the calls a run may be held at


@unittest.skipUnless(strace_works(), "needs strace and ptrace on x86-64")
class Races(StoreTest):
    """A maintenance run is held at its first move or removal, after it has
    judged the first objects; meanwhile another run stores or refreshes
    them. What that run stored must stay."""

    def held(self, path, args, at="enter", no_noreplace=False, calls=None, taken_link=False):
        """Runs mdtree with args, holding its first move or removal of path
        (the runtime of a sanitizer moves files of its own) before the call
        or after it (at="exit"); with no_noreplace, as on a file system that
        refuses renameat2's RENAME_NOREPLACE (NFS, GlusterFS); with
        taken_link, its first link onto path fails with EEXIST though the
        name is free (as GlusterFS has answered). path None holds the first
        such call on any path. The run reaches path through a descriptor of
        its directory: a call there counts as one on path."""
        calls = calls or sorted(set(MOVES.values()))
        faults = {}
        if no_noreplace:
            faults["renameat2"] = "error=EINVAL"
        if taken_link:
            faults["linkat"] = "error=EEXIST:when=1"
        calls = [c for c in calls if c not in faults]
        cmd = ["strace", "-qq", "-f", "-o", "/dev/null"] + (["-P", path, "-P", os.path.dirname(path)] if path else [])
        cmd += ["-e", "trace=" + ",".join(calls + list(faults))]
        for call, fault in faults.items():
            cmd += ["-e", "inject=%s:%s" % (call, fault)]
        cmd += ["-e", "inject=%s:delay_%s=%d:when=1" % (",".join(calls), at, HOLD * 1000000)] + argv(args)
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=traced_env())
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        deadline = time.time() + 60
        numbers = {n for n, c in CALLS.items() if c in calls}
        while time.time() < deadline:
            child = self.in_move(proc.pid, numbers)
            if child:
                return proc, child
            if proc.poll() is not None:
                self.fail("ended before its first move: %r" % (proc.communicate(),))
            time.sleep(0.02)
        self.fail("never reached a move")

    def in_move(self, tracer, numbers=MOVES):
        try:
            with open("/proc/%d/task/%d/children" % (tracer, tracer)) as f:
                pids = f.read().split()
            for pid in pids:
                with open("/proc/%s/syscall" % pid) as f:
                    if int(f.read().split()[0]) in numbers:
                        return pid
        except (OSError, ValueError, IndexError):
            pass
        return None

    def finish(self, proc, child):
        self.assertEqual(self.in_move(proc.pid), child, "the other run took longer than the hold")
        out, err = proc.communicate(timeout=120)
        return proc.returncode, out, err

    def test_prune_keeps_what_a_concurrent_run_refreshes(self):
        # Held before its first move, another run refreshes the object the
        # prune judged old; held after it (with the fallback of a file system
        # that can not refuse to replace a name), another run publishes a new
        # copy where the old one stood.
        # Last, the link that puts the refreshed object back is refused as
        # taken while the name is free: it is tried again, never dropped.
        for how, at, no_noreplace, taken_link in (
                ("-i", "enter", False, False), ("touch", "enter", False, False), ("-i", "enter", True, False),
                ("touch", "enter", True, False), ("-i", "exit", False, False), ("-i", "exit", True, False),
                ("touch", "enter", True, True)):
            with self.subTest(refreshed_by=how, held_at=at, no_noreplace=no_noreplace, taken_link=taken_link):
                t, db, keep = self.aged_store()
                # The objects are judged in the order of their names.
                first = obj(db, min(store_digests(db) - {md5_hex(b"kept")}))
                proc, child = self.held(first, ["-R", db, "-g", "1h", "-P", keep], at, no_noreplace,
                                        calls=["renameat"] if taken_link else None, taken_link=taken_link)
                if how == "-i":
                    self.store(t, db)
                else:
                    for d in store_digests(db):
                        os.utime(obj(db, d))
                status, out, err = self.finish(proc, child)
                self.assertEqual(status, 0, err)
                self.assertEqual(check_store(db)[0], [])
                # Held after its move, the prune took the old copy only.
                self.assertEqual(store_digests(db), set(tree_digests(t).values()))
                self.assertEqual(out, b"" if at == "enter" else b"Removed: %s\n" % os.path.relpath(first, db).encode())
                shutil.rmtree(db)

    def test_what_a_killed_run_held_aside_comes_back_to_be_judged(self):
        # Killed right after it moved the object aside, before it removed or
        # put it back: the next -V or -P puts it back under its name, where
        # it is judged as any other (healthy: kept by -V; old: pruned). An
        # interrupted run leaves its lease for that (unlocked: a dead run's),
        # which goes with the last entry put back.
        for sig, then in [(s, t) for s in (signal.SIGKILL, signal.SIGINT, signal.SIGTERM) for t in ("-V", "-P")]:
            with self.subTest(signal=sig, then=then):
                t, db, keep = self.aged_store()
                first = obj(db, min(store_digests(db) - {md5_hex(b"kept")}))
                proc, child = self.held(first, ["-R", db, "-g", "1h", "-P", keep], "exit")
                os.kill(int(child), sig)
                proc.communicate(timeout=60)
                self.assertFalse(os.path.exists(first))
                p = run(["-R", db, "-V"] if then == "-V" else ["-R", db, "-g", "1h", "-P", keep])
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(check_store(db)[0], [])
                if then == "-V":
                    self.assertEqual(p.stdout, b"")
                    self.assertEqual(store_digests(db), set(tree_digests(t).values()))
                else:
                    self.assertIn(b"Removed: %s\n" % os.path.relpath(first, db).encode(), p.stdout)
                    self.assertEqual(store_digests(db), set())
                self.assertEqual([n for n in os.listdir(db) if n.startswith(".mdtree-")], [])
                shutil.rmtree(db)

    def test_a_signal_right_after_the_aside_directory_went_takes_the_lease(self):
        # A -V that moved a damaged object to damaged/ is ended by a signal
        # just after it removed its emptied aside directory: its lease goes
        # with it, never left behind to read as a dead run's leftover.
        t, db, keep = self.aged_store()
        first = obj(db, sorted(store_digests(db))[0])
        with open(first, "ab") as f:
            f.write(b"damage")
        proc, child = self.held(None, ["-R", db, "-V"], "exit", calls=["unlinkat"])
        self.assertEqual([n for n in os.listdir(db) if n.startswith(".mdtree-") and not n.endswith("LEASE")], [])
        os.kill(int(child), signal.SIGTERM)
        proc.communicate(timeout=60)
        self.assertEqual([n for n in os.listdir(db) if n.startswith(".mdtree-")], [])
        self.assertTrue(os.path.isfile(os.path.join(db, "damaged", os.path.relpath(first, db))))

    def test_a_paused_run_reports_only_what_a_prune_right_after_it_keeps(self):
        # Held for longer than the grace period (as by Ctrl-Z): after its
        # files were written and before it renamed them, they are published
        # with a fresh time; with --cache, after it refreshed an object
        # already stored, it refreshes it again before it reports it.
        for pause, calls in (("before publishing", "syncfs,fdatasync,fsync"), ("after a refresh", "utimensat")):
            with self.subTest(pause=pause):
                t = make_tree(self.path("t", pause), {"f%d" % i: "%s %d\n" % (pause, i) for i in range(5)})
                keep = self.listing(make_tree(self.path("keep"), {"k": "kept"}), "keep.md5")
                db, cache = self.path("store", pause), self.path("cache", pause)
                args = ["-R", db, "-i", t]
                if calls == "utimensat":
                    time.sleep(2.1)  # the cache trusts what was not modified just before it
                    args = ["--cache", cache] + args
                    self.assertOk(run(args))
                cmd = ["strace", "-qq", "-f", "-o", "/dev/null", "-e", "trace=" + calls,
                       "-e", "inject=%s:delay_exit=3000000:when=1" % calls] + argv(args)
                p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=traced_env(), timeout=120)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(len(p.stdout.splitlines()), 5)
                p = run(["-R", db, "-g", "2s", "-P", keep])
                self.assertOk(p)
                self.assertEqual(p.stdout, b"")
                self.assertEqual(store_digests(db), set(tree_digests(t).values()))

    def test_verify_never_moves_a_good_copy_stored_meanwhile(self):
        files = {"f%02d" % i: "object %d\n" % i for i in range(50)}
        t = make_tree(self.path("t"), files)
        for at, no_noreplace in (("enter", False), ("enter", True), ("exit", False), ("exit", True)):
            with self.subTest(held_at=at, no_noreplace=no_noreplace):
                db = self.store(t)
                bad = sorted(store_digests(db))[0]
                with open(obj(db, bad), "ab") as f:
                    f.write(b"damage")
                with open(obj(db, bad), "rb") as f:
                    damaged = f.read()
                proc, child = self.held(obj(db, bad), ["-R", db, "-V"], at, no_noreplace)
                self.store(t, db)
                status, out, err = self.finish(proc, child)
                self.assertEqual((status, out), (1, b"Damaged: %s/%s\n" % (bad[:2].encode(), bad[2:].encode())))
                # Held before the move, the good copy is what the move took:
                # it goes back; held after it, the damaged copy went.
                self.assertIn(b"0 moved to" if at == "enter" else b"1 moved to", err)
                self.assertEqual(check_store(db)[0], [] if at == "enter" else
                                 ["stray entry %s" % os.path.join(db, "damaged")])
                self.assertEqual(store_digests(db), set(tree_digests(t).values()))
                if at == "exit":
                    with open(os.path.join(db, "damaged", bad[:2], bad[2:]), "rb") as f:
                        self.assertEqual(f.read(), damaged)
                shutil.rmtree(db)

    def test_verify_leaves_a_live_runs_files_and_takes_a_dead_runs(self):
        """A store run held (and paused) at its first publication holds
        temporary files that look an hour old: -V leaves them to the live
        run, which then finishes; once the run is killed, they are a dead
        run's, whatever their age."""
        files = {"f%02d" % i: "object %d\n" % i * 50 for i in range(60)}
        t = make_tree(self.path("t"), files)
        for end in ("finish", "kill"):
            with self.subTest(run=end):
                db = self.path("store")  # made by the run, as its first
                proc, child = self.held(None, ["-R", db, "-i", t], calls=["rename", "renameat", "renameat2"])
                os.kill(int(child), signal.SIGSTOP)
                temps = [n for n in os.listdir(db) if n.startswith(".mdtree-") and not n.endswith("LEASE")]
                self.assertTrue(temps)
                for n in temps:
                    age(os.path.join(db, n), 7200)
                p = run(["-R", db, "-V"])
                self.assertEqual((p.returncode, p.stdout), (0, b""), p.stderr)
                if end == "finish":
                    os.kill(int(child), signal.SIGCONT)
                    status, out, err = self.finish(proc, child)
                    self.assertEqual(status, 0, err)
                    self.assertEqual(len(out.splitlines()), len(files))
                    self.assertEqual(check_store(db), ([], len(files), []))
                else:
                    os.kill(int(child), signal.SIGKILL)
                    proc.communicate(timeout=60)
                    for n in temps:
                        age(os.path.join(db, n), 0)
                    left = sorted(n for n in os.listdir(db) if n.startswith(".mdtree-") and not n.endswith("LEASE"))
                    p = run(["-R", db, "-V"])
                    self.assertEqual(p.returncode, 1)
                    self.assertEqual(sorted(p.stdout.splitlines()), [b"Stale: " + n.encode() for n in left])
                    self.assertEqual(sorted(os.listdir(os.path.join(db, "damaged"))), left)
                shutil.rmtree(db)


@unittest.skipUnless(strace_works(), "needs strace and ptrace on x86-64")
class NetworkFaults(StoreTest):
    """A network file system answers "Stale file handle" when another
    machine replaced a file being read, and a file may vanish between the
    listing of its directory and its opening: made to happen with strace."""

    def test_verify_looks_again_at_an_object_it_could_not_read(self):
        files = {"f%02d" % i: "object %d\n" % i for i in range(20)}
        t = make_tree(self.path("t"), files)
        db = self.store(t)
        first = obj(db, sorted(store_digests(db))[0])
        for call, err in (("read", "ESTALE"), ("openat", "ESTALE"), ("read", "ENOENT")):
            with self.subTest(call=call, error=err):
                p = run_faulted(["-R", db, "-V"], first, call, err)
                self.assertEqual((p.returncode, p.stdout, p.stderr), (0, b"", b""))
        self.assertEqual(check_store(db), ([], len(files), []))

    def test_a_move_refused_as_stale_is_made_again(self):
        # GlusterFS refuses to rename a name whose cached entry names a file
        # another machine has replaced: the next try looks the name up anew.
        for job in ("-P", "-V"):
            with self.subTest(job=job):
                t, db, keep = self.aged_store()
                first = obj(db, sorted(store_digests(db))[0])
                if job == "-V":
                    with open(first, "ab") as f:
                        f.write(b"damage")
                    args = ["-R", db, "-V"]
                else:
                    args = ["-R", db, "-g", "1h", "-P", keep]
                p = run_faulted(args, [first, os.path.dirname(first)], "renameat", "ESTALE")
                rel = os.path.relpath(first, db).encode()
                if job == "-V":
                    self.assertEqual((p.returncode, p.stdout), (1, b"Damaged: %s\n" % rel), p.stderr)
                    self.assertTrue(os.path.isfile(os.path.join(db, "damaged", rel.decode())))
                else:
                    self.assertEqual(p.returncode, 0, p.stderr)
                    self.assertEqual(len(p.stdout.splitlines()), 50)
                    self.assertEqual(store_digests(db), set())
                self.assertFalse(os.path.exists(first))
                shutil.rmtree(db)


    def test_a_move_reported_failed_after_it_was_made_is_judged(self):
        # GlusterFS reports a rename as failed (ENOENT) after its server
        # made it, when another machine publishes the name anew at once: the
        # entry moved is judged all the same, never left aside unreported.
        lib = netfs_faults_library(self.path("faults"))
        for job in ("-P", "-V"):
            with self.subTest(job=job):
                t, db, keep = self.aged_store()
                first = obj(db, sorted(store_digests(db))[0])
                rel = os.path.relpath(first, db).encode()
                if job == "-V":
                    with open(first, "ab") as f:
                        f.write(b"damage")
                env = netfs_faults_env(lib, first, "FAULT_RENAME_LIES")
                p = run(["-R", db, "-V"] if job == "-V" else ["-R", db, "-g", "1h", "-P", keep], env=env)
                if job == "-V":
                    self.assertEqual((p.returncode, p.stdout), (1, b"Damaged: %s\n" % rel), p.stderr)
                    self.assertTrue(os.path.isfile(os.path.join(db, "damaged", rel.decode())))
                else:
                    self.assertEqual(p.returncode, 0, p.stderr)
                    self.assertIn(b"Removed: %s\n" % rel, p.stdout)
                    self.assertEqual(len(p.stdout.splitlines()), 50)
                    self.assertEqual(store_digests(db), set())
                self.assertEqual([n for n in os.listdir(db) if n.startswith(".mdtree-")], [])
                shutil.rmtree(db)

    def test_a_way_back_called_taken_keeps_the_object_until_another_file_opens_there(self):
        # The prune finds the object it moved aside refreshed meanwhile, by
        # another machine through its cached entry of the name, and puts it
        # back. GlusterFS has called the free name taken while a look at it
        # described a file (an entry its server kept); where it refuses
        # no-replace renames, it has made the link back and reported it
        # failed, and made it, called the name taken and removed the link
        # right after. Each way the object stands at its name afterwards.
        lib = netfs_faults_library(self.path("faults"))
        for fault in ("FAULT_PHANTOM", "FAULT_LINK_LIES", "FAULT_LINK_FLICKER"):
            with self.subTest(fault=fault):
                for d in ("t", "store", "keep"):
                    shutil.rmtree(self.path(d), ignore_errors=True)
                t, db, keep = self.aged_store()
                digest = sorted(store_digests(db))[0]
                first = obj(db, digest)
                env = netfs_faults_env(lib, first, "FAULT_REFRESH_AFTER_MOVE", fault)
                p = run(["-R", db, "-g", "1h", "-P", keep], env=env)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertNotIn(os.path.relpath(first, db).encode(), p.stdout)
                self.assertEqual(len(p.stdout.splitlines()), 49)
                self.assertTrue(os.path.isfile(first), "the object is gone")
                with open(first, "rb") as f:
                    self.assertEqual(md5_hex(f.read()), digest)
                self.assertEqual(store_digests(db), {digest})
                self.assertEqual([n for n in os.listdir(db) if n.startswith(".mdtree-")], [])
                shutil.rmtree(db)

    def test_a_link_planted_where_a_refreshed_object_goes_back_never_costs_the_object(self):
        # The object the prune took was refreshed meanwhile, and a symbolic
        # link stands at its name by the time it goes back: the object is
        # held aside, with the run's lease, never removed as a second copy;
        # -V then reports both and moves them to damaged/.
        lib = netfs_faults_library(self.path("faults"))
        t, db, keep = self.aged_store()
        digest = sorted(store_digests(db))[0]
        first = obj(db, digest)
        env = netfs_faults_env(lib, first, "FAULT_REFRESH_AFTER_MOVE", "FAULT_PLANT_LINK")
        p = run(["-R", db, "-g", "1h", "-P", keep], env=env)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(len(p.stdout.splitlines()), 49)
        self.assertIn(b"%s is not a file; keeping " % first.encode(), p.stderr)
        self.assertTrue(os.path.islink(first))

        def copies():
            found = []
            for d, _, names in os.walk(db):
                for n in names:
                    f = os.path.join(d, n)
                    if os.path.isfile(f) and not os.path.islink(f) and not n.endswith("LEASE"):
                        with open(f, "rb") as fh:
                            found.append(md5_hex(fh.read()))
            return found

        self.assertEqual(copies(), [digest])
        self.assertTrue([n for n in os.listdir(db) if n.endswith("LEASE")], "the lease went with the object held")
        p = run(["-R", db, "-V"])
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn(b"Foreign: %s\n" % os.path.relpath(first, db).encode(), p.stdout)
        self.assertEqual(copies(), [digest])

    def test_a_file_planted_where_a_refreshed_object_goes_back_is_no_copy_of_it(self):
        # The object taken was refreshed meanwhile, and a regular file with
        # other content stands at its name by the time it goes back: that
        # file is no second copy. The object takes its name again, and the
        # planted file goes to damaged/, named on standard error.
        lib = netfs_faults_library(self.path("faults"))
        for job in ("-P", "-V"):
            with self.subTest(job=job):
                t, db, keep = self.aged_store()
                digest = sorted(store_digests(db))[0]
                first = obj(db, digest)
                if job == "-V":
                    with open(first, "ab") as f:
                        f.write(b"damage")
                with open(first, "rb") as f:
                    held = f.read()
                env = netfs_faults_env(lib, first, "FAULT_REFRESH_AFTER_MOVE", "FAULT_PLANT_FILE")
                p = run(["-R", db, "-V"] if job == "-V" else ["-R", db, "-g", "1h", "-P", keep], env=env)
                self.assertEqual(p.returncode, 1 if job == "-V" else 0, p.stderr)
                damaged = os.path.join(db, "damaged", os.path.relpath(first, db))
                self.assertIn(b"%s does not hold the content its name says, or can not be read; moved it to %s\n"
                              % (first.encode(), damaged.encode()), p.stderr)
                with open(first, "rb") as f:
                    self.assertEqual(md5_hex(f.read()), md5_hex(held))
                with open(damaged, "rb") as f:
                    self.assertEqual(f.read(), b"planted")
                if job == "-P":
                    self.assertEqual(len(p.stdout.splitlines()), 49)
                    self.assertEqual(store_digests(db), {digest})
                self.assertEqual([n for n in os.listdir(db) if n.startswith(".mdtree-")], [])
                shutil.rmtree(db)

    def test_what_a_failed_run_held_aside_comes_back_to_be_judged(self):
        # The check after the move fails (the server answers with an I/O
        # error): the run ends with status 1 and the object aside, and the
        # next -V or -P puts it back at once, as a killed run's.
        for then in ("-V", "-P"):
            with self.subTest(then=then):
                t, db, keep = self.aged_store()
                p = run_faulted(["-R", db, "-g", "1h", "-P", keep], None, "statx", "EIO")
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertIn(b"Input/output error", p.stderr)
                self.assertEqual(len(store_digests(db)), 49)  # the first is aside
                p = run(["-R", db, "-V"] if then == "-V" else ["-R", db, "-g", "1h", "-P", keep])
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(check_store(db)[0], [])
                self.assertEqual(store_digests(db), set(tree_digests(t).values()) if then == "-V" else set())
                self.assertEqual(len(p.stdout.splitlines()), 0 if then == "-V" else 50)
                self.assertEqual([n for n in os.listdir(db) if n.startswith(".mdtree-")], [])
                shutil.rmtree(db)

    def test_two_runs_put_back_what_a_failed_run_held_aside(self):
        # Two runs find the same dead run's aside directory: the one held
        # before it opens the directory finds it gone (the other emptied and
        # removed it), and goes on.
        t, db, keep = self.aged_store()
        p = run_faulted(["-R", db, "-g", "1h", "-P", keep], None, "statx", "EIO")
        self.assertEqual(p.returncode, 1, p.stderr)
        aside = [os.path.join(db, n) for n in os.listdir(db) if n.startswith(".mdtree-") and not n.endswith("LEASE")]
        self.assertEqual(len(aside), 1)
        cmd = ["strace", "-qq", "-f", "-o", "/dev/null", "-P", aside[0], "-e", "trace=openat", "-e",
               "inject=openat:delay_enter=%d" % (HOLD * 1000000)] + argv(["-R", db, "-V"])
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=traced_env())
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        held, deadline = 0, time.time() + 60
        while held < 3 and time.time() < deadline and proc.poll() is None:
            try:
                with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
                    child = f.read().split()[0]
                with open("/proc/%s/syscall" % child) as f:
                    held = held + 1 if f.read().split()[0] == "257" else 0  # openat
            except (OSError, IndexError):
                held = 0
            time.sleep(0.1)
        self.assertEqual(held, 3, "never held at the opening of the aside directory")
        p = run(["-R", db, "-V"])
        self.assertEqual((p.returncode, p.stdout), (0, b""), p.stderr)
        out, err = proc.communicate(timeout=120)
        self.assertEqual((proc.returncode, out, err), (0, b"", b""))
        self.assertEqual(store_digests(db), set(tree_digests(t).values()))
        self.assertEqual([n for n in os.listdir(db) if n.startswith(".mdtree-")], [])


class Durable(StoreTest):
    """What -P removes and -V moves is on the disk before the run ends: a
    flush of the store's file system (or of its directories) follows the
    last removal. The store lies on the disk here, not on tmpfs."""

    @unittest.skipUnless(strace_works(), "needs strace and ptrace on x86-64")
    def test_a_flush_follows_the_last_removal(self):
        t = make_tree(self.path("t"), {"f%02d" % i: "object %d\n" % i for i in range(20)})
        keep = self.listing(make_tree(self.path("keep"), {"k": "kept"}), "keep.md5")
        for job in ("-P", "-V"):
            with self.subTest(job=job):
                db = self.store(t)
                for d in store_digests(db):
                    age(obj(db, d), 86400 * 30)
                    if job == "-V":
                        with open(obj(db, d), "ab") as f:
                            f.write(b"damage")
                log = self.path("trace")
                args = ["-R", db, "-g", "1h", "-P", keep] if job == "-P" else ["-R", db, "-V"]
                p = subprocess.run(["strace", "-qq", "-f", "-o", log, "-e",
                                    "trace=unlink,unlinkat,rename,renameat,renameat2,link,linkat,rmdir,"
                                    "syncfs,fsync,fdatasync,sync"] + argv(args),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=traced_env())
                self.assertEqual(p.returncode, 0 if job == "-P" else 1, p.stderr)
                self.assertEqual(len(p.stdout.splitlines()), 20)
                with open(log) as f:
                    calls = [l.split()[1].split("(")[0] for l in f if "(" in l and "resumed" not in l]
                changes = [i for i, c in enumerate(calls) if not c.startswith(("sync", "fsync", "fdatasync"))]
                flushes = [i for i, c in enumerate(calls) if c.startswith(("sync", "fsync", "fdatasync"))]
                self.assertTrue(flushes and changes and flushes[-1] > changes[-1], calls[-10:])
                shutil.rmtree(db)
