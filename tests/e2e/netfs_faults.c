/* Preloaded (LD_PRELOAD) into mdtree, makes the answers GlusterFS's FUSE
 * mount has given for the object $FAULT_OF while other machines stored it,
 * each when its variable is set:
 *
 *   FAULT_RENAME_LIES         its move aside is made, and reported failed
 *                             (ENOENT) once
 *   FAULT_REFRESH_AFTER_MOVE  right after its move aside, the moved file's
 *                             time is made fresh: another machine's -i
 *                             refreshing it through its cached entry
 *   FAULT_PHANTOM             a no-replace rename or a link onto the name
 *                             says it is taken while nothing stands there,
 *                             and statx describes a file at the free name
 *   FAULT_LINK_LIES           renameat2 refuses RENAME_NOREPLACE onto the
 *                             name (EINVAL), and a link onto it is made and
 *                             reported failed (ENOENT) once
 *   FAULT_LINK_FLICKER        as FAULT_LINK_LIES, but the link made is
 *                             reported taken (EEXIST) and removed 300 ms
 *                             later, or when the process ends if sooner,
 *                             as the server undoes it
 *   FAULT_PLANT_LINK          right after its move aside, a symbolic link
 *                             is planted at the name
 *   FAULT_PLANT_FILE          right after its move aside, a regular file
 *                             whose content is not the object's ("planted")
 *                             is written at the name, once
 *   FAULT_KILL_AFTER_MOVE     right after its move aside, the run is ended
 *                             by SIGTERM
 *
 * Each call is hooked in its path form and in its form relative to a
 * directory descriptor (renameat, renameat2, linkat, statx), whose name is
 * resolved through /proc/self/fd, so that a fault fires however the run
 * reaches the name.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <errno.h>
#include <signal.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

static int is_object(const char* path) {
    const char* of = getenv("FAULT_OF");
    return of && path && strcmp(path, of) == 0;
}

/* The path that dirfd and name stand for: name itself when absolute or
 * relative to the working directory, else the descriptor's directory and
 * name. NULL when it can not be told (then no fault matches). */
static const char* resolve(int dirfd, const char* name, char* out) {
    if (!name || name[0] == '/' || dirfd == AT_FDCWD) return name;
    char fdlink[64];
    snprintf(fdlink, sizeof fdlink, "/proc/self/fd/%d", dirfd);
    const ssize_t n = readlink(fdlink, out, PATH_MAX - 1);
    if (n <= 0 || out[0] != '/' || (size_t)n + 1 + strlen(name) + 1 > PATH_MAX) return NULL;
    out[n] = '\0';
    if (n > 1) strcat(out, "/");
    strcat(out, name);
    return out;
}

static int on(const char* fault) { return getenv(fault) != NULL; }

/* What follows a move of from to to that returned rc. */
static int moved(int rc, const char* from, const char* to) {
    static int lied, planted;
    if (rc != 0 || !is_object(from)) return rc;
    if (on("FAULT_REFRESH_AFTER_MOVE") && utimensat(AT_FDCWD, to, NULL, AT_SYMLINK_NOFOLLOW) != 0) abort();
    if (on("FAULT_PLANT_LINK") && symlink("/nonexistent", from) != 0) abort();
    if (on("FAULT_PLANT_FILE") && !planted) {
        int fd = open(from, O_WRONLY | O_CREAT | O_EXCL, 0644);
        planted = 1;
        if (fd < 0 || write(fd, "planted", 7) != 7 || close(fd) != 0) abort();
    }
    if (on("FAULT_KILL_AFTER_MOVE")) raise(SIGTERM);
    if (on("FAULT_RENAME_LIES") && !lied) {
        lied = 1;
        errno = ENOENT;
        return -1;
    }
    return rc;
}

int rename(const char* from, const char* to) {
    int (*real)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    return moved(real(from, to), from, to);
}

int renameat(int fromfd, const char* from, int tofd, const char* to) {
    int (*real)(int, const char*, int, const char*) =
        (int (*)(int, const char*, int, const char*))dlsym(RTLD_NEXT, "renameat");
    char f[PATH_MAX], t[PATH_MAX];
    const char *from_path = resolve(fromfd, from, f), *to_path = resolve(tofd, to, t);
    const int rc = real(fromfd, from, tofd, to);
    return from_path && to_path ? moved(rc, from_path, to_path) : rc;
}

int renameat2(int fromfd, const char* from, int tofd, const char* to, unsigned flags) {
    int (*real)(int, const char*, int, const char*, unsigned) =
        (int (*)(int, const char*, int, const char*, unsigned))dlsym(RTLD_NEXT, "renameat2");
    char t[PATH_MAX];
    if (is_object(resolve(tofd, to, t)) && (flags & RENAME_NOREPLACE)) {
        if (on("FAULT_PHANTOM")) {
            errno = EEXIST;
            return -1;
        }
        if (on("FAULT_LINK_LIES") || on("FAULT_LINK_FLICKER")) {
            errno = EINVAL;
            return -1;
        }
    }
    return real(fromfd, from, tofd, to, flags);
}

static int undo_pending;  /* the flickering link is still to be removed */

static void undo(void) {
    if (__atomic_exchange_n(&undo_pending, 0, __ATOMIC_SEQ_CST)) unlink(getenv("FAULT_OF"));
}

static void* undo_later(void* unused) {
    const struct timespec t = {0, 300000000};
    (void)unused;
    nanosleep(&t, NULL);
    undo();
    return NULL;
}

__attribute__((destructor)) static void undo_at_exit(void) { undo(); }

/* A link onto to, made by make unless a fault answers first. */
static int linked(const char* to, int (*make)(void*), void* call) {
    static int lied;
    if (is_object(to) && on("FAULT_PHANTOM")) {
        errno = EEXIST;
        return -1;
    }
    int rc = make(call);
    if (rc == 0 && is_object(to) && on("FAULT_LINK_LIES") && !lied) {
        lied = 1;
        errno = ENOENT;
        return -1;
    }
    if (rc == 0 && is_object(to) && on("FAULT_LINK_FLICKER") && !lied) {
        pthread_t t;
        lied = 1;
        undo_pending = 1;
        if (pthread_create(&t, NULL, undo_later, NULL) != 0) abort();
        pthread_detach(t);
        errno = EEXIST;
        return -1;
    }
    return rc;
}

struct link_call {
    int fromfd, tofd, flags;
    const char *from, *to;
};

static int real_link(void* p) {
    const struct link_call* c = p;
    int (*real)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "link");
    return real(c->from, c->to);
}

static int real_linkat(void* p) {
    const struct link_call* c = p;
    int (*real)(int, const char*, int, const char*, int) =
        (int (*)(int, const char*, int, const char*, int))dlsym(RTLD_NEXT, "linkat");
    return real(c->fromfd, c->from, c->tofd, c->to, c->flags);
}

int link(const char* from, const char* to) {
    struct link_call c = {AT_FDCWD, AT_FDCWD, 0, from, to};
    return linked(to, real_link, &c);
}

int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) {
    struct link_call c = {fromfd, tofd, flags, from, to};
    char t[PATH_MAX];
    return linked(resolve(tofd, to, t), real_linkat, &c);
}

int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* st) {
    int (*real)(int, const char*, int, unsigned, struct statx*) =
        (int (*)(int, const char*, int, unsigned, struct statx*))dlsym(RTLD_NEXT, "statx");
    int rc = real(dirfd, path, flags, mask, st);
    char p[PATH_MAX];
    if (rc == 0 || errno != ENOENT || !on("FAULT_PHANTOM") || !is_object(resolve(dirfd, path, p))) return rc;
    memset(st, 0, sizeof *st);
    st->stx_mask = STATX_BASIC_STATS;
    st->stx_mode = S_IFREG | 0444;
    st->stx_nlink = 1;
    st->stx_ino = 987654321;
    st->stx_size = 1;
    return 0;
}
