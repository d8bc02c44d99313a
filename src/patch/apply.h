// What patch application (applypatch.cpp: the plan and the two passes) and
// its checks (applycheck.cpp) share: one record per manifest line on each
// side, each with one state.
#pragma once

#include "patch/dirs.h"
#include "util/fileio.h"
#include "util/tempfile.h"

#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unordered_set>
#include <vector>

// The paths of one entry line.
struct Line {
    const std::string* line = nullptr;
    std::string_view name;
    // The digest its content must have: its line's, or for a restore the
    // one recorded when the file was saved.
    std::string_view digest;
    std::string target;  // tree/name
    std::string backup;  // patch/<backup dir>/name: where a removed file is saved
    std::string source;  // patch/<source dir>/name: the version brought in
};

struct Creation;

// Where a removal stands once the tree's checks have judged it.
enum class RemovalState {
    absent,    // a forced run finds nothing there to take out
    replaced,  // a forced run finds its creation's content there already
    present,   // there to be saved and taken out
};

struct Removal : Line {
    RemovalState state = RemovalState::absent;
    Creation* twin = nullptr;  // the creation of the same name
    // What a forced run in the other direction saved here, not a regular
    // file: it stays in the patch directory.
    const SavedFile* left_saved = nullptr;
};

// What the creation pass does for a new file, once the checks have judged.
enum class CreationState {
    bring,    // its new file goes in: nothing stands there, or its removal takes it out
    restore,  // puts back what a forced run in the other direction saved, as recorded
    // A forced run saves what stands there with no removal for it, and
    // records it as saved (saved), then brings the new file in.
    save_first,
    // Its name holds the new content already (a forced run after an
    // interrupted one): neither saved nor replaced, so the backup of the
    // older version stays as the first run made it.
    done,
};

struct Creation : Line {
    CreationState state = CreationState::bring;
    Removal* twin = nullptr;  // the removal of the same name
    SavedFile saved;
    std::unique_ptr<TempFile> staged;  // a real run's new file, verified, waiting for its rename
};

// The checks (applycheck.cpp), in the order a run takes them.
void recognise(const char* patch);
Fd lock_directory(const char* path, const struct stat* same);
void pair_and_restore(std::vector<Removal>& removals, std::vector<Creation>& creations, const DirRecord* undone);
void check_all(bool force, int threads, const std::string& tree, DirGuard& guard, std::vector<Removal>& removals,
               std::vector<Creation>& creations, bool stage);
std::unordered_set<std::string_view> check_layout(const std::string& tree, const std::vector<Removal>& removals,
                                                  const std::vector<Creation>& creations);
void check_backups(const std::string& proot, const std::vector<Removal>& removals,
                   const std::vector<Creation>& creations);
[[noreturn]] void refuse_source(const Creation& e, const char* hex);
