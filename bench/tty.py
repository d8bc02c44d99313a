#!/usr/bin/python3
"""The cost of the status line. Each job runs on a tree of 20,000 files of
1-16 KiB on tmpfs, three ways, inside script(1) so that each way gets the
same kind of parent: standard error redirected to /dev/null (no terminal),
standard error on a terminal with --no-progress, and on a terminal with the
status line. Standard output goes to /dev/null every time. The three
ways run in turn, so that a change in the machine's load falls on each
alike; prints the medians of the wall and CPU times (script and the shell
included) and their ratios, from one run. Not a test; CI never runs it.

    bench/tty.py MDTREE [--runs N] [--files N]
"""

import argparse
import resource
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def make_tree(root, n):
    rng = random.Random(1)
    for i in range(n):
        d = os.path.join(root, "d%03d" % (i % 200))
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "f%05d" % i), "wb") as f:
            f.write(rng.randbytes(rng.randint(1024, 16384)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mdtree")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--files", type=int, default=20000)
    args = ap.parse_args()
    md = os.path.abspath(args.mdtree)
    work = tempfile.mkdtemp(prefix="mdtree-tty-", dir="/dev/shm")
    try:
        tree = os.path.join(work, "tree")
        make_tree(tree, args.files)
        listing = os.path.join(work, "tree.md5")
        with open(listing, "wb") as f:
            subprocess.run([md, "-l", tree], stdout=f, check=True)
        arc = os.path.join(work, "tree.vok")
        subprocess.run([md, "-f", tree, "-a", arc], stderr=subprocess.DEVNULL, check=True)
        store, out, unpacked, made = (os.path.join(work, n) for n in ("store", "out", "unpacked", "made.vok"))
        subprocess.run([md, "-R", store, "-i", tree], stdout=subprocess.DEVNULL, check=True)
        q = shlex.quote
        jobs = [
            ("-l", "%s -l %s" % (q(md), q(tree)), None),
            ("-i", "%s -R %s -i %s" % (q(md), q(store + "2"), q(tree)), "rm -rf %s" % q(store + "2")),
            ("-o", "cd %s && %s -R %s -o %s" % (q(out), q(md), q(store), q(listing)),
             "rm -rf %s && mkdir %s" % (q(out), q(out))),
            ("-f -a", "%s -f %s -a %s" % (q(md), q(tree), q(made)), None),
            ("-t -a", "%s -t %s -a %s" % (q(md), q(unpacked), q(arc)), "rm -rf %s" % q(unpacked)),
        ]
        print("wall and CPU (user + system) medians of %d runs, the three ways taken in turn" % args.runs)
        print("%-6s %-10s %16s %16s %16s %14s %14s" % (
            "job", "", "redirected", "tty, off", "tty, line", "line/off", "line/redirect"))
        for name, cmd, prep in jobs:
            ways = [
                "%s >/dev/null 2>/dev/null" % cmd,
                "%s --no-progress >/dev/null" % cmd,
                "%s >/dev/null" % cmd,
            ]
            wall, cpu = [[] for _ in ways], [[] for _ in ways]
            for r in range(args.runs + 1):
                for i, c in enumerate(ways):
                    if prep:
                        subprocess.run(prep, shell=True, check=True)
                    before = resource.getrusage(resource.RUSAGE_CHILDREN)
                    t = time.perf_counter()
                    subprocess.run(["script", "-qec", c, "/dev/null"], stdout=subprocess.DEVNULL,
                                   stdin=subprocess.DEVNULL, check=True)
                    t = time.perf_counter() - t
                    after = resource.getrusage(resource.RUSAGE_CHILDREN)
                    if r == 0:
                        continue  # warm-up
                    wall[i].append(t)
                    cpu[i].append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
            for label, v in (("wall", wall), ("cpu", cpu)):
                m = [statistics.median(x) for x in v]
                print("%-6s %-10s %15.3fs %15.3fs %15.3fs %13.3fx %13.3fx" % (
                    name if label == "wall" else "", label, m[0], m[1], m[2], m[2] / m[1], m[2] / m[0]))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
