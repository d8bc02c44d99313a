#include "stream/statcache.h"

#include "scratch_dir.h"
#include "util/fatal.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An identity the racy rule trusts: long before any cache written now.
FileId old_id(uint64_t ino, uint64_t size) {
    FileId id;
    id.dev = 7;
    id.ino = ino;
    id.size = size;
    id.mtime_ns = 1'000'000'000'000'000'000;
    id.ctime_ns = 1'000'000'000'000'000'001;
    id.mode = S_IFREG | 0644;
    return id;
}

const char* const D1 = "0123456789abcdef0123456789abcdef";
const char* const D2 = "fedcba9876543210fedcba9876543210";

class StatCacheTest : public ScratchTest {
protected:
    std::string cache() const { return path("cache"); }
    std::string read_all() const {
        std::ifstream f(cache(), std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
    void write_all(const std::string& s) const {
        std::ofstream(cache(), std::ios::binary | std::ios::trunc) << s;
        ::chmod(cache().c_str(), 0600);
    }
    // A cache of /t with the walk's order: a, d/b, d/e/c, then z at the top.
    void write_tree() {
        StatCache c(cache());
        c.begin_walk("/t/");
        c.record("a", old_id(1, 10), D1);
        c.record("d/b", old_id(2, 20), D2);
        c.record("d/e/c", old_id(3, 30), D1);
        c.record("z", old_id(4, 40), D2);
        c.commit();
    }
};

TEST_F(StatCacheTest, WhatIsRecordedIsFoundInWalkOrder) {
    write_tree();
    StatCache c(cache());
    c.begin_walk("/t");
    char hex[MD5_HEX_SIZE];
    ASSERT_TRUE(c.lookup("a", old_id(1, 10), hex));
    EXPECT_STREQ(hex, D1);
    ASSERT_TRUE(c.lookup("d/b", old_id(2, 20), hex));
    EXPECT_STREQ(hex, D2);
    ASSERT_TRUE(c.lookup("d/e/c", old_id(3, 30), hex));
    EXPECT_STREQ(hex, D1);
    // Back at the top after the subdirectories.
    ASSERT_TRUE(c.lookup("z", old_id(4, 40), hex));
    EXPECT_STREQ(hex, D2);
    EXPECT_FALSE(c.lookup("missing", old_id(5, 1), hex));
}

TEST_F(StatCacheTest, AnEntryRacyWhenWrittenStaysUntrustedInALaterCache) {
    timespec now;
    ASSERT_EQ(::clock_gettime(CLOCK_REALTIME, &now), 0);
    FileId racy = old_id(9, 5);
    // Within the margin of the stamp of a cache written now.
    racy.ctime_ns = int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec - 1'500'000'000;
    {
        StatCache c(cache());
        c.begin_walk("/t");
        c.record("f", racy, D1);
        c.record("g", old_id(10, 5), D2);
        c.commit();
    }
    // A run that walks another tree, late enough that its stamp would
    // trust racy, carries /t's section over.
    ::usleep(700'000);
    {
        StatCache c(cache());
        c.begin_walk("/u");
        c.commit();
    }
    StatCache c(cache());
    c.begin_walk("/t");
    char hex[MD5_HEX_SIZE];
    EXPECT_FALSE(c.lookup("f", racy, hex));
    ASSERT_TRUE(c.lookup("g", old_id(10, 5), hex));
    EXPECT_STREQ(hex, D2);
}

TEST_F(StatCacheTest, AnyChangeOfIdentityOrARacyTimeIsAMiss) {
    write_tree();
    StatCache c(cache());
    c.begin_walk("/t");
    char hex[MD5_HEX_SIZE];
    FileId id = old_id(1, 10);
    for (int field = 0; field < 7; ++field) {
        FileId x = id;
        switch (field) {
        case 0: x.dev++; break;
        case 1: x.ino++; break;
        case 2: x.size++; break;
        case 3: x.mtime_ns++; break;
        case 4: x.ctime_ns++; break;
        case 5: x.mode ^= 0100; break;
        case 6: break;
        }
        EXPECT_EQ(c.lookup("a", x, hex), field == 6) << field;
    }
    // A file as young as the cache is not trusted, whatever it matches.
    StatCache young(path("young"));
    young.begin_walk("/t");
    struct stat st;
    ASSERT_EQ(::stat(dir_.c_str(), &st), 0);
    FileId now = file_id(st);
    young.record("n", now, D1);
    young.commit();
    StatCache again(path("young"));
    again.begin_walk("/t");
    EXPECT_FALSE(again.lookup("n", now, hex));
}

TEST_F(StatCacheTest, AnotherTreeFindsNothingAndKeepsTheOldSections) {
    write_tree();
    {
        StatCache c(cache());
        c.begin_walk("/u");
        char hex[MD5_HEX_SIZE];
        EXPECT_FALSE(c.lookup("a", old_id(1, 10), hex));
        c.record("a", old_id(9, 1), D2);
        c.commit();
    }
    StatCache c(cache());
    char hex[MD5_HEX_SIZE];
    c.begin_walk("/t");
    EXPECT_TRUE(c.lookup("d/e/c", old_id(3, 30), hex));
    c.begin_walk("/u");
    EXPECT_TRUE(c.lookup("a", old_id(9, 1), hex));
}

TEST_F(StatCacheTest, ADamagedSectionIsCaughtWhenRead) {
    write_tree();
    std::string s = read_all();
    // The first section starts after the header; its first entry's digest
    // lies some way in.
    s[CACHE_HEADER_SIZE + 40] ^= 1;
    write_all(s);
    StatCache c(cache());
    c.begin_walk("/t");
    char hex[MD5_HEX_SIZE];
    int found = 0;
    found += c.lookup("a", old_id(1, 10), hex);
    found += c.lookup("d/b", old_id(2, 20), hex);
    found += c.lookup("d/e/c", old_id(3, 30), hex);
    found += c.lookup("z", old_id(4, 40), hex);
    EXPECT_LT(found, 4);
}

TEST_F(StatCacheTest, OthersCachesAreRefused) {
    write_tree();
    ::chmod(cache().c_str(), 0660);
    EXPECT_THROW(StatCache{cache()}, FatalError);
    ::chmod(cache().c_str(), 0600);
    EXPECT_NO_THROW(StatCache{cache()});
}

TEST_F(StatCacheTest, ReaderRefusesEveryCutOfAGoodFile) {
    write_tree();
    const std::string s = read_all();
    for (std::size_t n = 0; n < s.size(); ++n) {
        write_all(s.substr(0, n));
        CacheReader r;
        EXPECT_FALSE(r.open(::open(cache().c_str(), O_RDONLY))) << n;
    }
}

// A directory larger than a section, with a subdirectory walked in its
// middle, goes out in several sections and comes back whole; a name the
// walk gave twice (a directory read while it changed) is trusted for
// neither entry.
TEST_F(StatCacheTest, ADirectoryInManySectionsIsFoundWholeAndATwiceGivenNameNot) {
    const int n = int(3 * CACHE_SECTION_BYTES / CACHE_ENTRY_FIXED);
    auto name = [](int i) { return "file" + std::to_string(i * 7919 % 100003); };
    {
        StatCache c(cache());
        c.begin_walk("/t");
        for (int i = 0; i < n; ++i) {
            c.record(name(i), old_id(uint64_t(i), 1), i % 2 ? D1 : D2);
            if (i == n / 2) c.record("sub/x", old_id(1u << 30, 2), D1);
        }
        c.record("twice", old_id(7, 7), D1);
        c.record("twice", old_id(8, 8), D2);
        c.commit();
    }
    {
        CacheReader r;
        ASSERT_TRUE(r.open(::open(cache().c_str(), O_RDONLY | O_CLOEXEC)));
        const auto [first, last] = r.find_key("/t/");
        EXPECT_GE(last - first, 3u);
    }
    StatCache c(cache());
    c.begin_walk("/t");
    char hex[MD5_HEX_SIZE];
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(c.lookup(name(i), old_id(uint64_t(i), 1), hex)) << i;
        EXPECT_STREQ(hex, i % 2 ? D1 : D2);
        if (i == n / 2) EXPECT_TRUE(c.lookup("sub/x", old_id(1u << 30, 2), hex));
    }
    EXPECT_FALSE(c.lookup("twice", old_id(7, 7), hex));
    EXPECT_FALSE(c.lookup("twice", old_id(8, 8), hex));
}

}  // namespace
