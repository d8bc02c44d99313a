#include "util/cpus.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A cgroup file system laid out in the scratch directory: the mount table
// and /proc/self/cgroup as the kernel writes them, with "@" standing for the
// scratch directory in mount points, and the limit files below.
struct QuotaCase {
    const char* what;
    std::string mountinfo;
    std::string cgroup;
    std::vector<std::pair<std::string, std::string>> files;
    int cpus;  // 0: no quota
};

void PrintTo(const QuotaCase& c, std::ostream* os) { *os << c.what; }

const std::string V2_MOUNT = "30 21 0:26 / @/unified rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
const std::string V1_MOUNT =
    "32 31 0:29 / @/cpu,cpuacct rw,relatime - cgroup cgroup rw,cpu,cpuacct\n"
    "33 31 0:30 / @/cpuacct-only rw,relatime - cgroup cgroup rw,cpuacct\n";

class CgroupQuota : public ScratchTest, public testing::WithParamInterface<QuotaCase> {};

TEST_P(CgroupQuota, SmallestLimitOfTheGroupAndItsParents) {
    const QuotaCase& c = GetParam();
    std::string mountinfo = c.mountinfo;
    for (std::size_t at; (at = mountinfo.find('@')) != std::string::npos;) mountinfo.replace(at, 1, dir_);
    for (const auto& [rel, text] : c.files) {
        fs::create_directories(fs::path(path(rel)).parent_path());
        put(rel, text);
    }
    EXPECT_EQ(cgroup_cpu_limit(c.cgroup, mountinfo), c.cpus);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CgroupQuota,
    testing::Values(
        QuotaCase{"v2 quota of the group, rounded up",
                  V2_MOUNT,
                  "0::/ctr/job\n",
                  {{"unified/ctr/job/cpu.max", "150000 100000\n"}, {"unified/ctr/cpu.max", "max 100000\n"}},
                  2},
        QuotaCase{"v2 parent's quota lower than the group's",
                  V2_MOUNT,
                  "0::/ctr/job\n",
                  {{"unified/ctr/job/cpu.max", "400000 100000\n"}, {"unified/ctr/cpu.max", "100000 100000\n"}},
                  1},
        QuotaCase{"v2 half a CPU is one thread", V2_MOUNT, "0::/ctr\n", {{"unified/ctr/cpu.max", "50000 100000\n"}}, 1},
        QuotaCase{"v2 no limit anywhere", V2_MOUNT, "0::/ctr/job\n", {{"unified/ctr/job/cpu.max", "max 100000\n"}}, 0},
        QuotaCase{"v2 no cpu controller: no files", V2_MOUNT, "0::/ctr\n", {}, 0},
        QuotaCase{"v2 group of a namespace at the mount's root",
                  V2_MOUNT,
                  "0::/\n",
                  {{"unified/cpu.max", "300000 100000\n"}},
                  3},
        QuotaCase{"v2 the mount point bounds the climb",
                  V2_MOUNT,
                  "0::/ctr\n",
                  {{"unified/ctr/cpu.max", "max 100000\n"}, {"cpu.max", "100000 100000\n"}},
                  0},
        QuotaCase{"v2 unreadable limit", V2_MOUNT, "0::/ctr\n", {{"unified/ctr/cpu.max", "lots\n"}}, 0},
        QuotaCase{"v1 quota over period",
                  V1_MOUNT,
                  "5:cpuacct,cpu:/ctr\n1:name=systemd:/\n",
                  {{"cpu,cpuacct/ctr/cpu.cfs_quota_us", "250000\n"}, {"cpu,cpuacct/ctr/cpu.cfs_period_us", "100000\n"}},
                  3},
        QuotaCase{"v1 no quota (-1)",
                  V1_MOUNT,
                  "5:cpu,cpuacct:/ctr\n",
                  {{"cpu,cpuacct/ctr/cpu.cfs_quota_us", "-1\n"}, {"cpu,cpuacct/ctr/cpu.cfs_period_us", "100000\n"}},
                  0},
        QuotaCase{"v1 zero period",
                  V1_MOUNT,
                  "5:cpu,cpuacct:/ctr\n",
                  {{"cpu,cpuacct/ctr/cpu.cfs_quota_us", "100000\n"}, {"cpu,cpuacct/ctr/cpu.cfs_period_us", "0\n"}},
                  0},
        QuotaCase{
            "v1 a hierarchy without the cpu controller is not read",
            V1_MOUNT,
            "6:cpuacct:/ctr\n",
            {{"cpuacct-only/ctr/cpu.cfs_quota_us", "100000\n"}, {"cpuacct-only/ctr/cpu.cfs_period_us", "100000\n"}},
            0},
        QuotaCase{"v1 container's mount shows only its own group",
                  "40 31 0:29 /docker/abc @/cpu rw - cgroup cgroup rw,cpu\n",
                  "4:cpu:/docker/abc\n",
                  {{"cpu/cpu.cfs_quota_us", "200000\n"}, {"cpu/cpu.cfs_period_us", "100000\n"}},
                  2},
        QuotaCase{"v1 group outside what the mount shows",
                  "40 31 0:29 /docker/abc @/cpu rw - cgroup cgroup rw,cpu\n",
                  "4:cpu:/other\n",
                  {{"cpu/cpu.cfs_quota_us", "200000\n"}, {"cpu/cpu.cfs_period_us", "100000\n"}},
                  0},
        QuotaCase{"both versions: the smaller wins",
                  V2_MOUNT + V1_MOUNT,
                  "5:cpu,cpuacct:/a\n0::/b\n",
                  {{"cpu,cpuacct/a/cpu.cfs_quota_us", "300000\n"},
                   {"cpu,cpuacct/a/cpu.cfs_period_us", "100000\n"},
                   {"unified/b/cpu.max", "200000 100000\n"}},
                  2},
        QuotaCase{"mount point with a space in octal",
                  "30 21 0:26 / @/my\\040cg rw - cgroup2 cgroup2 rw\n",
                  "0::/x\n",
                  {{"my cg/x/cpu.max", "100000 100000\n"}},
                  1},
        QuotaCase{"v2 group outside the namespace",
                  V2_MOUNT,
                  "0::/../sibling\n",
                  {{"sibling/cpu.max", "100000 100000\n"}},
                  0},
        QuotaCase{"garbage lines",
                  "garbage\n" + V2_MOUNT,
                  "nonsense\n0::relative\n0::/ok\n",
                  {{"unified/ok/cpu.max", "200000 100000\n"}},
                  2}),
    [](const auto& p) {
    std::string name;
    for (const char ch : std::string(p.param.what)) name += std::isalnum((unsigned char)ch) ? ch : '_';
    return name;
    });

TEST(Cpus, TheDefaultIsWithinTheAffinityMask) {
    const int cpus = cpus_available();
    EXPECT_GE(cpus, 1);
    EXPECT_LE(cpus, cpus_in_affinity());
}

}  // namespace
