#include "util/fileio.h"

#include "util/fatal.h"
#include "util/paths.h"
#include "util/perthread.h"
#include "util/progress.h"
#include "util/durable.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <memory>
#include <vector>

std::FILE* FOPENG(const char* path, const char* mode, int line) {
    if (std::FILE* fp = std::fopen(path, mode)) return fp;
    fatal_open(path, mode, line);
}

int open_at(int dir, const char* path, int flags) {
    int fd;
    do {
        fd = ::openat(dir, path, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int FOPENG_fd(const char* path, int line) {
    const int fd = open_at(AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) fatal_open(path, "rb", line);
    return fd;
}

int open_regular_fd(const char* path, int line, bool nofollow) {
    Fd fd(open_at(AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (nofollow ? O_NOFOLLOW : 0)));
    if (fd.get() < 0) fatal_open(path, "rb", line);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) fatal(1, "can not read %s: not a regular file", path);
    // O_NONBLOCK stays: it changes nothing for a regular file's reads, and
    // clearing it would cost two more calls per file.
    return fd.release();
}

std::string publish_target(const char* path, const char* what) {
    std::string p = path;
    // Follow a chain of links to the file they lead to, as open() would, but
    // stop there: the file is replaced by rename, so the last link must be
    // resolved by hand or the rename would replace the link itself.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0) {
            if (errno == ENOENT) return p;
            fatal_errno("can not examine", p.c_str());
        }
        if (S_ISREG(st.st_mode)) return p;
        if (!S_ISLNK(st.st_mode)) {
            const char* kind = S_ISDIR(st.st_mode)                          ? "a directory"
                               : S_ISFIFO(st.st_mode)                        ? "a FIFO"
                               : S_ISSOCK(st.st_mode)                        ? "a socket"
                               : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                                                                             : "not a regular file";
            fatal(1, "%s %s is %s; refusing to replace it", what, p.c_str(), kind);
        }
        char buf[PATH_BUF];
        const ssize_t n = ::readlink(p.c_str(), buf, sizeof buf);
        if (n < 0) fatal_errno("can not read the link", p.c_str());
        if (std::size_t(n) >= sizeof buf) fatal(1, "%s %s: link target too long", what, p.c_str());
        std::string target(buf, std::size_t(n));
        if (target.empty()) fatal(1, "%s %s: empty link", what, p.c_str());
        if (target[0] != '/') {
            const std::size_t slash = p.rfind('/');
            target = p.substr(0, slash + 1) + target;
        }
        if (target.size() > PATH_MAXLEN) fatal(1, "path too long: %s", target.c_str());
        p = std::move(target);
    }
    fatal(1, "%s %s: too many levels of symbolic links", what, path);
}

char* copy(const char* s) {
    const std::size_t n = std::strlen(s) + 1;
    char* p = new char[n];
    std::memcpy(p, s, n);
    return p;
}

void cvt2le(void* p, int n) {
    const int one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    if (first == 1) return;
    auto b = static_cast<unsigned char*>(p);
    for (int i = 0, j = n - 1; i < j; ++i, --j) std::swap(b[i], b[j]);
}

void make_parents(std::string_view path) {
    std::string buf(path);
    // Deepest first: usually only the last directory is missing (a new
    // two-digit directory of the store, a new directory of a tree), and
    // then one mkdir does it instead of one per component of the path.
    // Climb only while mkdir says a parent is missing, then come back down.
    // The first character is never a cut point: an absolute path never asks
    // for the root to be created.
    std::size_t end = buf.size();
    std::vector<std::size_t> missing;
    for (;;) {
        const std::size_t slash = buf.rfind('/', end - 1);
        if (slash == std::string::npos || slash == 0) break;
        buf[slash] = '\0';
        const int rc = ::mkdir(buf.c_str(), 0777);
        const int err = errno;
        buf[slash] = '/';
        if (rc == 0 || err != ENOENT) break;
        missing.push_back(slash);
        end = slash;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        buf[*it] = '\0';
        ::mkdir(buf.c_str(), 0777);
        buf[*it] = '/';
    }
}

void write_all(std::FILE* out, const void* data, std::size_t len, const char* out_name) {
    if (len != 0 && std::fwrite(data, 1, len, out) != len) fatal_errno("write error on", out_name);
}

unsigned char* io_buffer() {
    // One per thread: copies run on several at once.
    struct Buf {
        std::unique_ptr<unsigned char[]> p{new unsigned char[IO_BUFSZ]};
    };
    static PerThread<Buf> buf;
    return buf.get().p.get();
}

unsigned char* scratch(std::size_t n, ScratchSlot slot) {
    struct Buf {
        std::unique_ptr<unsigned char[]> p;
        std::size_t cap = 0;
    };
    struct Bufs {
        Buf b[std::size_t(ScratchSlot::count)];
    };
    static PerThread<Bufs> bufs;
    Buf& b = bufs.get().b[std::size_t(slot)];
    if (n == 0) n = 1;  // never a null pointer, even for nothing
    if (b.cap < n) {
        // new[] without () leaves the bytes uninitialised.
        b.p.reset(new unsigned char[n]);
        b.cap = n;
    }
    return b.p.get();
}

void write_fd(int fd, const void* data, std::size_t len, const char* name) {
    auto p = static_cast<const unsigned char*>(data);
    while (len > 0) {
        const ssize_t n = ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            fatal_errno("write error on", name);
        }
        p += n;
        len -= std::size_t(n);
    }
}

namespace {

// Calls part(p, want, done) until len bytes are read or it reports the end
// of the file (0); EINTR is retried, any other error is fatal.
template <class Part>
std::size_t read_whole(void* data, std::size_t len, const char* name, Part part) {
    auto p = static_cast<unsigned char*>(data);
    std::size_t got = 0;
    while (got < len) {
        const ssize_t n = part(p + got, len - got, got);
        if (n < 0) {
            if (errno == EINTR) continue;
            fatal_errno("read error on", name);
        }
        if (n == 0) break;
        got += std::size_t(n);
        // Counted as it comes: a large file moves the status line too.
        progress_bytes(uint64_t(n));
    }
    return got;
}

} // namespace

std::size_t read_fd(int fd, void* data, std::size_t len, const char* name) {
    return read_whole(data, len, name, [fd](void* p, std::size_t want, std::size_t) { return ::read(fd, p, want); });
}

std::size_t pread_fd(int fd, void* data, std::size_t len, uint64_t offset, const char* name) {
    return read_whole(data, len, name, [fd, offset](void* p, std::size_t want, std::size_t done) {
        return ::pread(fd, p, want, off_t(offset + done));
    });
}

uint64_t copy_fd(int in, const char* in_name, int out, const char* out_name, md5_context* hash) {
    unsigned char* buf = io_buffer();
    uint64_t total = 0;
    // A long copy is mostly on the disk by the time its publication waits
    // for it: its writeback is started piece by piece as it goes.
    uint64_t started = 0;
    for (;;) {
        const std::size_t n = read_fd(in, buf, IO_BUFSZ, in_name);
        if (hash) md5_process_bytes(buf, n, hash);
        if (out >= 0) write_fd(out, buf, n, out_name);
        total += n;
        if (out >= 0 && total - started >= WRITEBACK_STEP) {
            start_writeback(out, started, total - started);
            started = total;
        }
        // A short read means the end of a regular file: asking again would
        // cost one more read() that returns nothing, per file copied.
        if (n < IO_BUFSZ) return total;
    }
}

void copy_fd_hashed(int in, const char* in_name, int out, const char* out_name, char* hex) {
    md5_context ctx;
    md5_init_ctx(&ctx);
    copy_fd(in, in_name, out, out_name, &ctx);
    md5_finish_hex(&ctx, hex);
}

void hash_fd(int fd, const char* name, char* out) {
    unsigned char digest[16];
    if (md5_fd(fd, digest) != 0) fatal_errno("read error on", name);
    md5_to_hex(digest, out);
    // md5_fd reads on its own: its bytes count for the status line once the
    // file is done, by where it left the file's offset.
    if (progress_detail::counting.load(std::memory_order_relaxed)) {
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end > 0) progress_bytes(uint64_t(end));
    }
}
