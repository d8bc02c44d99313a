#include "util/execbit.h"

#include "util/fatal.h"

#include <sys/stat.h>

namespace {
mode_t process_umask = 022;
}  // namespace

void remember_umask() {
    process_umask = ::umask(022);
    ::umask(process_umask);
}

bool owner_can_exec(mode_t mode) { return (mode & S_IXUSR) != 0; }

void give_exec_bit(int fd, bool exec, const char* name) {
    if (exec && ::fchmod(fd, 0777 & ~process_umask) != 0) fatal_errno("can not set the mode of", name);
}

void carry_exec_bit(int from, int to, const char* to_name) {
    struct stat st;
    if (::fstat(from, &st) != 0) fatal_errno("can not stat the source of", to_name);
    give_exec_bit(to, owner_can_exec(st.st_mode), to_name);
}
