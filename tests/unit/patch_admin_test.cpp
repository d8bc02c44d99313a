#include "patch/admin.h"
#include "util/fatal.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

const std::string EPOCH = "date: Thu Jan  1 00:00:00 1970\n";

class AdminUpdate : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
        path_ = path("sub/adm");
    }

    void write(const std::string& text) {
        fs::create_directories(path("sub"));
        std::ofstream(path_, std::ios::binary) << text;
    }
    std::string read() {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string update(const std::string& name, const std::vector<std::string>& lines) {
        update_admin(path_.c_str(), name, lines, 0);
        EXPECT_FALSE(fs::exists(path_ + ".tmp"));
        return read();
    }

    std::string path_;
};

struct Case {
    const char* what;
    std::string before;  // empty: no file
    std::string name;
    std::vector<std::string> lines;
    std::string after;
};

class AdminCases : public AdminUpdate, public testing::WithParamInterface<Case> {};

TEST_P(AdminCases, RewritesTheFile) {
    if (!GetParam().before.empty()) write(GetParam().before);
    EXPECT_EQ(update(GetParam().name, GetParam().lines), GetParam().after);
}

const std::string LONG(10000, 'l');

INSTANTIATE_TEST_SUITE_P(
    Table, AdminCases,
    testing::Values(
        Case{"first record", "", "p", {"a: 1", "b"}, "patch: p\n" + EPOCH + "a: 1\nb\n"},
        Case{"no lines, no file: an empty file", "", "p", {}, ""},
        Case{"earlier record moves to the end", "head\npatch: p\ndate: x\na\n\npatch: q\nq1\n", "p", {"n"},
             "head\npatch: q\nq1\n\npatch: p\n" + EPOCH + "n\n"},
        Case{"no lines: record dropped, empty line appended", "patch: p\nx\n\npatch: q\n", "p", {},
             "patch: q\n\n"},
        Case{"names differ by case and trailing space", "patch: P\n\npatch: p \n", "p", {"z"},
             "patch: P\n\npatch: p \n\npatch: p\n" + EPOCH + "z\n"},
        Case{"empty name", "patch: \nold\n\npatch: q\n", "", {"new"}, "patch: q\n\npatch: \n" + EPOCH + "new\n"},
        Case{"an inner patch: line ends the record", "patch: p\na\npatch: inner\nb\n", "p", {"c"},
             "patch: inner\nb\n\npatch: p\n" + EPOCH + "c\n"},
        Case{"re-running the last patch adds no blank line", "patch: q\nq1\n\npatch: p\n" + EPOCH + "a\n", "p",
             {"a"}, "patch: q\nq1\n\npatch: p\n" + EPOCH + "a\n"},
        Case{"re-running the only patch adds no blank line", "patch: p\n" + EPOCH + "a\n", "p", {"a"},
             "patch: p\n" + EPOCH + "a\n"},
        Case{"long lines carried whole, carriage returns cut", "patch: q\r\n" + LONG + "\n", "p", {"c"},
             "patch: q\n" + LONG + "\n\npatch: p\n" + EPOCH + "c\n"}),
    [](const testing::TestParamInfo<Case>& i) { return "case" + std::to_string(i.index); });

TEST_F(AdminUpdate, UnreadableFileIsLeftAsItWas) {
    fs::create_directories(path_);  // opens, but every read fails
    fs::create_directories(fs::path(path_) / "keep");
    EXPECT_THROW(update_admin(path_.c_str(), "p", {"a"}, 0), FatalError);
    EXPECT_TRUE(fs::exists(fs::path(path_) / "keep"));
    EXPECT_FALSE(fs::exists(path_ + ".tmp"));
}

TEST_F(AdminUpdate, StaleTemporaryFileOrLinkIsReplacedNotWrittenThrough) {
    write("patch: q\n");
    const fs::path victim = path("victim");
    std::ofstream(victim) << "v";
    fs::create_symlink(victim, path_ + ".tmp");
    EXPECT_EQ(update("p", {"a"}), "patch: q\n\npatch: p\n" + EPOCH + "a\n");
    std::ifstream in(victim);
    std::string v;
    in >> v;
    EXPECT_EQ(v, "v");
}

} // namespace
