// The content database: -l lists any source, -i stores every file of a
// source in the store, -o rebuilds the files that a listing names from it.
#pragma once

#include <vector>

// -l: prints the snapshot listing of the source at path.
void db_list(const char* path);
// -i: stores every file of the source at path.
void db_in(const char* path);
// -o: restores the files that the listing at path names, below the working
// directory.
void db_out(const char* path);
// -V: verifies every object of the store.
void db_verify();
// -P: removes the objects that none of sources references.
void db_prune(const std::vector<char*>& sources);

// Makes sure the database root is known: the root that -R set, or else the
// one DB_ROOT names, made absolute now. Fatal (status 1) when there is none
// or when it is too long for the store's paths.
void preparedb();
