#include "util/escape.h"
#include "util/fatal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using namespace std::string_literals;

struct Escaped {
    std::string name;
    std::string listing;  // as a listing line carries it
    std::string shown;    // as any other line shows it
};

class Escaping : public testing::TestWithParam<Escaped> {};

TEST_P(Escaping, ListingAndShownForms) {
    const Escaped& e = GetParam();
    const bool control = e.name.find_first_of("\x01\x02\x1b\t\n\r\x1f"s + '\0') != std::string::npos;
    EXPECT_EQ(has_control(e.name), control);
    EXPECT_EQ(shown(e.name), e.shown);
    if (!control) return;  // a listing escapes only names with a control byte
    EXPECT_EQ(escape_listing(e.name), e.listing);
    std::string back;
    ASSERT_TRUE(unescape_listing(e.listing, back));
    EXPECT_EQ(back, e.name);
}

INSTANTIATE_TEST_SUITE_P(
    Names, Escaping,
    testing::Values(Escaped{"plain name.txt", "plain name.txt", "plain name.txt"},
                    // A backslash alone is no reason to escape a name.
                    Escaped{"a\\b", "a\\b", "a\\b"},
                    Escaped{"two\nlines", "two\\nlines", "two\\nlines"},
                    Escaped{"cr\r", "cr\\r", "cr\\r"},
                    // Once escaped, a backslash doubles so that it reads back.
                    Escaped{"a\\b\n", "a\\\\b\\n", "a\\\\b\\n"},
                    // A tab stays a tab in a listing, and is shown as \t.
                    Escaped{"tab\there\n", "tab\there\\n", "tab\\there\\n"},
                    Escaped{"\x1b[31mred", "\x1b[31mred", "\\x1b[31mred"},
                    Escaped{"\x01\x1f", "\x01\x1f", "\\x01\\x1f"},
                    // Bytes of 128 and above are names' own (UTF-8), never escaped.
                    Escaped{"caf\xc3\xa9\n", "caf\xc3\xa9\\n", "caf\xc3\xa9\\n"}));

TEST(Unescaping, RefusesWhatNoEscapingWrites) {
    std::string out;
    for (const char* bad : {"end\\", "\\t", "\\x41", "a\\ b", "\\0"}) EXPECT_FALSE(unescape_listing(bad, out)) << bad;
    EXPECT_TRUE(unescape_listing("", out));
    EXPECT_EQ(out, "");
}

// Lines as a reader of standard error sees them.
TEST(NameLines, MarkedWithABackslashOnlyWhenEscaped) {
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* f = ::open_memstream(&buf, &len);
    ASSERT_NE(f, nullptr);
    print_name_line(f, "Removed: ", "x/y");
    print_name_line(f, "", "bad\nname", ": OK");
    print_name_line(f, "", "t\tz", "");
    std::fclose(f);
    EXPECT_EQ(std::string(buf, len), "Removed: x/y\n\\bad\\nname: OK\n\\t\\tz\n");
    std::free(buf);
}

} // namespace
