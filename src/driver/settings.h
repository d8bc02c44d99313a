// The run's settings, set by the command-line scan and read by the jobs.
// Paths are absolute (see absolute()); null means the option was not given.
#pragma once

extern char* fromdir;
extern char* todir;
extern char* patchdir;
extern char* archname;
extern char* adminname;
extern char* dbroot;
extern int forcepatch;
extern int reverse;
extern int onlyshow;
