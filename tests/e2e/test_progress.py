"""The status line as a person sees it: runs in a real terminal (a tmux pane
on a private server), captured while they run and after they end. A run is
held as long as a test needs by a big sparse file that the test truncates
when it has seen what it came for: the read then ends at once."""

import os
import re
import shlex
import shutil
import signal
import subprocess
import time
import unittest

from mdt import MDTREE, ScratchTreeTest, make_tree, md5_hex, run, strace_works, traced_env

# The start of every status line: what the job does, then its files.
STATUS = re.compile(r"^(listing|storing|restoring|reading|making a patch|checking( a patch)?|applying|"
                    r"archiving|extracting|verifying|pruning): [\d,]+(/[\d,]+)? files?\b")
LISTING_LINE = re.compile(r"^[0-9a-f]{32}  (.+)$")
# Sparse: held on tmpfs at no cost, and read far longer than any test waits.
HUGE = 64 << 30
SMALL = {"a": "alpha\n", "b/c": "gamma\n", "d": "delta\n" * 50}


def sparse(path, size):
    """A file of size bytes that takes no room: a hole, read as zeros."""
    with open(path, "ab") as f:
        f.truncate(size)


def wait_for(what, timeout=120, step=0.05):
    """Polls what() until it returns something true; fails after timeout."""
    end = time.monotonic() + timeout
    while True:
        got = what()
        if got:
            return got
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for %s" % (what.__doc__ or what))
        time.sleep(step)


class Pane:
    """One tmux server of its own, on a private socket, with one pane of
    width x height running a shell command; stopped by its process id."""

    made = 0
    # The pane's title once the run has ended: set after the run's last
    # byte, so that tmux has drawn all of them when it shows.
    ENDED = "mdtree-run-ended"

    def __init__(self, test, width, height=16):
        if not shutil.which("tmux"):
            test.fail("tmux is needed to test the terminal (scripts/deps.sh installs it)")
        Pane.made += 1
        self.sock = "mdtree-test-%d-%d" % (os.getpid(), Pane.made)
        self.width, self.height = width, height
        self.rc_file = os.path.join(test.tmp, "rc-%d" % Pane.made)
        self.server = None
        test.addCleanup(self.stop)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.sock, "-f", "/dev/null"] + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True,
                              timeout=60).stdout.decode()

    def start(self, args, cwd, redirect="", wrapper=()):
        """Runs mdtree with args (under the wrapper command) in the pane;
        its status goes to rc_file and the pane stays open, holding what
        the run left on the screen."""
        cmd = "cd %s && %s %s; echo $? > %s; printf '\\033]2;%s\\033\\\\'; exec sleep 600" % (
            shlex.quote(cwd), " ".join(shlex.quote(a) for a in list(wrapper) + [MDTREE] + args), redirect,
            shlex.quote(self.rc_file), self.ENDED)
        self._open(cmd)
        self.pid = wait_for(lambda: self._child(self.shell), timeout=30)

    def start_shell(self, cwd):
        """An interactive shell with job control in the pane, prompt "$ ",
        no history kept; commands are typed into it."""
        self._open("cd %s && exec env -u PROMPT_COMMAND PS1='$ ' HISTFILE=/dev/null "
                   "bash --norc --noprofile +o history -i" % shlex.quote(cwd))
        wait_for(lambda: self.rows() == ["$"], timeout=30)

    def type(self, text, enter=True):
        self.tmux("send-keys", "-l", text)
        if enter:
            self.tmux("send-keys", "Enter")

    def key(self, name):
        self.tmux("send-keys", name)

    def run_typed(self, args, redirect=""):
        """Types a command that runs mdtree with args; sets pid to its
        process."""
        self.type(" ".join(shlex.quote(a) for a in [MDTREE] + args) + " " + redirect)

        def started():
            """mdtree started by the shell"""
            pid = self._child(self.shell)
            return pid if pid and os.readlink("/proc/%d/exe" % pid) == MDTREE else None
        self.pid = wait_for(started, timeout=30)

    def _open(self, cmd):
        self.tmux("new-session", "-d", "-x", str(self.width), "-y", str(self.height), cmd)
        self.server = int(self.tmux("display-message", "-p", "#{pid}"))
        self.socket = self.tmux("display-message", "-p", "#{socket_path}").strip()
        self.shell = self.tmux("display-message", "-p", "#{pane_pid}").strip()

    def _child(self, shell):
        """mdtree, the child of the pane's shell"""
        try:
            with open("/proc/%s/task/%s/children" % (shell, shell)) as f:
                kids = f.read().split()
        except FileNotFoundError:
            return None
        return int(kids[0]) if kids else None

    def gone(self):
        """Whether the run has ended (a zombie counts: its parent has yet to
        reap it)."""
        try:
            with open("/proc/%d/stat" % self.pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] == "Z"
        except FileNotFoundError:
            return True

    def position(self, path):
        """How far the run has read the file at path (0 when it is not open)."""
        fds = "/proc/%d/fd" % self.pid
        for fd in os.listdir(fds):
            try:
                if os.readlink(os.path.join(fds, fd)) != path:
                    continue
                with open("/proc/%d/fdinfo/%s" % (self.pid, fd)) as f:
                    return int(re.search(r"pos:\s+(\d+)", f.read()).group(1))
            except (FileNotFoundError, ProcessLookupError):
                continue
        return 0

    def rows(self, history=False):
        """The visible rows (with history, those scrolled off too), wrapped
        rows joined, trailing blanks cut."""
        more = ["-S", "-"] if history else []
        rows = [r.rstrip() for r in self.tmux("capture-pane", "-p", "-J", *more).split("\n")]
        while rows and not rows[-1]:
            rows.pop()
        return rows

    def status(self):
        """the status line at the bottom of the screen"""
        rows = self.rows()
        return rows[-1] if rows and STATUS.match(rows[-1]) else None

    def cursor_x(self):
        return int(self.tmux("display-message", "-p", "#{cursor_x}"))

    def resize(self, width):
        self.width = width
        self.tmux("resize-window", "-x", str(width))

    def status_code(self):
        """The run's exit status; None while it runs."""
        try:
            with open(self.rc_file) as f:
                text = f.read()
        except FileNotFoundError:
            return None
        return int(text) if text.endswith("\n") else None

    def wait_end(self):
        """Waits for the run to end and for tmux to draw all it wrote (the
        status file alone comes before that); returns its exit status."""
        wait_for(lambda: self.status_code() is not None)
        wait_for(lambda: self.tmux("display-message", "-p", "#{pane_title}").strip() == self.ENDED)
        return self.status_code()

    def reading(self, paths):
        """The one of paths that the run is reading now (its descriptor has
        moved past the start)."""
        return next((p for p in paths if self.position(p) > 0), None)

    def stop(self):
        """Ends the server by its process id (its panes go with it)."""
        if self.server is None:
            return
        pid, self.server = self.server, None
        try:
            os.kill(pid, signal.SIGTERM)
            wait_for(lambda: not os.path.exists("/proc/%d" % pid), timeout=10)
        except ProcessLookupError:
            pass
        except AssertionError:
            os.kill(pid, signal.SIGKILL)
        # A server ended by a signal leaves its socket behind.
        if os.path.exists(self.socket):
            os.unlink(self.socket)


class StatusLine(ScratchTreeTest):
    def tree(self, huge=("big",)):
        root = make_tree(self.path("t"), SMALL)
        bigs = []
        for name in huge:
            bigs.append(os.path.join(root, name))
            sparse(bigs[-1], HUGE)
        return root, bigs

    def assert_fits(self, pane):
        for row in pane.rows():
            self.assertLess(len(row), pane.width, row)

    def assert_listing_screen(self, rows, small, huge=()):
        """Only the run's own lines: one listing line per file, the small
        files with their true digests."""
        shown = {}
        for row in rows:
            m = LISTING_LINE.match(row)
            self.assertTrue(m, "not a listing line: %r in %r" % (row, rows))
            shown[m.group(1)] = row[:32]
        self.assertEqual(sorted(shown), sorted(list(small) + list(huge)))
        for name, content in small.items():
            self.assertEqual(shown[name], md5_hex(content.encode()), name)

    def test_listing_scrolls_above_the_line_and_leaves_a_clean_screen(self):
        """Lines printed while the status line shows go above it; at the end
        the screen holds the listing and nothing else."""
        files = {"f%02d" % i: "%d\n" % i for i in range(40)}
        root = make_tree(self.path("t"), files)
        # The walk's order, to make its first and last file huge: at one
        # thread they are read in different groups, so the first one's line
        # is printed while the last is still being read.
        r = run(["-l", "t"], cwd=self.tmp)
        order = [LISTING_LINE.match(l).group(1) for l in r.stdout.decode().splitlines()]
        first, last = os.path.join(root, order[0]), os.path.join(root, order[-1])
        for name in (order[0], order[-1]):
            os.truncate(os.path.join(root, name), HUGE)
            del files[name]
        pane = Pane(self, 40)
        pane.start(["-j", "1", "-l", "t"], self.tmp)
        self.assertRegex(wait_for(pane.status), r"^listing: 0(/40)? files\b.*\b[\d.]+ [kMG]?B")
        self.assert_fits(pane)
        os.truncate(first, 0)

        def line_above():
            """the first file's line above the status line"""
            rows = pane.rows(history=True)
            return (len(rows) >= 2 and STATUS.match(rows[-1]) and
                    any(r.endswith("  " + order[0]) for r in rows[:-1]))
        wait_for(line_above)
        # The walk is done by now: the totals are known.
        wait_for(lambda: re.match(r"^listing: \d\d/40 files, \d+%", pane.status() or ""))
        self.assert_fits(pane)
        os.truncate(last, 0)
        self.assertEqual(pane.wait_end(), 0)
        self.assert_listing_screen(pane.rows(history=True), files, [order[0], order[-1]])
        self.assertEqual(pane.cursor_x(), 0)

    def test_follows_a_narrower_terminal(self):
        root, bigs = self.tree()
        pane = Pane(self, 100)
        pane.start(["-l", "t"], self.tmp)
        wide = wait_for(pane.status)
        self.assertRegex(wide, r"^listing: 0/4 files, [\d.]+ [kMG]?B of 68.7 GB, [\d.]+ [kMG]?B/s, \d+%(, [\d:]+ left)?$")
        pane.resize(22)
        # The next line drawn fits the new width: fields that do not fit
        # are left out, and the first is cut.
        narrow = wait_for(lambda: (lambda s: s if s and len(s) <= 21 else None)(pane.status()))
        self.assertEqual(narrow, "listing: 0/4 files")
        os.truncate(bigs[0], 0)
        pane.wait_end()

    def test_archive_lines_and_a_failure_on_standard_error(self):
        """Archive creation prints its lines on standard error, where the
        status line is: they reach the screen whole and in order, and the
        message of a failure stands alone after them. The big file shrinks
        while it is read, which the run reports when it compresses it."""
        root = make_tree(self.path("t"), {"f%02d" % i: "x" * i * 7 for i in range(20)})
        # The file in the middle of the archive's order (the walk's, reversed)
        # is the big one: lines come before its failure whatever the order.
        listing = run(["-l", "t"], cwd=self.tmp).stdout.decode().splitlines()
        walk = [LISTING_LINE.match(l).group(1) for l in listing]
        name = walk[len(walk) // 2]
        big = os.path.join(root, name)
        # Below the 4 GiB an archive member can hold, and slow to compress.
        sparse(big, 3 << 30)
        pane = Pane(self, 60, height=30)
        pane.start(["-j", "1", "-f", "t", "-a", "t.vok"], self.tmp)
        self.assertRegex(wait_for(pane.status), r"^archiving: \d+/20 files, ")
        os.truncate(big, 0)
        self.assertEqual(pane.wait_end(), 1)
        # The same lines from a run that does not fail: the ratios depend on
        # the files alone, and their order on the directory.
        r = run(["-f", "t", "-a", "ok.vok"], cwd=self.tmp)
        self.assertOk(r)
        lines = r.stderr.decode().splitlines()
        expected = lines[:[l.startswith(name + " (") for l in lines].index(True)]
        self.assertEqual(len(expected), 9)
        expected.append("mdtree: %s changed while the archive was being made" % big)
        self.assertEqual(pane.rows(), expected)
        self.assertEqual(pane.cursor_x(), 0)
        self.assertFalse(os.path.exists(self.path("t.vok")))

    def test_signals_leave_the_line_clean(self):
        """At the default thread count: the workers count what they read
        while the line is drawn."""
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                root, bigs = self.tree()
                pane = Pane(self, 50)
                pane.start(["-l", "t"], self.tmp)
                wait_for(pane.status)
                os.kill(pane.pid, sig)
                self.assertEqual(pane.wait_end(), 128 + sig)
                rows = pane.rows()
                self.assertFalse([r for r in rows if STATUS.match(r)], rows)
                self.assertEqual(pane.cursor_x(), 0)
                pane.stop()
                shutil.rmtree(root)

    def test_off_when_asked_or_when_standard_error_is_not_the_terminal(self):
        root, bigs = self.tree()
        err = self.path("err")
        for args, redirect in ((["--no-progress", "-l", "t"], ""),
                               (["-l", "t"], "2> " + shlex.quote(err))):
            with self.subTest(args=args, redirect=redirect):
                os.truncate(bigs[0], HUGE)
                pane = Pane(self, 60)
                pane.start(args, self.tmp, redirect)
                wait_for(lambda: pane.reading(bigs))
                # Well past the second after which a line would show.
                time.sleep(2)
                self.assertIsNone(pane.status())
                os.truncate(bigs[0], 0)
                self.assertEqual(pane.wait_end(), 0)
                self.assert_listing_screen(pane.rows(), SMALL, ["big"])
                pane.stop()
        with open(err, "rb") as f:
            self.assertEqual(f.read(), b"")

    def test_no_line_while_a_listing_is_typed(self):
        """-c - on the terminal reads what the person types: a status line
        would be drawn into the line being typed."""
        root = make_tree(self.path("t"), SMALL)
        typed = ["%s  %s" % (md5_hex(SMALL[n].encode()), n) for n in ("a", "b/c")]
        pane = Pane(self, 100)
        pane.start(["-c", "-"], root)
        pane.tmux("send-keys", typed[0], "Enter")
        wait_for(lambda: pane.rows() == typed[:1])
        # Well past the second after which a line would show.
        time.sleep(2)
        pane.tmux("send-keys", typed[1], "Enter")
        wait_for(lambda: pane.rows()[-1:] == typed[1:])
        self.assertEqual(pane.rows(), typed)
        pane.tmux("send-keys", "C-d")
        self.assertEqual(pane.wait_end(), 0)
        self.assertEqual(pane.rows(), typed + ["a: OK", "b/c: OK"])

    def test_output_is_the_same_with_and_without_the_option(self):
        """Without a terminal the option changes nothing, byte for byte: the
        lines on both streams and the archive."""
        make_tree(self.path("s"), {"f%d" % i: "y" * (i * 300) for i in range(30)})
        runs = []
        for extra in ([], ["--no-progress"]):
            arc = self.path("a%d.vok" % len(runs))
            r = run(extra + ["-l", "s", "-f", "s", "-a", arc], cwd=self.tmp)
            self.assertOk(r)
            with open(arc, "rb") as f:
                runs.append((r.stdout, r.stderr, f.read()))
        self.assertEqual(runs[0], runs[1])

    def test_share_done_follows_the_bytes_of_one_large_file(self):
        """Of one file, the files done say 0% until the end: the share done
        counts the bytes the walk measured."""
        root = make_tree(self.path("t"), {})
        big = os.path.join(root, "big")
        sparse(big, HUGE)
        pane = Pane(self, 100)
        pane.start(["-l", "t"], self.tmp)
        share = re.compile(r"^listing: 0/1 files, [\d.]+ [kMG]?B of 68.7 GB, [\d.]+ [kMG]?B/s, (\d+)%")
        # 1% is 687 MB into the file.
        wait_for(lambda: (lambda m: m and int(m.group(1)) >= 1)(share.match(pane.status() or "")))
        done = pane.position(big)
        self.assertGreater(done, HUGE // 100)
        os.truncate(big, 0)
        self.assertEqual(pane.wait_end(), 0)

    @unittest.skipUnless(strace_works(), "needs strace and ptrace on x86-64")
    def test_a_read_error_stands_on_its_own_line(self):
        """-c meets a file it can not read (a read error injected by strace)
        after the status line shows: the message goes above the line, whole,
        and nothing of the line stays on the screen."""
        root = make_tree(self.path("t"), {"bad": "x\n", "big": ""})
        # big fails too: the pane's run reads some of it before it is cut.
        with open(self.path("t.md5"), "w") as f:
            f.write("%s  big\n%s  bad\n" % (md5_hex(b"y"), md5_hex(b"x\n")))
        env = traced_env()
        strace = ["env", "ASAN_OPTIONS=" + env["ASAN_OPTIONS"], "strace", "-qq", "-f", "-o", "/dev/null",
                  "-P", os.path.join(root, "bad"), "-e", "inject=read:error=EIO:when=1"]
        # The same run without a terminal gives the lines and their texts.
        plain = subprocess.run(strace + [MDTREE, "-c", "../t.md5"], cwd=root, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=env, timeout=120)
        self.assertEqual(plain.returncode, 1)
        out, err = plain.stdout.decode().splitlines(), plain.stderr.decode().splitlines()
        self.assertEqual(out, ["big: FAILED", "bad: FAILED open or read"])
        self.assertEqual(len(err), 3)
        self.assertRegex(err[0], r"^mdtree: .*\bbad: Input/output error$")
        sparse(os.path.join(root, "big"), HUGE)
        pane = Pane(self, 100)
        pane.start(["-c", "../t.md5"], root, wrapper=strace)
        wait_for(pane.status)
        os.truncate(os.path.join(root, "big"), 0)
        self.assertEqual(pane.wait_end(), 1)
        self.assertEqual(pane.rows(), [out[0], err[0], out[1]] + err[1:])
        self.assertEqual(pane.cursor_x(), 0)


class JobControl(ScratchTreeTest):
    """A run in an interactive shell, stopped with Ctrl-Z and continued with
    fg or bg, its listing redirected to a file: whatever the terminal shows
    besides the shell's own lines is the status line's."""

    def setUp(self):
        super().setUp()
        self.root = make_tree(self.path("t"), SMALL)
        self.big = os.path.join(self.root, "big")
        sparse(self.big, HUGE)
        self.pane = Pane(self, 100)
        self.pane.start_shell(self.tmp)
        self.pane.run_typed(["-l", "t"], "> out")
        self.addCleanup(self.end_run)
        wait_for(self.pane.status)
        self.pane.key("C-z")

        def stopped():
            """the shell's word that the run stopped"""
            return any(re.match(r"^\[1\]\+ +Stopped ", r) for r in self.pane.rows())
        wait_for(stopped)

    def end_run(self):
        if not self.pane.gone():
            os.kill(self.pane.pid, signal.SIGKILL)

    def no_status(self):
        rows = self.pane.rows()
        self.assertFalse([r for r in rows if re.search(r"listing: [\d,]+", r)], rows)
        return rows

    def finish(self):
        """Lets the run end and checks its listing."""
        os.truncate(self.big, 0)
        wait_for(self.pane.gone)
        with open(self.path("out"), "rb") as f:
            shown = sorted(l.split(b"  ", 1)[1] for l in f.read().splitlines())
        self.assertEqual(shown, sorted([b"a", b"b/c", b"d", b"big"]))

    def test_ctrl_z_erases_the_line_and_fg_draws_it_again(self):
        rows = self.no_status()
        self.assertTrue(rows[-2].startswith("[1]+ "), rows)
        self.pane.type("fg")
        wait_for(self.pane.status)
        self.finish()
        wait_for(lambda: self.pane.rows()[-1] == "$")
        self.no_status()

    def test_in_the_background_the_shell_line_is_left_alone(self):
        """After bg, the prompt and what the user types stay as they are
        while the run goes on and when it ends."""
        self.pane.type("bg")
        wait_for(lambda: self.pane.rows()[-1] == "$")
        self.pane.type("echo typed", enter=False)
        wait_for(lambda: self.pane.rows()[-1] == "$ echo typed")
        # It runs: at least a few redraws' worth of reading more.
        at = self.pane.position(self.big)
        wait_for(lambda: self.pane.position(self.big) > at + (256 << 20))
        self.finish()
        self.assertEqual(self.pane.rows()[-1], "$ echo typed")
        self.assertEqual(self.pane.cursor_x(), len("$ echo typed"))
        self.no_status()

    def test_stopped_and_continued_again_and_again(self):
        """Ctrl-Z, bg and fg in quick turns: the line never stands on the
        shell's lines (a draw decided before a stop, or while the run is
        being stopped, is not made), and the run ends with its listing."""
        for turn in range(25):
            self.pane.type("bg")
            wait_for(lambda: self.pane.rows()[-1] == "$")
            self.no_status()
            self.pane.type("fg")
            wait_for(self.pane.status)
            self.pane.key("C-z")
            stops = turn + 2

            def stopped():
                """the shell's word that the run stopped again"""
                return len([r for r in self.pane.rows(history=True) if re.search(r"\bStopped ", r)]) >= stops
            wait_for(stopped)
            wait_for(lambda: self.pane.rows()[-1] == "$")
            self.no_status()
        self.pane.type("fg")
        self.finish()
        wait_for(lambda: self.pane.rows()[-1] == "$")
        self.no_status()
