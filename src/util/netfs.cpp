#include "util/netfs.h"

#include "driver/settings.h"

#include <sys/vfs.h>

#include <cstdlib>

#include <fstream>
#include <initializer_list>
#include <sstream>

namespace {

constexpr long FUSE_MAGIC = 0x65735546;
constexpr long NETWORK_MAGICS[] = {0x6969 /* NFS */, 0xFF534D42 /* CIFS */, 0xFE534D42 /* SMB2 */,
                                   0x00c36400 /* CephFS */};
constexpr std::string_view NETWORK_FUSE[] = {"fuse.glusterfs", "fuse.ceph-fuse", "fuse.ceph", "fuse.sshfs"};

// mountinfo writes a space, tab, line feed and backslash in a mount point as
// \040, \011, \012 and \134.
std::string unoctal(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
            out += char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool below(std::string_view path, std::string_view mount) {
    if (mount == "/") return true;
    return path.substr(0, mount.size()) == mount && (path.size() == mount.size() || path[mount.size()] == '/');
}

} // namespace

std::string mount_type(std::string_view mountinfo, std::string_view path) {
    std::string best_point, best_type;
    std::istringstream in{std::string(mountinfo)};
    std::string line;
    while (std::getline(in, line)) {
        // ID PARENT MAJ:MIN ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE SUPER
        std::istringstream f(line);
        std::string id, parent, dev, root, point, word;
        if (!(f >> id >> parent >> dev >> root >> point)) continue;
        while (f >> word && word != "-") {}
        std::string type;
        if (!(f >> type)) continue;
        point = unoctal(point);
        if (below(path, point) && point.size() >= best_point.size()) {
            best_point = point;
            best_type = type;
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
    for (const long m : NETWORK_MAGICS)
        if (long(st.f_type) == m) return true;
    if (long(st.f_type) != FUSE_MAGIC) return false;
    std::ifstream f("/proc/self/mountinfo");
    std::stringstream text;
    text << f.rdbuf();
    const std::string type = mount_type(text.str(), p);
    for (const std::string_view t : NETWORK_FUSE)
        if (type == t) return true;
    return false;
}

int store_threads(std::initializer_list<std::string> paths) {
    if (jobs_given || nthreads >= NETWORK_THREADS) return nthreads;
    for (const std::string& p : paths)
        if (on_network_fs(p)) return NETWORK_THREADS;
    return nthreads;
}
