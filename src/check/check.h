// -c: a tree checked against any source, as md5sum -c checks a listing. A
// failure to run throws FatalError (see util/fatal.h); files that differ are
// reported and make the run's status non-zero.
#pragma once

// Checks the tree that the settings name (checkdir, or the working
// directory) against the source at source (absolute, or "-" for a listing
// on standard input); messages name it as given on the command line.
void checktree(const char* source, const char* given);
