"""Failures around a run: writes that fail part-way (a file-size limit with
SIGXFSZ ignored), reads that fail, and SIGKILL at random moments. Whatever
happens, every run that fails says so on standard error with a non-zero
status, and no file under its final name holds wrong content: a store object
always hashes to its name, a target file is its old content, absent, or
complete and correct."""

import os
import random
import resource
import signal
import subprocess
import sys
import time

from mdt import TreeTest, argv, check_store, make_tree, md5_hex, run, store_digests, tree_digests, tool_env

# The temporary files the tool writes before publishing by rename.
TEMP_PREFIX = b".mdtree-"
EMPTY = "d41d8cd98f00b204e9800998ecf8427e"


def _limit_file_size(fsize):
    def pre():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
    return pre


def run_limited(args, fsize, cwd=None, env=None, stdout=subprocess.PIPE):
    """Runs mdtree with every file it writes limited to fsize bytes: a write
    past that fails with EFBIG instead of killing the process."""
    return subprocess.run(argv(args), cwd=cwd, env=tool_env(env), stdout=stdout, stderr=subprocess.PIPE,
                          preexec_fn=_limit_file_size(fsize), timeout=600)


def walk_files(root):
    """{relative path (bytes): absolute path (bytes)} of every non-directory
    below root, symbolic links included (as themselves)."""
    out = {}
    broot = os.fsencode(root)
    for dirpath, dirnames, filenames in os.walk(broot):
        for n in filenames + [d for d in dirnames if os.path.islink(os.path.join(dirpath, d))]:
            p = os.path.join(dirpath, n)
            out[os.path.relpath(p, broot)] = p
    return out


def file_md5(p):
    with open(p, "rb") as f:
        return md5_hex(f.read())


def is_temp(rel):
    return os.path.basename(rel).startswith(TEMP_PREFIX)


class Checks:
    """Mixed into TreeTest: the invariants every fault must leave intact."""

    def check_store(self, root, temps_allowed):
        """Every object in the store hashes to its name. Returns the set of
        digests stored."""
        problems, _, temps = check_store(root)
        self.assertEqual(problems, [])
        if not temps_allowed:
            self.assertEqual(temps, [], "temporary files left behind")
        return store_digests(root)

    def check_target(self, root, allowed, temps_allowed):
        """allowed: {relative path (bytes): set of acceptable digests}; a path
        may also be absent. Nothing else may stand under a final name.
        Returns the number of files checked."""
        n = 0
        for rel, p in walk_files(root).items():
            if is_temp(rel):
                self.assertTrue(temps_allowed, "temporary file left behind: %r" % rel)
                continue
            self.assertIn(rel, allowed, "unexpected file %r" % rel)
            self.assertIn(file_md5(p), allowed[rel], "wrong content under final name %r" % rel)
            n += 1
        return n

    def assertFailedWithMessage(self, p, *fragments):
        self.assertNotEqual(p.returncode, 0, p.stderr)
        # A status of its own would hide in these tests: a crash or a
        # sanitizer report is not a clean failure.
        self.assertGreater(p.returncode, 0, p.stderr)
        self.assertLess(p.returncode, 5, p.stderr)
        self.assertTrue(p.stderr.endswith(b"\n"), p.stderr)
        for f in fragments:
            self.assertIn(f, p.stderr)


BIG = 256 * 1024
LIMIT = 64 * 1024


def small_and_big_tree(root, rng):
    files = {"a": "alpha", "d/b": "beta", "d/e/empty": ""}
    files.update({"n%02d" % i: os.urandom(rng.randrange(1, 4000)) for i in range(20)})
    files["d/big"] = os.urandom(BIG)
    make_tree(root, files)
    return tree_digests(root)


class WriteErrorsInStore(TreeTest, Checks):
    """The content database under a file-size limit smaller than one file."""

    def setUp(self):
        super().setUp()
        self.src = self.path("src")
        self.db = self.path("db")
        self.digests = small_and_big_tree(self.src, random.Random(1))

    def test_store_keeps_only_whole_objects(self):
        p = run_limited(["-R", self.db, "-i", self.src], LIMIT)
        self.assertFailedWithMessage(p, b"File too large")
        stored = self.check_store(self.db, temps_allowed=False)
        self.assertNotIn(self.digests[b"d/big"], stored)
        # Everything the run reported as stored is there.
        for line in p.stdout.splitlines():
            self.assertIn(line[:33].replace(b"/", b"").decode(), stored)

    def test_restore_leaves_old_file_or_nothing(self):
        self.assertOk(run(["-R", self.db, "-i", self.src]))
        listing = run(["-l", self.src]).stdout
        with open(self.path("listing"), "wb") as f:
            f.write(listing)
        out = self.path("out")
        # An older version of the big file, and of a small one, stand there.
        make_tree(out, {"d/big": "old big", "a": "old a"})
        p = run_limited(["-R", self.db, "-o", self.path("listing")], LIMIT, cwd=out)
        self.assertFailedWithMessage(p, b"File too large")
        allowed = {rel: {d} for rel, d in self.digests.items()}
        allowed[b"d/big"] = {md5_hex(b"old big")}
        allowed[b"a"].add(md5_hex(b"old a"))
        self.check_target(out, allowed, temps_allowed=False)
        with open(os.path.join(out, "d", "big"), "rb") as f:
            self.assertEqual(f.read(), b"old big")

    def test_listing_on_full_output(self):
        # Standard output is a file that can not grow past the limit.
        make_tree(self.src, {"many/%04d" % i: str(i) for i in range(3000)})
        with open(self.path("out.txt"), "wb") as out:
            p = run_limited(["-l", self.src], 4096, stdout=out)
        self.assertFailedWithMessage(p, b"write error on standard output")


class ReadErrors(TreeTest, Checks):
    """-i from a listing whose first line names a file that can not be read
    as one: nothing may be stored for it, and the run ends there."""

    CASES = {
        # A directory: reading it fails with EISDIR, if it is opened at all.
        "directory": (b"dir", b"dir"),
        # A regular file by its status whose reads fail with EIO.
        "failing reads": (b"/proc/self/mem", b"Input/output error"),
    }

    def test_unreadable_entry_stores_nothing(self):
        make_tree(self.path("w"), {"dir/f": "x", "a": "alpha"})
        for case, (name, fragment) in self.CASES.items():
            with self.subTest(case=case):
                db = self.path("db-" + case.replace(" ", "-"))
                listing = b"%s  %s\n%s  a\n" % (EMPTY.encode(), name, md5_hex(b"alpha").encode())
                make_tree(self.tmp, {"listing": listing})
                p = run(["-R", db, "-i", self.path("listing")], cwd=self.path("w"))
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertFailedWithMessage(p, fragment)
                self.assertEqual(p.stdout, b"")
                self.assertEqual(self.check_store(db, temps_allowed=False), set())


# Kills: a few thousand files, killed at random moments. MDTREE_KILLS sets
# the number of kills per job (10 by default, to keep the suite short);
# MDTREE_KILL_SEED the seed.
KILLS = int(os.environ.get("MDTREE_KILLS", "10"))
SEED = int(os.environ.get("MDTREE_KILL_SEED", "20261207"))
NFILES = int(os.environ.get("MDTREE_KILL_FILES", "3000"))


def many_files_tree(root, rng, version):
    """NFILES files in nested directories; version changes about half of
    the contents and sizes. Some files are large, so that kills land inside
    copies as well as between them."""
    files = {}
    for i in range(NFILES):
        rel = "d%02d/s%d/f%04d" % (i % 40, i % 3, i)
        size = rng.choice([0, 10, 100, 1000, 5000, 20000]) if i % 500 else 2 * 1024 * 1024
        if version == 1 or i % 2 == 0:
            files[rel] = rng.getrandbits(8 * size).to_bytes(size, "little") if size else b""
        else:
            files[rel] = b"version %d of %d" % (version, i)
    make_tree(root, files)
    return tree_digests(root)


class Killer:
    """Runs one job again and again, killing it at a random moment within the
    time a whole run takes, and checks the invariants after each kill."""

    def __init__(self, test, rng):
        self.test = test
        self.rng = rng
        self.kills = 0
        self.completed = 0
        self.files_checked = 0
        self.window = None

    def time_whole_run(self, args, cwd=None):
        t = time.monotonic()
        p = run(args, cwd=cwd)
        self.test.assertOk(p)
        return time.monotonic() - t

    def kill_once(self, args, duration, cwd=None):
        if self.window is None:
            self.window = duration
        proc = subprocess.Popen(argv(args), cwd=cwd, env=tool_env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        time.sleep(self.rng.uniform(0, self.window))
        proc.send_signal(signal.SIGKILL)
        _, err = proc.communicate(timeout=600)
        if proc.returncode == -signal.SIGKILL:
            self.kills += 1
        else:
            # Finished before the kill: it must have finished well. A run
            # on a tree that earlier runs half did can be quicker than the
            # timed one; aim earlier from now on.
            self.test.assertEqual(proc.returncode, 0, err)
            self.completed += 1
            self.window *= 0.7

    def report(self, job):
        if "MDTREE_KILLS" in os.environ:
            sys.stderr.write("\nkills %s: %d killed, %d completed, %d files checked\n"
                             % (job, self.kills, self.completed, self.files_checked))


class KillsDuringStore(TreeTest, Checks):
    """-i and -o killed at random moments."""

    def setUp(self):
        super().setUp()
        self.rng = random.Random(SEED)
        self.src = self.path("src")
        self.old = self.path("old")
        self.digests = many_files_tree(self.src, self.rng, 1)
        self.old_digests = many_files_tree(self.old, self.rng, 2)

    def test_kill_during_store(self):
        k = Killer(self, self.rng)
        db = self.path("db")
        duration = k.time_whole_run(["-R", self.path("timing-db"), "-i", self.src])
        for _ in range(KILLS):
            k.kill_once(["-R", db, "-i", self.src], duration)
            stored = self.check_store(db, temps_allowed=True)
            k.files_checked += len(stored)
            self.assertLessEqual(stored, set(self.digests.values()))
        k.report("-i")
        # A run to the end after all that stores everything.
        self.assertOk(run(["-R", db, "-i", self.src]))
        self.assertEqual(self.check_store(db, temps_allowed=True), set(self.digests.values()))

    def test_kill_during_restore(self):
        db = self.path("db")
        self.assertOk(run(["-R", db, "-i", self.src]))
        with open(self.path("listing"), "wb") as f:
            f.write(run(["-l", self.src]).stdout)
        k = Killer(self, self.rng)
        timing = self.path("timing")
        os.mkdir(timing)
        duration = k.time_whole_run(["-R", db, "-o", self.path("listing")], cwd=timing)
        # The target starts as the old version of the tree.
        out = self.old
        allowed = {rel: {d, self.old_digests.get(rel)} for rel, d in self.digests.items()}
        for _ in range(KILLS):
            k.kill_once(["-R", db, "-o", self.path("listing")], duration, cwd=out)
            k.files_checked += self.check_target(out, allowed, temps_allowed=True)
        k.report("-o")
        self.assertOk(run(["-R", db, "-o", self.path("listing")], cwd=out))
        got = {rel: d for rel, d in tree_digests(out).items() if not is_temp(rel)}
        self.assertEqual(got, self.digests)
