#include "archive/blocks.h"
#include "archive/codec.h"
#include "deflate_oracle.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <zlib.h>

namespace {

// zlib's raw deflate at a level and strategy: stored blocks at level 0,
// fixed codes with Z_FIXED, dynamic ones otherwise.
std::vector<unsigned char> zlib_raw(const std::vector<unsigned char>& in, int level, int strategy) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
    std::vector<unsigned char> out(deflateBound(&z, uLong(in.size())) + 16);
    z.next_in = const_cast<unsigned char*>(in.data());
    z.avail_in = uInt(in.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

std::vector<unsigned char> data_of(int kind, std::size_t n) {
    const std::string p = pattern(n, unsigned(kind) * 7919 + unsigned(n));
    std::vector<unsigned char> v(p.begin(), p.end());
    for (std::size_t i = 0; i < n; ++i) {
        if (kind == 1) v[i] = static_cast<unsigned char>("the quick brown fox\n"[(i * 7 + v[i] % 3) % 20]);
        if (kind == 2) v[i] = 0;
    }
    return v;
}

struct Compressor {
    const char* name;
    std::vector<unsigned char> (*run)(const std::vector<unsigned char>&);
};

const Compressor COMPRESSORS[] = {
    {"libdeflate9",
     [](const std::vector<unsigned char>& in) {
         std::vector<unsigned char> out;
         deflate_piece(in.data(), in.size(), true, out);
         return out;
     }},
    {"stored", [](const std::vector<unsigned char>& in) { return zlib_raw(in, 0, Z_DEFAULT_STRATEGY); }},
    {"fixed", [](const std::vector<unsigned char>& in) { return zlib_raw(in, 9, Z_FIXED); }},
    {"huffman", [](const std::vector<unsigned char>& in) { return zlib_raw(in, 6, Z_HUFFMAN_ONLY); }},
    {"zlib1", [](const std::vector<unsigned char>& in) { return zlib_raw(in, 1, Z_DEFAULT_STRATEGY); }},
};

class ScanDeflate : public testing::TestWithParam<Compressor> {};

// Random bytes, text and zeros of many lengths, through every kind of
// block: the walk finds the final block and the end where zlib does, and
// counts the bytes zlib gives.
TEST_P(ScanDeflate, AgreesWithZlib) {
    for (int kind = 0; kind < 3; ++kind) {
        for (std::size_t n : {0u, 1u, 5u, 300u, 4096u, 70000u, 262144u, 400000u}) {
            const std::vector<unsigned char> s = GetParam().run(data_of(kind, n));
            DeflateEnd ours, zlib;
            ASSERT_TRUE(zlib_block_ends(s, zlib));
            ASSERT_TRUE(scan_deflate(s.data(), s.size(), ours)) << "kind " << kind << " n " << n;
            EXPECT_EQ(ours.final_flag_bit, zlib.final_flag_bit) << "kind " << kind << " n " << n;
            EXPECT_EQ(ours.end_bit, zlib.end_bit) << "kind " << kind << " n " << n;
            EXPECT_EQ(ours.out_len, n);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, ScanDeflate, testing::ValuesIn(COMPRESSORS),
                         [](const testing::TestParamInfo<Compressor>& i) { return std::string(i.param.name); });

// A stream cut anywhere is refused, never read past its end.
TEST(ScanDeflateRefuses, EveryTruncation) {
    for (const Compressor& c : COMPRESSORS) {
        const std::vector<unsigned char> s = c.run(data_of(1, 3000));
        DeflateEnd e;
        for (std::size_t cut = 0; cut < s.size(); ++cut) {
            const std::vector<unsigned char> head(s.begin(), s.begin() + long(cut));
            EXPECT_FALSE(scan_deflate(head.data(), head.size(), e)) << c.name << " cut at " << cut;
        }
    }
}

TEST(ScanDeflateRefuses, BrokenBlocks) {
    DeflateEnd e;
    // A stored block whose length and its complement disagree.
    const unsigned char stored[] = {0x01, 0x01, 0x00, 0xFF, 0xFF, 'x'};
    EXPECT_FALSE(scan_deflate(stored, sizeof stored, e));
    // Block type 3 does not exist.
    const unsigned char reserved[] = {0x07, 0x00};
    EXPECT_FALSE(scan_deflate(reserved, sizeof reserved, e));
    // A fixed block whose first code is a match: its distance reaches
    // before the stream.
    const unsigned char early[] = {0x03, 0x02, 0x00, 0x00};  // final fixed block, length 3 distance 1
    EXPECT_FALSE(zlib_block_ends(early, sizeof early, e));
    EXPECT_FALSE(scan_deflate(early, sizeof early, e));
}

} // namespace
