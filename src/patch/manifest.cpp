#include "patch/manifest.h"

#include "util/lines.h"

#include <algorithm>
#include <unordered_set>

bool is_entry_line(std::string_view line) {
    return line.size() >= ENTRY_PREFIX && (line[0] == '-' || line[0] == '+') &&
           is_hex_digest(entry_digest(line)) && line[ENTRY_PREFIX - 2] == ' ' && line[ENTRY_PREFIX - 1] == ' ';
}

void sort_and_cancel(std::vector<std::string>& lines) {
    // Ordered by the line from its digest on; equal lines keep their order
    // of collection ("from" before "to"), so that of an odd run of equal
    // lines the survivor is the last collected: a "from" listing that holds
    // a file twice counts it as absent, and the "to" line stands.
    std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
        return std::string_view(a).substr(1) < std::string_view(b).substr(1);
    });
    // A stack kept in place at the front of the array: a line equal to the
    // top from the digest on cancels it.
    std::size_t top = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (top > 0 && std::string_view(lines[top - 1]).substr(1) == std::string_view(lines[i]).substr(1)) {
            --top;
            continue;
        }
        if (top != i) lines[top] = std::move(lines[i]);
        ++top;
    }
    lines.resize(top);
}

bool ManifestReader::take_line(std::string_view raw) {
    ++lineno_;
    // A line is judged whole or not at all. One byte beyond the longest line
    // is allowed for a carriage return that is dropped.
    line_.assign(raw);
    if (line_.ends_with('\r')) line_.pop_back();
    if (line_.size() > MANIFEST_LINE_MAX) {
        error_ = source_ + ": line " + std::to_string(lineno_) + " is longer than " +
                 std::to_string(MANIFEST_LINE_MAX) + " bytes";
        return false;
    }
    if (is_entry_line(line_)) {
        // The path runs to the end of the line: a tab or an escape byte is
        // part of it, and a zero byte would make it name another file.
        const std::string_view path = entry_name(line_);
        if (!is_safe_relpath(path) || path.find('\0') != std::string_view::npos) {
            error_ = source_ + ": line " + std::to_string(lineno_) + ": unsafe path in entry: " + line_;
            return false;
        }
        const bool creation = (line_[0] == '+') != undo_;
        (creation ? m_.creations : m_.removals).push_back(line_);
        return true;
    }
    // Any other line is text, not a name: it ends at its first control byte.
    cut_at_control(line_);
    if (line_.empty() || line_[0] < 'a' || line_[0] > 'z') return true;
    if (m_.named) {
        m_.admin_lines.push_back(line_);
    } else if (line_.starts_with("patch: ")) {
        m_.named = true;
        m_.patch_name = line_.substr(7);
    }
    return true;
}

const std::string* repeated_entry(const std::vector<std::string>& lines) {
    std::unordered_set<std::string_view> seen[2];
    for (const std::string& l : lines)
        if (!seen[l[0] == '+'].insert(entry_name(l)).second) return &l;
    return nullptr;
}

namespace {

// Hands over what r read, unless a list names a path twice.
bool finish(ManifestReader& r, const char* name, Manifest& out, std::string& error) {
    for (const auto* list : {&r.manifest().removals, &r.manifest().creations}) {
        if (const std::string* l = repeated_entry(*list)) {
            error = std::string(name) + ": two \"" + (*l)[0] + "\" lines name " + std::string(entry_name(*l));
            return false;
        }
    }
    out = std::move(r.manifest());
    return true;
}

}  // namespace

bool read_manifest(std::FILE* fp, const char* name, bool undo, Manifest& out, std::string& error) {
    ManifestReader r(name, undo);
    std::string raw;
    for (LineRead got; (got = read_line(fp, name, raw, MANIFEST_LINE_MAX + 1)) != LineRead::eof;) {
        // A line past the limit arrives cut to it: two bytes more than a
        // line may hold (one may be taken for a carriage return) are
        // enough for take_line to refuse it.
        if (got == LineRead::too_long) raw.append("xx");
        if (!r.take_line(raw)) {
            error = r.error();
            return false;
        }
    }
    return finish(r, name, out, error);
}

bool parse_manifest(std::string_view text, const char* name, bool undo, Manifest& out, std::string& error) {
    ManifestReader r(name, undo);
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        const std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (!r.take_line(raw)) {
            error = r.error();
            return false;
        }
    }
    return finish(r, name, out, error);
}
