#include "util/cleanup.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/paths.h"
#include "util/publish.h"
#include "util/tempfile.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <linux/magic.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Where the files live decides when a batch publishes them: on tmpfs
// nothing waits for a disk, so a file is published as soon as it is added
// with nobody ahead of it; on a disk it waits for its batch's flush.
struct Place {
    const char* name;
    const char* base;  // "" for the scratch directory of every unit test
    bool disk;
};

class Batch : public testing::TestWithParam<Place> {
protected:
    void SetUp() override {
        const Place& p = GetParam();
        if (!*p.base) {
            dir_ = make_scratch_dir("tempfile");
        } else {
            struct statfs sf;
            if (::statfs(p.base, &sf) != 0 || sf.f_type == TMPFS_MAGIC || ::access(p.base, W_OK) != 0)
                GTEST_SKIP() << p.base << " is not a writable disk file system";
            std::string tmpl = std::string(p.base) + "/mdtree-tempfile-XXXXXX";
            if (::mkdtemp(tmpl.data())) dir_ = tmpl;
        }
        ASSERT_FALSE(dir_.empty());
        struct statfs sf;
        ASSERT_EQ(::statfs(dir_.c_str(), &sf), 0);
        disk_ = sf.f_type != TMPFS_MAGIC && sf.f_type != RAMFS_MAGIC;
    }
    void TearDown() override { remove_scratch_dir(dir_); }

    // The names in dir, "." and ".." aside.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        if (DIR* d = ::opendir(dir_.c_str())) {
            while (const dirent* e = ::readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.push_back(e->d_name);
            ::closedir(d);
        }
        return out;
    }
    std::unique_ptr<TempFile> written(const std::string& name) {
        auto f = std::make_unique<TempFile>(dir_ + "/" + name);
        write_fd(f->fd(), name.data(), name.size(), name.c_str());
        f->close();
        return f;
    }
    bool exists(const std::string& name) const {
        struct stat st;
        return ::lstat((dir_ + "/" + name).c_str(), &st) == 0;
    }

    std::string dir_;
    bool disk_ = false;
};

TEST_P(Batch, NamesAppearInOrderOnceTheirDataIsSafe) {
    PublishBatch b;
    std::vector<std::string> done;
    for (const char* n : {"a", "b", "c"}) b.add(written(n), 1, [&done, n] { done.push_back(n); });
    EXPECT_EQ(exists("a"), !disk_);
    EXPECT_EQ(names().size(), 3u);  // three temporary files, or the three files
    b.flush();
    EXPECT_EQ(done, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(names().size(), 3u);
    EXPECT_TRUE(exists("a") && exists("b") && exists("c"));
}

TEST_P(Batch, AFullBatchIsPublishedWhenTheNextOneIsFull) {
    PublishBatch b(false, 1, 2);
    std::vector<std::string> done;
    auto add = [&](const char* n) { b.add(written(n), 1, [&done, n] { done.push_back(n); }); };
    add("a");
    add("b");
    add("c");
    if (disk_) {
        // a and b are set aside while their flush runs, c waits behind them.
        EXPECT_TRUE(done.empty());
        EXPECT_FALSE(exists("a"));
    }
    add("d");
    const std::vector<std::string> want = disk_ ? std::vector<std::string>{"a", "b"} : std::vector<std::string>{"a", "b", "c", "d"};
    EXPECT_EQ(done, want);
    EXPECT_EQ(exists("c"), !disk_);
    b.flush();
    EXPECT_EQ(done, (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_TRUE(exists("c") && exists("d"));
}

TEST_P(Batch, AFileWaitsNoLongerThanTheTimeBound) {
    PublishBatch b;
    std::vector<std::string> done;
    auto add = [&](const char* n) { b.add(written(n), 1, [&done, n] { done.push_back(n); }); };
    const auto wait = [] { ::usleep(useconds_t(PublishBatch::MAX_SECONDS * 1e6) + 100000); };
    add("a");
    wait();
    add("b");  // a and b are set aside, their flush started
    wait();
    add("c");
    ASSERT_GE(done.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(done.begin(), done.begin() + 2), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(exists("a") && exists("b"));
}

TEST_P(Batch, AFailureStillPublishesWhatCameBeforeIt) {
    PublishBatch b(false, 1, 2);
    EXPECT_THROW(publishing(b,
                            [&] {
                                for (const char* n : {"first", "second", "third"}) b.add(written(n), 1, {});
                                throw FatalError{1};
                            }),
                 FatalError);
    std::vector<std::string> got = names();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"first", "second", "third"}));
}

TEST_P(Batch, WhatIsNeverPublishedLeavesNothing) {
    if (!disk_) GTEST_SKIP() << "on tmpfs every file is published at once";
    {
        PublishBatch b(false, 1, 2);
        b.add(written("x"), 1, {});
        b.add(written("y"), 1, {}, dir_ + "/other");  // set aside with x
        b.add(written("z"), 1, {});
    }
    EXPECT_TRUE(names().empty());
}

TEST_P(Batch, ATemporaryNameThatWouldNotFitGoesUp) {
    // A final path of exactly the limit whose own name is one byte: beside
    // it, the temporary name would pass the limit.
    std::string deep = dir_;
    while (deep.size() + 1 + 200 + 2 < PATH_MAXLEN) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(::mkdir(deep.c_str(), 0777), 0);
    }
    const std::size_t last = PATH_MAXLEN - deep.size() - 3;
    deep += "/" + std::string(last, 'e');
    ASSERT_EQ(::mkdir(deep.c_str(), 0777), 0);
    const std::string final_path = deep + "/f";
    ASSERT_EQ(final_path.size(), PATH_MAXLEN);
    TempFile t(final_path);
    EXPECT_LE(t.temp_path().size(), PATH_MAXLEN);
    write_fd(t.fd(), "x", 1, "x");
    t.commit();
    struct stat st;
    ASSERT_EQ(::stat(final_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1);
}

TEST_P(Batch, SignalRemovesEveryTemporaryFileInFlight) {
    // More files in flight than any fixed table would hold.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        install_signal_cleanup();
        std::vector<std::unique_ptr<TempFile>> files;
        for (int i = 0; i < 3000; ++i) files.push_back(std::make_unique<TempFile>(dir_ + "/f" + std::to_string(i)));
        ::raise(SIGTERM);
        ::_exit(0);
    }
    expect_killed_by(pid, SIGTERM);
    EXPECT_TRUE(names().empty());
}

INSTANTIATE_TEST_SUITE_P(Places, Batch,
                         testing::Values(Place{"scratch", "", false}, Place{"disk", "/var/tmp", true}),
                         [](const testing::TestParamInfo<Place>& i) { return std::string(i.param.name); });

} // namespace
