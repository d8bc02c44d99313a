#include "util/tempfile.h"

#include "util/cleanup.h"
#include "util/durable.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/lease.h"
#include "util/paths.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace {

// The directory (with its slash) where the temporary file of final goes:
// its own, or the nearest above it where the temporary path fits the limit
// (a final name shorter than the temporary one could otherwise be written,
// but never published).
std::string temp_dir(const std::string& final) {
    std::size_t slash = final.rfind('/');
    while (slash != std::string::npos && slash + 1 + TEMP_NAME_LEN > PATH_MAXLEN)
        slash = slash == 0 ? std::string::npos : final.rfind('/', slash - 1);
    return slash == std::string::npos ? std::string() : final.substr(0, slash + 1);
}

}  // namespace

double monotonic_seconds() {
    struct timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

TempFile::TempFile(std::string final_path) : final_(std::move(final_path)) {
    open_unique(temp_dir(final_), true);
}

TempFile::TempFile(std::string final_path, In temp_dir) : final_(std::move(final_path)) {
    open_unique(temp_dir.dir + "/", false);
}

TempFile::TempFile(std::string final_path, DirRef dir)
    : final_(std::move(final_path)), dir_(std::move(dir)), final_dir_(dir_) {
    // Beside the final name whatever its length: a name relative to the
    // directory's descriptor is short. Without one (a file in the way, a
    // directory that could not be made) the creation by path reports it;
    // nothing is made by path.
    const std::size_t slash = final_.rfind('/');
    if (!dir_)
        open_unique(temp_dir(final_), false);
    else
        open_unique(slash == std::string::npos ? std::string() : final_.substr(0, slash + 1), false);
}

TempFile::TempFile(std::string final_path, In temp_dir, DirRef dir)
    : final_(std::move(final_path)), dir_(std::move(dir)) {
    open_unique(temp_dir.dir + "/", false);
}

const char* TempFile::final_name_at() const {
    if (!final_dir_) return final_.c_str();
    const std::size_t slash = final_.rfind('/');
    return final_.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

void TempFile::open_unique(const std::string& dir, bool make_dirs) {
    // The temporary name is short and hidden, so that it fits beside any
    // final name and stands out as ours if a killed run leaves it behind.
    // Directories made by another machine at the same moment may take a
    // network file system's client a little while to see: a few attempts.
    constexpr int ATTEMPTS = 4;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (attempt > 1) ::usleep(useconds_t(20000 * attempt));
        for (int tries = 0; tries < 100; ++tries) {
            temp_ = temp_name(dir);
            temp_leaf_ = dir_ ? dir.size() : 0;
            // The slot is claimed before the file exists, so no moment
            // passes in which an interrupted run would leave it behind.
            slot_ = claim_slot(temp_, dir_ ? dir_->get() : -1, temp_leaf_);
            fd_ = ::openat(temp_at(), temp_name_at(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            slot_opened(slot_, fd_);
            if (fd_ >= 0) {
                find_fs(dir);
                return;
            }
            const int err = errno;
            release_slot(slot_);
            if (err == EMFILE || err == ENFILE) {
                temp_.clear();
                errno = err;
                fatal_errno("can not create a temporary file for", final_.c_str());
            }
            if (err != EEXIST) break;
        }
        if (!make_dirs || dir_) break;
        make_parents(final_);
    }
    temp_.clear();
    fatal_fixed(1, "can not read %s\n", final_.c_str());
}

TempFile::TempFile(std::string final_path, std::string fixed_temp)
    : final_(std::move(final_path)), temp_(std::move(fixed_temp)) {
    ::unlink(temp_.c_str());
    slot_ = claim_slot(temp_);
    for (int attempt = 0; attempt < 2 && fd_ < 0; ++attempt) {
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        slot_opened(slot_, fd_);
        if (fd_ >= 0 || errno != ENOENT) break;
        make_parents(temp_);
    }
    if (fd_ < 0) {
        // Only a file this run created may be removed again.
        const int err = errno;
        release_slot(slot_);
        const std::string shown_path = std::move(temp_);
        fatal_if_out_of_descriptors(err, "can not create", shown_path.c_str());
        fatal_fixed(1, "can not read %s\n", shown_path.c_str());
    }
    find_fs("");
}

void TempFile::find_fs(const std::string& dir) {
    // The last directory this thread made a temporary file in, and its file
    // system: most files of a run go to a few directories, and an fstat
    // each would cost a fifth of a small file's system calls. Only absolute
    // paths: a relative one names another directory once the run moves.
    thread_local char last_dir[PATH_BUF + 32];
    thread_local std::size_t last_len = std::size_t(-1);
    thread_local DurableFs* last_fs = nullptr;
    const bool absolute = !dir.empty() && dir[0] == '/';
    if (absolute && dir.size() == last_len && std::memcmp(dir.data(), last_dir, last_len) == 0) {
        fs_ = last_fs;
        return;
    }
    try {
        fs_ = fs_of(fd_, final_.c_str());
        if (absolute && dir.size() < sizeof last_dir) {
            std::memcpy(last_dir, dir.data(), dir.size());
            last_len = dir.size();
            last_fs = fs_;
        }
    } catch (...) {
        // Not yet owned by a finished object: the destructor will not run.
        ::close(fd_);
        fd_ = -1;
        ::unlinkat(temp_at(), temp_name_at(), 0);
        release_slot(slot_);
        throw;
    }
}

TempFile::~TempFile() {
    if (fp_)
        std::fclose(fp_);
    else if (fd_ >= 0)
        ::close(fd_);
    if (!done_ && !temp_.empty()) ::unlinkat(temp_at(), temp_name_at(), 0);
    release_slot(slot_);
}

std::FILE* TempFile::get() {
    if (!fp_ && fd_ >= 0) {
        fp_ = ::fdopen(fd_, "wb");
        if (!fp_) fatal_errno("can not open a stream on", temp_.c_str());
    }
    return fp_;
}

void TempFile::close() {
    if (fd_ < 0) return;
    int err = 0;
    if (fp_ && (std::fflush(fp_) != 0 || std::ferror(fp_) != 0)) err = errno ? errno : EIO;
    // Only a file system that syncfs may not reach gets a flush of each
    // file here. Elsewhere the data is left to the batch's flush: one
    // syncfs writes a whole batch of small files in large merged writes,
    // where starting each file's writeback on its own would send the disk
    // one small write per file. A long copy starts its writeback as it goes
    // (start_writeback).
    if (!err && fs_->kind.disk && !synced_ && (flush_each() || fs_->kind.server)) {
        if (::fdatasync(fd_) != 0) err = errno;
        synced_ = true;
    }
    const int rc = fp_ ? std::fclose(fp_) : ::close(fd_);
    if (rc != 0 && !err) err = errno;
    fp_ = nullptr;
    fd_ = -1;
    closed_at_ = fs_->epoch.load();
    closed_mono_ = monotonic_seconds();
    if (err) {
        errno = err;
        fatal_errno("write error on", final_.c_str());
    }
}

void TempFile::close_unwritten() {
    synced_ = true;
    close();
}

bool TempFile::ready_to_publish() const {
    return closed_at_ != 0 && (synced_ || !fs_->kind.disk || fs_->durable.load() > closed_at_);
}

bool TempFile::on_network_fs() const { return fs_ && fs_->kind.server; }

bool TempFile::try_rename() {
    if (fs_->kind.disk && !synced_ && fs_->durable.load() <= closed_at_) sync_fs(*fs_, final_.c_str());
    // Late: written before a pause longer than a prune's grace period, it
    // would be published old, and taken at once.
    if (fresh_time_ && monotonic_seconds() - closed_mono_ > FRESH_SECONDS) {
        const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
        if (::utimensat(temp_at(), temp_name_at(), now, AT_SYMLINK_NOFOLLOW) != 0)
            fatal_errno("can not set the time of", temp_.c_str());
        closed_mono_ = monotonic_seconds();
    }
    if (::renameat(temp_at(), temp_name_at(), final_at(), final_name_at()) != 0) return false;
    published();
    return true;
}

void TempFile::published() {
    fs_->changed.store(true, std::memory_order_relaxed);
    done_ = true;
    release_slot(slot_);
}

void TempFile::commit_closed() {
    if (!try_rename()) fatal_errno("can not rename a temporary file onto", final_.c_str());
}

void TempFile::commit_closed_as(std::string final_path) { commit_closed_as(std::move(final_path), nullptr); }

void TempFile::commit_closed_as(std::string final_path, DirRef final_dir, const std::function<DirRef()>& anew) {
    final_ = std::move(final_path);
    final_dir_ = std::move(final_dir);
    // Where directories are resolved, a name whose directory could not be
    // opened (a file in the way) is never renamed onto by path: by then a
    // link may stand there, and the path would follow it.
    if (!final_dir_ && anew && !(final_dir_ = anew()))
        fatal_errno("can not rename a temporary file onto", final_.c_str());
    // Try the rename first: the directory is there for all but the first
    // file published into it.
    if (try_rename()) return;
    // On a network file system a directory that another machine has just
    // made, or a name it is renaming onto at the same moment, may be
    // reported missing for a short while: the rename is tried again a few
    // times before it counts as failed.
    int err = errno;
    for (int attempt = 0; err == ENOENT || (err == ESTALE && anew && on_network_fs()); ++attempt) {
        if (anew && !(final_dir_ = anew())) break;  // the operation by path would meet what is in the way
        // The client may still know the name by the file another machine
        // has just renamed away from it, and send that file's handle with
        // every try: looking the name up again forgets it.
        struct stat st;
        (void)::fstatat(final_at(), final_name_at(), &st, AT_SYMLINK_NOFOLLOW);
        // GlusterFS reports such a rename as failed (ENOENT) when, after
        // its server made it, the name was moved on at once (by a prune on
        // another machine, which puts a fresh file back): the run's own
        // temporary file, which no other run takes while the run lives,
        // gone says that it was made.
        if (on_network_fs() && ::fstatat(temp_at(), temp_name_at(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
            return published();
        if (!final_dir_) make_parents(final_);
        if (try_rename()) return;
        err = errno;
        if (!on_network_fs() || attempt == NETWORK_RENAME_RETRIES) break;
        const struct timespec pause{0, (10L << attempt) * 1000000L};
        ::nanosleep(&pause, nullptr);
    }
    errno = err;
    fatal_errno("can not rename a temporary file onto", final_.c_str());
}

void TempFile::commit() {
    // One file on its own: its own data is flushed, not the file system's.
    if (fd_ >= 0 && fs_->kind.disk && !synced_) {
        if (fp_ && (std::fflush(fp_) != 0 || std::ferror(fp_) != 0)) fatal_errno("write error on", final_.c_str());
        if (::fdatasync(fd_) != 0) fatal_errno("write error on", final_.c_str());
        synced_ = true;
    }
    close();
    commit_closed();
}
