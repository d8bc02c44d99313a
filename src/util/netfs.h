// Where a file system answers over the network. There each file costs round
// trips to a server rather than CPU, and threads that wait for those pay
// beyond the CPU count: the store jobs run more threads when the store or the
// restore target lies on such a file system and -j was not given.
//
// Detection: statfs's f_type names NFS, CIFS/SMB and CephFS directly (the
// list of file system kinds is fs_kind's, util/durable.h); FUSE
// serves local file systems too, so a FUSE mount counts only when
// /proc/self/mountinfo gives it a network type (fuse.glusterfs, fuse.ceph-fuse,
// fuse.sshfs).
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// The threads the store jobs run on a network file system by default.
inline constexpr int NETWORK_THREADS = 16;

// The type that mountinfo (the text of /proc/self/mountinfo) gives the mount
// holding the absolute path path (the mount point that is its longest
// leading directory), or "" when none does.
std::string mount_type(std::string_view mountinfo, std::string_view path);
// True when path (absolute; it or its nearest existing parent) lies on a
// network file system.
bool on_network_fs(const std::string& path);
// The thread count for a store job whose store or target lies at paths:
// nthreads, or NETWORK_THREADS when -j was not given and one of them is on a
// network file system.
int store_threads(std::initializer_list<std::string> paths);
