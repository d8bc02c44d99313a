/* Preloaded (LD_PRELOAD) into mdtree, swaps a directory below a run's root
 * for a symbolic link at the worst moment: after the run has looked at it,
 * just before it writes there. Set by the environment:
 *
 *   SWAP_DIR    an absolute directory below the run's root
 *   SWAP_TO     where the link put in its place points (a victim directory
 *               outside the root)
 *   SWAP_AFTER  optional: let this many matching calls pass first
 *
 * A matching call creates, renames onto or away from, links onto or
 * removes a name below SWAP_DIR: open and openat with O_CREAT (and the
 * openat2 system call), creat, mkdir, rename, link, unlink, symlink, rmdir
 * and their *at forms. A name relative to a directory descriptor is
 * resolved through /proc/self/fd, so that calls by path and calls through
 * a descriptor held on the directory both match. At the first one (after
 * SWAP_AFTER), SWAP_DIR is renamed to SWAP_DIR.real and the link put at its
 * name; then the call goes on. Once per process, under a mutex, so that
 * every other thread's matching call waits until the swap is complete.
 * A SWAP_DIR that does not exist yet is left for a later call. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static char swap_dir[PATH_MAX];
static size_t swap_len;
static const char* swap_to;
static long swap_after;
static int swapped; /* read without the lock: set once, never cleared */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

/* Appends path to out (which holds an absolute directory) lexically: "."
 * and empty components dropped, ".." takes one back. 0 when too long. */
static int join(char* out, const char* path) {
    size_t len = strlen(out);
    while (*path) {
        const char* end = strchrnul(path, '/');
        const size_t n = (size_t)(end - path);
        if (n == 2 && path[0] == '.' && path[1] == '.') {
            while (len > 0 && out[len - 1] != '/') --len;
            if (len > 1) --len;
            out[len] = '\0';
        } else if (n > 0 && !(n == 1 && path[0] == '.')) {
            if (len + 1 + n + 1 > PATH_MAX) return 0;
            if (len != 1) out[len++] = '/';
            memcpy(out + len, path, n);
            len += n;
            out[len] = '\0';
        }
        path = *end ? end + 1 : end;
    }
    return 1;
}

/* The absolute path that dirfd and path name, as far as the text tells. */
static int resolve(int dirfd, const char* path, char* out) {
    if (!path) return 0;
    if (path[0] == '/') {
        strcpy(out, "/");
    } else if (dirfd == AT_FDCWD) {
        if (!getcwd(out, PATH_MAX)) return 0;
    } else {
        char fdlink[64];
        snprintf(fdlink, sizeof fdlink, "/proc/self/fd/%d", dirfd);
        const ssize_t n = readlink(fdlink, out, PATH_MAX - 1);
        if (n <= 0 || out[0] != '/') return 0;
        out[n] = '\0';
    }
    return join(out, path);
}

static int below_swap_dir(int dirfd, const char* path) {
    char abs[PATH_MAX];
    if (!swap_len || !resolve(dirfd, path, abs)) return 0;
    return strncmp(abs, swap_dir, swap_len) == 0 && abs[swap_len] == '/' && abs[swap_len + 1] != '\0';
}

__attribute__((constructor)) static void setup(void) {
    const char* dir = getenv("SWAP_DIR");
    swap_to = getenv("SWAP_TO");
    if (!dir || !swap_to || dir[0] != '/') return;
    strcpy(swap_dir, "/");
    if (!join(swap_dir, dir) || strlen(swap_dir) + 6 > PATH_MAX) return;
    swap_len = strlen(swap_dir);
    if (getenv("SWAP_AFTER")) swap_after = atol(getenv("SWAP_AFTER"));
}

/* The swap itself, by system call: nothing here may come back into the
 * hooks below. */
static void swap_now(void) {
    char real[PATH_MAX + 8];
    snprintf(real, sizeof real, "%s.real", swap_dir);
    if (syscall(SYS_renameat, AT_FDCWD, swap_dir, AT_FDCWD, real) != 0) {
        if (errno == ENOENT) return; /* not made yet: a later call */
        fprintf(stderr, "swap_faults: can not rename %s: %s\n", swap_dir, strerror(errno));
        abort();
    }
    if (syscall(SYS_symlinkat, swap_to, AT_FDCWD, swap_dir) != 0) {
        fprintf(stderr, "swap_faults: can not link %s: %s\n", swap_dir, strerror(errno));
        abort();
    }
    __atomic_store_n(&swapped, 1, __ATOMIC_RELEASE);
}

/* Called before each hooked call with the names it changes (path2 may be
 * null). The errno the caller will see is the forwarded call's. */
static void before(int fd1, const char* path1, int fd2, const char* path2) {
    if (__atomic_load_n(&swapped, __ATOMIC_ACQUIRE) || !swap_len) return;
    const int saved = errno;
    if (below_swap_dir(fd1, path1) || (path2 && below_swap_dir(fd2, path2))) {
        pthread_mutex_lock(&lock);
        if (!swapped) {
            if (swap_after > 0)
                --swap_after;
            else
                swap_now();
        }
        pthread_mutex_unlock(&lock);
    }
    errno = saved;
}

#define REAL(name, type)                                                           \
    static __typeof__(type) real_##name;                                                 \
    if (!__atomic_load_n(&real_##name, __ATOMIC_ACQUIRE))                          \
        __atomic_store_n(&real_##name, (type)dlsym(RTLD_NEXT, #name), __ATOMIC_RELEASE)

static int creating(int flags) { return (flags & O_CREAT) != 0; }

/* The mode argument is there only when the flags create a file. */
#define MODE_ARG(flags, mode)                                     \
    do {                                                          \
        if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) { \
            va_list ap;                                           \
            va_start(ap, flags);                                  \
            mode = (mode_t)va_arg(ap, int);                       \
            va_end(ap);                                           \
        }                                                         \
    } while (0)

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);

#define HOOK_OPEN(name)                                 \
    int name(const char* path, int flags, ...) {        \
        mode_t mode = 0;                                \
        MODE_ARG(flags, mode);                          \
        REAL(name, open_fn);                            \
        if (creating(flags)) before(AT_FDCWD, path, 0, NULL); \
        return real_##name(path, flags, mode);          \
    }
HOOK_OPEN(open)
HOOK_OPEN(open64)

#define HOOK_OPENAT(name)                                      \
    int name(int dirfd, const char* path, int flags, ...) {    \
        mode_t mode = 0;                                       \
        MODE_ARG(flags, mode);                                 \
        REAL(name, openat_fn);                                 \
        if (creating(flags)) before(dirfd, path, 0, NULL);     \
        return real_##name(dirfd, path, flags, mode);          \
    }
HOOK_OPENAT(openat)
HOOK_OPENAT(openat64)

/* The fortified entry points: no mode, so they never create. */
#define HOOK_OPEN_2(name)                              \
    int name(const char* path, int flags) {            \
        REAL(name, int (*)(const char*, int));         \
        if (creating(flags)) before(AT_FDCWD, path, 0, NULL); \
        return real_##name(path, flags);               \
    }
HOOK_OPEN_2(__open_2)
HOOK_OPEN_2(__open64_2)

#define HOOK_OPENAT_2(name)                                 \
    int name(int dirfd, const char* path, int flags) {      \
        REAL(name, int (*)(int, const char*, int));         \
        if (creating(flags)) before(dirfd, path, 0, NULL);  \
        return real_##name(dirfd, path, flags);             \
    }
HOOK_OPENAT_2(__openat_2)
HOOK_OPENAT_2(__openat64_2)

#define HOOK_CREAT(name)                         \
    int name(const char* path, mode_t mode) {    \
        REAL(name, int (*)(const char*, mode_t)); \
        before(AT_FDCWD, path, 0, NULL);         \
        return real_##name(path, mode);          \
    }
HOOK_CREAT(creat)
HOOK_CREAT(creat64)
HOOK_CREAT(mkdir)

int mkdirat(int dirfd, const char* path, mode_t mode) {
    REAL(mkdirat, int (*)(int, const char*, mode_t));
    before(dirfd, path, 0, NULL);
    return real_mkdirat(dirfd, path, mode);
}

int rename(const char* from, const char* to) {
    REAL(rename, int (*)(const char*, const char*));
    before(AT_FDCWD, from, AT_FDCWD, to);
    return real_rename(from, to);
}

int renameat(int fromfd, const char* from, int tofd, const char* to) {
    REAL(renameat, int (*)(int, const char*, int, const char*));
    before(fromfd, from, tofd, to);
    return real_renameat(fromfd, from, tofd, to);
}

int renameat2(int fromfd, const char* from, int tofd, const char* to, unsigned flags) {
    REAL(renameat2, int (*)(int, const char*, int, const char*, unsigned));
    before(fromfd, from, tofd, to);
    return real_renameat2(fromfd, from, tofd, to, flags);
}

int link(const char* from, const char* to) {
    REAL(link, int (*)(const char*, const char*));
    before(AT_FDCWD, to, 0, NULL);
    return real_link(from, to);
}

int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) {
    REAL(linkat, int (*)(int, const char*, int, const char*, int));
    before(tofd, to, 0, NULL);
    return real_linkat(fromfd, from, tofd, to, flags);
}

int symlink(const char* target, const char* path) {
    REAL(symlink, int (*)(const char*, const char*));
    before(AT_FDCWD, path, 0, NULL);
    return real_symlink(target, path);
}

int symlinkat(const char* target, int dirfd, const char* path) {
    REAL(symlinkat, int (*)(const char*, int, const char*));
    before(dirfd, path, 0, NULL);
    return real_symlinkat(target, dirfd, path);
}

#define HOOK_REMOVE(name)                      \
    int name(const char* path) {               \
        REAL(name, int (*)(const char*));      \
        before(AT_FDCWD, path, 0, NULL);       \
        return real_##name(path);              \
    }
HOOK_REMOVE(unlink)
HOOK_REMOVE(rmdir)

int unlinkat(int dirfd, const char* path, int flags) {
    REAL(unlinkat, int (*)(int, const char*, int));
    before(dirfd, path, 0, NULL);
    return real_unlinkat(dirfd, path, flags);
}

/* glibc has no wrapper for openat2: a caller reaches it through syscall(). */
long syscall(long number, ...) {
    va_list ap;
    long a[6];
    va_start(ap, number);
    for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
    va_end(ap);
    REAL(syscall, long (*)(long, ...));
#ifdef SYS_openat2
    /* struct open_how begins with its 64-bit flags. */
    if (number == SYS_openat2 && a[2] && creating((int)*(const unsigned long long*)a[2]))
        before((int)a[0], (const char*)a[1], 0, NULL);
#endif
    return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
