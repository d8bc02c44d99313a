// The process's mount table (/proc/self/mountinfo) and the small text files
// the kernel shows under /proc and /sys, as the thread-count rules read them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct Mount {
    std::string root;   // the directory of the file system that is mounted
    std::string point;  // where it is mounted
    std::string type;   // "ext4", "cgroup2", "fuse.sshfs", ...
    std::string super;  // the file system's own options, comma-separated
};

// The mounts a mountinfo text lists, in its order; a line that does not
// parse is passed over.
std::vector<Mount> parse_mountinfo(std::string_view text);
// True when item is one of the comma-separated words of list.
bool has_option(std::string_view list, std::string_view item);
// True when the absolute path path is dir or lies below it.
bool at_or_below(std::string_view path, std::string_view dir);
// The whole of a small file, or "" when it can not be read.
std::string read_small_file(const std::string& path);
