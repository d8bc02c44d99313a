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
// The record also names each file a forced run (-F) saved into the patch
// directory because it stood where a new file goes, with its kind and, for
// a regular file, its digest: the next application in the other direction
// puts back such a file, and only when it still has that digest. Nothing
// else in old/ or new/ is ever put back.
//
// DIRS holds "apply" or "undo", then "tree <dev> <inode> <real path>", then
// one line per directory or saved file, relative to the tree:
// "made <path>", "gone <octal mode> <path>", "saved file <digest> <path>",
// "saved link - <path>" or "saved special - <path>". A line is always one
// path: a line feed never reaches a name; a tree whose path holds a control
// character gets no tie.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

// What a forced run saved from where a new file goes.
struct SavedFile {
    enum Kind { file, link, special } kind = file;
    std::string digest;  // a file's hex digest; empty for the others
    bool operator==(const SavedFile&) const = default;
};

struct DirRecord {
    bool undo = false;                               // written by an undo (-r)
    std::unordered_set<std::string> made;            // directories it created
    std::unordered_map<std::string, unsigned> gone;  // directories it removed, with their modes
    std::unordered_map<std::string, SavedFile> saved;  // files it saved from the way of new ones
};

// Reads patch/DIRS; false when there is none, it can not be used, or it is
// not tied to tree.
bool read_dir_record(const std::string& patch, const std::string& tree, DirRecord& out);
// Reads a record held in memory, whose second line must be tie (as
// read_dir_record builds it for a tree); false when it can not be used.
bool parse_dir_record(std::string_view text, std::string_view tie, DirRecord& out);
// The text of a record whose second line is tie (none when it is empty).
std::string format_dir_record(const DirRecord& r, std::string_view tie);
// Publishes patch/DIRS for tree (temporary file and rename).
void write_dir_record(const std::string& patch, const std::string& tree, const DirRecord& r);
// Removes patch/DIRS: a new patch in the directory makes it meaningless.
void forget_dir_record(const std::string& patch);
// Gives dir, a directory just made, the mode a record kept for it, within
// the mode it was made with: never more than 0777 less the umask.
void restore_dir_mode(const std::string& dir, unsigned recorded);
