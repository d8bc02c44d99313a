// Archives through a pipe (-a -, and for extraction a path naming a FIFO,
// a pipe or a character device). The table sits before the data and is
// known only once every member is compressed, and extraction reads the
// members in table order by their offsets: both ends need a seekable file.
// The archive is spooled through an unnamed temporary file, which no run
// can leave behind, in TMPDIR (or /tmp).
#pragma once

#include "util/fileio.h"

#include <sys/stat.h>

// Whether an archive name means standard input or output.
bool is_pipe_archive(const char* name);
// Whether a file gives its bytes once, in order, with no offset to read at
// and no name to replace: a FIFO or a pipe, a character device. An archive
// there goes through the spool, as one on standard input or output does.
bool is_streamed(const struct stat& st);
// Refuses, before any work, an archive's end (STDIN_FILENO or STDOUT_FILENO)
// that was closed when the run started or is a terminal (status 1).
void check_pipe_end(int fd);
// Refuses an archive's end open on fd (named name) that is a terminal.
void refuse_terminal(int fd, const char* name, bool out);
// An unnamed temporary file open for reading and writing.
Fd open_spool();
// Copies the spool, from its start, to standard output. SIGPIPE is ignored,
// so that a reader that went away is a write error, reported as one.
void send_spool(int fd);
// Copies the archive read from in (named in_name) into a new spool, left at
// its start: up to the end of in, or of the archive as its header and table
// say it reaches, whichever comes first. A stream whose header or table is
// refused is refused at once, before the rest is read (status 1).
Fd receive_spool(int in, const char* in_name);
