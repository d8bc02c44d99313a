#include "check/quote.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// Names and how md5sum's messages show them (checked against md5sum in
// tests/e2e/test_check.py too).
TEST(Quoted, AsAShellWord) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain/a-b_c.1,2+3%@]", "plain/a-b_c.1,2+3%@]"},
        {"a b", "'a b'"},
        {"", "''"},
        {"a:b", "'a:b'"},
        {"it's", "\"it's\""},
        {"x'$y", "'x'\\''$y'"},
        {"a\tb", "'a'$'\\t''b'"},
        {"\t\x01", "''$'\\t\\001'"},
        {"\x7f", "''$'\\177'"},
        {"\xc3\xa9", "''$'\\303\\251'"},
        {"\t'", "''$'\\t'\\'''"},
        {"~a", "'~a'"},
        {"a~#", "a~#"},
        {"{", "'{'"},
        {"a{", "a{"},
        {"a\\b", "'a\\b'"},
        {"a?b", "'a?b'"},
    };
    for (const auto& [name, shown] : cases) EXPECT_EQ(shell_quoted(name), shown) << name;
}

} // namespace
