// The status line: while a job runs for more than about a second and a
// person watches standard error (a terminal, and --no-progress not given),
// one line at the bottom says what the job does, files and bytes done, the
// rate and, where the total is known, the time left. Workers count without
// locks (relaxed atomics); one drawing thread redraws about ten times a
// second. Every line the run prints on the terminal goes above it: the
// print points erase it first and draw it again below the line. When
// standard error is not a terminal nothing of this runs, and not a byte of
// the output changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace progress_detail {
// True while a job's display runs: only then are the counters worth updating.
extern std::atomic<bool> counting;
struct alignas(64) Counter {
    std::atomic<uint64_t> n{0};
};
// Bytes are counted by the workers, files by the calling thread: apart, so
// that the one does not slow the other.
extern Counter files_done;
extern Counter bytes_done;
} // namespace progress_detail

// Decides once, before any job, whether jobs show the line: wanted (no
// --no-progress), standard error a terminal, and a terminal that knows the
// erase sequence (TERM set and not "dumb").
void progress_setup(bool wanted);

// The display of one job, from construction to destruction: a drawing
// thread that shows the line after about a second, and erases it and stops
// on every way out. Does nothing when progress_setup said no.
class ProgressJob {
public:
    explicit ProgressJob(const char* what);
    ProgressJob(const ProgressJob&) = delete;
    ProgressJob& operator=(const ProgressJob&) = delete;
    ~ProgressJob();

private:
    bool on_ = false;
};

// A job moves to its next pass: what it now does (a string literal), and
// the totals of that pass where they are known (0: unknown). The counts and
// the rate start again.
void progress_phase(const char* what, uint64_t files_total = 0, uint64_t bytes_total = 0);
// The totals of the current pass, once they are known; 0 leaves a total as
// it was.
void progress_totals(uint64_t files_total, uint64_t bytes_total);

// How often the pass reads each byte of the files its walk measures: 1
// unless said (a new job or pass says 1 again); 0 when the pass also reads
// others, so that their sum is no total.
void progress_walk_reads(unsigned n);
// The totals a walk knows once it is done (each_entry): its files, and the
// bytes of them all (0: not all measured), times the reads above.
void progress_walk_totals(uint64_t files, uint64_t bytes);

// Files done: on the calling thread, as it consumes each file.
inline void progress_file() {
    using namespace progress_detail;
    if (counting.load(std::memory_order_relaxed)) files_done.n.fetch_add(1, std::memory_order_relaxed);
}
// Bytes read: by whichever thread reads them.
inline void progress_bytes(uint64_t n) {
    using namespace progress_detail;
    if (counting.load(std::memory_order_relaxed)) bytes_done.n.fetch_add(n, std::memory_order_relaxed);
}

// The print points. True while a job's display runs on this terminal; the
// calling thread then prints through the two below.
bool progress_shown();
// Writes a whole line (line feed included) on standard error, above the
// status line: erase, line and status line in one write.
void progress_err_line(std::string_view line);
// Held while a line goes to standard output, when that is a terminal too:
// erases the status line, and draws it again below the printed line.
class ProgressPause {
public:
    ProgressPause();
    ProgressPause(const ProgressPause&) = delete;
    ProgressPause& operator=(const ProgressPause&) = delete;
    ~ProgressPause();

private:
    bool held_ = false;
    bool redraw_ = false;
    unsigned seen_ = 0;  // the stop count the erase was decided under
};

// For the handlers of the signals that end a run: erases the status line
// with write(2) only (async-signal-safe), and keeps the drawing thread from
// drawing it again.
void progress_erase_for_signal();

// The status text of a pass, at most width - 1 columns (the last column is
// left free: a character there makes some terminals wrap). Fields that do
// not fit are left out, the least useful first. Pure, for the tests.
struct ProgressSnapshot {
    const char* what;
    uint64_t files;
    uint64_t files_total;  // 0: unknown
    uint64_t bytes;
    uint64_t bytes_total;  // 0: unknown
    double seconds;        // since the pass started
};
std::string progress_text(const ProgressSnapshot& s, int width);
