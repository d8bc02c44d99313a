#include "db/store.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/lease.h"
#include "util/tempfile.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(StorePath, LayoutAndLongestRoot) {
    const std::string digest = "d41d8cd98f00b204e9800998ecf8427e";
    std::string out;
    store_path(out, "/db", digest);
    EXPECT_EQ(out, "/db/d4/1d8cd98f00b204e9800998ecf8427e");
    EXPECT_STREQ(store_rel(out), "d4/1d8cd98f00b204e9800998ecf8427e");

    // The longest root the limit admits gives a path of exactly 4095 bytes.
    const std::string root = "/" + std::string(STORE_ROOT_MAX - 1, 'r');
    store_path(out, root, digest);
    EXPECT_EQ(out.size(), PATH_MAXLEN);
    EXPECT_EQ(out.substr(0, root.size() + 4), root + "/d4/");
    EXPECT_STREQ(store_rel(out), "d4/1d8cd98f00b204e9800998ecf8427e");
}

TEST(StoreNames, DirectoriesObjectsAndTemporaryFiles) {
    EXPECT_TRUE(is_object_dir_name("0f"));
    EXPECT_FALSE(is_object_dir_name("0F"));
    EXPECT_FALSE(is_object_dir_name("0"));
    EXPECT_FALSE(is_object_dir_name("0fa"));
    EXPECT_TRUE(is_object_name("1d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(is_object_name("1d8cd98f00b204e9800998ecf8427E"));
    EXPECT_FALSE(is_object_name("1d8cd98f00b204e9800998ecf8427"));
    EXPECT_FALSE(is_object_name("1d8cd98f00b204e9800998ecf8427e0"));
    // Every name TempFile makes is recognised, and two are never the same.
    const std::string a = temp_name("/x/"), b = temp_name("");
    EXPECT_EQ(a.substr(0, 3), "/x/");
    EXPECT_TRUE(is_temp_name(a.substr(3)));
    EXPECT_TRUE(is_temp_name(b));
    EXPECT_NE(a.substr(3), b);
    EXPECT_FALSE(is_temp_name(".mdtree-short"));
    EXPECT_FALSE(is_temp_name("x.mdtree-0123456789"));
}

// A temporary directory standing for a store root, removed afterwards.
class Publish : public ScratchTest {
protected:

    int entries(const std::string& dir) const {
        int n = 0;
        if (DIR* d = ::opendir(dir.c_str())) {
            while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.' || (e->d_name[1] && e->d_name[1] != '.');
            ::closedir(d);
        }
        return n;
    }

};

// Writes "data" into a temporary file in the root and publishes it as obj.
void publish(const std::string& root, const std::string& obj) {
    TempFile tmp(root + "/");
    write_all(tmp.get(), "data", 4, tmp.temp_path().c_str());
    tmp.close();
    tmp.commit_closed_as(obj);
}

TEST_F(Publish, IntoMissingTwoDigitDirectory) {
    std::string obj;
    store_path(obj, dir_, "8d777f385d3dfec8815d20f7496026dc");
    publish(dir_, obj);
    struct stat st;
    ASSERT_EQ(::stat(obj.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
    EXPECT_EQ(entries(dir_), 1);  // the two-digit directory, no temporary file
}

TEST_F(Publish, FailureLeavesNoTemporaryFile) {
    // The two-digit name is taken by a file: the rename can not succeed.
    std::string obj;
    store_path(obj, dir_, "8d777f385d3dfec8815d20f7496026dc");
    File blocker(std::fopen((dir_ + "/8d").c_str(), "w"), dir_ + "/8d");
    ASSERT_TRUE(blocker);
    blocker.close();
    try {
        publish(dir_, obj);
        FAIL() << "publishing over a file succeeded";
    } catch (const FatalError& e) {
        EXPECT_EQ(e.status, 1);
    }
    EXPECT_EQ(entries(dir_), 1);  // only the blocking file
}

} // namespace
