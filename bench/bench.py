"""Times mdtree against the tools a user would pick instead (md5sum, openssl,
cp, tar with gzip, rsync) on the same data, warm cache, and prints one table:
mdtree's median, the peer's median, their ratio and the target per row, and
for the scaling rows the time of ten times the files and the peak memory.

Started by bench/run, which builds the programs; see --help.
"""

import argparse
import json
import os
import shlex
import shutil
import subprocess
import sys
import time

import datasets

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
        self.rows = []      # (title, mdtree, peer, ratio, target, verdict, note)
        # (job, small, big, ratio, peer ratio, peak small, peak big, limit big, (peer small, peer big),
        #  verdict, instruction ratio)
        self.scaling = []
        self.failures = []

    # ---- helpers -------------------------------------------------------

    def w(self, *parts):
        return os.path.join(self.work, *parts)

    def run(self, cmd, **kw):
        return subprocess.run(cmd, shell=isinstance(cmd, str), check=True, **kw)

    def hyperfine(self, key, commands, runs=None):
        """commands: list of (name, command, prepare). Returns {name: stats}
        with median/min/max seconds, or None when a command failed."""
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

    def compare(self, key, title, mdtree, peer, target, prep_m=None, prep_p=None, check=None, runs=None):
        if not self.wanted(key):
            return
        print("%s: %s" % (key, title), flush=True)
        r = self.hyperfine(key, [("mdtree", mdtree, prep_m), ("peer", peer, prep_p)], runs)
        if r is None:
            self.rows.append((title, None, None, None, target, "FAILED", ""))
            return
        note = ""
        if check:
            try:
                check()
            except Exception as e:  # a wrong result voids the timing
                note = "WRONG OUTPUT: %s" % e
        m, p = r["mdtree"], r["peer"]
        ratio = m["median"] / p["median"]
        verdict = "met" if ratio <= target and not note else "MISSED"
        self.rows.append((title, m, p, ratio, "<= %.2f" % target, verdict, note))
        print("  mdtree %.3f s, peer %.3f s, ratio %.2f (%s)" % (m["median"], p["median"], ratio, verdict), flush=True)

    def wanted(self, key):
        only = self.args.only
        # A group ("dup") is wanted for any of its rows ("dup-extract"), and
        # a row for its group.
        return not only or any(key == o or key.startswith(o + "-") or o.startswith(key + "-") for o in only)

    def diff(self, a, b):
        r = subprocess.run(["diff", "-r", "-q", a, b], stdout=subprocess.PIPE, text=True)
        if r.returncode != 0:
            raise RuntimeError("trees differ: %s" % r.stdout[:300])

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
            self.rows.append(("MD5 module MB/s, %s buffers (CPU time)" % label,
                              {"mbs": m}, {"mbs": o}, ratio, ">= 0.95", verdict, "higher is better"))
            print("  %s: mdtree %.0f MB/s, OpenSSL %.0f MB/s, ratio %.3f" % (label, m, o, ratio), flush=True)

    def listing_big(self):
        if not self.wanted("list1g"):
            return
        tree, path = datasets.big_file(self.data, self.args.big_mib << 20)
        self.compare("list1g-openssl", "-l on a %d MiB file vs openssl md5" % self.args.big_mib,
                     sh(self.mdtree, "-l", tree), sh("openssl", "md5", path), 1.05)
        self.compare("list1g-md5sum", "-l on a %d MiB file vs md5sum" % self.args.big_mib,
                     sh(self.mdtree, "-l", tree), sh("md5sum", path), 1.05)

    def listing_small(self, tree, n):
        def check():
            ours = subprocess.run([self.mdtree, "-l", tree], stdout=subprocess.PIPE, check=True).stdout
            theirs = subprocess.run("cd %s && find . -type f -print0 | xargs -0 md5sum" % q(tree), shell=True,
                                    stdout=subprocess.PIPE, check=True).stdout
            a = sorted(ours.splitlines())
            b = sorted(line[:34] + line[36:] for line in theirs.splitlines())
            if a != b:
                raise RuntimeError("listing differs from md5sum")
        self.compare("list20k", "-l on %d files of 1-16 KiB vs find | xargs md5sum" % n,
                     sh(self.mdtree, "-l", tree),
                     "find %s -type f -print0 | xargs -0 md5sum" % q(tree), 1.0, check=check)

    def archives(self, key, tree, label):
        arc, tgz = self.w(key + ".mdt"), self.w(key + ".tgz")
        parent, base = os.path.dirname(tree), os.path.basename(tree)
        tar_c = "tar -cf - -C %s %s | gzip -9 > %s" % (q(parent), q(base), q(tgz))
        self.compare(key + "-create", "-f DIR -a FILE, %s vs tar | gzip -9" % label,
                     sh(self.mdtree, "-f", tree, "-a", arc), tar_c, 1.0,
                     prep_m="rm -f %s" % q(arc), prep_p="rm -f %s" % q(tgz))
        if not self.wanted(key + "-extract"):
            return
        # Extraction needs both archives, whichever rows ran.
        if not os.path.exists(arc):
            self.run(sh(self.mdtree, "-f", tree, "-a", arc), stderr=subprocess.DEVNULL)
        if not os.path.exists(tgz):
            self.run(tar_c)
        out_m, out_p = self.w(key + "-out-mdtree"), self.w(key + "-out-tar")
        self.compare(key + "-extract", "-t DIR -a FILE, %s vs tar -xzf" % label,
                     sh(self.mdtree, "-t", out_m, "-a", arc), "tar -xzf %s -C %s" % (q(tgz), q(out_p)), 1.3,
                     prep_m="rm -rf %s" % q(out_m), prep_p="rm -rf %s && mkdir %s" % (q(out_p), q(out_p)),
                     check=lambda: (self.diff(tree, out_m), self.diff(tree, os.path.join(out_p, base))))

    def database(self, tree, n):
        db, copy = self.w("db"), self.w("db-cp")
        self.compare("db-in", "-i, %d files vs cp -r" % n,
                     sh(self.mdtree, "-R", db, "-i", tree), "cp -r %s %s" % (q(tree), q(copy)), 1.5,
                     prep_m="rm -rf %s" % q(db), prep_p="rm -rf %s" % q(copy))
        if not self.wanted("db-out"):
            return
        listing = self.w("db.listing")
        self.run(sh(self.mdtree, "-l", tree, out=listing))
        if not os.path.isdir(db):
            self.run(sh(self.mdtree, "-R", db, "-i", tree), stdout=subprocess.DEVNULL)
        out = self.w("db-out")
        self.compare("db-out", "-o from a listing, %d files vs cp -r" % n,
                     sh(self.mdtree, "-R", db, "-o", listing, cwd=out), "cp -r %s %s" % (q(tree), q(copy)), 1.5,
                     prep_m="rm -rf %s && mkdir %s" % (q(out), q(out)), prep_p="rm -rf %s" % q(copy),
                     check=lambda: self.diff(tree, out))

    def patches(self, old, new, label):
        patch, batch = self.w("patch"), self.w("rsync.batch")
        self.compare("patch-create", "patch creation, %s vs rsync -rc --only-write-batch" % label,
                     sh(self.mdtree, "-f", old, "-t", new, "-p", patch),
                     "rsync -rc --only-write-batch=%s %s/ %s/" % (q(batch), q(new), q(old)), 1.0,
                     prep_m="rm -rf %s" % q(patch), prep_p="rm -f %s %s.sh" % (q(batch), q(batch)))
        if not self.wanted("patch-apply"):
            return
        pristine = self.w("patch.pristine")
        if not os.path.isdir(pristine):
            self.run(sh(self.mdtree, "-f", old, "-t", new, "-p", pristine), stdout=subprocess.DEVNULL)
        if not os.path.exists(batch):
            self.run("rsync -rc --only-write-batch=%s %s/ %s/" % (q(batch), q(new), q(old)))
        tree_m, tree_p, patch_m = self.w("apply-mdtree"), self.w("apply-rsync"), self.w("patch.apply")
        self.compare("patch-apply", "patch application, %s vs rsync -rc --read-batch" % label,
                     sh(self.mdtree, "-f", tree_m, "-p", patch_m), "rsync -rc --read-batch=%s %s/" % (q(batch), q(tree_p)),
                     1.0,
                     prep_m="rm -rf %s %s && cp -r %s %s && cp -r %s %s" % (
                         q(tree_m), q(patch_m), q(old), q(tree_m), q(pristine), q(patch_m)),
                     prep_p="rm -rf %s && cp -r %s %s" % (q(tree_p), q(old), q(tree_p)),
                     check=lambda: (self.diff(new, tree_m), self.diff(new, tree_p)))

    def scale(self, small, big, n_small, n_big):
        """The same four jobs on n_small and n_big tiny files, and the peer of
        each on the same trees: how far the platform itself (directory and
        inode caches, page cache) departs from linear at that size."""
        (t1, c1), (t2, c2) = small, big

        def rm(path, flag="-rf"):
            return "rm %s %s" % (flag, q(path))

        def tgz(t, k):
            return "tar -cf - -C %s %s | gzip -9 > %s" % (q(os.path.dirname(t)), q(os.path.basename(t)),
                                                        q(self.w(k + ".tgz")))

        jobs = [
            ("scale-list", "-l",
             lambda t, c, k: (sh(self.mdtree, "-l", t), None),
             lambda t, c, k: ("find %s -type f -print0 | xargs -0 md5sum" % q(t), None)),
            ("scale-archive", "-f -a",
             lambda t, c, k: (sh(self.mdtree, "-f", t, "-a", self.w(k + ".mdt")), rm(self.w(k + ".mdt"), "-f")),
             lambda t, c, k: (tgz(t, k), rm(self.w(k + ".tgz"), "-f"))),
            ("scale-db-in", "-i",
             lambda t, c, k: (sh(self.mdtree, "-R", self.w(k + "-db"), "-i", t), rm(self.w(k + "-db"))),
             lambda t, c, k: ("cp -r %s %s" % (q(t), q(self.w(k + "-cp"))), rm(self.w(k + "-cp")))),
            ("scale-patch", "patch creation",
             lambda t, c, k: (sh(self.mdtree, "-f", t, "-t", c, "-p", self.w(k + "-patch")), rm(self.w(k + "-patch"))),
             lambda t, c, k: ("rsync -rc --only-write-batch=%s %s/ %s/" % (q(self.w(k + ".batch")), q(c), q(t)),
                              rm(self.w(k + ".batch"), "-f"))),
        ]
        for key, label, ours, peer in jobs:
            if not self.wanted(key):
                continue
            print("%s: %s on %d vs %d tiny files" % (key, label, n_small, n_big), flush=True)
            cmd1, prep1 = ours(t1, c1, key + "-small")
            cmd2, prep2 = ours(t2, c2, key + "-big")
            pcmd1, pprep1 = peer(t1, c1, key + "-peer-small")
            pcmd2, pprep2 = peer(t2, c2, key + "-peer-big")
            r = self.hyperfine(key, [("small", cmd1, prep1), ("big", cmd2, prep2),
                                     ("peer-small", pcmd1, pprep1), ("peer-big", pcmd2, pprep2)],
                               self.args.scale_runs)
            if r is None:
                self.scaling.append((label, None, None, None, None, None, None, None, None, "FAILED", None))
                continue
            mem1 = self.peak_kib(cmd1, prep1) * 1024
            mem2 = self.peak_kib(cmd2, prep2) * 1024
            lim2 = (32 << 20) + 200 * n_big
            ratio = r["big"]["median"] / r["small"]["median"]
            peer_ratio = r["peer-big"]["median"] / r["peer-small"]["median"]
            lim1 = (32 << 20) + 200 * n_small
            ok = ratio <= 1.1 * n_big / n_small and mem1 <= lim1 and mem2 <= lim2
            instr = None
            if self.args.instructions:
                instr = self.instructions(cmd2, prep2) / self.instructions(cmd1, prep1)
            self.scaling.append((label, r["small"], r["big"], ratio, peer_ratio, mem1, mem2, lim2,
                                 (r["peer-small"], r["peer-big"]), "met" if ok else "MISSED", instr))
            print("  %.3f s -> %.3f s (x%.2f; the peer x%.2f), peak %.1f / %.1f MiB" % (
                r["small"]["median"], r["big"]["median"], ratio, peer_ratio, mem1 / 2**20, mem2 / 2**20), flush=True)

    # ---- report --------------------------------------------------------

    def report(self, started, load0):
        lines = []
        add = lines.append
        add("")
        add("mdtree %s, %d runs per command after %d warm-up run(s), medians" % (
            self.mdtree, self.args.runs, self.args.warmup))
        add("outputs written to %s (%s)" % (self.work, fs_type(self.work)))
        add("machine: %d cores; load average %.2f at the start, %.2f at the end; %.0f s in all" % (
            os.cpu_count(), load0, os.getloadavg()[0], time.time() - started))
        add("")
        add("ratio: mdtree's median over the peer's; cpu: the same for mean CPU time (user + system), which")
        add("shows what the ratio would be without the load of other processes or the peer's second process")
        fmt = "%-74s %10s %10s %6s %6s %8s  %s"
        add(fmt % ("work", "mdtree", "peer", "ratio", "cpu", "target", "verdict"))
        for title, m, p, ratio, target, verdict, note in self.rows:
            if m is None:
                add(fmt % (title, "-", "-", "-", "-", target, verdict))
                continue
            if "mbs" in m:
                ms, ps, cpu = "%.0f MB/s" % m["mbs"], "%.0f MB/s" % p["mbs"], "-"
            else:
                ms, ps = "%.3f s" % m["median"], "%.3f s" % p["median"]
                cpu = "%.2f" % (m["cpu"] / p["cpu"]) if p["cpu"] > 0 else "-"
            add(fmt % (title, ms, ps, "%.2f" % ratio, cpu, target, verdict + ("  " + note if note else "")))
        if self.scaling:
            add("")
            add("scaling, %d runs per command: %d vs %d tiny files (target: <= 11x the time; "
                "peak <= 32 MiB + 200 B/file)" % (self.args.scale_runs, self.n_small, self.n_big))
            add("x: big over small, medians; cpu x: the same for CPU time; peer x: the peer's own factor on the")
            add("same trees; instr x: mdtree's own instructions (callgrind, with --instructions), which no load changes")
            fmt2 = "%-16s %9s %9s %6s %6s %7s %8s %11s %11s %11s  %s"
            add(fmt2 % ("job", "small", "big", "x", "cpu x", "peer x", "instr x", "peak small", "peak big",
                        "limit big", "verdict"))
            for label, s, b, ratio, pratio, m1, m2, l2, _, verdict, instr in self.scaling:
                if s is None:
                    add(fmt2 % (label, "-", "-", "-", "-", "-", "-", "-", "-", "-", verdict))
                    continue
                add(fmt2 % (label, "%.3f s" % s["median"], "%.3f s" % b["median"], "%.2f" % ratio,
                            "%.2f" % (b["cpu"] / s["cpu"]), "%.2f" % pratio, "%.2f" % instr if instr else "-",
                            "%.1f MiB" % (m1 / 2**20), "%.1f MiB" % (m2 / 2**20), "%.1f MiB" % (l2 / 2**20), verdict))
        add("")
        add("spread: min-max of the timed runs, and mean CPU time (user + system) per run")
        for title, m, p, *_ in self.rows:
            if m and "median" in m:
                add("  %-74s mdtree %.3f-%.3f s cpu %.3f s; peer %.3f-%.3f s cpu %.3f s" % (
                    title, m["min"], m["max"], m["cpu"], p["min"], p["max"], p["cpu"]))
        for label, s, b, _, _, _, _, _, peers, _, _ in self.scaling:
            if s:
                add("  %-74s small %.3f-%.3f s cpu %.3f s; big %.3f-%.3f s cpu %.3f s" % (
                    "scaling " + label, s["min"], s["max"], s["cpu"], b["min"], b["max"], b["cpu"]))
                ps, pb = peers
                add("  %-74s small %.3f-%.3f s cpu %.3f s; big %.3f-%.3f s cpu %.3f s" % (
                    "  its peer", ps["min"], ps["max"], ps["cpu"], pb["min"], pb["max"], pb["cpu"]))
        for key, tail in self.failures:
            add("")
            add("FAILED %s:" % key)
            add(tail)
        text = "\n".join(lines) + "\n"
        sys.stdout.write(text)
        with open(os.path.join(self.scratch, "results.txt"), "w") as f:
            f.write(text)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mdtree", required=True, help="the mdtree binary to time")
    ap.add_argument("--md5-bench", required=True, help="the md5_bench program")
    ap.add_argument("--scratch", required=True, help="where data sets and outputs go")
    ap.add_argument("--work", help="where the timed commands write (default: SCRATCH/work); emptied at the end")
    ap.add_argument("--runs", type=int, default=5, help="timed runs per command (default 5)")
    ap.add_argument("--scale-runs", type=int, default=3, help="timed runs per command of the scaling rows (default 3)")
    ap.add_argument("--warmup", type=int, default=1, help="untimed runs first, to warm the cache (default 1)")
    ap.add_argument("--instructions", action="store_true",
                    help="also count the instructions of the scaling rows with callgrind (some minutes more)")
    ap.add_argument("--scale", type=float, default=1.0,
                    help="multiply every file count and size by this (0.1 for a quick try of the script)")
    ap.add_argument("--package", default="date-fns", help="npm package of the real-tree rows (default date-fns)")
    ap.add_argument("--old", default="2.29.3", help="its older version (default 2.29.3)")
    ap.add_argument("--new", default="2.30.0", help="its newer version (default 2.30.0)")
    ap.add_argument("only", nargs="*", help="rows to run (md5, list1g, list20k, dup, pkg, db, patch, scale); all by default")
    args = ap.parse_args()
    args.big_mib = max(1, int(1024 * args.scale))

    b = Bench(args)
    started, load0 = time.time(), os.getloadavg()[0]
    n20k = max(100, int(20000 * args.scale))
    b.n_small, b.n_big = n20k, n20k * 10

    b.md5_module()
    b.listing_big()
    if b.wanted("list20k") or b.wanted("db"):
        t20k = datasets.small_files(b.data, "small%d" % n20k, n20k, 0.0, 20000)
        b.listing_small(t20k, n20k)
    if b.wanted("dup"):
        dup = datasets.small_files(b.data, "dup%d" % n20k, n20k, 0.10, 20010)
        b.archives("dup", dup, "%d files, 10%% duplicates" % n20k)
    if b.wanted("pkg") or b.wanted("patch"):
        old = datasets.npm_package(b.data, "%s@%s" % (args.package, args.old))
        new = datasets.npm_package(b.data, "%s@%s" % (args.package, args.new))
        label = "%s %s -> %s" % (args.package, args.old, args.new)
        b.archives("pkg", new, "%s %s" % (args.package, args.new))
        b.patches(old, new, label)
    if b.wanted("db"):
        b.database(t20k, n20k)
    if b.wanted("scale"):
        small = datasets.tiny_files(b.data, "tiny%d" % b.n_small, b.n_small, 30000)
        big = datasets.tiny_files(b.data, "tiny%d" % b.n_big, b.n_big, 30001)
        b.scale(small, big, b.n_small, b.n_big)
    b.report(started, load0)
    shutil.rmtree(b.work, ignore_errors=True)
    return 1 if b.failures else 0


if __name__ == "__main__":
    sys.exit(main())
