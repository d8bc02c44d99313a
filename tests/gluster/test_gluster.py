"""One store shared by several machines on GlusterFS. tests/gluster/run
starts the volume and mounts it several times (GLUSTER_MOUNTS): each mount
stands for another machine, with its own client and caches. Trees live in
local temporary directories; every result is checked with md5sum."""

import fcntl
import os
import random
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import mdt

MOUNTS = [m for m in os.environ.get("GLUSTER_MOUNTS", "").split(":") if m]
DIGEST_PATH = re.compile(r"^[0-9a-f]{2}/[0-9a-f]{30}$")


def md5sum(paths, cwd=None):
    """{path: digest} for the given files, by md5sum. A name that two
    machines renamed onto at once may, for a while, lead a third client's
    cache to the replaced file, which is gone: such a file is read again
    after a pause, and one that never opens fails the check."""
    out = {}
    left = list(paths)
    for attempt in range(6):
        failed = []
        for i in range(0, len(left), 500):
            chunk = left[i:i + 500]
            r = subprocess.run(["md5sum", "--"] + chunk, cwd=cwd, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
            for line in r.stdout.decode().splitlines():
                out[line[34:]] = line[:32]
            failed += [n for n in chunk if n not in out]
        if not failed:
            return out
        left = failed
        time.sleep(1)
    raise AssertionError("md5sum can not read %d files, e.g. %s" % (len(left), left[0]))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def files_below(root):
    return sorted(os.path.relpath(os.path.join(d, n), root)
                  for d, _, names in os.walk(root) for n in names)


def listing_of(tree):
    """The listing of tree as md5sum writes it: "digest  name" lines."""
    sums = md5sum(files_below(tree), cwd=tree)
    return "".join("%s  %s\n" % (sums[n], n) for n in sorted(sums)).encode()


def make_tree(root, rng, nfiles, shared=(), large=0):
    """nfiles small files of random bytes, plus the contents in shared under
    names of this tree, plus large files of 4 MiB."""
    files = {}
    for i in range(nfiles):
        files["d%d/f%03d" % (i % 7, i)] = rng.randbytes(rng.randint(0, 20000))
    for i, data in enumerate(shared):
        files["shared/s%03d" % i] = data
    for i in range(large):
        files["big/b%d" % i] = rng.randbytes(4 << 20)
    return mdt.make_tree(root, files)


class SharedStore(mdt.TreeTest):
    """A store on the volume, seen through each mount as self.stores[i]."""

    def setUp(self):
        super().setUp()
        if len(MOUNTS) < 3:
            self.skipTest("tests/gluster/run mounts the volume")
        name = os.path.basename(tempfile.mkdtemp(prefix="case-", dir=MOUNTS[0]))
        self.addCleanup(shutil.rmtree, os.path.join(MOUNTS[0], name), True)
        self.stores = [os.path.join(m, name, "store") for m in MOUNTS]

    def use_store(self, name):
        """Moves to a new store: one per round where a client's caches of
        the previous round's store would stand in the way."""
        self.stores = [os.path.join(os.path.dirname(s), name) for s in self.stores]

    def start(self, machine, *args, cwd=None, slow=False):
        # A run started in the background inherits SIGINT ignored, and
        # mdtree keeps a signal ignored.
        cmd = mdt.argv(["-R", self.stores[machine]] + list(args))
        if slow:
            calls = "link,linkat,unlink,unlinkat,rename,renameat,renameat2"
            cmd = ["strace", "-qq", "-f", "-o", "/dev/null", "-e", "trace=" + calls,
                   "-e", "inject=%s:delay_exit=20000" % calls] + cmd
        return subprocess.Popen(cmd, cwd=cwd,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))

    def restore(self, machine, listing, target):
        """-o of the listing file into a new local directory target."""
        os.makedirs(target)
        return mdt.run(["-R", self.stores[machine], "-o", listing], cwd=target)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def check_store(self, machine):
        """Every entry under a digest name is a regular file with that
        digest; returns the digests and the other names (leftovers)."""
        root = self.stores[machine]
        names = files_below(root)
        named = [n for n in names if DIGEST_PATH.match(n)]
        for n in named:
            self.assertTrue(os.path.isfile(os.path.join(root, n)) and not os.path.islink(os.path.join(root, n)), n)
        sums = md5sum(named, cwd=root)
        for n in named:
            self.assertEqual(sums[n], n.replace("/", ""), "object %s holds other content" % n)
        for d, dirs, _ in os.walk(root):
            for x in dirs:
                rel = os.path.relpath(os.path.join(d, x), root)
                self.assertTrue(re.match(r"^[0-9a-f]{2}$", rel), "directory %s in the store" % rel)
        return {n.replace("/", "") for n in named}, [n for n in names if not DIGEST_PATH.match(n)]

    def check_partial_restore(self, proc, listing, target):
        """A restore either succeeded with every file right, or refused;
        whatever it did restore is right."""
        want = {l[34:]: l[:32] for l in listing.decode().splitlines()}
        got = md5sum(files_below(target), cwd=target)
        for n, d in got.items():
            self.assertEqual(d, want.get(n), "%s restored with other content" % n)
        if proc.returncode == 0:
            self.assertEqual(got, want)
        else:
            self.assertNotEqual(proc.stderr, b"")


class ConcurrentStores(SharedStore):
    def test_two_machines_store_at_once(self):
        # Different trees, trees that share half their contents, and the same
        # tree: the objects both write at once are renamed onto one name.
        for shape in ("different", "overlapping", "identical"):
            with self.subTest(shape=shape):
                self.use_store(shape)
                rng = random.Random(shape)
                a, b = self.path(shape, "a"), self.path(shape, "b")
                make_tree(a, rng, 150)
                if shape == "identical":
                    shutil.copytree(a, b)
                else:
                    shared = [read(os.path.join(a, "d0", n)) for n in sorted(os.listdir(os.path.join(a, "d0")))]
                    make_tree(b, rng, 150, shared if shape == "overlapping" else ())
                procs = [self.start(0, "-i", a), self.start(1, "-i", b)]
                outs = [p.communicate(timeout=300) for p in procs]
                for p, (out, err) in zip(procs, outs):
                    self.assertEqual(p.returncode, 0, err)
                la, lb = listing_of(a), listing_of(b)
                # What -i printed names each file's object by its digest.
                for out, listing in ((outs[0][0], la), (outs[1][0], lb)):
                    printed = sorted(l[:2] + l[3:33] + l[33:] for l in out.decode().splitlines())
                    self.assertEqual(printed, sorted(listing.decode().splitlines()))
                objects, leftovers = self.check_store(2)
                self.assertEqual(leftovers, [])
                wanted = {l[:32] for l in (la + lb).decode().splitlines()}
                self.assertEqual(objects, wanted)
                # The third machine restores both trees.
                for tree, listing in ((a, la), (b, lb)):
                    target = tree + ".out"
                    r = self.restore(2, self.write(shape + ".lst", listing), target)
                    if r.returncode != 0 and b"No such file or directory" in r.stderr:
                        # The window of the client's cache (see md5sum):
                        # the run failed safe, and a later one succeeds.
                        self.check_partial_restore(r, listing, target)
                        time.sleep(2)
                        shutil.rmtree(target)
                        r = self.restore(2, self.write(shape + ".lst", listing), target)
                    self.assertOk(r)
                    self.assertTreesEqual(tree, target)


class RestoreWhileStoring(SharedStore):
    def test_restore_on_a_third_machine_while_one_stores(self):
        rng = random.Random(3)
        old, new = self.path("old"), self.path("new")
        make_tree(old, rng, 100)
        make_tree(new, rng, 300, large=2)
        self.assertOk(mdt.run(["-R", self.stores[0], "-i", old]))
        old_list, new_list = self.write("old.lst", listing_of(old)), listing_of(new)
        new_file = self.write("new.lst", new_list)
        storing = self.start(0, "-i", new)
        rounds = 0
        while rounds == 0 or (storing.poll() is None and rounds < 4):
            rounds += 1
            # What was stored before stays whole while objects arrive.
            target = self.path("old.out%d" % rounds)
            self.assertOk(self.restore(2, old_list, target))
            self.assertTreesEqual(old, target)
            # What is arriving is restored whole or refused, never in part.
            target = self.path("new.out%d" % rounds)
            self.check_partial_restore(self.restore(2, new_file, target), new_list, target)
        out, err = storing.communicate()
        self.assertEqual(storing.returncode, 0, err)
        target = self.path("new.final")
        self.assertOk(self.restore(2, new_file, target))
        self.assertTreesEqual(new, target)
        self.assertEqual(self.check_store(1)[1], [])


class DamagedObject(SharedStore):
    def test_damage_on_one_machine_is_reported_on_another(self):
        rng = random.Random(4)
        tree = make_tree(self.path("tree"), rng, 20)
        listing = listing_of(tree)
        lst = self.write("tree.lst", listing)
        victim = "d3/f010"
        digest = md5sum([victim], cwd=tree)[victim]
        good_copy = self.write("good", read(os.path.join(tree, "d4", "f011")))
        self.write("same", read(os.path.join(tree, victim)))

        def flip(p):
            with open(p, "r+b") as f:
                b = f.read(1)
                f.seek(0)
                f.write(bytes([b[0] ^ 1]))

        def truncate(p):
            os.truncate(p, os.path.getsize(p) // 2)

        def directory(p):
            os.remove(p)
            os.mkdir(p)

        def link_elsewhere(p):
            os.remove(p)
            os.symlink(good_copy, p)

        def link_same(p):
            # A link leads out of the store even to the right content.
            os.remove(p)
            os.symlink(self.path("same"), p)

        for damage in (flip, truncate, directory, link_elsewhere, link_same):
            with self.subTest(damage=damage.__name__):
                self.use_store(damage.__name__)
                self.assertOk(mdt.run(["-R", self.stores[0], "-i", tree]))
                obj = os.path.join(self.stores[0], digest[:2], digest[2:])
                damage(obj)
                target = self.path("out-" + damage.__name__)
                r = self.restore(1, lst, target)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(os.path.join(self.stores[1], digest[:2], digest[2:]).encode(), r.stderr)
                self.assertFalse(os.path.lexists(os.path.join(target, victim)))
                self.check_partial_restore(r, listing, target)


class InterruptedStore(SharedStore):
    def test_interrupted_store_leaves_nothing_trusted(self):
        rng = random.Random(5)
        tree = make_tree(self.path("tree"), rng, 600, large=8)
        listing = listing_of(tree)
        lst = self.write("tree.lst", listing)
        for sig in (signal.SIGKILL, signal.SIGINT):
            with self.subTest(signal=sig.name):
                self.use_store(sig.name)
                p = self.start(0, "-i", tree)
                deadline = time.monotonic() + 60
                # Mid-run: once the store is being written.
                while time.monotonic() < deadline and p.poll() is None:
                    if os.path.isdir(self.stores[0]) and os.listdir(self.stores[0]):
                        break
                    time.sleep(0.02)
                p.send_signal(sig)
                p.communicate()
                self.assertEqual(p.returncode, -sig, "the run was not interrupted")
                objects, leftovers = self.check_store(1)
                for n in leftovers:
                    self.assertTrue(os.path.basename(n).startswith(".mdtree-"), n)
                if sig == signal.SIGINT:
                    self.assertEqual(leftovers, [], "SIGINT leaves no temporary file")
                target = self.path("out-" + sig.name)
                self.check_partial_restore(self.restore(1, lst, target), listing, target)
                # The other machine completes the store, and then restores all.
                self.assertOk(mdt.run(["-R", self.stores[1], "-i", tree]))
                target = self.path("full-" + sig.name)
                self.assertOk(self.restore(2, lst, target))
                self.assertTreesEqual(tree, target)


LOCK_HOLDER = """
import fcntl, sys, time
f = open(sys.argv[1], "r+b")
fcntl.lockf(f, fcntl.LOCK_EX)
print("locked", flush=True)
time.sleep(600)
"""


class MaintenanceBesideStores(SharedStore):
    """-P and -V on one machine while -i on another stores the same objects
    anew: whatever -i reports as stored stays, whole."""

    def test_a_lock_taken_on_one_mount_holds_on_another(self):
        # What tells -V a live run's temporary files from a dead run's.
        os.makedirs(self.stores[0])
        lease = os.path.join(self.stores[0], "lease")
        with open(lease, "wb"):
            pass
        holder = subprocess.Popen(["/usr/bin/python3", "-c", LOCK_HOLDER, lease], stdout=subprocess.PIPE)
        self.addCleanup(lambda: holder.poll() is None and holder.kill())
        self.assertEqual(holder.stdout.readline(), b"locked\n")

        def locked_elsewhere():
            with open(os.path.join(self.stores[1], "lease"), "r+b") as f:
                try:
                    fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except OSError:
                    return True
                fcntl.lockf(f, fcntl.LOCK_UN)
                return False

        self.assertTrue(locked_elsewhere())
        holder.send_signal(signal.SIGSTOP)  # paused (Ctrl-Z): still held
        self.assertTrue(locked_elsewhere())
        holder.kill()
        holder.wait()
        self.assertFalse(locked_elsewhere())

    # Each mount's caches may describe a name by the file that stood there
    # before another mount renamed onto it: the maintenance runs check what
    # they moved only once those caches have expired. A round takes 8 to
    # 12 s; the test command runs 4 (MDTREE_GLUSTER_ROUNDS runs more).
    def test_prune_and_verify_beside_a_store_of_the_same_objects(self):
        rng = random.Random(6)
        tree = make_tree(self.path("tree"), rng, 150)
        keep = self.write("keep.lst", listing_of(make_tree(self.path("keep"), rng, 1)))
        rounds = int(os.environ.get("MDTREE_GLUSTER_ROUNDS", "4"))
        for r in range(rounds):
            with self.subTest(round=r):
                self.use_store("round%d" % r)
                self.assertOk(mdt.run(["-R", self.stores[0], "-i", tree]))
                old = time.time() - 30 * 86400
                for d in self.check_store(0)[0]:
                    os.utime(os.path.join(self.stores[0], d[:2], d[2:]), (old, old))
                # Every object is old and no listing of the prune names it:
                # only the time -i gives it keeps it.
                # Which starts first changes from round to round.
                first_store = r % 2 == 0
                if first_store:
                    storing = self.start(1, "-i", tree)
                # Every other round, each move of the maintenance runs is held
                # a moment after it is made (strace), widening the windows a
                # concurrent store may fall into.
                slow = r % 2 == 1 and mdt.strace_works()
                maint = [self.start(2, "-g", "1h", "-P", keep, slow=slow), self.start(0, "-V", slow=slow)]
                if not first_store:
                    time.sleep(0.02 * (r % 5))
                    storing = self.start(1, "-i", tree)
                out, err = storing.communicate(timeout=300)
                # What the maintenance runs said explains a failed store.
                said = [(p.args[-2:],) + p.communicate(timeout=300) for p in maint]
                self.assertEqual(storing.returncode, 0, (err, said))
                for p, (args, pout, perr) in zip(maint, said):
                    self.assertEqual(p.returncode, 0, perr)
                    if "-V" in args:
                        self.assertEqual(pout, b"")
                reported = {l[:2] + l[3:33] for l in out.decode().splitlines()}
                self.assertGreaterEqual(len(reported), 100)
                objects, leftovers = self.check_store(1)
                self.assertEqual(reported - objects, set(), said)
                self.assertEqual(leftovers, [], said)


if __name__ == "__main__":
    unittest.main()
