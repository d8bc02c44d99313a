"""The benchmark's data sets, built once under the scratch directory.

Every generated tree is deterministic (fixed seeds), so two runs on two
machines measure the same bytes. A data set is built in a directory of its
own and marked complete by a stamp file; a half-built one (an interrupted
run) is removed and built again.
"""

import os
import random
import shutil
import subprocess
import time

STAMP = ".complete"

# Words for text-like contents: compressible about as well as source code or
# prose, so that the archive rows measure deflate on realistic input rather
# than on noise it can not shrink.
_VOCAB_RNG = random.Random(7)
VOCAB = [
    "".join(_VOCAB_RNG.choice("abcdefghijklmnopqrstuvwxyz_") for _ in range(_VOCAB_RNG.randint(2, 10)))
    for _ in range(2000)
] + ["{", "}", "(", ")", ";", "=", "\n", "\n    ", "0", "1", "return", "const"]


def _text(rng, size):
    words = rng.choices(VOCAB, k=size // 4 + 8)
    data = " ".join(words).encode()
    while len(data) < size:
        data += b" " + " ".join(rng.choices(VOCAB, k=64)).encode()
    return data[:size]


def _ready(path):
    return os.path.exists(os.path.join(path, STAMP))


def _fresh(path):
    if os.path.lexists(path):
        shutil.rmtree(path)
    os.makedirs(path)


def _finish(path):
    # The stamp lives beside the data, not in it: mdtree walks the data dir.
    open(os.path.join(path, STAMP), "w").close()
    # Written back now rather than under the first timed commands.
    os.sync()


def _layout(index):
    """Relative path of file number index: 100 files per directory, 100
    directories per top-level directory, so every tree has the same shape
    whatever its size."""
    return "d%03d/s%02d/f%03d.txt" % (index // 10000, index // 100 % 100, index % 100)


def _write(root, rel, data):
    path = os.path.join(root, rel)
    try:
        f = open(path, "wb")
    except FileNotFoundError:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        f = open(path, "wb")
    with f:
        f.write(data)


def small_files(base, name, count, dup_share, seed):
    """count files of 1 to 16 KiB of text; dup_share of them repeat the
    content of an earlier file of the tree. Returns the tree's root."""
    home = os.path.join(base, name)
    tree = os.path.join(home, "tree")
    if _ready(home):
        return tree
    print("building %s (%d files)" % (name, count), flush=True)
    _fresh(tree)
    rng = random.Random(seed)
    contents = []
    for i in range(count):
        if contents and rng.random() < dup_share:
            data = rng.choice(contents)
        else:
            data = _text(rng, rng.randint(1024, 16 * 1024))
            contents.append(data)
        _write(tree, _layout(i), data)
    _finish(home)
    return tree


def tiny_files(base, name, count, seed):
    """count files of 1 to 128 bytes, each unique, and a changed copy of the
    tree for patches: every tenth file changed, one in a hundred removed,
    one in a hundred added. Returns (tree, changed tree)."""
    home = os.path.join(base, name)
    tree = os.path.join(home, "tree")
    changed = os.path.join(home, "changed")
    if _ready(home):
        return tree, changed
    print("building %s (%d files, twice)" % (name, count), flush=True)
    _fresh(tree)
    _fresh(changed)
    rng = random.Random(seed)
    for i in range(count):
        rel = _layout(i)
        data = b"%d\n" % i + _text(rng, rng.randint(1, 120))
        _write(tree, rel, data)
        if i % 100 == 1:
            continue
        if i % 10 == 0:
            data = b"changed " + data
        _write(changed, rel, data)
    for i in range(count // 100):
        _write(changed, "added/%02d/n%05d.txt" % (i // 1000, i), b"new %d\n" % i)
    _finish(home)
    return tree, changed


def flat_files(base, name, count, part):
    """count empty files in one directory (flat/), and part more in a
    directory beside it (part/): memory per entry, not reading, is what
    they measure, and an empty file costs tmpfs no page. Returns the
    directory holding both."""
    home = os.path.join(base, name)
    tree = os.path.join(home, "tree")
    if _ready(home):
        return tree
    print("building %s (%d files in one directory)" % (name, count), flush=True)
    _fresh(tree)
    for sub, n in (("flat", count), ("part", part)):
        os.makedirs(os.path.join(tree, sub))
        for i in range(n):
            open(os.path.join(tree, sub, "file%07d" % i), "wb").close()
    # Older than any cache written from now on, so that its racy rule
    # trusts every entry.
    old = time.time() - 3600
    for sub in ("flat", "part"):
        d = os.path.join(tree, sub)
        for f in os.listdir(d):
            os.utime(os.path.join(d, f), (old, old))
    _finish(home)
    return tree


def big_file(base, size):
    """One file of size bytes of random data alone in a directory. Returns
    (directory, file)."""
    # The size is in the name, as the file count is for the other sets: a
    # --scale run must not leave a small file that a full run then times
    # under the full size's title.
    home = os.path.join(base, "big%d" % size)
    tree = os.path.join(home, "tree")
    path = os.path.join(tree, "big.bin")
    if _ready(home) and os.path.getsize(path) == size:
        return tree, path
    print("building big (%d MiB)" % (size >> 20), flush=True)
    _fresh(tree)
    block = 1 << 20
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(block, left)
            f.write(os.urandom(n))
            left -= n
    _finish(home)
    return tree, path


def sparse_file(base, size):
    """One sparse file of size bytes (zeros, no blocks) alone in a
    directory, as a virtual machine's fresh disk image. Returns (directory,
    file)."""
    home = os.path.join(base, "sparse%d" % size)
    tree = os.path.join(home, "tree")
    path = os.path.join(tree, "disk.img")
    if _ready(home) and os.path.getsize(path) == size:
        return tree, path
    _fresh(tree)
    with open(path, "wb") as f:
        f.truncate(size)
    _finish(home)
    return tree, path


def npm_package(base, pkg):
    """A release of a package from the npm registry, fetched with npm pack
    and unpacked. Returns the unpacked package directory."""
    home = os.path.join(base, "npm-" + pkg.replace("/", "_").replace("@", "_"))
    tree = os.path.join(home, "tree")
    if _ready(home):
        return os.path.join(tree, "package")
    print("fetching %s" % pkg, flush=True)
    _fresh(home)
    out = subprocess.run(["npm", "pack", "--silent", pkg], cwd=home, check=True,
                         stdout=subprocess.PIPE, text=True).stdout.split()
    tgz = os.path.join(home, out[-1])
    os.makedirs(tree)
    subprocess.run(["tar", "-xzf", tgz, "-C", tree], check=True)
    _finish(home)
    return os.path.join(tree, "package")
