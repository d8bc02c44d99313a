#include "check/sumline.h"

#include "util/escape.h"

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

// The byte at i, or a zero byte past the end: md5sum scans a C string.
char at(std::string_view s, std::size_t i) { return i < s.size() ? s[i] : '\0'; }

bool take_digest(std::string_view hex, SumLine& out) {
    if (hex.size() != MD5_HEX_LEN) return false;
    for (std::size_t i = 0; i < MD5_HEX_LEN; ++i) {
        char c = hex[i];
        if (c >= 'A' && c <= 'F') c = char(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        out.digest[i] = c;
    }
    out.digest[MD5_HEX_LEN] = '\0';
    return true;
}

bool take_name(std::string_view name, bool escaped, SumLine& out) {
    if (name.find('\0') != std::string_view::npos) return false;
    if (escaped) return unescape_listing(name, out.name);
    out.name.assign(name);
    return true;
}

// "(name) = digest", after "MD5 (": the name runs to the last ')'.
bool tagged(std::string_view s, bool escaped, SumLine& out) {
    const std::size_t close = s.rfind(')');
    if (close == std::string_view::npos) return false;
    std::size_t i = close + 1;
    while (blank(at(s, i))) ++i;
    if (at(s, i) != '=') return false;
    ++i;
    while (blank(at(s, i))) ++i;
    return take_name(s.substr(0, close), escaped, out) && take_digest(s.substr(std::min(i, s.size())), out);
}

} // namespace

SumLineKind parse_sum_line(std::string_view s, SumLineState& state, SumLine& out) {
    if (s.starts_with('#')) return SumLineKind::blank;
    if (s.ends_with('\r')) s.remove_suffix(1);
    if (s.empty()) return SumLineKind::blank;
    const auto bad = SumLineKind::malformed;

    std::size_t i = 0;
    while (blank(at(s, i))) ++i;
    const bool escaped = at(s, i) == '\\';
    if (escaped) ++i;

    if (s.substr(i).starts_with("MD5")) {
        i += 3;
        if (at(s, i) == ' ') ++i;
        if (at(s, i) != '(') return bad;
        return tagged(s.substr(i + 1), escaped, out) ? SumLineKind::entry : bad;
    }

    // The digest, one blank, then a type marker and the name.
    constexpr std::size_t SHORTEST = MD5_HEX_LEN + 2;
    if (s.size() - i < SHORTEST + (at(s, i) == '\\')) return bad;
    const std::size_t from = i;
    while (at(s, i) != '\0' && !blank(at(s, i))) ++i;
    // md5sum takes no zero byte for the blank after the digest.
    if (i == s.size() || s[i] == '\0' || !take_digest(s.substr(from, i - from), out)) return bad;
    ++i;
    if (s.size() - i == 1 || (at(s, i) != ' ' && at(s, i) != '*')) {
        // "digest name": only while no line of the two-blank form came first.
        if (state.reversed == 0) return bad;
        state.reversed = 1;
    } else if (state.reversed != 1) {
        state.reversed = 0;
        ++i;
    }
    return take_name(s.substr(i), escaped, out) ? SumLineKind::entry : bad;
}
