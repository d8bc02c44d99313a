"""One cut: run the tool on a fresh copy of a job's disk, stop it at a
moment (or let it exit), copy the disk as it is then, and replay the copy's
journal with e2fsck as a reboot would."""

import collections
import os
import signal
import subprocess
import threading
import time

import machine

# when: "mid" (stopped while running), "exit" (copied right after it
# exited), "late" (a mid-run cut whose run had already exited). status is
# None for a stopped run.
# stop_at: where the run was to be stopped, ("io", bytes read and written)
# or ("time", seconds); moved: the bytes it had read and written when
# stopped (for a whole run, at the last look before it exited).
Cut = collections.namedtuple("Cut", "label when stop_at moved elapsed status stdout stderr image fsck retries")

_running = set()
_running_lock = threading.Lock()


def kill_all():
    """Kills the runs still going (a signal ended the test)."""
    with _running_lock:
        for p in list(_running):
            for s in (signal.SIGKILL, signal.SIGCONT):
                try:
                    os.kill(p.pid, s)
                except ProcessLookupError:
                    pass


def _wait_stopped(pid, limit=5.0):
    """Until every thread of pid is stopped: a thread inside a system call
    stops when the call returns."""
    end = time.time() + limit
    while time.time() < end:
        try:
            states = []
            for t in os.listdir("/proc/%d/task" % pid):
                with open("/proc/%d/task/%s/stat" % (pid, t)) as f:
                    states.append(f.read().rsplit(")", 1)[1].split()[0])
            if all(s in "Tt" for s in states) or "Z" in states:
                return
        except (FileNotFoundError, ProcessLookupError):
            return
        time.sleep(0.01)


def _copy_stable(mounted, src, dst):
    """Copies the disk; a copy during which the loop device wrote is taken
    again, so that the copy is one moment of the disk. Returns the number of
    copies taken again."""
    for retries in range(20):
        before = mounted.writes()
        machine.sh("cp", "--sparse=always", src, dst)
        after = mounted.writes()
        if before == after and after[1] == 0:
            return retries
        time.sleep(0.3)
    raise RuntimeError("the disk of %s never stopped writing" % src)


def _io(pid):
    """Bytes the process has read and written so far (all its threads)."""
    try:
        with open("/proc/%d/io" % pid) as f:
            fields = dict(line.split(": ") for line in f.read().splitlines())
        return int(fields["rchar"]) + int(fields["wchar"])
    except (FileNotFoundError, ProcessLookupError, KeyError, ValueError):
        return None


def _run(argv, cwd, out, err, stop_at, stdin=None, env=None):
    """Starts argv and follows how many bytes it has read and written; with
    stop_at, ("io", n) or ("time", seconds), stops it once it has moved n
    bytes or run that long, unless it has exited. Returns (process,
    stopped, elapsed, bytes moved at the last look)."""
    start = time.time()
    p = subprocess.Popen(argv, cwd=cwd, stdin=stdin, stdout=out, stderr=err, env={**tool_env(), **(env or {})})
    with _running_lock:
        _running.add(p)
    moved = 0
    while p.poll() is None:
        now = _io(p.pid)
        moved = now if now is not None else moved
        if stop_at is not None and (moved, time.time() - start)[stop_at[0] == "time"] >= stop_at[1]:
            p.send_signal(signal.SIGSTOP)
            elapsed = time.time() - start
            _wait_stopped(p.pid)
            if p.poll() is not None:
                break  # it exited just before the stop
            return p, True, elapsed, _io(p.pid) or moved
        time.sleep(0.002)
    return p, False, time.time() - start, moved


# What the runs of the tool get beside the environment (the control's
# preloaded library).
EXTRA_ENV = {}


def tool_env():
    e = dict(os.environ)
    e.pop("DB_ROOT", None)
    e.update(EXTRA_ENV)
    return e


def take(pristine, home, label, argv, cwd, stop_at=None, stdin=None, env=None):
    """A cut of one run, stopped at stop_at (None: a cut right after it
    exits), its standard input read from the file stdin when given, with
    the settings of env beside the environment. argv, cwd and env's values
    may hold "{M}", the mount point of the run's disk. The cut's image, its
    journal replayed, is home/cut.img."""
    os.makedirs(home)
    work, image = os.path.join(home, "work.img"), os.path.join(home, "cut.img")
    machine.sh("cp", "--sparse=always", pristine, work)
    mnt = os.path.join(home, "mnt")
    with machine.Mounted(work, mnt) as m:
        argv = [a.replace("{M}", mnt) for a in argv]
        cwd = cwd.replace("{M}", mnt)
        env = {k: v.replace("{M}", mnt) for k, v in (env or {}).items()}
        with open(os.path.join(home, "stdout"), "w+b") as out, open(os.path.join(home, "stderr"), "w+b") as err, \
                open(stdin or os.devnull, "rb") as inp:
            p, stopped, elapsed, moved = _run(argv, cwd, out, err, stop_at, inp, env)
            try:
                if stopped:
                    # The journal commits what the run did up to now.
                    time.sleep(machine.JOURNAL_SETTLE)
                retries = _copy_stable(m, work, image)
            finally:
                if stopped:
                    p.kill()
                    p.send_signal(signal.SIGCONT)
                p.wait()
                with _running_lock:
                    _running.discard(p)
            out.seek(0)
            err.seek(0)
            stdout, stderr = out.read(), err.read()
    os.unlink(work)
    fsck = subprocess.run(["e2fsck", "-fy", image], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, errors="replace")
    when = "mid" if stopped else ("exit" if stop_at is None else "late")
    return Cut(label, when, stop_at, moved, elapsed, None if stopped else p.returncode, stdout, stderr, image,
               (fsck.returncode, fsck.stdout[-600:]), retries)


def mount_copy(cut, home, name, readonly):
    """The cut's disk mounted at home/name (a copy of it when writable, so
    that each recovery starts from the same disk)."""
    image = cut.image
    if not readonly:
        image = os.path.join(home, name + ".img")
        machine.sh("cp", "--sparse=always", cut.image, image)
    return machine.Mounted(image, os.path.join(home, name), options="", readonly=readonly)
