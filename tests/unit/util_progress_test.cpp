#include "util/progress.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TextCase {
    ProgressSnapshot s;
    int width;
    const char* text;
};

class StatusText : public testing::TestWithParam<TextCase> {};

TEST_P(StatusText, ShowsWhatFits) { EXPECT_EQ(progress_text(GetParam().s, GetParam().width), GetParam().text); }

constexpr uint64_t MB = 1000 * 1000;

INSTANTIATE_TEST_SUITE_P(
    Table, StatusText,
    testing::Values(
        // Nothing counted yet, no total: the files alone.
        TextCase{{"listing", 0, 0, 0, 0, 0.2}, 80, "listing: 0 files"},
        TextCase{{"listing", 1, 0, 999, 0, 0.2}, 80, "listing: 1 file, 999 B"},
        TextCase{{"storing", 12345, 0, 1500, 0, 1.0}, 80, "storing: 12,345 files, 1.5 kB, 1.5 kB/s"},
        // Without bytes read (a listing read back), the rate is in files.
        TextCase{{"listing", 5000, 0, 0, 0, 2.0}, 80, "listing: 5,000 files, 2,500 files/s"},
        // Totals known: percent and time left, from the bytes.
        TextCase{{"extracting", 12345, 59051, 200 * MB, 800 * MB, 2.0},
                 80,
                 "extracting: 12,345/59,051 files, 200 MB of 800 MB, 100 MB/s, 25%, 0:06 left"},
        // From the files when the bytes' total is not known.
        TextCase{{"archiving", 10, 40, 1234567, 0, 10.0}, 80, "archiving: 10/40 files, 1.2 MB, 123 kB/s, 25%, 0:30 left"},
        TextCase{{"applying", 1, 7200, 0, 0, 1.0}, 80, "applying: 1/7,200 files, 1 files/s, 0%, 1:59:59 left"},
        // A total passed is shown as done, never beyond.
        TextCase{{"listing", 9, 8, 0, 0, 3.0}, 80, "listing: 9/8 files, 3 files/s, 100%"},
        // Narrow: percent and time left before bytes and rate; the first
        // field is cut when even it does not fit.
        TextCase{{"extracting", 12345, 59051, 200 * MB, 800 * MB, 2.0}, 40, "extracting: 12,345/59,051 files, 25%"},
        TextCase{{"extracting", 12345, 59051, 200 * MB, 800 * MB, 2.0}, 52,
                 "extracting: 12,345/59,051 files, 25%, 0:06 left"},
        TextCase{{"extracting", 12345, 59051, 200 * MB, 800 * MB, 2.0}, 20, "extracting: 12,345/"},
        TextCase{{"listing", 0, 0, 0, 0, 0}, 1, ""}, TextCase{{"listing", 0, 0, 0, 0, 0}, 0, ""}));

// Whatever the counts and the width, the line never takes the last column
// (a character there makes some terminals wrap) and starts with what the
// job does.
TEST(StatusText, NeverReachesTheLastColumn) {
    const ProgressSnapshot shapes[] = {
        {"making a patch", 123456789, 987654321, 5'000'000'000'000ull, 9'000'000'000'000ull, 12345.6},
        {"checking a patch", 3, 0, 77, 0, 0.7},
        {"restoring", 0, 1, 0, 1, 100.0},
    };
    for (const ProgressSnapshot& s : shapes) {
        const std::string head = std::string(s.what) + ": ";
        for (int width = 0; width <= 130; ++width) {
            const std::string t = progress_text(s, width);
            EXPECT_LT(int(t.size()), width > 0 ? width : 1) << width << ": " << t;
            EXPECT_EQ(t.substr(0, head.size()), head.substr(0, t.size())) << t;
        }
    }
}

} // namespace
