// Parallel work, serial decisions. The calling thread submits items in
// stream order; the heavy part of each item (read, hash, copy into a
// temporary file, compress, inflate) runs on a worker; the item's `done`
// part runs back on the calling thread, strictly in submission order, and
// does everything visible: printing, renaming onto final names, deciding
// errors. The output is then the same at any thread count, and the first
// failure in stream order is the one reported, as in a serial run.
//
// Work must not depend on the working directory (the directory walk moves
// it): it gets open descriptors or absolute paths. The one exception is the
// restore from the store (-o), whose work creates its files by the names a
// listing or an archive gives, relative to the working directory: it reads
// no walk, so nothing moves that directory while it runs. A failure in work
// (a FatalError or any exception) is kept with its item and rethrown when
// the item's turn comes; items after it are never consumed, and whatever
// they own (temporary files) goes when the pipeline is destroyed, newest
// first.
//
// Most jobs gather small files into groups and use run_grouped (below):
// they write three functions (make an entry, work on a group, decide an
// entry) and the helper does the rest.
#pragma once

#include "util/hashgroup.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <utility>
#include <vector>

class Pipeline {
public:
    // threads <= 1 runs every item at once on the calling thread. Otherwise
    // up to threads - 1 workers run beside the calling thread, which helps
    // with pending work whenever it waits. Workers start only as pending
    // work grows, on small stacks; a worker that can not be had leaves the
    // run to fewer threads, which give the same results. Threads and window
    // are sized to the descriptors the process has left (an item's place
    // may hold an input and a temporary file, a worker one file of its
    // own), and threads to a limit on the address space.
    explicit Pipeline(int threads);
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;
    ~Pipeline();

    // Runs the calling thread's own part, the enumeration that submits the
    // items, then consumes every item. When the enumeration fails, the
    // items submitted before the failure are consumed first (an earlier
    // failure among them wins), as a serial run would have reported them
    // before it met this one.
    template <class F>
    void run(F&& enumeration) {
        try {
            enumeration();
        } catch (...) {
            if (stopped_) throw;
            const std::exception_ptr e = std::current_exception();
            finish();
            std::rethrow_exception(e);
        }
        finish();
    }
    // Submits one item. bytes is what its buffers may hold at most, counted
    // against the budget, and places what it takes of the window (an item
    // that holds several open files takes one place for each); submit first
    // consumes the oldest items while the window or the budget is full.
    // Once a failure has been rethrown, nothing more is run or decided: the
    // item is dropped, and what it holds goes at once. weight is how long
    // the work takes, roughly (the bytes it reads): a worker takes the
    // heaviest pending item first, so that the run does not end on one
    // thread with a large file while the others are idle; the calling
    // thread, when it helps, takes the oldest, whose decision is next.
    void submit(std::function<void()> work, std::function<void()> done, std::size_t bytes = 0,
                std::size_t places = 1, std::size_t weight = 0);
    // Submits an item without a heavy part: done runs in its turn, after
    // every earlier item, at once when nothing is in flight. It takes no
    // place in the window: a slow item ahead of many such items does not
    // hold up the calling thread, until QUEUE_MAX items wait in all.
    void submit_done(std::function<void()> done);
    // How many open files one item may hold (one place each) so that every
    // thread still finds work in the window; at most most.
    std::size_t group_size(std::size_t most = 16) const {
        return std::clamp<std::size_t>(window_ / (2 * std::size_t(threads_)), 1, most);
    }
    // Places in the window: the open files all items in flight may hold.
    std::size_t window() const { return window_; }

    // Bytes the items in flight may hold at most (the window bounds how
    // many there are).
    static constexpr std::size_t BUDGET = 64u << 20;
    // Items in flight at most, with or without a heavy part: what the items
    // hold stays bounded.
    static constexpr std::size_t QUEUE_MAX = 4096;
    // Pending items that wake a sleeping worker, or start one.
    static constexpr std::size_t WAKE_BATCH = 4;
    // An item of this many bytes or more wakes a worker on its own.
    static constexpr std::size_t WAKE_BYTES = 64u << 10;
    // Address space a thread may come to use (its stack, buffers, a share
    // of the allocator's arenas): under a limit on it, no more threads
    // than the limit holds.
    static constexpr std::size_t THREAD_MEMORY = 16u << 20;
    // Descriptors kept back from the window for what else a job holds open:
    // the directories of two walks, the archive, the listing, the manifest.
    static constexpr std::size_t FD_RESERVE = 40;
    // A worker's stack: its deepest calls (a 64 KiB read buffer, zlib and
    // libdeflate, an exception thrown through them) need far less; a
    // sanitizer's frames need more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    static constexpr std::size_t WORKER_STACK = 4u << 20;
#else
    static constexpr std::size_t WORKER_STACK = 256u << 10;
#endif

private:
    // Consumes every item submitted so far.
    void finish();
    struct Item {
        std::function<void()> work{};  // cleared by the thread that runs it
        std::function<void()> done{};
        std::exception_ptr error{};  // work's failure, written before ready
        std::size_t bytes = 0;
        bool ready = false;  // work is over; under mu_
        std::size_t places = 1;  // taken in the window
        std::size_t weight = 0;
    };
    void consume_oldest();
    // Rethrows the item's failure or runs its decision; either way a
    // failure stops the run.
    void decide(Item& it);
    void work_on(Item& it);
    // Runs the oldest pending item, or the heaviest; called, and returns,
    // with the lock held.
    void run_pending(std::unique_lock<std::mutex>& lock, bool heaviest);
    void worker();
    static void* worker_main(void* self);
    // Starts one more worker; false when no thread can be had.
    bool start_worker();

    // Set by the constructor, read by every thread.
    int threads_;
    std::size_t window_;
    // The calling thread's own: what is in flight, in order.
    std::size_t in_flight_bytes_ = 0;
    std::size_t counted_ = 0;  // places taken by the items in flight
    std::deque<std::shared_ptr<Item>> items_;  // submitted, not consumed, in order
    // A failure was rethrown (an item's work or decision, in its turn):
    // nothing after it is consumed, and nothing more is submitted.
    bool stopped_ = false;
    std::vector<pthread_t> workers_;  // started and joined by the calling thread
    bool no_more_workers_ = false;  // starting one failed: the run goes on with those it has
    // Shared under mu_.
    std::mutex mu_;
    std::deque<std::shared_ptr<Item>> pending_;  // not started yet
    std::condition_variable work_cv_;  // pending work or stop
    std::condition_variable done_cv_;  // an item is ready
    bool stop_ = false;  // the pipeline is going: workers return
    std::size_t idle_ = 0;  // workers waiting for work
};

// What one entry of a grouped job costs while it is in flight: the bytes
// its buffers may hold at most, and the files it holds open (places in the
// window). A group takes one place at least.
struct Cost {
    std::size_t bytes = 0;
    std::size_t places = 0;
};
// What an entry costs unless its job says otherwise: one input held open,
// read whole (a larger one goes alone, Gathering::add_alone).
inline constexpr Cost ONE_FILE{GROUP_FILE_MAX, 1};

// A group of consecutive entries, one pipeline item, and where its work
// stopped: the first entry whose work failed, and its failure, rethrown
// after the entries before it are decided. (A job that judges a failure
// itself, as -c and -V, keeps it in a field of its own.) It is taken apart
// newest first, as the pipeline takes apart its items: a later entry's
// temporary file may sit in a directory made for an earlier one.
template <class Entry>
struct EntryGroup {
    std::vector<Entry> entries;
    std::size_t failed_at = SIZE_MAX;
    std::exception_ptr failure;
    EntryGroup() = default;
    EntryGroup(const EntryGroup&) = delete;
    EntryGroup& operator=(const EntryGroup&) = delete;
    ~EntryGroup() {
        while (!entries.empty()) entries.pop_back();
    }
    // Work on e failed: the group stops there, unless an earlier entry's
    // work failed already.
    void fail(const Entry& e, std::exception_ptr f) {
        const std::size_t at = std::size_t(&e - entries.data());
        if (at >= failed_at) return;
        failed_at = at;
        failure = std::move(f);
    }
    // Whether the group stops at e or before it: e is never decided.
    bool stopped(const Entry& e) const { return std::size_t(&e - entries.data()) >= failed_at; }
};

// The functions of a grouped job.
template <class Entry>
struct GroupedJob {
    std::function<void(EntryGroup<Entry>&)> work;  // on a worker, a group at a time
    std::function<void(Entry&)> decide;            // on the calling thread, in order
    std::function<Cost(const Entry&)> cost = [](const Entry&) { return ONE_FILE; };  // on the calling thread
};

// What a grouped job's gather function is handed, on the calling thread.
template <class Entry>
class Gathering {
public:
    Gathering(Pipeline& p, std::size_t most, GroupedJob<Entry> job)
        : p_(p), most_(std::max<std::size_t>(most, 1)), job_(std::make_shared<const GroupedJob<Entry>>(std::move(job))) {
        fresh();
    }
    // An entry joins the group once it is set up: one that fails before
    // goes on its own, and takes with it what it made. A full group goes
    // to a worker.
    void add(Entry&& e) {
        if (weight_) cut();  // the group holds a large file: this entry starts another
        const Cost c = job_->cost(e);
        group_->entries.push_back(std::move(e));
        bytes_ += c.bytes;
        places_ += c.places;
        if (group_->entries.size() >= most_) cut();
    }
    // Adds an entry in a group of its own, for one that reads a large file
    // of size bytes (its weight, Pipeline::submit): grouped with others, it
    // would keep one thread busy while the rest wait at the end of the run.
    // The group goes at the next add or cut, so that a last large file is
    // submitted after what the enumeration does at its end.
    void add_alone(Entry&& e, std::size_t size) {
        cut();
        weight_ = size;
        add(std::move(e));
    }
    // Submits the group gathered so far, if any.
    void cut() {
        if (group_->entries.empty()) return;
        // A new group first: a failure that submit reports (an earlier
        // group's, or at one thread this one's own) must not leave this
        // group to be submitted again.
        std::shared_ptr<EntryGroup<Entry>> g = std::move(group_);
        const Cost c{bytes_, std::max<std::size_t>(places_, 1)};
        const std::size_t weight = weight_;
        fresh();
        auto job = job_;
        p_.submit([g, job] { job->work(*g); },
                  [g, job] {
            for (std::size_t i = 0; i < g->entries.size(); ++i) {
                if (i == g->failed_at) std::rethrow_exception(g->failure);
                job->decide(g->entries[i]);
            }
        },
                  c.bytes, c.places, weight);
    }
    // Cuts, then runs done in its turn: a decision without a heavy part.
    void then(std::function<void()> done) {
        cut();
        p_.submit_done(std::move(done));
    }
    // The entries gathered since the last cut.
    const std::vector<Entry>& group() const { return group_->entries; }

private:
    void fresh() {
        group_ = std::make_shared<EntryGroup<Entry>>();
        group_->entries.reserve(most_);
        bytes_ = 0;
        places_ = 0;
        weight_ = 0;
    }
    Pipeline& p_;
    std::size_t most_;
    std::shared_ptr<const GroupedJob<Entry>> job_;  // shared with the items: a worker may outlive this
    std::shared_ptr<EntryGroup<Entry>> group_;
    std::size_t bytes_ = 0;
    std::size_t places_ = 0;
    std::size_t weight_ = 0;  // of the group's work: not 0 only for a large file's own group
};

// Runs a grouped job on p: gather(Gathering<Entry>&) enumerates on the
// calling thread and adds each entry; groups of up to `most` entries go to
// job.work on the workers; job.decide runs for each entry in order, up to
// where the group's work stopped, whose failure is then rethrown (a failure
// that escapes work itself comes in the group's turn, before its first
// entry). When gather fails, the group gathered so far goes first and every
// entry before the failure is decided before it, as a serial run would have
// met them; the first failure in order wins.
template <class Entry, class Gather>
void run_grouped(Pipeline& p, std::size_t most, Gather&& gather, GroupedJob<Entry> job) {
    Gathering<Entry> g(p, most, std::move(job));
    p.run([&] {
        try {
            gather(g);
        } catch (...) {
            g.cut();
            throw;
        }
        g.cut();
    });
}
