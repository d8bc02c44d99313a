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

void closestream_archive(Stream* s) {
    delete[] s->table;
    delete s;
}

} // namespace

Stream* openstream_archive(const char* path) {
    StreamPtr s = new_stream(StreamKind::archive, path, nextstream_archive, closestream_archive, stored_digest);
    File f(FOPENG(path, "rb", __LINE__), path);
    ArchiveTable t = read_archive_table(f.get(), path);
    f.close();
    s->table = t.bytes.release();
    s->cursor = s->table;
    return s.release();
}
