// The installation administration file: one record per patch run on a tree,
//   patch: <name>
//   date: <ctime text>
//   <the manifest's administration lines>
// with an empty line in front of every record appended to an existing file.
// A run drops the earlier record of its patch and appends its own.
#pragma once

#include <ctime>
#include <string>
#include <vector>

// The fixed temporary path of an update, path + ".tmp"; false when it would
// not fit in 4095 bytes.
bool admin_temp_path(const char* path, std::string& out);

// Rewrites the administration file at path for a run of the patch named
// name at time now, through path + ".tmp" and a rename. Lines of the old file
// are carried over whole, however long. Fatal (status 1), leaving the file
// as it was, when it exists but can not be read, or when the new file can
// not be written or put in place.
void update_admin(const char* path, const std::string& name, const std::vector<std::string>& lines,
                  std::time_t now);
