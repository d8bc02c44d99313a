// The archive kind of entry stream: the entries of an archive's table, each
// with its stored digest, in table order. Nothing is decompressed and no file
// stays open: the table is read and checked whole when the stream opens, so
// stepping can neither leave it nor loop.

#include "format/archive.h"
#include "stream/stream.h"
#include "util/fileio.h"

#include <cstring>

namespace {

Stream* nextstream_archive(Stream* s) {
    // The checked table ends with its terminator, where the cursor then stays.
    if (get_le32(s->cursor) == 0) return nullptr;
    const ArchiveMember m = decode_entry(s->cursor);
    std::memcpy(s->name, m.name, std::strlen(m.name) + 1);
    std::memcpy(s->md5, m.md5, MD5_HEX_SIZE);
    s->curfile = s->name;
    s->cursor += m.entrysize;
    return s;
}

void md5stream_archive(Stream* s, char* out) { std::memcpy(out, s->md5, MD5_HEX_SIZE); }

void closestream_archive(Stream* s) {
    delete[] s->table;
    delete s;
}

} // namespace

Stream* openstream_archive(const char* path) {
    auto s = new Stream;
    s->kind = StreamKind::archive;
    s->source = path;
    s->nextfn = nextstream_archive;
    s->closefn = closestream_archive;
    s->md5fn = md5stream_archive;
    StreamPtr owner(s);
    File f(FOPENG(path, "rb", __LINE__), path);
    ArchiveTable t = read_archive_table(f.get(), path);
    f.close();
    s->table = t.bytes.release();
    s->cursor = s->table;
    return owner.release();
}
