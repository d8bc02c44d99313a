// Placeholder until the content database lands.
#include "driver/jobs.h"
#include "util/fatal.h"
void db_in(const char*) { fatal(1, "mdtree: -i is not built yet\n"); }
void db_out(const char*) { fatal(1, "mdtree: -o is not built yet\n"); }
