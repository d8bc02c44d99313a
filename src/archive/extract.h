// Archive extraction as a plain call, for the -t DIR -a ARCHIVE job and for
// drivers that unpack an archive into a directory of their own.
#pragma once

// Unpacks every member of the archive at path into target, verifying each.
// A damaged archive or an I/O failure throws FatalError (see util/fatal.h).
void extract_archive(const char* path, const char* target);
