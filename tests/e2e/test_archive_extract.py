"""Archive extraction (-t DIR -a FILE) of sound, damaged and hostile
archives. Damaged and hostile archives are written by mdt.write_archive,
independently of mdtree."""

import os
import resource
import struct
import subprocess
import zlib

import mdt


def slurp(path):
    with open(path, "rb") as f:
        return f.read()


def temp_files(root):
    return [os.path.join(d, n) for d, _, names in os.walk(root) for n in names if n.startswith(".mdtree-")]


class ExtractTest(mdt.TreeTest):
    def write(self, data, name="a.mdt"):
        p = self.path(name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def extract(self, arch, out=None):
        out = out or self.path("out")
        return out, mdt.run(["-t", out, "-a", arch])


class SoundArchives(ExtractTest):
    def test_empty_archive_creates_nothing(self):
        arch = self.write(bytes.fromhex("8d3512010c00000000000000"))
        out, p = self.extract(arch)
        self.assertOk(p)
        self.assertEqual((p.stdout, p.stderr), (b"", b""))
        self.assertFalse(os.path.exists(out))

    def test_foreign_archive_with_shared_stream_and_other_padding(self):
        # Any valid zlib stream is accepted, and padding bytes are ignored.
        shared = mdt.archive_member("x/one", b"shared content\n" * 50, level=1)
        members = [shared, dict(shared, name=b"y/two", padding=0xAA),
                   mdt.archive_member("e", b"", level=0)]
        out, p = self.extract(self.write(mdt.write_archive(members)))
        self.assertOk(p)
        self.assertEqual(p.stderr, b"x/one: OK\ny/two: OK\ne: OK\n")
        self.assertEqual(mdt.tree_digests(out), {b"x/one": shared["md5"], b"y/two": shared["md5"],
                                                  b"e": mdt.md5_hex(b"")})

    def test_large_members_and_streams_shared_from_far_back(self):
        # Streams larger than any read buffer, and entries that go back to
        # them after later streams have been read.
        big = os.urandom(3 << 20)
        first = mdt.archive_member("big", big, level=1)
        small = mdt.archive_member("small", b"small\n" * 1000)
        text = mdt.archive_member("text", b"".join(b"%d\n" % i for i in range(300_000)))
        members = [first, small, text, dict(first, name=b"big again"), dict(small, name=b"small again"),
                   dict(text, name=b"text again")]
        out, p = self.extract(self.write(mdt.write_archive(members)))
        self.assertOk(p)
        self.assertEqual(p.stderr, b"".join(m["name"] + b": OK\n" for m in members))
        self.assertEqual(mdt.tree_digests(out), {m["name"]: m["md5"] for m in members})

    def test_valid_member_replaces_an_existing_file(self):
        out = mdt.make_tree(self.path("out"), {"f": "old contents\n", "other": "stays\n"})
        arch = self.write(mdt.write_archive([mdt.archive_member("f", b"new\n")]))
        _, p = self.extract(arch, out)
        self.assertOk(p)
        self.assertEqual(slurp(os.path.join(out, "f")), b"new\n")
        self.assertEqual(slurp(os.path.join(out, "other")), b"stays\n")


class DamagedMembers(ExtractTest):
    """Each case damages the member 'bad' (which an existing file of the
    same name must survive) and leaves 'good' sound."""

    CONTENT = b"".join(b"record %d\n" % i for i in range(2000))

    def damaged(self, **changes):
        bad = mdt.archive_member("d/bad", self.CONTENT)
        bad.update(changes)
        return [mdt.archive_member("good", b"fine\n"), bad, mdt.archive_member("after", b"also fine\n")]

    def check(self, members):
        out = mdt.make_tree(self.path("out"), {"d/bad": "earlier good file\n"})
        _, p = self.extract(self.write(mdt.write_archive(members)), out)
        self.assertOk(p)
        self.assertEqual(p.stderr, b"good: OK\nd/bad: Invalid checksum\nafter: OK\n")
        self.assertEqual(slurp(os.path.join(out, "d/bad")), b"earlier good file\n")
        self.assertEqual(slurp(os.path.join(out, "good")), b"fine\n")
        self.assertEqual(slurp(os.path.join(out, "after")), b"also fine\n")
        self.assertEqual(temp_files(out), [])

    def test_flipped_byte_in_the_stream(self):
        stream = bytearray(zlib.compress(self.CONTENT, 9))
        stream[len(stream) // 2] ^= 0x40
        self.check(self.damaged(stream=bytes(stream)))

    def test_wrong_digest(self):
        self.check(self.damaged(md5=mdt.md5_hex(b"something else")))

    def test_stream_cut_short(self):
        self.check(self.damaged(stream=zlib.compress(self.CONTENT, 9)[:-20]))

    def test_stream_that_ends_short_of_origsize(self):
        self.check(self.damaged(origsize=len(self.CONTENT) + 1))

    def test_stream_longer_than_origsize(self):
        self.check(self.damaged(origsize=len(self.CONTENT) - 1))

    def test_zlib_stream_needing_a_dictionary(self):
        c = zlib.compressobj(9, zdict=b"record")
        self.check(self.damaged(stream=c.compress(self.CONTENT) + c.flush()))

    def test_member_without_a_file_of_that_name_leaves_none(self):
        out = self.path("out")
        members = self.damaged(md5=mdt.md5_hex(b"other"))
        _, p = self.extract(self.write(mdt.write_archive(members)), out)
        self.assertOk(p)
        self.assertFalse(os.path.exists(os.path.join(out, "d/bad")))
        self.assertEqual(temp_files(out), [])

    def test_small_stream_expanding_without_end_stops_at_origsize(self):
        # 64 MiB of zeros in one stream that three entries claim holds 10
        # bytes each: each is refused as soon as it passes its size.
        stream = zlib.compress(b"\0" * (64 << 20), 9)
        claim = dict(stream=stream, md5=mdt.md5_hex(b"\0" * 10), origsize=10)
        members = [dict(claim, name=n) for n in (b"a", b"b", b"c")]
        arch, out = self.write(mdt.write_archive(members)), self.path("out")
        # A limit on the size of any file written: extraction that inflated
        # the whole stream would hit it and fail.
        limit = 4 << 20
        p = subprocess.run(mdt.argv(["-t", out, "-a", arch]), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
        self.assertOk(p)
        self.assertEqual(p.stderr, b"a: Invalid checksum\nb: Invalid checksum\nc: Invalid checksum\n")
        self.assertEqual(mdt.tree_digests(out), {})
        self.assertEqual(temp_files(out), [])


class HostileNames(ExtractTest):
    UNSAFE = [b"../escaped", b"a/../../escaped", b"/abs/escaped", b"./x", b"a/./x", b"", b"a//x", b"a/",
              b".", b".."]

    def test_unsafe_names_are_refused_and_the_rest_extracted(self):
        members = [mdt.archive_member(n, b"hostile\n") for n in self.UNSAFE]
        members.insert(3, mdt.archive_member("sub/ok", b"fine\n"))
        sandbox = self.path("sandbox")
        out = os.path.join(sandbox, "out")
        _, p = self.extract(self.write(mdt.write_archive(members)), out)
        self.assertOk(p)
        lines = p.stderr.splitlines(keepends=True)
        self.assertIn(b"sub/ok: OK\n", lines)
        self.assertEqual(len(lines), len(self.UNSAFE) + 1)
        for n in self.UNSAFE:
            self.assertIn(b"mdtree: refusing member '%s': unsafe name\n" % n, lines)
        self.assertEqual(mdt.tree_digests(self.tmp), {b"sandbox/out/sub/ok": mdt.md5_hex(b"fine\n"),
                                                      b"a.mdt": mdt.md5_hex(slurp(self.path("a.mdt")))})
        self.assertFalse(os.path.exists("/abs/escaped"))

    def test_symbolic_link_in_a_leading_directory_is_not_followed(self):
        outside = self.path("outside")
        os.makedirs(outside)
        out = self.path("out")
        os.makedirs(out)
        os.symlink(outside, os.path.join(out, "a"))
        os.makedirs(os.path.join(out, "real"))
        os.symlink(outside, os.path.join(out, "real", "link"))
        members = [mdt.archive_member(n, b"data\n") for n in ("a/b", "real/link/c/d", "real/e", "a")]
        _, p = self.extract(self.write(mdt.write_archive(members)), out)
        self.assertOk(p)
        self.assertEqual(p.stderr,
                         b"mdtree: refusing member 'a/b': a is a symbolic link\n"
                         b"mdtree: refusing member 'real/link/c/d': real/link is a symbolic link\n"
                         b"real/e: OK\na: OK\n")
        self.assertEqual(os.listdir(outside), [])
        # The last member replaced the link itself, not the directory behind it.
        self.assertFalse(os.path.islink(os.path.join(out, "a")))
        self.assertEqual(slurp(os.path.join(out, "a")), b"data\n")

    def test_target_path_too_long_is_refused(self):
        name = "/".join(["n" * 200] * 20)
        out = self.path("o" * 100)
        members = [mdt.archive_member(name, b"deep\n"), mdt.archive_member("short", b"ok\n")]
        _, p = self.extract(self.write(mdt.write_archive(members)), out)
        self.assertOk(p)
        self.assertEqual(p.stderr, b"mdtree: refusing member '%s': target path longer than 4095 bytes\n"
                                   b"short: OK\n" % name.encode())
        self.assertEqual(os.listdir(out), ["short"])


class DamagedTables(ExtractTest):
    """A damaged header or table is refused whole: status 1, a message
    naming the archive, nothing extracted, no listing printed."""

    def sound(self):
        return mdt.write_archive([mdt.archive_member("first", b"1\n"), mdt.archive_member("second", b"22\n")])

    def patch(self, at, value):
        data = bytearray(self.sound())
        struct.pack_into("<I", data, at, value)
        return bytes(data)

    def cases(self):
        sound = self.sound()
        h = struct.unpack_from("<I", sound, 4)[0]
        second = 8 + mdt.archive_entry_size(len("first"))
        return {
            "not an archive": b"d41d8cd98f00b204e9800998ecf8427e  e\n",
            "eleven bytes": sound[:11],
            "headersize below 12": self.patch(4, 4),
            "headersize past the end": self.patch(4, len(sound) + 4),
            "entrysize zero": self.patch(12, 0),
            "entrysize odd": self.patch(12, 70),
            "entrysize past the table": self.patch(second + 4, 400),
            "no terminator": self.patch(h - 4, 0x0112358D),
            "name without zero byte": sound[:second + 61] + b"x" * 11 + sound[second + 72:],
            "offset past the end": self.patch(second + 16, len(sound)),
            "compsize past the end": self.patch(second + 12, 1000),
            "archive cut in its data": sound[:-1],
        }

    def test_refused_before_anything_is_extracted(self):
        for what, data in self.cases().items():
            with self.subTest(what):
                arch = self.write(data, what.replace(" ", "_"))
                out, p = self.extract(arch, self.path("out-" + what.replace(" ", "_")))
                self.assertEqual(p.returncode, 1)
                self.assertEqual(p.stdout, b"")
                self.assertRegex(p.stderr, b"^mdtree: %s: not a valid archive: [^\n]+\n$" % arch.encode())
                self.assertFalse(os.path.exists(out))

    def test_listing_a_damaged_archive_fails(self):
        for what, data in self.cases().items():
            if data[:4] != mdt.ARCHIVE_MAGIC_BYTES:
                continue  # not taken for an archive at all
            with self.subTest(what):
                arch = self.write(data, what.replace(" ", "_"))
                p = mdt.run(["-l", arch])
                self.assertEqual(p.returncode, 1)
                self.assertEqual(p.stdout, b"")
                self.assertIn(arch.encode() + b": not a valid archive", p.stderr)


if __name__ == "__main__":
    import unittest
    unittest.main()
