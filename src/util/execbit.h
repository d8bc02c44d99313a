#pragma once

#include <sys/types.h>

// The executable bit, kept as git keeps it: a file its owner could execute
// comes out with the execute bits the umask allows (0777 less the umask),
// any other with the default permissions. Nothing else of a mode travels.
bool owner_can_exec(mode_t mode);
// Gives the file open on fd that mode when exec; nothing when not. The
// umask is read by remember_umask, which runs before any worker starts.
void give_exec_bit(int fd, bool exec, const char* name);
void remember_umask();
// Gives the file open on to the executable bit of the file open on from.
void carry_exec_bit(int from, int to, const char* to_name);
