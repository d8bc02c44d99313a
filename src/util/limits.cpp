#include "util/limits.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {
bool std_closed[3] = {};
}  // namespace

bool std_fd_was_closed(int fd) { return fd >= 0 && fd <= 2 && std_closed[fd]; }

void open_std_fds() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        std_closed[fd] = true;
        // open() returns the lowest free descriptor, which is this one.
        const int got = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (got != fd) {
            // Without /dev/null the run can not be made safe: stop before
            // any file is created.
            ::_exit(1);
        }
    }
}

void raise_descriptor_limit() {
    struct rlimit r;
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == r.rlim_max) return;
    r.rlim_cur = r.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &r);
}

void fit_memory_limit() {
    struct rlimit r;
    if (::getrlimit(RLIMIT_AS, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return;
    ::mallopt(M_ARENA_MAX, int(std::clamp<rlim_t>(r.rlim_cur / (256u << 20), 1, 64)));
}

std::size_t descriptors_free() {
    struct rlimit r;
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return 0;
    const std::size_t limit = r.rlim_cur == RLIM_INFINITY ? std::size_t(1) << 20 : std::size_t(r.rlim_cur);
    // Counted in /proc. With no descriptor left to read it, none is left;
    // without /proc, a run holds few besides the standard three.
    DIR* d = ::opendir("/proc/self/fd");
    if (!d) {
        if (errno == EMFILE || errno == ENFILE) return 0;
        return limit > 16 ? limit - 16 : 0;
    }
    std::size_t open = 0;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++open;
    ::closedir(d);
    return open < limit ? limit - open : 0;
}
