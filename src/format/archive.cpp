#include "format/archive.h"

#include "md5lib/md5.h"
#include "util/fileio.h"
#include "util/fatal.h"
#include "util/paths.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

uint32_t get_le32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    cvt2le(&v, 4);
    return v;
}

void put_le32(unsigned char* p, uint32_t v) {
    std::memcpy(p, &v, 4);
    cvt2le(p, 4);
}

namespace {

uint64_t get_le64(const unsigned char* p) { return uint64_t(get_le32(p)) | uint64_t(get_le32(p + 4)) << 32; }

void put_le64(unsigned char* p, uint64_t v) {
    put_le32(p, uint32_t(v));
    put_le32(p + 4, uint32_t(v >> 32));
}

// The entry's plain words, without the large entry's tail.
ArchiveMember decode_plain(const unsigned char* p) {
    ArchiveMember m;
    m.entrysize = get_le32(p + 4);
    m.origsize = get_le32(p + 8);
    m.compsize = get_le32(p + 12);
    m.offset = get_le32(p + 16);
    m.flags = get_le32(p + 20);
    m.md5 = reinterpret_cast<const char*>(p + ENTRY_MD5);
    m.name = reinterpret_cast<const char*>(p + ENTRY_NAME);
    return m;
}

}  // namespace

ArchiveMember decode_entry(const unsigned char* p) {
    ArchiveMember m = decode_plain(p);
    // Only for a checked entry, whose tail lies inside it.
    if (m.flags & ENTRY_LARGE) {
        const unsigned char* tail = p + m.entrysize - ENTRY_LARGE_TAIL;
        m.origsize = get_le64(tail);
        m.compsize = get_le64(tail + 8);
        m.offset = get_le64(tail + 16);
    }
    return m;
}

void encode_header(uint32_t headersize, unsigned char* p) {
    put_le32(p, ARCHIVE_MAGIC);
    put_le32(p + 4, headersize);
}

const char* encode_entry(const ArchiveMember& m, unsigned char* p) {
    const std::size_t len = strnlen(m.name, PATH_MAXLEN + 1);
    if (len > PATH_MAXLEN) return "name longer than 4095 bytes";
    const bool large = (m.flags & ENTRY_LARGE) != 0;
    if (m.flags & ~ENTRY_FLAGS_KNOWN) return "unknown entry flags";
    if (m.entrysize != entry_size(len) + (large ? ENTRY_LARGE_TAIL : 0)) return "entry size does not fit the name";
    if (!large && needs_large(m)) return "sizes that need a large entry";
    if (!is_hex_digest(std::string_view(m.md5, strnlen(m.md5, MD5_HEX_SIZE)))) return "entry without a hex digest";
    std::memset(p, 0, m.entrysize);
    put_le32(p, ARCHIVE_MAGIC);
    put_le32(p + 4, m.entrysize);
    put_le32(p + 20, m.flags);
    if (large) {
        // The plain words say "more than a word holds"; the offset stays
        // zero, which a reader of the plain layout refuses.
        put_le32(p + 8, uint32_t(std::min<uint64_t>(m.origsize, WORD_MAX)));
        put_le32(p + 12, uint32_t(std::min<uint64_t>(m.compsize, WORD_MAX)));
        unsigned char* tail = p + m.entrysize - ENTRY_LARGE_TAIL;
        put_le64(tail, m.origsize);
        put_le64(tail + 8, m.compsize);
        put_le64(tail + 16, m.offset);
    } else {
        put_le32(p + 8, uint32_t(m.origsize));
        put_le32(p + 12, uint32_t(m.compsize));
        put_le32(p + 16, uint32_t(m.offset));
    }
    std::memcpy(p + ENTRY_MD5, m.md5, MD5_HEX_SIZE);
    std::memcpy(p + ENTRY_NAME, m.name, len);
    return nullptr;
}

const char* check_archive_header(const unsigned char* head, uint64_t file_size, uint32_t* headersize) {
    if (file_size < ARCHIVE_EMPTY) return "shorter than 12 bytes";
    if (get_le32(head) != ARCHIVE_MAGIC) return "no archive magic";
    const uint32_t h = get_le32(head + 4);
    if (h < ARCHIVE_EMPTY || h > file_size) return "header size out of range";
    *headersize = h;
    return nullptr;
}

const char* parse_archive_table(const unsigned char* table, std::size_t len, uint64_t file_size,
                                std::vector<ArchiveMember>* out) {
    // The table starts at offset 8, so the data area starts len + 8 bytes in.
    const uint64_t data_start = uint64_t(len) + ARCHIVE_HEADER;
    std::size_t pos = 0;
    for (;;) {
        if (len - pos < 4) return "table without terminator";
        if (get_le32(table + pos) == 0) {
            // Anything between the terminator and the data area would be
            // bytes that no entry accounts for.
            return pos + 4 == len ? nullptr : "terminator before the end of the table";
        }
        // Room for this entry, leaving the terminator's word after it.
        const std::size_t room = len - pos - 4;
        if (room < ENTRY_MIN) return "entry runs past the table";
        const unsigned char* e = table + pos;
        ArchiveMember m = decode_plain(e);
        if (m.entrysize < ENTRY_MIN) return "entry size below 64";
        if (m.entrysize % 4 != 0) return "entry size not a multiple of 4";
        if (m.entrysize > room) return "entry runs past the table";
        if (!is_hex_digest(std::string_view(m.md5, MD5_HEX_LEN)) || m.md5[MD5_HEX_LEN] != '\0')
            return "entry without a hex digest";
        const void* nul = std::memchr(m.name, '\0', m.entrysize - ENTRY_NAME);
        if (!nul) return "name without its zero byte";
        const std::size_t namelen = std::size_t(static_cast<const char*>(nul) - m.name);
        if (namelen > PATH_MAXLEN) return "name longer than 4095 bytes";
        if (m.flags & ~ENTRY_FLAGS_KNOWN) return "unknown entry flags";
        if (m.flags & ENTRY_LARGE) {
            // The 64-bit fields follow the name and its padding, and the
            // plain offset is the zero that keeps older readers out.
            if (m.entrysize < entry_size(namelen) + ENTRY_LARGE_TAIL) return "large entry without room for its sizes";
            if (m.offset != 0) return "large entry with a plain offset";
            m = decode_entry(e);
            // The plain words are the sizes cut to a word, as written: any
            // other value is damage the digest might not reach.
            if (get_le32(e + 8) != std::min(m.origsize, WORD_MAX) || get_le32(e + 12) != std::min(m.compsize, WORD_MAX))
                return "large entry whose words disagree with its sizes";
        }
        // Written so that no sum can wrap, whatever the 64-bit fields hold.
        if (m.offset < data_start || m.compsize > file_size || m.offset > file_size - m.compsize)
            return "member data outside the data area";
        if (out) out->push_back(m);
        pos += m.entrysize;
    }
}

const char* parse_archive(const unsigned char* data, std::size_t size, std::vector<ArchiveMember>* out) {
    uint32_t h = 0;
    if (const char* why = check_archive_header(data, size, &h)) return why;
    return parse_archive_table(data + ARCHIVE_HEADER, h - ARCHIVE_HEADER, size, out);
}

ArchiveTable read_archive_table(std::FILE* fp, const char* path) {
    struct stat st;
    if (::fstat(::fileno(fp), &st) != 0) fatal_errno("can not stat", path);
    const uint64_t size = S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
    auto refuse = [path](const char* why) { fatal(1, "%s: not a valid archive: %s", path, why); };
    auto read_exact = [fp, path, &refuse](unsigned char* buf, std::size_t n) {
        if (std::fread(buf, 1, n, fp) == n) return;
        if (std::ferror(fp)) fatal_errno("read error on", path);
        refuse("ends inside its table");
    };

    unsigned char head[ARCHIVE_HEADER] = {};
    uint32_t h = 0;
    if (size >= ARCHIVE_EMPTY) read_exact(head, sizeof head);
    if (const char* why = check_archive_header(head, size, &h)) refuse(why);

    ArchiveTable t;
    t.len = h - ARCHIVE_HEADER;
    // The header's word is only a claim: the table is read in growing
    // pieces and its entries' sizes are checked as they arrive, so a claim
    // of gigabytes that the entries do not bear out is refused before more
    // than a piece of it is held.
    std::size_t have = 0;
    std::size_t next = 0;  // where the next entry starts
    while (have < t.len) {
        const std::size_t want = std::min(t.len - have, std::max<std::size_t>(have, std::size_t(1) << 20));
        std::unique_ptr<unsigned char[]> grown(new unsigned char[have + want]);
        if (have) std::memcpy(grown.get(), t.bytes.get(), have);
        t.bytes = std::move(grown);
        read_exact(t.bytes.get() + have, want);
        have += want;
        // The same checks, in the same order, as parse_archive_table makes
        // of each entry's first words.
        while (next + 8 <= have) {
            const unsigned char* e = t.bytes.get() + next;
            if (get_le32(e) == 0) {
                if (next + 4 != t.len) refuse("terminator before the end of the table");
                break;
            }
            const std::size_t room = t.len - next - 4;
            const uint32_t esize = get_le32(e + 4);
            if (room < ENTRY_MIN) refuse("entry runs past the table");
            if (esize < ENTRY_MIN) refuse("entry size below 64");
            if (esize % 4 != 0) refuse("entry size not a multiple of 4");
            if (esize > room) refuse("entry runs past the table");
            next += esize;
        }
    }
    if (const char* why = parse_archive_table(t.bytes.get(), t.len, size, &t.members)) refuse(why);
    return t;
}
