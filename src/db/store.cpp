#include "db/store.h"

#include <fcntl.h>
#include <sys/stat.h>

void store_path(std::string& out, std::string_view root, std::string_view digest) {
    out.assign(root);
    out += '/';
    out.append(digest.substr(0, 2));
    out += '/';
    out.append(digest.substr(2, 30));
}

// The digit rule is is_hex_digest's: a name is padded to a whole digest.
bool is_object_dir_name(std::string_view name) {
    return name.size() == 2 && is_hex_digest(std::string(name) + std::string(30, '0'));
}
bool is_object_name(std::string_view name) { return name.size() == 30 && is_hex_digest("00" + std::string(name)); }

bool refresh_object(const std::string& path, uint64_t size) {
    const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    if (::utimensat(AT_FDCWD, path.c_str(), now, AT_SYMLINK_NOFOLLOW) != 0) return false;
    // What was refreshed must be an object of the content's size: a link
    // or a directory at the name, or a short object, is no stored copy.
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) == size;
}
