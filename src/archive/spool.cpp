#include "archive/spool.h"

#include "format/archive.h"
#include "util/fatal.h"
#include "util/limits.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

bool is_pipe_archive(const char* name) { return name && std::strcmp(name, "-") == 0; }

bool is_streamed(const struct stat& st) { return S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode); }

void refuse_terminal(int fd, const char* name, bool out) {
    // Nobody types or reads an archive's bytes.
    if (::isatty(fd))
        fatal(1, out ? "%s is a terminal; no archive written" : "%s is a terminal; no archive read", name);
}

void check_pipe_end(int fd) {
    const bool out = fd == STDOUT_FILENO;
    const char* name = out ? "standard output" : "standard input";
    // A descriptor the run found closed now holds /dev/null, where the
    // archive would vanish with status 0, or be read as an empty one.
    if (std_fd_was_closed(fd)) {
        errno = EBADF;
        fatal_errno(out ? "write error on" : "read error on", name);
    }
    refuse_terminal(fd, name, out);
}

Fd open_spool() {
    const char* env = std::getenv("TMPDIR");
    const std::string dir = env && *env ? env : "/tmp";
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        // A file system without unnamed files: a named one, unlinked at once.
        std::string name = dir + "/.mdtree-spool-XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) fatal_errno("can not create a spool file in", dir.c_str());
        ::unlink(name.c_str());
    }
    return Fd(fd);
}

void send_spool(int fd) {
    ::signal(SIGPIPE, SIG_IGN);
    if (::lseek(fd, 0, SEEK_SET) < 0) fatal_errno("can not seek in", "the spool file");
    copy_fd(fd, "the spool file", STDOUT_FILENO, "standard output");
}

namespace {

// Copies up to len bytes of in to the spool; false when in ended first.
bool spool_some(int in, const char* in_name, int spool, uint64_t len) {
    unsigned char* buf = io_buffer();
    while (len > 0) {
        const std::size_t want = std::size_t(std::min<uint64_t>(len, IO_BUFSZ));
        const std::size_t n = read_fd(in, buf, want, in_name);
        write_fd(spool, buf, n, "the spool file");
        if (n < want) return false;
        len -= n;
    }
    return true;
}

}  // namespace

Fd receive_spool(int in, const char* in_name) {
    Fd spool = open_spool();
    // A stream may never end (/dev/zero, /dev/urandom, an archive followed
    // by anything endless): only the archive is spooled, as far as its
    // header and then its table say it reaches, and one that does not start
    // as an archive is refused at its first bytes, before it fills the
    // spool's file system. A stream cut short is left to the table's
    // checks, which name what is wrong with it.
    auto refuse = [in_name](const char* why) { fatal(1, "%s: not a valid archive: %s", in_name, why); };
    unsigned char head[ARCHIVE_EMPTY];
    const std::size_t n = read_fd(in, head, sizeof head, in_name);
    write_fd(spool.get(), head, n, "the spool file");
    uint32_t headersize = 0;
    if (n == sizeof head) {
        if (const char* why = check_archive_header(head, UINT64_MAX, &headersize)) refuse(why);
        // A table this large is read whole only by the table's checks, which
        // refuse a claim its entries do not bear out before holding it all:
        // such an archive is spooled to the end of the stream.
        constexpr uint32_t TABLE_HELD_MAX = 64u << 20;
        const bool whole = spool_some(in, in_name, spool.get(), headersize - sizeof head);
        if (whole && headersize > TABLE_HELD_MAX) {
            copy_fd(in, in_name, spool.get(), "the spool file");
        } else if (whole) {
            const std::size_t len = headersize - ARCHIVE_HEADER;
            std::vector<unsigned char> table(len);
            pread_fd(spool.get(), table.data(), len, ARCHIVE_HEADER, "the spool file");
            std::vector<ArchiveMember> members;
            if (const char* why = parse_archive_table(table.data(), len, UINT64_MAX, &members)) refuse(why);
            uint64_t end = headersize;
            for (const ArchiveMember& m : members) end = std::max(end, m.offset + m.compsize);
            spool_some(in, in_name, spool.get(), end - headersize);
        }
    }
    if (::lseek(spool.get(), 0, SEEK_SET) < 0) fatal_errno("can not seek in", "the spool file");
    return spool;
}
