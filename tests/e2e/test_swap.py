"""A directory below a run's root swapped for a symbolic link to somewhere
outside it, after the run has looked at the directory and just before it
writes there (swap_faults.c, preloaded, swaps it at the first call that
creates, renames, links or removes a name below it). One row per job that
writes below a root. What the link points to (the victim) must be byte for
byte as before; the run either refuses the path with status 1, or finishes
with everything it wrote in the directory it had opened, now at the name
with ".real" appended. The swap happens at a fixed call, not in a race: a
row that fails, fails every time."""

import ctypes
import os
import shutil
import stat
import struct
import tempfile
import time
import unittest

from mdt import ScratchTreeTest, make_tree, md5_hex, preload_library, run

REFUSED = b"is a symbolic link; refusing to follow it"
SENTINEL = {"sentinel": "the victim's own file\n"}


def snapshot(root):
    """Every entry below root, links not followed: its kind, its mode and,
    for a file, its bytes; for a link, where it points."""
    out = {}
    broot = os.fsencode(root)
    for dirpath, dirnames, filenames in os.walk(broot):
        for n in dirnames + filenames:
            p = os.path.join(dirpath, n)
            st = os.lstat(p)
            rel = os.path.relpath(p, broot)
            if stat.S_ISLNK(st.st_mode):
                out[rel] = ("link", os.readlink(p))
            elif stat.S_ISREG(st.st_mode):
                with open(p, "rb") as f:
                    out[rel] = ("file", stat.S_IMODE(st.st_mode), f.read())
            else:
                out[rel] = (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode))
    return out


class Watch:
    """inotify on every directory below root (root included): what was
    created, removed, moved, written or changed there while it watched,
    even what was undone before the end (a temporary file made and removed
    again). Its own reads of the tree are not events."""

    NAMES = {0x2: "modified", 0x4: "attributes", 0x8: "closed after writing", 0x40: "moved away",
             0x80: "moved in", 0x100: "created", 0x200: "removed", 0x400: "itself removed", 0x800: "itself moved"}
    CHANGES = sum(NAMES)
    libc = ctypes.CDLL(None, use_errno=True)

    def __init__(self, root):
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.dirs = {}
        for dirpath, _, _ in os.walk(os.fsencode(root)):
            wd = self.libc.inotify_add_watch(self.fd, dirpath, self.CHANGES)
            if wd < 0:
                os.close(self.fd)
                raise OSError(ctypes.get_errno(), "inotify_add_watch", dirpath)
            self.dirs[wd] = dirpath

    def events(self):
        """A line for each change seen so far."""
        out = []
        while True:
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                return out
            at = 0
            while at < len(data):
                wd, mask, _, n = struct.unpack_from("iIII", data, at)
                name = data[at + 16:at + 16 + n].rstrip(b"\0")
                at += 16 + n
                if mask & self.CHANGES:
                    what = ", ".join(v for k, v in self.NAMES.items() if mask & k)
                    out.append("%s: %s" % (os.fsdecode(os.path.join(self.dirs.get(wd, b"?"), name)), what))

    def close(self):
        os.close(self.fd)


def files_below(root):
    """{relative path: bytes} of what is below root but directories (a
    missing root holds nothing); anything but a regular file as its kind."""
    return {rel.decode(): (entry[2] if entry[0] == "file" else entry[0])
            for rel, entry in snapshot(root).items() if entry[0] != stat.S_IFDIR}


def same_prefix(first):
    """Another content whose digest begins with the same two digits as the
    digest of first: its object goes to the same directory of a store."""
    want = md5_hex(first)[:2]
    return next(c for c in (b"content %d\n" % i for i in range(1 << 16)) if md5_hex(c)[:2] == want and c != first)


def obj_name(content):
    return md5_hex(content)[2:]


class SwappedDirectory(ScratchTreeTest):
    """Each row builds its trees, then hands swapped() the command, the
    directory to swap and what that directory holds after a run that
    nothing disturbed."""

    @classmethod
    def setUpClass(cls):
        cls.libdir = tempfile.mkdtemp(prefix="mdtree-swap-")
        cls.lib = preload_library("swap_faults.c", os.path.join(cls.libdir, "swap_faults"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.libdir, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.tmp = os.path.realpath(self.tmp)  # the library compares paths as the kernel gives them

    def swapped(self, args, swap, expect, cwd=None, after=0, status=0, refused_before=False):
        victim = self.path("victim")
        # The victim holds what the directory held, so that a removal or a
        # change through the link shows as well as a new file.
        if os.path.isdir(swap):
            shutil.copytree(swap, victim, symlinks=True)
        make_tree(victim, SENTINEL)
        before = snapshot(victim)
        watch = Watch(victim)
        self.addCleanup(watch.close)
        env = {"LD_PRELOAD": self.lib, "SWAP_DIR": swap, "SWAP_TO": victim, "SWAP_AFTER": str(after),
               # Preloaded ahead of the sanitizer's runtime.
               "ASAN_OPTIONS": (os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0").lstrip(":")}
        p = run(args, cwd=cwd, env=env, timeout=60)
        events = watch.events()
        if events:
            self.fail("the run wrote through the link (status %d, %r):\n%s" %
                      (p.returncode, p.stderr, "\n".join(events)))
        self.assertEqual(snapshot(victim), before,
                         "the run changed the victim through the link (status %d): %r" % (p.returncode, p.stderr))
        # A run that refuses a file in the way before any call below it
        # leaves nothing to swap.
        if not (refused_before and p.returncode == 1):
            self.assertEqual(os.readlink(swap) if os.path.islink(swap) else None, victim,
                             "never swapped: the run made no hooked call below the directory")
        if p.returncode == 1 and REFUSED in p.stderr:
            return
        self.assertEqual(p.returncode, status, p.stderr)
        self.assertEqual(files_below(swap + ".real"), {k: v.encode() if isinstance(v, str) else v
                                                       for k, v in expect.items()})

    # Content store: -o from a listing, -i.

    def source_in_store(self):
        src = make_tree(self.path("src"), {"a/x": "x in a\n", "a/y": "y in a\n", "top": "at the top\n"})
        store = self.path("store")
        self.assertOk(run(["-R", store, "-i", src]))
        p = run(["-l", src])
        self.assertOk(p)
        with open(self.path("src.md5"), "wb") as f:
            f.write(p.stdout)
        return store, self.path("src.md5")

    def restore(self, existing, after=0, jobs=()):
        store, listing = self.source_in_store()
        out = self.path("out")
        make_tree(out, {"a/old": "there before\n"} if existing else {})
        expect = {"x": "x in a\n", "y": "y in a\n"}
        if existing:
            expect["old"] = "there before\n"
        self.swapped(list(jobs) + ["-R", store, "-o", listing], os.path.join(out, "a"), expect, cwd=out, after=after)

    def restore_past_a_file(self):
        # A file stands where a directory goes, and turns into a link once
        # the run has found that it is not a directory.
        store, listing = self.source_in_store()
        out = make_tree(self.path("out"), {"a": "a file in the way\n"})
        self.swapped(["-R", store, "-o", listing], os.path.join(out, "a"), {}, cwd=out, status=1,
                     refused_before=True)

    def store_into(self, existing):
        first = b"first object\n"
        store = self.path("store")
        expect = {obj_name(first): first}
        if existing:
            earlier = same_prefix(first)
            self.assertOk(run(["-R", store, "-i", make_tree(self.path("earlier"), {"e": earlier})]))
            expect[obj_name(earlier)] = earlier
        src = make_tree(self.path("src"), {"d/f": first, "g": "another object\n"})
        self.swapped(["-R", store, "-i", src], os.path.join(store, md5_hex(first)[:2]), expect)

    def maintain(self, job):
        """-V moving a damaged object to damaged/, -P removing one that no
        listing names: either takes it away from its directory."""
        kept = b"kept object\n"
        taken = same_prefix(kept)
        store = self.path("store")
        self.assertOk(run(["-R", store, "-i", make_tree(self.path("src"), {"k": kept, "t": taken})]))
        if job == "-V":
            with open(os.path.join(store, md5_hex(taken)[:2], obj_name(taken)), "ab") as f:
                f.write(b"damage")
            args, status = ["-R", store, "-V"], 1
        else:
            old = time.time() - 86400 * 30
            os.utime(os.path.join(store, md5_hex(taken)[:2], obj_name(taken)), (old, old))
            listing = self.path("keep.md5")
            with open(listing, "w") as f:
                f.write("%s  k\n" % md5_hex(kept))
            args, status = ["-R", store, "-g", "1h", "-P", listing], 0
        self.swapped(args, os.path.join(store, md5_hex(taken)[:2]), {obj_name(kept): kept}, status=status)

    # Archive extraction.

    def extract(self, existing):
        src = make_tree(self.path("src"), {"a/x": "x in a\n", "a/y": "y in a\n", "top": "at the top\n"})
        arch = self.path("src.vok")
        self.assertOk(run(["-f", src, "-a", arch]))
        dst = make_tree(self.path("dst"), {"a/old": "there before\n"} if existing else {})
        expect = {"x": "x in a\n", "y": "y in a\n"}
        if existing:
            expect["old"] = "there before\n"
        self.swapped(["-t", dst, "-a", arch], os.path.join(dst, "a"), expect)

    def extract_past_a_file(self):
        src = make_tree(self.path("src"), {"a/x": "x in a\n", "top": "at the top\n"})
        arch = self.path("src.vok")
        self.assertOk(run(["-f", src, "-a", arch]))
        dst = make_tree(self.path("dst"), {"a": "a file in the way\n"})
        self.swapped(["-t", dst, "-a", arch], os.path.join(dst, "a"), {}, status=1, refused_before=True)

    # Patches: creation, application, undo, a forced run.

    ADD = ({"sub/k": "kept\n"}, {"sub/k": "kept\n", "sub/n": "added\n"})
    ADD_DIR = ({"sub/k": "kept\n"}, {"sub/k": "kept\n", "fresh/n": "added\n"})
    REMOVE = ({"sub/k": "kept\n", "sub/gone": "removed\n"}, {"sub/k": "kept\n"})

    def patch(self, change):
        """The tree in its old state and the patch that makes the new."""
        old, new = change
        make_tree(self.path("from"), old)
        make_tree(self.path("to"), new)
        self.assertOk(run(["-f", self.path("from"), "-t", self.path("to"), "-p", self.path("P")]))
        return make_tree(self.path("tree"), old), self.path("P")

    def applied(self, change):
        tree, patch = self.patch(change)
        self.assertOk(run(["-f", tree, "-p", patch]))
        return tree, patch

    def make_patch(self):
        old, new = self.ADD
        make_tree(self.path("from"), old)
        make_tree(self.path("to"), new)
        patch = self.path("P")
        self.swapped(["-f", self.path("from"), "-t", self.path("to"), "-p", patch], os.path.join(patch, "new", "sub"),
                     {"n": "added\n"})

    def apply(self, change, swap, expect):
        tree, patch = self.patch(change)
        self.swapped(["-f", tree, "-p", patch], os.path.join(self.tmp, swap), expect)

    def undo(self, change, swap, expect):
        tree, patch = self.applied(change)
        self.swapped(["-r", "-f", tree, "-p", patch], os.path.join(self.tmp, swap), expect)

    def forced(self):
        # A file stands where the patch brings a new one and no line
        # accounts for it: a forced run saves it under old/ first.
        tree, patch = self.patch(self.ADD)
        make_tree(tree, {"sub/n": "in the way\n"})
        self.swapped(["-F", "-f", tree, "-p", patch], os.path.join(tree, "sub"), {"k": "kept\n", "n": "added\n"})


# The table: one row per job that writes below a root, and per side of it
# that a link could stand in.
ROWS = {
    "restore_into_a_directory_it_makes": lambda t: t.restore(existing=False),
    "restore_into_a_directory_there_before": lambda t: t.restore(existing=True),
    # The second call there: at one thread, so that it is the same call
    # every time.
    "restore_swapped_after_its_first_write_there": lambda t: t.restore(existing=False, after=1, jobs=("-j", "1")),
    "restore_where_a_file_in_the_way_turns_into_a_link": lambda t: t.restore_past_a_file(),
    "store_into_a_fresh_store": lambda t: t.store_into(existing=False),
    "store_into_an_existing_store": lambda t: t.store_into(existing=True),
    "verify_moving_a_damaged_object": lambda t: t.maintain("-V"),
    "prune_removing_an_object": lambda t: t.maintain("-P"),
    "extract_into_a_directory_it_makes": lambda t: t.extract(existing=False),
    "extract_into_a_directory_there_before": lambda t: t.extract(existing=True),
    "extract_where_a_file_in_the_way_turns_into_a_link": lambda t: t.extract_past_a_file(),
    "make_patch_writing_new": lambda t: t.make_patch(),
    "apply_a_new_file": lambda t: t.apply(t.ADD, "tree/sub", {"k": "kept\n", "n": "added\n"}),
    "apply_a_new_file_in_a_directory_it_makes": lambda t: t.apply(t.ADD_DIR, "tree/fresh", {"n": "added\n"}),
    "apply_a_removal": lambda t: t.apply(t.REMOVE, "tree/sub", {"k": "kept\n"}),
    "apply_a_removal_saved_under_old": lambda t: t.apply(t.REMOVE, "P/old/sub", {"gone": "removed\n"}),
    "undo_a_removal": lambda t: t.undo(t.REMOVE, "tree/sub", {"k": "kept\n", "gone": "removed\n"}),
    "undo_a_new_file": lambda t: t.undo(t.ADD, "tree/sub", {"k": "kept\n"}),
    "undo_a_new_file_saved_under_new": lambda t: t.undo(t.ADD, "P/new/sub", {"n": "added\n"}),
    "forced_run_saving_a_file_in_the_way": lambda t: t.forced(),
}

for _name, _row in ROWS.items():
    setattr(SwappedDirectory, "test_" + _name, lambda self, row=_row: row(self))


if __name__ == "__main__":
    unittest.main()
