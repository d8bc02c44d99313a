// What the unit tests share: a scratch directory for one test, removed with
// everything in it when the test ends (on tmpfs where there is one:
// thousands of files cost nothing there), a fixture that owns one, and the
// test data that fills files and buffers.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// Makes the directory; "" when it can not be made.
inline std::string make_scratch_dir(const std::string& tag) {
    std::string tmpl = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm/mdtree-" : "/tmp/mdtree-") + tag + "-XXXXXX";
    return ::mkdtemp(tmpl.data()) ? tmpl : std::string();
}

inline void remove_scratch_dir(const std::string& dir) {
    if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
}

// Waits for the forked child pid and checks that sig ended it.
inline void expect_killed_by(pid_t pid, int sig) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), sig);
}

// A test with a scratch directory of its own, dir_, named after its suite.
// A fixture that sets up more calls ScratchTest::SetUp() first.
class ScratchTest : public testing::Test {
protected:
    void SetUp() override {
        std::string tag = testing::UnitTest::GetInstance()->current_test_info()->test_suite_name();
        for (char& c : tag)
            if (c == '/') c = '-';  // "Table/Cases" for parametrised suites
        dir_ = make_scratch_dir(tag);
        ASSERT_FALSE(dir_.empty()) << "no scratch directory";
    }
    void TearDown() override { remove_scratch_dir(dir_); }

    std::string path(const std::string& rel) const { return dir_ + "/" + rel; }
    // Writes data to rel (its directory must exist); returns its path.
    std::string put(const std::string& rel, const std::string& data) const {
        const std::string p = path(rel);
        std::ofstream(p, std::ios::binary) << data;
        return p;
    }

    std::string dir_;
};

// n bytes of a pseudo-random sequence fixed by n and seed.
inline std::string pattern(std::size_t n, unsigned seed = 0) {
    std::string s(n, '\0');
    std::mt19937 rng{static_cast<unsigned>(n) + seed};
    for (auto& c : s) c = char(rng());
    return s;
}
