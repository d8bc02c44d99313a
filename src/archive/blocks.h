// The block structure of a raw deflate stream, found without inflating it.
// Pieces compressed apart are joined into one stream by clearing the final
// flag of every piece but the last and bringing it to a byte boundary;
// both places are known only by walking the piece's codes. A walk that
// looks each code up in a table and writes nothing out costs a fraction of
// inflating the piece again.
#pragma once

#include <cstddef>
#include <cstdint>

struct DeflateEnd {
    std::size_t final_flag_bit = 0;  // the final block's first bit, counted from bit 0 of byte 0
    std::size_t end_bit = 0;         // the first bit after the final block's end code
    uint64_t out_len = 0;            // the bytes the stream inflates to
};

// Walks the raw deflate blocks in s[0, n). False unless they form one
// whole stream within those bytes whose codes, lengths and distances are
// all valid (a distance never reaches before the stream's first byte).
bool scan_deflate(const unsigned char* s, std::size_t n, DeflateEnd& end);
