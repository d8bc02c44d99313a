// Placeholder until archives land: an archive opens as a listing.
#include "stream/stream.h"
Stream* openstream_archive(const char* path) { return openstream_file(path); }
