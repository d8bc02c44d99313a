#include "util/tempfile.h"

#include "util/fatal.h"
#include "util/fileio.h"
#include "util/paths.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <time.h>
#include <unistd.h>

namespace {

// The temporary files in flight, for the signal handler. A handler may only
// make async-signal-safe calls: it reads fixed slots (a claimed slot is
// filled before it is marked live) and calls unlink. Slots are few because
// the files in flight are bounded by the work window; a file that finds no
// slot is still removed on every ordinary way out.
constexpr int SLOTS = 1024;
constexpr std::size_t SLOT_PATH = PATH_BUF + 32;
// OPENING: the file may be being created right now, by the thread in owners.
enum : int { FREE = 0, FILLING = 1, OPENING = 2, LIVE = 3 };
// States apart from the paths, and both zero at load time: the paths are
// touched only when used, not 4 MiB of them at every start.
constinit std::atomic<int> states[SLOTS] = {};
constinit std::atomic<pid_t> owners[SLOTS] = {};
char paths[SLOTS][SLOT_PATH];
// Set by the handler: no thread creates a temporary file any more.
constinit std::atomic<bool> stopping{false};

int claim(const std::string& path) {
    if (path.size() >= SLOT_PATH) return -1;
    // Start past the slots taken last: the files in flight are released
    // roughly in the order they were claimed.
    static std::atomic<unsigned> hint{0};
    const unsigned start = hint.fetch_add(1, std::memory_order_relaxed);
    for (int k = 0; k < SLOTS; ++k) {
        const int i = int((start + unsigned(k)) % SLOTS);
        int expect = FREE;
        if (!states[i].compare_exchange_strong(expect, FILLING)) continue;
        std::memcpy(paths[i], path.c_str(), path.size() + 1);
        owners[i].store(::gettid());
        states[i].store(OPENING);
        // A worker that comes after the handler never creates its file: it
        // waits for the end of the process (workers take no signals).
        while (stopping.load()) ::pause();
        return i;
    }
    return -1;
}

// The file is created (or its creation failed): the handler need not wait.
void opened(int slot) {
    if (slot >= 0) states[slot].store(LIVE);
}

void release(int& slot) {
    if (slot >= 0) states[slot].store(FREE, std::memory_order_release);
    slot = -1;
}

// A creation in flight on another thread (many milliseconds on a network
// file system) would make its file after the sweep: the handler waits for
// those, for a few seconds at most, before it removes the files.
bool others_opening(pid_t self) {
    for (int i = 0; i < SLOTS; ++i)
        if (states[i].load() == OPENING && owners[i].load() != self) return true;
    return false;
}

extern "C" void on_signal(int sig) {
    stopping.store(true);
    const pid_t self = ::gettid();
    const struct timespec tick = {0, 1000000};
    for (int ms = 0; ms < 5000 && others_opening(self); ++ms) ::nanosleep(&tick, nullptr);
    for (int i = 0; i < SLOTS; ++i) {
        const int state = states[i].load(std::memory_order_acquire);
        if (state == OPENING || state == LIVE) ::unlink(paths[i]);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

std::string unique_suffix() {
    // One generator per thread: temporary files may be made on any of them.
    thread_local std::mt19937_64 rng{std::random_device{}() ^ (uint64_t(getpid()) << 32)};
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string s(10, '0');
    for (char& c : s) c = digits[rng() % 36];
    return s;
}

} // namespace

void install_signal_cleanup() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigfillset(&sa.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the caller chose to ignore (nohup) stays ignored.
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &sa, nullptr);
    }
}

TempFile::TempFile(std::string final_path) : final_(std::move(final_path)) {
    // The temporary name is short and hidden, so that it fits beside any
    // final name and stands out as ours if a killed run leaves it behind.
    const std::size_t slash = final_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : final_.substr(0, slash + 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (int tries = 0; tries < 100; ++tries) {
            temp_ = dir + ".mdtree-" + unique_suffix();
            // The slot is claimed before the file exists, so no moment
            // passes in which an interrupted run would leave it behind.
            slot_ = claim(temp_);
            fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            opened(slot_);
            if (fd_ >= 0) return;
            const int err = errno;
            release(slot_);
            if (err != EEXIST) break;
        }
        if (attempt == 0) make_parents(final_);
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
        release(slot_);
        const std::string shown_path = std::move(temp_);
        fatal_fixed(1, "can not read %s\n", shown_path.c_str());
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
    bool failed;
    if (fp_) {
        const bool had_error = std::ferror(fp_) != 0;
        failed = std::fclose(fp_) != 0 || had_error;
        fp_ = nullptr;
    } else {
        failed = ::close(fd_) != 0;
    }
    fd_ = -1;
    if (failed) fatal_errno("write error on", final_.c_str());
}

void TempFile::commit_closed() {
    if (::rename(temp_.c_str(), final_.c_str()) != 0) fatal_errno("can not rename a temporary file onto", final_.c_str());
    done_ = true;
    release(slot_);
}

void TempFile::commit_closed_as(std::string final_path) {
    final_ = std::move(final_path);
    // Try the rename first: the directory is there for all but the first
    // file published into it.
    if (::rename(temp_.c_str(), final_.c_str()) != 0) {
        if (errno != ENOENT) fatal_errno("can not rename a temporary file onto", final_.c_str());
        make_parents(final_);
        if (::rename(temp_.c_str(), final_.c_str()) != 0)
            fatal_errno("can not rename a temporary file onto", final_.c_str());
    }
    done_ = true;
    release(slot_);
}

void TempFile::commit() {
    close();
    commit_closed();
}
