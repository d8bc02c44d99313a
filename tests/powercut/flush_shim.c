/* The power-cut test's control (run.py --flush-shim): preloaded into a tool
 * that does not flush, it flushes each file before the rename that
 * publishes it and the target's file system at exit, the plainest way to
 * keep the promise. A run of the test with it must pass: that shows the
 * test fails a tool for what it leaves on the disk, not for its own
 * method. One flush per file: slow, and never how the tool should do it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int target_dir = -1;

static void flush_file(int dirfd, const char *path) {
    int fd = openat(dirfd, path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        fdatasync(fd);
        close(fd);
    }
}

/* The directory of the last name published: its file system is flushed at
 * exit. */
static void remember(int dirfd, const char *path) {
    char buf[4096];
    snprintf(buf, sizeof buf, "%s", path);
    int fd = openat(dirfd, dirname(buf), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    int old = __atomic_exchange_n(&target_dir, fd, __ATOMIC_SEQ_CST);
    if (old >= 0) close(old);
}

int renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned int flags) {
    static int (*real)(int, const char *, int, const char *, unsigned int);
    if (!real) real = dlsym(RTLD_NEXT, "renameat2");
    flush_file(olddirfd, oldpath);
    int r = real(olddirfd, oldpath, newdirfd, newpath, flags);
    if (r == 0) remember(newdirfd, newpath);
    return r;
}

int renameat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath) {
    return renameat2(olddirfd, oldpath, newdirfd, newpath, 0);
}

int rename(const char *oldpath, const char *newpath) {
    return renameat2(AT_FDCWD, oldpath, AT_FDCWD, newpath, 0);
}

__attribute__((destructor)) static void flush_at_exit(void) {
    if (target_dir >= 0) syncfs(target_dir);
}
