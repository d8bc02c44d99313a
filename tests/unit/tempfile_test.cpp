#include "util/fatal.h"
#include "util/fileio.h"
#include "util/paths.h"
#include "util/tempfile.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

class Batch : public ScratchTest {
protected:

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

};

TEST_F(Batch, NamesAppearOnlyAtFlushInOrder) {
    PublishBatch b;
    std::vector<std::string> done;
    for (const char* n : {"a", "b", "c"}) b.add(written(n), 1, [&done, n] { done.push_back(n); });
    EXPECT_FALSE(exists("a"));
    EXPECT_EQ(names().size(), 3u);  // three temporary files
    b.flush();
    EXPECT_EQ(done, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(names().size(), 3u);
    EXPECT_TRUE(exists("a") && exists("b") && exists("c"));
}

TEST_F(Batch, AFailureStillPublishesWhatCameBeforeIt) {
    PublishBatch b;
    EXPECT_THROW(publishing(b,
                            [&] {
                                b.add(written("first"), 1, {});
                                throw FatalError{1};
                            }),
                 FatalError);
    EXPECT_TRUE(exists("first"));
    EXPECT_EQ(names(), std::vector<std::string>{"first"});
}

TEST_F(Batch, WhatIsNeverFlushedLeavesNothing) {
    {
        PublishBatch b;
        b.add(written("x"), 1, {});
        b.add(written("y"), 1, {}, dir_ + "/other");
    }
    EXPECT_TRUE(names().empty());
}

TEST_F(Batch, ATemporaryNameThatWouldNotFitGoesUp) {
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

TEST_F(Batch, SignalRemovesEveryTemporaryFileInFlight) {
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
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_TRUE(names().empty());
}

} // namespace
