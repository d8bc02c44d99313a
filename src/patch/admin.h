// The installation administration file: one record per patch run on a tree,
//   patch: <name>
//   date: <ctime text>
//   <the manifest's administration lines>
// with an empty line in front of every record appended to an existing file.
// A run drops the earlier record of its patch and appends its own.
// Updates of one file are serialised by a lock on "<path>.lock", a file
// beside it that stays: a run that finds it held waits for it.
#pragma once

#include <ctime>
#include <string>
#include <vector>

// The fixed temporary path of an update, path + ".tmp"; false when it, or
// the lock file's path + ".lock", would not fit in 4095 bytes.
bool admin_temp_path(const char* path, std::string& out);

// Rewrites the administration file at path for a run of the patch named
// name at time now, through path + ".tmp" and a rename, holding the lock
// from before the old file is read until the rename. Lines of the old file
// are carried over whole, however long. Fatal (status 1), leaving the file
// as it was, when it exists but can not be read, or when the new file can
// not be written or put in place.
void update_admin(const char* path, const std::string& name, const std::vector<std::string>& lines,
                  std::time_t now);
