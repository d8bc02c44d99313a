// Entry points of the jobs the driver runs. Each returns when its work is
// done; a failure throws FatalError (see util/fatal.h).
#pragma once

#include <vector>

void db_in(const char* path);
void db_out(const char* path);
void db_verify();
void db_prune(const std::vector<char*>& sources);
void checktree(const char* source);
void mkpatch(const char* from, const char* to, const char* patch);
void applypatch(const char* tree, const char* patch);
void createarchive();
void extractarchive();
