"""Times mdtree against the tools a user would pick instead, on the same data,
warm cache, and prints one table. Every row runs mdtree twice, at -j 1 (its
serial speed) and at its default (one thread per CPU it may run on: its
parallel speed), and gives the ratio of each median to the peer's; a row's
target applies to the default. N below is the number of CPUs this process
may run on, which the parallel peers use too.

Rows, by the name that selects them on the command line:
  md5      the MD5 module against OpenSSL's MD5, MB/s on 4 KiB and 1 MiB buffers
  list1g   -l on one 1 GiB file vs openssl md5 (target <= 1.0) and md5sum
  list20k  -l on 20,000 files of 1-16 KiB vs find | xargs -0 -P N -n BATCH md5sum
           (target <= 1.0) and the serial find | xargs -0 md5sum
  check    -c of those 20,000 files against their listing vs md5sum -c and vs
           cut | xargs -0 -P N -n BATCH md5sum, the same work in parallel (<= 0.5 each)
  dup      -f -a on 20,000 files, a tenth of them duplicates, vs tar | pigz -9 -p N
           (target <= 0.6), tar | gzip -9 and libdeflate-gzip -9 of a tar made beforehand
           (the same compressor, serial); -t -a of that archive vs tar -xzf (<= 0.4)
  large    -f -a and -t -a of one 5 GiB sparse file vs tar | pigz -9 -p N and pigz -d | tar -x
           (<= 1.2 each); the same through a pipe, -f -a - | cat and cat | -t -a -, vs
           tar | pigz | cat and cat | pigz -d | tar -x (the spool in TMPDIR, on the scratch)
  pkg      the same two jobs on a release of date-fns (hundreds of small files)
  ts       the same two jobs on a release of typescript (a few files of megabytes)
  db       -i, and -o from a listing, of the 20,000 files vs cp -r (<= 1.0 each)
  patch    patch creation between two date-fns releases vs rsync -rc --only-write-batch
           (<= 0.5), and its application vs rsync -rc --read-batch (<= 1.0)
  cache    with a warm stat cache (--cache) on an unchanged tree: -l of the 20,000
           files and of 200,000 tiny files vs find -type f -printf '%s %T@ %p\n' (<= 1.5),
           -l of the 1 GiB file vs -l without the cache (<= 0.05), -i of the 20,000 files
           into their store vs rsync -a of them onto a copy (<= 1.5) and vs restic
           backup's second run of them (<= 0.2); the peak memory of -l of one flat
           directory of 200,000 and of 1,000,000 empty files, cold and warm, against
           -l without the cache (<= 64 bytes per entry beyond its name); patch creation
           between typescript 5.4.5 and 5.6.3 with both trees cached vs without (<= 0.3;
           left out when npm can not fetch them)
  scale    -l, -f -a, -i and patch creation on 20,000 and on 200,000 tiny files: how
           the time grows, and the peak memory
Rows without a target are there for reference: the serial peers, md5sum,
and the extraction of the package archives.

Started by bench/run, which builds the programs and picks the scratch; see --help.
"""

import argparse
import collections
import json
import os
import shlex
import shutil
import subprocess
import sys
import time

import datasets

# One timed comparison against one peer. m1, m, p: hyperfine's statistics of
# mdtree at -j 1 (None when not run), at its default, and of the peer.
Row = collections.namedtuple("Row", "title m1 m p target verdict note")
# A peer command: name (for hyperfine), label (for the table), the command
# line, the command that resets its output before each run, and the target
# for mdtree's ratio against it (None: shown for reference).
Peer = collections.namedtuple("Peer", "name label cmd prep target")


def sh(*argv, cwd=None, out=None):
    """A shell command line for hyperfine: cd, then the program itself."""
    line = " ".join(shlex.quote(str(a)) for a in argv)
    if out:
        line += " > " + shlex.quote(out)
    return "cd %s && %s" % (shlex.quote(cwd), line) if cwd else line


def q(path):
    return shlex.quote(str(path))


def fs_type(path):
    r = subprocess.run(["stat", "-f", "-c", "%T", path], stdout=subprocess.PIPE, text=True)
    return r.stdout.strip() or "?"


def rm(path, flag="-rf"):
    return "rm %s %s" % (flag, q(path))


class Bench:
    def __init__(self, args):
        self.args = args
        self.mdtree = os.path.abspath(args.mdtree)
        self.scratch = os.path.abspath(args.scratch)
        self.data = os.path.join(self.scratch, "data")
        self.work = os.path.abspath(args.work or os.path.join(self.scratch, "work"))
        self.logs = os.path.join(self.scratch, "logs")
        for d in (self.data, self.work, self.logs):
            os.makedirs(d, exist_ok=True)
        # What mdtree's default -j means, and what the parallel peers get.
        self.ncpu = len(os.sched_getaffinity(0))
        self.j_status = self.probe_j()
        # The mdtree runs of every row: (tag, options). The tag names the
        # run in hyperfine and suffixes its outputs, so that a check after
        # the timing sees the output of each run, not only the last one's.
        self.variants = ([("-j1", ["-j", "1"])] if self.j_status == 0 else []) + [("", [])]
        self.rows = []
        self.scaling = []   # dicts, one per job; see scale()
        self.memory = []    # lines of cache_memory()
        self.failures = []

    # ---- helpers -------------------------------------------------------

    def w(self, *parts):
        return os.path.join(self.work, *parts)

    def m(self, jflags, *argv, cwd=None, out=None):
        """An mdtree command line. The -j option comes first: -l, -i and -o
        run the moment they are met."""
        return sh(self.mdtree, *jflags, *argv, cwd=cwd, out=out)

    def run(self, cmd, **kw):
        return subprocess.run(cmd, shell=isinstance(cmd, str), check=True, **kw)

    def probe_j(self):
        """The exit status of mdtree -j 1 -l on a one-file directory: 0 when
        the binary takes -j (a binary from before the option says 2)."""
        probe = self.w("j-probe")
        os.makedirs(probe, exist_ok=True)
        with open(os.path.join(probe, "f"), "w") as f:
            f.write("probe\n")
        r = subprocess.run([self.mdtree, "-j", "1", "-l", probe], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        shutil.rmtree(probe)
        return r.returncode

    def storage_warnings(self):
        """Loud lines for each of the data and work directories that is not
        on a tmpfs: its timings then include the disk, and the ratios are not
        the ones the targets are about."""
        lines = []
        for what, path in (("data sets", self.data), ("outputs", self.work)):
            kind = fs_type(path)
            if kind != "tmpfs":
                lines.append("!!! WARNING: the %s (%s) are on %s, not tmpfs" % (what, path, kind))
        if lines:
            lines = (["!" * 100] + lines +
                     ["!!! these timings include the disk and its allocator: do not quote the ratios against the targets",
                      "!" * 100])
        return lines

    def hyperfine(self, key, commands, runs=None):
        """commands: list of (name, command, prepare). Returns {name: stats}
        with median/min/max seconds and mean CPU seconds, or None when a
        command failed."""
        runs = runs or self.args.runs
        out = os.path.join(self.logs, key + ".json")
        log = os.path.join(self.logs, key + ".txt")
        argv = ["hyperfine", "--style", "basic", "--warmup", str(self.args.warmup),
                "--runs", str(runs), "--export-json", out]
        if any(p for _, _, p in commands):
            for _, _, p in commands:
                argv += ["--prepare", p or "true"]
        for name, cmd, _ in commands:
            argv += ["-n", name, cmd]
        with open(log, "w") as f:
            rc = subprocess.run(argv, stdout=f, stderr=subprocess.STDOUT).returncode
        if rc != 0:
            with open(log) as f:
                tail = f.read()[-1500:]
            self.failures.append((key, tail))
            print("  %s: a command failed (see %s)" % (key, log), flush=True)
            return None
        with open(out) as f:
            results = json.load(f)["results"]
        return {r["command"]: {"median": r["median"], "min": r["min"], "max": r["max"],
                               "cpu": r["user"] + r["system"]} for r in results}

    def peak_kib(self, cmd, prepare=None):
        """Peak resident memory (KiB) of one run of a shell command line.
        Through GNU time, not wait4 from here: a child's peak counts the
        memory of the process it was forked from, and this one is large."""
        if prepare:
            self.run(prepare)
        out = os.path.join(self.logs, "peak.txt")
        self.run(["/usr/bin/time", "-f", "%M", "-o", out, "/bin/sh", "-c", cmd],
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            return int(f.read().split()[-1])

    def compare(self, key, work, ours, peers, check=None, runs=None):
        """Times mdtree at each -j and every peer on the same work, and adds
        one table row per peer. ours(tag, jflags) gives mdtree's (command,
        prepare) for one run; check, when given, verifies the outputs after
        the timing, and a wrong output voids the row."""
        if not self.wanted(key):
            return
        print("%s: %s" % (key, work), flush=True)
        commands = []
        for tag, jflags in self.variants:
            cmd, prep = ours(tag, jflags)
            commands.append(("mdtree" + tag, cmd, prep))
        commands += [(p.name, p.cmd, p.prep) for p in peers]
        r = self.hyperfine(key, commands, runs)
        if r is None:
            for p in peers:
                self.rows.append(Row("%s vs %s" % (work, p.label), None, None, None, p.target, "FAILED", ""))
            return
        note = ""
        if check:
            try:
                check()
            except Exception as e:  # a wrong result voids the timing
                note = "WRONG OUTPUT: %s" % e
        m1, m = r.get("mdtree-j1"), r["mdtree"]
        for p in peers:
            s = r[p.name]
            ratio = m["median"] / s["median"]
            if note:
                verdict = "MISSED"
            elif p.target is None:
                verdict = "-"
            else:
                verdict = "met" if ratio <= p.target else "MISSED"
            self.rows.append(Row("%s vs %s" % (work, p.label), m1, m, s, p.target, verdict, note))
            print("  vs %s: %s, mdtree %.3f s, peer %.3f s, ratio %.2f (%s)" % (
                p.label, "-j 1 %.3f s" % m1["median"] if m1 else "-j 1 n/a", m["median"], s["median"],
                ratio, verdict), flush=True)

    def wanted(self, key):
        only = self.args.only
        # A group ("dup") is wanted for any of its rows ("dup-extract"), and
        # a row for its group.
        return not only or any(key == o or key.startswith(o + "-") or o.startswith(key + "-") for o in only)

    def diff(self, a, b):
        r = subprocess.run(["diff", "-r", "-q", a, b], stdout=subprocess.PIPE, text=True)
        if r.returncode != 0:
            raise RuntimeError("trees differ: %s" % r.stdout[:300])

    def same_across_j(self, path_of, what):
        """Whatever -j, the tool writes the same bytes: the outputs of the
        runs (path_of(tag)) are compared with the default's."""
        base = path_of("")
        for tag, _ in self.variants:
            if tag:
                r = subprocess.run(["diff", "-r", "-q", path_of(tag), base], stdout=subprocess.PIPE, text=True)
                if r.returncode != 0:
                    raise RuntimeError("%s at %s differs from the default's: %s" % (what, tag, r.stdout[:200]))

    def instructions(self, cmd, prepare=None):
        """Instructions that one run of an mdtree command line executes in
        user space, counted by callgrind: a measure no other load on the
        machine can change."""
        if prepare:
            self.run(prepare)
        log = os.path.join(self.logs, "callgrind.txt")
        self.run("valgrind --tool=callgrind --callgrind-out-file=/dev/null --log-file=%s %s" % (q(log), cmd),
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(log) as f:
            for line in f:
                if "Collected :" in line:
                    return int(line.split(":")[-1])
        raise RuntimeError("no instruction count in " + log)

    # ---- peers ---------------------------------------------------------

    def md5sum_peers(self, tree, n, target):
        """find | xargs md5sum, serial and with N processes. xargs -P alone
        runs in parallel only the batches that the command line length cuts
        anyway; -n cuts n files into N batches at most, so every process has
        work whatever the path lengths."""
        batch = -(-n // self.ncpu)
        return [Peer("md5sum-p", "find | xargs -0 -P %d -n %d md5sum" % (self.ncpu, batch),
                     "find %s -type f -print0 | xargs -0 -P %d -n %d md5sum" % (q(tree), self.ncpu, batch),
                     None, target),
                Peer("md5sum", "find | xargs -0 md5sum", "find %s -type f -print0 | xargs -0 md5sum" % q(tree),
                     None, None)]

    def tar_gz(self, tree, tgz, compressor="gzip -9"):
        return "tar -cf - -C %s %s | %s > %s" % (q(os.path.dirname(tree)), q(os.path.basename(tree)),
                                                  compressor, q(tgz))

    def pigz(self):
        return "pigz -9 -p %d" % self.ncpu

    # ---- rows ----------------------------------------------------------

    def md5_module(self):
        if not self.wanted("md5"):
            return
        print("md5: module throughput against OpenSSL", flush=True)
        out = subprocess.run([self.args.md5_bench, "--benchmark_repetitions=%d" % max(3, self.args.runs),
                              "--benchmark_report_aggregates_only=true", "--benchmark_format=json"],
                             stdout=subprocess.PIPE, text=True)
        if out.returncode != 0:
            self.failures.append(("md5", "md5_bench exited with %d" % out.returncode))
            return
        speeds = {}
        for b in json.loads(out.stdout)["benchmarks"]:
            if b.get("aggregate_name") == "median":
                speeds[b["run_name"]] = b["bytes_per_second"] / 1e6
        for size, label in ((4096, "4 KiB"), (1 << 20, "1 MiB")):
            m, o = speeds["mdtree_md5/%d" % size], speeds["openssl_md5/%d" % size]
            ratio = m / o
            verdict = "met" if ratio >= 0.95 else "MISSED"
            # Higher is better here, and the module has no -j.
            self.rows.append(Row("MD5 module MB/s, %s buffers (CPU time) vs OpenSSL" % label,
                                 None, {"mbs": m}, {"mbs": o}, ">= 0.95", verdict, "higher is better"))
            print("  %s: mdtree %.0f MB/s, OpenSSL %.0f MB/s, ratio %.3f" % (label, m, o, ratio), flush=True)

    def listing_big(self):
        if not self.wanted("list1g"):
            return
        tree, path = datasets.big_file(self.data, self.args.big_mib << 20)

        def check():
            want = subprocess.run(["md5sum", path], stdout=subprocess.PIPE, check=True, text=True).stdout.split()[0]
            for _, jflags in self.variants:
                got = subprocess.run([self.mdtree, *jflags, "-l", tree], stdout=subprocess.PIPE, check=True,
                                     text=True).stdout
                if got != "%s  big.bin\n" % want:
                    raise RuntimeError("listing %r, md5sum says %s" % (got[:80], want))
        self.compare("list1g", "-l on a %d MiB file" % self.args.big_mib,
                     lambda tag, j: (self.m(j, "-l", tree), None),
                     [Peer("openssl", "openssl md5", sh("openssl", "md5", path), None, 1.0),
                      Peer("md5sum", "md5sum", sh("md5sum", path), None, None)],
                     check=check)

    def listing_small(self, tree, n):
        def check():
            theirs = subprocess.run("cd %s && find . -type f -print0 | xargs -0 md5sum" % q(tree), shell=True,
                                    stdout=subprocess.PIPE, check=True).stdout
            want = sorted(line[:34] + line[36:] for line in theirs.splitlines())
            outs = {}
            for tag, jflags in self.variants:
                outs[tag] = subprocess.run([self.mdtree, *jflags, "-l", tree], stdout=subprocess.PIPE,
                                           check=True).stdout
                if sorted(outs[tag].splitlines()) != want:
                    raise RuntimeError("listing%s differs from md5sum" % (" at " + tag if tag else ""))
            # The order of the lines follows the walk, whatever the threads.
            if len(set(outs.values())) > 1:
                raise RuntimeError("the listing at -j 1 is in another order than the default's")
        self.compare("list20k", "-l on %d files of 1-16 KiB" % n,
                     lambda tag, j: (self.m(j, "-l", tree), None),
                     self.md5sum_peers(tree, n, 1.0), check=check)

    def checking(self, tree, n):
        listing = self.w("check.md5")
        with open(listing, "wb") as f:
            self.run([self.mdtree, "-l", tree], stdout=f)
        batch = -(-n // self.ncpu)

        def check():
            # The verdicts are md5sum's, line for line, at every -j.
            theirs = subprocess.run(["md5sum", "-c", "--strict", listing], cwd=tree, stdout=subprocess.PIPE).stdout
            for tag, jflags in self.variants:
                ours = subprocess.run([self.mdtree, *jflags, "-c", listing], cwd=tree, stdout=subprocess.PIPE).stdout
                if ours != theirs:
                    raise RuntimeError("-c%s differs from md5sum -c" % (" at " + tag if tag else ""))
        self.compare("check", "-c of %d files of 1-16 KiB" % n,
                     lambda tag, j: (self.m(j, "-c", listing, cwd=tree), None),
                     [Peer("md5sum-c", "md5sum -c", sh("md5sum", "-c", listing, cwd=tree), None, 0.5),
                      Peer("md5sum-p", "cut | xargs -0 -P %d -n %d md5sum" % (self.ncpu, batch),
                           "cd %s && cut -c35- %s | tr '\\n' '\\0' | xargs -0 -P %d -n %d md5sum" % (
                               q(tree), q(listing), self.ncpu, batch), None, 0.5)],
                     check=check)

    def archives(self, key, tree, label, create_target, extract_target):
        def arc(tag):
            return self.w("%s%s.mdt" % (key, tag))
        tgz, pgz = self.w(key + ".tgz"), self.w(key + ".pigz.tgz")
        peers = [Peer("pigz", "tar | %s" % self.pigz(), self.tar_gz(tree, pgz, self.pigz()), rm(pgz, "-f"),
                      create_target),
                 Peer("gzip", "tar | gzip -9", self.tar_gz(tree, tgz), rm(tgz, "-f"), None)]
        if self.wanted(key + "-create") and shutil.which("libdeflate-gzip"):
            # The same compressor and level as mdtree's, serial, on the tree
            # as one tar made beforehand: what compression alone costs.
            tar, lgz = self.w(key + ".tar"), self.w(key + ".ld.gz")
            self.run("tar -cf %s -C %s %s" % (q(tar), q(os.path.dirname(tree)), q(os.path.basename(tree))))
            peers.append(Peer("ldgz", "libdeflate-gzip -9 of its tar", "libdeflate-gzip -9 -c %s > %s" % (
                q(tar), q(lgz)), rm(lgz, "-f"), None))
        self.compare(key + "-create", "-f -a, %s" % label,
                     lambda tag, j: (self.m(j, "-f", tree, "-a", arc(tag)), rm(arc(tag), "-f")),
                     peers, check=lambda: self.same_across_j(arc, "the archive"))
        if not self.wanted(key + "-extract"):
            return
        # Extraction needs both archives, whichever rows ran.
        if not os.path.exists(arc("")):
            self.run(self.m([], "-f", tree, "-a", arc("")), stderr=subprocess.DEVNULL)
        if not os.path.exists(tgz):
            self.run(self.tar_gz(tree, tgz))
        out_p = self.w(key + "-out-tar")

        def out_m(tag):
            return self.w("%s-out-mdtree%s" % (key, tag))

        def check():
            for tag, _ in self.variants:
                self.diff(tree, out_m(tag))
            self.diff(tree, os.path.join(out_p, os.path.basename(tree)))
        self.compare(key + "-extract", "-t -a, %s" % label,
                     lambda tag, j: (self.m(j, "-t", out_m(tag), "-a", arc("")), rm(out_m(tag))),
                     [Peer("tar", "tar -xzf", "tar -xzf %s -C %s" % (q(tgz), q(out_p)),
                           "rm -rf %s && mkdir %s" % (q(out_p), q(out_p)), extract_target)],
                     check=check)

    def large(self, size):
        """One large member: the streamed paths of creation and extraction,
        to a file and through a pipe."""
        tree, path = datasets.sparse_file(self.data, size)
        label = "a %d GiB sparse file" % (size >> 30) if size >= 1 << 30 else "a %d MiB sparse file" % (size >> 20)
        parent, base = q(os.path.dirname(tree)), q(os.path.basename(tree))
        arc, tgz = self.w("large.mdt"), self.w("large.tgz")
        # The spool of -a - goes where the outputs go, on the tmpfs.
        spool = "TMPDIR=%s " % q(self.work)

        def arc_of(tag):
            return self.w("large%s.mdt" % tag)

        def piped_of(tag):
            return self.w("large-piped%s.mdt" % tag)

        def same_as_file():
            for tag, _ in self.variants:
                if subprocess.run(["cmp", "-s", piped_of(tag), arc_of("")]).returncode != 0:
                    raise RuntimeError("the archive through the pipe at %r differs from the file's" % tag)
        self.compare("large-create", "-f -a, %s" % label,
                     lambda tag, j: (self.m(j, "-f", tree, "-a", arc_of(tag)), rm(arc_of(tag), "-f")),
                     [Peer("pigz", "tar | %s" % self.pigz(), self.tar_gz(tree, tgz, self.pigz()), rm(tgz, "-f"), 1.2)],
                     check=lambda: self.same_across_j(arc_of, "the archive"))
        self.compare("large-pipe-create", "-f -a - | cat, %s" % label,
                     lambda tag, j: (spool + self.m(j, "-f", tree, "-a", "-") + " | cat > " + q(piped_of(tag)),
                                     rm(piped_of(tag), "-f")),
                     [Peer("pigz", "tar | %s | cat" % self.pigz(),
                           "tar -cf - -C %s %s | %s | cat > %s" % (parent, base, self.pigz(), q(tgz)),
                           rm(tgz, "-f"), None)],
                     check=same_as_file)
        if not (self.wanted("large-extract") or self.wanted("large-pipe-extract")):
            return
        if not os.path.exists(arc_of("")):
            self.run(self.m([], "-f", tree, "-a", arc_of("")), stderr=subprocess.DEVNULL)
        if not os.path.exists(tgz):
            self.run(self.tar_gz(tree, tgz, self.pigz()))
        out_p = self.w("large-out-tar")

        def out_m(tag):
            return self.w("large-out-mdtree%s" % tag)
        # Every output is the whole file: each run removes them all first,
        # so that the tmpfs holds one at a time, and the check makes its own.
        outs = [out_m(tag) for tag, _ in self.variants] + [out_p]
        reset = "rm -rf %s && mkdir %s" % (" ".join(q(o) for o in outs), q(out_p))

        def check(piped):
            for tag, jflags in self.variants:
                feed = "cat %s | " % q(arc_of("")) if piped else ""
                self.run(reset)
                self.run(feed + spool + self.m(jflags, "-t", out_m(tag), "-a", "-" if piped else arc_of("")),
                         stderr=subprocess.DEVNULL)
                self.run(["cmp", path, os.path.join(out_m(tag), "disk.img")])
            self.run(reset)
            self.run("pigz -d < %s | tar -x -C %s" % (q(tgz), q(out_p)))
            self.run(["cmp", path, os.path.join(out_p, os.path.basename(tree), "disk.img")])
            self.run(reset)
        self.compare("large-extract", "-t -a, %s" % label,
                     lambda tag, j: (self.m(j, "-t", out_m(tag), "-a", arc_of("")), reset),
                     [Peer("pigz", "pigz -d | tar -x", "pigz -d < %s | tar -x -C %s" % (q(tgz), q(out_p)), reset,
                           1.2)],
                     check=lambda: check(False))
        self.compare("large-pipe-extract", "cat | -t -a -, %s" % label,
                     lambda tag, j: ("cat %s | %s" % (q(arc_of("")), spool + self.m(j, "-t", out_m(tag), "-a", "-")),
                                     reset),
                     [Peer("pigz", "cat | pigz -d | tar -x", "cat %s | pigz -d | tar -x -C %s" % (q(tgz), q(out_p)),
                           reset, None)],
                     check=lambda: check(True))
        self.run(reset)
        shutil.rmtree(out_p, ignore_errors=True)

    def database(self, tree, n):
        copy = self.w("db-cp")
        cp = Peer("cp", "cp -r", "cp -r %s %s" % (q(tree), q(copy)), rm(copy), 1.0)

        def db(tag):
            return self.w("db" + tag)
        self.compare("db-in", "-i, %d files" % n,
                     lambda tag, j: (self.m(j, "-R", db(tag), "-i", tree), rm(db(tag))), [cp],
                     check=lambda: self.same_across_j(db, "the store"))
        if not self.wanted("db-out"):
            return
        listing = self.w("db.listing")
        self.run(self.m([], "-l", tree, out=listing))
        if not os.path.isdir(db("")):
            self.run(self.m([], "-R", db(""), "-i", tree), stdout=subprocess.DEVNULL)

        def out(tag):
            return self.w("db-out" + tag)

        def check():
            for tag, _ in self.variants:
                self.diff(tree, out(tag))
        self.compare("db-out", "-o from a listing, %d files" % n,
                     lambda tag, j: (self.m(j, "-R", db(""), "-o", listing, cwd=out(tag)),
                                     "rm -rf %s && mkdir %s" % (q(out(tag)), q(out(tag)))),
                     [cp], check=check)

    def cached(self, t20k, n20k, tiny, n_tiny):
        """An unchanged tree with a warm stat cache: the runs before the
        timed ones (hyperfine's warm-up) fill it. Each variant has a cache
        of its own, and the outputs must be those without the cache."""
        def cache(key, tag):
            return self.w("%s%s.cache" % (key, tag))

        def same_listing(tree, key):
            def check():
                want = subprocess.run([self.mdtree, "-l", tree], stdout=subprocess.PIPE, check=True).stdout
                for tag, jflags in self.variants:
                    got = subprocess.run([self.mdtree, *jflags, "--cache", cache(key, tag), "-l", tree],
                                         stdout=subprocess.PIPE, check=True).stdout
                    if got != want:
                        raise RuntimeError("the listing with the cache differs from the one without")
            return check

        for key, tree, label in (("cache-list20k", t20k, "%d files of 1-16 KiB" % n20k),
                                 ("cache-list200k", tiny, "%d tiny files" % n_tiny)):
            if tree is None:
                continue
            find = "find %s -type f -printf '%%s %%T@ %%p\\n' >/dev/null" % q(tree)
            self.compare(key, "-l with a warm cache, %s" % label,
                         lambda tag, j, key=key, tree=tree: (self.m(j, "--cache", cache(key, tag), "-l", tree), None),
                         [Peer("find", "find -printf (stat floor)", find, None, 1.5)],
                         check=same_listing(tree, key))
        if self.wanted("cache-list1g"):
            big, _ = datasets.big_file(self.data, self.args.big_mib << 20)
            self.compare("cache-list1g", "-l with a warm cache, one %d MiB file" % self.args.big_mib,
                         lambda tag, j: (self.m(j, "--cache", cache("cache-list1g", tag), "-l", big), None),
                         [Peer("uncached", "-l without the cache", self.m([], "-l", big), None, 0.05)],
                         check=same_listing(big, "cache-list1g"))
        if self.wanted("cache-db"):
            store = self.w("cache-db")
            copy = self.w("cache-db-rsync")
            self.run(rm(store))
            self.run(self.m([], "-R", store, "-i", t20k), stdout=subprocess.DEVNULL)
            self.run("rsync -a %s/ %s/" % (q(t20k), q(copy)))
            # restic's second backup of the same tree reads only what its
            # parent snapshot's metadata says changed.
            repo = self.w("cache-db-restic")
            self.run(rm(repo) + " " + q(repo + ".cache"))
            restic = "RESTIC_PASSWORD=bench restic --cache-dir %s -q -r %s" % (q(repo + ".cache"), q(repo))
            self.run("%s init >/dev/null && %s backup %s >/dev/null" % (restic, restic, q(t20k)))

            def check():
                for tag, jflags in self.variants:
                    self.diff(t20k, copy)
                    got = subprocess.run([self.mdtree, *jflags, "--cache", cache("cache-db", tag), "-R", store,
                                          "-i", t20k], stdout=subprocess.PIPE, check=True).stdout
                    want = subprocess.run([self.mdtree, "-R", store, "-i", t20k], stdout=subprocess.PIPE,
                                          check=True).stdout
                    if got != want:
                        raise RuntimeError("-i with the cache reports otherwise than without it")
            self.compare("cache-db", "-i with a warm cache, %d files already stored" % n20k,
                         lambda tag, j: (self.m(j, "--cache", cache("cache-db", tag), "-R", store, "-i", t20k), None),
                         [Peer("rsync", "rsync -a (quick check)", "rsync -a %s/ %s/" % (q(t20k), q(copy)), None,
                               1.5),
                          Peer("restic", "restic backup, second run", "%s backup %s" % (restic, q(t20k)), None,
                               0.2)],
                         check=check)

    def cached_patch(self, old, new, label):
        """Patch creation between two releases with both trees in a warm
        cache, against the same without the cache (target <= 0.3): what
        the cache leaves is reading and copying the files that changed."""
        def cache(tag):
            return self.w("patch-ts%s.cache" % tag)

        def patch(tag):
            return self.w("patch-ts" + tag)
        # Warm: the trees were unpacked moments ago, and the racy rule
        # trusts only files older than the cache by two seconds.
        time.sleep(2.5)
        for tag, jflags in self.variants:
            self.run(self.m(jflags, "--cache", cache(tag), "-f", old, "-t", new, "-p", patch(tag), out="/dev/null"))

        def check():
            plain = self.w("patch-ts.plain")
            self.run(rm(plain) + " && " + self.m([], "-f", old, "-t", new, "-p", plain, out="/dev/null"))
            for tag, _ in self.variants:
                self.diff(plain, patch(tag))
        self.compare("cache-patch", "patch creation with both trees cached, %s" % label,
                     lambda tag, j: (self.m(j, "--cache", cache(tag), "-f", old, "-t", new, "-p", patch(tag)),
                                     rm(patch(tag))),
                     [Peer("uncached", "patch creation without the cache",
                           self.m([], "-f", old, "-t", new, "-p", self.w("patch-ts-uncached")),
                           rm(self.w("patch-ts-uncached")), 0.3)],
                     check=check)

    def cache_memory(self, counts):
        """Peak memory of -l of one flat directory, without the cache, with
        a cold one (none yet) and with a warm one, and of -l of a small
        directory beside it with the warm cache of both (a walk that
        reaches part of the cache). What the cache adds per entry, less
        its name, is the figure (target <= 64 bytes)."""
        for n in counts:
            tree = datasets.flat_files(self.data, "flat%d" % n, n, 1000)
            flat, part = os.path.join(tree, "flat"), os.path.join(tree, "part")
            cache = self.w("flat%d.cache" % n)
            rm_cache = rm(cache, "-f")
            plain = self.peak_kib(self.m([], "-l", flat, out="/dev/null"))
            cold = self.peak_kib(self.m([], "--cache", cache, "-l", flat, out="/dev/null"), rm_cache)
            warm = self.peak_kib(self.m([], "--cache", cache, "-l", flat, out="/dev/null"))
            self.run(self.m([], "--cache", cache, "-l", tree, out="/dev/null"))
            part_plain = self.peak_kib(self.m([], "-l", part, out="/dev/null"))
            part_warm = self.peak_kib(self.m([], "--cache", cache, "-l", part, out="/dev/null"))
            name = len("file0000000")
            cold_b, warm_b = ((v - plain) * 1024 / n for v in (cold, warm))
            beyond = max(cold_b, warm_b) - name
            ok = beyond <= 64
            rec = ("%d files in one directory: peak %.1f MiB without the cache, %.1f cold, %.1f warm: "
                   "%+.1f / %+.1f bytes per entry, %.1f beyond its %d-byte name (target <= 64, %s); "
                   "-l of a 1,000-file directory beside it, the whole cache warm: %.1f MiB, %.1f without"
                   % (n, plain / 1024, cold / 1024, warm / 1024, cold_b, warm_b, beyond, name,
                      "met" if ok else "MISSED", part_warm / 1024, part_plain / 1024))
            print("cache-memory: " + rec, flush=True)
            self.memory.append(rec)
            if not ok:
                self.failures.append(("cache-memory", rec))
            self.run(rm_cache)

    def patches(self, old, new, label):
        batch = self.w("rsync.batch")
        write_batch = "rsync -rc --only-write-batch=%s %s/ %s/" % (q(batch), q(new), q(old))

        def patch(tag):
            return self.w("patch" + tag)
        self.compare("patch-create", "patch creation, %s" % label,
                     lambda tag, j: (self.m(j, "-f", old, "-t", new, "-p", patch(tag)), rm(patch(tag))),
                     [Peer("rsync", "rsync -rc --only-write-batch", write_batch,
                           "rm -f %s %s.sh" % (q(batch), q(batch)), 0.5)],
                     check=lambda: self.same_across_j(patch, "the patch"))
        if not self.wanted("patch-apply"):
            return
        pristine = self.w("patch.pristine")
        if not os.path.isdir(pristine):
            self.run(self.m([], "-f", old, "-t", new, "-p", pristine), stdout=subprocess.DEVNULL)
        if not os.path.exists(batch):
            self.run(write_batch)
        tree_p = self.w("apply-rsync")

        def tree_m(tag):
            return self.w("apply-mdtree" + tag)

        def patch_m(tag):
            return self.w("patch.apply" + tag)

        def ours(tag, j):
            t, p = tree_m(tag), patch_m(tag)
            return (self.m(j, "-f", t, "-p", p),
                    "rm -rf %s %s && cp -r %s %s && cp -r %s %s" % (q(t), q(p), q(old), q(t), q(pristine), q(p)))

        def check():
            for tag, _ in self.variants:
                self.diff(new, tree_m(tag))
            self.diff(new, tree_p)
        self.compare("patch-apply", "patch application, %s" % label, ours,
                     [Peer("rsync", "rsync -rc --read-batch", "rsync -rc --read-batch=%s %s/" % (q(batch), q(tree_p)),
                           "rm -rf %s && cp -r %s %s" % (q(tree_p), q(old), q(tree_p)), 1.0)],
                     check=check)

    def scale(self, small, big, n_small, n_big):
        """The same four jobs on n_small and n_big tiny files, mdtree at each
        -j and the parallel peer of each on the same trees: how far the
        platform itself (directory and inode caches, page cache) departs from
        linear at that size."""
        (t1, c1), (t2, c2) = small, big
        sizes = {"small": (t1, c1, n_small), "big": (t2, c2, n_big)}

        # Each job: key, label, mdtree's (command, prepare) and the peer's,
        # given the trees, the file count, the output's name and -j.
        jobs = [
            ("scale-list", "-l",
             lambda t, c, n, k, j: (self.m(j, "-l", t), None),
             lambda t, c, n, k: (self.md5sum_peers(t, n, None)[0].cmd, None)),
            ("scale-archive", "-f -a",
             lambda t, c, n, k, j: (self.m(j, "-f", t, "-a", self.w(k + ".mdt")), rm(self.w(k + ".mdt"), "-f")),
             lambda t, c, n, k: (self.tar_gz(t, self.w(k + ".tgz"), self.pigz()), rm(self.w(k + ".tgz"), "-f"))),
            ("scale-db-in", "-i",
             lambda t, c, n, k, j: (self.m(j, "-R", self.w(k + "-db"), "-i", t), rm(self.w(k + "-db"))),
             lambda t, c, n, k: ("cp -r %s %s" % (q(t), q(self.w(k + "-cp"))), rm(self.w(k + "-cp")))),
            ("scale-patch", "patch creation",
             lambda t, c, n, k, j: (self.m(j, "-f", t, "-t", c, "-p", self.w(k + "-patch")), rm(self.w(k + "-patch"))),
             lambda t, c, n, k: ("rsync -rc --only-write-batch=%s %s/ %s/" % (q(self.w(k + ".batch")), q(c), q(t)),
                                 rm(self.w(k + ".batch"), "-f"))),
        ]
        for key, label, ours, peer in jobs:
            if not self.wanted(key):
                continue
            print("%s: %s on %d vs %d tiny files" % (key, label, n_small, n_big), flush=True)
            commands, made = [], {}
            for tag, jflags in self.variants:
                for size, (t, c, n) in sizes.items():
                    made[size + tag] = ours(t, c, n, "%s-%s%s" % (key, size, tag), jflags)
                    commands.append((size + tag,) + made[size + tag])
            for size, (t, c, n) in sizes.items():
                commands.append(("peer-" + size,) + peer(t, c, n, "%s-peer-%s" % (key, size)))
            r = self.hyperfine(key, commands, self.args.scale_runs)
            rec = {"label": label, "r": r}
            self.scaling.append(rec)
            if r is None:
                continue
            # Memory and instructions at the default -j: the threads add
            # their buffers in flight.
            rec["peak"] = [self.peak_kib(*made[size]) * 1024 for size in sizes]
            rec["limit"] = [(32 << 20) + 200 * n for n in (n_small, n_big)]
            rec["x"] = {tag: r["big" + tag]["median"] / r["small" + tag]["median"] for tag, _ in self.variants}
            rec["peer x"] = r["peer-big"]["median"] / r["peer-small"]["median"]
            ok = (all(x <= 1.1 * n_big / n_small for x in rec["x"].values())
                  and all(p <= lim for p, lim in zip(rec["peak"], rec["limit"])))
            rec["verdict"] = "met" if ok else "MISSED"
            if self.args.instructions:
                rec["instr x"] = self.instructions(*made["big"]) / self.instructions(*made["small"])
            print("  %.3f s -> %.3f s (x%.2f; at -j 1 %s; the peer x%.2f), peak %.1f / %.1f MiB" % (
                r["small"]["median"], r["big"]["median"], rec["x"][""],
                "x%.2f" % rec["x"]["-j1"] if "-j1" in rec["x"] else "n/a", rec["peer x"],
                rec["peak"][0] / 2**20, rec["peak"][1] / 2**20), flush=True)

    # ---- report --------------------------------------------------------

    def report(self, started, load0):
        lines = []
        add = lines.append
        add("")
        add("mdtree %s, %d runs per command after %d warm-up run(s), medians" % (
            self.mdtree, self.args.runs, self.args.warmup))
        if self.j_status == 0:
            add("mdtree takes -j: the -j 1 column is its serial speed, the mdtree column its default "
                "(one thread per CPU, %d here)" % self.ncpu)
        else:
            add("mdtree does not take -j (mdtree -j 1 -l exits with %d): the -j 1 column is n/a and the mdtree "
                "column is whatever the binary does" % self.j_status)
        add("parallel peers run %d processes or threads (the CPUs this process may run on)" % self.ncpu)
        add("data sets in %s (%s); outputs written to %s (%s)" % (
            self.data, fs_type(self.data), self.work, fs_type(self.work)))
        lines += self.storage_warnings()
        add("machine: %d cores, %d usable here; load average %.2f at the start, %.2f at the end; %.0f s in all" % (
            os.cpu_count(), self.ncpu, load0, os.getloadavg()[0], time.time() - started))
        add("")
        add("ratio: mdtree's median over the peer's, at -j 1 and at the default; cpu: the default's mean CPU")
        add("time (user + system) over the peer's, which shows what the ratio would be without the load of")
        add("other processes, and how much CPU the threads spend for the time they save")
        width = max([len(r.title) for r in self.rows] + [4])
        fmt = "%-" + str(width) + "s %10s %10s %10s %8s %6s %6s %8s  %s"
        add(fmt % ("work", "mdtree -j1", "mdtree", "peer", "ratio -j1", "ratio", "cpu", "target", "verdict"))
        na = "-" if self.j_status == 0 else "n/a"
        for row in self.rows:
            target = row.target if isinstance(row.target, str) else (
                "-" if row.target is None else "<= %.2f" % row.target)
            if row.m is None:
                add(fmt % (row.title, "-", "-", "-", "-", "-", "-", target, row.verdict))
                continue
            if "mbs" in row.m:
                add(fmt % (row.title, "-", "%.0f MB/s" % row.m["mbs"], "%.0f MB/s" % row.p["mbs"], "-",
                           "%.2f" % (row.m["mbs"] / row.p["mbs"]), "-", target, row.verdict + "  " + row.note))
                continue
            p = row.p["median"]
            m1, r1 = ("%.3f s" % row.m1["median"], "%.2f" % (row.m1["median"] / p)) if row.m1 else (na, na)
            cpu = "%.2f" % (row.m["cpu"] / row.p["cpu"]) if row.p["cpu"] > 0 else "-"
            add(fmt % (row.title, m1, "%.3f s" % row.m["median"], "%.3f s" % p, r1,
                       "%.2f" % (row.m["median"] / p), cpu, target,
                       row.verdict + ("  " + row.note if row.note else "")))
        if self.scaling:
            self.report_scaling(add)
        if self.memory:
            add("")
            add("memory of the stat cache, one run each (GNU time's peak resident set):")
            for rec in self.memory:
                add("  " + rec)
        add("")
        add("spread: min-max of the timed runs, and mean CPU time (user + system) per run")
        for row in self.rows:
            if row.m and "median" in row.m:
                add("  %-*s %smdtree %s; peer %s" % (
                    width, row.title, "mdtree -j 1 %s; " % self.spread(row.m1) if row.m1 else "",
                    self.spread(row.m), self.spread(row.p)))
        for rec in self.scaling:
            r = rec["r"]
            if r:
                add("  %-*s %s" % (width, "scaling " + rec["label"], "; ".join(
                    "%s %s" % (name, self.spread(s)) for name, s in r.items())))
        for key, tail in self.failures:
            add("")
            add("FAILED %s:" % key)
            add(tail)
        text = "\n".join(lines) + "\n"
        sys.stdout.write(text)
        with open(os.path.join(self.scratch, "results.txt"), "w") as f:
            f.write(text)

    @staticmethod
    def spread(s):
        return "%.3f-%.3f s cpu %.3f s" % (s["min"], s["max"], s["cpu"])

    def report_scaling(self, add):
        na = "-" if self.j_status == 0 else "n/a"
        add("")
        add("scaling, %d runs per command: %d vs %d tiny files (target: <= 11x the time, at every -j; "
            "peak <= 32 MiB + 200 B/file)" % (self.args.scale_runs, self.n_small, self.n_big))
        add("x: big over small, medians; cpu x: the same for CPU time; peer x: the parallel peer's own factor on")
        add("the same trees; instr x: mdtree's own instructions (callgrind, with --instructions), which no load")
        add("changes; peaks at the default -j")
        fmt = "%-16s %9s %9s %6s %9s %9s %6s %6s %7s %8s %11s %11s %11s  %s"
        add(fmt % ("job", "small -j1", "big -j1", "x -j1", "small", "big", "x", "cpu x", "peer x", "instr x",
                   "peak small", "peak big", "limit big", "verdict"))
        for rec in self.scaling:
            r = rec["r"]
            if r is None:
                add(fmt % ((rec["label"],) + ("-",) * 12 + ("FAILED",)))
                continue
            if "small-j1" in r:
                j1 = ("%.3f s" % r["small-j1"]["median"], "%.3f s" % r["big-j1"]["median"], "%.2f" % rec["x"]["-j1"])
            else:
                j1 = (na, na, na)
            mib = lambda b: "%.1f MiB" % (b / 2**20)
            add(fmt % ((rec["label"],) + j1 + (
                "%.3f s" % r["small"]["median"], "%.3f s" % r["big"]["median"], "%.2f" % rec["x"][""],
                "%.2f" % (r["big"]["cpu"] / r["small"]["cpu"]), "%.2f" % rec["peer x"],
                "%.2f" % rec["instr x"] if "instr x" in rec else "-",
                mib(rec["peak"][0]), mib(rec["peak"][1]), mib(rec["limit"][1]), rec["verdict"])))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mdtree", required=True, help="the mdtree binary to time")
    ap.add_argument("--md5-bench", required=True, help="the md5_bench program")
    ap.add_argument("--scratch", required=True, help="where data sets, logs and results go")
    ap.add_argument("--work", help="where the timed commands write (default: SCRATCH/work); emptied at the end")
    ap.add_argument("--runs", type=int, default=5, help="timed runs per command (default 5)")
    ap.add_argument("--scale-runs", type=int, default=3, help="timed runs per command of the scaling rows (default 3)")
    ap.add_argument("--warmup", type=int, default=1, help="untimed runs first, to warm the cache (default 1)")
    ap.add_argument("--instructions", action="store_true",
                    help="also count the instructions of the scaling rows with callgrind (some minutes more)")
    ap.add_argument("--scale", type=float, default=1.0,
                    help="multiply every file count and size by this (0.1 for a quick try of the script)")
    ap.add_argument("--package", default="date-fns", help="npm package of the pkg and patch rows (default date-fns)")
    ap.add_argument("--old", default="2.29.3", help="its older version (default 2.29.3)")
    ap.add_argument("--new", default="2.30.0", help="its newer version (default 2.30.0)")
    # The last release of typescript written in JavaScript: the releases
    # after it are a small launcher for compiled programs in other packages.
    ap.add_argument("--big-package", default="typescript@5.9.3",
                    help="npm package of the ts rows (default typescript@5.9.3)")
    ap.add_argument("--ts-old", default="5.4.5", help="older typescript of the cache-patch row (default 5.4.5)")
    ap.add_argument("--ts-new", default="5.6.3", help="newer typescript of the cache-patch row (default 5.6.3)")
    ap.add_argument("only", nargs="*",
                    help="rows to run (md5, list1g, list20k, check, dup, large, pkg, ts, db, patch, cache, scale); all by default")
    args = ap.parse_args()
    args.big_mib = max(1, int(1024 * args.scale))

    b = Bench(args)
    started, load0 = time.time(), os.getloadavg()[0]
    for line in b.storage_warnings():
        print(line, flush=True)
    if b.j_status != 0:
        print("mdtree -j 1 -l exits with %d: the -j 1 runs are left out" % b.j_status, flush=True)
    n20k = max(100, int(20000 * args.scale))
    b.n_small, b.n_big = n20k, n20k * 10

    b.md5_module()
    b.listing_big()
    if b.wanted("list20k") or b.wanted("db") or b.wanted("check"):
        t20k = datasets.small_files(b.data, "small%d" % n20k, n20k, 0.0, 20000)
        b.listing_small(t20k, n20k)
        b.checking(t20k, n20k)
    if b.wanted("dup"):
        dup = datasets.small_files(b.data, "dup%d" % n20k, n20k, 0.10, 20010)
        b.archives("dup", dup, "%d files, 10%% duplicates" % n20k, 0.6, 0.4)
    if b.wanted("large"):
        b.large(max(1 << 20, int(5 * args.scale * (1 << 30))))
    if b.wanted("pkg") or b.wanted("patch"):
        old = datasets.npm_package(b.data, "%s@%s" % (args.package, args.old))
        new = datasets.npm_package(b.data, "%s@%s" % (args.package, args.new))
        b.archives("pkg", new, "%s %s" % (args.package, args.new), 0.6, None)
        b.patches(old, new, "%s %s -> %s" % (args.package, args.old, args.new))
    if b.wanted("ts"):
        ts = datasets.npm_package(b.data, args.big_package)
        b.archives("ts", ts, args.big_package.replace("@", " "), 0.6, None)
    if b.wanted("db"):
        b.database(t20k, n20k)
    if any(b.wanted(k) for k in ("cache-list20k", "cache-list200k", "cache-list1g", "cache-db")):
        t20k = datasets.small_files(b.data, "small%d" % n20k, n20k, 0.0, 20000)
        tiny = datasets.tiny_files(b.data, "tiny%d" % b.n_big, b.n_big, 30001)[0] \
            if b.wanted("cache-list200k") else None
        b.cached(t20k, n20k, tiny, b.n_big)
    if b.wanted("cache-patch"):
        # Fetched once into the data sets; offline, the row is left out.
        try:
            pair = [datasets.npm_package(b.data, "typescript@" + v) for v in (args.ts_old, args.ts_new)]
        except (subprocess.CalledProcessError, OSError) as e:
            print("cache-patch: typescript %s and %s could not be fetched (%s): left out"
                  % (args.ts_old, args.ts_new, e), flush=True)
            pair = None
        if pair:
            b.cached_patch(*pair, "typescript %s -> %s" % (args.ts_old, args.ts_new))
    if b.wanted("cache-memory"):
        b.cache_memory([max(1000, int(200000 * args.scale)), max(1000, int(1000000 * args.scale))])
    if b.wanted("scale"):
        small = datasets.tiny_files(b.data, "tiny%d" % b.n_small, b.n_small, 30000)
        big = datasets.tiny_files(b.data, "tiny%d" % b.n_big, b.n_big, 30001)
        b.scale(small, big, b.n_small, b.n_big)
    b.report(started, load0)
    shutil.rmtree(b.work, ignore_errors=True)
    return 1 if b.failures else 0


if __name__ == "__main__":
    sys.exit(main())
