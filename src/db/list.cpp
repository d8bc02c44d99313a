// -l: the snapshot listing of any source, one line per file in the
// source's order, hashed on the pipeline.

#include "db/db.h"

#include "util/settings.h"
#include "stream/stream.h"
#include "stream/statcache.h"
#include "util/fatal.h"

#include <string_view>

void db_list(const char* path) {
    StreamPtr s(openstream(path));
    each_entry(
        s.get(), nthreads, [](std::string_view name, const char* hex) { print_listing_line(hex, name); }, run_cache());
}
