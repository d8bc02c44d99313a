// The directory walk: yields every regular file below a directory, depth
// first, in the order the directories return their entries. Each directory
// is opened and read through its parent's descriptor, and each entry opens
// by its bare name in its directory's descriptor: nothing depends on the
// working directory, so workers and a second walk can run beside it. A
// finished walk leaves the process in the root's parent, as the command
// line's rule for later relative paths expects.

#include "stream/stream.h"
#include "util/fatal.h"
#include "util/fileio.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

Stream* nextstream_dir(Stream* s);
void closestream_dir(Stream* s);
void md5stream_dir(Stream* s, char* out);

// Returns a handle on the directory open on fd, which the handle owns from
// then on. A directory that cannot be opened or read ends the run: skipping
// it would make a listing, and so a patch, wrong.
DIR* enter(int fd, const char* shown) {
    if (fd < 0) fatal_errno("can not open directory", shown);
    DIR* d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        fatal_errno("can not read directory", shown);
    }
    return d;
}

dirnode* take_node(Stream* s) {
    if (dirnode* n = s->freedirs) {
        s->freedirs = n->next;
        return n;
    }
    return new dirnode{};
}

Stream* nextstream_dir(Stream* s) {
    for (;;) {
        dirnode* t = s->dirs;
        errno = 0;
        const dirent* e = ::readdir(t->dir);
        if (!e) {
            if (errno != 0) {
                s->name[t->prefix] = '\0';
                fatal_errno("can not read directory", t->prefix ? s->name : s->source.c_str());
            }
            // Back to the enclosing directory's handle, so a directory moved
            // during the walk can not lead elsewhere; the finished root
            // leaves the process in its parent.
            dirnode* up = t->next;
            const int rc = up ? 0 : (::fchdir(::dirfd(t->dir)) == 0 ? ::chdir("..") : -1);
            ::closedir(t->dir);
            t->dir = nullptr;
            s->dirs = up;
            t->next = s->freedirs;
            s->freedirs = t;
            if (rc != 0) fatal_errno("can not return to the parent directory of", s->source.c_str());
            if (!up) return nullptr;
            continue;
        }
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;

        // d_type saves a status query per entry; fall back to lstat when the
        // file system does not fill it in.
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(::dirfd(t->dir), n, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_LNK;
        }
        if (type != DT_REG && type != DT_DIR) continue;

        const std::size_t len = std::strlen(n);
        const std::size_t need = t->prefix + len + (type == DT_DIR ? 1 : 0);
        if (need > PATH_MAXLEN) {
            s->name[t->prefix] = '\0';
            fatal(1, "relative path longer than %zu bytes below %s: %s%s", PATH_MAXLEN, s->source.c_str(),
                  s->name, n);
        }
        std::memcpy(s->name + t->prefix, n, len + 1);
        if (type == DT_REG) {
            s->curfile = s->name + t->prefix;
            return s;
        }
        s->name[t->prefix + len] = '/';
        s->name[t->prefix + len + 1] = '\0';
        // O_NOFOLLOW: a directory swapped for a symbolic link after it was
        // read is not followed out of the tree.
        const int fd = ::openat(::dirfd(t->dir), n, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR* d = enter(fd, s->name);
        dirnode* node = take_node(s);
        node->next = t;
        node->prefix = int(t->prefix + len + 1);
        node->dir = d;
        s->dirs = node;
    }
}

void md5stream_dir(Stream* s, char* out) {
    // Read straight into the digest's buffer: a walk hashes many small
    // files, and a stdio stream would cost a status query and a buffer each.
    Fd f(open_entry_fd(s));
    hash_fd(f.get(), s->name, out);
}

void closestream_dir(Stream* s) {
    while (dirnode* n = s->dirs) {
        s->dirs = n->next;
        if (n->dir) ::closedir(n->dir);
        delete n;
    }
    while (dirnode* n = s->freedirs) {
        s->freedirs = n->next;
        delete n;
    }
    delete s;
}

} // namespace

int open_entry_fd(Stream* s) {
    if (s->kind != StreamKind::walk) return FOPENG_fd(s->curfile, __LINE__);
    for (;;) {
        const int fd = ::openat(::dirfd(s->dirs->dir), s->curfile, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno != EINTR) break;
    }
    fatal_open(s->curfile, "rb", __LINE__);
}

Stream* openstream_dir(const char* path) {
    auto s = std::make_unique<Stream>();
    s->kind = StreamKind::walk;
    s->source = path;
    s->nextfn = nextstream_dir;
    s->closefn = closestream_dir;
    s->md5fn = md5stream_dir;
    DIR* d = enter(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC), path);
    s->dirs = new dirnode{nullptr, 0, d};
    return s.release();
}
