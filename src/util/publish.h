// Publishing files in batches: many files' data reaches the disk with one
// wait before their renames (util/durable.h states the promise).
#pragma once

#include "util/tempfile.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

// Files complete and closed, published together: their data reaches the
// disk with one wait, then they are renamed in the order they were added
// and each one's `then` runs (it prints the line that reports the file).
// Bounded in files, bytes and time: a file waits MAX_SECONDS at most in the
// queue and as much again set aside (counted when the next file comes: a
// run that finds its files slowly publishes them within moments). A full
// batch is set aside while a thread of
// its own flushes its file systems, so the workers go on with the next
// batch meanwhile; it is published when the next one is full, or by
// flush(), which publishes everything queued. A file that has nothing to
// wait for (tmpfs, or data flushed already) and nobody ahead of it is
// published at once. Files still queued when the batch is destroyed are
// removed, as uncommitted files are.
class PublishBatch {
public:
    // track_names: flush_if_pending_on_the_way is used, so the final names
    // queued are kept. rename_threads: how many renames may run at once on
    // a network file system (the job's thread count). max_files: the files
    // of a full batch.
    explicit PublishBatch(bool track_names = false, int rename_threads = 1, std::size_t max_files = MAX_FILES)
        : track_(track_names), rename_threads_(rename_threads), max_files_(max_files) {}
    PublishBatch(const PublishBatch&) = delete;
    PublishBatch& operator=(const PublishBatch&) = delete;
    ~PublishBatch();
    // Queues f (closed) to be renamed onto as, or onto its own final path
    // when as is empty.
    void add(std::unique_ptr<TempFile> f, uint64_t bytes, std::function<void()> then, std::string as = {});
    // A file renamed onto another name goes into the directory dir_of gives
    // for that name (DirGuard::parent), asked at the rename: a queue of
    // files holds no directory open, and a directory swapped for a link
    // while they waited is not followed. With anew, the directory is opened
    // again, not taken from those held (a network file system's stale
    // handle); only that call may come from another thread.
    using DirOf = std::function<DirRef(const std::string& as, bool anew)>;
    void resolve_dirs(DirOf dir_of) { dir_of_ = std::move(dir_of); }
    void flush();
    // Flushes when a file queued would stand at a leading directory of path.
    void flush_if_pending_on_the_way(const std::string& path);
    static constexpr std::size_t MAX_FILES = 4096;
    static constexpr uint64_t MAX_BYTES = 256u << 20;
    static constexpr double MAX_SECONDS = 2;
    // On a network file system, where each rename is a round trip to the
    // server, files ready to publish are renamed side by side in groups of
    // this many, then reported in order; a group goes sooner once its
    // first file has waited half of TempFile::FRESH_SECONDS, so that a store
    // object is seldom late enough to need its time set again (a call more
    // per file to the server).
    static constexpr std::size_t RENAME_GROUP = 256;

private:
    struct Pending {
        std::unique_ptr<TempFile> file;
        std::string as;
        std::function<void()> then;
    };
    using Queue = std::vector<Pending>;
    // Publishes the files set aside, then sets the queue aside and starts
    // the flush it waits for.
    void seal();
    // Waits for the flush of the files set aside and publishes them.
    void publish_sealed();
    // Renames q's files in order and runs their `then`; on a failure, the
    // files published leave q and the rest stay to be removed.
    void publish(Queue& q);
    // The same with the renames side by side: on a failure, the files after
    // the one that failed may be published, but are not reported.
    void publish_side_by_side(Queue& q);
    Queue queue_;
    Queue sealed_;  // set aside, their flush running on flusher_
    std::thread flusher_;
    std::exception_ptr flush_error_;  // the flusher's failure, read once it is joined
    uint64_t bytes_ = 0;
    bool track_;
    int rename_threads_;
    std::size_t max_files_;
    DirOf dir_of_;
    // Publishes f onto as, or onto its own final path when as is empty; into
    // dir when given, else dir_of_'s answer.
    void rename_closed(TempFile& f, std::string& as, DirRef dir = {});
    bool queue_ready_ = true;                       // no file queued waits for a flush
    double queued_at_ = 0;                          // when the first file queued came (monotonic seconds)
    double sealed_at_ = 0;                          // when the files set aside were
    std::unordered_set<std::string> names_;         // the final names queued, when tracked
    std::unordered_set<std::string> sealed_names_;  // the same for the files set aside
};

// Runs f, then publishes what the batch holds, also when f fails: the files
// met before a failure are published before it is reported, as a run that
// published each file at once would have left them.
template <class F>
void publishing(PublishBatch& batch, F&& f) {
    try {
        f();
    } catch (...) {
        batch.flush();
        throw;
    }
    batch.flush();
}
