"""Patches when writes fail part-way and when an application is killed: a
file under its final name, in the tree or in the patch directory, is its old
content, absent, or complete and correct."""

import hashlib
import os
import random
import shutil
import subprocess
import time
import unittest

from mdt import TreeTest, argv, make_tree, run, tool_env, tree_digests
from test_faults import (BIG, KILLS, LIMIT, SEED, Checks, Killer, file_md5, is_temp, many_files_tree,
                         run_limited)
from test_hostile import strace_works


def two_versions(test, rng):
    """An old and a new tree: a big file changed, small files changed, added
    and removed."""
    old = {"a": "alpha", "gone": "removed", "d/big": os.urandom(BIG), "d/same": "same"}
    new = {"a": "alpha 2", "added": "new file", "d/big": os.urandom(BIG), "d/same": "same"}
    make_tree(test.path("from"), old)
    make_tree(test.path("to"), new)
    return tree_digests(test.path("from")), tree_digests(test.path("to"))


def fresh_copy(src, dst):
    """dst becomes a copy of src made of hard links: quick, and a tool that
    wrote into a file in place would show up as a change in src."""
    if os.path.exists(dst):
        shutil.rmtree(dst)
    shutil.copytree(src, dst, copy_function=os.link)


class WriteErrorsInPatches(TreeTest, Checks):

    def setUp(self):
        super().setUp()
        self.old, self.new = two_versions(self, random.Random(3))

    def test_creation_leaves_no_usable_half_patch(self):
        patch = self.path("p")
        p = run_limited(["-f", self.path("from"), "-t", self.path("to"), "-p", patch], LIMIT)
        self.assertFailedWithMessage(p, b"File too large")
        # A manifest would claim a whole patch: there must be none, and every
        # copy that made it under its name is whole.
        allowed = {b"new/" + rel: {d} for rel, d in self.new.items()}
        self.check_target(patch, allowed, temps_allowed=False)
        self.assertEqual(run(["-f", self.path("from"), "-p", patch]).returncode, 3)

    def test_application_leaves_every_file_old_absent_or_new(self):
        patch = self.path("p")
        self.assertOk(run(["-f", self.path("from"), "-t", self.path("to"), "-p", patch]))
        before = tree_digests(patch)
        tree = self.path("from")
        p = run_limited(["-f", tree, "-p", patch], LIMIT)
        self.assertFailedWithMessage(p, b"File too large")
        allowed = {rel: {self.old.get(rel), self.new.get(rel)} - {None} for rel in set(self.old) | set(self.new)}
        self.check_target(tree, allowed, temps_allowed=False)
        # The patch directory: its own files untouched, saved copies whole.
        saved = {b"old/" + rel: {d} for rel, d in self.old.items()}
        saved.update({rel: {d} for rel, d in before.items()})
        self.check_target(patch, saved, temps_allowed=False)
        self.assertEqual({rel: d for rel, d in tree_digests(patch).items() if not rel.startswith(b"old/")}, before)


class KillsDuringApplication(TreeTest, Checks):

    def test_forced_run_after_a_kill_finishes_or_undoes_the_application(self):
        """The way back from an interrupted application: applying again with
        -F brings the tree to the new version, undoing with -r -F brings it
        back to the old one, and the backups survive either."""
        rng = random.Random(SEED + 5)
        src, dst = self.path("from"), self.path("to")
        many_files_tree(src, rng, 1)
        many_files_tree(dst, rng, 2)
        make_tree(src, {"only-old/%d" % i: "o%d" % i for i in range(50)})
        make_tree(dst, {"only-new/%d" % i: "n%d" % i for i in range(50)})
        old, new = tree_digests(src), tree_digests(dst)
        pristine, patch, tree = self.path("p0"), self.path("p"), self.path("tree")
        self.assertOk(run(["-f", src, "-t", dst, "-p", pristine]))
        k = Killer(self, rng)
        fresh_copy(src, tree)
        fresh_copy(pristine, patch)
        duration = k.time_whole_run(["-f", tree, "-p", patch])
        for i in range(2):
            fresh_copy(src, tree)
            fresh_copy(pristine, patch)
            k.kill_once(["-f", tree, "-p", patch], duration)
            forward = i % 2 == 0
            self.assertOk(run((["-F"] if forward else ["-r", "-F"]) + ["-f", tree, "-p", patch]))
            got = {rel: d for rel, d in tree_digests(tree).items() if not is_temp(rel)}
            self.assertEqual(got, new if forward else old)
            if forward:
                backups = {rel[4:]: d for rel, d in tree_digests(patch).items() if rel.startswith(b"old/")}
                self.assertEqual(backups, {rel: d for rel, d in old.items() if new.get(rel) != d})
        k.report("recovery")

    def test_kill_during_application(self):
        rng = random.Random(SEED + 2)
        src, dst = self.path("from"), self.path("to")
        old = many_files_tree(src, rng, 1)
        new = many_files_tree(dst, rng, 2)
        # Some files only in one of the two trees.
        make_tree(src, {"only-old/%d" % i: "o%d" % i for i in range(50)})
        make_tree(dst, {"only-new/%d" % i: "n%d" % i for i in range(50)})
        old, new = tree_digests(src), tree_digests(dst)
        patch = self.path("p")
        self.assertOk(run(["-f", src, "-t", dst, "-p", patch]))
        patch_files = tree_digests(patch)
        tree = self.path("tree")
        k = Killer(self, rng)
        fresh_copy(src, tree)
        duration = k.time_whole_run(["-f", tree, "-p", patch])
        self.assertEqual(tree_digests(tree), new)
        allowed = {rel: {old.get(rel), new.get(rel)} - {None} for rel in set(old) | set(new)}
        saved = {b"old/" + rel: {d} for rel, d in old.items()}
        saved.update({rel: {d} for rel, d in patch_files.items()})
        # The record of the directories the application made and removed.
        # It names the tree by its inode, which each fresh copy changes: a
        # run killed after writing it leaves the record for its own copy,
        # which stays until a later run writes its own.
        record = os.path.join(patch, "DIRS")
        lines = open(record, "rb").read().split(b"\n") if os.path.exists(record) else None
        saved[b"DIRS"] = {file_md5(record)} if lines is not None else set()
        for _ in range(KILLS):
            fresh_copy(src, tree)
            if lines is not None:
                st = os.stat(tree)
                tie = b"tree %d %d %s" % (st.st_dev, st.st_ino, os.path.realpath(tree).encode())
                saved[b"DIRS"].add(hashlib.md5(b"\n".join(lines[:1] + [tie] + lines[2:])).hexdigest())
            k.kill_once(["-f", tree, "-p", patch], duration)
            k.files_checked += self.check_target(tree, allowed, temps_allowed=True)
            k.files_checked += self.check_target(patch, saved, temps_allowed=True)
        k.report("-f -p")
        # The patch itself is intact: a fresh copy of the old tree takes it.
        fresh_copy(src, tree)
        self.assertOk(run(["-f", tree, "-p", patch]))
        got = {rel: d for rel, d in tree_digests(tree).items() if not is_temp(rel)}
        self.assertEqual(got, new)
        # Files are replaced, never written in place: the old tree, linked
        # into every copy, is as it was.
        self.assertEqual(tree_digests(src), old)


def held_in(tracer, call):
    """Whether a thread of the process that tracer traces is held in the
    system call numbered call (x86-64 numbers)."""
    try:
        with open("/proc/%d/task/%d/children" % (tracer, tracer)) as f:
            for pid in f.read().split():
                for task in os.listdir("/proc/%s/task" % pid):
                    with open("/proc/%s/task/%s/syscall" % (pid, task)) as s:
                        if s.read().split()[0] == str(call):
                            return True
    except (OSError, IndexError):
        pass
    return False


RENAMEAT2 = 316


@unittest.skipUnless(strace_works(), "needs strace and ptrace on x86-64")
class ConcurrentApplications(TreeTest):
    """Two applications on one patch directory, or on one tree, never both
    act on what they checked: the second waits for the first, then checks
    the tree as the first left it."""

    def test_a_second_run_waits_for_the_first(self):
        old = make_tree(self.path("from"), {"f": "old version", "k": "kept"})
        new = make_tree(self.path("to"), {"f": "new version", "k": "kept", "n": "added"})
        pristine = self.path("P")
        self.assertOk(run(["-f", old, "-t", new, "-p", pristine]))
        other = self.path("P2")
        self.assertOk(run(["-f", old, "-t", make_tree(self.path("to2"), {"f": "other", "k": "kept"}), "-p", other]))
        for case, second_patch in (("the same patch", pristine), ("another patch, the same tree", other)):
            with self.subTest(case=case):
                tree, patch = self.path("t"), self.path("P-" + case)
                shutil.rmtree(tree, ignore_errors=True)
                shutil.copytree(old, tree)
                shutil.copytree(pristine, patch)
                second_patch = patch if second_patch == pristine else second_patch
                # The first run is held as it takes out its first file, its
                # checks passed.
                cmd = ["strace", "-qq", "-f", "-o", "/dev/null", "-e", "trace=renameat2",
                       "-e", "inject=renameat2:delay_enter=3000000:when=1"] + argv(["-f", tree, "-p", patch])
                first = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         env=tool_env({"ASAN_OPTIONS": "detect_leaks=0"}))
                self.addCleanup(lambda: first.poll() is None and first.kill())
                deadline = time.time() + 60
                while not held_in(first.pid, RENAMEAT2):
                    self.assertIsNone(first.poll(), "ended before it changed the tree")
                    self.assertLess(time.time(), deadline, "never changed the tree")
                    time.sleep(0.01)
                second = run(["-f", tree, "-p", second_patch])
                out, err = first.communicate(timeout=60)
                self.assertEqual(first.returncode, 0, err)
                # The second found the tree patched: nothing of it matches.
                self.assertEqual(second.returncode, 4, second.stderr)
                self.assertEqual(tree_digests(tree), tree_digests(new))
                self.assertEqual(file_md5(os.path.join(patch, "old", "f")), hashlib.md5(b"old version").hexdigest())
                self.assertOk(run(["-r", "-f", tree, "-p", patch]))
                self.assertEqual(tree_digests(tree), tree_digests(old))
