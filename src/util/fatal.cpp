#include "util/fatal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

void fatal(int status, const char* fmt, ...) {
    // Lines already printed on standard output come before the message.
    std::fflush(stdout);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    throw FatalError{status};
}

void fatal_errno(const char* what, const char* path) {
    const int err = errno;
    fatal(1, "mdtree: %s %s: %s\n", what, path, std::strerror(err));
}

void out_printf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    if (n < 0 || std::ferror(stdout)) {
        const int err = errno;
        std::clearerr(stdout);
        fatal(1, "mdtree: write error on standard output: %s\n", std::strerror(err));
    }
}

void flush_stdout() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int err = errno;
        std::clearerr(stdout);
        fatal(1, "mdtree: write error on standard output: %s\n", std::strerror(err));
    }
}
