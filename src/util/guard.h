// Leading directories below a root, for every job that writes, removes or
// reads a file at a relative path that came from outside (a manifest, an
// archive table, a listing) or that lies in a tree someone else can change.
// The shape of the relative path is is_safe_relpath's business; what it
// passes through on disk is checked here: a symbolic link in a leading
// directory (a/b where a links out of the tree) would carry a write or a
// delete outside the root, so such a path is refused instead of followed.
// The root itself is the user's choice and may be a link.
//
// A check by path holds only until someone swaps a directory for a link,
// so every write, rename and removal below a root goes through a
// descriptor of its directory that parent() opens at that moment, with no
// link below the root followed: the kernel then resolves nothing by name
// but the last component, inside a directory known to be real.
//
// Directories that the guard creates are remembered, so that a file that is
// refused or fails its check can take away the directories made for it and
// leave no trace.
#pragma once

#include "util/handles.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

// A directory opened (O_PATH) by DirGuard::parent, shared by the files in
// flight in it: one descriptor per directory, not per file.
using DirRef = std::shared_ptr<const Fd>;

// root opened as a directory, following a link there (the root is the
// user's choice): "" is the working directory. Null when it can not be
// opened (fatal when out of descriptors).
DirRef open_root(std::string_view root);

// Where a call on path goes: relative to the descriptor of its directory,
// or by the whole path where none could be had (the call then meets and
// reports what is in the way).
struct NameAt {
    NameAt(const DirRef& dir, const std::string& path);
    int at;
    const char* name;
};

// Fatal (status 1): link, a leading directory of root/rel, is a symbolic
// link, which is not followed.
[[noreturn]] void refuse_link(const std::string& link, std::string_view root, std::string_view rel);

class DirGuard {
public:
    // The first leading directory of root/rel (below root) that is a
    // symbolic link, or "" when there is none. With an empty root, rel is
    // taken from the working directory. A missing directory, or a file in
    // the way, is left for the operation on the path to report.
    std::string find_link(std::string_view root, std::string_view rel);
    // As find_link, and creates the missing leading directories as real
    // directories; appends those it created, outermost first, to created
    // when given.
    std::string make(std::string_view root, std::string_view rel, std::vector<std::string>* created = nullptr);
    // The same, fatal (status 1) on a link.
    void check_or_die(std::string_view root, std::string_view rel);
    void make_or_die(std::string_view root, std::string_view rel, std::vector<std::string>* created = nullptr);
    // Removes again, innermost first, the leading directories of root/rel
    // that this guard created and that are empty now; stops at the first
    // that still holds something.
    void unmake(std::string_view root, std::string_view rel);

    // The directory that holds root/rel's last component, opened now
    // without following a symbolic link below root (rel's leading
    // directories, as they stand at this call). make: missing directories
    // are made as make() makes them. On a link, link names it and the
    // result is null. A directory missing or a file in the way gives,
    // without make, a directory in which every name is missing (the call
    // on the name meets ENOENT, never a path resolved anew), and with make,
    // null, which the caller refuses.
    // Directories opened lately are held and shared by the files that go
    // there: a directory verified real stays that directory, whatever is
    // renamed onto its name later.
    DirRef parent(std::string_view root, std::string_view rel, bool make, std::string& link,
                  std::vector<std::string>* created = nullptr);
    // The same, fatal (status 1) on a link.
    DirRef parent_or_die(std::string_view root, std::string_view rel, bool make,
                         std::vector<std::string>* created = nullptr);

    // Drops the directory of root/rel held, if any: the next parent() opens
    // it anew.
    void forget(std::string_view root, std::string_view rel);
    // Removes the empty directory root/dir through its parent's
    // descriptor; false (errno set) when it is not there, holds something,
    // or a link stands on the way.
    bool remove_dir(std::string_view root, std::string_view dir);

private:
    // parent() without its answer for a missing directory: null.
    DirRef open_parent(std::string_view root, std::string_view rel, bool make, std::string& link,
                       std::vector<std::string>* created);
    // root itself, opened following links (the user's choice): "" is the
    // working directory. make: made when missing.
    DirRef root_dir(std::string_view root, bool make);
    // root/rel's first len bytes: its parent (through parent(), so held
    // for the next file), then the last component, made first when make.
    DirRef step(std::string_view root, std::string_view rel, std::size_t len, bool make, std::string& link,
                std::vector<std::string>* created);
    void hold(std::string key, const DirRef& d);
    std::string walk(std::string_view root, std::string_view rel, bool create, std::vector<std::string>* created);
    // Records dir as made by this guard.
    void made(const std::string& dir, std::vector<std::string>* created);
    std::unordered_set<std::string> dirs_;  // seen to be real directories
    std::unordered_set<std::string> made_;  // created by this guard
    // Seen missing by a check: no link can stand there until this guard
    // makes the directory (checks of many files below one missing directory
    // then cost one lstat).
    std::unordered_set<std::string> missing_;
    // Directories opened by parent(), held for the files that follow, up to
    // keep_max_ of them (set at the first).
    struct Held {
        DirRef dir;
        uint64_t used;
    };
    std::unordered_map<std::string, Held> open_;
    uint64_t clock_ = 0;
    std::size_t keep_max_ = 0;
    std::unordered_map<std::string, DirRef> roots_;
    // parent() and forget() may be called from the publisher's rename
    // threads too (a stale handle opened anew).
    std::recursive_mutex mu_;
};

// The directories made for one file that may still be refused: unless
// keep() is called, they are removed again (as DirGuard::unmake) when this
// goes out of scope, failures included. It moves with the file's entry, so
// an entry can be set up on its own and join its group only once it is.
class MadeFor {
public:
    MadeFor(DirGuard& guard, std::string_view root, std::string_view rel) : guard_(&guard), root_(root), rel_(rel) {}
    MadeFor(MadeFor&& o) noexcept
        : guard_(std::exchange(o.guard_, nullptr)), root_(std::move(o.root_)), rel_(std::move(o.rel_)) {}
    MadeFor& operator=(MadeFor&&) = delete;
    MadeFor(const MadeFor&) = delete;
    MadeFor& operator=(const MadeFor&) = delete;
    ~MadeFor() {
        if (guard_) guard_->unmake(root_, rel_);
    }
    void keep() { guard_ = nullptr; }

private:
    DirGuard* guard_;  // null once kept, or moved from
    std::string root_;
    std::string rel_;
};
