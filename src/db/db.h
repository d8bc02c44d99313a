// The content database: -i stores every file of a source in the store,
// -o rebuilds the files that a listing names from it (db_in, db_out in
// driver/jobs.h).
#pragma once

// Makes sure the database root is known: the root that -R set, or else the
// one DB_ROOT names, made absolute now. Fatal (status 1) when there is none
// or when it is too long for the store's paths.
void preparedb();
