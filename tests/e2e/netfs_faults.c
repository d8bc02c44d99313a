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
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <errno.h>
#include <signal.h>
#include <fcntl.h>
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

static int on(const char* fault) { return getenv(fault) != NULL; }

int rename(const char* from, const char* to) {
    static int lied, planted;
    int (*real)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    int rc = real(from, to);
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

int renameat2(int fromfd, const char* from, int tofd, const char* to, unsigned flags) {
    int (*real)(int, const char*, int, const char*, unsigned) =
        (int (*)(int, const char*, int, const char*, unsigned))dlsym(RTLD_NEXT, "renameat2");
    if (is_object(to) && (flags & RENAME_NOREPLACE)) {
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

int link(const char* from, const char* to) {
    static int lied;
    int (*real)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "link");
    if (is_object(to) && on("FAULT_PHANTOM")) {
        errno = EEXIST;
        return -1;
    }
    int rc = real(from, to);
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

int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* st) {
    int (*real)(int, const char*, int, unsigned, struct statx*) =
        (int (*)(int, const char*, int, unsigned, struct statx*))dlsym(RTLD_NEXT, "statx");
    int rc = real(dirfd, path, flags, mask, st);
    if (rc == 0 || errno != ENOENT || !is_object(path) || !on("FAULT_PHANTOM")) return rc;
    memset(st, 0, sizeof *st);
    st->stx_mask = STATX_BASIC_STATS;
    st->stx_mode = S_IFREG | 0444;
    st->stx_nlink = 1;
    st->stx_ino = 987654321;
    st->stx_size = 1;
    return 0;
}
