#!/usr/bin/python3
"""The power-cut test: every job that writes is cut at random moments on a
real ext4 file system whose data reaches the disk only when flushed, and
what the disk holds is judged with hashlib and zlib. A cut in the middle
must leave every final name absent, old, or whole; a cut right after exit
0 must hold the whole result; after a cut in a patch application, running
it again with -F finishes it, and undoing with -F goes back or refuses.

  tests/powercut/run.py --mdtree build/mdtree [--cuts N] [--seed S] [JOB...]

Runs as root (loop devices, mounts, /proc/sys/vm); otherwise, or where an
ext4 image can not be mounted, says why and exits 0 (status 1 when
MDTREE_POWERCUT_REQUIRE=1). Periodic writeback is off machine-wide while
it runs, and put back on every way out.
"""

import argparse
import concurrent.futures
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # the source tree stays clean
import cut as cutlib  # noqa: E402
import jobs  # noqa: E402
import machine  # noqa: E402
import patchjobs  # noqa: E402
import trees  # noqa: E402

SHOWN = 3
RECOVERY = ("after the", "the run again", "the opposite run")


def judge(job, data, c, home):
    """Problems and notes of one cut; the problems of the recoveries after
    it come last, each saying so."""
    final = c.when != "mid"
    problems, notes = jobs.status_problems(c, final, job.status), []
    if c.fsck[0] >= 2:
        notes.append("e2fsck exited with %d: %s" % (c.fsck[0], c.fsck[1][-200:]))
    try:
        with cutlib.mount_copy(c, home, "check", readonly=True) as m:
            problems += [p.replace(m.mnt + "/", "").replace("content " + trees.md5(b""), "nothing (empty)")
                         for p in job.check(data, m.mnt, c, final and c.status == job.status)]
    except subprocess.CalledProcessError as e:
        return ["the cut's disk does not mount: %s" % e.stdout.strip()], notes
    if job.recover and c.when == "mid":
        p, n = job.recover(data, c, home)
        problems += p
        notes += n
    return problems, notes


def one_cut(job, data, base, label, jflags, stop_at):
    home = os.path.join(base, label)
    c = cutlib.take(os.path.join(base, "pristine.img"), home, label, job.argv(data)[:1] + jflags + job.argv(data)[1:],
                    job.cwd, stop_at, job.stdin(data) if job.stdin else None, job.env)
    try:
        problems, notes = judge(job, data, c, home)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    return c, problems, notes


def pristine(job, data, base):
    os.makedirs(base)
    image = os.path.join(base, "pristine.img")
    machine.make_image(image)
    with machine.Mounted(image, os.path.join(base, "setup")) as m:
        job.setup(data, m.mnt)
    # Unmounting wrote everything: the run starts from a clean disk.


def run_job(job, data, base, args, rng, pool):
    """The job's cuts: right after exit 0 at -j 1 and at the default (which
    also time a whole run), then at random moments until args.cuts of them
    fell in the middle of a run. Returns the number of failed cuts."""
    pristine(job, data, base)
    variants = [("j1", ["-j", "1"]), ("jN", [])]
    results, length = [], {}
    for tag, jflags in variants:
        c, p, n = one_cut(job, data, base, "exit-" + tag, jflags, None)
        length[tag] = {"io": c.moved, "time": c.elapsed}
        results.append((c, p, n))
    mid, attempt = 0, 0
    cuts = min(args.cuts, job.cuts or args.cuts)
    while mid < cuts and attempt < 3 * cuts:
        wave = []
        for _ in range(cuts - mid):
            tag, jflags = variants[attempt % 2]
            # Half by the bytes moved, which the load of the machine does
            # not shift; half by time, which reaches the renames too.
            unit = ("io", "time")[attempt // 2 % 2]
            at = (unit, rng.uniform(0.02, 1.0) * length[tag][unit])
            wave.append(pool.submit(one_cut, job, data, base, "cut%02d-%s" % (attempt, tag), jflags, at))
            attempt += 1
        for f in wave:
            results.append(f.result())
            c = results[-1][0]
            mid += c.when == "mid"
            if c.when == "late":
                # The run was shorter than the first ones: aim earlier.
                was = length[c.label[-2:]]
                was.update(io=min(was["io"], c.moved), time=min(was["time"], c.elapsed))
    return report(job, results, length, mid, cuts)


def first_of_each_kind(problems):
    """The first problems, and the first of each place (patch/old, the
    administration file, the recoveries...) that comes later."""
    def kind(p):
        if p.startswith(RECOVERY):
            return p.split(":")[0]
        parts = p.split(" ")[0].split("/")
        return "/".join(parts[:2]) if parts[0] == "patch" else parts[0]
    shown, kinds = problems[:SHOWN], {kind(p) for p in problems[:SHOWN]}
    for p in problems[SHOWN:]:
        if kind(p) not in kinds:
            kinds.add(kind(p))
            shown.append(p)
    return shown


def report(job, results, length, mid, wanted):
    failed = [(c, p) for c, p, _ in results if p]
    print("%-8s %s: %d cuts, %d in the middle of a run (a whole run moves %.0f MB at -j 1, %.0f MB at the default): %s" % (
        job.name, job.title, len(results), mid, length["j1"]["io"] / 1e6, length["jN"]["io"] / 1e6,
        "FAILED at %d cuts" % len(failed) if failed else "ok"), flush=True)
    for c, p in failed:
        at = "right after exit" if c.when == "exit" else "at %.1f MB read and written, %.2f s (%s)" % (
            c.moved / 1e6, c.elapsed, c.when)
        print("    %s %s: %d problems: %s" % (c.label, at, len(p), "; ".join(first_of_each_kind(p))), flush=True)
    done = sorted(c.moved * 100 // max(1, length[c.label[-2:]]["io"]) for c, _, _ in results if c.when == "mid")
    print("    where the cuts in the middle fell, in %% of the bytes a whole run reads and writes: %s" %
          " ".join(map(str, done)))
    notes = sorted({n for _, _, ns in results for n in ns})
    for n in notes[:SHOWN]:
        print("    note: %s" % n, flush=True)
    if mid < wanted:
        print("    only %d cuts fell in the middle of a run (runs too short?)" % mid, flush=True)
        return len(failed) + 1
    return len(failed)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mdtree", required=True)
    ap.add_argument("--cuts", type=int, default=10, help="cuts in the middle of a run, per job (default 10)")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--files", type=int, default=3000, help="small files in the old tree (default 3000)")
    ap.add_argument("--parallel", type=int, default=3, help="cuts under way at once (default 3)")
    ap.add_argument("--flush-shim", action="store_true",
                    help="the control: preload flush_shim.c into every run, which flushes each file before its "
                         "rename; the test must then pass")
    ap.add_argument("only", nargs="*", help="jobs to run (all by default)")
    args = ap.parse_args()
    machine.exit_on_signals()
    mdtree = os.path.abspath(args.mdtree)
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 30)
    work = tempfile.mkdtemp(prefix="mdtree-powercut.", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        try:
            machine.probe(work)
        except machine.Skip as e:
            print("powercut: SKIPPED: %s" % e, flush=True)
            return 1 if os.environ.get("MDTREE_POWERCUT_REQUIRE") == "1" else 0
        if args.flush_shim:
            shim = os.path.join(work, "flush_shim.so")
            machine.sh("cc", "-shared", "-fPIC", "-O2", "-o", shim,
                       os.path.join(os.path.dirname(os.path.abspath(__file__)), "flush_shim.c"), "-ldl")
            cutlib.EXTRA_ENV["LD_PRELOAD"] = shim
            print("powercut: the control: every run flushes each file before its rename (%s)" % shim)
        return run_all(mdtree, work, seed, args)
    finally:
        cutlib.kill_all()
        machine.detach_all(work)
        shutil.rmtree(work, ignore_errors=True)


def run_all(mdtree, work, seed, args):
    all_jobs = jobs.simple_jobs() + patchjobs.patch_jobs()
    chosen = [j for j in all_jobs if not args.only or j.name in args.only]
    print("powercut: %s, seed %d (--seed to repeat), %d cuts in the middle per job; scratch %s" % (
        mdtree, seed, args.cuts, work), flush=True)
    rng = random.Random(seed)
    started = time.time()
    old, new = trees.make_pair(rng, args.files, 3)
    data = jobs.Data(mdtree, os.path.join(work, "data"), old, new)
    del old, new
    failed = 0
    with machine.WritebackOff(work):
        pool = concurrent.futures.ThreadPoolExecutor(args.parallel)
        try:
            for job in chosen:
                failed += run_job(job, data, os.path.join(work, job.name), args, rng, pool)
        finally:
            cutlib.kill_all()
            pool.shutdown(wait=True, cancel_futures=True)
    print("powercut: %s in %.0f s" % ("FAILED" if failed else "passed", time.time() - started), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
