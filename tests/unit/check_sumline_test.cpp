#include "check/sumline.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string D = "0123456789abcdef0123456789abcdef";
const std::string U = "0123456789ABCDEF0123456789abcdef";

struct Case {
    std::string line;
    SumLineKind kind;
    std::string name;
};

class SumLines : public testing::TestWithParam<Case> {};

// Each line read on its own, as the first of a listing.
TEST_P(SumLines, ReadAsMd5sumReadsThem) {
    SumLineState st;
    SumLine out;
    const Case& c = GetParam();
    ASSERT_EQ(parse_sum_line(c.line, st, out), c.kind) << c.line;
    if (c.kind != SumLineKind::entry) return;
    EXPECT_EQ(out.name, c.name);
    EXPECT_EQ(std::string(out.digest), D);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SumLines,
    testing::Values(
        Case{D + "  a b", SumLineKind::entry, "a b"}, Case{D + " *bin", SumLineKind::entry, "bin"},
        Case{U + "  up", SumLineKind::entry, "up"}, Case{"  \t" + D + "  lead", SumLineKind::entry, "lead"},
        Case{D + "  a\tb\x1b", SumLineKind::entry, "a\tb\x1b"}, Case{D + "  cr\r", SumLineKind::entry, "cr"},
        Case{D + "  cr\r\r", SumLineKind::entry, "cr\r"}, Case{D + "   sp", SumLineKind::entry, " sp"},
        Case{"\\" + D + "  a\\nb\\\\c\\r", SumLineKind::entry, "a\nb\\c\r"},
        Case{"\\" + D + "  a\\tb", SumLineKind::malformed, ""}, Case{"\\" + D + "  a\\", SumLineKind::malformed, ""},
        Case{D + "  a" + std::string(1, '\0') + "b", SumLineKind::malformed, ""},
        Case{D + std::string(1, '\0') + "a b", SumLineKind::malformed, ""},
        Case{"MD5 (x (1).txt) = " + D, SumLineKind::entry, "x (1).txt"}, Case{"MD5(x)=" + U, SumLineKind::entry, "x"},
        Case{"\\MD5 (a\\nb) = " + D, SumLineKind::entry, "a\nb"},
        Case{"MD5 (x) = " + D + " ", SumLineKind::malformed, ""}, Case{"MD5 (x = " + D, SumLineKind::malformed, ""},
        Case{"SHA1 (x) = " + D, SumLineKind::malformed, ""}, Case{D.substr(1) + "  short", SumLineKind::malformed, ""},
        Case{D + "0  long", SumLineKind::malformed, ""}, Case{D + "  ", SumLineKind::entry, " "},
        Case{D, SumLineKind::malformed, ""}, Case{"g" + D.substr(1) + "  x", SumLineKind::malformed, ""},
        Case{"# " + D + "  x", SumLineKind::blank, ""}, Case{"", SumLineKind::blank, ""},
        Case{"\r", SumLineKind::blank, ""}));

TEST(SumLineState, TheFirstUntaggedLineSettlesTheForm) {
    SumLine out;
    SumLineState two;
    EXPECT_EQ(parse_sum_line(D + "  a", two, out), SumLineKind::entry);
    EXPECT_EQ(parse_sum_line(D + " b", two, out), SumLineKind::malformed);
    SumLineState one;
    EXPECT_EQ(parse_sum_line(D + " b", one, out), SumLineKind::entry);
    EXPECT_EQ(out.name, "b");
    ASSERT_EQ(parse_sum_line(D + "  a", one, out), SumLineKind::entry);
    EXPECT_EQ(out.name, " a");
}

} // namespace
