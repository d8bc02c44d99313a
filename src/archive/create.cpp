// Placeholder until archives land.
#include "driver/jobs.h"
#include "util/fatal.h"
void createarchive() { fatal(1, "mdtree: archives are not built yet\n"); }
void extractarchive() { fatal(1, "mdtree: archives are not built yet\n"); }
