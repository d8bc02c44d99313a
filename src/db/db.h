// The content database: -l lists any source, -i stores every file of a
// source in the store, -o rebuilds the files that a listing names from it.
#pragma once

// -l: prints the snapshot listing of the source at path.
void db_list(const char* path);

// Makes sure the database root is known: the root that -R set, or else the
// one DB_ROOT names, made absolute now. Fatal (status 1) when there is none
// or when it is too long for the store's paths.
void preparedb();
