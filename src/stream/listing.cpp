// Snapshot listings: "<hex digest>  <relative path>\n" per file, read back
// as a stream (db_list, in db/, writes one for any stream).

#include "stream/listing.h"

#include "stream/stream.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/escape.h"
#include "util/lines.h"
#include "util/paths.h"

#include <string>

#include <cstring>

namespace {

Stream* nextstream_file(Stream* s) {
    for (;;) {
        ++s->lineno;
        // One byte more than a line may hold, for the carriage return of a
        // line that ends in CR LF.
        const LineRead r = read_line(s->fp, s->source.c_str(), s->line, LISTING_LINE_MAX + 1);
        if (r == LineRead::eof) return nullptr;
        const ListingLine got =
            r == LineRead::too_long ? ListingLine::too_long : parse_listing_line(s->line, s->md5, s->name);
        // A path the system can not hold is refused, never cut to one it can.
        if (got == ListingLine::too_long)
            fatal(1, "%s: line %lu names a path longer than %zu bytes", s->source.c_str(), s->lineno, PATH_MAXLEN);
        if (got == ListingLine::skipped) continue;
        s->curfile = s->name;
        return s;
    }
}

void closestream_file(Stream* s) {
    if (s->fp) std::fclose(s->fp);
    delete s;
}

} // namespace

ListingLine parse_listing_line(std::string_view line, char* md5, char* name) {
    // The name runs to the end of the line, less one carriage return, as
    // md5sum reads it: a tab or an escape byte is part of it. A line that
    // starts with a backslash carries the name escaped.
    const bool escaped = line.starts_with('\\');
    std::string_view body = line;
    if (escaped) body.remove_prefix(1);
    if (body.ends_with('\r')) body.remove_suffix(1);
    // The digest, two spaces, the name.
    constexpr std::size_t NAME_AT = MD5_HEX_LEN + 2;
    if (body.size() < NAME_AT || !is_hex_digest(body.substr(0, MD5_HEX_LEN)) || body[NAME_AT - 2] != ' ' ||
        body[NAME_AT - 1] != ' ')
        return ListingLine::skipped;
    std::string_view path = body.substr(NAME_AT);
    // A zero byte can not be part of a name: the entry would name a shorter
    // one.
    if (path.find('\0') != std::string_view::npos) return ListingLine::skipped;
    std::string unescaped;
    if (escaped) {
        if (!unescape_listing(path, unescaped)) return ListingLine::skipped;
        path = unescaped;
    }
    if (path.size() > PATH_MAXLEN) return ListingLine::too_long;
    std::memcpy(md5, body.data(), MD5_HEX_LEN);
    md5[MD5_HEX_LEN] = '\0';
    std::memcpy(name, path.data(), path.size());
    name[path.size()] = '\0';
    return ListingLine::entry;
}

Stream* openstream_file(const char* path) {
    StreamPtr s = new_stream(StreamKind::listing, path, nextstream_file, closestream_file, stored_digest);
    s->fp = FOPENG(path, "r", __LINE__);
    return s.release();
}
