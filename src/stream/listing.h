#pragma once

#include <string_view>

// Takes a listing line already cut at its first control character. When it
// is "<32 lowercase hex digits>  <path>", fills md5 (33 bytes) and name (the
// path, which fits since the line is at most 4095 bytes) and returns true.
bool parse_listing_line(std::string_view line, char* md5, char* name);
