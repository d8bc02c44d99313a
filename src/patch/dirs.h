// What an application did to the tree's directories, kept in the patch
// directory as DIRS. Patches carry files, not directories: an application
// makes the directories its new files need and removes those its removals
// empty. The next application in the other direction reads the record to
// undo exactly that: it removes only directories the first one made (an
// empty directory that was there before stays) and makes again those it
// removed, with their modes.
//
// DIRS holds "apply" or "undo", then one line per directory, relative to
// the tree: "made <path>" or "gone <octal mode> <path>". Patch names never
// hold control characters, so a line is always one directory.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>

struct DirRecord {
    bool undo = false;                               // written by an undo (-r)
    std::unordered_set<std::string> made;            // directories it created
    std::unordered_map<std::string, unsigned> gone;  // directories it removed, with their modes
};

// Reads patch/DIRS; false when there is none or it can not be used.
bool read_dir_record(const std::string& patch, DirRecord& out);
// Publishes patch/DIRS (temporary file and rename).
void write_dir_record(const std::string& patch, const DirRecord& r);
// Removes patch/DIRS: a new patch in the directory makes it meaningless.
void forget_dir_record(const std::string& patch);
