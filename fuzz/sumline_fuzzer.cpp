// The line forms of -c (check/sumline.*): every line of the input through
// the parser, with one state for the whole input as -c keeps it. Whatever
// the bytes, an entry has a 32-digit lowercase digest and a name without a
// zero byte; a name taken without escapes is a part of its line, whole to
// the end of the line (less one carriage return) for an untagged line; and
// a name written back in md5sum's escaped form reads back the same.
// Seeds: fuzz/corpus/sumline/.

#include "fuzz_support.h"

#include "check/sumline.h"
#include "util/escape.h"
#include "util/paths.h"

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    SumLineState state;
    SumLine out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view raw = text.substr(start, end - start);
        start = end + 1;
        if (parse_sum_line(raw, state, out) != SumLineKind::entry) continue;
        FUZZ_CHECK(is_hex_digest(std::string_view(out.digest, MD5_HEX_LEN)) && out.digest[MD5_HEX_LEN] == '\0');
        FUZZ_CHECK(out.name.find('\0') == std::string::npos);
        std::string_view line = raw;
        if (line.ends_with('\r')) line.remove_suffix(1);
        const bool tagged = line.find("MD5") != std::string_view::npos && line.find('(') != std::string_view::npos &&
                            line.find(')') != std::string_view::npos;
        if (line.find('\\') == std::string_view::npos) {
            FUZZ_CHECK(line.find(out.name) != std::string_view::npos);
            if (!tagged) FUZZ_CHECK(line.ends_with(out.name));
        }
        // The same name and digest, written as md5sum writes an escaped line
        // (an empty name has no such line: md5sum never writes one).
        if (out.name.empty()) continue;
        const std::string back = "\\" + std::string(out.digest) + "  " + escape_listing(out.name);
        SumLineState fresh;
        SumLine again;
        const std::string name = out.name;
        FUZZ_CHECK(parse_sum_line(back, fresh, again) == SumLineKind::entry && again.name == name);
    }
    return 0;
}
