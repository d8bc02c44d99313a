#include "util/pipeline.h"

#include <algorithm>
#include <pthread.h>
#include <sys/resource.h>

#include "util/cleanup.h"
#include "util/limits.h"

Pipeline::Pipeline(int threads) : threads_(threads < 1 ? 1 : threads) {
    // Enough items in flight that one slow item at the head (a large file)
    // does not leave the other threads idle behind it; no more than the
    // descriptors left can hold. The byte budget bounds their buffers.
    window_ = std::min<std::size_t>(std::max<std::size_t>(std::size_t(threads_) * 4, 64), 128);
    const std::size_t left = descriptors_free();
    const std::size_t usable = left > FD_RESERVE ? left - FD_RESERVE : 0;
    threads_ = int(std::clamp<std::size_t>(usable / 4, 1, std::size_t(threads_)));
    struct rlimit as;
    if (::getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY)
        threads_ = int(std::clamp<std::size_t>(std::size_t(as.rlim_cur) / THREAD_MEMORY, 1, std::size_t(threads_)));
    window_ = std::clamp<std::size_t>((usable - std::min<std::size_t>(usable, std::size_t(threads_))) / 2, 1, window_);
    workers_.reserve(std::size_t(threads_));
}

bool Pipeline::start_worker() {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setstacksize(&attr, WORKER_STACK);
    // Workers take no signals: the handler that removes temporary files then
    // runs on the calling thread, never in the middle of a worker's work.
    const SignalsBlocked quiet;
    pthread_t t;
    const bool ok = pthread_create(&t, &attr, worker_main, this) == 0;
    pthread_attr_destroy(&attr);
    if (!ok) return false;
    workers_.push_back(t);  // reserved: never throws
    return true;
}

void* Pipeline::worker_main(void* self) {
    static_cast<Pipeline*>(self)->worker();
    return nullptr;
}

Pipeline::~Pipeline() {
    {
        std::lock_guard lock(mu_);
        stop_ = true;
        pending_.clear();
    }
    work_cv_.notify_all();
    for (const pthread_t t : workers_) pthread_join(t, nullptr);
    // Newest first: a later item's temporary file may sit in a directory
    // that an earlier item made.
    while (!items_.empty()) items_.pop_back();
}

void Pipeline::work_on(Item& it) {
    try {
        it.work();
    } catch (...) {
        it.error = std::current_exception();
    }
    // The heavy part is over: what it captured is no longer needed to run.
    it.work = nullptr;
}

void Pipeline::decide(Item& it) {
    try {
        if (it.error) std::rethrow_exception(it.error);
        it.done();
    } catch (...) {
        stopped_ = true;
        throw;
    }
}

void Pipeline::run_pending(std::unique_lock<std::mutex>& lock, bool heaviest) {
    auto at = pending_.begin();
    if (heaviest)
        at = std::max_element(pending_.begin(), pending_.end(),
                              [](const auto& a, const auto& b) { return a->weight < b->weight; });
    std::shared_ptr<Item> it = std::move(*at);
    pending_.erase(at);
    lock.unlock();
    work_on(*it);
    lock.lock();
    it->ready = true;
    done_cv_.notify_all();
}

void Pipeline::worker() {
    std::unique_lock lock(mu_);
    for (;;) {
        ++idle_;
        work_cv_.wait(lock, [this] { return stop_ || !pending_.empty(); });
        --idle_;
        if (stop_) return;
        run_pending(lock, true);
    }
}

void Pipeline::consume_oldest() {
    std::shared_ptr<Item> it = items_.front();
    {
        std::unique_lock lock(mu_);
        while (!it->ready) {
            // Help instead of idling: run pending work, the oldest first.
            if (!pending_.empty()) {
                run_pending(lock, false);
                continue;
            }
            done_cv_.wait(lock);
        }
    }
    items_.pop_front();
    in_flight_bytes_ -= it->bytes;
    counted_ -= it->places;
    decide(*it);
}

void Pipeline::submit(std::function<void()> work, std::function<void()> done, std::size_t bytes, std::size_t places,
                      std::size_t weight) {
    if (stopped_) return;
    if (threads_ <= 1) {
        Item it{.work = std::move(work), .done = std::move(done)};
        work_on(it);
        decide(it);
        return;
    }
    while (!items_.empty() &&
           (counted_ + places > window_ || in_flight_bytes_ + bytes > BUDGET || items_.size() >= QUEUE_MAX))
        consume_oldest();
    counted_ += places;
    auto it = std::make_shared<Item>(
        Item{.work = std::move(work), .done = std::move(done), .bytes = bytes, .places = places, .weight = weight});
    items_.push_back(it);
    in_flight_bytes_ += bytes;
    bool wake, grow;
    {
        std::lock_guard lock(mu_);
        pending_.push_back(it);
        // Waking a sleeping worker costs more than a tiny item's work: wake
        // one only once a few items wait, or for one that holds real work;
        // with none asleep, start one. The calling thread runs what is left
        // whenever it waits.
        const bool want = pending_.size() >= WAKE_BATCH || bytes >= WAKE_BYTES;
        wake = want && idle_ > 0;
        grow = want && idle_ == 0 && !no_more_workers_ && workers_.size() + 1 < std::size_t(threads_);
    }
    if (wake) work_cv_.notify_one();
    if (grow && !start_worker()) no_more_workers_ = true;
}

void Pipeline::submit_done(std::function<void()> done) {
    if (stopped_) return;
    while (items_.size() >= QUEUE_MAX) consume_oldest();
    if (items_.empty()) {
        Item it{.done = std::move(done)};
        decide(it);
        return;
    }
    items_.push_back(std::make_shared<Item>(Item{.done = std::move(done), .ready = true, .places = 0}));
}

void Pipeline::finish() {
    if (stopped_) return;
    while (!items_.empty()) consume_oldest();
}
