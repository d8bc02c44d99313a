#include "util/netfs.h"

#include "util/durable.h"
#include "util/mounts.h"
#include "util/settings.h"

#include <sys/vfs.h>

#include <algorithm>
#include <cstdlib>

#include <initializer_list>

constexpr std::string_view NETWORK_FUSE[] = {"fuse.glusterfs", "fuse.ceph-fuse", "fuse.ceph", "fuse.sshfs"};

std::string mount_type(std::string_view mountinfo, std::string_view path) {
    std::string best_point, best_type;
    for (Mount& m : parse_mountinfo(mountinfo)) {
        if (at_or_below(path, m.point) && m.point.size() >= best_point.size()) {
            best_point = std::move(m.point);
            best_type = std::move(m.type);
        }
    }
    return best_type;
}

bool on_network_fs(const std::string& path) {
    std::string p = path;
    struct statfs st;
    // A target or root not made yet: its nearest existing parent decides.
    while (::statfs(p.c_str(), &st) != 0) {
        const std::size_t slash = p.rfind('/');
        if (slash == std::string::npos || p == "/") return false;
        p = slash == 0 ? "/" : p.substr(0, slash);
    }
    // mountinfo names mount points without links or "..".
    char* real = ::realpath(p.c_str(), nullptr);
    if (real) {
        p = real;
        std::free(real);
    }
    const FsKind kind = fs_kind(long(st.f_type));
    if (kind.network) return true;
    if (!kind.fuse) return false;
    const std::string type = mount_type(read_small_file("/proc/self/mountinfo"), p);
    return std::ranges::find(NETWORK_FUSE, type) != std::end(NETWORK_FUSE);
}

int store_threads(std::initializer_list<std::string> paths) {
    if (jobs_given || nthreads >= NETWORK_THREADS) return nthreads;
    for (const std::string& p : paths)
        if (on_network_fs(p)) return NETWORK_THREADS;
    return nthreads;
}
