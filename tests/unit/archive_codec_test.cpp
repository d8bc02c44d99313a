#include "archive/codec.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>
#include <zlib.h>

namespace {

// Content of n bytes: incompressible, repetitive text, or zeros; each ends
// its compressed blocks at a different bit of its last byte.
std::vector<unsigned char> content(int kind, std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (kind == 0) v[i] = static_cast<unsigned char>(rng());
        else if (kind == 1) v[i] = static_cast<unsigned char>("abcdefgh \n"[rng() % 10]);
        else v[i] = 0;
    }
    return v;
}

// zlib, not our code, reads the joined pieces back.
std::vector<unsigned char> inflate_all(const std::vector<unsigned char>& stream, std::size_t expect) {
    std::vector<unsigned char> out(expect + 1);
    uLongf got = uLongf(out.size());
    EXPECT_EQ(uncompress(out.data(), &got, stream.data(), uLong(stream.size())), Z_OK);
    out.resize(got);
    return out;
}

class Pieces : public testing::TestWithParam<int> {};

// Pieces of many sizes and kinds, joined as archive creation joins them,
// form one zlib stream of the whole content.
TEST_P(Pieces, JoinIntoOneZlibStream) {
    const int kind = GetParam();
    for (std::size_t n : {1u, 2u, 3u, 7u, 100u, 511u, 4096u, 5000u, 65537u, 200003u}) {
        for (unsigned seed = 0; seed < 4; ++seed) {
            std::vector<unsigned char> whole, stream(ZLIB_HEAD, ZLIB_HEAD + 2), piece;
            uint32_t adler = 1;
            for (int i = 0; i < 3; ++i) {
                // Pieces of unequal sizes: the joins fall at every bit offset.
                const std::vector<unsigned char> part = content(kind, n + seed * i, seed * 3 + i);
                deflate_piece(part.data(), part.size(), i == 2, piece);
                stream.insert(stream.end(), piece.begin(), piece.end());
                adler = adler32_update(adler, part.data(), part.size());
                whole.insert(whole.end(), part.begin(), part.end());
            }
            for (int shift : {24, 16, 8, 0}) stream.push_back(static_cast<unsigned char>(adler >> shift));
            EXPECT_EQ(inflate_all(stream, whole.size()), whole) << "size " << n << " seed " << seed;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Pieces, testing::Values(0, 1, 2));

TEST(Pieces, AdlerMatchesZlib) {
    const std::vector<unsigned char> v = content(1, 100000, 7);
    EXPECT_EQ(adler32_update(adler32_update(1, v.data(), 40000), v.data() + 40000, 60000),
              adler32(adler32(0, nullptr, 0), v.data(), uInt(v.size())));
}

} // namespace
