// The directory walk: yields every regular file below a directory, depth
// first, in the order the directories return their entries. Each directory
// is opened and read through its parent's descriptor, and each entry opens
// by its bare name in its directory's descriptor: nothing depends on the
// working directory, so workers and a second walk can run beside it. A
// finished walk leaves the process in the root's parent, as the command
// line's rule for later relative paths expects.
//
// A walk holds a bounded number of descriptors, whatever the depth: the
// root and the deepest levels. A level closed to make room first reads the
// entries it has still to give; when the walk comes back to it, it opens
// again by its path from the root and must be the same directory as before
// (device and inode), so a directory swapped for a link or moved meanwhile
// is never followed.

#include "stream/stream.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/limits.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

// The relative path of level t, for messages: the root by its own name.
std::string shown_level(const Stream* s, const dirnode* t) {
    return t->prefix ? std::string(s->name, std::size_t(t->prefix)) : s->source;
}

// The next entry the system gives for level t, null at its end; a read
// error ends the run.
const dirent* read_entry(Stream* s, dirnode* t) {
    errno = 0;
    const dirent* e = ::readdir(t->dir);
    if (!e && errno != 0) fatal_errno("can not read directory", shown_level(s, t).c_str());
    return e;
}

void close_level(Stream* s, dirnode* t) {
    if (t->dir) {
        ::closedir(t->dir);
    } else if (t->fd >= 0) {
        ::close(t->fd);
    }
    if (t->dir || t->fd >= 0) --s->open_dirs;
    t->dir = nullptr;
    t->fd = -1;
}

// Closes level v to make room: what it still had to give is read first,
// and what it is noted, so that it opens again only as itself.
void shelve(Stream* s, dirnode* v) {
    struct stat st;
    if (::fstat(v->fd, &st) != 0) fatal_errno("can not examine directory", shown_level(s, v).c_str());
    v->dev = st.st_dev;
    v->ino = st.st_ino;
    if (v->dir) {
        std::vector<std::pair<std::string, unsigned char>> rest;
        while (const dirent* e = read_entry(s, v)) rest.emplace_back(e->d_name, e->d_type);
        v->rest = std::move(rest);
        v->pos = 0;
    }
    close_level(s, v);
}

// Below the limit again before one more level opens: the shallowest open
// level goes, but never the root (the walk ends there) nor top (the new
// level opens in it).
void make_room(Stream* s, dirnode* top) {
    while (s->open_dirs >= s->max_dirs) {
        dirnode* victim = nullptr;
        for (dirnode* v = top->next; v && v->next; v = v->next)
            if (v->fd >= 0) victim = v;
        if (!victim) return;
        shelve(s, victim);
    }
}

// Opens level t again by its path from the nearest open level above it.
void reopen(Stream* s, dirnode* t) {
    dirnode* a = t->next;
    while (a->fd < 0) a = a->next;
    // Without the trailing '/', which would make the last link followed.
    const std::string rel(s->name + a->prefix, std::size_t(t->prefix - a->prefix - 1));
    const std::string shown = shown_level(s, t);
    make_room(s, a);
    Fd fd(open_at(a->fd, rel.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) fatal_errno("can not open directory", shown.c_str());
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || st.st_dev != t->dev || st.st_ino != t->ino)
        fatal(1, "directory %s was replaced during the walk; not followed", shown.c_str());
    t->fd = fd.release();
    ++s->open_dirs;
}

// The next entry of level t: its name (valid until the next call) and
// d_type; null at the end of the directory.
const char* next_entry(Stream* s, dirnode* t, unsigned char& type) {
    if (!t->dir) {
        if (t->pos == t->rest.size()) return nullptr;
        const auto& e = t->rest[t->pos++];
        type = e.second;
        return e.first.c_str();
    }
    const dirent* e = read_entry(s, t);
    if (!e) return nullptr;
    type = e->d_type;
    return e->d_name;
}

// Leaves level t, the top, for the one above it; false when t was the root.
bool leave(Stream* s, dirnode* t) {
    // Back to the enclosing directory's handle, so a directory moved during
    // the walk can not lead elsewhere; the finished root leaves the process
    // in its parent.
    dirnode* up = t->next;
    const int rc = up ? 0 : (::fchdir(t->fd) == 0 ? ::chdir("..") : -1);
    close_level(s, t);
    t->rest.clear();
    t->rest.shrink_to_fit();
    s->dirs = up;
    t->next = s->freedirs;
    s->freedirs = t;
    if (rc != 0) fatal_errno("can not return to the parent directory of", s->source.c_str());
    return up != nullptr;
}

Stream* nextstream_dir(Stream* s) {
    for (;;) {
        dirnode* t = s->dirs;
        if (t->fd < 0) reopen(s, t);
        unsigned char type = DT_UNKNOWN;
        const char* n = next_entry(s, t, type);
        if (!n) {
            if (!leave(s, t)) return nullptr;
            continue;
        }
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;

        // d_type saves a status query per entry; fall back to lstat when the
        // file system does not fill it in.
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(t->fd, n, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
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
        make_room(s, t);
        // O_NOFOLLOW: a directory swapped for a symbolic link after it was
        // read is not followed out of the tree.
        const int fd = open_at(t->fd, n, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR* d = enter(fd, s->name);
        dirnode* node = take_node(s);
        node->next = t;
        node->prefix = int(t->prefix + len + 1);
        node->dir = d;
        node->fd = ::dirfd(d);
        node->pos = 0;
        s->dirs = node;
        ++s->open_dirs;
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
        close_level(s, n);
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
    const int fd = open_at(s->dirs->fd, s->curfile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) fatal_open(s->curfile, "rb", __LINE__);
    return fd;
}

bool stat_entry(Stream* s, struct stat& st) {
    return s->kind == StreamKind::walk && ::fstatat(s->dirs->fd, s->curfile, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

Stream* openstream_dir(const char* path) {
    StreamPtr s = new_stream(StreamKind::walk, path, nextstream_dir, closestream_dir, md5stream_dir);
    // Room for the deepest levels of two walks at once (a patch compares
    // two trees) beside the work in flight, within what the process has.
    s->max_dirs = int(std::clamp<std::size_t>(descriptors_free() / 8, 3, 16));
    DIR* d = enter(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC), path);
    s->dirs = new dirnode{};
    s->dirs->dir = d;
    s->dirs->fd = ::dirfd(d);
    s->open_dirs = 1;
    return s.release();
}
