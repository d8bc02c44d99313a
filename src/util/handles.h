// The owners of open files: a stream and a descriptor.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

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
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const { return fd_; }
    // Hands the descriptor over to the caller.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};
