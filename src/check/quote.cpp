#include "check/quote.h"

namespace {

bool printable(unsigned char c) { return c >= 32 && c < 127; }

// Bytes that need no quotes anywhere in a word.
bool plain(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '%' || c == '+' ||
           c == ',' || c == '-' || c == '.' || c == '/' || c == ']' || c == '_' || c == '@';
}

// Whether the byte at i of name makes the word need quotes.
bool needs_quotes(std::string_view name, std::size_t i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (plain(c)) return false;
    if (c == '#' || c == '~') return i == 0;
    if (c == '{' || c == '}') return name.size() == 1;
    return true;  // a blank, a shell character, ':', a byte that does not print
}

// What may stand between double quotes with nothing escaped.
bool fits_double_quotes(std::string_view name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool ok = plain(c) || c == ':' || c == ' ' || c == '\'' || ((c == '#' || c == '~') && i == 0) ||
                        ((c == '{' || c == '}') && name.size() == 1);
        if (!ok) return false;
    }
    return true;
}

char escape_letter(unsigned char c) {
    switch (c) {
    case '\a': return 'a';
    case '\b': return 'b';
    case '\f': return 'f';
    case '\n': return 'n';
    case '\r': return 'r';
    case '\t': return 't';
    case '\v': return 'v';
    default: return 0;
    }
}

} // namespace

std::string shell_quoted(std::string_view name) {
    bool any = name.empty();
    bool quote = false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (needs_quotes(name, i)) any = true;
        if (name[i] == '\'') quote = true;
    }
    if (!any) return std::string(name);
    if (quote && fits_double_quotes(name)) return "\"" + std::string(name) + "\"";

    std::string out = "'";
    bool in_escape = false;  // inside a $'...' run
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (!printable(c)) {
            if (!in_escape) out += "'$'";
            in_escape = true;
            out += '\\';
            if (const char l = escape_letter(c)) {
                out += l;
            } else {
                out += char('0' + (c >> 6));
                out += char('0' + ((c >> 3) & 7));
                out += char('0' + (c & 7));
            }
            continue;
        }
        if (c == '\'') {
            // Closes the quotes (or the $'...' run) either way.
            out += "'\\''";
        } else {
            if (in_escape) out += "''";
            out += ch;
        }
        in_escape = false;
    }
    out += '\'';
    return out;
}
