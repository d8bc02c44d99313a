#include "util/tempfile.h"

#include "util/fatal.h"
#include "util/fileio.h"
#include "util/paths.h"
#include "util/progress.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/magic.h>
#include <mutex>
#include <random>
#include <system_error>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace {

// The calling thread's id, asked of the kernel once per thread: every
// temporary file records who creates it.
pid_t this_thread_id() {
    thread_local pid_t id = ::gettid();
    return id;
}

// The temporary files in flight, for the signal handler. A handler may only
// make async-signal-safe calls: it reads slots (a claimed slot is filled
// before it is marked in use) and calls unlink. The table grows by chunks
// that are never freed, so it covers every temporary file at once, however
// many a run keeps waiting for publication; a slot keeps its path buffer
// for the next file, and only the thread that holds the slot in FILLING
// state may grow it, which the handler never reads.
constexpr int CHUNK = 1024;
constexpr int MAX_CHUNKS = 1 << 14;
// OPENING: the file may be being created right now, by the thread in owner.
enum : int { FREE = 0, FILLING = 1, OPENING = 2, LIVE = 3 };
struct Slot {
    std::atomic<int> state{FREE};
    std::atomic<pid_t> owner{0};
    char* path = nullptr;
    std::size_t cap = 0;
};
struct Chunk {
    Slot slots[CHUNK];
    std::atomic<int> used{0};
};
constinit std::atomic<Chunk*> chunks[MAX_CHUNKS] = {};
constinit std::atomic<int> nchunks{0};
std::mutex grow_mu;
// Set by the handler: no thread creates a temporary file any more.
constinit std::atomic<bool> stopping{false};

Slot& slot_at(int slot) { return chunks[slot / CHUNK].load(std::memory_order_acquire)->slots[slot % CHUNK]; }

// Takes a free slot of chunk c for path; -1 when it has none.
int claim_in(int c, const std::string& path, unsigned start) {
    Chunk* ch = chunks[c].load(std::memory_order_acquire);
    if (ch->used.load(std::memory_order_relaxed) >= CHUNK) return -1;
    for (int k = 0; k < CHUNK; ++k) {
        const int i = int((start + unsigned(k)) % CHUNK);
        Slot& s = ch->slots[i];
        int expect = FREE;
        if (!s.state.compare_exchange_strong(expect, FILLING)) continue;
        if (s.cap < path.size() + 1) {
            char* bigger = static_cast<char*>(std::malloc(path.size() + 1));
            if (!bigger) {
                s.state.store(FREE, std::memory_order_release);
                throw std::bad_alloc();
            }
            std::free(s.path);
            s.path = bigger;
            s.cap = path.size() + 1;
        }
        std::memcpy(s.path, path.c_str(), path.size() + 1);
        ch->used.fetch_add(1, std::memory_order_relaxed);
        s.owner.store(this_thread_id());
        s.state.store(OPENING);
        // A worker that comes after the handler never creates its file: it
        // waits for the end of the process (workers take no signals).
        while (stopping.load()) ::pause();
        return c * CHUNK + i;
    }
    return -1;
}

int claim(const std::string& path) {
    // Start past the slots taken last: the files in flight are released
    // roughly in the order they were claimed.
    static std::atomic<unsigned> hint{0};
    const unsigned start = hint.fetch_add(1, std::memory_order_relaxed);
    for (;;) {
        const int n = nchunks.load(std::memory_order_acquire);
        for (int c = 0; c < n; ++c)
            if (const int slot = claim_in(c, path, start); slot >= 0) return slot;
        std::lock_guard lock(grow_mu);
        if (nchunks.load(std::memory_order_relaxed) != n) continue;
        if (n == MAX_CHUNKS) throw std::bad_alloc();
        chunks[n].store(new Chunk, std::memory_order_release);
        nchunks.store(n + 1, std::memory_order_release);
    }
}

// The file is created (or its creation failed): the handler need not wait.
void opened(int slot) {
    if (slot >= 0) slot_at(slot).state.store(LIVE);
}

void release(int& slot) {
    if (slot >= 0) {
        slot_at(slot).state.store(FREE, std::memory_order_release);
        chunks[slot / CHUNK].load(std::memory_order_relaxed)->used.fetch_sub(1, std::memory_order_relaxed);
    }
    slot = -1;
}

// A creation in flight on another thread (many milliseconds on a network
// file system) would make its file after the sweep: the handler waits for
// those, for a few seconds at most, before it removes the files.
bool others_opening(pid_t self) {
    const int n = nchunks.load();
    for (int c = 0; c < n; ++c)
        for (const Slot& s : chunks[c].load()->slots)
            if (s.state.load() == OPENING && s.owner.load() != self) return true;
    return false;
}

extern "C" void on_signal(int sig) {
    stopping.store(true);
    const pid_t self = ::gettid();
    const struct timespec tick = {0, 1000000};
    for (int ms = 0; ms < 5000 && others_opening(self); ++ms) ::nanosleep(&tick, nullptr);
    const int n = nchunks.load(std::memory_order_acquire);
    for (int c = 0; c < n; ++c) {
        Chunk* ch = chunks[c].load(std::memory_order_acquire);
        for (Slot& s : ch->slots) {
            const int state = s.state.load(std::memory_order_acquire);
            if (state == OPENING || state == LIVE) ::unlink(s.path);
        }
    }
    progress_erase_for_signal();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

constexpr char DIGITS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr std::size_t RUN_ID_LEN = 5;
constexpr std::string_view LEASE_PART = "LEASE";

std::mt19937_64& thread_rng() {
    // One generator per thread: temporary files may be made on any of them.
    thread_local std::mt19937_64 rng{std::random_device{}() ^ (uint64_t(getpid()) << 32)};
    return rng;
}

// The run's id, the first part of every temporary name it makes: five
// digits packed base 36 (0 until first asked for).
constinit std::atomic<uint32_t> run_code{0};

uint32_t new_run_code() {
    uint32_t c = 0;
    while (c == 0) c = uint32_t(thread_rng()() % (36ull * 36 * 36 * 36 * 36));
    return c;
}

std::string run_id() {
    uint32_t c = run_code.load();
    if (c == 0) {
        uint32_t expect = 0;
        const uint32_t fresh = new_run_code();
        c = run_code.compare_exchange_strong(expect, fresh) ? fresh : expect;
    }
    std::string s(RUN_ID_LEN, '0');
    for (std::size_t i = RUN_ID_LEN; i-- > 0; c /= 36) s[i] = DIGITS[c % 36];
    return s;
}

std::string unique_suffix() {
    std::string s = run_id();
    for (std::size_t i = 0; i < RUN_ID_LEN; ++i) s.push_back(DIGITS[thread_rng()() % 36]);
    return s;
}

constexpr std::size_t TEMP_NAME_LEN = 18;  // ".mdtree-" and ten characters

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

// Measuring only: MDTREE_FLUSH=each flushes every file on its own when it
// is closed, for comparison with the batched flush.
bool flush_each() {
    static const bool each = [] {
        const char* v = std::getenv("MDTREE_FLUSH");
        return v && std::strcmp(v, "each") == 0;
    }();
    return each;
}

} // namespace

// One file system the run writes on, with a descriptor for syncfs. Files
// closed at epoch e are on the disk once durable exceeds e: a syncfs takes
// a new epoch when it starts, so it covers every file closed before.
struct DurableFs {
    dev_t dev = 0;
    int fd = -1;
    bool flush = true;  // false on tmpfs and ramfs: there is no disk
    // A file system whose disk lies behind a server (FUSE, NFS, SMB, Ceph):
    // syncfs may not reach it, an fsync of each file does.
    bool each = false;
    std::atomic<uint64_t> epoch{1};
    std::atomic<uint64_t> durable{0};
    std::atomic<bool> changed{false};
    std::mutex sync_mu;
};

namespace {

std::mutex fs_mu;
std::deque<DurableFs> filesystems;  // never shrinks: TempFiles point into it

// The file system of the open file fd (a descriptor of it is kept).
DurableFs* fs_of(int fd, const char* name) {
    struct stat st;
    if (::fstat(fd, &st) != 0) fatal_errno("can not examine", name);
    std::lock_guard lock(fs_mu);
    for (DurableFs& f : filesystems)
        if (f.dev == st.st_dev) return &f;
    struct statfs sf;
    if (::fstatfs(fd, &sf) != 0) fatal_errno("can not examine", name);
    const int kept = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (kept < 0) fatal_errno("can not keep a descriptor on the file system of", name);
    DurableFs& f = filesystems.emplace_back();
    f.dev = st.st_dev;
    f.fd = kept;
    f.flush = sf.f_type != TMPFS_MAGIC && sf.f_type != RAMFS_MAGIC;
    constexpr long FUSE_MAGIC = 0x65735546, CIFS_MAGIC = 0xFF534D42, SMB2_MAGIC = 0xFE534D42, CEPH_MAGIC = 0x00c36400;
    const long t = long(sf.f_type);
    f.each = t == FUSE_MAGIC || t == long(NFS_SUPER_MAGIC) || t == CIFS_MAGIC || t == SMB2_MAGIC || t == CEPH_MAGIC;
    return &f;
}

void sync_fs(DurableFs& f, const char* name) {
    std::lock_guard lock(f.sync_mu);
    const uint64_t e = f.epoch.fetch_add(1) + 1;
    if (::syncfs(f.fd) != 0) fatal_errno("can not flush to the disk", name);
    f.durable.store(e);
}

} // namespace

void install_signal_cleanup() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigfillset(&sa.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF,
                          SIGIO, SIGPWR}) {
        // A signal the caller chose to ignore (nohup) stays ignored.
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &sa, nullptr);
    }
    // Past the file size limit a write then fails with EFBIG on whichever
    // thread made it, and the run ends as on any write error.
    ::signal(SIGXFSZ, SIG_IGN);
}

namespace {

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
            slot_ = claim(temp_);
            fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            opened(slot_);
            if (fd_ >= 0) {
                find_fs(dir);
                return;
            }
            const int err = errno;
            release(slot_);
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
    slot_ = claim(temp_);
    for (int attempt = 0; attempt < 2 && fd_ < 0; ++attempt) {
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        opened(slot_);
        if (fd_ >= 0 || errno != ENOENT) break;
        make_parents(temp_);
    }
    if (fd_ < 0) {
        // Only a file this run created may be removed again.
        const int err = errno;
        release(slot_);
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
        release(slot_);
        throw;
    }
}

TempFile::~TempFile() {
    if (fp_)
        std::fclose(fp_);
    else if (fd_ >= 0)
        ::close(fd_);
    if (!done_ && !temp_.empty()) ::unlink(temp_.c_str());
    release(slot_);
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
    published();
    return true;
}

void TempFile::published() {
    fs_->changed.store(true, std::memory_order_relaxed);
    done_ = true;
    release(slot_);
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
        // GlusterFS reports such a rename as failed (ENOENT) when, after
        // its server made it, the name was moved on at once (by a prune on
        // another machine, which puts a fresh file back): the run's own
        // temporary file, which no other run takes while the run lives,
        // gone says that it was made.
        if (on_network_fs() && ::lstat(temp_.c_str(), &st) != 0 && errno == ENOENT) return published();
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
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    try {
        const std::size_t n = std::min<std::size_t>(std::size_t(rename_threads_), q.size());
        for (std::size_t t = 1; t < n; ++t) threads.emplace_back(rename_some);
    } catch (const std::system_error&) {
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
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
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    try {
        flusher_ = std::thread([this, todo = std::move(todo)] {
            try {
                for (const Flush& t : todo) sync_fs(*t.fs, t.name.c_str());
            } catch (...) {
                flush_error_ = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
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

void start_writeback(int fd, uint64_t offset, uint64_t len) {
    ::sync_file_range(fd, off64_t(offset), off64_t(len), SYNC_FILE_RANGE_WRITE);
}

void note_changed(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DurableFs* f = fs_of(fd, path.c_str());
    ::close(fd);
    f->changed.store(true, std::memory_order_relaxed);
}

void sync_published() {
    std::lock_guard lock(fs_mu);
    for (DurableFs& f : filesystems)
        if (f.flush && f.changed.load()) {
            if (::syncfs(f.fd) != 0) fatal_errno("can not flush to the disk", "the output");
            f.changed.store(false);
        }
}

bool is_temp_name(std::string_view name) { return name.size() == TEMP_NAME_LEN && name.starts_with(".mdtree-"); }

std::string temp_name(std::string_view dir) { return std::string(dir) + ".mdtree-" + unique_suffix(); }

bool is_lease_name(std::string_view name) { return is_temp_name(name) && name.ends_with(LEASE_PART); }

RunLease::RunLease(const std::string& dir) {
    // Made under its final name at once: a lease is never replaced, so a
    // name taken by another run's lease (the same run id by chance) gives
    // this run another id. Locked before any file of the run exists in dir.
    bool made = false;
    for (int tries = 0; tries < 100; ++tries) {
        path_ = dir + ".mdtree-" + run_id() + std::string(LEASE_PART);
        slot_ = claim(path_);
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        opened(slot_);
        if (fd_ >= 0) break;
        const int err = errno;
        release(slot_);
        // A store's first run makes its root, as its first file would.
        if (err == ENOENT && !made) {
            make_parents(path_);
            made = true;
            continue;
        }
        if (err != EEXIST) return;  // no lease: the run's files are judged by their age
        run_code.store(new_run_code());
    }
    if (fd_ < 0) return;
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    if (::fcntl(fd_, F_SETLK, &l) != 0) {
        // A lease that can not be locked would read as a dead run's.
        ::unlink(path_.c_str());
        ::close(fd_);
        fd_ = -1;
        release(slot_);
    }
}

RunLease::~RunLease() {
    if (fd_ < 0) return;
    // Removed while still locked: nobody ever sees it unlocked.
    ::unlink(path_.c_str());
    ::close(fd_);
    release(slot_);
}

RunState run_state(std::string_view dir, std::string_view name) {
    if (!is_temp_name(name)) return RunState::unknown;
    const std::string_view id = name.substr(name.size() - 2 * RUN_ID_LEN, RUN_ID_LEN);
    // This process's own lease: asking about it through another descriptor
    // would say unlocked, and closing that descriptor would drop the lock.
    if (run_code.load() != 0 && id == run_id()) return RunState::live;
    const std::string lease = std::string(dir) + ".mdtree-" + std::string(id) + std::string(LEASE_PART);
    const int fd = ::open(lease.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return RunState::unknown;
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    const int rc = ::fcntl(fd, F_GETLK, &l);
    ::close(fd);
    if (rc != 0) return RunState::unknown;
    return l.l_type == F_UNLCK ? RunState::dead : RunState::live;
}
