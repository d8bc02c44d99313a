// The default thread count: the CPUs this process may use. The affinity
// mask says which CPUs it may run on; a container's CPU quota (a cgroup's
// cpu.max, or cpu.cfs_quota_us over cpu.cfs_period_us under cgroup v1) says
// how much CPU time it gets on them, and threads beyond that only wait for
// their turn while holding their work's memory and descriptors.
#pragma once

#include <string_view>

// CPUs the affinity mask allows, at least 1.
int cpus_in_affinity();
// The CPU quota of the process's cgroup or of any group above it, the
// smallest, as a count of CPUs rounded up (at least 1); 0 when no quota
// applies. cgroup is the text of /proc/self/cgroup, mountinfo that of
// /proc/self/mountinfo; the limits are read from the files below the cgroup
// mounts that mountinfo names.
int cgroup_cpu_limit(std::string_view cgroup, std::string_view mountinfo);
// The affinity mask's CPUs, lowered to the cgroup quota of this process.
int cpus_available();
