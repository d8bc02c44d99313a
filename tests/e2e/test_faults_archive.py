"""Archives when writes fail part-way and when a run is killed: no archive
and no extracted file under its final name is ever incomplete or wrong."""

import os
import random

from mdt import TreeTest, make_tree, md5_hex, run, tree_digests
from test_faults import (KILLS, LIMIT, SEED, Checks, Killer, is_temp, many_files_tree, run_limited,
                         small_and_big_tree)


class WriteErrorsInArchives(TreeTest, Checks):

    def setUp(self):
        super().setUp()
        self.src = self.path("src")
        self.digests = small_and_big_tree(self.src, random.Random(2))

    def test_creation_keeps_the_old_archive(self):
        arc = self.path("arc")
        make_tree(self.tmp, {"arc": "an older archive"})
        p = run_limited(["-f", self.src, "-a", arc], LIMIT)
        self.assertFailedWithMessage(p, b"File too large")
        with open(arc, "rb") as f:
            self.assertEqual(f.read(), b"an older archive")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["arc", "src"])

    def test_extraction_leaves_old_file_or_nothing(self):
        arc = self.path("arc")
        self.assertOk(run(["-f", self.src, "-a", arc]))
        out = self.path("out")
        make_tree(out, {"d/big": "old big", "a": "old a"})
        p = run_limited(["-t", out, "-a", arc], LIMIT)
        self.assertFailedWithMessage(p, b"File too large")
        allowed = {rel: {d} for rel, d in self.digests.items()}
        allowed[b"d/big"] = {md5_hex(b"old big")}
        allowed[b"a"].add(md5_hex(b"old a"))
        self.check_target(out, allowed, temps_allowed=False)
        with open(os.path.join(out, "d", "big"), "rb") as f:
            self.assertEqual(f.read(), b"old big")


class KillsDuringExtraction(TreeTest, Checks):

    def test_kill_during_extraction(self):
        rng = random.Random(SEED + 1)
        src, out = self.path("src"), self.path("out")
        digests = many_files_tree(src, rng, 1)
        old = many_files_tree(out, rng, 2)
        arc = self.path("arc")
        self.assertOk(run(["-f", src, "-a", arc]))
        k = Killer(self, rng)
        duration = k.time_whole_run(["-t", self.path("timing"), "-a", arc])
        allowed = {rel: {d, old.get(rel)} for rel, d in digests.items()}
        for _ in range(KILLS):
            k.kill_once(["-t", out, "-a", arc], duration)
            k.files_checked += self.check_target(out, allowed, temps_allowed=True)
        k.report("-t -a")
        self.assertOk(run(["-t", out, "-a", arc]))
        got = {rel: d for rel, d in tree_digests(out).items() if not is_temp(rel)}
        self.assertEqual(got, digests)
