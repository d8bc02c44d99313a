#include "util/guard.h"
#include "util/fatal.h"
#include "util/tempfile.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

bool is_dir(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

// A root with a real directory "real", a link "out" to a directory outside
// the root, and a regular file "file".
class Guard : public testing::Test {
protected:
    void SetUp() override {
        base_ = make_scratch_dir("guard");
        ASSERT_FALSE(base_.empty());
        root_ = base_ + "/root";
        outside_ = base_ + "/outside";
        ASSERT_EQ(::mkdir(root_.c_str(), 0777), 0);
        ASSERT_EQ(::mkdir(outside_.c_str(), 0777), 0);
        ASSERT_EQ(::mkdir((root_ + "/real").c_str(), 0777), 0);
        ASSERT_EQ(::symlink(outside_.c_str(), (root_ + "/out").c_str()), 0);
        std::FILE* f = std::fopen((root_ + "/file").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    void TearDown() override { remove_scratch_dir(base_); }

    std::string base_, root_, outside_;
    DirGuard guard_;
};

TEST_F(Guard, FindsTheFirstLinkInALeadingDirectory) {
    EXPECT_EQ(guard_.find_link(root_, "out/x"), root_ + "/out");
    EXPECT_EQ(guard_.find_link(root_, "out/a/b/x"), root_ + "/out");
    // The last component is the file itself: a link there is not a leading
    // directory's business.
    EXPECT_EQ(guard_.find_link(root_, "out"), "");
    EXPECT_EQ(guard_.find_link(root_, "real/x"), "");
    // Missing directories and a file in the way are left to the operation.
    EXPECT_EQ(guard_.find_link(root_, "none/deeper/x"), "");
    EXPECT_EQ(guard_.find_link(root_, "file/x"), "");
}

TEST_F(Guard, SeenMissingIsNotTrustedOnceSomethingAppears) {
    EXPECT_EQ(guard_.find_link(root_, "late/x"), "");
    ASSERT_EQ(::symlink(outside_.c_str(), (root_ + "/late").c_str()), 0);
    // make looks again: it is about to write through the path.
    EXPECT_EQ(guard_.make(root_, "late/x"), root_ + "/late");
    EXPECT_FALSE(exists(outside_ + "/x"));
}

TEST_F(Guard, MakesMissingDirectoriesOutermostFirst) {
    std::vector<std::string> created;
    EXPECT_EQ(guard_.make(root_, "real/a/b/x", &created), "");
    EXPECT_EQ(created, (std::vector<std::string>{root_ + "/real/a", root_ + "/real/a/b"}));
    EXPECT_TRUE(is_dir(root_ + "/real/a/b"));
    EXPECT_FALSE(exists(root_ + "/real/a/b/x"));
}

TEST_F(Guard, RefusesToMakeThroughALink) {
    EXPECT_EQ(guard_.make(root_, "out/a/x"), root_ + "/out");
    EXPECT_FALSE(exists(outside_ + "/a"));
    try {
        guard_.make_or_die(root_, "out/a/x");
        FAIL() << "no failure";
    } catch (const FatalError& e) {
        EXPECT_EQ(e.status, 1);
        EXPECT_NE(e.message.find("is a symbolic link; refusing to follow it"), std::string::npos) << e.message;
    }
    EXPECT_THROW(guard_.check_or_die(root_, "out/x"), FatalError);
    EXPECT_NO_THROW(guard_.check_or_die(root_, "real/x"));
}

TEST_F(Guard, UnmakeTakesBackOnlyEmptyDirectoriesItMade) {
    ASSERT_EQ(guard_.make(root_, "real/a/b/c/x"), "");
    // Something else now lives in a/: a/b/c and a/b go, a stays.
    ASSERT_EQ(::mkdir((root_ + "/real/a/keep").c_str(), 0777), 0);
    guard_.unmake(root_, "real/a/b/c/x");
    EXPECT_FALSE(exists(root_ + "/real/a/b"));
    EXPECT_TRUE(is_dir(root_ + "/real/a/keep"));
    // real was there before: never removed, even empty.
    ASSERT_EQ(::rmdir((root_ + "/real/a/keep").c_str()), 0);
    guard_.unmake(root_, "real/a/b/c/x");
    EXPECT_FALSE(exists(root_ + "/real/a"));
    EXPECT_TRUE(is_dir(root_ + "/real"));
}

TEST_F(Guard, MadeForTakesBackUnlessKeptAndMovesWithItsEntry) {
    {
        MadeFor made(guard_, root_, "n1/x");
        ASSERT_EQ(guard_.make(root_, "n1/x"), "");
    }
    EXPECT_FALSE(exists(root_ + "/n1"));
    {
        MadeFor made(guard_, root_, "n2/x");
        ASSERT_EQ(guard_.make(root_, "n2/x"), "");
        made.keep();
    }
    EXPECT_TRUE(is_dir(root_ + "/n2"));
    std::vector<MadeFor> moved;
    {
        MadeFor made(guard_, root_, "n3/x");
        ASSERT_EQ(guard_.make(root_, "n3/x"), "");
        moved.push_back(std::move(made));
    }
    // The moved-from one took nothing back; its new owner does.
    EXPECT_TRUE(is_dir(root_ + "/n3"));
    moved.clear();
    EXPECT_FALSE(exists(root_ + "/n3"));
}

// The rule that every write below a root goes by: a link at any leading
// component is refused when the directory is opened, whatever was checked
// before, and a directory opened stays itself however its name is swapped.
class GuardParent : public Guard, public testing::WithParamInterface<const char*> {
protected:
    // Renames dir (below the root) aside and puts a link to outside_ at its
    // name: the swap an attacker makes between a check and a write.
    void swap_for_link(const std::string& dir) {
        ASSERT_EQ(::rename((root_ + "/" + dir).c_str(), (root_ + "/" + dir + ".real").c_str()), 0);
        ASSERT_EQ(::symlink(outside_.c_str(), (root_ + "/" + dir).c_str()), 0);
    }
    bool outside_empty() const { return ::rmdir(outside_.c_str()) == 0 && ::mkdir(outside_.c_str(), 0777) == 0; }
    static std::string read(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
};

// A link at the first, a middle and the last leading component; with and
// without making missing directories.
TEST_P(GuardParent, RefusesALinkAtAnyComponent) {
    const std::string rel = GetParam();
    ASSERT_EQ(::mkdir((root_ + "/real/mid").c_str(), 0777), 0);
    ASSERT_EQ(::symlink(outside_.c_str(), (root_ + "/real/mid/out").c_str()), 0);
    ASSERT_EQ(::symlink(outside_.c_str(), (root_ + "/real/out").c_str()), 0);
    const std::string link_at = rel.substr(0, rel.find("out") + 3);
    for (const bool make : {false, true}) {
        std::string link;
        EXPECT_EQ(guard_.parent(root_, rel + "/x", make, link), nullptr);
        EXPECT_EQ(link, root_ + "/" + link_at);
        EXPECT_THROW(guard_.parent_or_die(root_, rel + "/x", make), FatalError);
    }
    EXPECT_TRUE(outside_empty()) << "something was made through the link";
}
INSTANTIATE_TEST_SUITE_P(Components, GuardParent, testing::Values("out", "out/a", "real/out", "real/mid/out/b"));

TEST_F(GuardParent, ALinkSwappedInAfterTheCheckIsRefusedWhenOpened) {
    guard_.check_or_die(root_, "fresh/a/x");
    ASSERT_EQ(::mkdir((root_ + "/fresh").c_str(), 0777), 0);
    guard_.make_or_die(root_, "fresh/a/x");
    swap_for_link("fresh");
    std::string link;
    EXPECT_EQ(guard_.parent(root_, "fresh/a/x", true, link), nullptr);
    EXPECT_EQ(link, root_ + "/fresh");
    EXPECT_TRUE(outside_empty());
}

// A directory missing (or a file in its place) when a name below it is
// reached without making it: a link planted there before the call on the
// name carries nothing out of the root, and the name is simply missing.
TEST_F(GuardParent, AMissingDirectoryPlantedWithALinkAfterTheLookIsNotFollowed) {
    ASSERT_EQ(::mkdir((outside_ + "/a").c_str(), 0777), 0);
    std::FILE* f = std::fopen((outside_ + "/a/x").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    for (const std::string rel : {"gone/a/x", "file/a/x"}) {
        const DirRef dir = guard_.parent_or_die(root_, rel, false);
        ASSERT_NE(dir, nullptr);
        const std::string top = root_ + "/" + rel.substr(0, rel.find('/'));
        ASSERT_EQ(::unlink(top.c_str()) == 0 || errno == ENOENT, true);
        ASSERT_EQ(::symlink(outside_.c_str(), top.c_str()), 0);
        const NameAt at(dir, root_ + "/" + rel);
        EXPECT_NE(::unlinkat(at.at, at.name, 0), 0);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_LT(::openat(at.at, "new", O_CREAT | O_WRONLY | O_CLOEXEC, 0666), 0);
        EXPECT_TRUE(exists(outside_ + "/a/x")) << rel << ": a removal followed the link";
        EXPECT_FALSE(exists(outside_ + "/a/new")) << rel;
        ASSERT_EQ(::unlink(top.c_str()), 0);
    }
}

TEST_F(GuardParent, AFileGoesToTheDirectoryOpenedWhateverIsSwappedOntoItsName) {
    const DirRef dir = guard_.parent_or_die(root_, "real/a/x", true);
    ASSERT_NE(dir, nullptr);
    {
        TempFile kept(root_ + "/real/a/x", dir);
        ASSERT_EQ(::write(kept.fd(), "kept\n", 5), 5);
        TempFile dropped(root_ + "/real/a/y", dir);
        swap_for_link("real");
        kept.commit();
        // dropped is destroyed uncommitted: removed from where it is.
    }
    EXPECT_TRUE(outside_empty()) << "a write or a rename followed the link";
    EXPECT_EQ(read(root_ + "/real.real/a/x"), "kept\n");
    EXPECT_EQ(::rmdir((root_ + "/real.real/a").c_str()) == 0, false) << "x is there";
    ASSERT_EQ(::unlink((root_ + "/real.real/a/x").c_str()), 0);
    EXPECT_EQ(::rmdir((root_ + "/real.real/a").c_str()), 0) << "the uncommitted file was left behind";
}

TEST_F(GuardParent, UnmakeTakesNothingThroughASwappedDirectory) {
    ASSERT_EQ(guard_.parent_or_die(root_, "n/a/b/x", true) != nullptr, true);
    ASSERT_EQ(::mkdir((outside_ + "/a").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir((outside_ + "/a/b").c_str(), 0777), 0);
    swap_for_link("n");
    guard_.unmake(root_, "n/a/b/x");
    EXPECT_TRUE(is_dir(outside_ + "/a/b")) << "a directory outside the root was removed";
}

TEST_F(GuardParent, ADirectoryRemovedIsOpenedAfreshWhenMadeAgain) {
    ASSERT_NE(guard_.parent_or_die(root_, "real/gone/x", true), nullptr);
    ASSERT_TRUE(guard_.remove_dir(root_, "real/gone"));
    EXPECT_FALSE(exists(root_ + "/real/gone"));
    const DirRef again = guard_.parent_or_die(root_, "real/gone/x", true);
    ASSERT_NE(again, nullptr);
    TempFile t(root_ + "/real/gone/x", again);
    t.commit();
    EXPECT_TRUE(exists(root_ + "/real/gone/x"));
}

} // namespace
