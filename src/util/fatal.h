// The one way a run ends early: a message on standard error and a status.
// fatal() throws FatalError so that every RAII owner on the way out (open
// files, directory handles, uncommitted temporary files) releases what it
// holds; the driver catches it and ends the process with the status.
#pragma once

#include <cstdarg>

struct FatalError {
    int status;
};

[[noreturn]] void fatal(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// "mdtree: <what> <path>: <strerror(errno)>", status 1.
[[noreturn]] void fatal_errno(const char* what, const char* path);

// Per-file lines on standard output. A failed write (a full disk behind a
// redirection) ends the run instead of being lost silently.
void out_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Flushes standard output; a failure there is fatal.
void flush_stdout();
