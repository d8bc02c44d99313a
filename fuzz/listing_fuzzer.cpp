// The snapshot listing reader: every line through the parser, and the whole
// input as a listing file read by the listing stream. Whatever the bytes,
// an accepted entry has a 32-digit lowercase digest and a path of at most
// 4095 bytes without control characters, and a refused one ends in
// FatalError, never in a read outside a buffer.

#include "fuzz_support.h"

#include "stream/listing.h"
#include "stream/stream.h"
#include "util/lines.h"
#include "util/paths.h"

#include <cstring>
#include <string>
#include <string_view>

namespace {

void check_entry(const char* md5, const char* name) {
    FUZZ_CHECK(is_hex_digest(std::string_view(md5, std::strlen(md5))));
    const std::size_t n = std::strlen(name);
    FUZZ_CHECK(n <= PATH_MAXLEN);
    for (std::size_t i = 0; i < n; ++i) FUZZ_CHECK(static_cast<unsigned char>(name[i]) >= 32);
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
        std::string line(text.substr(start, end - start));
        cut_at_control(line);
        char md5[MD5_HEX_SIZE];
        char name[PATH_BUF];
        if (parse_listing_line(line, md5, name)) {
            check_entry(md5, name);
            FUZZ_CHECK(std::strlen(name) == line.size() - 34);
            FUZZ_CHECK(std::memcmp(md5, line.data(), 32) == 0);
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
