// Opening, creating and copying files. Every handle has one owner, every
// read, write and close is checked, and a file reaches its final name only
// when it is complete.
#pragma once

#include <sys/types.h>

#include "md5lib/md5.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Opens a file that must exist; fatal with the mode and the caller's line
// (pass __LINE__) when it can not be opened.
std::FILE* FOPENG(const char* path, const char* mode, int line);
// FOPENG(path, "rb", line) as a bare descriptor, for reads that need no
// stdio buffer; fails with the same message.
int FOPENG_fd(const char* path, int line);
// FOPENG_fd for a file whose path came from outside (a listing, an archive
// table, a patch, the store): anything but a regular file is refused with a
// message (status 1), and a FIFO or a device is refused without blocking on
// its open. With nofollow, a symbolic link as the last component is not
// followed (the open fails).
int open_regular_fd(const char* path, int line, bool nofollow = false);

// The path at which a job will publish the file the user named (the
// archive, the administration file), checked before any work starts: a
// symbolic link there is followed, so the file it points to is replaced and
// the link stays; a directory, device, FIFO or socket is refused (status 1),
// naming the file as what.
std::string publish_target(const char* path, const char* what);

// Makes sure descriptors 0, 1 and 2 are open (on /dev/null when they are
// not), so that no file the run creates can take their place and receive
// its printed lines.
void open_std_fds();
// Whether descriptor fd (0, 1 or 2) was closed when the run started and
// open_std_fds put /dev/null in its place: a job whose output is the
// descriptor's own data, not lines about it, must not lose it there.
bool std_fd_was_closed(int fd);
// Raises the soft limit on open descriptors to the hard limit, as far as
// the system lets it (failures leave the limit as it was).
void raise_descriptor_limit();
// Under a limit on the address space, keeps the allocator's per-thread
// arenas (64 MiB of address space each) to a quarter of it, so that they
// do not take what the run's buffers need.
void fit_memory_limit();
// Descriptors the process may still open: the soft limit less those open
// now. Work in flight is sized to it.
std::size_t descriptors_free();
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
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const { return fd_; }

private:
    int fd_;
};

// The block size of copies, and this thread's buffer of that size.
inline constexpr std::size_t IO_BUFSZ = 128 * 1024;
unsigned char* io_buffer();

// The buffers one piece of code needs at once, one slot each: a member's
// compression reads its input into one and deflates into another;
// extraction inflates a group of members into a third.
enum class ScratchSlot {
    input,     // bytes read from a file or an archive
    inflated,  // a group of members inflated side by side
    deflated,  // the output of a compressor
    count
};
// A buffer of at least n bytes, uninitialised, owned by this thread and
// reused: per-file buffers would cost an allocation and zero-filling each.
unsigned char* scratch(std::size_t n, ScratchSlot slot);

// Whole writes and reads on descriptors, EINTR retried; an error is fatal,
// naming the file. read_fd returns less than len only at the end of the file.
void write_fd(int fd, const void* data, std::size_t len, const char* name);
std::size_t read_fd(int fd, void* data, std::size_t len, const char* name);
// The same at an offset (pread), leaving the file position alone: workers
// share one descriptor on an archive.
std::size_t pread_fd(int fd, void* data, std::size_t len, uint64_t offset, const char* name);
// Copies the rest of in to out in IO_BUFSZ blocks. A read error is fatal
// (never taken as end of file), and so is a write error. When hash is given,
// every byte copied is fed to it. Returns the number of bytes copied.
// Nothing here depends on the working directory or on another thread.
uint64_t copy_fd(int in, const char* in_name, int out, const char* out_name, md5_context* hash = nullptr);

// One copy of a group: in (named in_name) is copied to out (named
// out_name), and the digest of what was copied goes to hex (33 bytes).
// With out at -1 the file is only read and hashed.
struct HashedCopy {
    int in;
    const char* in_name;
    int out;
    const char* out_name;
    char* hex;
    // The size of in when the caller knows it (fstat), else -1: a small
    // file of that size takes that much room in the group's buffer. Every
    // file is read to its end whatever its size said.
    int64_t size = -1;
};
// The largest input of a group that is read whole: the digests of those are
// computed together (many at once); a larger one is copied in blocks and
// hashed as it goes.
inline constexpr std::size_t GROUP_WHOLE_MAX = 64u << 10;
// The room a first read of a file takes, given the size the file system
// gives for it (-1: unknown): one byte more than that size, so that a read
// that fills the room has not met the end of the file (one that grew since
// it was measured), and the whole room of a small file for a size of 0:
// files of /proc say they hold nothing, and some give their content only
// to a first read large enough for all of it.
std::size_t whole_read_room(int64_t size);
// The size the file system gives for the file open on fd; -1 when fstat
// fails.
int64_t fd_size(int fd);
// A size when it is larger than a group reads whole, 0 otherwise: such a
// file goes to the workers alone (Gathering::add_alone).
inline std::size_t large_size(int64_t size) { return size > int64_t(GROUP_WHOLE_MAX) ? std::size_t(size) : 0; }
// The same for the file open on fd.
std::size_t large_file_size(int fd);
// Runs the copies of a group in order on the calling thread, each input of
// at most GROUP_WHOLE_MAX bytes read whole.
// Stops at the first copy that fails: returns its index, with its failure
// in *error, or copies.size() when all are done.
std::size_t copy_hashed_group(std::span<const HashedCopy> copies, std::exception_ptr* error);
// Hashes every file of a group, as copy_hashed_group without copies, for a
// job that judges every file: each T has an open fd, in_name(), size (as
// HashedCopy::size), hex, and unreadable, where a file that fails keeps its
// failure; the files after it are hashed all the same. A file without a
// descriptor (fd -1) is passed over; the files hashed are closed.
template <class T>
void hash_each(std::vector<T>& g) {
    std::vector<HashedCopy> reads;
    std::vector<T*> whose;
    for (T& f : g) {
        if (f.fd.get() < 0) continue;
        reads.push_back({f.fd.get(), f.in_name(), -1, nullptr, f.hex, f.size});
        whose.push_back(&f);
    }
    for (std::size_t k = 0; k < reads.size();) {
        std::exception_ptr err;
        k += copy_hashed_group(std::span<const HashedCopy>(reads).subspan(k), &err);
        if (k < reads.size()) whose[k++]->unreadable = err;
    }
    for (T* f : whose) f->fd = Fd();
}
// The same, rendering the digest of the bytes copied into hex (33 bytes), so
// that what is written is exactly what is verified.
void copy_fd_hashed(int in, const char* in_name, int out, const char* out_name, char* hex);

// Writes bytes to out; a short write is fatal, naming out_name.
void write_all(std::FILE* out, const void* data, std::size_t len, const char* out_name);

// Hex digest of the rest of the file open on fd (md5_fd); a read error is
// fatal, naming the file.
void hash_fd(int fd, const char* name, char* out);

// The executable bit, kept as git keeps it: a file its owner could execute
// comes out with the execute bits the umask allows (0777 less the umask),
// any other with the default permissions. Nothing else of a mode travels.
bool owner_can_exec(mode_t mode);
// Gives the file open on fd that mode when exec; nothing when not. The
// umask is read by remember_umask, which runs before any worker starts.
void give_exec_bit(int fd, bool exec, const char* name);
void remember_umask();
// Gives the file open on to the executable bit of the file open on from.
void carry_exec_bit(int from, int to, const char* to_name);
