// The process's limits and its standard descriptors, set up at start and
// read by whatever sizes the work in flight.
#pragma once

#include <cstddef>

// Makes sure descriptors 0, 1 and 2 are open (on /dev/null when they are
// not), so that no file the run creates can take their place and receive
// its printed lines.
void open_std_fds();
// Whether descriptor fd (0, 1 or 2) was closed when the run started and
// open_std_fds put /dev/null in its place: a job whose output is the
// descriptor's own data, not lines about it, must not lose it there.
bool std_fd_was_closed(int fd);
// Raises the soft limit on open descriptors to the hard limit, as far as
// the system lets it (failures leave the limit as it was).
void raise_descriptor_limit();
// Under a limit on the address space, keeps the allocator's per-thread
// arenas (64 MiB of address space each) to a quarter of it, so that they
// do not take what the run's buffers need.
void fit_memory_limit();
// Descriptors the process may still open: the soft limit less those open
// now. Work in flight is sized to it.
std::size_t descriptors_free();
