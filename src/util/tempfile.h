// Publishing a file by rename: the one owner of a file being written.
//
// A file is written under a temporary name in the directory of its final
// path and renamed onto that path only once it is complete, so a reader
// sees the old file or the whole new one, never a part. The temporary file
// stays on the target's own file system because a rename is atomic only
// within one; it sits beside the final name, or in the nearest directory
// above it where its name fits within the path limit. Until commit the
// final path keeps whatever it held; an uncommitted temporary file is
// removed by the destructor, and by the signal handler when a run is
// interrupted (SIGKILL can not be caught: a killed run may leave a hidden
// ".mdtree-XXXXXXXXXX" file, which never carries a final name).
//
// Durability: a power cut or system crash at any moment leaves every final
// name holding its old content or its whole new content, never an empty or
// partial file; once a run has exited 0, everything it reported is on the
// disk. The data of a file reaches the disk before the rename that names
// it: a commit waits for it (one syncfs of the file system serves every
// file closed before it, so a batch of files costs one wait, and writes
// them in large merged writes); sync_published() makes the renames
// themselves durable before the run reports success. On tmpfs and ramfs
// there is no disk and nothing is flushed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <unordered_set>
#include <vector>

struct DurableFs;

class TempFile {
public:
    // Creates a hidden temporary file for final_path, making the missing
    // directories above it. Fatal "can not read <final_path>" when it can not
    // be created.
    explicit TempFile(std::string final_path);
    // The same with the temporary file in temp_dir, a directory that exists
    // on the final path's file system, whose missing directories are not
    // made: for a file whose own directory is made only when it is
    // published (commit_closed_as).
    struct In {
        std::string dir;
    };
    TempFile(std::string final_path, In temp_dir);
    // The same under a fixed temporary name (the administration file's
    // "<path>.tmp"): a leftover of a killed run, or a link planted under that
    // name, is replaced, never written through.
    TempFile(std::string final_path, std::string fixed_temp);
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();

    // A stream on the file, made on first use: the many files written in
    // whole blocks through fd() never pay for one.
    std::FILE* get();
    int fd() const { return fd_; }
    const std::string& final_path() const { return final_; }
    const std::string& temp_path() const { return temp_; }
    // Checks that every write reached the file, flushes its data to the
    // disk, closes it and renames it onto the final path. Fatal on any
    // failure (the temporary file goes).
    void commit();
    // Checks the writes and closes the file without publishing it (on a
    // worker; the commit waits for the data, which on a network file
    // system is flushed here, file by file).
    void close();
    // Closes a file whose content is not written through it (it is about to
    // be replaced by a link to a file already there): nothing to flush.
    void close_unwritten();
    // Publishes a file already closed with close(), once its data is on
    // the disk.
    void commit_closed();
    // A file whose modification time must say when it was published, not
    // when it was written (a store object: its time keeps a prune from
    // taking it). One published more than FRESH_SECONDS after it was
    // closed (its run paused, say) is given the time of its publication.
    void keep_time_fresh() { fresh_time_ = true; }
    static constexpr double FRESH_SECONDS = 1;
    // Publishes a file already closed under another final path on the same
    // file system, creating its missing directories: for a content whose
    // name is known only once it has been written and hashed.
    void commit_closed_as(std::string final_path);
    // Further tries of that rename on a network file system while it says
    // a directory is missing, 10 ms apart and doubling (310 ms in all).
    static constexpr int NETWORK_RENAME_RETRIES = 5;
    // A commit of this closed file would not wait for the disk: there is
    // none (tmpfs), or its data is there already (flushed on its own, or by
    // a flush of its file system that started after it was closed).
    bool ready_to_publish() const;
    // The file system whose flush this closed file waits for (null when
    // ready_to_publish).
    DurableFs* flush_awaited() const { return ready_to_publish() ? nullptr : fs_; }
    // It lives on a file system whose disk lies behind a server.
    bool on_network_fs() const;

private:
    void open_unique(const std::string& dir, bool make_dirs);
    void open_fixed();
    // The file system of the file just created in dir ("" for none known).
    void find_fs(const std::string& dir);
    // Waits until the data is on the disk, then renames; false (errno set)
    // when the rename fails.
    bool try_rename();
    // Marks it renamed onto final_.
    void published();
    int fd_ = -1;
    std::FILE* fp_ = nullptr;  // on fd_, once get() was called
    std::string final_;
    std::string temp_;
    int slot_ = -1;  // in the table the signal handler cleans
    bool done_ = false;
    DurableFs* fs_ = nullptr;  // the file system it lives on
    uint64_t closed_at_ = 0;   // that file system's flush epoch when the data was complete
    bool synced_ = false;      // its data is on the disk already, or there is none to wait for
    bool fresh_time_ = false;
    double closed_mono_ = 0;  // the monotonic clock when it was closed
};

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
    void flush();
    // Flushes when a file queued would stand at a leading directory of path.
    void flush_if_pending_on_the_way(const std::string& path);
    static constexpr std::size_t MAX_FILES = 4096;
    static constexpr uint64_t MAX_BYTES = 256u << 20;
    static constexpr double MAX_SECONDS = 2;
    // On a network file system, where each rename is a round trip to the
    // server, files ready to publish are renamed side by side in groups of
    // this many, then reported in order.
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
    bool queue_ready_ = true;  // no file queued waits for a flush
    double queued_at_ = 0;     // when the first file queued came (monotonic seconds)
    double sealed_at_ = 0;     // when the files set aside were
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

// Starts writing len bytes of the file open on fd from offset to the disk,
// without waiting: a long file written piece by piece is then mostly on the
// disk by the time its commit flushes it.
void start_writeback(int fd, uint64_t offset, uint64_t len);

// Records that the run changed names in the directory at path by other
// means than a commit (a rename into a backup, a removal), so that
// sync_published() makes the change durable.
void note_changed(const std::string& path);
// Makes every rename and change of the run durable: one syncfs of each file
// system it published on. Fatal when the file system reports a write error.
void sync_published();

// Installs the handler that removes the temporary files in flight when a
// signal that ends the process arrives (INT, TERM, HUP, PIPE, QUIT, ALRM,
// USR1, USR2, VTALRM, PROF), then ends the process by that signal. A write
// past the file size limit fails as a write error instead of ending the run
// by SIGXFSZ, so its cleanup is the ordinary one.
void install_signal_cleanup();

// The hidden names of temporary files: ".mdtree-" and ten letters and
// digits. A store's maintenance jobs tell a run's files in flight, or a
// killed run's leftovers, by this name. The first five characters name the
// run (the same for every temporary file of a process), the other five the
// file.
bool is_temp_name(std::string_view name);
// A fresh such name in dir (empty, or ending in '/'), for a file that is
// renamed there rather than created.
std::string temp_name(std::string_view dir);

// A run's lease on its temporary files in one directory (a store's root):
// the file ".mdtree-" + run + "LEASE" there, locked (fcntl) for as long as
// the process lives, paused or not. Locks of fcntl reach across machines on
// NFS, CIFS, CephFS and GlusterFS; a file system that refuses the lock gets
// no lease, and the run's files are judged by their age as before. The file
// goes when the lease is destroyed or the run is interrupted (the signal
// handler removes it with the temporary files).
class RunLease {
public:
    explicit RunLease(const std::string& dir);
    RunLease(const RunLease&) = delete;
    RunLease& operator=(const RunLease&) = delete;
    ~RunLease();

private:
    int fd_ = -1;
    std::string path_;
    int slot_ = -1;
};
// A lease's name: a temporary name whose file part is "LEASE" (never made
// for a file: those are lowercase).
bool is_lease_name(std::string_view name);
// What the lease of the run that made the temporary entry called name in
// dir (ending in '/') says of that run.
enum class RunState {
    unknown,  // no lease (an older run, or a file system without locks)
    live,     // locked: the run is alive, maybe paused, maybe on another machine
    dead,     // unlocked: the run ended without removing its files
};
RunState run_state(std::string_view dir, std::string_view name);
