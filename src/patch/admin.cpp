#include "patch/admin.h"

#include "util/fatal.h"
#include "util/fileio.h"
#include "util/paths.h"
#include "util/tempfile.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

bool admin_temp_path(const char* path, std::string& out) {
    const std::size_t n = std::strlen(path);
    if (n + 5 > PATH_MAXLEN) return false;  // the lock file's ".lock"
    out.assign(path, n);
    out += ".tmp";
    return true;
}

namespace {

void put_line(TempFile& tmp, std::string_view a, std::string_view b = {}) {
    const char* name = tmp.temp_path().c_str();
    write_all(tmp.get(), a.data(), a.size(), name);
    write_all(tmp.get(), b.data(), b.size(), name);
    write_all(tmp.get(), "\n", 1, name);
}

// Copies the old file's lines into tmp, each cut at its first control
// character, leaving out the record of the patch called name. Memory stays
// bounded whatever the lines' lengths: only the head of a line is held,
// enough to tell a "patch: " line for name (names are shorter than a
// manifest line); the rest of a longer line streams through. Returns
// whether the text copied ends in an empty line (or is empty), or nothing
// when the read failed with ESTALE.
std::optional<bool> carry_over(std::FILE* in, const char* path, TempFile& tmp, const std::string& name) {
    constexpr std::size_t HEAD_MAX = 2 * PATH_BUF;
    const char* out_name = tmp.temp_path().c_str();
    std::FILE* out = tmp.get();
    std::string head;
    bool skip = false;
    bool ends_blank = true;
    bool cut = false;   // a control character ended the line's text
    bool spill = false; // the line outgrew the head and is being streamed
    bool any = false;
    for (;;) {
        const int c = getc_unlocked(in);
        if (c == EOF && std::ferror(in)) {
            if (errno == ESTALE) return std::nullopt;
            fatal_errno("read error on", path);
        }
        if (c == EOF && !any) break;
        if (c == EOF || c == '\n') {
            if (spill) {
                if (!skip) write_all(out, "\n", 1, out_name);
                ends_blank = false;
            } else {
                if (head.starts_with("patch: ")) skip = std::string_view(head).substr(7) == name;
                if (!skip) {
                    put_line(tmp, head);
                    ends_blank = head.empty();
                }
            }
            head.clear();
            cut = spill = any = false;
            if (c == EOF) break;
            continue;
        }
        any = true;
        if (cut) continue;
        if (c < 32) {
            cut = true;
            continue;
        }
        if (!spill && head.size() < HEAD_MAX) {
            head.push_back(char(c));
            continue;
        }
        if (!spill) {
            // Too long to be this patch's "patch: " line; any other
            // "patch: " line starts another record, which is kept.
            spill = true;
            if (head.starts_with("patch: ")) skip = false;
            if (!skip) write_all(out, head.data(), head.size(), out_name);
        }
        if (!skip && putc_unlocked(c, out) == EOF) fatal_errno("write error on", out_name);
    }
    return ends_blank;
}

// Serialises the updates of one administration file. The lock is taken on
// a file beside it that no update renames: a lock on the administration
// file itself would stay with the file the rename replaces, and two runs
// would each hold one. flock is released by the kernel however the process
// ends, so a killed run never leaves the file locked.
Fd lock_admin(const std::string& lock_path) {
    make_parents(lock_path);
    // Without blocking and through no link: a FIFO or a link planted there
    // is refused, never opened as the lock.
    Fd fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (fd.get() < 0) fatal_errno("can not open the lock file", lock_path.c_str());
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        fatal(1, "lock file %s is not a regular file; administration file left unchanged", lock_path.c_str());
    while (::flock(fd.get(), LOCK_EX) != 0)
        if (errno != EINTR) fatal_errno("can not lock", lock_path.c_str());
    return fd;
}

// The administration file as it stands now, for reading; empty when it is
// missing. Nothing when opening it says ESTALE.
std::optional<File> open_admin(const char* path) {
    // Only a missing file may be started afresh: one that can not be read
    // would lose its records. Opened without blocking: a FIFO put there
    // after the check at start must not hang the run.
    File old;
    Fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() >= 0) {
        struct stat st;
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            fatal(1, "administration file %s is not a regular file; left unchanged", path);
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
        std::FILE* fp = ::fdopen(fd.get(), "r");
        if (!fp) fatal_errno("can not open a stream on", path);
        old = File(fp, path);
        fd.release();
    } else if (errno == ESTALE) {
        return std::nullopt;
    } else if (errno != ENOENT) {
        fatal(1, "can not read the administration file %s: %s; left unchanged", path, std::strerror(errno));
    }
    return old;
}

// Tries of the update while the file read says ESTALE.
constexpr int STALE_TRIES = 5;

}  // namespace

void update_admin(const char* path, const std::string& name, const std::vector<std::string>& lines, std::time_t now) {
    std::string tmp_path;
    if (!admin_temp_path(path, tmp_path)) fatal(1, "path too long: %s.tmp", path);
    const Fd lock = lock_admin(std::string(path) + ".lock");
    // On a network file system a handle opened on another machine's old
    // file before it renamed the update onto the name reads as ESTALE: the
    // file is opened anew, under the lock, and read from its start.
    for (int attempt = 1;; ++attempt) {
        std::optional<File> old = open_admin(path);
        // The fixed temporary name is part of the file's format; a leftover
        // of a killed run, or a link planted under it, is replaced.
        TempFile tmp(path, tmp_path);
        if (old && *old) {
            // The empty line that separates records is written only where
            // the kept text does not already end in one (or is empty):
            // otherwise every re-run of the last patch would add one more
            // blank line.
            const std::optional<bool> ends_blank = carry_over(old->get(), path, tmp, name);
            if (!ends_blank) old.reset();
            if (old) {
                old->close();
                if (!*ends_blank) put_line(tmp, "");
            }
        }
        if (!old) {
            if (attempt < STALE_TRIES) continue;
            fatal(1, "can not read the administration file %s: %s; left unchanged", path, std::strerror(ESTALE));
        }
        if (!lines.empty()) {
            char date[64];
            if (!::ctime_r(&now, date)) fatal(1, "can not render the date for %s", path);
            put_line(tmp, "patch: ", name);
            // ctime's text ends in its own line feed.
            write_all(tmp.get(), "date: ", 6, tmp_path.c_str());
            write_all(tmp.get(), date, std::strlen(date), tmp_path.c_str());
            for (const std::string& l : lines) put_line(tmp, l);
        }
        tmp.commit();
        return;
    }
}
