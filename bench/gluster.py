"""mdtree -i and -o against cp -r on a GlusterFS mount (started by
bench/gluster_run). One run of each command; the ratios are from that run.

-i: a tree on /dev/shm into a store on the mount; peer: cp -r of the tree
onto the mount. -o: a listing restored from the store on the mount into a
directory on the mount; peer: cp -r of the same tree from the mount onto
the mount. Nothing is removed on the mount between rows (removing costs as
much as writing); every row writes to a fresh directory, and the volume goes
with its brick at the end. Every output is checked with diff -r.
"""

import argparse
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


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--mdtree", required=True)
    ap.add_argument("--mount", required=True)
    ap.add_argument("--scratch", required=True)
    ap.add_argument("--files", default="2000,20000")
    ap.add_argument("--jobs", default="1,0,8,16,32,64", help="thread counts; 0: no -j (the default)")
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
