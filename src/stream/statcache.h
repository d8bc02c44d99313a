// The stat cache (--cache FILE): per file of a walked tree, what identifies
// one version of it (device, inode, size, modification and change times in
// nanoseconds, mode) and its digest. A file whose identity matches a
// trusted entry is not read. Only jobs that make a listing, store a tree or
// make a patch use it; nothing that verifies does.
//
// The racy rule: the cache records a time taken from the file system when
// it began to be written (the modification time of its own new temporary
// file, created before any file of the run is examined). An entry whose
// file's modification or change time is not older than that time is not
// trusted: the file may have changed again within the same clock tick
// after it was read. The tree may lie on another file system than the
// cache, one that keeps coarser times (whole seconds, or two for FAT): an
// entry must be older than the stamp by CACHE_RACY_MARGIN_NS.
//
// The file, all integers little-endian:
//   header (48 bytes): "MDTCACHE", version, 0, the stamp (ns), the index's
//     offset, size and CRC-32, the CRC-32 of the 44 bytes before it;
//   sections, each a piece of one directory's entries as the walk gave
//     them: CRC-32 of the rest, the directory's key (its absolute path with
//     a trailing '/'), the entry count, then the entries: dev, ino, size,
//     mtime, ctime (u64/i64), mode (u32), the digest (16 bytes), the name's
//     length (u16) and the name;
//   index: the count, then per section, sorted by key (a directory's
//     sections side by side): offset (u64), length (u32), the key's length
//     (u32) and the key.
// The index ends the file. A writer holds at most CACHE_PENDING_MAX bytes
// of entries (a directory's are written in sections of a bounded size as
// they come, in the walk's order). A reader holds the index (one record per
// section) and only the entries of the directories on the walk's current
// path, read as the walk enters them, as CACHE_RECORD_SIZE-byte records
// sorted by name with the names beside them: a walk that reaches part of a
// large cache reads only that part, and a directory costs
// CACHE_RECORD_SIZE bytes an entry beyond its names and their ends.
#pragma once

#include "md5lib/md5.h"
#include "util/handles.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <sys/stat.h>
#include <vector>

struct FileId {
    uint64_t dev = 0, ino = 0, size = 0;
    int64_t mtime_ns = 0, ctime_ns = 0;
    uint32_t mode = 0;
    bool operator==(const FileId&) const = default;
};
FileId file_id(const struct stat& st);
// The identity the cache keeps for a file with status st: file_id, with
// the device mixed with its file system's own id (statfs f_fsid), so that
// another image mounted later on the same device (a loop device reused)
// is not taken for the one recorded. fd is a descriptor of the file (name
// null) or of its directory (name its entry there). False when the file
// system keeps no change time of its own (its change time is its
// modification time, or fixed when the image was made: FAT, exFAT,
// squashfs, EROFS, ISO 9660, UDF, cramfs, romfs): such a file is always
// read.
bool cache_identity(const struct stat& st, int fd, const char* name, FileId& id);

inline constexpr uint32_t CACHE_VERSION = 2;
inline constexpr int64_t CACHE_RACY_MARGIN_NS = 2'000'000'000;
inline constexpr std::size_t CACHE_HEADER_SIZE = 48;
inline constexpr std::size_t CACHE_ENTRY_FIXED = 8 * 5 + 4 + 16 + 2;
// A section is written once its entries reach this many bytes; all the
// pending sections are, once they reach CACHE_PENDING_MAX together.
inline constexpr std::size_t CACHE_SECTION_BYTES = 64 * 1024;
inline constexpr std::size_t CACHE_PENDING_MAX = 1024 * 1024;

// One entry of a directory read from a cache; its name lies in the
// directory's arena, ended by a NUL (a name holds none). Packed: a
// directory costs CACHE_RECORD_SIZE bytes an entry beside its names.
struct __attribute__((packed, aligned(4))) CacheRecord {
    uint64_t dev, ino;
    // The size below CACHE_SIZE_LIMIT, the mode (st_mode fits 16 bits:
    // file type and permissions) in the top 16 bits.
    uint64_t size_mode;
    int64_t mtime_ns, ctime_ns;
    unsigned char md5[16];
    uint32_t name_at;
};
inline constexpr std::size_t CACHE_RECORD_SIZE = sizeof(CacheRecord);
static_assert(CACHE_RECORD_SIZE == 60);
// A larger file (256 TiB) is not kept in memory: it is read.
inline constexpr uint64_t CACHE_SIZE_LIMIT = uint64_t(1) << 48;

// One directory's entries, as read from a cache, sorted by name. A name
// given twice (a directory read while it changed) is dropped: neither entry
// is trusted.
struct CacheSection {
    std::string key;
    std::vector<CacheRecord> recs;
    std::vector<char> names;
    std::string_view name(const CacheRecord& r) const { return names.data() + r.name_at; }
    // The entry named name: its identity and digest (16 bytes) into id and
    // md5; false when there is none.
    bool find(std::string_view name, FileId& id, unsigned char* md5) const;
};

// A cache file read as outside input: every check before anything is
// trusted. open() reads the header and the index; section() reads and
// checks one section. A failure says why in why() and makes the reader
// unusable (nothing in it is trusted from then on).
class CacheReader {
public:
    // Takes ownership of fd (an open cache file). false: not usable (why()).
    bool open(int fd);
    bool usable() const { return fd_.get() >= 0; }
    const std::string& why() const { return why_; }
    int64_t stamp_ns() const { return stamp_; }
    struct IndexEntry {
        std::string key;
        uint64_t offset;
        uint32_t length;
    };
    const std::vector<IndexEntry>& index() const { return index_; }
    // The index positions [first, last) of key's sections; empty when none.
    std::pair<std::size_t, std::size_t> find_key(std::string_view key) const;
    // Reads and checks the sections [first, last) of one directory into
    // out; false on damage.
    bool directory(std::size_t first, std::size_t last, CacheSection& out);
    // Reads and checks the section at index i into bytes, with where each
    // of its entries starts in at; false on damage.
    bool section(std::size_t i, std::string& bytes, std::vector<uint32_t>& at);

private:
    bool fail(const char* why);
    Fd fd_;
    std::string why_;
    int64_t stamp_ = 0;
    uint64_t size_ = 0;
    std::vector<IndexEntry> index_;
};

// The run's cache: reads the old file (if any) and writes the new one.
class StatCache {
public:
    // Opens the cache at path: the old file is refused when another user
    // owns it or others may write it (fatal, status 1), ignored with one
    // warning when it is damaged, truncated, foreign or of a newer
    // version. The new file is started beside it.
    explicit StatCache(std::string path);
    ~StatCache();
    // A walk of root (absolute) begins: lookups and records name files
    // relative to it, each in walk order.
    void begin_walk(std::string_view root);
    // True, with the hex digest in hex, when rel's file has identity id and
    // the cache holds a trusted entry for it.
    bool lookup(std::string_view rel, const FileId& id, char* hex);
    // Notes rel's identity and digest for the new cache.
    void record(std::string_view rel, const FileId& id, const char* hex);
    // Writes what was recorded, keeps the old file's sections of the
    // directories no walk of this run reached, and publishes the file.
    void commit();

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// The run's cache when --cache was given, opened on first use; null
// otherwise. Only the walks of -l, -i and patch creation ask for it.
StatCache* run_cache();
// Publishes the run's cache, if it was opened (at the end of a run that
// succeeded).
void commit_run_cache();
