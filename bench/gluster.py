"""mdtree -i and -o against cp -r on a GlusterFS mount (started by
bench/gluster_run). One run of each command; the ratios are from that run.

-i: a tree on /dev/shm into a store on the mount; peer: cp -r of the tree
onto the mount. -o: a listing restored from the store on the mount into a
directory on the mount; peer: cp -r of the same tree from the mount onto
the mount. Nothing is removed on the mount between rows (removing costs as
much as writing); every row writes to a fresh directory, and the volume goes
with its brick at the end. Every output is checked with diff -r.

--calls: instead of times, the calls the brick served per file, by kind
(gluster volume profile, cleared before each command), for -i, -o and
cp -r of the first --files count, and for -i --cache of the same tree
again once it is stored (targets: -i and -o at most 7 calls per file,
LOOKUP at most 1.5; -i --cache unchanged at most 2). Below them, a plain
loop of each: the same calls on the mount made one file after another by
Python code that does nothing else (create a new temporary name, write,
fdatasync, close, rename; read an object; set a time), so that what
mdtree adds stands apart from what publishing by rename costs. On a FUSE
mount with one-second entry and attribute timeouts, a new file published
by rename costs at least nine calls, three of them LOOKUPs: the temporary
name's and the final name's, both missing, which the kernel always asks
the server for, and one the brick makes itself for the rename (the client
sends two; cp -r, which creates without a rename, costs one). A directory
not used within the last second costs one call more when it is used (a
LOOKUP through a path; a STAT through a directory descriptor, since with
default_permissions the kernel needs fresh attributes of every directory
it passes or writes in), and a new one a LOOKUP and a MKDIR.
"""

import argparse
import collections
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import datasets  # noqa: E402


def timed(argv, cwd=None, stdout=subprocess.DEVNULL):
    t = time.monotonic()
    subprocess.run(argv, cwd=cwd, stdout=stdout, check=True)
    return time.monotonic() - t


def same(a, b):
    subprocess.run(["diff", "-r", "-q", a, b], check=True, stdout=subprocess.DEVNULL)


def profile(args, *what):
    return subprocess.run(["gluster", "--mode=script", "--glusterd-sock=" + args.glusterd_sock,
                           "--log-file=" + args.cli_log, "volume", "profile", args.volume, *what],
                          stdout=subprocess.PIPE, text=True, check=True).stdout


def calls_of(argv, args, cwd=None):
    """The calls the brick served while argv ran, by kind."""
    return calls_during(" ".join(argv), args,
                        lambda: subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, check=True))


def calls_during(what, args, run):
    """The calls the brick served while run() ran, by kind."""
    profile(args, "info", "clear")
    run()
    out = profile(args, "info", "cumulative")
    calls = collections.Counter()
    with open(os.path.join(args.scratch, "profile.txt"), "a") as f:
        f.write("== %s\n%s\n" % (what, out))
    # Rows of the table: %-latency, then avg, min and max latency each with
    # its unit, the calls, the fop.
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 6 and f[-1].isalpha() and f[-1].isupper() and f[-2].isdigit():
            calls[f[-1]] += int(f[-2])
    return calls


def listed(listing):
    """(digest, name) of every line of a listing."""
    with open(listing, "rb") as f:
        return [(line[:32].decode(), os.fsdecode(line[34:].rstrip(b"\n"))) for line in f]


def publish(path, data, temp_dir, k):
    """The least a writer does to put data at path by rename with its data
    flushed first: a new temporary name, one write, a flush, the rename."""
    tmp = os.path.join(temp_dir, ".loop%07d" % k)
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        os.write(fd, data)
        os.fdatasync(fd)
    finally:
        os.close(fd)
    os.rename(tmp, path)


def make_dir(path):
    try:
        os.mkdir(path)
    except FileExistsError:
        pass


def loop_store(st, entries, tree):
    """-i reduced to its calls on the mount, one file after another: the
    two-digit directory made once, the object published by rename."""
    make_dir(st)
    for k, (digest, name) in enumerate(entries):
        with open(os.path.join(tree, name), "rb") as f:
            data = f.read()
        make_dir(os.path.join(st, digest[:2]))
        publish(os.path.join(st, digest[:2], digest[2:]), data, st, k)


def loop_restore(st, entries, out):
    """-o reduced the same way: the object read, the file published beside
    its name."""
    for k, (digest, name) in enumerate(entries):
        with open(os.path.join(st, digest[:2], digest[2:]), "rb") as f:
            data = f.read()
        path = os.path.join(out, name)
        parts = name.split("/")[:-1]
        for i in range(len(parts)):
            make_dir(os.path.join(out, *parts[:i + 1]))
        publish(path, data, os.path.dirname(path), k)


def loop_refresh(st, entries):
    """An unchanged -i --cache reduced the same way: each object's time set
    through its name, and the name examined."""
    for digest, _ in entries:
        path = os.path.join(st, digest[:2], digest[2:])
        os.utime(path, follow_symlinks=False)
        os.lstat(path)


def call_counts(args, m, tree, listing, n):
    print("calls the brick served per file, %d files of 1-16 KiB (gluster volume profile)" % n)
    profile(args, "start")
    rows = []
    st = os.path.join(m, "calls-st")
    cache = os.path.join(args.scratch, "calls.cache")
    if os.path.exists(cache):
        os.unlink(cache)
    out = os.path.join(m, "calls-out")
    os.makedirs(out)
    rows.append(("cp -r tree onto the mount", None, calls_of(["cp", "-r", tree, os.path.join(m, "calls-cp")], args)))
    rows.append(("mdtree -i", (7, 1.5), calls_of([args.mdtree, "-R", st, "-i", tree], args)))
    rows.append(("mdtree -o", (7, 1.5), calls_of([args.mdtree, "-R", st, "-o", listing], args, cwd=out)))
    same(tree, out)
    # The racy rule trusts files older than the cache by two seconds.
    time.sleep(2.5)
    subprocess.run([args.mdtree, "--cache", cache, "-R", st, "-i", tree], stdout=subprocess.DEVNULL, check=True)
    rows.append(("mdtree -i --cache, unchanged", (2, None),
                 calls_of([args.mdtree, "--cache", cache, "-R", st, "-i", tree], args)))
    # What publishing by rename with the data flushed first costs on this
    # mount without anything mdtree adds: the same jobs by their calls
    # alone, one file after another. Each starts once the client's entries
    # and attributes (one second) have run out, as a new run finds them.
    entries = listed(listing)
    fst, fout = os.path.join(m, "calls-loop-st"), os.path.join(m, "calls-loop-out")
    os.makedirs(fout)
    time.sleep(1.5)
    rows.append(("plain loop of -i", None, calls_during("plain loop of -i", args, lambda: loop_store(fst, entries, tree))))
    time.sleep(1.5)
    rows.append(("plain loop of -o", None, calls_during("plain loop of -o", args, lambda: loop_restore(fst, entries, fout))))
    same(tree, fout)
    time.sleep(1.5)
    rows.append(("plain loop of -i --cache", None,
                 calls_during("plain loop of -i --cache", args, lambda: loop_refresh(fst, entries))))
    profile(args, "stop")
    kinds = sorted({k for _, _, c in rows for k in c}, key=lambda k: -sum(c[k] for _, _, c in rows))
    print("  %-30s %7s %8s  %s" % ("command", "calls", "verdict", "  ".join("%s" % k for k in kinds)))
    for what, target, c in rows:
        total = sum(c.values()) / n
        verdict = "-"
        if target:
            ok = total <= target[0] and (target[1] is None or c["LOOKUP"] / n <= target[1])
            verdict = "met" if ok else "MISSED"
        print("  %-30s %7.2f %8s  %s" % (what, total, verdict,
                                         "  ".join("%s %.2f" % (k, c[k] / n) for k in kinds if c[k])), flush=True)
    print(flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--mdtree", required=True)
    ap.add_argument("--mount", required=True)
    ap.add_argument("--scratch", required=True)
    ap.add_argument("--files", default="2000,20000")
    ap.add_argument("--jobs", default="1,0,8,16,32,64", help="thread counts; 0: no -j (the default)")
    ap.add_argument("--calls", action="store_true", help="count the calls per file instead of timing")
    ap.add_argument("--volume", help="the volume's name (for --calls)")
    ap.add_argument("--glusterd-sock", help="glusterd's socket (for --calls)")
    ap.add_argument("--cli-log", default="/dev/null", help="the gluster command's log (for --calls)")
    args = ap.parse_args()
    data = os.path.join(args.scratch, "data")
    m = args.mount
    load = os.getloadavg()
    print("GlusterFS mount %s (one brick on %s); trees on %s; %d CPUs, load %.1f %.1f %.1f at the start"
          % (m, subprocess.run(["stat", "-f", "-c", "%T", "/tmp"], stdout=subprocess.PIPE, text=True).stdout.strip(),
             data, os.cpu_count(), *load))
    print("one run each; the machine is shared with other work, so absolute times are noisy\n")
    for n in (int(x) for x in args.files.split(",")):
        tree = datasets.small_files(data, "small%d" % n, n, 0.0, 20000 + n)
        listing = os.path.join(args.scratch, "small%d.lst" % n)
        with open(listing, "wb") as f:
            subprocess.run([args.mdtree, "-l", "."], cwd=tree, stdout=f, check=True)
        if args.calls:
            call_counts(args, m, tree, listing, n)
            break
        print("%d files of 1-16 KiB" % n)
        print("  %-28s %-8s %9s %9s %9s" % ("command", "-j", "seconds", "/ -j 1", "/ cp -r"), flush=True)
        times = {}

        def row(what, label, t, op=None, j=None):
            times[op, j] = t
            base = times.get((op, 1)) if op in ("i", "o") else None
            peer = times.get(("cp", op)) if op in ("i", "o") else None
            print("  %-28s %-8s %9.2f %9s %9s" % (what, label, t, "%.2fx" % (base / t) if base else "",
                                                  "%.2f" % (t / peer) if peer else ""), flush=True)

        row("cp -r tree onto the mount", "", timed(["cp", "-r", tree, os.path.join(m, "cp%d" % n)]), "cp", "i")
        same(tree, os.path.join(m, "cp%d" % n))
        row("cp -r mount to mount", "",
            timed(["cp", "-r", os.path.join(m, "cp%d" % n), os.path.join(m, "cpcp%d" % n)]), "cp", "o")
        same(tree, os.path.join(m, "cpcp%d" % n))
        store = None
        for j in (int(x) for x in args.jobs.split(",")):
            jflag = ["-j", str(j)] if j else []
            label = "-j %d" % j if j else "default"
            st = os.path.join(m, "st%d-%s" % (n, j))
            row("mdtree -i", label, timed([args.mdtree] + jflag + ["-R", st, "-i", tree]), "i", j)
            store = store or st
            out = os.path.join(m, "out%d-%s" % (n, j))
            os.makedirs(out)
            t = timed([args.mdtree] + jflag + ["-R", store, "-o", listing], cwd=out)
            same(tree, out)
            row("mdtree -o", label, t, "o", j)
        print(flush=True)


if __name__ == "__main__":
    main()
