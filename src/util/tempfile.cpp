#include "util/tempfile.h"

#include "util/cleanup.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/lease.h"
#include "util/paths.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <system_error>
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

double monotonic_seconds() {
    struct timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

}  // namespace

TempFile::TempFile(std::string final_path) : final_(std::move(final_path)) {
    open_unique(temp_dir(final_), true);
}

TempFile::TempFile(std::string final_path, In temp_dir) : final_(std::move(final_path)) {
    open_unique(temp_dir.dir + "/", false);
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
            // The slot is claimed before the file exists, so no moment
            // passes in which an interrupted run would leave it behind.
            slot_ = claim_slot(temp_);
            fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            slot_opened(slot_);
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
        if (!make_dirs) break;
        make_parents(final_);
    }
    temp_.clear();
    fatal_fixed(1, "can not read %s\n", final_.c_str());
}

TempFile::TempFile(std::string final_path, std::string fixed_temp)
    : final_(std::move(final_path)), temp_(std::move(fixed_temp)) {
    ::unlink(temp_.c_str());
    open_fixed();
}

void TempFile::open_fixed() {
    slot_ = claim_slot(temp_);
    for (int attempt = 0; attempt < 2 && fd_ < 0; ++attempt) {
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        slot_opened(slot_);
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
        ::unlink(temp_.c_str());
        release_slot(slot_);
        throw;
    }
}

TempFile::~TempFile() {
    if (fp_)
        std::fclose(fp_);
    else if (fd_ >= 0)
        ::close(fd_);
    if (!done_ && !temp_.empty()) ::unlink(temp_.c_str());
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
    if (!err && fs_->flush && !synced_ && (flush_each() || fs_->each)) {
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
    return closed_at_ != 0 && (synced_ || !fs_->flush || fs_->durable.load() > closed_at_);
}

bool TempFile::on_network_fs() const { return fs_ && fs_->each; }

bool TempFile::try_rename() {
    if (fs_->flush && !synced_ && fs_->durable.load() <= closed_at_) sync_fs(*fs_, final_.c_str());
    // Late: written before a pause longer than a prune's grace period, it
    // would be published old, and taken at once.
    if (fresh_time_ && monotonic_seconds() - closed_mono_ > FRESH_SECONDS) {
        const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
        if (::utimensat(AT_FDCWD, temp_.c_str(), now, AT_SYMLINK_NOFOLLOW) != 0)
            fatal_errno("can not set the time of", temp_.c_str());
        closed_mono_ = monotonic_seconds();
    }
    if (::rename(temp_.c_str(), final_.c_str()) != 0) return false;
    fs_->changed.store(true, std::memory_order_relaxed);
    done_ = true;
    release_slot(slot_);
    return true;
}

void TempFile::commit_closed() {
    if (!try_rename()) fatal_errno("can not rename a temporary file onto", final_.c_str());
}

void TempFile::commit_closed_as(std::string final_path) {
    final_ = std::move(final_path);
    // Try the rename first: the directory is there for all but the first
    // file published into it.
    if (try_rename()) return;
    // On a network file system a directory that another machine has just
    // made, or a name it is renaming onto at the same moment, may be
    // reported missing for a short while: the rename is tried again a few
    // times before it counts as failed.
    int err = errno;
    for (int attempt = 0; err == ENOENT; ++attempt) {
        // The client may still know the name by the file another machine
        // has just renamed away from it, and send that file's handle with
        // every try: looking the name up again forgets it.
        struct stat st;
        (void)::lstat(final_.c_str(), &st);
        make_parents(final_);
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
    if (fd_ >= 0 && fs_->flush && !synced_) {
        if (fp_ && (std::fflush(fp_) != 0 || std::ferror(fp_) != 0)) fatal_errno("write error on", final_.c_str());
        if (::fdatasync(fd_) != 0) fatal_errno("write error on", final_.c_str());
        synced_ = true;
    }
    close();
    commit_closed();
}

namespace {

// Publishes f onto as, or onto its own final path when as is empty.
void rename_closed(TempFile& f, std::string& as) {
    if (as.empty())
        f.commit_closed();
    else
        f.commit_closed_as(std::move(as));
}

} // namespace

PublishBatch::~PublishBatch() {
    if (flusher_.joinable()) flusher_.join();
    // Newest first: a later file's temporary file may sit in a directory
    // made for an earlier one.
    while (!queue_.empty()) queue_.pop_back();
    while (!sealed_.empty()) sealed_.pop_back();
}

void PublishBatch::add(std::unique_ptr<TempFile> f, uint64_t bytes, std::function<void()> then, std::string as) {
    const bool ready = f->ready_to_publish();
    const bool side_by_side = rename_threads_ > 1 && f->on_network_fs();
    // Nothing to wait for and nobody ahead: published at once, so the
    // renames go on beside the workers instead of in bursts.
    if (ready && !side_by_side && queue_.empty() && sealed_.empty()) {
        rename_closed(*f, as);
        f.reset();
        if (then) then();
        return;
    }
    if (track_) names_.insert(as.empty() ? f->final_path() : as);
    queue_ready_ = (queue_.empty() || queue_ready_) && ready;
    const double now = monotonic_seconds();
    if (queue_.empty()) queued_at_ = now;
    queue_.push_back({std::move(f), std::move(as), std::move(then)});
    bytes_ += bytes;
    // A run that finds its files slowly reports each within moments, and
    // its temporary files do not wait for the run's end: files queued, or
    // set aside, this long are sealed, or published, as a full batch is.
    const bool late = now - queued_at_ >= MAX_SECONDS || (!sealed_.empty() && now - sealed_at_ >= MAX_SECONDS);
    if (late || queue_.size() >= max_files_ || bytes_ >= MAX_BYTES) {
        seal();
    } else if (side_by_side && queue_ready_ && queue_.size() >= RENAME_GROUP) {
        publish_sealed();
        names_.clear();
        bytes_ = 0;
        publish(queue_);
    }
}

void PublishBatch::publish(Queue& q) {
    if (rename_threads_ > 1 && q.size() > 1 && q.front().file->on_network_fs()) return publish_side_by_side(q);
    // The first commit on each file system waits for the flush that the
    // rest of the queue then finds done.
    std::size_t i = 0;
    try {
        for (; i < q.size(); ++i) {
            Pending& p = q[i];
            rename_closed(*p.file, p.as);
            p.file.reset();
            if (p.then) p.then();
        }
    } catch (...) {
        q.erase(q.begin(), q.begin() + std::ptrdiff_t(i));
        throw;
    }
    q.clear();
}

void PublishBatch::publish_side_by_side(Queue& q) {
    std::vector<std::exception_ptr> errors(q.size());
    std::atomic<std::size_t> next{0};
    auto rename_some = [&q, &errors, &next] {
        for (std::size_t i; (i = next.fetch_add(1)) < q.size();) {
            try {
                rename_closed(*q[i].file, q[i].as);
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }
    };
    // The threads take no signals: the handler that removes temporary files
    // runs on the calling thread, which renames beside them. A thread that
    // can not be had leaves the work to fewer.
    std::vector<std::thread> threads;
    try {
        const SignalsBlocked quiet;
        const std::size_t n = std::min<std::size_t>(std::size_t(rename_threads_), q.size());
        for (std::size_t t = 1; t < n; ++t) threads.emplace_back(rename_some);
    } catch (const std::system_error&) {}
    rename_some();
    for (std::thread& t : threads) t.join();
    for (std::size_t i = 0; i < q.size(); ++i) {
        if (errors[i]) {
            q.erase(q.begin(), q.begin() + std::ptrdiff_t(i));
            std::rethrow_exception(errors[i]);
        }
        q[i].file.reset();
        if (q[i].then) q[i].then();
    }
    q.clear();
}

void PublishBatch::publish_sealed() {
    if (flusher_.joinable()) flusher_.join();
    if (flush_error_) std::rethrow_exception(std::exchange(flush_error_, nullptr));
    sealed_names_.clear();
    publish(sealed_);
}

void PublishBatch::seal() {
    publish_sealed();
    struct Flush {
        DurableFs* fs;
        std::string name;  // a file of it, for the message
    };
    std::vector<Flush> todo;
    for (const Pending& p : queue_)
        if (DurableFs* f = p.file->flush_awaited())
            if (std::none_of(todo.begin(), todo.end(), [f](const Flush& t) { return t.fs == f; }))
                todo.push_back({f, p.file->final_path()});
    sealed_ = std::move(queue_);
    sealed_at_ = monotonic_seconds();
    queue_.clear();
    sealed_names_ = std::move(names_);
    names_.clear();
    bytes_ = 0;
    if (todo.empty()) return;
    // The flusher takes no signals: the handler that removes temporary
    // files runs on the calling thread. Without a thread, the commits of
    // the files set aside flush on the calling thread instead.
    try {
        const SignalsBlocked quiet;
        flusher_ = std::thread([this, todo = std::move(todo)] {
            try {
                for (const Flush& t : todo) sync_fs(*t.fs, t.name.c_str());
            } catch (...) {
                flush_error_ = std::current_exception();
            }
        });
    } catch (const std::system_error&) {}
}

void PublishBatch::flush() {
    publish_sealed();
    bytes_ = 0;
    names_.clear();
    publish(queue_);
}

void PublishBatch::flush_if_pending_on_the_way(const std::string& path) {
    if (names_.empty() && sealed_names_.empty()) return;
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (names_.contains(dir) || sealed_names_.contains(dir)) return flush();
    }
}
