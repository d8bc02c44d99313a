// Removing the run's temporary files when a signal ends it. Every file in
// flight holds a slot of one table, claimed before the file exists and
// released once it is published or removed; the handler removes what the
// slots name. Threads other than the calling one take no signal (they are
// started inside a SignalsBlocked), so the handler never runs in the
// middle of a worker's work.
#pragma once

#include <csignal>
#include <cstddef>
#include <pthread.h>
#include <string>

// Installs the handler that removes the temporary files in flight when a
// signal that ends the process arrives (INT, TERM, HUP, PIPE, QUIT, ALRM,
// USR1, USR2, VTALRM, PROF, IO, PWR), then ends the process by that signal. A write
// past the file size limit fails as a write error instead of ending the run
// by SIGXFSZ, so its cleanup is the ordinary one. erase runs last (the
// status line's erase).
void install_signal_cleanup(void (*erase)() = nullptr);

// A slot for the file about to be created at path (throws bad_alloc when
// none can be had); the file is removed at a signal from now on. With a
// directory descriptor dirfd (held open while the slot is claimed), the
// removal is path's part from leaf on, relative to dirfd.
int claim_slot(const std::string& path, int dirfd = -1, std::size_t leaf = 0);
// The creation returned fd: the handler need not wait, and removes the file
// only when this run made it (a failed O_EXCL open names someone else's).
void slot_opened(int slot, int fd);
// The file is published or removed: its slot is free again (slot becomes -1).
void release_slot(int& slot);

// Every signal blocked on the calling thread while it lives: a thread
// started meanwhile takes none.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old_);
    }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

private:
    sigset_t old_;
};
