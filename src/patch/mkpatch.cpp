// Placeholder until patches land.
#include "driver/jobs.h"
#include "util/fatal.h"
void mkpatch(const char*, const char*, const char*) { fatal(1, "mdtree: patches are not built yet\n"); }
void applypatch(const char*, const char*) { fatal(1, "mdtree: patches are not built yet\n"); }
