"""What flushing costs on a real disk. Started by bench/durability (see there).

Each job runs for every variant in turn, round after round, so that a
change in the load of the machine falls on all of them alike:
  new          the tool under test (its flushes included)
  old+sync     an older build, then one `sync`: the least any durable run
               can cost, since the data must reach the disk once
  old          the older build alone, which leaves its data in memory
  new each     the tool under test with MDTREE_FLUSH=each (one flush per
               file), when the build offers it: what batching saves
Before every timed run its previous output is removed, its input put in
place, and `sync` run, untimed, so that no run pays for another's data.
The page cache is not dropped: the inputs are read from memory, and what is
timed is the writing.
"""

import argparse
import collections
import os
import shutil
import statistics
import subprocess
import sys
import time

import datasets

# prepare(out): the shell command that resets the output, untimed;
# argv(binary, out) and cwd(out): the timed command; check(out) raises when
# the output is wrong.
Job = collections.namedtuple("Job", "name title prepare argv cwd check")
Variant = collections.namedtuple("Variant", "name binary env sync")
TARGET = 1.2


def sh(cmd, **kw):
    return subprocess.run(cmd, shell=isinstance(cmd, str), check=True, **kw)


def q(path):
    return "'%s'" % path.replace("'", "'\\''")


def where(path):
    r = subprocess.run(["findmnt", "-n", "-o", "SOURCE,FSTYPE,OPTIONS", "--target", path], stdout=subprocess.PIPE,
                       text=True)
    kind = subprocess.run(["stat", "-f", "-c", "%T", path], stdout=subprocess.PIPE, text=True).stdout.strip()
    return "%s (stat -f: %s; findmnt: %s)" % (path, kind, r.stdout.strip() or "?")


def build_old(repo, commit, scratch):
    """The tool as it was at commit, built as it ships, once."""
    rev = sh(["git", "-C", repo, "rev-parse", "--short", commit], stdout=subprocess.PIPE, text=True).stdout.strip()
    src, build = os.path.join(scratch, "old-%s-src" % rev), os.path.join(scratch, "old-%s-build" % rev)
    binary = os.path.join(build, "mdtree")
    if not os.path.exists(binary):
        shutil.rmtree(src, ignore_errors=True)
        os.makedirs(src)
        sh("git -C %s archive %s | tar -x -C %s" % (q(repo), q(rev), q(src)))
        sh(["cmake", "-S", src, "-B", build, "-G", "Ninja", "-DMDTREE_TESTS=OFF"], stdout=subprocess.DEVNULL)
        sh(["cmake", "--build", build, "--parallel", str(os.cpu_count()), "--target", "mdtree"],
           stdout=subprocess.DEVNULL)
    return binary, rev


def diff(a, b):
    r = subprocess.run(["diff", "-r", "-q", a, b], stdout=subprocess.PIPE, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s and %s differ: %s" % (a, b, r.stdout[:300]))


def inputs(new, data, args):
    """The data sets, and what the jobs read, made once with the new build
    and flushed before anything is timed."""
    tree = datasets.small_files(data, "small%d" % args.files, args.files, 0.0, 20000)
    old = datasets.npm_package(data, "%s@%s" % (args.package, args.old))
    newer = datasets.npm_package(data, "%s@%s" % (args.package, args.new))
    made = os.path.join(data, "made-%d" % args.files)
    if not os.path.exists(os.path.join(made, datasets.STAMP)):
        shutil.rmtree(made, ignore_errors=True)
        os.makedirs(made)
        with open(os.path.join(made, "tree.md5"), "wb") as f:
            sh([new, "-l", tree], stdout=f)
        sh([new, "-R", os.path.join(made, "store"), "-i", tree], stdout=subprocess.DEVNULL)
        sh([new, "-f", tree, "-a", os.path.join(made, "tree.mdt")], stdout=subprocess.DEVNULL)
        sh([new, "-f", old, "-t", newer, "-p", os.path.join(made, "patch")], stdout=subprocess.DEVNULL)
        datasets._finish(made)
    return tree, old, newer, made


def jobs(tree, old, newer, made, args):
    m = lambda *p: os.path.join(made, *p)  # noqa: E731
    pkg = "%s %s -> %s" % (args.package, args.old, args.new)

    def count_objects(out):
        with open(m("tree.md5")) as f:
            want = len({line[:32] for line in f})
        got = sum(len(names) for _, _, names in os.walk(out))
        if got != want:
            raise RuntimeError("the store holds %d objects, not %d" % (got, want))
    return [
        Job("in", "-i, %d files" % args.files, lambda o: "rm -rf %s" % q(o),
            lambda b, o: [b, "-R", o, "-i", tree], lambda o: None, count_objects),
        Job("out", "-o, %d files" % args.files, lambda o: "rm -rf %s && mkdir %s" % (q(o), q(o)),
            lambda b, o: [b, "-R", m("store"), "-o", m("tree.md5")], lambda o: o, lambda o: diff(tree, o)),
        Job("extract", "-t -a, %d files" % args.files, lambda o: "rm -rf %s" % q(o),
            lambda b, o: [b, "-t", o, "-a", m("tree.mdt")], lambda o: None, lambda o: diff(tree, o)),
        Job("apply", "patch application, %s" % pkg,
            lambda o: "rm -rf %s && mkdir %s && cp -r %s %s/tree && cp -r %s %s/patch" % (
                q(o), q(o), q(old), q(o), q(m("patch")), q(o)),
            lambda b, o: [b, "-f", os.path.join(o, "tree"), "-p", os.path.join(o, "patch")], lambda o: None,
            lambda o: diff(newer, os.path.join(o, "tree"))),
    ]


def time_one(job, v, out):
    """One timed run of a variant, after its untimed reset."""
    sh(job.prepare(out))
    sh(["sync"])
    env = dict(os.environ, **v.env)
    env.pop("DB_ROOT", None)
    start = time.perf_counter()
    r = subprocess.run(job.argv(v.binary, out), cwd=job.cwd(out), env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
    if v.sync:
        sh(["sync"])
    elapsed = time.perf_counter() - start
    if r.returncode != 0:
        raise RuntimeError("%s: status %d: %s" % (" ".join(job.argv(v.binary, out)), r.returncode,
                                                  r.stderr[-500:].decode(errors="replace")))
    return elapsed


def measure(job, variants, work, args):
    """{variant: [seconds]}, the variants taking turns round by round; each
    variant's last output is checked."""
    times = {v.name: [] for v in variants}
    outs = {v.name: os.path.join(work, "%s-%s" % (job.name, v.name.replace(" ", "-").replace("+", "-"))) for v in variants}
    for r in range(args.warmup + args.runs):
        for v in variants:
            t = time_one(job, v, outs[v.name])
            if r >= args.warmup:
                times[v.name].append(t)
    for v in variants:
        job.check(outs[v.name])
        shutil.rmtree(outs[v.name])
    return times


def report(rows, variants):
    """The table of medians and ratios, then each variant's spread."""
    names = [v.name for v in variants]
    has_each = "new each" in names
    fmt = "%-40s" + " %10s" * len(names) + " %14s %8s %8s" + (" %9s" if has_each else "")
    head = names + ["new/(old+sync)", "target", "new/old"] + (["each/new"] if has_each else [])
    print(fmt % tuple(["job"] + head))
    for title, times in rows:
        med = {n: statistics.median(t) for n, t in times.items()}
        ratio = med["new"] / med["old+sync"]
        cells = ["%.3f s" % med[n] for n in names]
        cells += ["%.2f" % ratio, "<=%.1f %s" % (TARGET, "met" if ratio <= TARGET else "MISSED"),
                  "%.2f" % (med["new"] / med["old"])]
        if has_each:
            cells.append("%.2f" % (med["new each"] / med["new"]))
        print(fmt % tuple([title] + cells))
    print("spread (min-max):")
    for title, times in rows:
        print("  %-40s %s" % (title, "; ".join("%s %.3f-%.3f s" % (n, min(t), max(t)) for n, t in times.items())))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mdtree", required=True, help="the new build")
    ap.add_argument("--repo", required=True, help="the git repository the older build comes from")
    ap.add_argument("--scratch", required=True, help="a directory on the disk to measure")
    ap.add_argument("--old-commit", default="08a2c21", help="the commit of the older build (default 08a2c21)")
    ap.add_argument("--old-mdtree", help="an older build to use instead of building --old-commit")
    ap.add_argument("--runs", type=int, default=5, help="timed runs per variant (default 5)")
    ap.add_argument("--warmup", type=int, default=1, help="untimed rounds first (default 1)")
    ap.add_argument("--files", type=int, default=20000, help="small files of the -i, -o and -t rows")
    ap.add_argument("--package", default="typescript")
    ap.add_argument("--old", default="5.3.3")
    ap.add_argument("--new", default="5.4.5")
    ap.add_argument("only", nargs="*", help="jobs to run: in, out, extract, apply (all by default)")
    args = ap.parse_args()
    new = os.path.abspath(args.mdtree)
    scratch = os.path.abspath(args.scratch)
    if args.old_mdtree:
        old, rev = os.path.abspath(args.old_mdtree), "given"
    else:
        old, rev = build_old(args.repo, args.old_commit, scratch)
    with open(new, "rb") as f:
        each = b"MDTREE_FLUSH" in f.read()
    variants = [Variant("new", new, {}, False), Variant("old+sync", old, {}, True), Variant("old", old, {}, False)]
    if each:
        variants.append(Variant("new each", new, {"MDTREE_FLUSH": "each"}, False))
    data, work = os.path.join(scratch, "data"), os.path.join(scratch, "work")
    os.makedirs(work, exist_ok=True)
    chosen = [j for j in jobs(*inputs(new, data, args), args) if not args.only or j.name in args.only]
    load0, started = os.getloadavg()[0], time.time()
    rows = []
    for job in chosen:
        print("%s ..." % job.title, flush=True)
        times = measure(job, variants, work, args)
        rows.append((job.title, times))
    print()
    print("durability on the disk: %s" % where(work))
    print("new: %s; old: %s (%s)" % (new, old, rev))
    print("MDTREE_FLUSH=each (one flush per file): %s" % (
        "offered by the new build" if each else "not offered by the new build: no 'new each' column"))
    print("%d timed runs per variant after %d warm-up round(s), variants in turn, medians; page cache warm (not "
          "dropped); before each run, untimed: previous output removed, input put in place, sync" % (
              args.runs, args.warmup))
    print("machine: %d cores; load average %.2f at the start, %.2f at the end; %.0f s; shared with other work: "
          "quote the ratios of one run, not the times" % (os.cpu_count(), load0, os.getloadavg()[0],
                                                         time.time() - started))
    report(rows, variants)
    return 0


if __name__ == "__main__":
    sys.exit(main())
