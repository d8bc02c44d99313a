// The patch manifest, FILES: entry lines ("-" or "+", hex digest, two
// spaces, relative path) and, for the administration file, a "patch: " line
// and the lowercase lines after it. mkpatch writes entry lines only;
// applypatch reads the whole manifest into a Manifest before it touches any
// file, so a manifest that names an unsafe path is refused as a whole.
#pragma once

#include "util/paths.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// Bytes in front of the relative path of an entry line.
inline constexpr std::size_t ENTRY_PREFIX = 1 + MD5_HEX_LEN + 2;
// Longest manifest line, its line feed excluded: an entry line for the
// longest relative path.
inline constexpr std::size_t MANIFEST_LINE_MAX = ENTRY_PREFIX + PATH_MAXLEN;

// True for "<+|-><32 lowercase hex digits>  <anything>".
bool is_entry_line(std::string_view line);
inline std::string_view entry_digest(std::string_view line) { return line.substr(1, MD5_HEX_LEN); }
inline std::string_view entry_name(std::string_view line) { return line.substr(ENTRY_PREFIX); }

// Sorts entry lines into manifest order (by the line from its digest on,
// byte by byte) and drops every pair of lines equal from the digest on,
// whatever their markers: of a digest and path seen an odd number of times
// one line is left (the last in collection order), of one seen an even
// number of times none.
void sort_and_cancel(std::vector<std::string>& lines);

// A path named twice by lines of one marker asks for two verdicts on one
// file (two digests, or one file taken out or brought in twice): the first
// line that names a path an earlier line with its marker names, or null.
const std::string* repeated_entry(const std::vector<std::string>& lines);

struct Manifest {
    // Entry lines in manifest order, already split by role: the removal list
    // holds the "-" lines ("+" for an undo), the creation list the others.
    // The passes handle each list from its last line to its first.
    std::vector<std::string> removals;
    std::vector<std::string> creations;
    bool named = false;               // a "patch: " line was met
    std::string patch_name;           // the rest of that line
    std::vector<std::string> admin_lines;  // lowercase lines after it, in order
};

// Builds a Manifest one raw line (without its line feed) at a time. The
// path of an entry line runs to the end of the line, less one carriage
// return. A line longer than MANIFEST_LINE_MAX, or an entry line whose path
// is unsafe (empty, absolute, with an empty, "." or ".." component, a zero
// byte), makes the whole manifest unusable: take_line() returns false and error() says why.
class ManifestReader {
public:
    ManifestReader(std::string source, bool undo) : source_(std::move(source)), undo_(undo) {}
    bool take_line(std::string_view raw);
    const std::string& error() const { return error_; }
    Manifest& manifest() { return m_; }

private:
    std::string source_;
    bool undo_;
    unsigned long lineno_ = 0;
    std::string line_;
    std::string error_;
    Manifest m_;
};

// Reads a whole manifest from fp (named name in messages). Returns false with
// the reason in error when the manifest is unusable: a line ManifestReader
// refuses, or a list (the "-" lines, or the "+" lines) that names one path
// twice. A read error is fatal.
bool read_manifest(std::FILE* fp, const char* name, bool undo, Manifest& out, std::string& error);
// The same over a manifest held in memory.
bool parse_manifest(std::string_view text, const char* name, bool undo, Manifest& out, std::string& error);
