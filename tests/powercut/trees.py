"""The trees the jobs work on, and the oracles that judge what a cut left:
Python's hashlib and zlib, never the tool under test."""

import hashlib
import os
import random
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import mdt  # noqa: E402  (check_store, read_archive, the temporary-file prefix)

TEMP_PREFIX = mdt.STORE_TEMP_PREFIX
def md5(data):
    return hashlib.md5(data).hexdigest()


def _content(rng, size):
    """Text-like bytes (compressible, as most trees are) or random ones."""
    raw = rng.randbytes(size * 3 // 4 + 1)
    if rng.random() < 0.5:
        import base64
        return base64.b64encode(raw)[:size]
    return raw[:size]


def make_pair(rng, files, big):
    """The old and the new tree as {relative path: bytes}: files small
    files (a twenty-fifth repeating the previous content) in directories of
    a hundred and `big` files of 3 MiB; the new tree changes a quarter,
    removes a twentieth, moves a fiftieth and adds a tenth."""
    old, new = {}, {}
    prev = b""
    for i in range(files):
        rel = "d%02d/f%04d.dat" % (i // 100, i)
        data = prev if i % 25 == 11 else _content(rng, rng.randint(1024, 16 * 1024))
        old[rel], prev = data, data
        if i % 20 == 7:
            continue
        if i % 50 == 3:
            new["moved/" + rel] = data
        elif i % 4 == 1:
            new[rel] = _content(rng, rng.randint(512, 16 * 1024))
        else:
            new[rel] = data
    for i in range(files // 10):
        new["added/%02d/n%04d.dat" % (i // 100, i)] = _content(rng, rng.randint(1, 12 * 1024))
    for i in range(big):
        old["big/b%d.bin" % i] = rng.randbytes(3 << 20)
        if i % 3 == 0:
            new["big/b%d.bin" % i] = rng.randbytes(3 << 20)
        elif i % 3 == 1:
            new["big/b%d.bin" % i] = old["big/b%d.bin" % i]
    new["big/b%d.bin" % big] = rng.randbytes(3 << 20)
    return old, new


def write_tree(root, files):
    for rel, data in files.items():
        p = os.path.join(root, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)


def digests(files):
    return {rel: md5(data) for rel, data in files.items()}


def listing(d):
    return "".join("%s  %s\n" % (h, rel) for rel, h in sorted(d.items()))


def manifest_lines(old_d, new_d):
    """The entry lines a patch from old to new must have, in any order."""
    minus = {"-%s  %s" % (h, rel) for rel, h in old_d.items() if new_d.get(rel) != h}
    plus = {"+%s  %s" % (h, rel) for rel, h in new_d.items() if old_d.get(rel) != h}
    return minus | plus


def scan(root):
    """{relative path: digest} of the regular files below root, and the
    temporary files (which a cut may leave; they never carry a final name)."""
    found, temps = {}, []
    if not os.path.isdir(root):
        return found, temps
    for dirpath, _, names in os.walk(root):
        for n in names:
            p = os.path.join(dirpath, n)
            rel = os.path.relpath(p, root)
            if n.startswith(TEMP_PREFIX):
                temps.append(rel)
                continue
            with open(p, "rb") as f:
                found[rel] = md5(f.read())
    return found, temps


def describe(path, got, allowed):
    what = "nothing (empty)" if got == md5(b"") else "content %s" % got
    return "%s holds %s, not %s" % (path, what, " or ".join(sorted(allowed)) or "a file (no such name)")


def check_files(root, label, allowed, must_have=()):
    """Every file below root must hold one of allowed[rel] (a set of
    digests), and every name of must_have must be there. Returns problems."""
    found, _ = scan(root)
    problems = [describe("%s/%s" % (label, rel), h, allowed.get(rel, ()))
                for rel, h in sorted(found.items()) if h not in allowed.get(rel, ())]
    missing = sorted(set(must_have) - set(found))
    if missing:
        problems.append("%d files of %s/ missing, the first %s" % (len(missing), label, missing[0]))
    return problems


def exactly(d):
    """allowed and must_have for a tree that must be exactly d."""
    return {rel: {h} for rel, h in d.items()}, d.keys()


ENTRY_LARGE = 2
# Inflated at most this much at a time: a stream of zeros may grow a
# thousandfold.
INFLATE_STEP = 16 << 20


def _member_digest(f, offset, compsize):
    """(md5 hex, length) of the zlib stream of compsize bytes at offset of
    the open file f, inflated piece by piece; raises zlib.error."""
    f.seek(offset)
    d, h, n, left, pending = zlib.decompressobj(), hashlib.md5(), 0, compsize, b""
    while not d.eof:
        if not pending and left:
            pending = f.read(min(left, 1 << 20))
            left = left - len(pending) if pending else 0
        # With no input left, zlib may still hold output: asked for it, it
        # gives nothing only when the stream is cut.
        body = d.decompress(pending, INFLATE_STEP)
        if not body and not pending and not d.eof:
            raise zlib.error("the stream ends early")
        pending = d.unconsumed_tail
        h.update(body)
        n += len(body)
    return h.hexdigest(), n


def check_archive(path, want):
    """An archive under its final name must be whole: its table parses (a
    large entry's 64-bit sizes and offset read from its tail), and every
    member inflates with zlib to the content of the tree's file. Returns
    problems."""
    import struct
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        head = f.read(8)
        h = struct.unpack_from("<I", head, 4)[0] if len(head) == 8 else 0
        table = head + f.read(max(0, h - 8))
        try:
            _, entries = mdt.read_archive(table)
        except (ValueError, Exception) as e:
            return ["the archive (%d bytes) is damaged: %s" % (size, e)]
        for e in entries:
            if e["reserved1"] & ENTRY_LARGE:
                raw = table[e["at"]:e["at"] + e["entrysize"]]
                e["origsize"], e["compsize"], e["offset"] = struct.unpack_from("<3Q", raw, len(raw) - 24)
        names = {e["name"].decode(errors="replace"): e for e in entries}
        problems = []
        if set(names) != set(want):
            problems.append("the archive names %d files, the tree has %d" % (len(names), len(want)))
        for name, e in sorted(names.items()):
            if e["offset"] + e["compsize"] > size:
                problems.append("member %s lies past the archive's end" % name)
                continue
            try:
                got, n = _member_digest(f, e["offset"], e["compsize"])
            except zlib.error as z:
                problems.append("member %s does not inflate: %s" % (name, z))
                continue
            if got != want.get(name) or n != e["origsize"]:
                problems.append("member %s inflates to %s (%d bytes), not %s" % (name, got, n, want.get(name)))
    return problems
