"""The installation administration file that -A keeps across applications,
undos and dry runs."""

import calendar
import os
import re
import shutil
import subprocess
import time

import unittest

import mdt
from mdt import TreeTest, make_tree, run, run_faulted, strace_works

DATE = re.compile(rb"date: (\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4})\n")


class AdminFile(TreeTest):
    def setUp(self):
        super().setUp()
        a = make_tree(self.path("a"), {"f": "1"})
        b = make_tree(self.path("b"), {"f": "2", "g": "3"})
        self.t = self.path("t")
        shutil.copytree(a, self.t)
        self.adm = self.path("var", "adm")
        for name, extra in (("P1", b"lower before\npatch: p1\nUpper\nversion: 2\n\nnote: x y\n"),
                            ("P2", b"patch: p2\nsize: 1\n"), ("P3", b"patch: p3\n")):
            self.assertOk(run(["-f", a, "-t", b, "-p", self.path(name)]))
            with open(self.path(name, "FILES"), "ab") as f:
                f.write(extra)

    def apply(self, patch, *flags):
        p = run(list(flags) + ["-f", self.t, "-p", self.path(patch), "-A", self.adm], env={"TZ": "UTC"})
        self.assertOk(p)

    def records(self):
        """The file with each date checked against the clock and blanked."""
        with open(self.adm, "rb") as f:
            data = f.read()
        for m in DATE.finditer(data):
            stamp = calendar.timegm(time.strptime(m.group(1).decode(), "%a %b %d %H:%M:%S %Y"))
            self.assertLess(abs(stamp - time.time()), 120)
        return DATE.sub(b"date: D\n", data)

    def test_records_across_apply_other_patch_undo_and_dry_run(self):
        r1 = b"patch: p1\ndate: D\nversion: 2\nnote: x y\n"
        r2 = b"patch: p2\ndate: D\nsize: 1\n"
        self.apply("P1")
        self.assertEqual(self.records(), r1)
        self.apply("P2", "-F")  # f no longer matches P2's "-" line
        self.assertEqual(self.records(), r1 + b"\n" + r2)
        self.apply("P1", "-r")
        self.assertEqual(self.records(), r2 + b"\n" + r1)
        self.apply("P2", "-n", "-F")
        self.assertEqual(self.records(), r1 + b"\n" + r2)
        # A named patch without administration lines drops its record and
        # appends only the empty line.
        self.apply("P1", "-n")
        self.apply("P3", "-n", "-F")
        self.assertEqual(self.records(), r2 + b"\n" + r1 + b"\n")

    def test_directory_as_administration_file_is_refused_before_the_file_work(self):
        os.makedirs(os.path.join(self.adm, "keep"))
        before = mdt.tree_digests(self.t)
        p = run(["-f", self.t, "-p", self.path("P1"), "-A", self.adm])
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stdout, b"")
        self.assertEqual(mdt.tree_digests(self.t), before)
        self.assertEqual((os.listdir(self.path("var")), os.listdir(self.adm)), (["adm"], ["keep"]))

    def test_simultaneous_updates_keep_every_record(self):
        # A long history keeps each update busy copying it, so that the
        # runs overlap; dry runs leave the tree as it is.
        os.makedirs(os.path.dirname(self.adm))
        with open(self.adm, "wb") as f:
            f.write(b"history\n" * 150000)
        names = []
        for i in range(6):
            q = self.path("Q%d" % i)
            shutil.copytree(self.path("P2"), q)
            with open(os.path.join(q, "FILES"), "rb+") as f:
                entries = f.read().split(b"patch: ")[0]
                f.seek(0)
                f.write(entries + b"patch: q%d\nsize: %d\n" % (i, i))
            names.append(b"patch: q%d\n" % i)
        for _ in range(3):
            procs = [subprocess.Popen(mdt.argv(["-n", "-f", self.t, "-p", self.path("Q%d" % i), "-A", self.adm]),
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for i in range(6)]
            errs = [(p.communicate(timeout=60)[1], p.returncode) for p in procs]
            self.assertEqual(errs, [(b"", 0)] * 6)
            data = self.records()
            self.assertEqual(data.count(b"history\n"), 150000)
            self.assertEqual(sorted(n for n in names if data.count(n) == 1), names)
            self.assertFalse(os.path.exists(self.adm + ".tmp"))

    @unittest.skipUnless(strace_works(), "needs strace")
    def test_a_file_replaced_by_another_machine_is_read_anew(self):
        """On a network file system the file opened may have been replaced by
        another machine's update: its read or its opening says "Stale file
        handle", and the update opens it anew under the lock."""
        r1 = b"patch: p1\ndate: D\nversion: 2\nnote: x y\n"
        r2 = b"patch: p2\ndate: D\nsize: 1\n"
        self.apply("P1")
        with open(self.adm, "rb") as f:
            first = f.read()
        for call in ("read", "openat"):
            with self.subTest(call=call):
                with open(self.adm, "wb") as f:
                    f.write(first)
                p = run_faulted(["-n", "-F", "-f", self.t, "-p", self.path("P2"), "-A", self.adm], self.adm, call,
                                "ESTALE")
                self.assertEqual((p.returncode, p.stderr), (0, b""))
                self.assertEqual(self.records(), r1 + b"\n" + r2)
