#include "util/escape.h"

#include <algorithm>

namespace {

// Appends c as a printed name shows it: a backslash, a line feed and a
// carriage return escaped always; with every_control also a tab ("\t") and
// any other byte below 32 ("\xHH").
void put_escaped(std::string& out, char c, bool every_control) {
    static const char hex[] = "0123456789abcdef";
    switch (c) {
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += every_control ? "\\t" : "\t"; return;
    }
    const auto u = static_cast<unsigned char>(c);
    if (u >= 32 || !every_control) return void(out += c);
    out += "\\x";
    out += hex[u >> 4];
    out += hex[u & 15];
}

std::string escape_name(std::string_view name, bool every_control) {
    std::string out;
    out.reserve(name.size() + 8);
    for (const char c : name) put_escaped(out, c, every_control);
    return out;
}

}  // namespace

bool has_control(std::string_view name) {
    return std::ranges::any_of(name, [](char c) { return static_cast<unsigned char>(c) < 32; });
}

std::string escape_listing(std::string_view name) { return escape_name(name, false); }

bool unescape_listing(std::string_view escaped, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == escaped.size()) return false;
        switch (escaped[i]) {
        case '\\': out += '\\'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        default: return false;
        }
    }
    return true;
}

std::string shown(std::string_view name) { return has_control(name) ? escape_name(name, true) : std::string(name); }
