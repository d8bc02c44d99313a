#include "md5lib/md5.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string hex_of(const std::string& data) {
    unsigned char d[16];
    md5_buffer(data.data(), data.size(), d);
    char out[33];
    md5_to_hex(d, out);
    return out;
}

struct Vector {
    const char* input;
    const char* digest;
};

class Rfc1321 : public testing::TestWithParam<Vector> {};

TEST_P(Rfc1321, BufferDigest) { EXPECT_EQ(hex_of(GetParam().input), GetParam().digest); }

INSTANTIATE_TEST_SUITE_P(
    Vectors, Rfc1321,
    testing::Values(Vector{"", "d41d8cd98f00b204e9800998ecf8427e"}, Vector{"a", "0cc175b9c0f1b6a831c399e269772661"},
                    Vector{"abc", "900150983cd24fb0d6963f7d28e17f72"},
                    Vector{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
                    Vector{"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
                    Vector{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                           "d174ab98d277d9f5a5611c2c9f419d9f"},
                    Vector{"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
                           "57edf4a22be3c955ac49da2e2107b67a"}));

// Sizes around the padding boundary (56), a block (64) and the read block.
class Sizes : public testing::TestWithParam<std::size_t> {};

TEST_P(Sizes, StreamMatchesBufferAndPiecesMatchWhole) {
    const std::string data = pattern(GetParam());
    const std::string whole = hex_of(data);

    // Through a file, as the tool hashes files.
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    std::rewind(f);
    char out[33];
    ASSERT_EQ(md5_stream_ascii(f, out), 0);
    std::fclose(f);
    EXPECT_EQ(std::string(out), whole);

    // Fed in pieces of many sizes.
    for (std::size_t piece : {1, 3, 63, 64, 65, 127, 128, 129, 4096}) {
        md5_context ctx;
        md5_init_ctx(&ctx);
        for (std::size_t off = 0; off < data.size(); off += piece)
            md5_process_bytes(data.data() + off, std::min(piece, data.size() - off), &ctx);
        unsigned char d[16];
        md5_finish_ctx(&ctx, d);
        char hex[33];
        md5_to_hex(d, hex);
        EXPECT_EQ(std::string(hex), whole) << "piece " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Boundaries, Sizes,
                         testing::Values(0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 4095, 4096, 4097,
                                         8192, 65535, 65536, 65537, 200000));

TEST(Md5, KnownDigestsOfSizedInputs) {
    // Independent values: md5sum of that many 'a' bytes.
    EXPECT_EQ(hex_of(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(hex_of(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(hex_of(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(hex_of(std::string(4096, 'a')), "21a199c53f422a380e20b162fb6ebe9c");
}

TEST(Md5, HexKeepsLeadingZeroOfEachByte) {
    unsigned char d[16] = {0x0f, 0x00, 0xa0, 0x01};
    char out[33];
    md5_to_hex(d, out);
    EXPECT_EQ(std::string(out, 8), "0f00a001");
    EXPECT_EQ(out[32], '\0');
}

TEST(Md5, ReadErrorIsReportedNotRendered) {
    // Reading a stream opened for writing only sets its error indicator.
    std::FILE* f = std::fopen("/dev/null", "w");
    ASSERT_NE(f, nullptr);
    char out[33] = "untouched";
    EXPECT_EQ(md5_stream_ascii(f, out), 1);
    EXPECT_STREQ(out, "untouched");
    std::fclose(f);
}

} // namespace

namespace {

std::string hex(const unsigned char d[16]) {
    char out[33];
    md5_to_hex(d, out);
    return out;
}

std::string buffer_hex(const std::string& data) {
    unsigned char d[16];
    md5_buffer(data.data(), data.size(), d);
    return hex(d);
}

// Both file readers stop at the end of the data, not earlier and not one
// block later: sizes around a block, the padding boundary and the 64 KiB
// read buffer.
class ReadSizes : public testing::TestWithParam<std::size_t> {};

TEST_P(ReadSizes, DescriptorAndStreamGiveTheBufferDigest) {
    const std::string data = pattern(GetParam());
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    ASSERT_EQ(std::fflush(f), 0);

    unsigned char d[16];
    ASSERT_EQ(::lseek(fileno(f), 0, SEEK_SET), 0);
    ASSERT_EQ(md5_fd(fileno(f), d), 0);
    EXPECT_EQ(hex(d), buffer_hex(data));

    std::rewind(f);
    ASSERT_EQ(md5_stream(f, d), 0);
    EXPECT_EQ(hex(d), buffer_hex(data));
    std::fclose(f);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, ReadSizes,
                         testing::Values(0, 1, 55, 56, 64, 65, 4096, 65535, 65536, 65537, 131072, 300001));

TEST(Md5Fd, ShortReadsFromAPipeAreContinued) {
    // A pipe hands the data over in pieces smaller than the read buffer; a
    // reader that took a short read for the end would digest a prefix.
    const std::string data = pattern(200000);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
        for (std::size_t off = 0; off < data.size(); off += 1000) {
            const std::size_t n = std::min<std::size_t>(1000, data.size() - off);
            if (::write(fds[1], data.data() + off, n) != ssize_t(n)) break;
        }
        ::close(fds[1]);
    });
    unsigned char d[16];
    const int rc = md5_fd(fds[0], d);
    // Closed before the join: a reader that stopped early must not leave
    // the writer blocked on a full pipe (its write then fails with EPIPE).
    ::close(fds[0]);
    writer.join();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(hex(d), buffer_hex(data));
}

TEST(Md5Fd, ReadErrorIsReported) {
    // read() on a directory fails (EISDIR); the result must not be taken
    // for the digest of an empty file.
    const int fd = ::open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    unsigned char d[16] = {};
    EXPECT_EQ(md5_fd(fd, d), 1);
    ::close(fd);
}

} // namespace
