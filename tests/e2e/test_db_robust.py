"""The store under stress: two runs storing into it at once, and runs killed
with SIGKILL part-way, must never leave an object whose content differs from
its name, nor a restored file that is not whole."""

import os
import random
import signal
import subprocess
import sys
import time
import unittest

from mdt import (STORE_TEMP_PREFIX, argv, TreeTest, check_store, make_tree, run, store_digests,
                 tool_env, tree_digests)


def start(args, cwd=None, stderr=subprocess.DEVNULL):
    return subprocess.Popen(argv(args), cwd=cwd, env=tool_env(), stdout=subprocess.DEVNULL, stderr=stderr)


def random_tree(rng, prefix, count, sizes):
    return {"%s/d%d/f%d" % (prefix, i % 7, i): rng.randbytes(rng.choice(sizes)) for i in range(count)}


class Robust(TreeTest):
    def assertStoreSound(self, root, temps_allowed=False):
        problems, objects, temps = check_store(root)
        self.assertEqual(problems, [])
        if not temps_allowed:
            self.assertEqual(temps, [])
        return objects, temps

    def test_concurrent_runs_of_overlapping_trees(self):
        rng = random.Random(7)
        shared = [rng.randbytes(rng.choice([0, 100, 70_000, 400_000])) for _ in range(60)]
        a = make_tree(self.path("A"), {"s%d" % i: c for i, c in enumerate(shared)})
        b = make_tree(self.path("B"), {"x/s%d" % i: c for i, c in enumerate(reversed(shared))})
        make_tree(a, random_tree(rng, "own", 40, [10, 5000, 300_000]))
        make_tree(b, random_tree(rng, "own", 40, [10, 5000, 300_000]))
        expect = set(tree_digests(a).values()) | set(tree_digests(b).values())
        for round_ in range(3):
            db = self.path("db%d" % round_)
            procs = [start(["-R", db, "-i", t], stderr=subprocess.PIPE) for t in (a, b)]
            for p in procs:
                _, err = p.communicate(timeout=300)
                self.assertEqual(p.returncode, 0, err)
            self.assertEqual(store_digests(db), expect)
            self.assertStoreSound(db)

    def test_killed_runs_leave_no_wrong_object(self):
        rng = random.Random(11)
        tree = self.path("tree")
        make_tree(tree, random_tree(rng, "small", 300, [0, 50, 4000, 20_000]))
        make_tree(tree, random_tree(rng, "large", 4, [4 << 20]))
        expect = set(tree_digests(tree).values())
        db = self.path("db")

        began = time.monotonic()
        self.assertEqual(run(["-R", self.path("timing"), "-i", tree]).returncode, 0)
        full = time.monotonic() - began

        figures = []
        # Kills at fixed points of a full run's duration...
        for frac in (0.05, 0.2, 0.35, 0.5, 0.65, 0.8, 0.95):
            p = start(["-R", db, "-i", tree])
            time.sleep(full * frac)
            p.send_signal(signal.SIGKILL)
            p.wait()
            objects, temps = self.assertStoreSound(db, temps_allowed=True)
            figures.append(("%.0f%%" % (frac * 100), p.returncode, objects, len(temps)))
        # ...and the moment a new temporary object shows, so the kill lands in
        # the middle of a copy.
        for _ in range(5):
            seen = set(n for n in os.listdir(db) if n.startswith(STORE_TEMP_PREFIX)) if os.path.isdir(db) else set()
            p = start(["-R", db, "-i", tree])
            caught = False
            while p.poll() is None:
                try:
                    names = os.listdir(db)
                except FileNotFoundError:
                    continue
                if any(n.startswith(STORE_TEMP_PREFIX) and n not in seen for n in names):
                    p.send_signal(signal.SIGKILL)
                    caught = True
                    break
            p.wait()
            objects, temps = self.assertStoreSound(db, temps_allowed=True)
            figures.append(("mid-copy" if caught else "finished", p.returncode, objects, len(temps)))

        self.assertTrue(any(f[0] == "mid-copy" for f in figures), figures)
        # A run to the end afterwards completes the store.
        self.assertEqual(run(["-R", db, "-i", tree]).returncode, 0)
        objects, temps = self.assertStoreSound(db, temps_allowed=True)
        self.assertEqual(store_digests(db), expect)
        if os.environ.get("MDTREE_KILL_FIGURES"):
            print("\nfull run %.3fs; kills (point, status, objects checked, temporary files): %s; "
                  "final %d objects, %d temporary files" % (full, figures, objects, len(temps)),
                  file=sys.stderr)

    def test_killed_restore_leaves_only_whole_files(self):
        rng = random.Random(13)
        tree = make_tree(self.path("tree"), random_tree(rng, "f", 40, [10, 300_000, 3 << 20]))
        db = self.path("db")
        self.assertEqual(run(["-R", db, "-i", tree]).returncode, 0)
        listing = run(["-l", tree])
        self.assertEqual(listing.returncode, 0)
        with open(self.path("l"), "wb") as f:
            f.write(listing.stdout)
        expect = tree_digests(tree)

        os.mkdir(self.path("timing"))
        began = time.monotonic()
        self.assertEqual(run(["-R", db, "-o", self.path("l")], cwd=self.path("timing")).returncode, 0)
        full = time.monotonic() - began
        for frac in (0.2, 0.5, 0.8):
            out = self.path("out%d" % int(frac * 100))
            os.mkdir(out)
            p = start(["-R", db, "-o", self.path("l")], cwd=out)
            time.sleep(full * frac)
            p.send_signal(signal.SIGKILL)
            p.wait()
            restored = {k: v for k, v in tree_digests(out).items()
                        if not os.path.basename(k).startswith(STORE_TEMP_PREFIX.encode())}
            for name, digest in restored.items():
                self.assertEqual(digest, expect[name], name)
        self.assertStoreSound(db)


if __name__ == "__main__":
    unittest.main()
