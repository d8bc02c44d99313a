// Snapshot listings: "<hex digest>  <relative path>\n" per file. db_list
// writes one for any stream; the listing kind of stream reads one back.

#include "stream/listing.h"

#include "stream/stream.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/escape.h"
#include "util/lines.h"
#include "util/paths.h"
#include "driver/settings.h"

#include <string>

#include <cstring>

namespace {

// Longest line the format carries: a 4096-byte line buffer less its terminator.
constexpr std::size_t LINE_MAX_BYTES = PATH_BUF - 1;

Stream* nextstream_file(Stream* s) {
    for (;;) {
        ++s->lineno;
        // One byte more than a line may hold, for the carriage return of a
        // line that ends in CR LF.
        const LineRead r = read_line(s->fp, s->source.c_str(), s->line, LINE_MAX_BYTES + 1);
        if (r == LineRead::eof) return nullptr;
        if (r == LineRead::too_long || (s->line.size() > LINE_MAX_BYTES && s->line.back() != '\r'))
            fatal(1, "%s: line %lu is longer than %zu bytes", s->source.c_str(), s->lineno, LINE_MAX_BYTES);
        if (!parse_listing_line(s->line, s->md5, s->name)) continue;
        s->curfile = s->name;
        return s;
    }
}

void md5stream_file(Stream* s, char* out) { std::memcpy(out, s->md5, MD5_HEX_SIZE); }

void closestream_file(Stream* s) {
    if (s->fp) std::fclose(s->fp);
    delete s;
}

} // namespace

bool parse_listing_line(std::string_view line, char* md5, char* name) {
    // A line for a name that holds a byte below 32 starts with a backslash
    // and carries the name escaped; in it only a line end (CR LF) is cut.
    // Any other line is cut at its first byte below 32, as it always was.
    const bool escaped = line.starts_with('\\');
    std::string_view body = line;
    if (escaped) {
        body.remove_prefix(1);
        if (body.ends_with('\r')) body.remove_suffix(1);
    } else {
        for (std::size_t i = 0; i < body.size(); ++i)
            if (static_cast<unsigned char>(body[i]) < 32) {
                body = body.substr(0, i);
                break;
            }
    }
    // The digest, two spaces, the name.
    constexpr std::size_t NAME_AT = MD5_HEX_LEN + 2;
    if (body.size() < NAME_AT || body.size() > PATH_MAXLEN || !is_hex_digest(body.substr(0, MD5_HEX_LEN)) ||
        body[NAME_AT - 2] != ' ' || body[NAME_AT - 1] != ' ')
        return false;
    std::string_view path = body.substr(NAME_AT);
    std::string unescaped;
    if (escaped) {
        // A zero byte can not be part of a name: the entry would name a
        // shorter one.
        if (path.find('\0') != std::string_view::npos || !unescape_listing(path, unescaped)) return false;
        path = unescaped;
    }
    std::memcpy(md5, body.data(), MD5_HEX_LEN);
    md5[MD5_HEX_LEN] = '\0';
    std::memcpy(name, path.data(), path.size());
    name[path.size()] = '\0';
    return true;
}

Stream* openstream_file(const char* path) {
    auto s = new Stream;
    s->kind = StreamKind::listing;
    s->source = path;
    s->nextfn = nextstream_file;
    s->closefn = closestream_file;
    s->md5fn = md5stream_file;
    StreamPtr owner(s);
    s->fp = FOPENG(path, "r", __LINE__);
    return owner.release();
}

void db_list(const char* path) {
    StreamPtr s(openstream(path));
    each_entry(s.get(), nthreads, [](std::string_view name, const char* hex) { print_listing_line(hex, name); });
}
