// The members' zlib streams. A member whose size is known and small enough
// is compressed or inflated whole in memory with libdeflate, which is much
// faster than zlib's streaming at the same level; larger members stream
// through zlib in fixed chunks so that memory stays bounded. Both write
// ordinary zlib streams (header 78 DA at level 9) that any zlib reads.
// Every state belongs to one thread: the calls are safe on workers.
#pragma once

#include "md5lib/md5.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Largest member handled whole in memory.
inline constexpr std::size_t WHOLE_MAX = 16u << 20;

// Compresses in[0, n) at level 9 into out (resized to the stream's length).
void deflate_whole(const unsigned char* in, std::size_t n, std::vector<unsigned char>& out);
// Inflates the zlib stream in[0, n) into out, which holds origsize bytes.
// True only when the stream is whole and gives exactly origsize bytes.
bool inflate_whole(const unsigned char* in, std::size_t n, unsigned char* out, std::size_t origsize);

// Streams the rest of the file open on in (named in_name) through zlib at
// level 9 onto out (named out_name), hashing what it reads into ctx. Returns
// the number of bytes read and sets *written to the stream's length; stops
// with a fatal error once either would pass limit.
uint64_t deflate_stream(int in, const char* in_name, int out, const char* out_name, md5_context* ctx,
                        uint64_t limit, uint64_t* written);
// Inflates the stream of compsize bytes at offset of the file open on in
// into out, hashing what it writes into ctx. True only when the stream is
// whole and gives exactly origsize bytes; inflating stops as soon as it
// passes origsize, so a small stream that expands without end can not fill
// the disk.
bool inflate_stream(int in, const char* in_name, uint64_t offset, uint64_t compsize, uint64_t origsize, int out,
                    const char* out_name, md5_context* ctx);
