// The members' zlib streams. A member whose size is known and small enough
// is compressed or inflated whole in memory with libdeflate, which is much
// faster than zlib's streaming at the same level. Larger members are
// compressed in pieces, in parallel, and inflated through zlib in fixed
// chunks, so that memory stays bounded. Both write
// ordinary zlib streams (header 78 DA at level 9) that any zlib reads.
// Every state belongs to one thread: the calls are safe on workers.
#pragma once

#include "md5lib/md5.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Largest member inflated whole in memory.
inline constexpr std::size_t WHOLE_MAX = 16u << 20;
// A sound stream is never more than this many times larger than its
// content: a member that claims more is not inflated whole.
inline constexpr uint64_t STREAM_GROWTH_MAX = 2;
// More than a level-9 stream of n bytes of content can take.
inline constexpr uint64_t deflate_bound(uint64_t n) { return n * 9 / 8 + 128; }

// Compresses in[0, n) at level 9 into out (resized to the stream's length).
void deflate_whole(const unsigned char* in, std::size_t n, std::vector<unsigned char>& out);
// Inflates the zlib stream in[0, n) into out, which holds origsize bytes.
// True only when the stream is whole and gives exactly origsize bytes.
bool inflate_whole(const unsigned char* in, std::size_t n, unsigned char* out, std::size_t origsize);

// Members larger than PIECE are compressed in pieces of PIECE bytes (the
// last one shorter), each on its own worker, and written in order as one
// stream: ZLIB_HEAD, the pieces' raw deflate blocks, then the Adler-32 of
// the whole content, big-endian. A piece starts with an empty window: the
// stream grows by under 1% (a typical 9 MB script: 0.8%), and in return a
// file of a few hundred KiB no longer keeps one thread busy while the
// others wait at the end of the work. The pieces depend only on the
// content, never on the number of threads.
inline constexpr std::size_t PIECE = 256u << 10;
inline constexpr unsigned char ZLIB_HEAD[2] = {0x78, 0xDA};
// The stream's trailer: the Adler-32 of the whole content, big-endian.
inline std::array<unsigned char, 4> zlib_trailer(uint32_t adler) {
    return {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)};
}
// Compresses in[0, n) at level 9 into raw deflate blocks in out. Unless
// last, the blocks end open (no final flag) on a byte boundary, so that the
// next piece's blocks can follow; the blocks' codes are walked to find
// both ends, and must give exactly n bytes.
void deflate_piece(const unsigned char* in, std::size_t n, bool last, std::vector<unsigned char>& out);
// Adds p[0, n) to a running Adler-32 (1 at the start).
uint32_t adler32_update(uint32_t adler, const unsigned char* p, std::size_t n);

// Inflates the stream of compsize bytes at offset of the file open on in
// into out, hashing what it writes into ctx. True only when the stream is
// whole and gives exactly origsize bytes; inflating stops as soon as it
// passes origsize, so a small stream that expands without end can not fill
// the disk. With hash_beside, a thread of its own writes and hashes what is
// inflated while the next bytes are inflated.
bool inflate_stream(int in, const char* in_name, uint64_t offset, uint64_t compsize, uint64_t origsize, int out,
                    const char* out_name, md5_context* ctx, bool hash_beside);
