#include "db/maint.h"

#include "db/store.h"
#include "util/fatal.h"
#include "util/tempfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

std::vector<std::string> dir_names(const std::string& path) {
    struct Closer {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    const std::unique_ptr<DIR, Closer> d(::opendir(path.c_str()));
    if (!d) fatal_errno("can not open directory", path.c_str());
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(d.get());
        if (!e) {
            if (errno != 0) fatal_errno("can not read directory", path.c_str());
            break;
        }
        const std::string_view n = e->d_name;
        if (n != "." && n != "..") names.emplace_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

StoreTop read_store_top(const std::string& root) {
    struct stat st;
    if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        fatal(1, "%s: not a content store: %s", root.c_str(),
              errno == 0 || S_ISDIR(st.st_mode) ? "not a directory" : std::strerror(errno));
    StoreTop top;
    for (std::string& n : dir_names(root)) {
        if (n == STORE_DAMAGED || n == "lost+found") continue;
        if (is_temp_name(n)) {
            top.temps.push_back(std::move(n));
            continue;
        }
        // A link named like a directory of the store would carry -V's moves
        // and -P's removals out of it.
        struct stat e;
        const bool dir = ::lstat((root + "/" + n).c_str(), &e) == 0 && S_ISDIR(e.st_mode);
        (dir && is_object_dir_name(n) ? top.dirs : top.foreign).push_back(std::move(n));
    }
    return top;
}

StoreTop read_store_top_strict(const std::string& root) {
    StoreTop top = read_store_top(root);
    if (!top.foreign.empty())
        fatal(1, "%s: not a content store: it holds %s, which a store does not; nothing removed", root.c_str(),
              top.foreign.front().c_str());
    return top;
}

int rename_noreplace(const std::string& from, const std::string& to) {
    auto failed = [&] { fatal_errno(("can not move " + from + " to").c_str(), to.c_str()); };
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno == EEXIST || errno == ENOENT) return errno;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) failed();
    // A file system that can not refuse a rename onto a taken name (NFS,
    // some FUSE file systems) refuses a hard link onto one.
    if (::link(from.c_str(), to.c_str()) == 0) {
        if (::unlink(from.c_str()) != 0) fatal_errno("can not remove", from.c_str());
        return 0;
    }
    if (errno == EEXIST || errno == ENOENT) return errno;
    // Neither (a directory, a file system without hard links): look, then
    // rename. Only another maintenance run could take the name meanwhile.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) return EEXIST;
    if (::rename(from.c_str(), to.c_str()) != 0) {
        if (errno == ENOENT) return ENOENT;
        failed();
    }
    return 0;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

Moved move_if_same(const std::string& path, const std::string& to, const struct stat& seen) {
    // The rename takes whatever stands at path at this moment, in one step:
    // what it took is checked afterwards, never before.
    const int rc = rename_noreplace(path, to);
    if (rc == EEXIST) return Moved::taken;
    if (rc == ENOENT) return Moved::gone;
    struct stat got;
    if (::lstat(to.c_str(), &got) != 0) fatal_errno("can not examine", to.c_str());
    if (same_file(got, seen)) return Moved::yes;
    // Published or refreshed by another run since it was seen.
    return rename_noreplace(to, path) == 0 ? Moved::back : Moved::duplicate;
}

double now_seconds() {
    struct timespec t;
    ::clock_gettime(CLOCK_REALTIME, &t);
    return seconds(t);
}
