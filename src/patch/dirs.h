// What an application did to the tree's directories, kept in the patch
// directory as DIRS. Patches carry files, not directories: an application
// makes the directories its new files need and removes those its removals
// empty. The next application in the other direction on the same tree
// reads the record to undo exactly that: it removes only directories the
// first one made (an empty directory that was there before stays) and makes
// again those it removed, with their modes.
//
// A patch directory travels: the record is tied to the tree it describes
// (its real path, and the device and inode of its root), and a record for
// another tree, or one without a tie, is ignored. Its modes are never
// trusted further than a new directory's: 0777 less the umask at most, no
// set-id or sticky bit.
//
// DIRS holds "apply" or "undo", then "tree <dev> <inode> <real path>", then
// one line per directory, relative to the tree: "made <path>" or
// "gone <octal mode> <path>". Patch names never hold control characters, so
// a line is always one directory; a tree whose path holds one gets no tie.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>

struct DirRecord {
    bool undo = false;                               // written by an undo (-r)
    std::unordered_set<std::string> made;            // directories it created
    std::unordered_map<std::string, unsigned> gone;  // directories it removed, with their modes
};

// Reads patch/DIRS; false when there is none, it can not be used, or it is
// not tied to tree.
bool read_dir_record(const std::string& patch, const std::string& tree, DirRecord& out);
// Publishes patch/DIRS for tree (temporary file and rename).
void write_dir_record(const std::string& patch, const std::string& tree, const DirRecord& r);
// Removes patch/DIRS: a new patch in the directory makes it meaningless.
void forget_dir_record(const std::string& patch);
// Gives dir, a directory just made, the mode a record kept for it, within
// the mode it was made with: never more than 0777 less the umask.
void restore_dir_mode(const std::string& dir, unsigned recorded);
