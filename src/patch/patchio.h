// File access below a root for the patch jobs. A relative path from a
// manifest is checked for its own shape by is_safe_relpath; what it walks
// through on disk is checked here: a symbolic link in a leading directory
// (a/b where a links out of the tree) would carry a write or a delete outside
// the tree, so such a path is refused instead of followed.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

class DirGuard {
public:
    // Fatal (status 1) when a leading directory of root/rel, below root,
    // exists as a symbolic link. A missing directory, or a file in the way,
    // is left for the operation on the path to report.
    void check(const std::string& root, std::string_view rel);
    // As check(), and creates the missing leading directories as real
    // directories; appends those it created, outermost first, to created.
    void make(const std::string& root, std::string_view rel, std::vector<std::string>& created);
    // Forgets a directory that has been removed again.
    void forget(const std::string& dir) { dirs_.erase(dir); }

private:
    // Walks the leading directories; creates missing ones when created is
    // given.
    void walk(const std::string& root, std::string_view rel, std::vector<std::string>* created);
    // Leading directories already seen to be real directories. The patch
    // jobs remove files, never directories, so what is known stays true.
    std::unordered_set<std::string> dirs_;
};

// Directories made by DirGuard::make for a file that may still be refused:
// unless keep() is called they are removed again (innermost first), so that
// a refused file leaves no trace.
class MadeDirs {
public:
    explicit MadeDirs(DirGuard& guard) : guard_(guard) {}
    MadeDirs(const MadeDirs&) = delete;
    MadeDirs& operator=(const MadeDirs&) = delete;
    ~MadeDirs();
    std::vector<std::string>& list() { return dirs_; }
    void keep() { dirs_.clear(); }

private:
    DirGuard& guard_;
    std::vector<std::string> dirs_;
};

// Opens an existing file for reading without following a symbolic link in
// its last component. Fatal with FOPENG's message and status 1 when it can
// not be opened (pass __LINE__).
std::FILE* open_nofollow(const char* path, int line);

