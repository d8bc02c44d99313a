#include "util/guard.h"

#include "util/fatal.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
        if (::rmdir(dir.c_str()) != 0) return;
        made_.erase(dir);
        dirs_.erase(dir);
    }
}
