// The names of a run's temporary files, and its lease on those in a store.
#pragma once

#include "util/cleanup.h"

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t TEMP_NAME_LEN = 18;  // ".mdtree-" and ten characters

// The hidden names of temporary files: ".mdtree-" and ten letters and
// digits. A store's maintenance jobs tell a run's files in flight, or a
// killed run's leftovers, by this name. The first five characters name the
// run (the same for every temporary file of a process), the other five the
// file.
bool is_temp_name(std::string_view name);
// A fresh such name in dir (empty, or ending in '/'), for a file that is
// renamed there rather than created.
std::string temp_name(std::string_view dir);

// A run's lease on its temporary files in one directory (a store's root):
// the file ".mdtree-" + run + "LEASE" there, locked (fcntl) for as long as
// the process lives, paused or not. Locks of fcntl reach across machines on
// NFS, CIFS, CephFS and GlusterFS; a file system that refuses the lock gets
// no lease, and the run's files are judged by their age as before. The file
// goes when the lease is destroyed or the run is interrupted (the signal
// handler removes it with the temporary files).
class RunLease {
public:
    explicit RunLease(const std::string& dir);
    RunLease(const RunLease&) = delete;
    RunLease& operator=(const RunLease&) = delete;
    ~RunLease();
    // The lease stays when a signal ends the run from now on (unlocked:
    // a dead run's), for a run about to hold what the next run must find
    // as a dead run's, whatever its age (put_back_asides).
    void keep_at_signal() { release_slot(slot_); }
    // The lease goes at a signal again, once the run holds nothing more.
    void remove_at_signal();
    // The lease stays when the run ends (unlocked), for a run that failed
    // with files held aside.
    void keep_at_end() { kept_ = true; }

private:
    int fd_ = -1;
    std::string path_;
    int slot_ = -1;
    bool kept_ = false;
};
// A lease's name: a temporary name whose file part is "LEASE" (never made
// for a file: those are lowercase).
bool is_lease_name(std::string_view name);
// The name of the lease of the run that made the temporary entry called name.
std::string lease_name_of(std::string_view name);
// What the lease of the run that made the temporary entry called name in
// dir (ending in '/') says of that run.
enum class RunState {
    unknown,  // no lease (an older run, or a file system without locks)
    live,     // locked: the run is alive, maybe paused, maybe on another machine
    dead,     // unlocked: the run ended without removing its files
};
RunState run_state(std::string_view dir, std::string_view name);
