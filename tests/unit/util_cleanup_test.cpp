#include "util/cleanup.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <csignal>
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

} // namespace
