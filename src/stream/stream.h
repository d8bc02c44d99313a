// Entry streams: one interface over the three kinds of source (a directory
// walk, a snapshot listing, an archive table). Each yields, per regular
// file, its relative path and its hex digest.
#pragma once

#include "md5lib/md5.h"
#include "util/paths.h"
#include "stream/statcache.h"

#include <cstdio>
#include <dirent.h>
#include <functional>
#include <memory>
#include <string_view>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// One level of an open directory walk. Only the deepest levels (and the
// root) keep a descriptor; a level closed to stay within the limit keeps the
// entries it had still to give, and opens again when the walk comes back.
struct dirnode {
    dirnode* next = nullptr;  // enclosing directory on the stack; next free node on the free list
    int prefix = 0;           // length of this directory's relative path in name, trailing '/' included
    DIR* dir = nullptr;       // handle while its entries are read from the system
    int fd = -1;              // its descriptor (dir's own while dir is open), -1 while closed
    dev_t dev = 0;            // what it was when closed: a reopen must find the same directory
    ino_t ino = 0;
    std::vector<std::pair<std::string, unsigned char>> rest;  // entries still to give once closed, with d_type
    std::size_t pos = 0;      // the next of rest
};

// What a stream reads: jobs that treat the kinds differently ask this.
enum class StreamKind { walk, listing, archive };

struct Stream {
    StreamKind kind = StreamKind::walk;
    dirnode* dirs = nullptr;      // directory walk: top of the stack of open directories
    dirnode* freedirs = nullptr;  // directory walk: nodes popped and ready for reuse
    int open_dirs = 0;            // directory walk: levels holding a descriptor
    int max_dirs = 0;             // directory walk: levels that may hold one at once
    std::FILE* fp = nullptr;      // listing: the file being read
    unsigned char* table = nullptr;   // archive: the table, as read from the file
    unsigned char* cursor = nullptr;  // archive: where the next entry (or terminator) starts
    Stream* (*nextfn)(Stream*) = nullptr;
    void (*closefn)(Stream*) = nullptr;
    void (*md5fn)(Stream*, char*) = nullptr;
    // Path by which the current entry's file opens: from the working
    // directory for a listing or an archive, from the directory being read
    // for a walk. open_entry_fd opens either.
    const char* curfile = nullptr;
    char md5[MD5_HEX_SIZE] = {};    // listing, archive: the stored hex digest
    char name[PATH_BUF] = {};       // the current entry's relative path

    // Not shared with any other kind: what a kind needs to check its input
    // and to name it in messages.
    std::string source;             // the path the stream was opened on
    std::string line;               // listing: the line being read
    unsigned long lineno = 0;       // listing: number of the line being read
};

// Opens a stream on path (absolute). Never returns null: a path that cannot
// be opened as a stream is fatal (status 1).
Stream* openstream(const char* path);
// Whether the regular file at path starts with the archive magic: the
// choice openstream makes between an archive and a listing.
bool starts_as_archive(const char* path);
inline Stream* nextstream(Stream* s) { return s->nextfn(s); }
inline void md5stream(Stream* s, char* out) { s->md5fn(s, out); }
inline void closestream(Stream* s) { s->closefn(s); }

// Owner that closes the stream on every way out, fatal errors included.
struct StreamCloser {
    void operator()(Stream* s) const { closestream(s); }
};
using StreamPtr = std::unique_ptr<Stream, StreamCloser>;

// A new stream of one kind on path, owned from the start: a failure while it
// opens closes it. Kinds that read stored digests take stored_digest as md5.
StreamPtr new_stream(StreamKind kind, const char* path, Stream* (*next)(Stream*), void (*close)(Stream*),
                     void (*md5)(Stream*, char*));
void stored_digest(Stream* s, char* out);

// Opens the current entry's file for reading, as a descriptor that does not
// depend on the working directory from then on: a walk opens it in the
// directory being read, listings and archives by their path from the working
// directory. Fatal, as FOPENG, when it can not be opened. For handing the
// file to a worker thread.
int open_entry_fd(Stream* s);

// The status of a walk's current entry, by its bare name in the directory
// being read, a symbolic link not followed; false when it can not be had.
bool stat_entry(Stream* s, struct stat& st);

// A walk's current entry as the stat cache sees it: its identity (has_id
// when its status could be had) and, when the cache answers, its digest.
struct CachedEntry {
    FileId id;
    bool has_id = false;
    char hex[MD5_HEX_SIZE];
};
// Looks the current entry of a walk up in cache: true, with out.hex, when
// its file need not be read.
bool cached_entry(Stream* s, StatCache* cache, CachedEntry& out);
// open_entry_fd, noting in e the identity of the file opened.
int open_entry_noting(Stream* s, CachedEntry& e);

// Calls fn with every entry's relative path and hex digest, in stream order.
// A walk's files are hashed by up to threads threads at once; listings and
// archives give their stored digests. With a cache (a walk only), a file
// whose identity the cache vouches for is not read, and what was seen goes
// into the cache's new file. Once a walk is done, the status line learns the
// number of its files and, where the walk measured them all, their bytes
// (progress_walk_totals).
void each_entry(Stream* s, int threads, const std::function<void(std::string_view name, const char* hex)>& fn,
                StatCache* cache = nullptr);

Stream* openstream_dir(const char* path);
Stream* openstream_file(const char* path);
Stream* openstream_archive(const char* path);
