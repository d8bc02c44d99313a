#include "util/escape.h"

#include <algorithm>

bool has_control(std::string_view name) {
    return std::ranges::any_of(name, [](char c) { return static_cast<unsigned char>(c) < 32; });
}

std::string escape_listing(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 8);
    for (const char c : name) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

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

std::string shown(std::string_view name) {
    if (!has_control(name)) return std::string(name);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(name.size() + 8);
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (u >= 32) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}
