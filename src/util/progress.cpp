#include "util/progress.h"

#include "util/cleanup.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <system_error>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace progress_detail {
std::atomic<bool> counting{false};
Counter files_done;
Counter bytes_done;
} // namespace progress_detail

namespace {

using namespace progress_detail;
using Clock = std::chrono::steady_clock;

constexpr auto FIRST_DRAW = std::chrono::seconds(1);
constexpr auto REDRAW = std::chrono::milliseconds(100);
// Back to the line's start, and clear to its end.
constexpr char ERASE[] = "\r\033[K";
constexpr char CLEAR_REST[] = "\033[K";

// Decided once, before any job runs.
bool enabled = false;
bool stdout_tty = false;

// What the signal handler reads: lock-free flags only.
static_assert(std::atomic<bool>::is_always_lock_free);
std::atomic<bool> active{false};     // a job's display runs
std::atomic<bool> on_screen{false};  // the status line stands on the terminal
// The thread writing bytes of the display (0: none), by kernel thread id.
static_assert(std::atomic<pid_t>::is_always_lock_free);
std::atomic<pid_t> writer{0};
std::atomic<bool> dying{false};      // a signal ends the run: write nothing more
// Counts the stops (Ctrl-Z): a write decided before a stop is not made
// after it, when the run may be in the background.
std::atomic<unsigned> stops{0};
// Stop handlers running: from the count above until the handler is back in
// place after the run goes on. Nothing is drawn meanwhile: a Ctrl-Z then
// stops the run without the handler, and must find no line to leave.
std::atomic<int> stopping{0};
// The stop handler, put back by itself once the run goes on.
struct sigaction stop_action {};

// The display's state; everything but the flags above is guarded by mu.
struct Display {
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    const char* what = "";
    uint64_t files_total = 0;
    uint64_t bytes_total = 0;
    unsigned walk_reads = 1;
    Clock::time_point phase_start;
    std::string text;  // the status line as last drawn
    std::thread thread;
};
Display display;

pid_t thread_id() { return pid_t(::syscall(SYS_gettid)); }

// Every byte on the terminal goes out here, with mu held; returns how many
// went out. A signal that ends or stops the run meanwhile waits for the
// write to finish (see erase_in_handler). A failed write to the terminal is
// let go, as the run's own lines on standard error are.
std::size_t put(std::string_view s, const unsigned* seen_stops) {
    writer.store(thread_id());
    std::size_t done = 0;
    while (done < s.size() && !dying.load() && (!seen_stops || (stops.load() == *seen_stops && stopping.load() == 0))) {
        const ssize_t w = ::write(STDERR_FILENO, s.data() + done, s.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            break;
        }
        done += std::size_t(w);
    }
    writer.store(0);
    return done;
}

// A printed line alone, which goes out whatever happens to the run.
void emit_line(std::string_view s) { put(s, nullptr); }

// Bytes of the status line (an erase, a redraw, or a line with them), as
// decided while the stop count was seen_stops: a stop is held back until
// they are written (Ctrl-Z never cuts an erase or a redraw in two), and
// what was decided before a stop is not written after it.
std::size_t emit(std::string_view s, unsigned seen_stops) {
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    ::pthread_sigmask(SIG_BLOCK, &stop, &old);
    const std::size_t done = put(s, &seen_stops);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return done;
}

// Read at every redraw, so that a resized terminal is followed at once.
int terminal_width() {
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

// A run sent to the background (the shell's "&" or bg) must not draw over
// the shell's own line, nor erase it. Async-signal-safe.
bool in_foreground() {
    const pid_t fg = ::tcgetpgrp(STDERR_FILENO);
    return fg == -1 || fg == ::getpgrp();
}

// Whether the status line may be erased or drawn now; seen gets the stop
// count the decision holds for.
bool may_draw(unsigned& seen) {
    seen = stops.load();
    return stopping.load() == 0 && in_foreground();
}

// Puts text that ends with the status line on the terminal, with mu held.
// Marked before it is written: a signal handler that finds the flag still
// clear has already stopped the write (see emit). A stop meanwhile leaves
// it off the screen.
std::size_t show(std::string_view text, unsigned seen) {
    on_screen.store(true);
    const std::size_t done = emit(text, seen);
    if (stops.load() != seen) on_screen.store(false);
    return done;
}

// In a signal handler, once the flag that keeps the display from writing is
// set: a write of the display on another thread ends first, however long
// that thread waits for a processor (a writer that has checked the flag but
// not yet written would otherwise draw the line once the run goes on, in
// the background); one on this thread, which the handler interrupted, never
// would. Then the line is erased, with write(2) only (async-signal-safe),
// unless the run is in the background, where that would wipe the shell's
// line. The wait is bounded (a terminal held by Ctrl-S) by real time.
void erase_in_handler() {
    const pid_t self = thread_id();
    timespec start{}, now{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (pid_t w = writer.load(); w != 0 && w != self; w = writer.load()) {
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= 3) break;
        const timespec nap{0, 100000};
        ::nanosleep(&nap, nullptr);
    }
    if (on_screen.load() && in_foreground()) {
        const ssize_t r = ::write(STDERR_FILENO, ERASE, sizeof ERASE - 1);
        (void)r;
    }
}

// Ctrl-Z: the line is erased before the run stops, so that the shell's
// "Stopped" stands on a clean line; the run then stops as the default
// action would stop it. Once continued (fg or bg) this handler is back, and
// the line is drawn again only in the foreground.
extern "C" void on_stop(int sig) {
    const int saved = errno;
    // The count first: a writer held back by the second also sees it.
    stops.fetch_add(1);
    stopping.fetch_add(1);
    if (active.load()) {
        erase_in_handler();
        on_screen.store(false);
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(sig, &dfl, nullptr);
    // Blocked while this handler runs: pending until unblocked below, where
    // the process stops, and goes on from there when continued.
    ::raise(sig);
    sigset_t only, old;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &only, &old);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // Not the disposition found on entry: a handler running at once on
    // another thread may have found the default there.
    ::sigaction(sig, &stop_action, nullptr);
    stopping.fetch_sub(1);
    errno = saved;
}

// With mu held.
void draw() {
    unsigned seen;
    if (!may_draw(seen)) return;
    const double secs = std::chrono::duration<double>(Clock::now() - display.phase_start).count();
    const ProgressSnapshot s{display.what,
                             files_done.n.load(std::memory_order_relaxed),
                             display.files_total,
                             bytes_done.n.load(std::memory_order_relaxed),
                             display.bytes_total,
                             secs};
    std::string t = progress_text(s, terminal_width());
    if (on_screen.load() && t == display.text) return;
    show("\r" + t + CLEAR_REST, seen);
    display.text = std::move(t);
}

void loop() {
    std::unique_lock lock(display.mu);
    Clock::time_point next = Clock::now() + FIRST_DRAW;
    while (!display.cv.wait_until(lock, next, [] { return display.stop; })) {
        draw();
        next = Clock::now() + REDRAW;
    }
}

std::string with_commas(uint64_t n) {
    std::string s = std::to_string(n);
    for (int i = int(s.size()) - 3; i > 0; i -= 3) s.insert(std::size_t(i), ",");
    return s;
}

// Decimal units, as disks and rates are sold: 956.1 MB.
std::string size_text(double b) {
    static const char* const units[] = {"B", "kB", "MB", "GB", "TB", "PB"};
    int u = 0;
    while (b >= 999.5 && u < 5) {
        b /= 1000;
        ++u;
    }
    char buf[32];
    if (u == 0)
        std::snprintf(buf, sizeof buf, "%.0f B", b);
    else
        std::snprintf(buf, sizeof buf, b < 99.95 ? "%.1f %s" : "%.0f %s", b, units[u]);
    return buf;
}

std::string duration_text(double secs) {
    const auto t = uint64_t(secs + 0.5);
    char buf[48];
    if (t >= 3600)
        std::snprintf(buf, sizeof buf, "%llu:%02u:%02u", static_cast<unsigned long long>(t / 3600),
                      unsigned(t / 60 % 60), unsigned(t % 60));
    else
        std::snprintf(buf, sizeof buf, "%u:%02u", unsigned(t / 60), unsigned(t % 60));
    return buf;
}

} // namespace

void progress_setup(bool wanted) {
    const char* term = std::getenv("TERM");
    enabled = wanted && ::isatty(STDERR_FILENO) && term && *term && std::strcmp(term, "dumb") != 0;
    stdout_tty = ::isatty(STDOUT_FILENO);
    if (!enabled) return;
    // A stop the caller chose to ignore stays ignored.
    struct sigaction old {};
    if (::sigaction(SIGTSTP, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) return;
    stop_action.sa_handler = on_stop;
    sigfillset(&stop_action.sa_mask);
    ::sigaction(SIGTSTP, &stop_action, nullptr);
}

ProgressJob::ProgressJob(const char* what) {
    if (!enabled) return;
    {
        const std::lock_guard lock(display.mu);
        display.stop = false;
        display.what = what;
        display.files_total = display.bytes_total = 0;
        display.walk_reads = 1;
        display.phase_start = Clock::now();
        display.text.clear();
    }
    files_done.n.store(0);
    bytes_done.n.store(0);
    // The drawing thread takes no signal: a handler that runs on another
    // thread can then wait for its write to end (see emit).
    try {
        const SignalsBlocked quiet;
        display.thread = std::thread(loop);
    } catch (const std::system_error&) {
        // No thread to spare: the job runs without its line.
    }
    if (!display.thread.joinable()) return;
    on_ = true;
    counting.store(true);
    active.store(true);
}

ProgressJob::~ProgressJob() {
    if (!on_) return;
    {
        const std::lock_guard lock(display.mu);
        display.stop = true;
    }
    display.cv.notify_all();
    display.thread.join();
    const std::lock_guard lock(display.mu);
    unsigned seen;
    if (on_screen.load() && may_draw(seen)) emit(ERASE, seen);
    on_screen.store(false);
    active.store(false);
    counting.store(false);
}

void progress_phase(const char* what, uint64_t files_total, uint64_t bytes_total) {
    if (!active.load(std::memory_order_relaxed)) return;
    const std::lock_guard lock(display.mu);
    display.what = what;
    display.files_total = files_total;
    display.bytes_total = bytes_total;
    display.walk_reads = 1;
    display.phase_start = Clock::now();
    files_done.n.store(0);
    bytes_done.n.store(0);
}

void progress_totals(uint64_t files_total, uint64_t bytes_total) {
    if (!active.load(std::memory_order_relaxed)) return;
    const std::lock_guard lock(display.mu);
    if (files_total) display.files_total = files_total;
    if (bytes_total) display.bytes_total = bytes_total;
}

void progress_walk_reads(unsigned n) {
    if (!active.load(std::memory_order_relaxed)) return;
    const std::lock_guard lock(display.mu);
    display.walk_reads = n;
}

void progress_walk_totals(uint64_t files, uint64_t bytes) {
    if (!active.load(std::memory_order_relaxed)) return;
    const std::lock_guard lock(display.mu);
    if (files) display.files_total = files;
    if (bytes) display.bytes_total = bytes * display.walk_reads;
}

bool progress_shown() { return active.load(std::memory_order_relaxed); }

void progress_err_line(std::string_view line) {
    const std::lock_guard lock(display.mu);
    unsigned seen;
    if (!on_screen.load() || !may_draw(seen)) {
        emit_line(line);
        return;
    }
    std::string out;
    out.reserve(sizeof ERASE + line.size() + display.text.size() + sizeof CLEAR_REST);
    out.append(ERASE).append(line).append(display.text).append(CLEAR_REST);
    const std::size_t done = show(out, seen);
    // Stopped before the line went out whole: what is left of it is still
    // due, without the status line.
    const std::size_t from = std::max(done, sizeof ERASE - 1), to = sizeof ERASE - 1 + line.size();
    if (stops.load() != seen && from < to) emit_line(std::string_view(out).substr(from, to - from));
}

ProgressPause::ProgressPause() {
    if (!stdout_tty || !active.load(std::memory_order_relaxed)) return;
    display.mu.lock();
    held_ = true;
    if (!on_screen.load() || !may_draw(seen_)) return;
    emit(ERASE, seen_);
    on_screen.store(false);
    redraw_ = true;
}

ProgressPause::~ProgressPause() {
    if (!held_) return;
    if (redraw_) {
        // The line must be on the terminal before the status line goes
        // below it.
        std::fflush(stdout);
        show(display.text + CLEAR_REST, seen_);
    }
    display.mu.unlock();
}

void progress_erase_for_signal() {
    if (!active.load()) return;
    dying.store(true);
    erase_in_handler();
}

std::string progress_text(const ProgressSnapshot& s, int width) {
    const std::size_t room = width > 1 ? std::size_t(width - 1) : 0;
    // In the order shown: what and files, bytes, rate, percent, time left.
    std::string f[5];
    f[0] = std::string(s.what) + ": " + with_commas(s.files);
    if (s.files_total) f[0] += "/" + with_commas(s.files_total);
    f[0] += s.files == 1 && !s.files_total ? " file" : " files";
    if (f[0].size() > room) return f[0].substr(0, room);
    if (s.bytes || s.bytes_total) {
        f[1] = size_text(double(s.bytes));
        if (s.bytes_total) f[1] += " of " + size_text(double(s.bytes_total));
    }
    if (s.seconds >= 0.5) {
        if (s.bytes)
            f[2] = size_text(double(s.bytes) / s.seconds) + "/s";
        else if (s.files)
            f[2] = with_commas(uint64_t(double(s.files) / s.seconds)) + " files/s";
    }
    double frac = -1;
    if (s.bytes_total)
        frac = std::min(1.0, double(s.bytes) / double(s.bytes_total));
    else if (s.files_total)
        frac = std::min(1.0, double(s.files) / double(s.files_total));
    if (frac >= 0) f[3] = std::to_string(int(frac * 100)) + "%";
    if (frac > 0 && frac < 1 && s.seconds >= 1) f[4] = duration_text(s.seconds * (1 - frac) / frac) + " left";
    // What fits, the most useful first.
    bool keep[5] = {true, false, false, false, false};
    std::size_t len = f[0].size();
    for (const int i : {3, 4, 1, 2}) {
        if (f[i].empty() || len + 2 + f[i].size() > room) continue;
        keep[i] = true;
        len += 2 + f[i].size();
    }
    std::string out = f[0];
    for (int i = 1; i < 5; ++i)
        if (keep[i]) out.append(", ").append(f[i]);
    return out;
}
