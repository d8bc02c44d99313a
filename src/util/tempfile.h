// Publishing a file by rename: the one owner of a file being written.
//
// A file is written under a temporary name in the directory of its final
// path and renamed onto that path only once it is complete, so a reader
// sees the old file or the whole new one, never a part. The temporary file
// stays in the target's own directory because a rename is atomic only
// within one file system. Until commit the final path keeps whatever it
// held; an uncommitted temporary file is removed by the destructor, and by
// the handler of SIGINT, SIGTERM and SIGHUP when a run is interrupted
// (SIGKILL can not be caught: a killed run may leave a hidden
// ".mdtree-XXXXXXXXXX" file, which never carries a final name).
//
// Durability: nothing is flushed to the disk (no fsync). A killed process
// leaves old or complete files; a power cut may lose what the last seconds
// wrote.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

class TempFile {
public:
    // Creates a hidden temporary file beside final_path, making the missing
    // directories above it. Fatal "can not read <final_path>" when it can not
    // be created.
    explicit TempFile(std::string final_path);
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
    // Checks that every write reached the file, closes it and renames it
    // onto the final path. Fatal on any failure (the temporary file goes).
    void commit();
    // Checks the writes and closes the file without publishing it.
    void close();
    // Publishes a file already closed with close().
    void commit_closed();
    // Publishes a file already closed under another final path on the same
    // file system, creating its missing directories: for a content whose
    // name is known only once it has been written and hashed.
    void commit_closed_as(std::string final_path);

private:
    void open_fixed();
    int fd_ = -1;
    std::FILE* fp_ = nullptr;  // on fd_, once get() was called
    std::string final_;
    std::string temp_;
    int slot_ = -1;  // in the table the signal handler cleans
    bool done_ = false;
};

// Installs the handler that removes the temporary files in flight when
// SIGINT, SIGTERM or SIGHUP arrives, then ends the process by that signal.
void install_signal_cleanup();

// The hidden names of temporary files: ".mdtree-" and ten letters and
// digits. A store's maintenance jobs tell a run's files in flight, or a
// killed run's leftovers, by this name.
bool is_temp_name(std::string_view name);
// A fresh such name in dir (empty, or ending in '/'), for a file that is
// renamed there rather than created.
std::string temp_name(std::string_view dir);
