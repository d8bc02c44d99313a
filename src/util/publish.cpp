#include "util/publish.h"

#include "util/cleanup.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <utility>

void PublishBatch::rename_closed(TempFile& f, std::string& as, DirRef dir) {
    if (as.empty()) return f.commit_closed();
    if (!dir_of_) return f.commit_closed_as(std::move(as), std::move(dir));
    if (!dir) dir = dir_of_(as, false);
    const std::string name = as;
    f.commit_closed_as(std::move(as), std::move(dir), [this, &name] { return dir_of_(name, true); });
}

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
    } else if (side_by_side && queue_ready_ &&
               (queue_.size() >= RENAME_GROUP || now - queued_at_ >= TempFile::FRESH_SECONDS / 2)) {
        flush();
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
    // The directories are asked for first, in order: dir_of_ is the
    // calling thread's. A failure there ends the queue at that file, as a
    // failed rename does; the files after it are not renamed.
    std::vector<DirRef> dirs(q.size());
    std::size_t end = 0;
    for (; end < q.size(); ++end) {
        if (!dir_of_ || q[end].as.empty()) continue;
        try {
            dirs[end] = dir_of_(q[end].as, false);
        } catch (...) {
            errors[end] = std::current_exception();
            break;
        }
    }
    std::atomic<std::size_t> next{0};
    auto rename_some = [this, &q, &dirs, &errors, &next, end] {
        for (std::size_t i; (i = next.fetch_add(1)) < end;) {
            try {
                rename_closed(*q[i].file, q[i].as, std::move(dirs[i]));
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
