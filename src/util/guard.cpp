#include "util/guard.h"

#include "util/fatal.h"
#include "util/fileio.h"
#include "util/limits.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// A directory is only ever a place to resolve names in: no read, no lock.
constexpr int DIR_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;

// dir below dirfd, no symbolic link followed on the way, in one call; -1
// with errno, ENOSYS where the kernel has no openat2 (or a filter forbids
// it: EPERM), remembered so that the next directory goes step by step at once.
int open_no_links(int dirfd, const char* dir) {
    static std::atomic<bool> absent{false};
    if (absent.load(std::memory_order_relaxed)) {
        errno = ENOSYS;
        return -1;
    }
    struct open_how how {};
    how.flags = DIR_FLAGS;
    how.resolve = RESOLVE_NO_SYMLINKS;
    for (;;) {
        const long fd = ::syscall(SYS_openat2, dirfd, dir, &how, sizeof how);
        if (fd >= 0) return int(fd);
        if (errno == EINTR) continue;
        if (errno == ENOSYS || errno == EPERM) {
            absent.store(true, std::memory_order_relaxed);
            errno = ENOSYS;
        }
        return -1;
    }
}

// root/rel's first `len` bytes: the leading directory that ends there.
void lead(std::string& out, std::string_view root, std::string_view rel, std::size_t len) {
    out.assign(root);
    if (!root.empty()) out += '/';
    out.append(rel.substr(0, len));
}

// A directory removed while held open: every name looked for in it is
// missing (ENOENT), and nothing can be made in it. A call whose directory is
// missing goes there, never by its whole path, which a link planted
// meanwhile on the way would carry out of the root. Null where no scratch
// directory can be made: those calls go by path, as they always did.
DirRef nowhere() {
    static const DirRef gone = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/.mdtree-gone-XXXXXX";
        if (!::mkdtemp(dir.data())) return DirRef();
        const int fd = ::open(dir.c_str(), DIR_FLAGS);
        ::rmdir(dir.c_str());
        return fd < 0 ? DirRef() : std::make_shared<const Fd>(fd);
    }();
    return gone;
}

[[noreturn]] void examine_failed(int err, const std::string& dir) {
    fatal_if_out_of_descriptors(err, "can not open", dir.c_str());
    errno = err;
    fatal_errno("can not examine", dir.c_str());
}

}  // namespace

void refuse_link(const std::string& link, std::string_view root, std::string_view rel) {
    fatal(1, "%s is a symbolic link; refusing to follow it to %.*s%s%.*s", link.c_str(), int(root.size()), root.data(),
          root.empty() ? "" : "/", int(rel.size()), rel.data());
}

namespace {

[[noreturn]] void refuse(const std::string& link, std::string_view root, std::string_view rel) {
    refuse_link(link, root, rel);
}

}  // namespace

std::string DirGuard::walk(std::string_view root, std::string_view rel, bool create, std::vector<std::string>* created) {
    std::string dir;
    for (std::size_t slash = rel.find('/'); slash != std::string_view::npos; slash = rel.find('/', slash + 1)) {
        if (slash == 0) continue;
        lead(dir, root, rel, slash);
        if (dirs_.contains(dir)) continue;
        if (!create && missing_.contains(dir)) return {};
        // Made before it is looked at: on a network file system a look-up
        // of a name not there yet is a round trip of its own, and mkdir
        // refuses whatever stands at the name (a link included), which is
        // then examined as before.
        if (create && ::mkdir(dir.c_str(), 0777) == 0) {
            made(dir, created);
            continue;
        }
        struct stat st;
        if (::lstat(dir.c_str(), &st) != 0) {
            if (errno == ENOTDIR) return {};
            if (errno != ENOENT) fatal_errno("can not examine", dir.c_str());
            if (!create) {
                missing_.insert(dir);
                return {};
            }
            if (::mkdir(dir.c_str(), 0777) == 0) {
                made(dir, created);
                continue;
            }
            // Someone else may have made it meanwhile: look again.
            if (errno != EEXIST || ::lstat(dir.c_str(), &st) != 0) return {};
        }
        missing_.erase(dir);
        if (S_ISLNK(st.st_mode)) return dir;
        if (!S_ISDIR(st.st_mode)) return {};
        dirs_.insert(dir);
    }
    return {};
}

void DirGuard::made(const std::string& dir, std::vector<std::string>* created) {
    if (created) created->push_back(dir);
    missing_.erase(dir);
    made_.insert(dir);
    dirs_.insert(dir);
}

std::string DirGuard::find_link(std::string_view root, std::string_view rel) { return walk(root, rel, false, nullptr); }

std::string DirGuard::make(std::string_view root, std::string_view rel, std::vector<std::string>* created) {
    return walk(root, rel, true, created);
}

void DirGuard::check_or_die(std::string_view root, std::string_view rel) {
    const std::string link = find_link(root, rel);
    if (!link.empty()) refuse(link, root, rel);
}

void DirGuard::make_or_die(std::string_view root, std::string_view rel, std::vector<std::string>* created) {
    const std::string link = make(root, rel, created);
    if (!link.empty()) refuse(link, root, rel);
}

void DirGuard::unmake(std::string_view root, std::string_view rel) {
    std::string dir;
    for (std::size_t slash = rel.rfind('/'); slash != std::string_view::npos && slash != 0;
         slash = rel.rfind('/', slash - 1)) {
        lead(dir, root, rel, slash);
        // A lead this guard did not make ("a/.." of "a/../b") may still
        // stand in one it made.
        if (!made_.contains(dir)) continue;
        if (!remove_dir(root, rel.substr(0, slash))) return;
        made_.erase(dir);
        dirs_.erase(dir);
    }
}

void DirGuard::forget(std::string_view root, std::string_view rel) {
    const std::lock_guard lock(mu_);
    const std::size_t len = rel.rfind('/');
    if (len == std::string_view::npos || len == 0) return;
    std::string key;
    lead(key, root, rel, len);
    open_.erase(key);
}

bool DirGuard::remove_dir(std::string_view root, std::string_view dir) {
    const std::lock_guard lock(mu_);
    std::string link;
    const DirRef up = parent(root, dir, false, link);
    if (!up) {
        errno = link.empty() ? ENOENT : ELOOP;
        return false;
    }
    std::string key;
    lead(key, root, dir, dir.size());
    // A later file there must not reach the removed directory through a
    // descriptor kept from before.
    open_.erase(key);
    const std::size_t slash = dir.rfind('/');
    const std::string leaf(slash == std::string_view::npos ? dir : dir.substr(slash + 1));
    return ::unlinkat(up->get(), leaf.c_str(), AT_REMOVEDIR) == 0;
}

NameAt::NameAt(const DirRef& dir, const std::string& path) : at(dir ? dir->get() : AT_FDCWD), name(path.c_str()) {
    const std::size_t slash = path.rfind('/');
    if (dir && slash != std::string::npos) name += slash + 1;
}

DirRef open_root(std::string_view root) {
    const std::string path = root.empty() ? std::string(".") : std::string(root);
    const int fd = ::open(path.c_str(), DIR_FLAGS);
    if (fd < 0) {
        const int err = errno;
        fatal_if_out_of_descriptors(err, "can not open", path.c_str());
        errno = err;
        return nullptr;
    }
    return std::make_shared<const Fd>(fd);
}

DirRef DirGuard::root_dir(std::string_view root, bool make) {
    const auto it = roots_.find(std::string(root));
    if (it != roots_.end()) return it->second;
    DirRef d = open_root(root);
    // The root itself, the user's choice, is made by path with its parents
    // (a tree a patch creates, say).
    if (!d && make && errno == ENOENT) {
        make_parents(std::string(root) + "/");
        d = open_root(root);
    }
    // A missing root is looked for again: the job may make it later.
    if (d) roots_.emplace(std::string(root), d);
    return d;
}

DirRef DirGuard::parent(std::string_view root, std::string_view rel, bool make, std::string& link,
                        std::vector<std::string>* created) {
    const std::lock_guard lock(mu_);
    DirRef d = open_parent(root, rel, make, link, created);
    // Missing: the call on the name finds nothing, as it would by path.
    if (!d && !make && link.empty()) d = nowhere();
    return d;
}

DirRef DirGuard::open_parent(std::string_view root, std::string_view rel, bool make, std::string& link,
                             std::vector<std::string>* created) {
    link.clear();
    const std::size_t len = rel.rfind('/');
    if (len == std::string_view::npos || len == 0) return root_dir(root, make);
    std::string key;
    lead(key, root, rel, len);
    if (const auto it = open_.find(key); it != open_.end()) {
        it->second.used = ++clock_;
        return it->second.dir;
    }
    DirRef d;
    if (make) {
        d = step(root, rel, len, true, link, created);
    } else {
        const DirRef top = root_dir(root, false);
        if (!top) return nullptr;
        const std::string dir(rel.substr(0, len));
        const int fd = open_no_links(top->get(), dir.c_str());
        if (fd >= 0) {
            d = std::make_shared<const Fd>(fd);
        } else {
            const int err = errno;
            if (err == ENOENT || err == ENOTDIR) return nullptr;
            if (err != ENOSYS && err != ELOOP) examine_failed(err, key);
            // Which component is the link is found one step at a time.
            d = step(root, rel, len, false, link, created);
        }
    }
    if (d) hold(std::move(key), d);
    return d;
}

DirRef DirGuard::step(std::string_view root, std::string_view rel, std::size_t len, bool make, std::string& link,
                      std::vector<std::string>* created) {
    const DirRef up = open_parent(root, rel.substr(0, len), make, link, created);
    if (!up) return nullptr;
    const std::size_t slash = rel.rfind('/', len - 1);
    const std::size_t from = slash == std::string_view::npos ? 0 : slash + 1;
    if (from == len) return up;  // "a//b": no component between the slashes
    const std::string name(rel.substr(from, len - from));
    std::string dir;
    lead(dir, root, rel, len);
    // Made before it is looked at: on a network file system a look-up of a
    // name not there yet is a round trip of its own, and mkdirat refuses
    // whatever stands at the name (a link included), which the open below
    // then examines.
    if (make && ::mkdirat(up->get(), name.c_str(), 0777) == 0) made(dir, created);
    const int fd = ::openat(up->get(), name.c_str(), DIR_FLAGS | O_NOFOLLOW);
    if (fd >= 0) return std::make_shared<const Fd>(fd);
    const int err = errno;
    struct stat st;
    if (err == ENOENT) return nullptr;
    if (err == ENOTDIR || err == ELOOP) {
        if (::fstatat(up->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) link = dir;
        return nullptr;
    }
    examine_failed(err, dir);
}

void DirGuard::hold(std::string key, const DirRef& d) {
    // Enough directories for a store's whole fan-out, within a sixteenth of
    // the descriptors left; the one used longest ago goes first.
    if (keep_max_ == 0) keep_max_ = std::clamp<std::size_t>(descriptors_free() / 16, 2, 512);
    if (open_.size() >= keep_max_) {
        auto oldest = open_.begin();
        for (auto it = open_.begin(); it != open_.end(); ++it)
            if (it->second.used < oldest->second.used) oldest = it;
        open_.erase(oldest);
    }
    open_[std::move(key)] = Held{d, ++clock_};
}

DirRef DirGuard::parent_or_die(std::string_view root, std::string_view rel, bool make,
                               std::vector<std::string>* created) {
    std::string link;
    DirRef d = parent(root, rel, make, link, created);
    if (!link.empty()) refuse(link, root, rel);
    return d;
}
