#include "patch/dirs.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class DirsRecord : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        for (const char* d : {"patch", "tree", "other"}) fs::create_directories(path(d));
        rec_.undo = true;
        rec_.made = {"a", "a/b"};
        rec_.gone = {{"old", 0750}, {"x y", 0700}};
        rec_.saved = {{"conf/mine", {SavedFile::file, std::string(32, 'c')}},
                      {"ln", {SavedFile::link, ""}},
                      {"fifo", {SavedFile::special, ""}}};
    }
    std::string at(const char* name) const { return path(name); }

    DirRecord rec_;
};

TEST_F(DirsRecord, HonouredOnItsOwnTreeAlsoThroughALink) {
    write_dir_record(at("patch"), at("tree"), rec_);
    fs::create_directory_symlink(at("tree"), at("link"));
    for (const char* tree : {"tree", "link"}) {
        DirRecord back;
        ASSERT_TRUE(read_dir_record(at("patch"), at(tree), back)) << tree;
        EXPECT_TRUE(back.undo);
        EXPECT_EQ(back.made, rec_.made);
        EXPECT_EQ(back.gone, rec_.gone);
        EXPECT_EQ(back.saved, rec_.saved);
    }
}

TEST_F(DirsRecord, IgnoredForAnyOtherTree) {
    write_dir_record(at("patch"), at("tree"), rec_);
    DirRecord back;
    EXPECT_FALSE(read_dir_record(at("patch"), at("other"), back));
    // Another directory at the same path: the record travelled with a copy.
    fs::rename(at("tree"), at("moved"));
    fs::create_directory(at("tree"));
    EXPECT_FALSE(read_dir_record(at("patch"), at("tree"), back));
    // Path and identity both: a tree moved elsewhere is not told apart from
    // a copy.
    EXPECT_FALSE(read_dir_record(at("patch"), at("moved"), back));
    // A record without a tie, as a patch directory may carry one.
    std::ofstream(at("patch/DIRS")) << "undo\ngone 777 plugins\n";
    EXPECT_FALSE(read_dir_record(at("patch"), at("tree"), back));
    forget_dir_record(at("patch"));
    EXPECT_FALSE(fs::exists(at("patch/DIRS")));
}

TEST_F(DirsRecord, RestoredModesStayWithinThoseOfANewDirectory) {
    const mode_t old = ::umask(022);
    struct Case {
        unsigned recorded, expected;
    };
    for (const Case c : {Case{07777, 0755}, Case{0777, 0755}, Case{0700, 0700}, Case{04751, 0751}}) {
        const std::string d = at("new");
        ASSERT_EQ(::mkdir(d.c_str(), 0777), 0);
        restore_dir_mode(d, c.recorded);
        struct stat st;
        ASSERT_EQ(::stat(d.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected) << std::oct << c.recorded;
        ::rmdir(d.c_str());
    }
    ::umask(old);
}

// A record tied to the tree but with a crafted body: any line that is not
// "made <path>", "gone <octal mode up to 7777> <path>" or "saved <kind>
// <digest, or - but for a file> <safe path>" refuses it whole. A record
// without saved files, as earlier versions wrote it, is read as it was.
TEST_F(DirsRecord, CraftedBodyRefusedWhole) {
    DirRecord empty;
    write_dir_record(at("patch"), at("tree"), empty);
    std::string head;
    {
        std::ifstream in(at("patch/DIRS"));
        std::string first, tie;
        ASSERT_TRUE(std::getline(in, first) && std::getline(in, tie));
        head = first + "\n" + tie + "\n";
    }
    struct Body {
        const char* text;
        bool accepted;
    };
    for (const Body b :
         {Body{"gone 0755 a b\nmade x/y\n", true}, Body{"gone 10000 a\n", false}, Body{"gone 75x a\n", false},
          Body{"gone 755\n", false}, Body{"removed a\n", false}, Body{"made a\nMADE b\n", false},
          Body{"made x/y\nsaved file 0123456789abcdef0123456789abcdef a b\ngone 755 a b\n", true},
          Body{"saved file 0123456789abcdef0123456789abcdeF a\n", false},
          Body{"saved file 0123456789abcdef a\n", false}, Body{"saved link 01 a\n", false},
          Body{"saved file 0123456789abcdef0123456789abcdef ../a\n", false},
          Body{"saved file 0123456789abcdef0123456789abcdef \n", false}, Body{"saved fifo - a\n", false},
          Body{"saved link -\n", false}}) {
        std::ofstream(at("patch/DIRS"), std::ios::trunc) << head << b.text;
        DirRecord back;
        EXPECT_EQ(read_dir_record(at("patch"), at("tree"), back), b.accepted) << b.text;
        if (!b.accepted) continue;
        EXPECT_EQ(back.gone, (std::unordered_map<std::string, unsigned>{{"a b", 0755}}));
        EXPECT_EQ(back.made, (std::unordered_set<std::string>{"x/y"}));
        EXPECT_EQ(back.saved.size(), back.saved.count("a b"));
    }
    // A link or a FIFO in its place is never followed nor waited on.
    fs::remove(at("patch/DIRS"));
    ASSERT_EQ(::mkfifo(at("patch/DIRS").c_str(), 0600), 0);
    DirRecord back;
    EXPECT_FALSE(read_dir_record(at("patch"), at("tree"), back));
    fs::remove(at("patch/DIRS"));
    std::ofstream(at("elsewhere")) << head << "made a\n";
    fs::create_symlink(at("elsewhere"), at("patch/DIRS"));
    EXPECT_FALSE(read_dir_record(at("patch"), at("tree"), back));
}

} // namespace
