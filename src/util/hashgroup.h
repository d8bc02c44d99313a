// Reading, copying and hashing a group of small files together: their
// digests are computed in one call, several files per SIMD register.
#pragma once

#include "util/fileio.h"

#include <cstdint>
#include <exception>
#include <span>
#include <vector>

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
inline constexpr std::size_t GROUP_FILE_MAX = 64u << 10;
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
inline std::size_t large_size(int64_t size) { return size > int64_t(GROUP_FILE_MAX) ? std::size_t(size) : 0; }
// Runs the copies of a group in order on the calling thread, each input of
// at most GROUP_FILE_MAX bytes read whole.
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
