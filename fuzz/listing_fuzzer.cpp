// The snapshot listing reader: every line through the parser, and the whole
// input as a listing file read by the listing stream. Whatever the bytes,
// an accepted entry has a 32-digit lowercase digest and a path of at most
// 4095 bytes without a zero byte, a plain line's path is the line's tail
// whole (less one carriage return), a name written back in the listing form
// reads back the same, and a refused input ends in FatalError, never in a
// read outside a buffer.

#include "fuzz_support.h"

#include "stream/listing.h"
#include "stream/stream.h"
#include "util/escape.h"
#include "util/paths.h"

#include <cstring>
#include <string>
#include <string_view>

namespace {

void check_entry(const char* md5, const char* name) {
    FUZZ_CHECK(is_hex_digest(std::string_view(md5, std::strlen(md5))));
    const std::size_t n = std::strlen(name);
    FUZZ_CHECK(n <= PATH_MAXLEN);
    // The line -l would print for this entry names the same file.
    const std::string_view nm(name, n);
    const std::string line = has_control(nm) ? "\\" + std::string(md5) + "  " + escape_listing(nm)
                                             : std::string(md5) + "  " + std::string(nm);
    char md5b[MD5_HEX_SIZE];
    static char nameb[PATH_BUF];
    FUZZ_CHECK(line.size() <= LISTING_LINE_MAX);
    FUZZ_CHECK(parse_listing_line(line, md5b, nameb) == ListingLine::entry);
    FUZZ_CHECK(std::strcmp(nameb, name) == 0 && std::strcmp(md5b, md5) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // Line by line, as a reader would cut them.
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string raw(text.substr(start, end - start));
        char md5[MD5_HEX_SIZE];
        char name[PATH_BUF];
        if (parse_listing_line(raw, md5, name) == ListingLine::entry) {
            check_entry(md5, name);
            if (!raw.starts_with('\\')) {
                // A plain line's name is the rest of the line, less one
                // carriage return.
                std::string_view line = raw;
                if (line.ends_with('\r')) line.remove_suffix(1);
                FUZZ_CHECK(line.substr(34) == std::string_view(name));
                FUZZ_CHECK(std::memcmp(md5, line.data(), 32) == 0);
            } else {
                FUZZ_CHECK(std::memcmp(md5, raw.data() + 1, 32) == 0);
            }
        }
        start = end + 1;
    }

    // The same bytes as a listing file.
    const std::string path = fuzz::scratch_dir() + "/listing";
    fuzz::write_file(path, data, size);
    std::size_t entries = 0;
    fuzz::refused_or_done([&] {
        StreamPtr s(openstream_file(path.c_str()));
        char md5[MD5_HEX_SIZE];
        while (nextstream(s.get())) {
            md5stream(s.get(), md5);
            check_entry(md5, s->name);
            FUZZ_CHECK(s->curfile == s->name);
            ++entries;
        }
        // Exhausted stays exhausted.
        FUZZ_CHECK(nextstream(s.get()) == nullptr);
    });
    // Each entry needs a line of at least 34 bytes and its line feed (the
    // last may lack one).
    FUZZ_CHECK(entries <= size / 34);
    return 0;
}
