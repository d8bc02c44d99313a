#include "patch/manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string D1(32, 'a');
const std::string D2 = "0123456789abcdef0123456789abcdef";

TEST(Manifest, SortsLinesByRoleAndCollectsAdministrationLines) {
    const std::string text = "note: before the name\n"
                             "-" + D1 + "  old\r\n"
                             "patch: \n"
                             "+" + D2 + "  dir/new name\n"
                             "Upper: ignored\n"
                             "+" + D1.substr(1) + "A  bad digest\n"
                             "-" + D2 + " one space\n"
                             "\n"
                             "version: 1\ttab cut\n"
                             "patch: inner\n"
                             "+" + D1 + "  \xc3\xa9";  // no final line feed
    for (const bool undo : {false, true}) {
        Manifest m;
        std::string error;
        ASSERT_TRUE(parse_manifest(text, "FILES", undo, m, error)) << error;
        const std::vector<std::string> minus{"-" + D1 + "  old"};
        const std::vector<std::string> plus{"+" + D2 + "  dir/new name", "+" + D1 + "  \xc3\xa9"};
        EXPECT_EQ(m.removals, undo ? plus : minus);
        EXPECT_EQ(m.creations, undo ? minus : plus);
        EXPECT_TRUE(m.named);
        EXPECT_EQ(m.patch_name, "");  // empty, but named
        EXPECT_EQ(m.admin_lines, (std::vector<std::string>{"version: 1", "patch: inner"}));
    }
}

class UnusableManifest : public testing::TestWithParam<std::string> {};

// Each line, put among good lines, refuses the whole manifest.
TEST_P(UnusableManifest, IsRefusedWithTheLineNumber) {
    const std::string text = "-" + D1 + "  fine\npatch: p\n" + GetParam() + "\n+" + D2 + "  fine\n";
    Manifest m;
    std::string error;
    EXPECT_FALSE(parse_manifest(text, "P/FILES", false, m, error));
    EXPECT_NE(error.find("P/FILES: line 3"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, UnusableManifest,
    testing::Values("-" + D1 + "  ", "+" + D1 + "  /etc/passwd", "-" + D1 + "  ../x", "-" + D1 + "  a/../../x",
                    "+" + D1 + "  a/./b", "+" + D1 + "  a//b", "+" + D1 + "  a/", "+" + D1 + "  .",
                    // A zero byte would make the path name another file.
                    "+" + D1 + "  a" + std::string(1, '\0') + "b",
                    // Longer than any path: never read in pieces, whatever
                    // the line is.
                    "+" + D1 + "  " + std::string(4096, 'x'), "# " + std::string(5000, '-') + D1 + "  x",
                    std::string(MANIFEST_LINE_MAX + 1, 'a'), std::string(MANIFEST_LINE_MAX + 1, 'a') + "\r"));

TEST(Manifest, ThePathRunsToTheEndOfTheLine) {
    // A tab or an escape byte is part of the name; one carriage return
    // before the line feed is not.
    Manifest m;
    std::string error;
    ASSERT_TRUE(parse_manifest("+" + D1 + "  a\tb\x1b\r\r\n-" + D2 + "  c\td", "FILES", false, m, error)) << error;
    EXPECT_EQ(m.creations, std::vector<std::string>{"+" + D1 + "  a\tb\x1b\r"});
    EXPECT_EQ(m.removals, std::vector<std::string>{"-" + D2 + "  c\td"});
}

// One path on one list twice asks for two verdicts on one file; a "-" and a
// "+" line of one path (a changed file, as patch creation writes it) do not.
TEST(Manifest, APathNamedTwiceInOneListIsRefused) {
    struct Case {
        std::string text;
        const char* error;  // null: accepted
    };
    for (const Case& c :
         {Case{"-" + D1 + "  a\n+" + D2 + "  a\n", nullptr},
          Case{"-" + D1 + "  a\n-" + D1 + "  a\n", "P/FILES: two \"-\" lines name a"},
          Case{"+" + D1 + "  a b\n-" + D1 + "  a\n+" + D2 + "  a b\n", "P/FILES: two \"+\" lines name a b"},
          Case{"-" + D1 + "  a/b\n-" + D1 + "  a\n", nullptr}}) {
        for (const bool undo : {false, true}) {
            Manifest m;
            std::string error;
            EXPECT_EQ(parse_manifest(c.text, "P/FILES", undo, m, error), c.error == nullptr) << c.text;
            EXPECT_EQ(error, c.error ? c.error : "") << c.text;
        }
    }
}

TEST(Manifest, LongestPathFits) {
    const std::string line = "+" + D1 + "  " + std::string(4095, 'x');
    for (const char* end : {"\n", "\r\n"}) {
        Manifest m;
        std::string error;
        ASSERT_TRUE(parse_manifest(line + end, "FILES", false, m, error)) << error;
        EXPECT_EQ(m.creations, std::vector<std::string>{line});
    }
}

TEST(SortAndCancel, KeepsOneLineOfEveryOddRunInStrcmpOrder) {
    const std::string x = D1 + "  x";
    std::vector<std::string> lines{"+" + D2 + "  b", "-" + x, "+" + x, "-" + D2 + "  a", "-" + D2 + "  \xff",
                                   "-" + D1 + "  y", "+" + D1 + "  y", "-" + D1 + "  y", "-" + D2 + "  b"};
    sort_and_cancel(lines);
    // Digits sort before letters and 0xff after ASCII: bytes compare unsigned.
    EXPECT_EQ(lines, (std::vector<std::string>{"-" + D2 + "  a", "-" + D2 + "  \xff", "-" + D1 + "  y"}));
}

} // namespace
