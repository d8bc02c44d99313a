#include "util/fatal.h"
#include "util/fileio.h"
#include "util/paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct AbsCase {
    const char* cwd;
    const char* path;
    const char* result;
};

class Absolute : public testing::TestWithParam<AbsCase> {};

TEST_P(Absolute, ResolvesAgainstWorkingDirectory) {
    std::string out;
    ASSERT_TRUE(absolute_from(GetParam().cwd, GetParam().path, out));
    EXPECT_EQ(out, GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Table, Absolute,
                         testing::Values(AbsCase{"/u/w", "x", "/u/w/x"}, AbsCase{"/u/w", "./x", "/u/w/x"},
                                         AbsCase{"/u/w", "../x", "/u/x"}, AbsCase{"/u/w", "../../x", "/x"},
                                         AbsCase{"/u/w", "./../y/./z", "/u/y/./z"}, AbsCase{"/u/w", ".", "/u/w/."},
                                         AbsCase{"/u/w", "..", "/u/w/.."}, AbsCase{"/u/w", "", "/u/w/"},
                                         AbsCase{"/u/w", ".//x", "/u/w//x"}, AbsCase{"/u/w", "..x", "/u/w/..x"},
                                         AbsCase{"/u/w", "...y", "/u/w/...y"}, AbsCase{"/", "x", "//x"},
                                         AbsCase{"/", "../x", "/x"},
                                         // Climbing above the root stays at the root.
                                         AbsCase{"/u", "../../x", "/x"}, AbsCase{"/u/w", "../../../../x", "/x"},
                                         AbsCase{"/", "../../", "/"}));

TEST(Absolute, AbsolutePathIsReturnedItself) {
    char path[] = "/a/../b/./c";
    EXPECT_EQ(absolute(path), path);
}

TEST(Absolute, ResultOverLimitIsRefused) {
    std::string out;
    const std::string cwd = "/" + std::string(4000, 'd');
    EXPECT_TRUE(absolute_from(cwd, std::string(4094 - cwd.size(), 'x'), out));
    EXPECT_EQ(out.size(), 4095u);
    EXPECT_FALSE(absolute_from(cwd, std::string(4095 - cwd.size(), 'x'), out));
}

TEST(JoinPath, FitsUpTo4095Bytes) {
    std::string out;
    EXPECT_TRUE(join_path(out, "/r", std::string(4092, 'x')));
    EXPECT_EQ(out.size(), 4095u);
    EXPECT_FALSE(join_path(out, "/r", std::string(4093, 'x')));
    EXPECT_THROW(join_path_or_die("/r", std::string(4093, 'x')), FatalError);
}

class SafePath : public testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(SafePath, Classifies) { EXPECT_EQ(is_safe_relpath(GetParam().first), GetParam().second) << GetParam().first; }

INSTANTIATE_TEST_SUITE_P(
    Cases, SafePath,
    testing::Values(std::pair{"a", true}, std::pair{"a/b/c", true}, std::pair{"..a/b..", true},
                    std::pair{".hidden", true}, std::pair{"a b/\xc3\xa9", true}, std::pair{"", false},
                    std::pair{"/a", false}, std::pair{".", false}, std::pair{"..", false}, std::pair{"a/..", false},
                    std::pair{"../a", false}, std::pair{"a/./b", false}, std::pair{"a//b", false},
                    std::pair{"a/", false}, std::pair{"./a", false}));

TEST(SafePath, LengthLimit) {
    EXPECT_TRUE(is_safe_relpath(std::string(4095, 'x')));
    EXPECT_FALSE(is_safe_relpath(std::string(4096, 'x')));
}

struct SpellCase {
    const char* name;
    const char* path;  // drop_dot_components
    bool below;        // stays_below
};

class Spelling : public testing::TestWithParam<SpellCase> {};

TEST_P(Spelling, NormalisesAndClassifies) {
    EXPECT_EQ(drop_dot_components(GetParam().name), GetParam().path) << GetParam().name;
    EXPECT_EQ(stays_below(GetParam().name), GetParam().below) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Spelling,
    testing::Values(SpellCase{"doc/x", "doc/x", true}, SpellCase{"./doc/x", "doc/x", true},
                    SpellCase{"doc//x", "doc/x", true}, SpellCase{"doc/./x", "doc/x", true},
                    SpellCase{".//./doc/.//x", "doc/x", true}, SpellCase{".hidden/..x", ".hidden/..x", true},
                    SpellCase{"a/../b", "a/../b", true}, SpellCase{"./a/./../b", "a/../b", true},
                    SpellCase{"a/..", "a/..", true}, SpellCase{".", "", true},
                    SpellCase{"..", "..", false}, SpellCase{"../a", "../a", false},
                    SpellCase{"a/../../b", "a/../../b", false}, SpellCase{"./../a", "../a", false},
                    SpellCase{"/a//./b", "/a/b", false}, SpellCase{"//a", "/a", false}));

TEST(Cvt2le, LeavesLittleEndianBytesOnThisHost) {
    unsigned char b[4] = {1, 2, 3, 4};
    cvt2le(b, 4);
    const uint32_t one = 1;
    if (*reinterpret_cast<const unsigned char*>(&one) == 1) {
        EXPECT_EQ(std::memcmp(b, "\x01\x02\x03\x04", 4), 0);
    } else {
        EXPECT_EQ(std::memcmp(b, "\x04\x03\x02\x01", 4), 0);
    }
}

TEST(HexDigest, Classifies) {
    EXPECT_TRUE(is_hex_digest("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(is_hex_digest("D41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(is_hex_digest("d41d8cd98f00b204e9800998ecf8427"));
    EXPECT_FALSE(is_hex_digest("g41d8cd98f00b204e9800998ecf8427e"));
    // Every byte value, at the first and the last place: only 0-9 and a-f.
    for (int b = 0; b < 256; ++b) {
        const bool hex = (b >= '0' && b <= '9') || (b >= 'a' && b <= 'f');
        for (const std::size_t at : {std::size_t(0), std::size_t(31)}) {
            std::string d(32, '0');
            d[at] = char(b);
            EXPECT_EQ(is_hex_digest(d), hex) << "byte " << b << " at " << at;
        }
    }
}

TEST(TreeRelpath, DropsDotsRefusesWhatLeadsOut) {
    const std::pair<const char*, const char*> cases[] = {
        {"a", "a"}, {"./a", "a"}, {"a//b/./c", "a/b/c"}, {"a/", "a"}, {"..a/b..", "..a/b.."},
        {"../a", nullptr}, {"a/../b", nullptr}, {"/etc/passwd", nullptr}, {"", nullptr}, {".", nullptr},
        {"./", nullptr}};
    for (const auto& [in, want] : cases) {
        std::string out;
        EXPECT_EQ(tree_relpath(in, out), want != nullptr) << in;
        if (want) {
            EXPECT_EQ(out, want) << in;
        }
    }
}

} // namespace
