// The archive file: a header (magic, headersize), a table of entries, a zero
// terminator word, then one zlib stream per distinct content. Every integer
// is an unsigned 32-bit little-endian word.
//
// Two extensions use the entry's first reserved word (offset 20), which
// readers of the plain layout ignore: ENTRY_EXEC marks a file its owner
// could execute, and ENTRY_LARGE an entry whose sizes and offset do not all
// fit in a word. A large entry holds them as three 64-bit little-endian
// numbers (origsize, compsize, offset) in its last 24 bytes, after the
// name's padding, and a zero word where the plain layout keeps its offset:
// no plain member starts before byte 12, so a reader that does not know
// the extension refuses the whole archive instead of reading wrong data.
// An archive that needs no large entry is written in the plain layout.
//
// Nothing read from an archive is used before check_archive_header and
// parse_archive_table have passed it: an archive may come from anywhere, and
// a damaged one must be refused whole, with nothing extracted, rather than
// read outside its table or walked forever.
#pragma once

#include "util/fileio.h"
#include "util/paths.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The first word of an archive and of every entry; on disk the bytes
// 8D 35 12 01. Here, not with the streams, so that the stream kinds can
// recognise an archive without the format depending on them.
inline constexpr uint32_t ARCHIVE_MAGIC = 0x0112358D;

// Byte offsets inside an entry.
inline constexpr std::size_t ENTRY_MD5 = 28;
inline constexpr std::size_t ENTRY_NAME = 61;
// The smallest entry: the fixed fields, an empty name and its zero byte,
// rounded up to a word.
inline constexpr uint32_t ENTRY_MIN = 64;
// Magic and headersize, then (after the entries) the terminator.
inline constexpr uint32_t ARCHIVE_HEADER = 8;
inline constexpr uint32_t ARCHIVE_EMPTY = 12;

// Length of the entry for a name of len bytes: the fixed fields, the name and
// its zero byte, rounded up to a multiple of 4.
inline constexpr uint32_t entry_size(std::size_t len) { return uint32_t((len + 67) & ~std::size_t(3)); }
// The largest entry: a name of PATH_MAXLEN bytes.
// The 64-bit fields at the end of a large entry.
inline constexpr uint32_t ENTRY_LARGE_TAIL = 24;
inline constexpr uint32_t ENTRY_MAX = entry_size(PATH_MAXLEN) + ENTRY_LARGE_TAIL;

// The flags in an entry's first reserved word; any other bit is a layout
// this reader does not know, and the archive is refused.
inline constexpr uint32_t ENTRY_EXEC = 1;
inline constexpr uint32_t ENTRY_LARGE = 2;
inline constexpr uint32_t ENTRY_FLAGS_KNOWN = ENTRY_EXEC | ENTRY_LARGE;
// The largest value a plain entry's word holds.
inline constexpr uint64_t WORD_MAX = 0xFFFFFFFF;

// One table entry, decoded to host order. md5 and name point into the table
// bytes, which must outlive it.
struct ArchiveMember {
    uint32_t entrysize;
    uint64_t origsize;
    uint64_t compsize;
    uint64_t offset;
    const char* md5;     // 32 lowercase hex digits and a zero byte
    const char* name;    // zero-terminated, at most 4095 bytes
    uint32_t flags = 0;  // ENTRY_EXEC, ENTRY_LARGE
};

// Reads a little-endian word at p; writes one.
uint32_t get_le32(const unsigned char* p);
void put_le32(unsigned char* p, uint32_t v);

// Decodes the entry at p. Only for an entry parse_archive_table accepted.
ArchiveMember decode_entry(const unsigned char* p);

// Writes the header at p: ARCHIVE_HEADER bytes.
void encode_header(uint32_t headersize, unsigned char* p);
// Whether m's numbers need a large entry.
inline bool needs_large(const ArchiveMember& m) {
    return m.origsize > WORD_MAX || m.compsize > WORD_MAX || m.offset > WORD_MAX;
}
// Writes m as an entry at p: m.entrysize bytes, which must be entry_size of
// the name's length, plus ENTRY_LARGE_TAIL when m.flags has ENTRY_LARGE
// (which a plain entry's numbers must fit without); the second reserved
// word and the padding are zero. Returns
// null, or why m can not be an entry, with nothing written: an entry the
// table's checks would refuse is never made.
const char* encode_entry(const ArchiveMember& m, unsigned char* p);
// The zero word after the last entry.
inline constexpr uint32_t ARCHIVE_TERMINATOR = ARCHIVE_EMPTY - ARCHIVE_HEADER;

// Checks the first 8 bytes of an archive of file_size bytes: the magic and a
// headersize between 12 and file_size. Returns null and sets *headersize, or
// returns why the archive is refused.
const char* check_archive_header(const unsigned char* head, uint64_t file_size, uint32_t* headersize);

// Checks the table: the headersize - 8 bytes that follow the header. Every
// entry must be at least 64 bytes, a multiple of 4 and leave room for the
// terminator; hold a hex digest and a zero-terminated name of at most 4095
// bytes; carry no unknown flag (a large entry: room for its 64-bit fields
// after the name, and a zero plain offset); and point at compressed data
// inside the data area. The terminator
// must be the last word before headersize. Returns null, with the entries in
// table order appended to out when it is not null, or why it is refused.
const char* parse_archive_table(const unsigned char* table, std::size_t len, uint64_t file_size,
                                std::vector<ArchiveMember>* out);

// Both checks over a whole archive held in memory (size bytes).
const char* parse_archive(const unsigned char* data, std::size_t size, std::vector<ArchiveMember>* out);

// The header and table of an archive, as read and checked.
struct ArchiveTable {
    std::unique_ptr<unsigned char[]> bytes;  // offset 8 up to headersize
    std::size_t len = 0;
    std::vector<ArchiveMember> members;      // point into bytes
};

// Reads and checks the header and table of the archive open on fp. A read
// error or a damaged archive is fatal (status 1), naming path.
ArchiveTable read_archive_table(std::FILE* fp, const char* path);
