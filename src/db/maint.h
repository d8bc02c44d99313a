// What the store's maintenance jobs (-V verifies, -P prunes) share: reading
// the store's directories, telling its entries apart, and taking an entry
// away from its name without losing a byte while other runs, on this
// machine or another, store objects beside them. Objects are not locked:
// -i publishes an object by renaming a complete file onto its name, so an
// entry that a maintenance job takes away is checked again after the move,
// and put back when another run published or refreshed it meanwhile
// (Aside).
#pragma once

#include "util/guard.h"
#include "util/lease.h"

#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

// A temporary file without a lease (see RunLease), modified less than this
// long ago (seconds), belongs to a run in progress; an older one is a
// killed run's leftover. A lease says which at once, at any age.
inline constexpr std::time_t TEMP_AGE_LIMIT = 3600;

// The names in the directory at path, "." and ".." left out, sorted (the
// reports do not depend on the order a file system returns them in).
// Fatal when the directory can not be read; with gone_ok, none when it is
// not there (any more).
std::vector<std::string> dir_names(const std::string& path, bool gone_ok = false);

// The top of a store root, by what a store holds there.
struct StoreTop {
    std::vector<std::string> dirs;     // two-digit names that are directories
    std::vector<std::string> temps;    // temporary files of runs, and objects they hold (is_held_flat)
    std::vector<std::string> foreign;  // anything else; damaged/ and lost+found are neither
};
// Reads the top of the store at root. Fatal (status 1, "not a content
// store") when root is missing or is not a directory.
StoreTop read_store_top(const std::string& root);
// The store root as -P takes it: a root holding anything a store does not
// (the user's home named by mistake) is refused before anything is removed.
StoreTop read_store_top_strict(const std::string& root);

// A name in the store, reached through a descriptor of its directory that
// DirGuard::parent opened without following a link below the root: a
// directory swapped for a link meanwhile carries no move out of the store.
// Without one (a bare path), the name is reached by its whole path.
struct StoreName {
    StoreName(std::string p, DirRef d = nullptr) : path(std::move(p)), dir(std::move(d)) {}
    std::string path;  // the whole path, for messages
    DirRef dir;
    int at() const { return NameAt(dir, path).at; }
    const char* name() const { return NameAt(dir, path).name; }
};
// The name at path, below root, through its directory (made when make);
// fatal (status 1) when a symbolic link stands on the way.
StoreName store_name(DirGuard& guard, const std::string& root, const std::string& path, bool make = false);

// Renames from onto to only when nothing stands at to. Returns 0 when it
// did, EEXIST when to is taken (or, on a network file system, could not be
// had: the caller looks), ENOENT when from is gone; any other failure is
// fatal. Where the file system can not refuse a rename onto a taken
// name, from is linked at to and then unlinked: only for a from that no
// other run may replace meanwhile (one in the run's own aside directory).
int rename_noreplace(const StoreName& from, const StoreName& to);

// True when a and b describe the same file unmodified: the same inode, and
// the same modification time. -i replaces an object by a new file and a
// refresh changes the time: either shows here.
bool same_file(const struct stat& a, const struct stat& b);

// What Aside found when it checked an entry it took.
enum class Moved {
    yes,        // the entry judged is in the aside directory now
    gone,       // nothing stood at path any more
    back,       // another file had replaced it: that one is back at path
    duplicate,  // as back, but path was taken again meanwhile: the file
                // moved is a second copy of what path holds, left aside
    held,       // as back, but a link or a directory stands at path: the
                // file stays aside, and the run's lease with it, for a
                // later run to put back once the name is free
};

// Seconds for which a client of a network file system may still answer for
// a name, or an inode, with what another machine has changed since: FUSE's
// entry and attribute timeouts and GlusterFS's metadata cache, one second
// each by default, one after the other, with room to spare.
inline constexpr double NETWORK_CACHE_SECONDS = 3;

// The one rule for taking an entry of the store away from its name, shared
// by -P (which removes it) and -V (which moves it to damaged/), beside -i
// runs on this machine or another. -i publishes an object by renaming a new
// file onto its name, or (skipping the rewrite of an object already there)
// refreshes the object's time through its name and writes it anew when that
// finds no file (refresh_object, in store.h). So the entry is first moved,
// in one rename, into a directory of this run's own in the store's root,
// where no other run puts anything: nothing is ever unlinked or replaced
// under a name another run may publish at. What moved is then checked
// against what was judged (same inode, same time: a refresh before the move
// shows here; one after it finds no file). A file that fails the check goes
// back with link, which refuses a taken name: taken means a fresh copy
// stands there already, once a file other than the one held opens at the
// name (a network file system has called a name taken that held nothing).
// The directory is named as the run's temporary
// files are, so the run's lease covers it; it goes when the last entry left
// it.
//
// On a network file system the check waits NETWORK_CACHE_SECONDS after the
// move: until then this machine may describe the moved file by the one it
// judged (its cached entry of the name, when another machine had just
// renamed a new copy onto it), and another machine may still refresh, by
// its own cached entry, the very file moved. Both have shown by then, and
// the attributes are fetched from the server. A way back found taken waits
// as long again before the name is opened. The checks wait in a queue, in
// the order of the moves: a run waits once, at its end, not per entry.
class Aside {
public:
    // What is done with an entry once checked: held names where it is on
    // yes and duplicate.
    using Then = std::function<void(Moved, const std::string& held)>;
    // lease is the run's own in root: it is kept at a signal once anything
    // was taken, so that the next run puts back what this one held.
    Aside(std::string root, RunLease& lease);
    Aside(const Aside&) = delete;
    Aside& operator=(const Aside&) = delete;
    ~Aside();
    // Moves the entry at path (below the root) aside when it is still the
    // file seen, and calls then with what the check found: at once on a
    // local file system, from a later call (take, check_due or finish) on
    // a network one.
    void take(const std::string& path, const struct stat& seen, Then then);
    // Checks the entries whose wait is over.
    void check_due();
    // Removes an entry held aside.
    void drop(const std::string& held);
    // Waits for the checks left and makes them, then removes the aside
    // directory when it is empty (the destructor only removes it).
    void finish();
    // An object held aside is named "N.<digest>" (N counts the run's takes),
    // so that a run killed before it removed it, or put it back, left it
    // where the next run finds its name (put_back_asides); one held in the
    // root, a temporary name of the run and ".<digest>" (is_held_flat).
    static std::string held_name(unsigned long n, std::string_view rel);

private:
    struct Pending {
        std::string path, held;
        struct stat seen;
        double due;  // monotonic seconds
        Then then;
        bool maybe_moved = false;  // the move was reported failed: held may hold nothing
        bool taken = false;        // held (now examined as seen) found path taken on its way back
    };
    void check(Pending& p);
    // Puts back the entry held, whose way back found path taken.
    void settle(Pending& p);
    // Puts the file held (examined as mine) back at path, which the file
    // system called taken: 0 when it is there, EEXIST when another file
    // stands there (opened, not only named, and for an object holding its
    // content), EISDIR when a link or a directory does, another errno when
    // it could not go back. A file at an object's name with other content
    // goes to damaged/ (displace), and the file held takes the name.
    int put_back(const std::string& held, const struct stat& mine, const std::string& path);
    // Takes the file at path (examined as their, and read: not the content
    // its name says) away to damaged/, with a warning, once the file held
    // went back in its place: true when it did. One published there since
    // it was read goes back instead, to be read in its turn.
    bool displace(const std::string& held, const std::string& path, const struct stat& their);
    // Where the entry at rel (below the root) is held: in the aside
    // directory, or in the root itself when that is flat.
    std::string hold_name(std::string_view rel);
    static constexpr int PUT_BACK_TRIES = 10;
    bool remove_dir();  // false when something is left in it
    // path, below the root, through its directory.
    StoreName at(const std::string& path) { return store_name(guard_, root_, path); }
    std::string root_;
    DirGuard guard_;
    RunLease& lease_;
    std::string dir_;         // made on first use
    bool flat_ = false;       // no room for dir_: entries are held in the root itself
    bool held_flat_ = false;  // one of them stays there for a later run
    unsigned long next_ = 0;
    double wait_;  // seconds from a move to its check
    std::deque<Pending> pending_;
};

// A temporary entry at the top of a store (name, examined as st) that no
// live run holds: its run's lease says the run is over, or, without a
// lease, it is older than TEMP_AGE_LIMIT (an object held in the root: taken
// longer ago than that); a lease, when it is unlocked and
// not just being made.
bool is_stale_temp(const std::string& root, std::string_view name, const struct stat& st, double now);

// Whether name, at the top of a store, is an object that a run held in the
// root itself, for want of room for its aside directory: a temporary name
// of the run, a dot and the object's digest.
bool is_held_flat(std::string_view name);

// Moves from to damaged/rel below root, or damaged/rel.N when that is taken
// by an earlier move, never through a link; returns where it went, or ""
// when from is gone. The store's damaged entries are kept there, never
// deleted.
std::string move_to_damaged(const std::string& root, const std::string& rel, const std::string& from, DirGuard& guard);

// Puts the objects that killed runs left in their aside directories, or in
// the root itself (the top's temporary entries, temps) back under their
// names, never over a file that stands there: such an object was taken for
// judging and must be judged again, or, when the run had found it
// refreshed, stands where a run reported it stored. What can not go back
// stays for -V to report. Returns how many went back.
std::size_t put_back_asides(const std::string& root, const std::vector<std::string>& temps);

// Seconds since the epoch, with nanoseconds: the clock file times are
// compared with.
inline double seconds(const struct timespec& t) { return double(t.tv_sec) + double(t.tv_nsec) * 1e-9; }
double now_seconds();
