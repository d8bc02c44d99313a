#include "util/fatal.h"
#include "util/fileio.h"
#include "util/hashgroup.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <vector>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Scratch : public ScratchTest {
protected:
    static bool is_dir(const std::string& p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
};

// copy_fd reads in 128 KiB blocks and stops at the first short one: every
// byte must arrive, also when the file ends exactly on a block.
class CopySizes : public testing::TestWithParam<std::size_t> {};

TEST_P(CopySizes, CopiesAndHashesEveryByte) {
    const std::string data = pattern(GetParam());
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    ASSERT_TRUE(in && out);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), in), data.size());
    std::rewind(in);

    md5_context ctx;
    md5_init_ctx(&ctx);
    EXPECT_EQ(copy_fd(::fileno(in), "in", ::fileno(out), "out", &ctx), data.size());

    std::rewind(out);
    std::string back(data.size() + 1, '\0');
    EXPECT_EQ(std::fread(back.data(), 1, back.size(), out), data.size());
    back.resize(data.size());
    EXPECT_TRUE(back == data);

    unsigned char got[16], want[16];
    md5_finish_ctx(&ctx, got);
    md5_buffer(data.data(), data.size(), want);
    EXPECT_EQ(0, std::memcmp(got, want, 16));
    std::fclose(in);
    std::fclose(out);
}

// With no output the rest of the file is only hashed, to its last byte.
TEST_P(CopySizes, WithNoOutputOnlyHashes) {
    const std::string data = pattern(GetParam());
    std::FILE* in = std::tmpfile();
    ASSERT_TRUE(in);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), in), data.size());
    std::rewind(in);
    md5_context ctx;
    md5_init_ctx(&ctx);
    EXPECT_EQ(copy_fd(::fileno(in), "in", -1, nullptr, &ctx), data.size());
    unsigned char got[16], want[16];
    md5_finish_ctx(&ctx, got);
    md5_buffer(data.data(), data.size(), want);
    EXPECT_EQ(0, std::memcmp(got, want, 16));
    std::fclose(in);
}

INSTANTIATE_TEST_SUITE_P(Blocks, CopySizes, testing::Values(0, 1, 131071, 131072, 131073, 262144, 400000));

TEST(CopyFile, ReadErrorIsFatalNotEndOfFile) {
    std::FILE* in = std::fopen("/dev/null", "w");  // reading it sets the error indicator
    std::FILE* out = std::tmpfile();
    ASSERT_TRUE(in && out);
    try {
        copy_fd(::fileno(in), "the-input", ::fileno(out), "out");
        ADD_FAILURE() << "a read error passed for the end of the file";
    } catch (const FatalError& e) {
        EXPECT_NE(e.message.find("read error on the-input"), std::string::npos);
    }
    std::fclose(in);
    std::fclose(out);
}

struct ParentsCase {
    const char* existing;  // directories made beforehand, ':'-separated
    const char* request;   // the path whose parents are wanted
    const char* made;      // directories that must exist afterwards, ':'-separated
};

class MakeParents : public Scratch, public testing::WithParamInterface<ParentsCase> {};

TEST_P(MakeParents, CreatesEveryMissingParentAndNotTheLeaf) {
    auto each = [](std::string list, auto fn) {
        for (std::size_t start = 0; start < list.size();) {
            std::size_t end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            fn(list.substr(start, end - start));
            start = end + 1;
        }
    };
    each(GetParam().existing, [&](const std::string& d) { ASSERT_EQ(::mkdir(path(d).c_str(), 0777), 0) << d; });
    make_parents(path(GetParam().request));
    each(GetParam().made, [&](const std::string& d) { EXPECT_TRUE(is_dir(path(d))) << d; });
    const std::string req = GetParam().request;
    if (req.back() != '/') {
        struct stat st;
        EXPECT_NE(::stat(path(req).c_str(), &st), 0) << "the last component is not a parent";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MakeParents,
    testing::Values(ParentsCase{"", "a/b/c/file", "a:a/b:a/b/c"},     // all missing
                    ParentsCase{"a:a/b", "a/b/c/file", "a/b/c"},      // only the last missing
                    ParentsCase{"a:a/b:a/b/c", "a/b/c/file", "a/b/c"},  // none missing
                    ParentsCase{"a", "a/b/c/", "a/b:a/b/c"},          // a trailing '/' asks for the directory itself
                    ParentsCase{"", "file", ""}));

TEST_F(Scratch, MakeParentsStopsAtAFileInTheWay) {
    std::FILE* f = std::fopen(path("f").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    make_parents(path("f/x/y/file"));  // failures are left to the later open
    struct stat st;
    ASSERT_EQ(::stat(path("f").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(Scratch, OpenForReadingFailsWithTheOpenMessage) {
    try {
        FOPENG_fd(path("missing").c_str(), 42);
        ADD_FAILURE() << "a missing file opened";
    } catch (const FatalError& e) {
        EXPECT_EQ(e.message, "can not open " + path("missing") + " with mode rb at line 42\n");
    }
}

// A file as hash_each takes it.
struct F {
    Fd fd;
    std::string name;
    char hex[MD5_HEX_SIZE] = {};
    int64_t size = -1;
    std::exception_ptr unreadable;
    const char* in_name() const { return name.c_str(); }
};

// hash_each goes on past a file that fails. A size given beforehand is a guess at the room a file takes, never where
// its read stops: a file longer than it said (one that grew, or of /proc,
// which says 0) or shorter is hashed whole, as md5sum reads it.
TEST_F(Scratch, HashEachGoesPastFailuresAndReadsEveryFileToItsEnd) {
    const std::string data = pattern(5000);
    FILE* f = std::fopen(path("a").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    const std::vector<int64_t> sizes = {-1, -1, 100, -1, 0, 4999, 9000, 5000};
    std::vector<F> g(sizes.size());
    for (std::size_t i = 0; i < g.size(); ++i) {
        g[i].name = path("a");
        // A directory can be opened, but not read: its read fails.
        g[i].fd = Fd(::open(i == 1 ? dir_.c_str() : path("a").c_str(), O_RDONLY));
        g[i].size = sizes[i];
    }
    g[3].fd = Fd();
    hash_each(g);
    char whole[MD5_HEX_SIZE];
    // The one-buffer MD5 as the oracle of the grouped reads.
    unsigned char d[16];
    md5_to_hex(static_cast<unsigned char*>(md5_buffer(data.data(), data.size(), d)), whole);
    EXPECT_TRUE(g[1].unreadable);
    EXPECT_STREQ(g[3].hex, "");
    for (std::size_t i : {0, 2, 4, 5, 6, 7}) {
        EXPECT_STREQ(g[i].hex, whole) << "size given: " << sizes[i];
        EXPECT_FALSE(g[i].unreadable);
    }
    for (const F& x : g) EXPECT_EQ(x.fd.get(), -1);
}

// The files of a group share one buffer: whatever the mix of sizes, known
// or not, small or past 64 KiB, each digest is of that file's bytes alone.
TEST_F(Scratch, HashEachKeepsEveryFileOfAMixedGroupApart) {
    // size, and whether the size is known beforehand
    const std::vector<std::pair<std::size_t, bool>> files = {
        {0, true},    {1, false},      {63, true},     {64, false},     {65, true},
        {65536, true}, {65537, false}, {65537, true},  {200000, false}, {5000, false},
        {16384, true}, {9000, true},   {65536, false}, {127, false},    {128, true}};
    std::vector<F> g(files.size());
    std::vector<std::string> data;
    for (std::size_t i = 0; i < files.size(); ++i) {
        data.push_back(pattern(files[i].first + i));
        data.back().resize(files[i].first);
        g[i].name = path("f" + std::to_string(i));
        FILE* f = std::fopen(g[i].name.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(data[i].data(), 1, data[i].size(), f), data[i].size());
        ASSERT_EQ(std::fclose(f), 0);
        g[i].fd = Fd(::open(g[i].name.c_str(), O_RDONLY));
        if (files[i].second) g[i].size = int64_t(files[i].first);
    }
    hash_each(g);
    for (std::size_t i = 0; i < g.size(); ++i) {
        unsigned char d[16];
        char want[MD5_HEX_SIZE];
        md5_to_hex(static_cast<unsigned char*>(md5_buffer(data[i].data(), data[i].size(), d)), want);
        EXPECT_STREQ(g[i].hex, want) << "file of " << files[i].first << " bytes";
        EXPECT_FALSE(g[i].unreadable);
    }
}

} // namespace
