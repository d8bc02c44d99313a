"""Archives past the 32-bit words: a member of 4 GiB or more, data that
passes 4 GiB, and what a reader of the plain layout makes of them. Sparse
files on tmpfs keep the sources free; md5sum and Python's zlib are the
oracles. Slow (minutes under a sanitizer): skipped there, like the limits."""

import os
import struct
import subprocess
import unittest
import zlib

import mdt

GIB = 1 << 30
ENTRY_EXEC, ENTRY_LARGE = 1, 2
SLOW = any(os.environ.get(k) for k in ("ASAN_OPTIONS", "TSAN_OPTIONS", "MDTREE_SLOW_BUILD"))


def table(path):
    """(headersize, entries) of the archive at path, read by the format's
    rules with the large entries' 64-bit tail decoded."""
    with open(path, "rb") as f:
        head = f.read(8)
        (h,) = struct.unpack_from("<I", head, 4)
        data = head + f.read(h - 8)
    h, entries = mdt.read_archive(data + b"\0" * 0)
    for e in entries:
        if e["reserved1"] & ENTRY_LARGE:
            raw = data[e["at"]:e["at"] + e["entrysize"]]
            e["origsize"], e["compsize"], e["offset"] = struct.unpack_from("<3Q", raw, len(raw) - 24)
    return h, entries


def md5sum(path):
    out = subprocess.run(["md5sum", path], stdout=subprocess.PIPE, check=True).stdout
    return out.split()[0].decode()


def sparse(path, size, tail=b""):
    """A file of size bytes, zeros but for tail at its end, in no blocks."""
    with open(path, "wb") as f:
        f.truncate(size)
        if tail:
            f.seek(size - len(tail))
            f.write(tail)


@unittest.skipIf(SLOW, "minutes of compression under a sanitizer")
class LargeArchives(mdt.ScratchTreeTest):
    def extract_and_check(self, arc, entries):
        out = self.path("out")
        r = mdt.run(["-t", out, "-a", arc])
        self.assertOk(r)
        for e in entries:
            p = os.path.join(out, e["name"].decode())
            self.assertIn(e["name"] + b": OK", r.stderr)
            self.assertEqual(os.path.getsize(p), e["origsize"])
            self.assertEqual(md5sum(p), e["md5"][:32].decode())
            os.unlink(p)  # tmpfs holds what extraction writes

    @unittest.skipIf(mdt.TEST_JOBS, "the same large-entry path as at the default thread count, and a minute more")
    def test_member_of_5_gib_is_stored_in_large_entries(self):
        src = self.path("src")
        os.makedirs(src)
        sparse(os.path.join(src, "disk.img"), 5 * GIB, b"end")
        mdt.make_tree(src, {"small": "x\n"})
        want = {"disk.img": md5sum(os.path.join(src, "disk.img")), "small": mdt.md5_hex(b"x\n")}
        arc = self.path("a.arc")
        self.assertOk(mdt.run(["-f", src, "-a", arc]))
        h, entries = table(arc)
        self.assertEqual({e["name"].decode(): e["md5"][:32].decode() for e in entries}, want)
        for e in entries:
            # Every entry of the archive is large, and its plain offset is
            # the zero that readers of the plain layout refuse.
            self.assertEqual(e["reserved1"] & ENTRY_LARGE, ENTRY_LARGE)
            self.assertEqual(e["entrysize"], mdt.archive_entry_size(len(e["name"])) + 24)
            self.assertGreaterEqual(e["offset"], h)
        big = next(e for e in entries if e["name"] == b"disk.img")
        self.assertEqual(big["origsize"], 5 * GIB)
        with open(arc, "rb") as f:
            f.seek(big["offset"])
            self.assertEqual(f.read(2), b"\x78\xda")
        # The listing of the archive is its table.
        r = mdt.run(["-l", arc])
        self.assertOk(r)
        self.assertEqual(sorted(mdt.parse_listing(r.stdout)), sorted((v, k.encode()) for k, v in want.items()))
        self.extract_and_check(arc, entries)

    @unittest.skipIf(mdt.TEST_JOBS, "the same path as at the default thread count, and a minute more")
    def test_tree_past_4_gib_that_compresses_keeps_the_plain_layout(self):
        # Five distinct files of 900 MB: 4.5 GB of content, so the writer
        # keeps room for large entries, then moves the data down when the
        # streams stay far below 4 GiB.
        src = self.path("src")
        os.makedirs(src)
        for i in range(5):
            sparse(os.path.join(src, "part%d" % i), 900 * 10**6, b"%d" % i)
        arc = self.path("a.arc")
        self.assertOk(mdt.run(["-f", src, "-a", arc]))
        h, entries = table(arc)
        self.assertEqual(len(entries), 5)
        pos = h
        for e in entries:
            self.assertEqual((e["reserved1"], e["reserved2"]), (0, 0))
            self.assertEqual(e["entrysize"], mdt.archive_entry_size(len(e["name"])))
            self.assertEqual(e["offset"], pos)  # back to back from the table
            pos += e["compsize"]
        self.assertEqual(os.path.getsize(arc), pos)
        self.extract_and_check(arc, entries)

    def test_member_stored_past_4_gib_is_read_from_there(self):
        # An archive whose member starts past 4 GiB, written here by hand in
        # the large layout; the bytes before it are a hole no entry names.
        content = b"past the fourth gibibyte\n" * 1000
        stream = zlib.compress(content, 9)
        name = b"far/away"
        size = mdt.archive_entry_size(len(name)) + 24
        h = 12 + size
        offset = 4 * GIB + 12345
        e = struct.pack("<7I", 0x0112358D, size, len(content), len(stream), 0, ENTRY_LARGE | ENTRY_EXEC, 0)
        e += mdt.md5_hex(content).encode() + b"\0" + name + b"\0"
        e += b"\0" * (size - 24 - len(e)) + struct.pack("<3Q", len(content), len(stream), offset)
        arc = self.path("far.arc")
        with open(arc, "wb") as f:
            f.write(mdt.ARCHIVE_MAGIC_BYTES + struct.pack("<I", h) + e + b"\0" * 4)
            f.seek(offset)
            f.write(stream)
        out = self.path("out")
        r = mdt.run(["-t", out, "-a", arc])
        self.assertOk(r)
        self.assertEqual(r.stderr, b"far/away: OK\n")
        with open(os.path.join(out, "far/away"), "rb") as f:
            self.assertEqual(f.read(), content)
        self.assertTrue(os.stat(os.path.join(out, "far/away")).st_mode & 0o100)
        # A reader that takes the plain words only (the flag cleared) meets
        # the zero offset and refuses the archive whole.
        with open(arc, "r+b") as f:
            f.seek(8 + 20)
            f.write(struct.pack("<I", ENTRY_EXEC))
        r = mdt.run(["-t", self.path("out2"), "-a", arc])
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"not a valid archive: member data outside the data area", r.stderr)
        self.assertFalse(os.path.exists(self.path("out2")))


if __name__ == "__main__":
    unittest.main()
