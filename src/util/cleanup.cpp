#include "util/cleanup.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <time.h>
#include <unistd.h>

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
    int dirfd = -1;        // path is relative to it from leaf on (-1: the whole path)
    std::size_t leaf = 0;  // both set while FILLING, read by the handler once OPENING
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
// What the handler does last, before the process ends (erase the status line).
void (*before_exit)() = nullptr;

Slot& slot_at(int slot) { return chunks[slot / CHUNK].load(std::memory_order_acquire)->slots[slot % CHUNK]; }

// Takes a free slot of chunk c for path; -1 when it has none.
int claim_in(int c, const std::string& path, int dirfd, std::size_t leaf, unsigned start) {
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
        s.dirfd = dirfd;
        s.leaf = dirfd >= 0 ? leaf : 0;
        ch->used.fetch_add(1, std::memory_order_relaxed);
        s.owner.store(this_thread_id());
        s.state.store(OPENING);
        if (stopping.load()) {
            // A worker that comes after the handler never creates its file:
            // its slot leaves OPENING, so that the handler neither waits for
            // it nor removes the name, and it waits for the end of the
            // process (workers take no signals).
            s.state.store(FILLING);
            for (;;) ::pause();
        }
        return c * CHUNK + i;
    }
    return -1;
}

}  // namespace

int claim_slot(const std::string& path, int dirfd, std::size_t leaf) {
    // Start past the slots taken last: the files in flight are released
    // roughly in the order they were claimed.
    static std::atomic<unsigned> hint{0};
    const unsigned start = hint.fetch_add(1, std::memory_order_relaxed);
    for (;;) {
        const int n = nchunks.load(std::memory_order_acquire);
        for (int c = 0; c < n; ++c)
            if (const int slot = claim_in(c, path, dirfd, leaf, start); slot >= 0) return slot;
        std::lock_guard lock(grow_mu);
        if (nchunks.load(std::memory_order_relaxed) != n) continue;
        if (n == MAX_CHUNKS) throw std::bad_alloc();
        chunks[n].store(new Chunk, std::memory_order_release);
        nchunks.store(n + 1, std::memory_order_release);
    }
}

void slot_opened(int slot, int fd) {
    if (slot >= 0) slot_at(slot).state.store(fd >= 0 ? LIVE : FILLING);
}

void release_slot(int& slot) {
    if (slot >= 0) {
        slot_at(slot).state.store(FREE, std::memory_order_release);
        chunks[slot / CHUNK].load(std::memory_order_relaxed)->used.fetch_sub(1, std::memory_order_relaxed);
    }
    slot = -1;
}

namespace {

// A creation in flight on another thread (many milliseconds on a network
// file system) would make its file after the sweep: the handler waits for
// those, for a few seconds at most (by the clock: each nap may last longer
// than asked on a busy machine), before it removes the files.
constexpr int OPENING_WAIT_SECONDS = 5;
bool others_opening(pid_t self) {
    const int n = nchunks.load();
    for (int c = 0; c < n; ++c)
        for (const Slot& s : chunks[c].load()->slots)
            if (s.state.load() == OPENING && s.owner.load() != self) return true;
    return false;
}

extern "C" void on_signal(int sig) {
    // The handler returns before the signal raised below ends the process:
    // the code it interrupted finds errno as it was (an unlink may fail).
    const int saved_errno = errno;
    stopping.store(true);
    const pid_t self = ::gettid();
    const struct timespec tick = {0, 1000000};
    timespec start{}, now{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    while (others_opening(self)) {
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= OPENING_WAIT_SECONDS) break;
        ::nanosleep(&tick, nullptr);
    }
    const int n = nchunks.load(std::memory_order_acquire);
    for (int c = 0; c < n; ++c) {
        Chunk* ch = chunks[c].load(std::memory_order_acquire);
        for (Slot& s : ch->slots) {
            const int state = s.state.load(std::memory_order_acquire);
            // Through the directory the file was made in: a directory
            // swapped for a link since would lead the removal elsewhere.
            if (state == OPENING || state == LIVE) {
                if (s.dirfd >= 0)
                    ::unlinkat(s.dirfd, s.path + s.leaf, 0);
                else
                    ::unlink(s.path);
            }
        }
    }
    if (before_exit) before_exit();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
    errno = saved_errno;
}

}  // namespace

void install_signal_cleanup(void (*erase)()) {
    before_exit = erase;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigfillset(&sa.sa_mask);
    for (const int sig :
         {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGIO, SIGPWR}) {
        // A signal the caller chose to ignore (nohup) stays ignored.
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &sa, nullptr);
    }
    // Past the file size limit a write then fails with EFBIG on whichever
    // thread made it, and the run ends as on any write error.
    ::signal(SIGXFSZ, SIG_IGN);
}
