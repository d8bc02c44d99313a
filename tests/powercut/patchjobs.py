"""Patch application and undo, with the administration file: each file of
the tree holds its old or its new content, the backups are whole, and after
a cut the documented recoveries bring the tree to one side or the other."""

import os
import shutil
import subprocess

import cut as cutlib
import trees
from jobs import OLD_ADMIN, Job, admin_problems, read_or_none


def _setup_apply(data, root):
    shutil.copytree(data.src, os.path.join(root, "tree"))
    shutil.copytree(data.patch, os.path.join(root, "patch"))
    with open(os.path.join(root, "admin"), "wb") as f:
        f.write(OLD_ADMIN)


def _setup_undo(data, root):
    for name in ("tree", "patch"):
        shutil.copytree(os.path.join(data.applied, name), os.path.join(root, name))
    shutil.copyfile(os.path.join(data.applied, "admin"), os.path.join(root, "admin"))


def _side(data, undo):
    """(the tree before, the tree after, the admin file before, what the new
    one keeps of it) for one direction."""
    if undo:
        return data.new, data.old, data.applied_admin, OLD_ADMIN + b"\n"
    return data.old, data.new, OLD_ADMIN, OLD_ADMIN + b"\n"


def check_patching(data, root, cut, final, undo):
    """The tree's files old or new; old/ and new/ hold whole backups and
    copies; FILES untouched; the administration file old or new."""
    before, after, admin_before, kept = _side(data, undo)
    patch = os.path.join(root, "patch")
    if final:
        problems = trees.check_files(os.path.join(root, "tree"), "tree", *trees.exactly(after))
    else:
        problems = trees.check_files(os.path.join(root, "tree"), "tree", data.both)
    allowed, whole = trees.exactly(data.minus)
    problems += trees.check_files(os.path.join(patch, "old"), "patch/old", allowed,
                                  whole if final and not undo else ())
    allowed, whole = trees.exactly(data.plus)
    problems += trees.check_files(os.path.join(patch, "new"), "patch/new", allowed, whole if final or not undo else ())
    if read_or_none(os.path.join(patch, "FILES")) != data.manifest:
        problems.append("patch/FILES changed")
    return problems + admin_problems(os.path.join(root, "admin"), admin_before, kept, final)


def _tool(data, root, *args):
    return subprocess.run([data.mdtree, *args, "-f", os.path.join(root, "tree"), "-p", os.path.join(root, "patch"),
                           "-A", os.path.join(root, "admin")], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=cutlib.tool_env())


def recover(data, cut, home, undo):
    """After a cut in the middle: the same run again with -F must finish
    the job; the opposite run with -F must go back, or refuse and leave the
    tree as it was. Each starts from its own copy of the cut's disk."""
    before, after, _, _ = _side(data, undo)
    forward = ["-r"] if undo else []
    backward = [] if undo else ["-r"]
    problems, notes = [], []
    with cutlib.mount_copy(cut, home, "again", readonly=False) as m:
        r = _tool(data, m.mnt, "-F", *forward)
        if r.returncode != 0:
            problems.append("the run again with -F exited with %d: %s" % (
                r.returncode, r.stderr[-300:].decode(errors="replace")))
        problems += ["after the run again with -F: " + p for p in
                     trees.check_files(os.path.join(m.mnt, "tree"), "tree", *trees.exactly(after))]
        saved = data.plus if undo else data.minus
        wrong = trees.check_files(os.path.join(m.mnt, "patch", "new" if undo else "old"), "saved",
                                  *trees.exactly(saved))
        # A file that already held its new version is not saved again: the
        # backups of the first run stay as they were.
        problems += ["after the run again with -F, a saved file differs from the manifest: " + w for w in wrong]
    with cutlib.mount_copy(cut, home, "back", readonly=False) as m:
        tree = os.path.join(m.mnt, "tree")
        was, _ = trees.scan(tree)
        r = _tool(data, m.mnt, "-F", *backward)
        if r.returncode == 0:
            problems += ["after the opposite run with -F: " + p for p in
                         trees.check_files(tree, "tree", *trees.exactly(before))]
        elif trees.scan(tree)[0] != was:
            problems.append("the opposite run with -F exited with %d and changed the tree" % r.returncode)
    return problems, notes


def patch_jobs():
    def argv(undo):
        return lambda d: [d.mdtree, *(["-r"] if undo else []), "-f", "{M}/tree", "-p", "{M}/patch",
                          "-A", "{M}/admin"]
    return [
        Job("apply", "-f -p -A (patch application and the administration file)", _setup_apply, argv(False), "{M}",
            lambda d, r, c, f: check_patching(d, r, c, f, False), lambda d, c, h: recover(d, c, h, False)),
        Job("undo", "-r -f -p -A (undo and the administration file)", _setup_undo, argv(True), "{M}",
            lambda d, r, c, f: check_patching(d, r, c, f, True), lambda d, c, h: recover(d, c, h, True)),
    ]
