"""The power-cut machinery: a small ext4 "disk" in an image file on tmpfs,
mounted through a loop device, and cuts taken from it.

The image file is the disk; the page cache of the mounted file system is
the volatile memory. With periodic writeback switched off, file data
reaches the image only when someone flushes it (the tool under test, or a
`sync` by anyone on the machine, which can only make a cut look better).
The journal still commits metadata every second (commit=1), so a rename
the tool made reaches the disk whether or not the file's data did: that is
the window a power cut exposes. noauto_da_alloc switches off ext4's own
flush of a file renamed over another, which other file systems do not
have: what survives must be what the tool flushed.
"""

import fcntl
import json
import os
import signal
import subprocess
import time

VM = "/proc/sys/vm/"
# Periodic writeback off; a dirty page never ages out while the test runs;
# pressure flushing far away.
WRITEBACK_OFF = {"dirty_writeback_centisecs": "0", "dirty_expire_centisecs": "360000",
                 "dirty_background_ratio": "40", "dirty_ratio": "50"}
SAVED_KEYS = list(WRITEBACK_OFF) + ["dirty_background_bytes", "dirty_bytes"]
LOCK = "/run/lock/mdtree-powercut.lock"
# The settings as they were before a run changed them, kept until the run
# has put them back: a run killed by SIGKILL leaves this file, and the next
# run restores from it.
STATE = "/run/lock/mdtree-powercut.state"
IMAGE_MIB = 256
MOUNT_OPTIONS = "commit=1,noauto_da_alloc"
# A transaction commits at most two seconds after it starts: the commit
# timer is rounded up to a whole second.
JOURNAL_SETTLE = 2.2


class Skip(Exception):
    """The machine cannot run the test (not root, no loop device)."""


def sh(*argv, check=True, **kw):
    return subprocess.run([str(a) for a in argv], check=check, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, **kw)


def _read_vm():
    out = {}
    for k in SAVED_KEYS:
        with open(VM + k) as f:
            out[k] = f.read().strip()
    return out


def _write_vm(key, value):
    with open(VM + key, "w") as f:
        f.write(value)


def restore_vm(saved):
    """Puts the writeback settings back. A ratio and its bytes form exclude
    each other: the one that was set is written last."""
    for k in ("dirty_writeback_centisecs", "dirty_expire_centisecs"):
        _write_vm(k, saved[k])
    for ratio, nbytes in (("dirty_background_ratio", "dirty_background_bytes"), ("dirty_ratio", "dirty_bytes")):
        _write_vm(*((nbytes, saved[nbytes]) if saved[nbytes] != "0" else (ratio, saved[ratio])))


def _cleanup_stale(state):
    """What a killed run left behind: its mounts, loop devices and scratch."""
    work = state.get("work")
    if work and os.path.isdir(work):
        _kill_runs_of(work)
        time.sleep(0.5)
        detach_all(work)
        sh("rm", "-rf", work, check=False)


def _kill_runs_of(work):
    """The runs of the tool a killed test left stopped: their command lines
    name its scratch directory."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if (work + "/").encode() not in f.read():
                    continue
            for s in (signal.SIGKILL, signal.SIGCONT):
                os.kill(int(pid), s)
        except (FileNotFoundError, ProcessLookupError):
            pass


def detach_all(work):
    """Unmounts every file system below work and detaches the loop devices
    of its images."""
    mounts = sh("findmnt", "-rn", "-o", "TARGET", check=False).stdout.split()
    for m in sorted((m for m in mounts if m.startswith(work + "/")), reverse=True):
        sh("umount", "-l", m, check=False)
    for line in sh("losetup", "--list", "--raw", "--noheadings", "-O", "NAME,BACK-FILE", check=False).stdout.splitlines():
        parts = line.split(None, 1)
        if len(parts) == 2 and parts[1].startswith(work + "/"):
            sh("losetup", "-d", parts[0], check=False)


def exit_on_signals():
    """SIGINT, SIGTERM and SIGHUP end the test through SystemExit, so that
    every finally runs: settings restored, runs killed, disks detached."""
    def on_signal(signum, frame):
        raise SystemExit(128 + signum)
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)


class WritebackOff:
    """Holds the machine-wide lock (one power-cut run at a time), switches
    periodic writeback off, and restores it on every way out: the with
    block's end, a signal (see exit_on_signals), and, after a SIGKILL, the
    next run."""

    def __init__(self, work):
        self.work = work
        self.lock = None
        self.saved = None

    def __enter__(self):
        os.makedirs(os.path.dirname(LOCK), exist_ok=True)
        self.lock = open(LOCK, "w")
        try:
            fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print("powercut: another power-cut run holds %s; waiting" % LOCK, flush=True)
            fcntl.flock(self.lock, fcntl.LOCK_EX)
        if os.path.exists(STATE):
            with open(STATE) as f:
                stale = json.load(f)
            print("powercut: restoring the writeback settings a killed run left changed", flush=True)
            restore_vm(stale["vm"])
            _cleanup_stale(stale)
        self.saved = _read_vm()
        with open(STATE + ".new", "w") as f:
            json.dump({"vm": self.saved, "work": self.work}, f)
        os.rename(STATE + ".new", STATE)
        for k, v in WRITEBACK_OFF.items():
            _write_vm(k, v)
        return self

    def __exit__(self, *exc):
        restore_vm(self.saved)
        os.unlink(STATE)
        self.lock.close()
        return False


def make_image(path):
    """A fresh ext4 image; inode tables and journal zeroed now, so that no
    background initialisation writes to the disk during the cuts."""
    with open(path, "wb") as f:
        f.truncate(IMAGE_MIB << 20)
    sh("mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0", path)


class Mounted:
    """An image mounted through its own loop device at a mount point."""

    def __init__(self, image, mnt, options=MOUNT_OPTIONS, readonly=False):
        self.image, self.mnt, self.options, self.readonly = image, mnt, options, readonly
        self.dev = None

    def __enter__(self):
        os.makedirs(self.mnt, exist_ok=True)
        self.dev = sh("losetup", "-f", "--show", *(["-r"] if self.readonly else []), self.image).stdout.strip()
        try:
            opts = ",".join((["ro"] if self.readonly else []) + ([self.options] if self.options else []))
            sh("mount", "-t", "ext4", *(["-o", opts] if opts else []), self.dev, self.mnt)
        except BaseException:
            sh("losetup", "-d", self.dev, check=False)
            raise
        return self

    def writes(self):
        """Write requests completed and in flight on the loop device."""
        with open("/sys/block/%s/stat" % os.path.basename(self.dev)) as f:
            fields = f.read().split()
        return int(fields[4]), int(fields[8])

    def __exit__(self, *exc):
        for _ in range(50):
            if sh("umount", self.mnt, check=False).returncode == 0:
                break
            time.sleep(0.1)
        sh("losetup", "-d", self.dev, check=False)
        return False


def syncfs(path):
    """Flushes the one file system holding path: the test's own setup, never
    during a run of the tool."""
    sh("sync", "-f", path)


def probe(work):
    """Raises Skip when this machine cannot mount an image through a loop
    device with the options the test needs."""
    if os.geteuid() != 0:
        raise Skip("not root: loop devices can not be set up")
    for tool in ("mkfs.ext4", "e2fsck", "losetup", "mount"):
        if sh("which", tool, check=False).returncode != 0:
            raise Skip("%s is missing" % tool)
    image = os.path.join(work, "probe.img")
    try:
        make_image(image)
        with Mounted(image, os.path.join(work, "probe.mnt")) as m:
            opts = sh("findmnt", "-n", "-o", "OPTIONS", m.mnt).stdout
            if "commit=1" not in opts:
                raise Skip("the mount did not take commit=1: %s" % opts.strip())
    except subprocess.CalledProcessError as e:
        raise Skip("an ext4 image can not be mounted through a loop device: %s: %s" % (
            " ".join(e.cmd), (e.stdout or "").strip()))
    finally:
        if os.path.exists(image):
            os.unlink(image)
