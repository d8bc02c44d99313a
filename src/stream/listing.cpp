// Snapshot listings: "<hex digest>  <relative path>\n" per file. db_list
// writes one for any stream; the listing kind of stream reads one back.

#include "stream/listing.h"

#include "stream/stream.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/lines.h"

#include <cstring>

namespace {

// Longest line the format carries: a 4096-byte line buffer less its terminator.
constexpr std::size_t LINE_MAX_BYTES = PATH_BUF - 1;

Stream* nextstream_file(Stream* s) {
    for (;;) {
        ++s->lineno;
        const LineRead r = read_line(s->fp, s->source.c_str(), s->line, LINE_MAX_BYTES);
        if (r == LineRead::eof) return nullptr;
        if (r == LineRead::too_long)
            fatal(1, "%s: line %lu is longer than %zu bytes", s->source.c_str(), s->lineno, LINE_MAX_BYTES);
        cut_at_control(s->line);
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
    if (line.size() < 34 || line.size() > PATH_MAXLEN || !is_hex_digest(line.substr(0, 32)) || line[32] != ' ' || line[33] != ' ') return false;
    std::memcpy(md5, line.data(), 32);
    md5[32] = '\0';
    const std::string_view path = line.substr(34);
    std::memcpy(name, path.data(), path.size());
    name[path.size()] = '\0';
    return true;
}

Stream* openstream_file(const char* path) {
    auto s = new Stream;
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
    char digest[MD5_HEX_SIZE];
    while (nextstream(s.get())) {
        md5stream(s.get(), digest);
        out_printf("%s  %s\n", digest, s->name);
    }
}
