// Opening, creating and copying files. Every handle has one owner, every
// read, write and close is checked, and a file reaches its final name only
// when it is complete.
#pragma once

#include "md5lib/md5.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// Opens a file to be written, creating the missing directories above it.
// Fatal "can not read <path>" (status 1) when that fails.
std::FILE* fopenp(char* path, const char* mode);
// Opens a file that must exist; fatal with the mode and the caller's line
// (pass __LINE__) when it can not be opened.
std::FILE* FOPENG(const char* path, const char* mode, int line);
// FOPENG(path, "rb", line) as a bare descriptor, for reads that need no
// stdio buffer; fails with the same message.
int FOPENG_fd(const char* path, int line);
// As FOPENG with mode "rb", for a file whose path came from outside (a
// listing, an archive table): anything but a regular file is refused with a
// message (status 1), and a FIFO is refused without blocking on its open.
std::FILE* open_regular(const char* path, int line);
// A heap copy of a string, kept for the rest of the run.
char* copy(const char* s);
// Converts an n-byte integer between host order and little-endian, in place.
void cvt2le(void* p, int n);

// Creates every missing directory above the last component of path
// (failures ignored: only the later open decides).
void make_parents(std::string_view path);

// Owns one FILE*; close() checks the close, the destructor closes quietly
// (only on paths that are already failing).
class File {
public:
    File() = default;
    File(std::FILE* fp, std::string name) : fp_(fp), name_(std::move(name)) {}
    File(File&& o) noexcept : fp_(o.fp_), name_(std::move(o.name_)) { o.fp_ = nullptr; }
    File& operator=(File&& o) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    std::FILE* get() const { return fp_; }
    const std::string& name() const { return name_; }
    explicit operator bool() const { return fp_ != nullptr; }
    // Closes the file; a failed close (a delayed write error) is fatal.
    void close();

private:
    std::FILE* fp_ = nullptr;
    std::string name_;
};

// Owns one file descriptor opened for reading; closing it can lose nothing,
// so the close is not checked.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const { return fd_; }

private:
    int fd_;
};

// A file being written under a temporary name in the directory of its final
// path, published by rename() once complete. Keeping the temporary file in
// the same directory keeps rename() atomic on one file system. Until commit()
// the final path keeps whatever it held; an uncommitted temporary file is
// removed by the destructor.
class TempFile {
public:
    // Creates the missing directories above final_path and the temporary
    // file (default permissions). Fatal "can not read <final_path>" when it
    // can not be created.
    explicit TempFile(std::string final_path);
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();

    std::FILE* get() const { return fp_; }
    const std::string& final_path() const { return final_; }
    const std::string& temp_path() const { return temp_; }
    // Checks that every write reached the file, closes it and renames it
    // onto the final path. Fatal on any failure (the temporary file goes).
    void commit();
    // Checks the writes and closes the file without publishing it; the
    // temporary file stays until commit_closed() or destruction.
    void close();
    // Publishes a file already closed with close().
    void commit_closed();
    // Publishes a file already closed with close() under another final
    // path on the same file system, creating its missing directories: for
    // a content whose name is known only once it has been written and
    // hashed. Fatal like commit_closed().
    void commit_closed_as(std::string final_path);

private:
    std::FILE* fp_ = nullptr;
    std::string final_;
    std::string temp_;
    bool done_ = false;
};

// Writes bytes to out; a short write is fatal, naming out_name.
void write_all(std::FILE* out, const void* data, std::size_t len, const char* out_name);

// Copies the rest of in to out through a large buffer. A read error is fatal
// (never taken as end of file), and so is a write error. When hash is given,
// every byte copied is fed to it. Returns the number of bytes copied.
uint64_t copy_file(std::FILE* in, const char* in_name, std::FILE* out, const char* out_name,
                   md5_context* hash = nullptr);

// Copies the rest of in to out (as copy_file) and renders the digest of the
// bytes copied into hex (33 bytes), so that what is written is exactly what
// is verified.
void copy_hashed(std::FILE* in, const char* in_name, std::FILE* out, const char* out_name, char* hex);

// Hex digest of the rest of an open file; a read error is fatal, naming the
// file.
void hash_file(std::FILE* fp, const char* name, char* out);
// The same on a file descriptor (md5_fd).
void hash_fd(int fd, const char* name, char* out);

// True when the path names an existing file of any kind (lstat, not
// following a final symbolic link).
bool path_exists(const char* path);
