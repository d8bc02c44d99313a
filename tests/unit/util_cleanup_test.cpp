#include "util/cleanup.h"
#include "util/guard.h"
#include "util/tempfile.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

class SignalCleanup : public ScratchTest {};

TEST_F(SignalCleanup, ACreationAfterTheSignalIsNeitherAwaitedNorRemoved) {
    // A file of the same name as the one a worker is about to create, but
    // not the run's: the worker's creations fail (as an O_EXCL open on a
    // name taken fails), slowly (as on a network file system), and it
    // starts one more after the signal. That one never happens: the handler
    // must neither wait for it nor remove the name it would have had.
    const std::string theirs = put("theirs", "kept\n");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        install_signal_cleanup();
        std::thread worker;
        {
            const SignalsBlocked quiet;
            worker = std::thread([&theirs] {
                for (;;) {
                    int slot = claim_slot(theirs);
                    ::usleep(20000);
                    release_slot(slot);
                }
            });
        }
        ::usleep(50000);
        ::raise(SIGTERM);
        ::_exit(0);
    }
    expect_killed_by(pid, SIGTERM);
    struct stat st;
    EXPECT_EQ(::stat(theirs.c_str(), &st), 0) << "a file the run never created was removed";
}

TEST_F(SignalCleanup, AFailedCreationIsNotRemoved) {
    // An O_EXCL open that failed names a file another run made: a signal
    // before the slot is released must leave that file alone.
    const std::string theirs = put("theirs", "kept\n");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        install_signal_cleanup();
        const int slot = claim_slot(theirs);
        slot_opened(slot, ::open(theirs.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
        ::raise(SIGTERM);
        ::_exit(0);
    }
    expect_killed_by(pid, SIGTERM);
    struct stat st;
    EXPECT_EQ(::stat(theirs.c_str(), &st), 0) << "a file the run failed to create was removed";
}

TEST_F(SignalCleanup, ATemporaryFileGoesFromItsOwnDirectoryAfterASwap) {
    // The file was made through its directory's descriptor; the directory's
    // name now leads elsewhere. The handler removes it from where it is,
    // and touches nothing where the name leads.
    ASSERT_EQ(::mkdir(path("root").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(path("root/d").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(path("outside").c_str(), 0777), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        install_signal_cleanup();
        DirGuard guard;
        TempFile t(path("root/d/x"), guard.parent_or_die(path("root"), "d/x", false));
        if (::rename(path("root/d").c_str(), path("root/d.real").c_str()) != 0 ||
            ::symlink(path("outside").c_str(), path("root/d").c_str()) != 0)
            ::_exit(2);
        // Under the same name in the place the link leads to: not the run's.
        const std::string leaf = t.temp_path().substr(t.temp_path().rfind('/') + 1);
        if (::close(::open(path("outside/" + leaf).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666)) != 0) ::_exit(2);
        ::raise(SIGTERM);
        ::_exit(0);
    }
    expect_killed_by(pid, SIGTERM);
    auto entries = [](const std::string& dir) {
        int n = 0;
        DIR* d = ::opendir(dir.c_str());
        if (!d) return -1;
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.' || (e->d_name[1] && e->d_name[1] != '.');
        ::closedir(d);
        return n;
    };
    EXPECT_EQ(entries(path("root/d.real")), 0) << "the temporary file was left behind";
    EXPECT_EQ(entries(path("outside")), 1) << "a file where the link leads was removed";
}

} // namespace
