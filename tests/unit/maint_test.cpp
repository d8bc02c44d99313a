#include "db/maint.h"
#include "util/fatal.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Maint : public ScratchTest {
protected:
    static std::string read(const std::string& p) {
        std::ifstream f(p);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
};

TEST_F(Maint, RenameNeverReplaces) {
    const std::string a = put("a", "A"), b = put("b", "B");
    EXPECT_EQ(rename_noreplace(a, b), EEXIST);
    EXPECT_EQ(read(a), "A");
    EXPECT_EQ(read(b), "B");
    EXPECT_EQ(rename_noreplace(a, dir_ + "/c"), 0);
    EXPECT_EQ(read(dir_ + "/c"), "A");
    EXPECT_EQ(rename_noreplace(a, dir_ + "/d"), ENOENT);
}

TEST_F(Maint, MovesOnlyTheFileJudged) {
    const std::string obj = put("obj", "old");
    struct stat seen;
    ASSERT_EQ(::lstat(obj.c_str(), &seen), 0);
    EXPECT_EQ(move_if_same(obj, dir_ + "/aside", seen), Moved::yes);
    EXPECT_EQ(move_if_same(obj, dir_ + "/aside2", seen), Moved::gone);

    // Replaced by a new file after it was judged: the new one goes back.
    put("obj", "new");
    EXPECT_EQ(move_if_same(obj, dir_ + "/aside3", seen), Moved::back);
    EXPECT_EQ(read(obj), "new");
    EXPECT_EQ(::access((dir_ + "/aside3").c_str(), F_OK), -1);

    // Refreshed in place (same inode, a new time): it goes back too.
    struct stat now;
    ASSERT_EQ(::lstat(obj.c_str(), &now), 0);
    struct timespec times[2] = {{0, UTIME_NOW}, {1, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, obj.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_EQ(move_if_same(obj, dir_ + "/aside4", now), Moved::back);
    EXPECT_EQ(read(obj), "new");
    EXPECT_EQ(move_if_same(obj, dir_ + "/aside", now), Moved::taken);
}

TEST_F(Maint, StoreTop) {
    ::mkdir((dir_ + "/ab").c_str(), 0777);
    ::mkdir((dir_ + "/damaged").c_str(), 0777);
    ::symlink("/tmp", (dir_ + "/cd").c_str());
    put(".mdtree-0123456789", "");
    put("notes", "");
    const StoreTop top = read_store_top(dir_);
    EXPECT_EQ(top.dirs, std::vector<std::string>{"ab"});
    EXPECT_EQ(top.temps, std::vector<std::string>{".mdtree-0123456789"});
    EXPECT_EQ(top.foreign, (std::vector<std::string>{"cd", "notes"}));
    EXPECT_THROW(read_store_top_strict(dir_), FatalError);
    EXPECT_THROW(read_store_top(dir_ + "/notes"), FatalError);
    EXPECT_THROW(read_store_top(dir_ + "/missing"), FatalError);
}

} // namespace
