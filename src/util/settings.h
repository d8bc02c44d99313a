// The run's settings, set by the command-line scan (src/driver/) and read
// by the jobs below it.
// Paths are absolute (see absolute()); null means the option was not given.
#pragma once

#include <ctime>
#include <vector>

extern char* fromdir;
extern char* todir;
extern char* patchdir;
extern char* archname;
extern char* adminname;
extern char* dbroot;
// --cache: the stat cache that -l, -i and patch creation use for the trees
// they walk (stream/statcache.h); null without the option.
extern char* cachefile;
extern int forcepatch;
extern int reverse;
extern int onlyshow;
// Threads a job may run at once: -j, else one per CPU this process may run
// on; always 1 to 1024. Set before the scan and by each -j, so a job uses the
// value of the last -j before it.
extern int nthreads;
// -C: the tree -c checks (null: the working directory); -u: -c also
// reports the tree's files that its source does not name.
extern char* checkdir;
extern int showunlisted;
// md5sum's options for -c, wherever they stand on the command line: what
// -c prints (--quiet: no OK lines; --status: no lines and no warnings, the
// status alone; --warn: a message for each improperly formatted line; the
// last of the three wins), --strict (an improperly formatted line fails the
// run) and --ignore-missing (a listed file that does not exist is passed
// over).
enum class CheckOutput { normal, quiet, status, warn };
extern CheckOutput checkoutput;
extern int checkstrict;
extern int checkignoremissing;
// -V: verify the store after the last word; -P: the sources whose objects
// a prune after the last word keeps, in the order given; -g: the grace
// period of the prune in seconds.
extern int verifydb;
extern std::vector<char*> prunesources;
extern std::time_t graceperiod;
// Whether a -j was given: without one, the store jobs choose more threads
// for a store on a network file system (util/netfs.h).
extern int jobs_given;
