// Opening, creating and copying files. Every handle has one owner, every
// read, write and close is checked, and a file reaches its final name only
// when it is complete.
#pragma once

#include <sys/types.h>

#include "md5lib/md5.h"
#include "util/handles.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// openat(2), EINTR retried: a descriptor, or -1 with errno set.
int open_at(int dir, const char* path, int flags);
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

// A heap copy of a string, kept for the rest of the run.
char* copy(const char* s);
// Converts an n-byte integer between host order and little-endian, in place.
void cvt2le(void* p, int n);

// Creates every missing directory above the last component of path
// (failures ignored: only the later open decides).
void make_parents(std::string_view path);

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
// every byte copied is fed to it; with out below 0 nothing is written, and
// the rest is only hashed. Returns the number of bytes copied. Nothing here
// depends on the working directory or on another thread.
uint64_t copy_fd(int in, const char* in_name, int out, const char* out_name, md5_context* hash = nullptr);
// copy_fd, rendering the digest of the bytes copied into hex (33 bytes), so
// that what is written is exactly what is verified.
void copy_fd_hashed(int in, const char* in_name, int out, const char* out_name, char* hex);

// Writes bytes to out; a short write is fatal, naming out_name.
void write_all(std::FILE* out, const void* data, std::size_t len, const char* out_name);

// Hex digest of the rest of the file open on fd (md5_fd); a read error is
// fatal, naming the file.
void hash_fd(int fd, const char* name, char* out);
