"""Patches: making a patch directory from two trees, applying it, undoing it,
and every way an application refuses to go on."""

import os
import re
import shutil
import stat
import subprocess
import unittest

from mdt import TreeTest, exec_bits, make_tree, md5_hex, run, run_as_nobody, tree_digests

FROM = {"same": "s", "changed": "old", "deleted": "gone", "moved/src": "mv", "dup1": "D", "dup2": "D",
        "with space/a b": "sp", "caf\u00e9/\u00fc": "utf", "deep/x/y/z": "z"}
TO = {"same": "s", "changed": "new", "moved/dst": "mv", "dup1": "D", "dup3": "D", "with space/a b": "sp2",
      "caf\u00e9/\u00fc": "utf", "deep/x/y/z": "z", "added/n": "n", "empty": ""}


def expected_manifest(a, b):
    """Entry lines of every (digest, path) on one side only, in strcmp order
    from the digest on, computed from hashlib digests of both trees."""
    fa, fb = tree_digests(a), tree_digests(b)
    lines = [b"-" + d.encode() + b"  " + p for p, d in fa.items() if fb.get(p) != d]
    lines += [b"+" + d.encode() + b"  " + p for p, d in fb.items() if fa.get(p) != d]
    return b"".join(l + b"\n" for l in sorted(lines, key=lambda l: l[1:]))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def reports(out, root):
    """stdout of an application as {relative path: word}."""
    got = {}
    for line in out.splitlines():
        word, path = line.split(b": ", 1)
        got[os.path.relpath(path, os.fsencode(root)).decode()] = word.decode()
    return got


class RoundTrip(TreeTest):
    """One pair of trees with every kind of difference."""

    def setUp(self):
        super().setUp()
        self.a, self.b, self.p = make_tree(self.path("a"), FROM), make_tree(self.path("b"), TO), self.path("P")
        self.made = run(["-f", self.a, "-t", self.b, "-p", self.p])
        self.assertOk(self.made)

    def copy(self, src, name):
        shutil.copytree(src, self.path(name), symlinks=True)
        return self.path(name)

    def test_manifest_order_output_and_copies(self):
        files = read(os.path.join(self.p, "FILES"))
        self.assertEqual(files, expected_manifest(self.a, self.b))
        self.assertEqual(self.made.stdout, files)
        plus = {l[35:]: l[1:33].decode() for l in files.splitlines() if l[:1] == b"+"}
        self.assertEqual(tree_digests(os.path.join(self.p, "new")), plus)
        self.assertEqual(sorted(os.listdir(self.p)), ["FILES", "new"])

    def test_apply_then_undo_restores_both_trees(self):
        t = self.copy(self.a, "t")
        p = run(["-f", t, "-p", self.p])
        self.assertOk(p)
        self.assertTreesEqual(t, self.b)
        self.assertEqual(reports(p.stdout, t), {
            "changed": "Patched", "with space/a b": "Patched", "deleted": "Removed", "moved/src": "Removed",
            "dup2": "Removed", "moved/dst": "Created", "dup3": "Created", "added/n": "Created",
            "empty": "Created"})
        u = run(["-f", t, "-p", self.p, "-r"])
        self.assertOk(u)
        self.assertTreesEqual(t, self.a)
        self.assertEqual(reports(u.stdout, t)["deleted"], "Created")
        self.assertEqual(reports(u.stdout, t)["added/n"], "Removed")
        # Applying again after the undo, and -r given twice, apply forwards.
        self.assertOk(run(["-r", "-f", t, "-r", "-p", self.p]))
        self.assertTreesEqual(t, self.b)

    def test_dry_run_prints_the_real_runs_lines_and_leaves_the_tree(self):
        t1, t2, p2 = self.copy(self.a, "t1"), self.copy(self.a, "t2"), self.copy(self.p, "P2")
        dry = run(["-n", "-f", t1, "-p", self.p])
        self.assertOk(dry)
        self.assertTreesEqual(t1, self.a)
        real = run(["-f", t2, "-p", p2])
        self.assertEqual(dry.stdout.replace(b"/t1/", b"/t2/"), real.stdout)

    def test_undo_of_a_patch_never_applied_changes_nothing(self):
        t = self.copy(self.a, "t")
        p = run(["-r", "-f", t, "-p", self.p])
        self.assertIn(p.returncode, (2, 4))
        self.assertTreesEqual(t, self.a)

    def test_patch_from_a_listing_of_the_from_tree(self):
        listing = self.path("from.lst")
        with open(listing, "wb") as f:
            f.write(run(["-l", self.a]).stdout)
        self.assertOk(run(["-f", listing, "-t", self.b, "-p", self.path("Q")]))
        self.assertEqual(read(self.path("Q", "FILES")), read(os.path.join(self.p, "FILES")))
        t = self.copy(self.a, "t")
        self.assertOk(run(["-f", t, "-p", self.path("Q")]))
        self.assertTreesEqual(t, self.b)


class ExecutableBit(TreeTest):
    """The owner's executable bit travels through new/, into the tree, and
    back with undo, as git keeps it; nothing else of a mode does."""

    def test_apply_and_undo_give_each_file_its_side_s_bit(self):
        a = make_tree(self.path("a"), {"run.sh": "v1", "tool": "t1", "keep": "k", "doc": "d1"})
        b = make_tree(self.path("b"), {"run.sh": "v2", "tool": "t2", "keep": "k", "doc": "d2", "bin/new": "n"})
        os.chmod(os.path.join(a, "run.sh"), 0o755)   # executable before, plain after
        os.chmod(os.path.join(b, "tool"), 0o700)     # plain before, executable after
        os.chmod(os.path.join(b, "bin/new"), 0o750)
        os.chmod(os.path.join(b, "doc"), 0o640)      # no x bit for the owner: nothing travels
        p = self.path("P")
        self.assertOk(run(["-f", a, "-t", b, "-p", p]))
        self.assertEqual(exec_bits(os.path.join(p, "new")), {"run.sh": 0, "tool": 0o111, "doc": 0, "bin/new": 0o111})
        t = self.path("t")
        shutil.copytree(a, t)
        self.assertOk(run(["-f", t, "-p", p]))
        self.assertTreesEqual(t, b)
        self.assertEqual(exec_bits(t), {"run.sh": 0, "tool": 0o111, "keep": 0, "doc": 0, "bin/new": 0o111})
        self.assertOk(run(["-r", "-f", t, "-p", p]))
        self.assertTreesEqual(t, a)
        self.assertEqual(exec_bits(t), {"run.sh": 0o111, "tool": 0, "keep": 0, "doc": 0})


class MakeRefusals(TreeTest):
    def test_unsafe_or_unreadable_names_write_no_patch(self):
        b = make_tree(self.path("b"), {"x": "1"})
        for name in [b"../x", b"/etc/x", b"", b"a/./x"]:
            with self.subTest(name):
                with open(self.path("l"), "wb") as f:
                    f.write(b"%s  %s\n" % (md5_hex(b"1").encode(), name))
                p = run(["-f", self.path("l"), "-t", b, "-p", self.path("P")])
                self.assertEqual(p.returncode, 1)
                self.assertFalse(os.path.exists(self.path("P")))
        # A name that a manifest line could not carry whole.
        make_tree(self.path("c"), {"bad\nname": "2"})
        p = run(["-f", b, "-t", self.path("c"), "-p", self.path("P")])
        self.assertEqual(p.returncode, 1)
        self.assertFalse(os.path.exists(self.path("P")))

    def test_to_listing_ends_at_first_copy_and_leaves_no_manifest(self):
        a = make_tree(self.path("a"), {})
        make_tree(self.path("P"), {"FILES": "", "new/old": "o"})
        with open(self.path("l"), "w") as f:
            f.write(md5_hex(b"1") + "  x\n")
        p = run(["-f", a, "-t", self.path("l"), "-p", self.path("P")])
        self.assertEqual(p.returncode, 1)
        self.assertTrue(p.stderr.startswith(b"can not open " + self.path("l", "x").encode() + b" with mode rb"))
        self.assertFalse(os.path.exists(self.path("P", "FILES")))


class ApplyFailures(TreeTest):
    """from {a, k} to {a changed, k, sub/n}: one removal, two creations."""

    def setUp(self):
        super().setUp()
        self.a = make_tree(self.path("a"), {"a": "1", "k": "k"})
        self.b = make_tree(self.path("b"), {"a": "2", "k": "k", "sub/n": "n"})
        self.assertOk(run(["-f", self.a, "-t", self.b, "-p", self.path("P")]))
        shutil.copytree(self.a, self.path("t"))
        self.t, self.p = self.path("t"), self.path("P")
        self.victim = make_tree(self.path("outside"), {"victim": "v"})

    def add_line(self, line):
        with open(os.path.join(self.p, "FILES"), "ab") as f:
            f.write(line + b"\n")

    def assertUntouched(self, proc, status, stderr_re):
        self.assertEqual(proc.returncode, status, proc.stderr)
        self.assertRegex(proc.stderr, stderr_re)
        self.assertTreesEqual(self.t, self.a)
        self.assertEqual(sorted(os.listdir(self.p)), ["FILES", "new"])
        self.assertEqual(tree_digests(self.victim), {b"victim": md5_hex(b"v")})
        self.assertEqual(os.listdir(self.victim), ["victim"])

    def test_changed_removal_target(self):
        with open(os.path.join(self.t, "a"), "w") as f:
            f.write("X")
        self.a = self.t  # the tree as it now is must stay so
        line = b"-%s  a" % md5_hex(b"1").encode()
        expected = b"Checksum mismatch %s'%s,%s\n" % (os.path.join(self.t, "a").encode(), md5_hex(b"X").encode(), line)
        self.assertUntouched(run(["-f", self.t, "-p", self.p]), 4, re.escape(expected))

    def test_missing_removal_target(self):
        os.unlink(os.path.join(self.t, "a"))
        self.a = self.t
        self.assertUntouched(run(["-f", self.t, "-p", self.p]), 2, rb"^can not access a with mode READ at line \d+\n$")

    def test_not_a_patch_directory(self):
        os.rename(os.path.join(self.p, "FILES"), os.path.join(self.p, "new", "FILES"))
        p = run(["-f", self.t, "-p", self.p])
        self.assertEqual((p.returncode, p.stderr), (3, self.p.encode() + b": not a patch directory\n"))
        self.assertTreesEqual(self.t, self.a)

    def test_unsafe_manifest_paths_refuse_the_whole_patch(self):
        good = read(os.path.join(self.p, "FILES"))
        dv = md5_hex(b"v").encode()
        for path in [b"../outside/victim", self.victim.encode() + b"/victim", b"./a", b"sub/../a", b"a//k", b"",
                     b"x" * 5000]:
            for marker in b"-+":
                with self.subTest(path=path[:40], marker=marker):
                    with open(os.path.join(self.p, "FILES"), "wb") as f:
                        f.write(good + bytes([marker]) + dv + b"  " + path + b"\n")
                    self.assertUntouched(run(["-f", self.t, "-p", self.p]), 3, rb"FILES")

    def test_symbolic_link_in_a_leading_directory_is_not_followed(self):
        os.symlink(self.victim, os.path.join(self.t, "ln"))
        self.a = self.t
        make_tree(self.path("P", "new", "ln"), {"victim": "w"})
        for line in [b"-%s  ln/victim" % md5_hex(b"v").encode(), b"+%s  ln/victim" % md5_hex(b"w").encode()]:
            with self.subTest(line):
                self.add_line(line)
                self.assertUntouched(run(["-f", self.t, "-p", self.p]), 1, rb"symbolic link")
        # A link planted in the patch directory is not written through either.
        shutil.rmtree(os.path.join(self.p, "new", "ln"))
        os.symlink(self.victim, os.path.join(self.p, "old"))
        p = run(["-f", self.t, "-p", self.p])
        self.assertEqual(p.returncode, 1)
        self.assertEqual(os.listdir(self.victim), ["victim"])

    def test_corrupt_source_is_not_brought_in(self):
        with open(os.path.join(self.p, "new", "sub", "n"), "w") as f:
            f.write("bad")
        p = run(["-f", self.t, "-p", self.p])
        self.assertEqual(p.returncode, 4)
        self.assertRegex(p.stderr, re.escape(b"Invalid checksum %s'%s,+%s  sub/n\n" % (
            os.path.join(self.p, "new", "sub", "n").encode(), md5_hex(b"bad").encode(), md5_hex(b"n").encode())))
        # Every check comes before the first change: the tree is as it was
        # and nothing was taken out of it.
        self.assertFalse(os.path.exists(os.path.join(self.t, "sub")))
        self.assertEqual(read(os.path.join(self.t, "a")), b"1")
        self.assertFalse(os.path.exists(os.path.join(self.p, "old", "a")))

    def test_force_goes_past_missing_and_changed_files(self):
        for change in ("missing", "changed"):
            with self.subTest(change):
                t = self.path("t-" + change)
                shutil.copytree(self.a, t)
                if change == "missing":
                    os.unlink(os.path.join(t, "a"))
                else:
                    with open(os.path.join(t, "a"), "w") as f:
                        f.write("X")
                self.assertOk(run(["-F", "-f", t, "-p", self.p]))
                self.assertTreesEqual(t, self.b)
                if change == "changed":
                    self.assertEqual(read(os.path.join(self.p, "old", "a")), b"X")

    def test_a_file_where_a_new_one_goes_is_refused_or_saved(self):
        # sub/n has a "+" line and no "-" line; the tree holds a file there.
        make_tree(self.t, {"sub/n": "mine"})
        self.a = self.t
        for dry in ([], ["-n"]):
            with self.subTest(dry=dry):
                p = run(dry + ["-f", self.t, "-p", self.p])
                self.assertUntouched(p, 4, re.escape(os.path.join(self.t, "sub", "n").encode()) + rb" is there")
        mine = tree_digests(self.t)
        # A dry run with -F says what the real one does, and changes nothing.
        dry = run(["-n", "-F", "-f", self.t, "-p", self.p])
        self.assertOk(dry)
        self.assertEqual(tree_digests(self.t), mine)
        real = run(["-F", "-f", self.t, "-p", self.p])
        self.assertOk(real)
        self.assertEqual(real.stdout, dry.stdout)
        self.assertTreesEqual(self.t, self.b)
        self.assertEqual(read(os.path.join(self.p, "old", "sub", "n")), b"mine")
        # Undo puts the user's file back where it was.
        self.assertOk(run(["-r", "-f", self.t, "-p", self.p]))
        self.assertEqual(tree_digests(self.t), mine)
        self.assertFalse(os.path.exists(os.path.join(self.p, "old", "sub", "n")))

    def test_directory_holding_an_empty_directory_is_not_replaced(self):
        a = make_tree(self.path("a2"), {"d/x": "1"})
        b = make_tree(self.path("b2"), {"d": "file"})
        self.assertOk(run(["-f", a, "-t", b, "-p", self.path("P2")]))
        t = self.path("t2")
        shutil.copytree(a, t)
        os.mkdir(os.path.join(t, "d", "e"))
        for dry in ([], ["-n"]):
            with self.subTest(dry=dry):
                p = run(dry + ["-f", t, "-p", self.path("P2")])
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertIn(b"holds the empty directory " + os.path.join(t, "d", "e").encode(), p.stderr)
                self.assertEqual(tree_digests(t), {b"d/x": md5_hex(b"1")})
                self.assertTrue(os.path.isdir(os.path.join(t, "d", "e")))
        os.rmdir(os.path.join(t, "d", "e"))
        self.assertOk(run(["-f", t, "-p", self.path("P2")]))
        self.assertTreesEqual(t, b)

    def test_unopenable_removal_target(self):
        for d in (self.tmp, self.t, self.p):
            os.chmod(d, 0o777)
        os.chmod(os.path.join(self.t, "a"), 0)
        p = run_as_nobody(["-f", self.t, "-p", self.p])
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"can not open " + os.path.join(self.t, "a").encode(), p.stderr)
        self.assertEqual(tree_digests(self.t), tree_digests(self.a))


class ManifestNames(TreeTest):
    def test_a_name_runs_to_the_end_of_its_line(self):
        # The line names "a<TAB>b"; "a", the name before the tab, must not
        # be the file the patch creates, even with the right content at
        # new/a.
        tree = make_tree(self.path("t"), {"keep": "k"})
        patch = make_tree(self.path("p"), {"FILES": "+%s  a\tb\r\n" % md5_hex(b"new"),
                                           "new/a\tb": "new", "new/a": "new"})
        p = run(["-f", tree, "-p", patch])
        self.assertOk(p)
        self.assertEqual(tree_digests(tree), {b"keep": md5_hex(b"k"), b"a\tb": md5_hex(b"new")})


class WhatAPatchInstalls(TreeTest):
    """from {a, gone, k} to {a changed, k, n}: a changed file, a "-" line
    with no "+" line (gone) and a "+" line with no "-" line (n). Only a file
    whose digest a manifest line, or the record of a forced run, gives ever
    reaches the tree."""

    def setUp(self):
        super().setUp()
        self.a = make_tree(self.path("a"), {"a": "1", "gone": "g", "k": "k"})
        self.b = make_tree(self.path("b"), {"a": "2", "k": "k", "n": "n"})
        self.p = self.path("P")
        self.assertOk(run(["-f", self.a, "-t", self.b, "-p", self.p]))
        self.t = self.path("t")
        shutil.copytree(self.a, self.t)

    def plant(self, where, kind):
        """Puts a file of the patch's own kind, or not, at where."""
        os.makedirs(os.path.dirname(where), exist_ok=True)
        if kind == "stale file":
            with open(where, "w") as f:
                f.write("stale")
        elif kind == "link to a file outside":
            os.symlink("/etc/hostname", where)
        elif kind == "directory":
            make_tree(where, {"x": "x"})

    def snapshot(self, root):
        """Every entry below root, links and directories included."""
        out = {}
        for d, dirs, files in os.walk(root):
            for n in dirs + files:
                p = os.path.join(d, n)
                rel = os.path.relpath(p, root)
                out[rel] = os.readlink(p) if os.path.islink(p) else (read(p) if os.path.isfile(p) else "dir")
        return out

    def test_a_removal_removes_whatever_stands_in_the_source_directory(self):
        for kind in ("stale file", "link to a file outside", "directory"):
            for direction in ("apply", "undo"):
                with self.subTest(kind=kind, direction=direction):
                    t, p = self.path("t-" + kind + direction), self.path("P-" + kind + direction)
                    shutil.copytree(self.a, t)
                    shutil.copytree(self.p, p)
                    flags, want, name, planted = [], self.b, "gone", os.path.join(p, "new", "gone")
                    if direction == "undo":
                        self.assertOk(run(["-f", t, "-p", p]))
                        flags, want, name, planted = ["-r"], self.a, "n", os.path.join(p, "old", "n")
                    self.plant(planted, kind)
                    planted_before = self.snapshot(os.path.dirname(planted))
                    dry = run(["-n"] + flags + ["-f", t, "-p", p])
                    real = run(flags + ["-f", t, "-p", p])
                    self.assertOk(real)
                    self.assertEqual(reports(real.stdout, t)[name], "Removed")
                    self.assertEqual(dry.stdout, real.stdout)
                    self.assertFalse(os.path.lexists(os.path.join(t, name)))
                    self.assertTreesEqual(t, want)
                    # What the manifest does not name is not touched either.
                    self.assertEqual(self.snapshot(os.path.dirname(planted))[name], planted_before[name])

    def test_a_backup_path_that_can_not_take_its_file_refuses_the_run(self):
        # A directory where a removed file is saved (an earlier patch in the
        # same directory saved files below it), or a file where one goes.
        for case in ("directory at old/gone", "file at old"):
            for dry in ([], ["-n"]):
                with self.subTest(case=case, dry=dry):
                    shutil.rmtree(os.path.join(self.p, "old"), ignore_errors=True)
                    if case == "file at old":
                        make_tree(self.p, {"old": "not a directory"})
                    else:
                        make_tree(self.p, {"old/gone/x": "saved by another patch"})
                    patch_before = self.snapshot(self.p)
                    got = run(dry + ["-f", self.t, "-p", self.p])
                    self.assertEqual(got.returncode, 1, got.stderr)
                    self.assertIn(b"can not save " + self.t.encode(), got.stderr)
                    self.assertEqual(got.stdout, b"")
                    self.assertTreesEqual(self.t, self.a)
                    self.assertEqual(self.snapshot(self.p), patch_before)
                    if os.path.isfile(os.path.join(self.p, "old")):
                        os.unlink(os.path.join(self.p, "old"))

    def test_dry_runs_again_leave_only_the_backups(self):
        for _ in range(3):
            self.assertOk(run(["-n", "-f", self.t, "-p", self.p]))
        self.assertEqual(sorted(os.listdir(os.path.join(self.p, "old"))), ["a", "gone"])
        self.assertTreesEqual(self.t, self.a)
        self.assertOk(run(["-f", self.t, "-p", self.p]))
        self.assertEqual(sorted(os.listdir(os.path.join(self.p, "old"))), ["a", "gone"])
        self.assertTreesEqual(self.t, self.b)
        self.assertOk(run(["-r", "-f", self.t, "-p", self.p]))
        self.assertTreesEqual(self.t, self.a)

    def forced_over_mine(self, mine="mine"):
        """A forced application over a tree that holds its own n."""
        if mine == "link":
            os.symlink("/etc/hostname", os.path.join(self.t, "n"))
        else:
            make_tree(self.t, {"n": mine})
        self.before = self.snapshot(self.t)
        self.assertEqual(run(["-f", self.t, "-p", self.p]).returncode, 4)
        self.assertOk(run(["-F", "-f", self.t, "-p", self.p]))
        self.assertTreesEqual(self.t, self.b)

    def test_a_forced_run_records_what_it_saves_and_undo_puts_back_only_that(self):
        self.forced_over_mine()
        with open(os.path.join(self.p, "DIRS"), "rb") as f:
            self.assertIn(b"\nsaved file %s n\n" % md5_hex(b"mine").encode(), f.read())
        # Applied again (nothing to do), the record of the save stays.
        self.assertOk(run(["-F", "-f", self.t, "-p", self.p]))
        u = run(["-r", "-f", self.t, "-p", self.p])
        self.assertOk(u)
        self.assertEqual(reports(u.stdout, self.t)["n"], "Patched")
        self.assertEqual(self.snapshot(self.t), self.before)
        self.assertFalse(os.path.lexists(os.path.join(self.p, "old", "n")))

    def test_a_saved_file_changed_in_the_patch_directory_is_not_put_back(self):
        def tamper(saved):
            with open(saved, "w") as f:
                f.write("tampered")

        def link_to_the_same_content(saved):
            os.rename(saved, self.path("same"))
            os.symlink(self.path("same"), saved)

        def directory(saved):
            os.unlink(saved)
            os.mkdir(saved)

        changes = {"content": (tamper, 4, rb"not the file a forced run saved from .*recorded "),
                   "a link to the same content": (link_to_the_same_content, 1, rb"can not open"),
                   "a directory": (directory, 1, rb"not a regular file"),
                   "gone": (os.unlink, 1, rb"can not open")}
        for case, (change, status, message) in changes.items():
            with self.subTest(case=case):
                self.setUp()
                self.forced_over_mine()
                change(os.path.join(self.p, "old", "n"))
                applied = self.snapshot(self.t)
                for dry in (["-n"], []):
                    u = run(dry + ["-r", "-f", self.t, "-p", self.p])
                    self.assertEqual(u.returncode, status, u.stderr)
                    self.assertRegex(u.stderr, message)
                    self.assertEqual(self.snapshot(self.t), applied)

    def test_a_forced_run_never_saves_over_what_an_earlier_one_saved(self):
        # The tree's n changed again, or another tree with its own n: what
        # the first forced run saved is the only copy of "mine".
        for case in ("the same tree", "another tree"):
            for dry in (["-n"], []):
                with self.subTest(case=case, dry=dry):
                    self.setUp()
                    self.forced_over_mine()
                    saved = os.path.join(self.p, "old", "n")
                    t = self.t
                    if case == "another tree":
                        t = self.path("t2")
                        shutil.copytree(self.a, t)
                    make_tree(t, {"n": "mine, later"})
                    before, patch_before = self.snapshot(t), self.snapshot(self.p)
                    got = run(dry + ["-F", "-f", t, "-p", self.p])
                    self.assertEqual(got.returncode, 1, got.stderr)
                    self.assertIn(b"%s holds a file an earlier run saved there" % saved.encode(), got.stderr)
                    self.assertEqual(self.snapshot(t), before)
                    self.assertEqual(self.snapshot(self.p), patch_before)
                    self.assertEqual(read(saved), b"mine")
        # The same content again, or a dry run's link to it, is saved as before.
        self.setUp()
        make_tree(self.t, {"n": "mine"})
        self.assertOk(run(["-n", "-F", "-f", self.t, "-p", self.p]))
        self.forced_over_mine()
        t2 = self.path("t3")
        shutil.copytree(self.a, t2)
        make_tree(t2, {"n": "mine"})
        self.assertOk(run(["-F", "-f", t2, "-p", self.p]))
        self.assertEqual(read(os.path.join(self.p, "old", "n")), b"mine")

    @unittest.skipUnless(os.geteuid() == 0, "mounts a file system")
    def test_a_forced_run_saves_a_link_or_a_fifo_onto_another_file_system(self):
        # The patch directory on a file system of its own: no rename reaches
        # it from the tree, and a link or a FIFO can not be copied as a file.
        mnt = self.path("mnt")
        os.mkdir(mnt)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "mdtree-test", mnt]).returncode != 0:
            self.skipTest("can not mount a tmpfs")
        self.addCleanup(subprocess.run, ["umount", "-l", mnt])
        for kind in ("link", "fifo"):
            for dry in (["-n"], []):
                with self.subTest(kind=kind, dry=dry):
                    t, p = self.path("t-" + kind + str(dry)), os.path.join(mnt, kind + str(dry))
                    shutil.copytree(self.a, t)
                    shutil.copytree(self.p, p)
                    n = os.path.join(t, "n")
                    os.symlink("/etc/hostname", n) if kind == "link" else os.mkfifo(n)
                    got = run(dry + ["-F", "-f", t, "-p", p])
                    self.assertOk(got)
                    saved = os.path.join(p, "old", "n")
                    if kind == "link":
                        self.assertEqual(os.readlink(saved), "/etc/hostname")
                    else:
                        self.assertTrue(stat.S_ISFIFO(os.lstat(saved).st_mode))
                    if dry:
                        self.assertTrue(os.path.lexists(n))
                        self.assertEqual(read(os.path.join(t, "a")), b"1")
                        continue
                    self.assertTreesEqual(t, self.b)
                    self.assertOk(run(["-r", "-f", t, "-p", p]))
                    self.assertTreesEqual(t, self.a)

    def test_a_link_a_forced_run_saved_stays_in_the_patch_directory(self):
        self.forced_over_mine("link")
        self.assertEqual(os.readlink(os.path.join(self.p, "old", "n")), "/etc/hostname")
        u = run(["-r", "-f", self.t, "-p", self.p])
        self.assertOk(u)
        self.assertIn(b"is a symbolic link; not put back", u.stderr)
        self.assertTreesEqual(self.t, self.a)
        self.assertFalse(os.path.lexists(os.path.join(self.t, "n")))
        self.assertEqual(os.readlink(os.path.join(self.p, "old", "n")), "/etc/hostname")


class NamedTwice(TreeTest):
    """A manifest that names one path twice among its "-" lines or among
    its "+" lines is refused before anything changes, dry run or not."""

    def test_a_path_named_twice_in_one_list_refuses_the_patch(self):
        a = make_tree(self.path("a"), {"a": "1", "k": "k"})
        b = make_tree(self.path("b"), {"a": "2", "k": "k", "n": "n"})
        p = self.path("P")
        self.assertOk(run(["-f", a, "-t", b, "-p", p]))
        good = read(os.path.join(p, "FILES"))
        d1, d2, dn, dx = (md5_hex(x).encode() for x in (b"1", b"2", b"n", b"x"))
        extra = {
            "the same - line twice": (b"-%s  a\n" % d1, b"-", b"a"),
            "two - lines, two digests": (b"-%s  a\n" % dx, b"-", b"a"),
            "two + lines, two digests": (b"+%s  n\n" % dx, b"+", b"n"),
            "the same + line twice": (b"+%s  n\n" % dn, b"+", b"n"),
            "a - line for a file kept": (b"-%s  k\n-%s  k\n" % (dx, md5_hex(b"k").encode()), b"-", b"k"),
        }
        for case, (lines, marker, name) in extra.items():
            for flags in ([], ["-n"], ["-r"], ["-F"]):
                with self.subTest(case=case, flags=flags):
                    t, q = self.path("t"), self.path("Q")
                    for d in (t, q):
                        shutil.rmtree(d, ignore_errors=True)
                    shutil.copytree(a if "-r" not in flags else b, t)
                    shutil.copytree(p, q)
                    with open(os.path.join(q, "FILES"), "wb") as f:
                        f.write(good + lines)
                    q_before = tree_digests(q)
                    got = run(flags + ["-f", t, "-p", q])
                    self.assertEqual(got.returncode, 3, got.stderr)
                    self.assertEqual(got.stdout, b"")
                    self.assertEqual(got.stderr, b"mdtree: %s/FILES: two \"%s\" lines name %s; patch refused\n" % (
                        q.encode(), marker, name))
                    self.assertTreesEqual(t, a if "-r" not in flags else b)
                    self.assertEqual(tree_digests(q), q_before)
                    self.assertEqual(sorted(os.listdir(q)), ["FILES", "new"])
        # As patch creation writes it, a changed file is one "-" and one "+"
        # line of the same path.
        self.assertEqual(good.count(b"  a\n"), 2)

    def test_a_source_that_gives_a_path_two_digests_makes_no_patch(self):
        b = make_tree(self.path("b"), {"f": "new"})
        listing = self.path("from.md5")
        with open(listing, "wb") as f:
            f.write(b"%s  f\n%s  f\n" % (md5_hex(b"one").encode(), md5_hex(b"two").encode()))
        got = run(["-f", listing, "-t", b, "-p", self.path("P")])
        self.assertEqual(got.returncode, 1)
        self.assertIn(b"names f twice", got.stderr)
        self.assertFalse(os.path.exists(self.path("P", "FILES")))
