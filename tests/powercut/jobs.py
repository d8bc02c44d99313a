"""The jobs that write, each as what its disk holds before the run, the
command, and what a cut may show: every final name absent, old, or whole,
and after exit 0 the whole result."""

import collections
import hashlib
import os
import random
import re
import shutil
import subprocess
import tempfile

import trees

# setup(data, root) fills a fresh disk mounted at root; argv and cwd may
# name the disk's mount point as "{M}"; check(data, root, cut) gives the
# problems of the cut's disk mounted at root, final when the run exited 0;
# recover(data, cut, home) gives the problems of the documented recoveries.
# status is what the run exits with when it finishes (-V reports damage).
Job = collections.namedtuple("Job", "name title setup argv cwd check recover status", defaults=(0,))
# stdin(data), when given, names the file the run reads on standard input;
# env holds settings beside the environment (values may name "{M}"); cuts,
# when given, lowers the cuts in the middle of a run for a job whose runs
# are long.
Job = collections.namedtuple("Job", "name title setup argv cwd check recover status stdin env cuts",
                             defaults=(0, None, None, None))

# A member past the 32-bit words, stored in the large layout: zeros (a
# sparse source) but for its tail.
LARGE_SIZE = (4 << 30) + 4099
# Members larger than the tool inflates whole in memory: streamed.
STREAMED = {"zeros.bin": b"\0" * (40 << 20) + b"end", "mixed.bin": None, "s.txt": b"small\n"}

PATCH_NAME = "powercut"
ADMIN_LINES = "patch: %s\nsummary: a power cut in the middle\n" % PATCH_NAME
OLD_ADMIN = b"patch: earlier\ndate: Mon Jan  1 00:00:00 2024\nnote: kept\n"
RECORD = (r"patch: %s\ndate: [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\n"
          r"summary: a power cut in the middle\n" % PATCH_NAME).encode()


class Data:
    """The trees on tmpfs, and what the jobs start from, made once."""

    def __init__(self, mdtree, home, old, new):
        self.mdtree, self.home = mdtree, home
        self.old, self.new = trees.digests(old), trees.digests(new)
        self.src, self.dst = os.path.join(home, "old"), os.path.join(home, "new")
        trees.write_tree(self.src, old)
        trees.write_tree(self.dst, new)
        self.minus = {r: h for r, h in self.old.items() if self.new.get(r) != h}
        self.plus = {r: h for r, h in self.new.items() if self.old.get(r) != h}
        self.both = {r: {self.old.get(r), self.new.get(r)} - {None} for r in set(self.old) | set(self.new)}
        self.listing = os.path.join(home, "old.md5")
        with open(self.listing, "w") as f:
            f.write(trees.listing(self.old))
        # What a prune keeps: the files of every other directory level.
        self.half = {r: h for r, h in self.old.items() if len(r) % 2 == 0}
        self.half_listing = os.path.join(home, "half.md5")
        with open(self.half_listing, "w") as f:
            f.write(trees.listing(self.half))
        self.store = os.path.join(home, "store")
        self.archive = os.path.join(home, "old.mdt")
        self.patch = os.path.join(home, "patch")
        self.applied = os.path.join(home, "applied")
        self._inputs()

    def tool(self, *args, cwd=None):
        r = subprocess.run([self.mdtree, *args], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if r.returncode != 0:
            raise RuntimeError("preparing: mdtree %s: status %d: %s" % (" ".join(args), r.returncode,
                                                                        r.stderr.decode(errors="replace")))
        return r

    def _inputs(self):
        """The store, archive and patch the jobs read, made by the tool on
        tmpfs and judged by the oracles before they are used."""
        self.tool("-R", self.store, "-i", self.src)
        problems, _, _ = trees.mdt.check_store(self.store)
        assert not problems and trees.mdt.store_digests(self.store) == set(self.old.values()), problems[:3]
        self.tool("-f", self.src, "-a", self.archive)
        assert not trees.check_archive(self.archive, self.old)
        self.tool("-f", self.src, "-t", self.dst, "-p", self.patch)
        assert manifest_ok(os.path.join(self.patch, "FILES"), self)
        with open(os.path.join(self.patch, "FILES"), "a") as f:
            f.write(ADMIN_LINES)
        with open(os.path.join(self.patch, "FILES"), "rb") as f:
            self.manifest = f.read()
        assert not trees.check_files(os.path.join(self.patch, "new"), "new", *trees.exactly(self.plus))
        # The undo starts from a whole application.
        shutil.copytree(self.src, os.path.join(self.applied, "tree"))
        shutil.copytree(self.patch, os.path.join(self.applied, "patch"))
        with open(os.path.join(self.applied, "admin"), "wb") as f:
            f.write(OLD_ADMIN)
        self.tool("-f", os.path.join(self.applied, "tree"), "-p", os.path.join(self.applied, "patch"),
                  "-A", os.path.join(self.applied, "admin"))
        assert not trees.check_files(os.path.join(self.applied, "tree"), "tree", *trees.exactly(self.new))
        with open(os.path.join(self.applied, "admin"), "rb") as f:
            self.applied_admin = f.read()
        assert re.fullmatch(re.escape(OLD_ADMIN + b"\n") + RECORD, self.applied_admin), self.applied_admin


def large_tree(data):
    """The tree with a member past 4 GiB, made on the data's tmpfs the
    first time a job asks; (root, digests)."""
    if getattr(data, "_large", None) is None:
        root = os.path.join(data.home, "large")
        small = {"a.txt": b"alpha\n", "d/b.txt": b"beta\n"}
        trees.write_tree(root, small)
        with open(os.path.join(root, "disk.img"), "wb") as f:
            f.truncate(LARGE_SIZE - 4)
            f.seek(LARGE_SIZE - 4)
            f.write(b"tail")
        h, zeros, left = hashlib.md5(), memoryview(bytes(16 << 20)), LARGE_SIZE - 4
        while left:
            h.update(zeros[:min(left, len(zeros))])
            left -= min(left, len(zeros))
        h.update(b"tail")
        data._large = (root, {**trees.digests(small), "disk.img": h.hexdigest()})
    return data._large


def streamed_archive(data):
    """An archive, made by the tool and judged by zlib, whose members the
    tool inflates in streams; (archive, digests)."""
    if getattr(data, "_streamed", None) is None:
        files = dict(STREAMED)
        files["mixed.bin"] = random.Random(5).randbytes(8 << 20) * 3  # repeats past the window
        root, arc = os.path.join(data.home, "streamed"), os.path.join(data.home, "streamed.mdt")
        trees.write_tree(root, files)
        data.tool("-f", root, "-a", arc)
        digests = trees.digests(files)
        assert not trees.check_archive(arc, digests)
        data._streamed = (arc, digests)
    return data._streamed


def check_piped_archive(data, root, cut, final):
    """The spool has no name on the disk; after exit 0 standard output
    held the whole archive."""
    problems = ["the spool directory holds %s" % ", ".join(os.listdir(os.path.join(root, "spool"))[:3])] \
        if os.listdir(os.path.join(root, "spool")) else []
    if final:
        with tempfile.NamedTemporaryFile(dir=data.home) as f:
            f.write(cut.stdout)
            f.flush()
            problems += ["on standard output: " + p for p in trees.check_archive(f.name, data.old)]
    return problems


def check_streamed(data, root, cut, final):
    allowed, whole = trees.exactly(streamed_archive(data)[1])
    return trees.check_files(os.path.join(root, "x"), "x", allowed, whole if final else ())


def manifest_ok(path, data):
    with open(path) as f:
        lines = {line for line in f.read().split("\n") if line[:1] in ("-", "+")}
    return lines == trees.manifest_lines(data.old, data.new)


def read_or_none(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def admin_problems(path, before, kept, final):
    """The administration file holds its old content or the new one: what
    it kept, then the patch's record."""
    got = read_or_none(path)
    if got is not None and re.fullmatch(re.escape(kept) + RECORD, got):
        return []
    if got == before and not final:
        return []
    return ["the administration file holds %r" % (got if got is None else got[-120:])]


def status_problems(cut, final, want=0):
    if final and cut.status != want:
        return ["the run exited with %s: %s" % (cut.status, cut.stderr[-300:].decode(errors="replace"))]
    return []


def _mkdirs(*names):
    def setup(data, root):
        for n in names:
            os.makedirs(os.path.join(root, n))
    return setup


def check_store(data, root, cut, final):
    """Every object holds the content its name gives; after exit 0, every
    object the run printed is there."""
    store = os.path.join(root, "store")
    problems, _, _ = trees.mdt.check_store(store)
    if final:
        have = trees.mdt.store_digests(store)
        printed = {line[:2] + line[3:33] for line in cut.stdout.decode(errors="replace").splitlines()}
        if printed != set(data.old.values()):
            problems.append("the run printed %d objects, the tree has %d contents" % (
                len(printed), len(set(data.old.values()))))
        if printed - have:
            problems.append("%d printed objects are not in the store" % len(printed - have))
    return problems


def check_restore(data, root, cut, final, where="out"):
    allowed, whole = trees.exactly(data.old)
    return trees.check_files(os.path.join(root, where), where, allowed, whole if final else ())


def check_archive(data, root, cut, final, want=None):
    path = os.path.join(root, "a.mdt")
    if not os.path.exists(path):
        return ["no archive after exit 0"] if final else []
    return trees.check_archive(path, data.old if want is None else want)


def check_mkpatch(data, root, cut, final):
    """The copies in new/ are whole; FILES, written last, is absent or
    complete."""
    patch = os.path.join(root, "patch")
    allowed, whole = trees.exactly(data.plus)
    problems = trees.check_files(os.path.join(patch, "new"), "patch/new", allowed, whole if final else ())
    files = os.path.join(patch, "FILES")
    if os.path.exists(files):
        if not manifest_ok(files, data):
            problems.append("patch/FILES (%d bytes) is not the whole manifest" % os.path.getsize(files))
    elif final:
        problems.append("no patch/FILES after exit 0")
    return problems


def _store_copy(damage=0):
    """The store on the disk; with damage, that many objects with a byte
    flipped."""
    def setup(data, root):
        shutil.copytree(data.store, os.path.join(root, "store"))
        for d in sorted(trees.mdt.store_digests(data.store))[:damage]:
            with open(os.path.join(root, "store", d[:2], d[2:]), "r+b") as f:
                b = f.read(1)
                f.seek(0)
                f.write(bytes([(b[0] if b else 0) ^ 1]))
    return setup


def damaged_digests(data, n):
    return set(sorted(trees.mdt.store_digests(data.store))[:n])


DAMAGED = 3


def check_prune(data, root, cut, final):
    """What the listing references is always there and whole; after exit 0
    every object printed as removed is gone, for good, and nothing of the
    run is left."""
    store = os.path.join(root, "store")
    problems, _, temps = trees.mdt.check_store(store)
    have = trees.mdt.store_digests(store)
    kept = set(data.half.values())
    if kept - have:
        problems.append("%d referenced objects are gone" % len(kept - have))
    if final:
        removed = {line[9:].replace("/", "") for line in cut.stdout.decode(errors="replace").splitlines()}
        if removed != set(data.old.values()) - kept:
            problems.append("the run printed %d removals, %d were due" % (len(removed),
                                                                          len(set(data.old.values()) - kept)))
        if removed & have:
            problems.append("%d objects printed as removed are back" % len(removed & have))
        if temps:
            problems.append("left behind: %s" % ", ".join(os.path.relpath(t, store) for t in temps[:3]))
    return problems


def check_verify(data, root, cut, final):
    """Only the damaged objects may hold other content, and what moved to
    damaged/ is exactly their bytes; after the run, they are all there, out
    of the store proper."""
    store = os.path.join(root, "store")
    bad = damaged_digests(data, DAMAGED)
    problems = [p for p in trees.mdt.check_store(store)[0]
                if not p.endswith("damaged") and not any(d[2:] in p for d in bad)]
    moved = set()
    for d in bad:
        p = os.path.join(store, "damaged", d[:2], d[2:])
        if os.path.exists(p):
            moved.add(d)
            if trees.md5(read_or_none(p)) == d:
                problems.append("damaged/%s holds the good content" % d[:2])
    if final:
        if moved != bad:
            problems.append("%d of %d damaged objects are in damaged/" % (len(moved), len(bad)))
        if bad & trees.mdt.store_digests(store):
            problems.append("a damaged object is still in the store")
    return problems


def simple_jobs():
    return [
        Job("store", "-i (objects in the content store)", _mkdirs(),
            lambda d: [d.mdtree, "-R", "{M}/store", "-i", d.src], "{M}", check_store, None),
        Job("restore", "-o (files restored from the store)", _mkdirs("out"),
            lambda d: [d.mdtree, "-R", d.store, "-o", d.listing], "{M}/out", check_restore, None),
        Job("extract", "-t -a (archive extraction)", _mkdirs("x"),
            lambda d: [d.mdtree, "-t", "{M}/x", "-a", d.archive], "{M}",
            lambda d, r, c, f: check_restore(d, r, c, f, "x"), None),
        Job("extract-pipe", "-t -a - (archive extraction from standard input)", _mkdirs("x"),
            lambda d: [d.mdtree, "-t", "{M}/x", "-a", "-"], "{M}",
            lambda d, r, c, f: check_restore(d, r, c, f, "x"), None, stdin=lambda d: d.archive),
        Job("archive", "-f -a (archive creation)", _mkdirs(),
            lambda d: [d.mdtree, "-f", d.src, "-a", "{M}/a.mdt"], "{M}", check_archive, None),
        Job("archive-large", "-f -a of a sparse member past 4 GiB (the large layout)", _mkdirs(),
            lambda d: [d.mdtree, "-f", large_tree(d)[0], "-a", "{M}/a.mdt"], "{M}",
            lambda d, r, c, f: check_archive(d, r, c, f, large_tree(d)[1]), None, cuts=2),
        Job("archive-pipe", "-f -a - (archive creation through a pipe, spooled on the disk)", _mkdirs("spool"),
            lambda d: [d.mdtree, "-f", d.src, "-a", "-"], "{M}", check_piped_archive, None,
            env={"TMPDIR": "{M}/spool"}, cuts=4),
        Job("extract-large", "-t -a - of members inflated in streams, from standard input", _mkdirs("x"),
            lambda d: [d.mdtree, "-t", "{M}/x", "-a", "-"], "{M}",
            check_streamed, None,
            stdin=lambda d: streamed_archive(d)[0], cuts=4),
        Job("mkpatch", "-f -t -p (patch creation)", _mkdirs(),
            lambda d: [d.mdtree, "-f", d.src, "-t", d.dst, "-p", "{M}/patch"], "{M}", check_mkpatch, None),
        Job("prune", "-P (objects removed from the store)", _store_copy(),
            lambda d: [d.mdtree, "-R", "{M}/store", "-g", "0s", "-P", d.half_listing], "{M}", check_prune, None),
        Job("verify", "-V (damaged objects moved aside)", _store_copy(DAMAGED),
            lambda d: [d.mdtree, "-R", "{M}/store", "-V"], "{M}", check_verify, None, 1),
    ]
