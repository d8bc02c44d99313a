#include "util/guard.h"

#include "util/fatal.h"

#include <atomic>
#include <cerrno>
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

[[noreturn]] void refuse(const std::string& link, std::string_view root, std::string_view rel) {
    fatal(1, "%s is a symbolic link; refusing to follow it to %.*s%s%.*s", link.c_str(), int(root.size()), root.data(),
          root.empty() ? "" : "/", int(rel.size()), rel.data());
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

bool DirGuard::remove_dir(std::string_view root, std::string_view dir) {
    std::string link;
    const DirRef up = parent(root, dir, false, link);
    if (!up) return false;
    std::string key;
    lead(key, root, dir, dir.size());
    // A later file there must not reach the removed directory through a
    // descriptor kept from before.
    open_.erase(key);
    if (last_key_ == key) {
        last_.reset();
        last_key_.clear();
    }
    const std::size_t slash = dir.rfind('/');
    const std::string leaf(slash == std::string_view::npos ? dir : dir.substr(slash + 1));
    return ::unlinkat(up->get(), leaf.c_str(), AT_REMOVEDIR) == 0;
}

DirRef open_root(std::string_view root) {
    const std::string path = root.empty() ? std::string(".") : std::string(root);
    const int fd = ::open(path.c_str(), DIR_FLAGS);
    if (fd < 0) {
        fatal_if_out_of_descriptors(errno, "can not open", path.c_str());
        return nullptr;
    }
    return std::make_shared<const Fd>(fd);
}

DirRef DirGuard::root_dir(std::string_view root) {
    const auto it = roots_.find(std::string(root));
    if (it != roots_.end()) return it->second;
    DirRef d = open_root(root);
    // A missing root is looked for again: the job may make it later.
    if (d) roots_.emplace(std::string(root), d);
    return d;
}

DirRef DirGuard::parent(std::string_view root, std::string_view rel, bool make, std::string& link,
                        std::vector<std::string>* created) {
    link.clear();
    const std::size_t len = rel.rfind('/');
    if (len == std::string_view::npos || len == 0) return root_dir(root);
    std::string key;
    lead(key, root, rel, len);
    if (last_ && key == last_key_) return last_;
    if (const auto it = open_.find(key); it != open_.end()) {
        if (DirRef held = it->second.lock()) {
            last_ = held;
            last_key_ = key;
            return held;
        }
    }
    const DirRef top = root_dir(root);
    if (!top) return nullptr;
    const std::string dir(rel.substr(0, len));
    Fd fd(open_no_links(top->get(), dir.c_str()));
    if (fd.get() < 0) {
        const int err = errno;
        if (err == ENOTDIR) return nullptr;
        if (err != ENOSYS && err != ELOOP && err != ENOENT) {
            fatal_if_out_of_descriptors(err, "can not open", key.c_str());
            errno = err;
            fatal_errno("can not examine", key.c_str());
        }
        // Which component is the link, or which ones are missing, is
        // found one step at a time.
        fd = open_stepwise(top->get(), root, rel, len, make, link, created);
        if (fd.get() < 0) return nullptr;
    }
    DirRef d = std::make_shared<const Fd>(std::move(fd));
    // Directories no file holds any more are dropped now and then.
    if (open_.size() >= 1024) std::erase_if(open_, [](const auto& e) { return e.second.expired(); });
    open_[key] = d;
    last_ = d;
    last_key_ = std::move(key);
    return d;
}

Fd DirGuard::open_stepwise(int rootfd, std::string_view root, std::string_view rel, std::size_t len, bool make,
                           std::string& link, std::vector<std::string>* created) {
    Fd cur;
    int at = rootfd;
    std::string dir;
    for (std::size_t start = 0; start < len;) {
        std::size_t slash = rel.find('/', start);
        if (slash == std::string_view::npos || slash > len) slash = len;
        if (slash == start) {
            ++start;
            continue;
        }
        const std::string name(rel.substr(start, slash - start));
        lead(dir, root, rel, slash);
        int fd = ::openat(at, name.c_str(), DIR_FLAGS | O_NOFOLLOW);
        if (fd < 0 && errno == ENOENT && make) {
            if (::mkdirat(at, name.c_str(), 0777) == 0)
                made(dir, created);
            else if (errno != EEXIST)
                return Fd();
            fd = ::openat(at, name.c_str(), DIR_FLAGS | O_NOFOLLOW);
        }
        if (fd < 0) {
            const int err = errno;
            struct stat st;
            if (err == ENOENT) return Fd();
            if ((err == ENOTDIR || err == ELOOP) && ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                if (S_ISLNK(st.st_mode)) link = dir;
                return Fd();
            }
            fatal_if_out_of_descriptors(err, "can not open", dir.c_str());
            errno = err;
            fatal_errno("can not examine", dir.c_str());
        }
        cur = Fd(fd);
        at = fd;
        start = slash + 1;
    }
    return cur;
}

DirRef DirGuard::parent_or_die(std::string_view root, std::string_view rel, bool make,
                               std::vector<std::string>* created) {
    std::string link;
    DirRef d = parent(root, rel, make, link, created);
    if (!link.empty()) refuse(link, root, rel);
    return d;
}
