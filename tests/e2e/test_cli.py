"""The command line: usage text, statuses, the left-to-right scan."""

import errno
import os
import re
import shutil
import subprocess

from mdt import MDTREE, TreeTest, argv, make_tree, read_tree, run, usage_text, md5_hex, tree_digests, tool_env

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def project_version():
    """The version that CMakeLists.txt gives the project."""
    with open(os.path.join(TOP, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"^project\(mdtree VERSION ([\d.]+)", f.read(), re.M).group(1)


class Usage(TreeTest):
    def test_usage_cases(self):
        for args in ([], ["-h"], ["-"], ["-x"], ["-Z"], ["--"], ["--hel"], ["--helpx"],
                     ["--version=1"], ["-l"], ["-f"], ["-A"], ["-j"],
                     # -j takes decimal digits only, 1 to 1024.
                     ["-j", "0"], ["-j", ""], ["-j", "x"], ["-j", "-3"], ["-j", "2k"],
                     ["-j", "+2"], ["-j", " 2"], ["-j", "1025"], ["-j", "4294967297"],
                     ["-j", "4", "-j", "0"]):
            with self.subTest(args=args):
                p = run(args, cwd=self.tmp)
                self.assertEqual(p.returncode, 2)
                self.assertEqual(p.stdout, b"")
                self.assertEqual(p.stderr, usage_text())

    def test_second_user_of_standard_output_or_input(self):
        # The archive of -a - and another job would mix their bytes on one
        # end: refused before any work, whatever the order of the words.
        tree = make_tree(self.path("t"), {"a": "alpha"})
        listing = self.path("list")
        with open(listing, "w") as f:
            f.write("%s  a\n" % md5_hex(b"alpha"))
        made = run(["-f", tree, "-a", "-"])
        self.assertOk(made)
        out, patch = self.path("out"), self.path("p")
        write = b"-a - and %s both write to standard output"
        read = b"-a - and %s both read standard input"
        for args, message in [
                # A path naming the same pipe is the same end.
                (["-t", out, "-a", "/dev/stdin", "--status", "-c", "-"], read.replace(b"-a -", b"-a /dev/stdin") % b"-c -"),
                (["-l", tree, "-f", tree, "-a", "-"], write % b"-l"),
                (["-f", tree, "-a", "-", "-l", tree], write % b"-l"),
                (["-f", tree, "-a", "-", "-C", tree, "-c", listing], write % b"-c"),
                (["-V", "-f", tree, "-a", "-"], write % b"-V"),
                (["-f", tree, "-t", tree, "-p", patch, "-a", "-"], write % b"the patch"),
                (["-t", out, "-a", "-", "--status", "-c", "-"], read % b"-c -"),
                (["-t", out, "-a", "-", "-l", "/dev/stdin"], read % b"-l"),
                (["-f", "/dev/stdin", "-t", out, "-a", "-"], read % b"-f")]:
            with self.subTest(args=args):
                p = run(args, cwd=self.tmp, input=made.stdout)
                self.assertEqual((p.returncode, p.stdout, p.stderr), (1, b"", b"mdtree: " + message + b"\n"))
                for made_path in (out, patch):
                    self.assertFalse(os.path.exists(made_path))
        # One job on each end is no second user.
        for args, stdout in [(["-l", tree, "-t", out, "-a", "-"], ("%s  a\n" % md5_hex(b"alpha")).encode()),
                             (["--status", "-C", tree, "-c", listing, "-t", out, "-a", "-"], b"")]:
            with self.subTest(args=args):
                shutil.rmtree(out, ignore_errors=True)
                p = run(args, cwd=self.tmp, input=made.stdout)
                self.assertOk(p)
                self.assertEqual(p.stdout, stdout)
                self.assertEqual(read_tree(out), read_tree(tree))

    def test_help_and_version_on_stdout(self):
        version = b"mdtree %s\n" % project_version().encode()
        for args, out in ((["--help"], usage_text()), (["--version"], version),
                          # They end the run where the scan meets them.
                          (["--version", "-l", "nope", "-x"], version),
                          (["-f", "--help", "-Z"], usage_text())):
            with self.subTest(args=args):
                p = run(args, cwd=self.tmp)
                self.assertEqual((p.returncode, p.stdout, p.stderr), (0, out, b""))

    def test_help_on_full_device_fails(self):
        for word in ("--help", "--version"):
            with self.subTest(word=word), open("/dev/full", "wb") as full:
                p = subprocess.run([MDTREE, word], stdout=full, stderr=subprocess.PIPE)
                self.assertEqual(p.returncode, 1)
                self.assertEqual(p.stderr, b"mdtree: write error on standard output: %s\n"
                                 % os.strerror(errno.ENOSPC).encode())

    def test_earlier_listing_is_printed_before_usage_error(self):
        make_tree(self.path("t"), {"a": "x"})
        for tail in (["-q"], ["-f"], ["-j", "0"], ["--help=x"]):
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

    def test_thread_counts_accepted(self):
        for args in (["-j", "1"], ["-j", "0002"], ["-j", "1024"], ["-j", "3", "-j", "1"]):
            with self.subTest(args=args):
                p = run(args + ["-l", "t"], cwd=self.tmp)
                self.assertOk(p)
                self.assertEqual(self.listing(p.stdout), self.expected)

    def test_listing_before_help_is_printed_first(self):
        p = run(["-l", "t", "--help", "-l", "t"], cwd=self.tmp)
        self.assertOk(p)
        out = p.stdout.splitlines(keepends=True)
        self.assertEqual(self.listing(b"".join(out[:2])), self.expected)
        self.assertEqual(b"".join(out[2:]), usage_text())

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
            p = subprocess.run(argv(["-l", "t"]), cwd=self.tmp,
                               stdout=full, stderr=subprocess.PIPE)
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"standard output", p.stderr)


class ThreadCounts(TreeTest):
    """Every job gives the same output, status and files at -j 1 and -j 8:
    the work runs in parallel, the decisions in order."""

    # The status each job ends with, at either count; 0 for the others (a
    # damaged member is reported and extraction goes on).
    STATUS = {"restore damaged": 1, "apply damaged": 4, "check damaged": 1, "verify damaged dry": 1,
              "verify damaged": 1}

    def run_jobs(self, j):
        w = self.path("j%d" % j)
        os.makedirs(w)
        runs = {}

        def job(key, args, cwd=w):
            p = run(["-j", str(j)] + args, cwd=cwd)
            runs[key] = (p.returncode, p.stdout, p.stderr)

        job("list", ["-l", self.tree])
        job("archive", ["-f", self.tree, "-a", os.path.join(w, "arc")])
        job("list archive", ["-l", os.path.join(w, "arc")])
        job("extract", ["-t", os.path.join(w, "x"), "-a", os.path.join(w, "arc")])
        job("store", ["-R", os.path.join(w, "db"), "-i", self.tree])
        with open(os.path.join(w, "listing"), "wb") as f:
            f.write(runs["list"][1])
        os.makedirs(os.path.join(w, "o"))
        job("restore", ["-R", os.path.join(w, "db"), "-o", os.path.join(w, "listing")], cwd=os.path.join(w, "o"))
        # A damaged object halfway down the listing: the files before it are
        # restored and reported, the run stops there.
        middle = runs["list"][1].splitlines()[len(runs["list"][1].splitlines()) // 2][:32].decode()
        with open(os.path.join(w, "db", middle[:2], middle[2:]), "ab") as f:
            f.write(b"damage")
        os.makedirs(os.path.join(w, "o2"))
        job("restore damaged", ["-R", os.path.join(w, "db"), "-o", os.path.join(w, "listing")],
            cwd=os.path.join(w, "o2"))
        job("make patch", ["-f", self.tree, "-t", self.tree2, "-p", os.path.join(w, "P")])
        shutil.copytree(self.tree, os.path.join(w, "live"))
        job("apply", ["-f", os.path.join(w, "live"), "-p", os.path.join(w, "P")])
        # A tree that differs from what the patch expects in several files:
        # the first difference in the order of the checks is reported.
        shutil.copytree(self.tree, os.path.join(w, "live2"))
        for i in (40, 80, 120):
            with open(os.path.join(w, "live2", "d%d" % (i % 7), "f%03d" % i), "ab") as f:
                f.write(b"drift")
        job("apply damaged", ["-f", os.path.join(w, "live2"), "-p", os.path.join(w, "P")])
        # A damaged member: the first failure in table order is reported.
        with open(os.path.join(w, "arc"), "r+b") as f:
            f.seek(-40, os.SEEK_END)
            f.write(b"\xff" * 8)
        job("extract damaged", ["-t", os.path.join(w, "y"), "-a", os.path.join(w, "arc")])
        # The store's maintenance and checks: a tree that drifted, the store
        # with its damaged object, a prune that keeps only what the patch
        # directory holds.
        job("check damaged", ["-u", "-C", os.path.join(w, "live2"), "-c", os.path.join(w, "listing")])
        job("verify damaged dry", ["-R", os.path.join(w, "db"), "-n", "-V"])
        job("verify damaged", ["-R", os.path.join(w, "db"), "-V"])
        job("prune", ["-R", os.path.join(w, "db"), "-g", "0s", "-P", os.path.join(w, "P")])
        return runs, read_tree(w)

    def test_every_job_is_the_same_at_1_and_8_threads(self):
        import random
        rnd = random.Random(7)
        files = {"d%d/f%03d" % (i % 7, i): bytes(rnd.randrange(256) for _ in range(rnd.randrange(3000)))
                 for i in range(150)}
        files.update({"dup%d" % i: b"same content\n" for i in range(5)})
        files["empty"] = b""
        # Larger than what is compressed whole in memory: the streamed path.
        files["big/large"] = (b"0123456789abcdef" * 4096 + bytes(range(256))) * 260
        self.tree = make_tree(self.path("tree"), files)
        changed = dict(files)
        changed.pop("d1/f001")
        changed["d2/f002"] = b"changed"
        # Enough changes that the patch's checks run in several groups.
        for i in range(0, 150, 4):
            changed["d%d/f%03d" % (i % 7, i)] = b"changed %d" % i
        changed["new/n"] = b"new"
        self.tree2 = make_tree(self.path("tree2"), changed)
        one, files1 = self.run_jobs(1)
        eight, files8 = self.run_jobs(8)
        self.assertEqual(sorted(one), sorted(eight))
        self.assertLessEqual(set(self.STATUS), set(one))
        for key in one:
            with self.subTest(job=key):
                self.assertEqual(one[key][0], self.STATUS.get(key, 0))
                self.assertEqual(eight[key], tuple(x.replace(b"/j1/", b"/j8/") if isinstance(x, bytes) else x
                                                   for x in one[key]))
        self.assertIn(b"Invalid checksum", one["extract damaged"][2])
        self.assertEqual(one["check damaged"][1].count(b": FAILED\n"), 3)
        self.assertGreater(one["prune"][1].count(b"Removed: "), 100)
        self.assertIn(b"damaged object", one["restore damaged"][2])
        self.assertIn(b"Checksum mismatch", one["apply damaged"][2])
        restored = one["restore damaged"][1].splitlines()
        self.assertGreater(len(restored), 10)
        self.assertEqual(sorted(os.fsencode(n) for n in read_tree(os.path.join(self.path("j1"), "o2"))),
                         sorted(restored))
        # The record of the directories an application made names its tree.
        for f in (files1, files8):
            f["P/DIRS"] = re.sub(rb"(?m)^tree [^\n]*\n", b"", f["P/DIRS"])
        self.assertEqual(files1, files8)
        self.assertEqual(read_tree(os.path.join(self.path("j1"), "x")), {k: v for k, v in files.items()})


def cpu_cgroup_dir():
    """The directory below which a cgroup with a CPU quota can be made (the
    cgroup v2 mount when it has the cpu controller, else the v1 hierarchy
    that has it), and whether it is v2; None when there is none."""
    with open("/proc/self/mountinfo") as f:
        mounts = [line.split() for line in f]
    for fields in mounts:
        tail = fields[fields.index("-") + 1:]
        point = fields[4].replace("\\040", " ")
        if tail[0] == "cgroup2":
            try:
                with open(os.path.join(point, "cgroup.subtree_control")) as c:
                    if "cpu" in c.read().split():
                        return point, True
            except OSError:
                pass
        elif tail[0] == "cgroup" and "cpu" in tail[2].split(","):
            return point, False
    return None


class CpuQuota(TreeTest):
    """The default thread count follows a CPU quota set on the run's cgroup:
    at a quota of one CPU the run starts as many threads as at -j 1."""

    def make_cgroup(self):
        found = cpu_cgroup_dir() if os.geteuid() == 0 else None
        if not found:
            self.skipTest("no cgroup with the cpu controller to make here (needs root and a cpu hierarchy)")
        top, v2 = found
        group = os.path.join(top, "mdtree-test-%d" % os.getpid())
        try:
            os.mkdir(group)
            if v2:
                with open(os.path.join(group, "cpu.max"), "w") as f:
                    f.write("100000 100000")
            else:
                with open(os.path.join(group, "cpu.cfs_period_us"), "w") as f:
                    f.write("100000")
                with open(os.path.join(group, "cpu.cfs_quota_us"), "w") as f:
                    f.write("100000")
        except OSError as e:
            if os.path.isdir(group):
                os.rmdir(group)
            self.skipTest("can not make a cgroup with a CPU quota: %s" % e)
        # The processes started in it have ended by the time this runs.
        self.addCleanup(os.rmdir, group)
        return os.path.join(group, "cgroup.procs")

    def clones(self, procs, args):
        """Runs mdtree with args (no -j added) in the cgroup under strace;
        returns the process and the number of threads it started."""
        log = self.path("strace.log")
        # LeakSanitizer can not run under ptrace.
        env = tool_env({"ASAN_OPTIONS": (os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":")})

        def enter():
            with open(procs, "w") as f:
                f.write(str(os.getpid()))
        p = subprocess.run(["strace", "-f", "-qq", "-o", log, "-e", "trace=clone,clone3", MDTREE] + args,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, preexec_fn=enter,
                           timeout=600)
        with open(log) as f:
            return p, sum(1 for line in f if "clone" in line and "CLONE_THREAD" in line)

    def test_a_quota_of_one_cpu_runs_as_minus_j_1(self):
        if not shutil.which("strace"):
            self.skipTest("strace is not installed")
        procs = self.make_cgroup()
        tree = make_tree(self.path("tree"), {"d%d/f%d" % (i % 5, i): os.urandom(2000 + i) for i in range(300)})
        want = sorted(b"%s  %s" % (h.encode(), rel) for rel, h in tree_digests(tree).items())
        default, threads = self.clones(procs, ["-l", tree])
        self.assertOk(default)
        self.assertEqual(sorted(line.replace(tree.encode() + b"/", b"") for line in default.stdout.splitlines()),
                         want)
        one, at_one = self.clones(procs, ["-j", "1", "-l", tree])
        two, at_two = self.clones(procs, ["-j", "2", "-l", tree])
        self.assertEqual(default.stdout, one.stdout)
        self.assertEqual(default.stdout, two.stdout)
        self.assertEqual(threads, at_one)
        # The count is seen: at -j 2 the same walk starts a worker.
        self.assertGreater(at_two, at_one)
