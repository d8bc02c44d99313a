// Parallel work, serial decisions. The calling thread submits items in
// stream order; the heavy part of each item (read, hash, copy into a
// temporary file, compress, inflate) runs on a worker; the item's `done`
// part runs back on the calling thread, strictly in submission order, and
// does everything visible: printing, renaming onto final names, deciding
// errors. The output is then the same at any thread count, and the first
// failure in stream order is the one reported, as in a serial run.
//
// Work must not depend on the working directory (the directory walk moves
// it): it gets open descriptors or absolute paths. A failure in work (a
// FatalError or any exception) is kept with its item and rethrown when the
// item's turn comes; items after it are never consumed, and whatever they
// own (temporary files) goes when the pipeline is destroyed, newest first.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <pthread.h>
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

    // Submits one item. bytes is what its buffers may hold at most, counted
    // against the budget, and places what it takes of the window (an item
    // that holds several open files takes one place for each); submit first
    // consumes the oldest items while the window or the budget is full.
    void submit(std::function<void()> work, std::function<void()> done, std::size_t bytes = 0,
                std::size_t places = 1);
    // How many open files one item may hold (one place each) so that every
    // thread still finds work in the window; at most most.
    std::size_t group_size(std::size_t most = 16) const {
        return std::clamp<std::size_t>(window_ / (2 * std::size_t(threads_)), 1, most);
    }
    // Submits the group of files that g holds as one item, work(group) on
    // a worker and done(group) in its turn, and leaves a new empty group in
    // g first: a failure that submit reports (an earlier item's, or at one
    // thread this group's own) must not leave the group there to be
    // submitted again. places: the files it holds open.
    template <class Group, class Work, class Done>
    void submit_group(std::shared_ptr<Group>& g, Work work, Done done, std::size_t bytes, std::size_t places) {
        const std::shared_ptr<Group> full = std::move(g);
        g = std::make_shared<Group>();
        submit([full, work] { work(*full); }, [full, done] { done(*full); }, bytes, places);
    }
    // For a job that gathers its items into groups: runs gather, which
    // submits each full group, then flush for the group left, also when
    // gather fails, so that the files met before a failure are consumed
    // before it, as a serial run would have met them.
    template <class Gather, class Flush>
    static void gather_groups(Gather&& gather, Flush&& flush) {
        try {
            gather();
        } catch (...) {
            flush();
            throw;
        }
        flush();
    }
    // Submits an item without a heavy part: done runs in its turn, after
    // every earlier item, at once when nothing is in flight. It takes no
    // place in the window: a slow item ahead of many such items does not
    // hold up the calling thread, until QUEUE_MAX items wait in all.
    void submit_done(std::function<void()> done);
    // Consumes every item submitted so far.
    void finish();
    // Runs the calling thread's own part, the enumeration that submits the
    // items. When it fails, the items submitted before the failure are
    // consumed first (an earlier failure among them wins), as a serial run
    // would have reported them before it met this one.
    template <class F>
    void enumerate(F&& f) {
        try {
            f();
        } catch (...) {
            if (failed_) throw;
            const std::exception_ptr e = std::current_exception();
            finish();
            std::rethrow_exception(e);
        }
    }
    // Items in flight at most, and bytes they may hold.
    static constexpr std::size_t BUDGET = 64u << 20;
    // Items in flight at most, with or without a heavy part: what the items
    // hold stays bounded.
    static constexpr std::size_t QUEUE_MAX = 4096;
    // Pending items that wake a sleeping worker, or start one.
    static constexpr std::size_t WAKE_BATCH = 4;
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
    struct Item {
        std::function<void()> work;
        std::function<void()> done;
        std::exception_ptr error;
        std::size_t bytes = 0;
        bool ready = false;
        std::size_t places = 1;  // taken in the window
    };
    void consume_oldest();
    void run(Item& it);
    // Runs the oldest pending item; called, and returns, with the lock held.
    void run_pending(std::unique_lock<std::mutex>& lock);
    void worker();
    static void* worker_main(void* self);
    // Starts one more worker; false when no thread can be had.
    bool start_worker();

    int threads_;
    std::size_t window_;
    std::size_t in_flight_bytes_ = 0;
    std::size_t counted_ = 0;  // places taken by the items in flight
    std::deque<std::shared_ptr<Item>> items_;    // submitted, not consumed, in order
    std::deque<std::shared_ptr<Item>> pending_;  // not started yet
    std::mutex mu_;
    std::condition_variable work_cv_;  // pending work or stop
    std::condition_variable done_cv_;  // an item is ready
    bool stop_ = false;
    bool failed_ = false;  // an item failed: nothing after it is consumed
    std::size_t idle_ = 0;  // workers waiting for work
    bool no_more_workers_ = false;  // starting one failed: the run goes on with those it has
    std::vector<pthread_t> workers_;
};
