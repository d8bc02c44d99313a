"""Archive creation (-f DIR -a FILE), checked byte for byte by an independent
reader of the format (mdt.read_archive with zlib and hashlib), the round trip
through extraction, and -l on an archive."""

import hashlib
import os
import pty
import random
import select
import subprocess
import unittest
import zlib

import mdt


def slurp(path):
    with open(path, "rb") as f:
        return f.read()


def real_tree(root, empty_dirs=True):
    """A tree with what archives meet in practice: text, incompressible
    bytes, zeros, empty files, duplicates in several directories, names with
    spaces, UTF-8 and leading dots, a file larger than any I/O buffer, and
    files about the size (1 MiB) above which a member is compressed in
    pieces that are joined into one stream."""
    rng = random.Random(4)
    text = "".join("line %d of some source text\n" % i for i in range(3000))
    big = bytes(rng.getrandbits(8) for _ in range(200_000)) + text.encode() * 3
    files = {
        "README": text,
        "src/main.c": "int main(void) { return 0; }\n",
        "src/lib/util.c": text[:5000],
        "src/lib/copy of util.c": text[:5000],
        "src/lib/deep/er/still/x.h": "#pragma once\n",
        "noise.bin": bytes(rng.getrandbits(8) for _ in range(3000)),
        "zeros": b"\0" * 100_000,
        "one": b"x",
        "empty": b"",
        "also/empty": b"",
        ".hidden": "dot\n",
        "caf\u00e9/na\u00efve.txt": "utf-8 names\n",
        "big.bin": big,
        "dup/README": text,
        "dup/x.h": "#pragma once\n",
        "pieces/one": text.encode()[:1 << 20].ljust(1 << 20, b"#"),
        "pieces/one and a byte": rng.randbytes(1 << 20) + b"z",
        "pieces/mixed": (rng.randbytes(300_000) + text.encode() * 7 + b"\0" * 700_000)[:(5 << 19) + 3],
        # Large files of one size, some equal and some not: only files that
        # share a size can share a stream, and only equal ones do.
        "pieces/one again": text.encode()[:1 << 20].ljust(1 << 20, b"#"),
        "sized/a": b"a" + big[1:],
        "sized/b": b"b" + big[1:],
    }
    mdt.make_tree(root, files)
    if empty_dirs:
        # Directories without files leave no trace in an archive.
        os.makedirs(os.path.join(root, "empty dir/inner"))
    return root


def walk_order(tree):
    """The order in which mdtree's walk yields the files (from -l)."""
    p = mdt.run(["-l", tree])
    assert p.returncode == 0, p.stderr
    return [path for _, path in mdt.parse_listing(p.stdout)]


class ArchiveLayout(mdt.TreeTest):
    def create(self, tree, name="a.mdt"):
        arch = self.path(name)
        p = mdt.run(["-f", tree, "-a", arch])
        self.assertOk(p)
        self.assertEqual(p.stdout, b"")
        with open(arch, "rb") as f:
            return arch, f.read(), p.stderr

    def test_tree_without_files_gives_the_12_byte_archive(self):
        tree = self.path("t")
        os.makedirs(os.path.join(tree, "d/e"))
        os.symlink("/etc/passwd", os.path.join(tree, "link"))
        _, data, err = self.create(tree)
        self.assertEqual(data, bytes.fromhex("8d351201 0c000000 00000000"))
        self.assertEqual(err, b"")

    def test_one_empty_file_gives_the_88_byte_archive(self):
        tree = mdt.make_tree(self.path("t"), {"e": b""})
        _, data, err = self.create(tree)
        expected = (bytes.fromhex("8d351201 50000000 8d351201 44000000 00000000 08000000 50000000"
                                  "00000000 00000000")
                    + b"d41d8cd98f00b204e9800998ecf8427e\0" + b"e\0" + b"\0" * 5
                    + b"\0\0\0\0" + bytes.fromhex("78da030000000001"))
        self.assertEqual(data, expected)
        self.assertEqual(err, b"e (800%)\n")

    def test_real_tree_matches_the_format(self):
        tree = real_tree(self.path("t"))
        _, data, err = self.create(tree)
        h, entries = mdt.read_archive(data)

        # Table: every file once, in the reverse of the walk's order.
        order = walk_order(tree)
        self.assertEqual([e["name"] for e in entries], order[::-1])
        self.assertEqual(h, 12 + sum(e["entrysize"] for e in entries))

        contents = {}
        for rel in order:
            with open(os.path.join(os.fsencode(tree), rel), "rb") as f:
                contents[rel] = f.read()
        first_of = {}
        next_stream = h
        for e in entries:
            content = contents[e["name"]]
            self.assertEqual(e["magic"], 0x0112358D)
            self.assertEqual(e["entrysize"], mdt.archive_entry_size(len(e["name"])))
            self.assertEqual((e["reserved1"], e["reserved2"]), (0, 0))
            self.assertEqual(e["padding"], b"\0" * len(e["padding"]))
            self.assertEqual(e["md5"], hashlib.md5(content).hexdigest().encode() + b"\0")
            self.assertEqual(e["origsize"], len(content))
            if e["md5"] in first_of:
                # Shares the stream of the first entry with its digest.
                twin = first_of[e["md5"]]
                self.assertEqual((e["offset"], e["compsize"]), (twin["offset"], twin["compsize"]))
                continue
            first_of[e["md5"]] = e
            # Streams follow each other with no gap, in table order of first use.
            self.assertEqual(e["offset"], next_stream)
            stream = data[e["offset"]:e["offset"] + e["compsize"]]
            # Any valid level-9 zlib stream will do (libdeflate's differ
            # from zlib's); the empty one is zlib's own 8 bytes.
            self.assertEqual(stream[:2], b"\x78\xda")
            self.assertEqual(zlib.decompress(stream), content)
            if not content:
                self.assertEqual(stream, zlib.compress(b"", 9))
            next_stream += e["compsize"]
        self.assertEqual(next_stream, len(data), "nothing after the last stream")
        self.assertLess(len(first_of), len(entries), "the tree holds duplicates")

        expected_err = b"".join(
            e["name"] + b" (%d%%)\n" % (e["compsize"] * 100 // (e["origsize"] or 1)) for e in entries)
        self.assertEqual(err, expected_err)
        pct = {e["name"]: e["compsize"] * 100 // (e["origsize"] or 1) for e in entries}
        self.assertEqual(pct[b"zeros"], 0)
        self.assertGreater(pct[b"one"], 100)

    def test_equal_files_share_the_stream_of_the_last_walked(self):
        tree = mdt.make_tree(self.path("t"), {"a": "same\n", "b": "same\n", "c": "same\n"})
        _, data, err = self.create(tree)
        h, entries = mdt.read_archive(data)
        names = [e["name"] for e in entries]
        self.assertEqual(names, walk_order(tree)[::-1])
        self.assertEqual(len({(e["offset"], e["compsize"], e["origsize"]) for e in entries}), 1)
        self.assertEqual((entries[0]["offset"], entries[0]["origsize"]), (h, 5))
        self.assertEqual(zlib.decompress(data[h:h + entries[0]["compsize"]]), b"same\n")
        self.assertEqual(len(data), h + entries[0]["compsize"])
        line = b" (%d%%)\n" % (entries[0]["compsize"] * 100 // 5)
        self.assertEqual(err, b"".join(n + line for n in names))

    def test_old_archive_inside_the_tree_is_stored_as_it_was(self):
        tree = mdt.make_tree(self.path("t"), {"f": "data\n"})
        arch = os.path.join(tree, "a.mdt")
        self.assertOk(mdt.run(["-f", tree, "-a", arch]))
        old = slurp(arch)
        self.assertOk(mdt.run(["-f", tree, "-a", arch]))
        out = self.path("out")
        p = mdt.run(["-t", out, "-a", arch])
        self.assertOk(p)
        self.assertNotIn(b"Invalid", p.stderr)
        with open(os.path.join(out, "a.mdt"), "rb") as f:
            self.assertEqual(f.read(), old)

    def test_missing_parent_directories_of_the_archive_are_made(self):
        tree = mdt.make_tree(self.path("t"), {"f": "x"})
        arch = self.path("new", "dirs", "a.mdt")
        self.assertOk(mdt.run(["-f", tree, "-a", arch]))
        mdt.read_archive(slurp(arch))


class ArchiveCreationFailures(mdt.TreeTest):
    def test_listing_as_source_fails_on_its_first_member_and_keeps_the_old_archive(self):
        listing = self.path("list")
        with open(listing, "w") as f:
            f.write("%s  some/file\n" % mdt.md5_hex(b"x"))
        arch = self.path("keep", "a.mdt")
        os.makedirs(self.path("keep"))
        with open(arch, "wb") as f:
            f.write(b"precious")
        p = mdt.run(["-f", listing, "-a", arch])
        self.assertEqual(p.returncode, 1)
        self.assertRegex(p.stderr, rb"^can not open %s/some/file with mode rb at line \d+\n$" % listing.encode())
        with open(arch, "rb") as f:
            self.assertEqual(f.read(), b"precious")
        self.assertEqual(os.listdir(self.path("keep")), ["a.mdt"], "no temporary file left")

    def test_source_without_entries_gives_an_empty_archive(self):
        listing = self.path("list")
        open(listing, "w").close()
        arch = self.path("a.mdt")
        self.assertOk(mdt.run(["-f", listing, "-a", arch]))
        self.assertEqual(slurp(arch), bytes.fromhex("8d3512010c00000000000000"))

    def test_missing_source_is_fatal_and_creates_nothing(self):
        arch = self.path("a.mdt")
        p = mdt.run(["-f", self.path("nothing"), "-a", arch])
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr, b"can not stat %s\n" % self.path("nothing").encode())
        self.assertFalse(os.path.exists(arch))


class ArchiveRoundTrip(mdt.TreeTest):
    def test_create_extract_is_identical_and_verified(self):
        tree = real_tree(self.path("t"), empty_dirs=False)
        arch, out = self.path("a.mdt"), self.path("out")
        # One run creates and then extracts.
        p = mdt.run(["-f", tree, "-t", out, "-a", arch])
        self.assertOk(p)
        self.assertTreesEqual(tree, out)
        _, entries = mdt.read_archive(slurp(arch))
        packed = [e["name"] + b" (" for e in entries]
        lines = p.stderr.splitlines(keepends=True)
        self.assertEqual([l[:len(n)] for l, n in zip(lines, packed)], packed)
        self.assertEqual(lines[len(entries):], [e["name"] + b": OK\n" for e in entries])

    def test_listing_of_an_archive_is_its_table(self):
        tree = real_tree(self.path("t"))
        arch = self.path("a.mdt")
        self.assertOk(mdt.run(["-f", tree, "-a", arch]))
        _, entries = mdt.read_archive(slurp(arch))
        p = mdt.run(["-l", arch])
        self.assertOk(p)
        self.assertEqual(mdt.parse_listing(p.stdout),
                         [(e["md5"][:32].decode(), e["name"]) for e in entries])
        self.assertEqual(dict((n, d) for d, n in mdt.parse_listing(p.stdout)), mdt.tree_digests(tree))

    def test_listing_of_empty_and_88_byte_archives(self):
        empty = self.path("empty.mdt")
        with open(empty, "wb") as f:
            f.write(bytes.fromhex("8d3512010c00000000000000"))
        p = mdt.run(["-l", empty])
        self.assertOk(p)
        self.assertEqual(p.stdout, b"")
        tree = mdt.make_tree(self.path("t"), {"e": b""})
        one = self.path("one.mdt")
        self.assertOk(mdt.run(["-f", tree, "-a", one]))
        p = mdt.run(["-l", one])
        self.assertOk(p)
        self.assertEqual(p.stdout, b"d41d8cd98f00b204e9800998ecf8427e  e\n")



class ArchiveModes(mdt.TreeTest):
    """The executable bit, as git keeps it: the owner's x bit in the entry's
    first reserved word, and on extraction the x bits the umask allows."""

    def test_executable_bit_travels_and_nothing_else(self):
        tree = mdt.make_tree(self.path("t"), {"bin/run": "#!/bin/sh\n", "bin/owner-only": "o",
                                               "group-only": "g", "plain": "p", "big/tool": b"x" * 300_000})
        for name, mode in [("bin/run", 0o755), ("bin/owner-only", 0o700), ("group-only", 0o650),
                           ("plain", 0o600), ("big/tool", 0o744)]:
            os.chmod(os.path.join(tree, name), mode)
        arch, out = self.path("a.mdt"), self.path("out")
        self.assertOk(mdt.run(["-f", tree, "-a", arch]))
        _, entries = mdt.read_archive(slurp(arch))
        self.assertEqual({e["name"].decode(): (e["reserved1"], e["reserved2"]) for e in entries},
                         {"bin/run": (1, 0), "bin/owner-only": (1, 0), "group-only": (0, 0), "plain": (0, 0),
                          "big/tool": (1, 0)})
        for umask, x in [(0o022, 0o111), (0o077, 0o100)]:
            p = subprocess.run(["sh", "-c", "umask %o; exec \"$@\"" % umask, "sh", mdt.MDTREE,
                                "-t", out + str(umask), "-a", arch], stderr=subprocess.PIPE)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(mdt.exec_bits(out + str(umask)),
                             {"bin/run": x, "bin/owner-only": x, "group-only": 0, "plain": 0, "big/tool": x})

    def test_archive_without_executables_is_unchanged_and_old_archives_extract_plain(self):
        # Entries written with zero reserved words come out without x bits,
        # as before; the same tree archives to the same bytes.
        arch = self.path("old.mdt")
        with open(arch, "wb") as f:
            f.write(mdt.write_archive([mdt.archive_member("a", b"alpha")]))
        self.assertOk(mdt.run(["-t", self.path("out"), "-a", arch]))
        self.assertEqual(mdt.exec_bits(self.path("out")), {"a": 0})
        tree = mdt.make_tree(self.path("t"), {"a": b"alpha"})
        self.assertOk(mdt.run(["-f", tree, "-a", self.path("new.mdt")]))
        self.assertEqual(slurp(self.path("new.mdt")), slurp(arch))

    def test_unknown_entry_flag_is_refused_before_anything_is_written(self):
        arch = self.path("future.mdt")
        data = bytearray(mdt.write_archive([mdt.archive_member("a", b"alpha")]))
        data[8 + 20] = 4  # a flag this reader does not know
        with open(arch, "wb") as f:
            f.write(data)
        for args in (["-t", self.path("out"), "-a", arch], ["-l", arch]):
            p = mdt.run(args)
            self.assertEqual(p.returncode, 1)
            self.assertEqual(p.stderr, b"mdtree: %s: not a valid archive: unknown entry flags\n" % arch.encode())
        self.assertFalse(os.path.exists(self.path("out")))


class ArchivePipe(mdt.TreeTest):
    """-a - : the archive on standard output when creating, on standard
    input when extracting."""

    def test_through_a_pipe_both_ways(self):
        tree = real_tree(self.path("t"), empty_dirs=False)
        arch, out = self.path("a.mdt"), self.path("out")
        self.assertOk(mdt.run(["-f", tree, "-a", arch]))
        made = mdt.run(["-f", tree, "-a", "-"])
        self.assertOk(made)
        self.assertEqual(made.stdout, slurp(arch))
        got = mdt.run(["-t", out, "-a", "-"], input=made.stdout)
        self.assertOk(got)
        self.assertTreesEqual(tree, out)
        # A shell pipe from one run to the other, as tar is used.
        p = subprocess.run(["sh", "-c", '"$0" -f "$1" -a - | "$0" -t "$2" -a -', mdt.MDTREE, tree,
                            self.path("out2")], stderr=subprocess.PIPE, env=mdt.tool_env())
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertTreesEqual(tree, self.path("out2"))

    def test_pipe_that_closes_early(self):
        tree = real_tree(self.path("t"), empty_dirs=False)
        whole = mdt.run(["-f", tree, "-a", "-"]).stdout
        # Cut anywhere, the archive is refused whole: no file under its name.
        for cut in (0, 5, 100, len(whole) // 2, len(whole) - 1):
            p = mdt.run(["-t", self.path("out"), "-a", "-"], input=whole[:cut])
            self.assertEqual(p.returncode, 1, cut)
            self.assertIn(b"mdtree: standard input: not a valid archive: ", p.stderr)
            self.assertFalse(os.path.exists(self.path("out")), cut)
        # A reader that goes away: the writer reports the write error.
        r = subprocess.run(["bash", "-c", '"$0" -f "$1" -a - | head -c 100 >/dev/null; echo "${PIPESTATUS[0]}"',
                            mdt.MDTREE, tree], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=mdt.tool_env())
        self.assertEqual(r.stdout, b"1\n")
        self.assertIn(b"write error on standard output", r.stderr)

    def test_closed_or_terminal_end_is_refused_before_any_work(self):
        # A closed end would be /dev/null, where the archive vanishes with
        # status 0; nobody types or reads an archive's bytes on a terminal.
        tree = mdt.make_tree(self.path("t"), {"a": b"alpha"})
        out = self.path("out")
        create, extract = ["-f", tree, "-a", "-"], ["-t", out, "-a", "-"]
        for args, redirect, message in [
                (create, ">&-", b"write error on standard output: Bad file descriptor"),
                (extract, "<&-", b"read error on standard input: Bad file descriptor")]:
            p = subprocess.run(["sh", "-c", 'exec "$@" ' + redirect, "sh"] + mdt.argv(args),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=mdt.tool_env())
            self.assertEqual((p.returncode, p.stderr), (1, b"mdtree: " + message + b"\n"))
        for args, end, message in [(create, "stdout", b"standard output is a terminal; no archive written"),
                                   (extract, "stdin", b"standard input is a terminal; no archive read")]:
            master, slave = pty.openpty()
            try:
                p = subprocess.run(mdt.argv(args), **{end: slave}, stderr=subprocess.PIPE, env=mdt.tool_env(),
                                   timeout=60)
                os.close(slave)
                slave = None
                self.assertEqual((p.returncode, p.stderr), (1, b"mdtree: " + message + b"\n"))
                # With its other end closed, a terminal with nothing to
                # give reads as an error.
                try:
                    shown = os.read(master, 1 << 16) if select.select([master], [], [], 0)[0] else b""
                except OSError:
                    shown = b""
                self.assertEqual(shown, b"")
            finally:
                os.close(master)
                if slave is not None:
                    os.close(slave)
        self.assertFalse(os.path.exists(out))

    def peer(self, script, *args):
        """A shell that reads or writes the FIFO at the other end, ended by
        its process id however the test ends."""
        proc = subprocess.Popen(["sh", "-c", script, "sh"] + list(args))
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        return proc

    def test_a_fifo_or_dev_stdin_is_read_as_a_pipe_and_never_written(self):
        # A FIFO has no offset to read the members at: extraction reads it
        # whole first, as it reads standard input. Creation never writes
        # into one, planted or named (a reader of a FIFO may never come):
        # -a - is there for a pipe.
        rng = random.Random(7)
        tree = mdt.make_tree(self.path("t"), {"big": mdt.random_bytes(rng, 300_000), "d/small": b"small\n",
                                               "d/same": b"small\n", "empty": b""})
        fifo, arch = self.path("fifo"), self.path("a.mdt")
        os.mkfifo(fifo)
        self.assertOk(mdt.run(["-f", tree, "-a", arch]))
        data = slurp(arch)
        for i, args in enumerate(([fifo], ["/dev/stdin"])):
            out = self.path("out%d" % i)
            if args == [fifo]:
                writer = self.peer('exec cat "$1" > "$2"', arch, fifo)
                p = mdt.run(["-t", out, "-a", fifo], timeout=60)
                self.assertEqual(writer.wait(timeout=60), 0)
            else:
                p = mdt.run(["-t", out, "-a", "/dev/stdin"], input=data, timeout=60)
            self.assertOk(p)
            self.assertTreesEqual(tree, out)
        # Cut short: refused whole, nothing extracted.
        writer = self.peer('head -c 5000 "$1" > "$2"', arch, fifo)
        p = mdt.run(["-t", self.path("cut"), "-a", fifo], timeout=60)
        writer.wait(timeout=60)
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"mdtree: %s: not a valid archive: " % fifo.encode(), p.stderr)
        self.assertFalse(os.path.exists(self.path("cut")))
        for path, shown in ((fifo, fifo), ("/dev/stdout", "/dev/stdout")):
            p = subprocess.run(mdt.argv(["-f", tree, "-a", path]), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=mdt.tool_env(), timeout=60)
            self.assertEqual((p.returncode, p.stdout, p.stderr),
                             (1, b"", b"mdtree: archive %s is a FIFO; refusing to replace it\n" % shown.encode()))

    @unittest.skipUnless(os.geteuid() == 0, "mounts a file system")
    def test_full_spool_is_named_and_leaves_nothing(self):
        tree = mdt.make_tree(self.path("t"), {"big": mdt.random_bytes(random.Random(1), 3 << 20)})
        arch, spool, out = self.path("a.mdt"), self.path("spool"), self.path("out")
        self.assertOk(mdt.run(["-f", tree, "-a", arch]))
        os.mkdir(spool)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", spool], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", spool])
        full = b"mdtree: write error on the spool file: No space left on device\n"
        made = mdt.run(["-f", tree, "-a", "-"], env={"TMPDIR": spool})
        self.assertEqual((made.returncode, made.stdout), (1, b""))
        self.assertTrue(made.stderr.endswith(full), made.stderr)
        with open(arch, "rb") as f:
            got = mdt.run(["-t", out, "-a", "-"], input=f.read(), env={"TMPDIR": spool})
        self.assertEqual((got.returncode, got.stderr), (1, full))
        self.assertFalse(os.path.exists(out))
        self.assertEqual(os.listdir(spool), [])
        # A stream that never ends and is no archive is refused at its first
        # bytes, never spooled until the spool's file system is full.
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        self.peer('exec cat /dev/zero > "$1"', fifo)
        for source in ("/dev/zero", "/dev/urandom", fifo):
            with self.subTest(source=source):
                got = mdt.run(["-t", out, "-a", source], env={"TMPDIR": spool}, timeout=60)
                self.assertEqual((got.returncode, got.stderr),
                                 (1, b"mdtree: %s: not a valid archive: no archive magic\n" % source.encode()))
                self.assertFalse(os.path.exists(out))
        # An archive followed by an endless stream: the archive alone, as
        # far as its table says it reaches, is spooled and extracted.
        small = mdt.make_tree(self.path("small"), {"a": b"alpha\n", "d/b": mdt.random_bytes(random.Random(2), 5000)})
        self.assertOk(mdt.run(["-f", small, "-a", arch]))
        self.peer('exec cat "$1" /dev/zero > "$2"', arch, fifo)
        self.assertOk(mdt.run(["-t", out, "-a", fifo], env={"TMPDIR": spool}, timeout=60))
        self.assertTreesEqual(small, out)


if __name__ == "__main__":
    import unittest
    unittest.main()
