#include "archive/codec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
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

// A member's stream as zlib writes it, between other bytes of an archive,
// inflated through inflate_stream with and without the hashing thread.
class Streamed : public testing::TestWithParam<bool> {
protected:
    struct Result {
        bool ok;
        std::vector<unsigned char> written;
        std::string hex;
    };
    // Inflates stream (at offset 100 of an archive, which goes on past it)
    // claiming compsize and origsize.
    Result inflate(const std::vector<unsigned char>& stream, uint64_t compsize, uint64_t origsize) {
        const int in = memfd_create("archive", MFD_CLOEXEC), out = memfd_create("member", MFD_CLOEXEC);
        EXPECT_GE(in, 0);
        EXPECT_GE(out, 0);
        std::vector<unsigned char> arc(100, 0x5A);
        arc.insert(arc.end(), stream.begin(), stream.end());
        arc.insert(arc.end(), 100, 0xA5);
        EXPECT_EQ(pwrite(in, arc.data(), arc.size(), 0), ssize_t(arc.size()));
        md5_context ctx;
        md5_init_ctx(&ctx);
        Result r;
        r.ok = inflate_stream(in, "archive", 100, compsize, origsize, out, "member", &ctx, GetParam());
        char hex[MD5_HEX_SIZE];
        md5_finish_hex(&ctx, hex);
        r.hex.assign(hex, MD5_HEX_SIZE - 1);
        r.written.resize(std::size_t(lseek(out, 0, SEEK_END)));
        EXPECT_EQ(pread(out, r.written.data(), r.written.size(), 0), ssize_t(r.written.size()));
        close(in);
        close(out);
        return r;
    }
};

std::string md5_of(const std::vector<unsigned char>& v) {
    md5_context ctx;
    md5_init_ctx(&ctx);
    md5_process_bytes(v.data(), v.size(), &ctx);
    char hex[MD5_HEX_SIZE];
    md5_finish_hex(&ctx, hex);
    return std::string(hex, MD5_HEX_SIZE - 1);
}

std::vector<unsigned char> zlib_stream(const std::vector<unsigned char>& v) {
    std::vector<unsigned char> s(compressBound(uLong(v.size())));
    uLongf n = uLongf(s.size());
    EXPECT_EQ(compress2(s.data(), &n, v.data(), uLong(v.size()), 9), Z_OK);
    s.resize(n);
    return s;
}

// Sizes that end inside, and exactly at the end of, the hasher's slots.
TEST_P(Streamed, SoundStreamIsWrittenAndHashedInOrder) {
    for (int kind : {0, 1, 2}) {
        for (std::size_t n :
             {std::size_t(0), std::size_t(5000), std::size_t(3u << 20), std::size_t((3u << 20) + 12345)}) {
            const std::vector<unsigned char> v = content(kind, n, unsigned(n));
            const std::vector<unsigned char> s = zlib_stream(v);
            const Result r = inflate(s, s.size(), v.size());
            EXPECT_TRUE(r.ok) << "kind " << kind << " size " << n;
            EXPECT_TRUE(r.written == v) << "kind " << kind << " size " << n;
            EXPECT_EQ(r.hex, md5_of(v)) << "kind " << kind << " size " << n;
        }
    }
}

// Every damage zlib's own inflate refuses is refused: a wrong Adler-32,
// a cut stream, a size other than the claimed one, a header zlib does
// not take.
TEST_P(Streamed, DamagedStreamIsRefused) {
    const std::vector<unsigned char> v = content(1, (2u << 20) + 777, 3);
    const std::vector<unsigned char> s = zlib_stream(v);
    std::vector<unsigned char> bad_adler = s, dict = s, no_check = s;
    bad_adler.back() ^= 1;
    dict[1] = 0xF9;  // FDICT set, the check still holds: 0x78F9 % 31 == 0
    ASSERT_EQ((0x78 << 8 | 0xF9) % 31, 0);
    no_check[1] ^= 1;
    EXPECT_FALSE(inflate(bad_adler, s.size(), v.size()).ok);
    EXPECT_FALSE(inflate(dict, s.size(), v.size()).ok);
    EXPECT_FALSE(inflate(no_check, s.size(), v.size()).ok);
    for (std::size_t cut : {std::size_t(0), std::size_t(1), std::size_t(2), s.size() / 2, s.size() - 4, s.size() - 1})
        EXPECT_FALSE(inflate(s, cut, v.size()).ok) << "cut at " << cut;
    EXPECT_FALSE(inflate(s, s.size(), v.size() - 1).ok);
    EXPECT_FALSE(inflate(s, s.size(), v.size() + 1).ok);
    // Bytes past the stream within its claimed size are not read as it.
    EXPECT_TRUE(inflate(s, s.size() + 50, v.size()).ok);
}

INSTANTIATE_TEST_SUITE_P(HashBeside, Streamed, testing::Bool());

} // namespace
