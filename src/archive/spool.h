// Archives through a pipe (-a -). The table sits before the data and is
// known only once every member is compressed, and extraction reads the
// members in table order by their offsets: both ends need a seekable file.
// The archive is spooled through an unnamed temporary file, which no run
// can leave behind, in TMPDIR (or /tmp).
#pragma once

#include "util/fileio.h"

// Whether an archive name means standard input or output.
bool is_pipe_archive(const char* name);
// Refuses, before any work, an archive's end (STDIN_FILENO or STDOUT_FILENO)
// that was closed when the run started or is a terminal (status 1).
void check_pipe_end(int fd);
// An unnamed temporary file open for reading and writing.
Fd open_spool();
// Copies the spool, from its start, to standard output. SIGPIPE is ignored,
// so that a reader that went away is a write error, reported as one.
void send_spool(int fd);
// Copies standard input to its end into a new spool, left at its start.
Fd receive_spool();
