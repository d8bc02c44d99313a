// The walk over a raw deflate stream's blocks, differential against zlib.
// The first byte chooses the case: the input itself as a stream (any bytes
// zlib inflates whole must give the walk the same final block, end and
// length; anything else may be refused but must not crash), or the rest of
// the input compressed as a member's piece, which the walk must read as
// zlib does.

#include "archive/blocks.h"
#include "archive/codec.h"
#include "tests/unit/deflate_oracle.h"

#include "fuzz_support.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool compress = data[0] & 1;
    std::vector<unsigned char> s;
    if (compress) {
        deflate_piece(data + 1, size - 1, true, s);
    } else {
        s.assign(data + 1, data + size);
    }
    DeflateEnd ours, zlib;
    const bool walked = scan_deflate(s.data(), s.size(), ours);
    if (!zlib_block_ends(s, zlib)) {
        FUZZ_CHECK(!compress);
        return 0;
    }
    FUZZ_CHECK(walked);
    FUZZ_CHECK(ours.final_flag_bit == zlib.final_flag_bit);
    FUZZ_CHECK(ours.end_bit == zlib.end_bit);
    FUZZ_CHECK(ours.out_len == zlib.out_len);
    if (compress) FUZZ_CHECK(ours.out_len == size - 1);
    return 0;
}
