"""Archives when writes fail part-way and when a run is killed: no archive
and no extracted file under its final name is ever incomplete or wrong."""

import hashlib
import os
import random
import signal
import subprocess
import threading
import time
import zlib

from mdt import TreeTest, argv, make_tree, md5_hex, read_archive, run, tool_env, tree_digests
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


class FilesChangingDuringCreation(TreeTest, Checks):
    """A file that changes while its archive is made: whatever the moment,
    the run either fails saying so and leaves no archive, or writes an
    archive whose every stream holds exactly the content its entry claims.
    The large file is compressed in pieces; the small one by the walk."""

    CHANGES = {
        "grow": lambda f, n, i: (f.seek(0, os.SEEK_END), f.write(b"+" * (i % 7 + 1))),
        "shrink": lambda f, n, i: f.truncate(n - 1 - i % (n // 2)),
        "rewrite": lambda f, n, i: (f.seek(i * 4099 % n), f.write(b"%08d" % i)),
    }

    def check_run(self, change, name, size):
        base = self.path(change + "-" + name)
        src, arc = os.path.join(base, "src"), os.path.join(base, "arc")
        rng = random.Random(size)
        make_tree(src, {"big": rng.randbytes(size // 2) + b"text " * (size // 10),
                        "small": rng.randbytes(3000), "other": b"unchanged\n"})
        target = os.path.join(src, name)
        n = os.path.getsize(target)
        stop, changing = threading.Event(), threading.Event()

        def changer():
            i = 0
            with open(target, "r+b", buffering=0) as f:
                while not stop.is_set():
                    self.CHANGES[change](f, n, i)
                    i += 1
                    if i == 100:
                        changing.set()
        t = threading.Thread(target=changer)
        t.start()
        changing.wait()
        try:
            p = run(["-f", src, "-a", arc])
        finally:
            stop.set()
            t.join()
        if p.returncode != 0:
            self.assertFailedWithMessage(p, b"changed while the archive was being made")
            self.assertEqual(os.listdir(base), ["src"])
            return
        with open(arc, "rb") as f:
            data = f.read()
        _, entries = read_archive(data)
        self.assertEqual(sorted(e["name"] for e in entries), [b"big", b"other", b"small"])
        for e in entries:
            content = zlib.decompress(data[e["offset"]:e["offset"] + e["compsize"]])
            self.assertEqual(len(content), e["origsize"])
            self.assertEqual(hashlib.md5(content).hexdigest().encode() + b"\0", e["md5"])

    def test_changes_never_give_a_wrong_archive(self):
        for change in self.CHANGES:
            for name, size in (("big", 1_300_000), ("small", 1_300_000)):
                with self.subTest(change=change, name=name):
                    self.check_run(change, name, size)


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


class KillsThroughAPipe(TreeTest, Checks):

    def test_writer_killed_leaves_the_reader_nothing_to_publish(self):
        # -f -a - | -t -a - with the writer killed at a random moment: the
        # reader sees the pipe close early and refuses the archive whole,
        # leaving the target as it was, or it got the whole archive.
        rng = random.Random(SEED + 2)
        src, out = self.path("src"), self.path("out")
        digests = many_files_tree(src, rng, 1)
        old = many_files_tree(out, rng, 2)
        k = Killer(self, rng)
        window = k.time_whole_run(["-f", src, "-a", self.path("timing.arc")])
        for _ in range(KILLS):
            writer = subprocess.Popen(argv(["-f", src, "-a", "-"]), stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, env=tool_env())
            reader = subprocess.Popen(argv(["-t", out, "-a", "-"]), stdin=writer.stdout,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=tool_env())
            writer.stdout.close()
            time.sleep(rng.uniform(0, window))
            writer.kill()
            writer.wait()
            _, err = reader.communicate(timeout=600)
            got = tree_digests(out)
            if reader.returncode == 0:
                self.assertEqual(got, {**old, **digests})
                old = got
                continue
            self.assertEqual(writer.returncode, -signal.SIGKILL)
            self.assertEqual(reader.returncode, 1, err)
            self.assertIn(b"standard input: not a valid archive", err)
            self.assertEqual(got, old)
            k.kills += 1
        k.report("-f -a - | -t -a -")
