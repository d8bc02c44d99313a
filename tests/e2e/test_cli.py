"""The command line: usage text, statuses, the left-to-right scan."""

import os

from mdt import MDTREE, TreeTest, make_tree, run, usage_text, md5_hex


class Usage(TreeTest):
    def test_usage_cases(self):
        for args in ([], ["-h"], ["-"], ["-x"], ["-Z"], ["--help"], ["-l"], ["-f"], ["-A"]):
            with self.subTest(args=args):
                p = run(args, cwd=self.tmp)
                self.assertEqual(p.returncode, 2)
                self.assertEqual(p.stdout, b"")
                self.assertEqual(p.stderr, usage_text())

    def test_earlier_listing_is_printed_before_usage_error(self):
        make_tree(self.path("t"), {"a": "x"})
        for tail in (["-q"], ["-f"]):
            with self.subTest(tail=tail):
                p = run(["-l", "t"] + tail, cwd=self.tmp)
                self.assertEqual(p.returncode, 2)
                self.assertEqual(p.stdout, ("%s  a\n" % md5_hex(b"x")).encode())
                self.assertEqual(p.stderr, usage_text())


class Scan(TreeTest):
    def setUp(self):
        super().setUp()
        make_tree(self.path("t"), {"a": "alpha", "d/b": "beta"})
        self.expected = sorted([(md5_hex(b"alpha"), b"a"), (md5_hex(b"beta"), b"d/b")])

    def listing(self, out):
        return sorted((l[:32].decode(), l[34:]) for l in out.splitlines())

    def test_only_second_character_counts(self):
        p = run(["-lfoo", "t"], cwd=self.tmp)
        self.assertOk(p)
        self.assertEqual(self.listing(p.stdout), self.expected)

    def test_stray_words_are_passed_over(self):
        p = run(["stray", "words", "-l", "t", "more"], cwd=self.tmp)
        self.assertOk(p)
        self.assertEqual(self.listing(p.stdout), self.expected)

    def test_argument_word_still_gets_its_own_turn(self):
        # -f takes "-l" as its argument; "-l" then runs on "t" in its turn.
        p = run(["-f", "-l", "t"], cwd=self.tmp)
        self.assertOk(p)
        self.assertEqual(self.listing(p.stdout), self.expected)

    def test_nothing_to_do_is_success(self):
        for args in (["-t", "t", "-p", "p"], ["-n", "-F", "-r"], ["-a", "z"]):
            with self.subTest(args=args):
                p = run(args, cwd=self.tmp)
                self.assertOk(p)
                self.assertEqual((p.stdout, p.stderr), (b"", b""))
                self.assertFalse(os.path.exists(self.path("p")))

    def test_relative_path_after_walk_resolves_where_walk_left(self):
        make_tree(self.path("x", "y"), {"f": "deep"})
        # After walking x/y the working directory is x, so "y" is x/y again.
        p = run(["-l", "x/y", "-l", "y"], cwd=self.tmp)
        self.assertOk(p)
        line = ("%s  f\n" % md5_hex(b"deep")).encode()
        self.assertEqual(p.stdout, line + line)
        # ...and "x/y" now means x/x/y, which does not exist.
        p = run(["-l", "x/y", "-l", "x/y"], cwd=self.tmp)
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stdout, line)
        self.assertEqual(p.stderr, ("can not stat %s\n" % self.path("x", "x", "y")).encode())

    def test_dot_dot_climbs_clamped_at_root(self):
        depth = len([c for c in self.tmp.split("/") if c])
        rel = "../" * (depth + 3) + self.tmp.lstrip("/") + "/t"
        p = run(["-l", rel], cwd=self.tmp)
        self.assertOk(p)
        self.assertEqual(self.listing(p.stdout), self.expected)


class Failures(TreeTest):
    def test_missing_path(self):
        p = run(["-l", "nope"], cwd=self.tmp)
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr, ("can not stat %s\n" % self.path("nope")).encode())
        self.assertEqual(p.stdout, b"")

    def test_fifo_is_not_a_stream(self):
        os.mkfifo(self.path("fifo"))
        p = run(["-l", "fifo"], cwd=self.tmp)
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr, ("unkown stream type %s\n" % self.path("fifo")).encode())

    def test_write_error_on_stdout_is_failure(self):
        make_tree(self.path("t"), {"a": "x"})
        with open("/dev/full", "wb") as full:
            import subprocess
            p = subprocess.run([MDTREE, "-l", "t"], cwd=self.tmp,
                               stdout=full, stderr=subprocess.PIPE)
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"standard output", p.stderr)
