// What the store's maintenance jobs (-V verifies, -P prunes) share: reading
// the store's directories, telling its entries apart, and taking an entry
// away from its name without losing a byte while other runs, on this
// machine or another, store objects beside them. Nothing is locked: -i
// publishes an object by renaming a complete file onto its name, so an
// entry that a maintenance job moves is checked again after the move, and
// put back when another run published or refreshed it meanwhile.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

// A temporary file modified less than this long ago (seconds) belongs to a
// run in progress: -i renames each of its files onto an object's name
// within moments of the last write. An older one is a killed run's leftover.
inline constexpr std::time_t TEMP_AGE_LIMIT = 3600;

// The names in the directory at path, "." and ".." left out, sorted (the
// reports do not depend on the order a file system returns them in).
// Fatal when the directory can not be read.
std::vector<std::string> dir_names(const std::string& path);

// The top of a store root, by what a store holds there.
struct StoreTop {
    std::vector<std::string> dirs;     // two-digit names that are directories
    std::vector<std::string> temps;    // temporary files of runs
    std::vector<std::string> foreign;  // anything else; damaged/ and lost+found are neither
};
// Reads the top of the store at root. Fatal (status 1, "not a content
// store") when root is missing or is not a directory.
StoreTop read_store_top(const std::string& root);
// The store root as -P takes it: a root holding anything a store does not
// (the user's home named by mistake) is refused before anything is removed.
StoreTop read_store_top_strict(const std::string& root);

// Renames from onto to only when nothing stands at to. Returns 0 when it
// did, EEXIST when to is taken, ENOENT when from is gone; any other failure
// is fatal.
int rename_noreplace(const std::string& from, const std::string& to);

// True when a and b describe the same file unmodified: the same inode, and
// the same modification time. -i replaces an object by a new file and a
// refresh changes the time: either shows here.
bool same_file(const struct stat& a, const struct stat& b);

// What move_if_same did.
enum class Moved {
    yes,        // the entry seen is at to now
    taken,      // something stands at to: nothing moved
    gone,       // nothing stands at path any more
    back,       // another file had replaced it: that one is back at path
    duplicate,  // as back, but path was taken again meanwhile: the file
                // moved is a second copy of what path holds, left at to
};
// Moves the entry at path (below a store directory) to to, and checks that
// what moved is the file seen (another run may have published a new file
// at path since it was seen).
Moved move_if_same(const std::string& path, const std::string& to, const struct stat& seen);

// Seconds since the epoch, with nanoseconds: the clock file times are
// compared with.
inline double seconds(const struct timespec& t) { return double(t.tv_sec) + double(t.tv_nsec) * 1e-9; }
double now_seconds();
