#pragma once

// Prints the option summary on standard error; the run ends with status 2.
[[noreturn]] void usage(const char* progname);
// Runs the whole command line and returns the process's exit status.
int mdtree_main(int argc, char** argv);
