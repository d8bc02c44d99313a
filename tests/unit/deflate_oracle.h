// zlib's view of a raw deflate stream's blocks, the oracle for
// scan_deflate: inflate stops at every block boundary when asked (Z_BLOCK)
// and says how many bits of the last byte it took are still unread.
#pragma once

#include "archive/blocks.h"

#include <cstddef>
#include <vector>
#include <zlib.h>

// True when zlib inflates s as one whole raw deflate stream (bytes after
// its end are left unread); e then holds where its final block starts and
// ends, and the length it gives.
inline bool zlib_block_ends(const unsigned char* s, std::size_t n, DeflateEnd& e) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    std::vector<unsigned char> out(1 << 16);
    z.next_in = const_cast<unsigned char*>(s);
    z.avail_in = uInt(n);
    std::size_t next_flag = 0;  // the next block's first bit
    int ret = Z_OK;
    for (;;) {
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        ret = inflate(&z, Z_BLOCK);
        if (ret != Z_OK) break;
        if ((z.data_type & 128) == 0) continue;  // stopped for room, not at a boundary
        const std::size_t at = std::size_t(z.next_in - s) * 8 - unsigned(z.data_type & 7);
        if (z.data_type & 64) {
            // The final block has ended.
            e = {next_flag, at, z.total_out};
        } else {
            next_flag = at;
        }
    }
    const bool whole = ret == Z_STREAM_END;
    if (whole) e.out_len = z.total_out;
    inflateEnd(&z);
    return whole;
}

inline bool zlib_block_ends(const std::vector<unsigned char>& s, DeflateEnd& e) {
    return zlib_block_ends(s.data(), s.size(), e);
}
