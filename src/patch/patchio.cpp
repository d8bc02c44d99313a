#include "patch/patchio.h"

#include "util/fatal.h"
#include "util/fileio.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void DirGuard::check(const std::string& root, std::string_view rel) { walk(root, rel, nullptr); }

void DirGuard::make(const std::string& root, std::string_view rel, std::vector<std::string>& created) {
    walk(root, rel, &created);
}

void DirGuard::walk(const std::string& root, std::string_view rel, std::vector<std::string>* created) {
    std::string dir = root;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = rel.find('/', start);
        if (slash == std::string_view::npos) return;
        dir.resize(root.size());
        dir += '/';
        dir.append(rel.substr(0, slash));
        start = slash + 1;
        if (dirs_.contains(dir)) continue;
        struct stat st;
        if (::lstat(dir.c_str(), &st) != 0) {
            if (errno == ENOTDIR) return;
            if (errno != ENOENT) fatal_errno("can not examine", dir.c_str());
            if (!created) return;
            if (::mkdir(dir.c_str(), 0777) != 0) {
                // Someone else may have made it meanwhile: look again.
                if (errno != EEXIST || ::lstat(dir.c_str(), &st) != 0) return;
            } else {
                created->push_back(dir);
                dirs_.insert(dir);
                continue;
            }
        }
        if (S_ISLNK(st.st_mode))
            fatal(1, "%s is a symbolic link; refusing to follow it to %s/%.*s", dir.c_str(), root.c_str(),
                  int(rel.size()), rel.data());
        if (!S_ISDIR(st.st_mode)) return;
        dirs_.insert(dir);
    }
}

MadeDirs::~MadeDirs() {
    for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it) {
        ::rmdir(it->c_str());
        guard_.forget(*it);
    }
}

std::FILE* open_nofollow(const char* path, int line) {
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        if (std::FILE* fp = ::fdopen(fd, "rb")) return fp;
        ::close(fd);
    }
    fatal_open(path, "rb", line);
}

