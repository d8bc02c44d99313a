#include "util/cpus.h"

#include "util/mounts.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A group's quota in CPUs, or 0 when it sets none. Under cgroup v2,
// cpu.max holds "QUOTA PERIOD" or "max PERIOD"; under v1 the quota is -1
// when there is none.
double group_quota(const std::string& dir, bool v2) {
    long long quota = 0, period = 0;
    if (v2) {
        std::istringstream in(read_small_file(dir + "/cpu.max"));
        if (!(in >> quota >> period)) return 0;  // "max", or no file
    } else {
        quota = std::atoll(read_small_file(dir + "/cpu.cfs_quota_us").c_str());
        period = std::atoll(read_small_file(dir + "/cpu.cfs_period_us").c_str());
    }
    return quota > 0 && period > 0 ? double(quota) / double(period) : 0;
}

// The smallest quota from dir up to the mount point it lies below.
double smallest_quota(std::string dir, const std::string& point, bool v2) {
    double least = 0;
    for (;;) {
        const double q = group_quota(dir, v2);
        if (q > 0 && (least == 0 || q < least)) least = q;
        if (dir.size() <= point.size()) return least;
        dir.resize(dir.rfind('/'));
    }
}

// The directory of the group at path (as /proc/self/cgroup names it) below
// mount m, or "" when m does not hold it. A container's mount may show only
// its own part of the hierarchy: its root is then the group it holds.
std::string group_dir(const Mount& m, std::string_view path) {
    if (!at_or_below(path, m.root)) return {};
    const std::string_view rest = m.root == "/" ? path : path.substr(m.root.size());
    std::string dir = m.point;
    if (rest != "/") dir += rest;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

}  // namespace

int cpus_in_affinity() {
    // The set is allocated because a machine may have more CPUs than a
    // fixed cpu_set_t holds; the kernel says so with EINVAL, and the set
    // doubles until it fits.
    struct FreeSet {
        void operator()(cpu_set_t* set) const { CPU_FREE(set); }
    };
    for (int ncpus = 1024; ncpus <= (1 << 20); ncpus *= 2) {
        const std::unique_ptr<cpu_set_t, FreeSet> set(CPU_ALLOC(ncpus));
        if (!set) break;
        const std::size_t size = CPU_ALLOC_SIZE(ncpus);
        CPU_ZERO_S(size, set.get());
        if (::sched_getaffinity(0, size, set.get()) == 0) return std::max(1, CPU_COUNT_S(size, set.get()));
        if (errno != EINVAL) break;
    }
    return 1;
}

int cgroup_cpu_limit(std::string_view cgroup, std::string_view mountinfo) {
    const std::vector<Mount> mounts = parse_mountinfo(mountinfo);
    double least = 0;
    std::istringstream in{std::string(cgroup)};
    std::string line;
    while (std::getline(in, line)) {
        // ID:CONTROLLERS:PATH; cgroup v2 is "0::PATH".
        const std::size_t c1 = line.find(':'), c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
        if (c2 == std::string::npos) continue;
        const std::string_view controllers = std::string_view(line).substr(c1 + 1, c2 - c1 - 1);
        const std::string_view path = std::string_view(line).substr(c2 + 1);
        const bool v2 = line.compare(0, c2 + 1, "0::") == 0;
        // A group outside this cgroup namespace shows as "/..": its limits
        // can not be read from here.
        if (!path.starts_with('/') || path.find("/..") != std::string_view::npos) continue;
        if (!v2 && !has_option(controllers, "cpu")) continue;
        for (const Mount& m : mounts) {
            if (v2 ? m.type != "cgroup2" : m.type != "cgroup" || !has_option(m.super, "cpu")) continue;
            const std::string dir = group_dir(m, path);
            if (dir.empty()) continue;
            const double q = smallest_quota(dir, m.point, v2);
            if (q > 0 && (least == 0 || q < least)) least = q;
            break;
        }
    }
    if (least == 0) return 0;
    // No machine has a million CPUs; the bound keeps the conversion defined.
    return std::max(1, int(std::ceil(std::min(least, 1e6))));
}

int cpus_available() {
    const int cpus = cpus_in_affinity();
    const int quota = cgroup_cpu_limit(read_small_file("/proc/self/cgroup"), read_small_file("/proc/self/mountinfo"));
    return quota > 0 ? std::min(cpus, quota) : cpus;
}
