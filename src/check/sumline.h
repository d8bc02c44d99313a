// The lines of a checksum file as md5sum -c reads them: "digest  name" (or
// "digest *name", the binary marker), "MD5 (name) = digest", each with an
// escaped name after a leading backslash ("\\", "\n" and "\r"), leading
// blanks, digests in either case, a carriage return before the line feed,
// and comments ("#...") and empty lines passed over without a word.
#pragma once

#include "util/paths.h"

#include <string>
#include <string_view>

enum class SumLineKind { entry, blank, malformed };

// What the lines of one run have settled: md5sum takes "digest name" (one
// blank, no marker) only as long as no "digest  name" line came first, and
// after such a line reads every untagged line that way.
struct SumLineState {
    int reversed = -1;  // -1: not settled; 0: "digest  name"; 1: "digest name"
};

struct SumLine {
    std::string name;
    char digest[MD5_HEX_SIZE];  // lowercased
};

// Reads one line, without its line feed. A name is taken whole, to the end
// of the line; one that holds a zero byte, or an escape md5sum refuses, makes
// the line malformed, never another name.
SumLineKind parse_sum_line(std::string_view line, SumLineState& state, SumLine& out);
