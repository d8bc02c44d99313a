#include "stream/stream.h"
#include "util/fatal.h"
#include "util/fileio.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A tree six levels deep with files at several levels, walked with at most
// three directories open: the root and the two deepest.
class DeepWalk : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        ASSERT_NE(::getcwd(cwd_, sizeof cwd_), nullptr);
        std::string d = root();
        ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
        for (const char* level : {"a", "b", "c", "d", "e"}) {
            d += std::string("/") + level;
            ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
            for (const char* f : {"f1", "f2"}) touch(d + "/" + level + f);
        }
        touch(root() + "/top");
    }
    void TearDown() override {
        ASSERT_EQ(::chdir(cwd_), 0);
        ScratchTest::TearDown();
    }
    std::string root() const { return dir_ + "/root"; }
    static void touch(const std::string& p) { File(FOPENG(p.c_str(), "wb", __LINE__), p).close(); }

    // Walks root with at most max_dirs open; calls at(name) after each file.
    template <class At>
    std::vector<std::string> walk(int max_dirs, At at) {
        StreamPtr s(openstream(root().c_str()));
        s->max_dirs = max_dirs;
        std::vector<std::string> names;
        while (nextstream(s.get())) {
            names.emplace_back(s->name);
            char hex[MD5_HEX_SIZE];
            md5stream(s.get(), hex);  // opens the file in its own directory
            at(names.back());
        }
        return names;
    }

    char cwd_[4096];
};

TEST_F(DeepWalk, FewDescriptorsSameNamesSameOrder) {
    const auto wide = walk(16, [](const std::string&) {});
    EXPECT_EQ(wide.size(), 11u);
    EXPECT_EQ(walk(3, [](const std::string&) {}), wide);
}

TEST_F(DeepWalk, ClosedLevelReplacedByALinkIsNotFollowed) {
    // A look-alike of a/b/c outside the tree; once the walk has closed a/b/c
    // (at the deepest level), a is swapped for a link to the look-alike.
    ASSERT_EQ(std::system(("mkdir -p '" + dir_ + "/outside/b/c' && touch '" + dir_ + "/outside/b/c/secret'").c_str()),
              0);
    bool swapped = false;
    std::vector<std::string> seen;
    try {
        walk(3, [&](const std::string& name) {
            seen.push_back(name);
            if (swapped || name.find("/e/") == std::string::npos) return;
            ASSERT_EQ(::rename((root() + "/a").c_str(), (dir_ + "/moved").c_str()), 0);
            ASSERT_EQ(::symlink((dir_ + "/outside").c_str(), (root() + "/a").c_str()), 0);
            swapped = true;
        });
        ADD_FAILURE() << "the walk went on through the link";
    } catch (const FatalError& e) {
        EXPECT_NE(e.message.find("a/b/c/ was replaced during the walk"), std::string::npos) << e.message;
    }
    EXPECT_TRUE(swapped);
    for (const std::string& n : seen) EXPECT_EQ(n.find("secret"), std::string::npos) << n;
}

} // namespace
