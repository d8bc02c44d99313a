#!/usr/bin/python3
"""The cost of the status line. Each job runs on a tree of 20,000 files of
1-16 KiB on tmpfs, three ways, inside script(1) so that each way gets the
same kind of parent: standard error redirected to /dev/null (no terminal),
standard error on a terminal with --no-progress, and on a terminal with the
status line. Standard output goes to /dev/null every time. Prints the
median of each and the ratios, from one run of hyperfine per job. Not a
test; CI never runs it.

    bench/tty.py MDTREE [--runs N] [--files N]
"""

import argparse
import json
import os
import random
import shlex
import shutil
import subprocess
import sys
import tempfile


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
        print("%-6s %10s %10s %10s %8s %8s" % ("job", "redirect", "tty, off", "tty, line", "line/off",
                                                  "line/redir"))
        for name, cmd, prep in jobs:
            ways = {
                "redirect": "%s >/dev/null 2>/dev/null" % cmd,
                "off": "%s --no-progress >/dev/null" % cmd,
                "line": "%s >/dev/null" % cmd,
            }
            hf = ["hyperfine", "--warmup", "1", "--runs", str(args.runs), "--style", "none",
                  "--export-json", os.path.join(work, "hf.json")]
            if prep:
                hf += ["--prepare", prep]
            for w, c in ways.items():
                hf += ["-n", w, "script -qec %s /dev/null" % q(c)]
            subprocess.run(hf, stdout=subprocess.DEVNULL, check=True)
            with open(os.path.join(work, "hf.json")) as f:
                med = {r["command"]: r["median"] for r in json.load(f)["results"]}
            print("%-6s %9.3fs %9.3fs %9.3fs %7.3fx %7.3fx" % (
                name, med["redirect"], med["off"], med["line"], med["line"] / med["off"],
                med["line"] / med["redirect"]))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
