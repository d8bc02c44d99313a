// Reading text files (listings, manifests, the administration file) one line
// at a time. A line is never split: a line longer than the caller's limit is
// reported as such, so that no job acts on a cut path as if it were whole.
#pragma once

#include <cstdio>
#include <string>

enum class LineRead { ok, eof, too_long };

// Reads the next line (without its line feed) into line. With limit > 0, a
// line longer than limit bytes is consumed and reported as too_long. A read
// error is fatal, naming the file.
LineRead read_line(std::FILE* fp, const char* name, std::string& line, std::size_t limit);

// Cuts the line at its first byte below 32 (a carriage return, a tab, a zero
// byte, ...). Bytes of 0x7F and above are kept.
void cut_at_control(std::string& line);
