"""Shared helpers for the end-to-end tests: run the built binary on real trees
in temporary directories, and compute expectations with independent oracles
(hashlib, zlib, the file system itself)."""

import hashlib
import os
import platform
import shutil
import stat
import subprocess
import tempfile
import unittest

MDTREE = os.environ.get("MDTREE") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "mdtree")
MDTREE = os.path.abspath(MDTREE)

# MDTREE_TEST_JOBS=N runs every command of the suite with "-j N" first, so
# that the whole suite can run at one thread as well as at the default.
TEST_JOBS = os.environ.get("MDTREE_TEST_JOBS")


# Long options that are not about the command line itself: a run with them
# still gets MDTREE_TEST_JOBS.
RUN_OPTIONS = {b"--no-progress", b"--quiet", b"--status", b"--warn", b"--strict", b"--ignore-missing"}


def argv(args, prog=MDTREE):
    """The command line that runs prog with args, at MDTREE_TEST_JOBS threads
    when that is set and the arguments are not about the thread count or the
    command line itself."""
    args = list(args)
    plain = [a.encode() if isinstance(a, str) else a for a in args]
    if (TEST_JOBS and prog == MDTREE and args and
            not any(a.startswith(b"-j") or (a.startswith(b"--") and a not in RUN_OPTIONS)
                    for a in plain)):
        args = ["-j", TEST_JOBS] + args
    return [prog] + args

USAGE_LINES = [
    "usage: {prog} [options]\n",
    "      database options :\n",
    "\t-l <dir> : output a snapshot of <dir>\n",
    "\t-i <dir> : add <dir> in the database\n",
    "\t-o <snapshot> : extract a snapshot\n",
    "\t-R <dir> : define the database root\n",
    "\t-V : verify the database\n",
    "\t-P <snapshot> : prune what no -P <snapshot> references\n",
    "\t-g <age> : let -P keep objects younger than <age> (default: 14d)\n",
    "      patch options :\n",
    "\t-f <dir> : define the `from' directory\n",
    "\t-t <dir> : define the `to' directory\n",
    "\t-p <dir> : define the `patch' directory\n",
    "\t-F : force the patch\n",
    "\t-r : undo the patch\n",
    "\t-n : print what would be done\n",
    "\t-A : define an installation administration file\n",
    "      archive options :\n",
    "\t-f <dir> : create an archive from <dir>\n",
    "\t-t <dir> : extract an archive to <dir>\n",
    "\t-a <vokfile> : define the archive name\n",
    "      check options :\n",
    "\t-c <snapshot> : check a tree against <snapshot>\n",
    "\t-C <dir> : define the tree to check (default: .)\n",
    "\t-u : also report files that <snapshot> does not name\n",
    "\t-c - : read the snapshot from standard input\n",
    "\t--quiet : -c prints no OK lines\n",
    "\t--status : -c prints nothing, the status tells\n",
    "\t--warn : -c warns of each improperly formatted line\n",
    "\t--strict : -c fails on improperly formatted lines\n",
    "\t--ignore-missing : -c passes over missing files\n",
    "      misc options :\n",
    "\t-h : display this stuff\n",
    "\t-j <n> : run <n> threads at once (default: one per CPU)\n",
    "\t--no-progress : no status line on a terminal\n",
    "\t--cache <file> : keep a stat cache for -l, -i and -f/-t/-p of a directory\n",
]


def usage_text(prog=MDTREE):
    return "".join(USAGE_LINES).format(prog=prog).encode()


def tool_env(env=None):
    """The environment every run of mdtree gets: this process's without
    DB_ROOT (a store root of the caller's must never reach a test), then the
    settings in env."""
    e = {k: v for k, v in os.environ.items() if k != "DB_ROOT"}
    e.update(env or {})
    return e


def run(args, cwd=None, env=None, input=None, timeout=600, prog=MDTREE):
    """Runs mdtree with args (strings or bytes) in tool_env(env); returns
    CompletedProcess with bytes stdout/stderr."""
    return subprocess.run(argv(args, prog), cwd=cwd, env=tool_env(env), input=input,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout)


def md5_hex(data):
    return hashlib.md5(data).hexdigest()


def make_tree(root, files):
    """files: {relative path: bytes or str}. Creates directories as needed."""
    os.makedirs(root, exist_ok=True)
    for rel, content in files.items():
        p = os.path.join(os.fsencode(root), os.fsencode(rel))
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
    return root


def tree_digests(root):
    """{relative path (bytes): hex digest} of every regular file below root,
    symbolic links neither followed nor listed."""
    out = {}
    broot = os.fsencode(root)
    for dirpath, dirnames, filenames in os.walk(broot):
        for n in filenames:
            p = os.path.join(dirpath, n)
            st = os.lstat(p)
            if stat.S_ISREG(st.st_mode):
                with open(p, "rb") as f:
                    out[os.path.relpath(p, broot)] = md5_hex(f.read())
    return out


def parse_listing(data):
    """Lines of a snapshot listing as (digest, path) byte pairs."""
    result = []
    for line in data.split(b"\n"):
        if not line:
            continue
        result.append((line[:32].decode(), line[34:]))
    return result


def random_bytes(rng, n):
    return bytes(rng.getrandbits(8) for _ in range(n))


class TreeTest(unittest.TestCase):
    """A test with a fresh temporary directory, self.tmp, removed afterwards."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="mdtree-test-")
        self.addCleanup(self._cleanup)

    def _cleanup(self):
        # Restore permissions a test may have taken away so removal succeeds.
        for dirpath, dirnames, _ in os.walk(self.tmp):
            for d in dirnames:
                p = os.path.join(dirpath, d)
                if not os.path.islink(p):
                    os.chmod(p, 0o755)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def assertOk(self, proc, msg=None):
        self.assertEqual(proc.returncode, 0,
                         msg or "stderr: %r stdout: %r" % (proc.stderr[-2000:], proc.stdout[-2000:]))

    def assertTreesEqual(self, a, b):
        """diff -r as the oracle: same files, same bytes."""
        d = subprocess.run(["diff", "-r", a, b], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(d.returncode, 0, d.stdout.decode(errors="replace")[:3000])


def strace_works():
    """strace can trace and inject faults here (x86-64 system call numbers
    are what the race tests read in /proc)."""
    if platform.machine() != "x86_64" or not shutil.which("strace"):
        return False
    return subprocess.run(["strace", "-qq", "-o", "/dev/null", "true"]).returncode == 0


def run_faulted(args, path, call, err, when=1):
    """Runs mdtree with args under strace, the when-th call of call on path
    (on any path when path is None) failing with err (a network file
    system's "Stale file handle", say). path may be a list: a call on any
    of them (a directory's descriptor among them) counts."""
    paths = [path] if isinstance(path, str) else path or []
    cmd = ["strace", "-qq", "-f", "-o", "/dev/null"] + [a for p in paths for a in ("-P", p)] + [
        "-e", "trace=" + call, "-e", "inject=%s:error=%s:when=%d" % (call, err, when)] + argv(args)
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=traced_env(), timeout=120)


def preload_library(source, base):
    """The C file source beside this one built at base.so, a library to
    preload (LD_PRELOAD) into mdtree that makes a fault happen."""
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), source)
    subprocess.run(["cc", "-shared", "-fPIC", "-pthread", "-o", base + ".so", src, "-ldl"], check=True)
    return base + ".so"


def traced_env():
    """tool_env for a run under strace: LeakSanitizer can not run under
    ptrace, so a sanitized build's leak check is off there."""
    env = tool_env()
    env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":")
    return env


def run_as_nobody(args, cwd=None, env=None):
    """Runs mdtree as the unprivileged user nobody (permission checks do not
    stop root). The paths involved must be reachable by that user."""
    e = tool_env(env)
    cmd = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + argv(args)
    if os.geteuid() != 0:
        cmd = argv(args)
    return subprocess.run(cmd, cwd=cwd, env=e, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)


STORE_TEMP_PREFIX = ".mdtree-"


def check_store(root):
    """Checks a content store with hashlib as the oracle: every object
    root/XX/<thirty hex digits> must hash to its own name, and nothing but
    two-digit directories, objects and temporary files ('.mdtree-' names)
    may be there. Returns (problems, objects checked, temporary files)."""
    problems, objects, temps = [], 0, []
    hexd = set("0123456789abcdef")
    if not os.path.isdir(root):
        return problems, objects, temps
    for top in sorted(os.listdir(root)):
        p = os.path.join(root, top)
        if top.startswith(STORE_TEMP_PREFIX):
            temps.append(p)
            continue
        if len(top) != 2 or not set(top) <= hexd or not os.path.isdir(p) or os.path.islink(p):
            problems.append("stray entry %s" % p)
            continue
        for name in sorted(os.listdir(p)):
            q = os.path.join(p, name)
            if name.startswith(STORE_TEMP_PREFIX):
                temps.append(q)
                continue
            if len(name) != 30 or not set(name) <= hexd or not stat.S_ISREG(os.lstat(q).st_mode):
                problems.append("stray entry %s" % q)
                continue
            h = hashlib.md5()
            with open(q, "rb") as f:
                for block in iter(lambda: f.read(1 << 20), b""):
                    h.update(block)
            objects += 1
            if h.hexdigest() != top + name:
                problems.append("object %s holds content %s" % (q, h.hexdigest()))
    return problems, objects, temps


def store_digests(root):
    """The digests of the objects in a store, by their names."""
    out = set()
    if os.path.isdir(root):
        for top in os.listdir(root):
            p = os.path.join(root, top)
            if len(top) == 2 and os.path.isdir(p):
                out.update(top + n for n in os.listdir(p) if not n.startswith(STORE_TEMP_PREFIX))
    return out


ARCHIVE_MAGIC_BYTES = b"\x8d\x35\x12\x01"


def archive_entry_size(name_len):
    return (name_len + 67) & ~3


def read_archive(data):
    """Parses an archive with the format's rules, independently of mdtree.
    Returns (headersize, entries), each entry a dict with the raw fields and
    'padding' (the bytes after the name's zero byte). Raises ValueError on
    anything that breaks the layout."""
    import struct
    if len(data) < 12 or data[:4] != ARCHIVE_MAGIC_BYTES:
        raise ValueError("no archive header")
    (h,) = struct.unpack_from("<I", data, 4)
    if h < 12 or h > len(data):
        raise ValueError("headersize %d out of range" % h)
    entries, pos = [], 8
    while True:
        if pos + 4 > h:
            raise ValueError("no terminator")
        (word,) = struct.unpack_from("<I", data, pos)
        if word == 0:
            if pos + 4 != h:
                raise ValueError("terminator at %d, headersize %d" % (pos, h))
            return h, entries
        magic, size, orig, comp, off, r1, r2 = struct.unpack_from("<7I", data, pos)
        if size < 64 or size % 4 or pos + size > h - 4:
            raise ValueError("bad entrysize %d at %d" % (size, pos))
        raw = data[pos:pos + size]
        nul = raw.index(b"\0", 61)
        entries.append(dict(magic=magic, entrysize=size, origsize=orig, compsize=comp,
                            offset=off, reserved1=r1, reserved2=r2, md5=raw[28:61],
                            name=raw[61:nul], padding=raw[nul + 1:], at=pos))
        pos += size


def write_archive(members):
    """Builds an archive from members, dicts with 'name' (bytes), 'stream'
    (bytes), 'md5' (str) and 'origsize'; members with equal 'stream' objects
    share one stream, as the format allows. Optional 'padding' byte value."""
    import struct
    h = 12 + sum(archive_entry_size(len(m["name"])) for m in members)
    data, where, table = bytearray(), {}, bytearray()
    for m in members:
        key = id(m["stream"])
        if key not in where:
            where[key] = h + len(data)
            data += m["stream"]
        size = archive_entry_size(len(m["name"]))
        e = struct.pack("<7I", 0x0112358D, size, m["origsize"], len(m["stream"]), where[key], 0, 0)
        e += m["md5"].encode() + b"\0" + m["name"] + b"\0"
        e += bytes([m.get("padding", 0)]) * (size - len(e))
        table += e
    return ARCHIVE_MAGIC_BYTES + struct.pack("<I", h) + bytes(table) + b"\0\0\0\0" + bytes(data)


def archive_member(name, content, level=9):
    """A member dict for write_archive holding content, compressed with zlib."""
    import zlib
    name = name.encode() if isinstance(name, str) else name
    return dict(name=name, stream=zlib.compress(content, level), md5=md5_hex(content),
                origsize=len(content))


# Scratch space on tmpfs where there is one: trees of big sparse files and
# many small writes cost nothing there.
SCRATCH_DIR = "/dev/shm" if os.path.isdir("/dev/shm") else None


class ScratchTreeTest(TreeTest):
    """A TreeTest whose temporary directory is below SCRATCH_DIR."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="mdtree-test-", dir=SCRATCH_DIR)
        self.addCleanup(self._cleanup)


def run_measured(args, cwd=None, env=None, timeout=600):
    """Runs mdtree as run() does, through a small fresh parent that measures
    the child's peak memory. Returns (CompletedProcess, max RSS in KiB).
    On a timeout both are killed and subprocess.TimeoutExpired is raised."""
    e = tool_env(env)
    with tempfile.NamedTemporaryFile() as f:
        if os.path.exists("/usr/bin/time"):
            wrapper = ["/usr/bin/time", "-o", f.name, "-f", "%M"]
        else:
            wrapper = ["/usr/bin/python3", "-c",
                       "import resource, subprocess, sys\n"
                       "r = subprocess.call(sys.argv[2:])\n"
                       "open(sys.argv[1], 'w').write('%d\\n' % "
                       "resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
                       "sys.exit(r if r >= 0 else 128 - r)\n", f.name]
        # A session of their own, so that a timeout kills mdtree too and
        # not only the measuring parent.
        with subprocess.Popen(wrapper + argv(args), cwd=cwd, env=e, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, start_new_session=True) as proc:
            try:
                out, err = proc.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, __import__("signal").SIGKILL)
                proc.communicate()
                raise
        # time writes a line of its own first when the status is not 0.
        return subprocess.CompletedProcess(proc.args, proc.returncode, out, err), int(f.read().split()[-1])


def exec_bits(root):
    """{relative path: mode & 0o111} of every regular file below root."""
    out = {}
    for dirpath, _, names in os.walk(root):
        for n in names:
            p = os.path.join(dirpath, n)
            out[os.path.relpath(p, root)] = os.stat(p).st_mode & 0o111
    return out


def read_tree(root):
    """{relative path: content} of every regular file below root."""
    out = {}
    for dirpath, _, files in os.walk(root):
        for n in files:
            p = os.path.join(dirpath, n)
            with open(p, "rb") as f:
                out[os.path.relpath(p, root)] = f.read()
    return out
