// The archive jobs: -f DIR -a ARCHIVE creates an archive, -t DIR -a ARCHIVE
// extracts one; extraction is also a plain call, for drivers that unpack an
// archive into a directory of their own. A failure throws FatalError (see
// util/fatal.h).
#pragma once

// Creates the archive that the settings name (archname) from fromdir.
void createarchive();
// Extracts the archive that the settings name into todir.
void extractarchive();
// Unpacks every member of the archive at path into target, verifying each.
void extract_archive(const char* path, const char* target);
