#pragma once

#include "util/paths.h"

#include <string_view>

// The longest line -l writes, its line feed excluded: a backslash, the
// digest, two spaces and a name of PATH_MAXLEN bytes, each escaped.
inline constexpr std::size_t LISTING_LINE_MAX = 1 + MD5_HEX_LEN + 2 + 2 * PATH_MAXLEN;

enum class ListingLine { entry, skipped, too_long };

// Takes a listing line without its line feed. When it is
// "<32 lowercase hex digits>  <path>" (or "\" and that with the path
// escaped), the path running to the end of the line less one carriage
// return, fills md5 (33 bytes) and name (PATH_BUF bytes) and returns entry.
// A path longer than PATH_MAXLEN bytes is too_long and fills nothing; a line
// of any other shape, or whose path holds a zero byte, is skipped.
ListingLine parse_listing_line(std::string_view line, char* md5, char* name);
