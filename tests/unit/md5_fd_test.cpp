#include "md5lib/md5.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

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
