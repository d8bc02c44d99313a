#include "archive/spool.h"

#include "util/fatal.h"
#include "util/limits.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

bool is_pipe_archive(const char* name) { return name && std::strcmp(name, "-") == 0; }

bool is_streamed(const struct stat& st) { return S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode); }

void refuse_terminal(int fd, const char* name, bool out) {
    // Nobody types or reads an archive's bytes.
    if (::isatty(fd))
        fatal(1, out ? "%s is a terminal; no archive written" : "%s is a terminal; no archive read", name);
}

Fd open_streamed_output(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0 || !is_streamed(st)) return Fd();
    Fd fd(open_at(AT_FDCWD, path, O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) fatal_errno("can not open", path);
    // Replaced by a file meanwhile: it is not written in place.
    if (::fstat(fd.get(), &st) != 0 || !is_streamed(st)) fatal(1, "archive %s changed while it was opened", path);
    refuse_terminal(fd.get(), path, true);
    return fd;
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

void send_spool(int fd, int out, const char* out_name) {
    ::signal(SIGPIPE, SIG_IGN);
    if (::lseek(fd, 0, SEEK_SET) < 0) fatal_errno("can not seek in", "the spool file");
    copy_fd(fd, "the spool file", out, out_name);
}

Fd receive_spool(int in, const char* in_name) {
    Fd spool = open_spool();
    copy_fd(in, in_name, spool.get(), "the spool file");
    if (::lseek(spool.get(), 0, SEEK_SET) < 0) fatal_errno("can not seek in", "the spool file");
    return spool;
}
