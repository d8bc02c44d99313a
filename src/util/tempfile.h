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
// Durability, the promise every commit keeps: util/durable.h.
#pragma once

#include "util/durable.h"
#include "util/guard.h"

#include <cstdint>
#include <fcntl.h>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/types.h>

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
    // The same, with the temporary file made in dir (final_path's own
    // directory, or temp_dir's, opened by DirGuard::parent or open_root),
    // which it holds until it is gone: its creation, rename and removal go
    // through dir, so a directory swapped for a link meanwhile can not
    // carry them elsewhere. Nothing is made: dir exists.
    TempFile(std::string final_path, DirRef dir);
    TempFile(std::string final_path, In temp_dir, DirRef dir);
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
    // The same into final_dir, final_path's directory opened by
    // DirGuard::parent (nothing is made; null: by path, as above). On a
    // network file system, where the directory's handle may be stale or
    // name no directory yet (another machine made it at the same moment),
    // anew opens it again for each further try, as a lookup by path would.
    void commit_closed_as(std::string final_path, DirRef final_dir, const std::function<DirRef()>& anew = {});
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
    // Where a call on the temporary file and on the final name goes: a
    // directory descriptor and the last component, or the whole path.
    int temp_at() const { return dir_ ? dir_->get() : AT_FDCWD; }
    const char* temp_name_at() const { return dir_ ? temp_.c_str() + temp_leaf_ : temp_.c_str(); }
    int final_at() const { return final_dir_ ? final_dir_->get() : AT_FDCWD; }
    const char* final_name_at() const;
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
    DirRef dir_;              // the temporary file's directory, when it goes by descriptor
    std::size_t temp_leaf_ = 0;  // where its last component starts in temp_
    DirRef final_dir_;           // the final name's directory, the same way
};

// The monotonic clock, in seconds.
double monotonic_seconds();
