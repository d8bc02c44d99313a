// Names that printed lines can carry. A file name may hold any byte but '/'
// and zero; a line feed in it would forge a second line, a carriage return
// or an escape sequence would drive the terminal. Names without a byte below
// 32 are printed byte for byte; names with one are escaped, and a line that
// shows an escaped name starts with a backslash, as md5sum writes them and
// md5sum -c reads them.
#pragma once

#include <string>
#include <string_view>

// True when the name holds a byte below 32.
bool has_control(std::string_view name);

// A listing line's name: a backslash as "\\", a line feed as "\n", a
// carriage return as "\r"; every other byte as it is (a tab stays a tab,
// as md5sum -c expects). Meant for names that has_control() flags.
std::string escape_listing(std::string_view name);
// The reverse, for the name of a line that starts with a backslash. False
// for a backslash followed by anything but '\\', 'n' or 'r'.
bool unescape_listing(std::string_view escaped, std::string& out);

// A name for any other line (a message, a per-file line): unchanged without
// a control byte; otherwise as escape_listing and, besides, a tab as "\t"
// and any other byte below 32 as "\xHH", so that nothing below 32 reaches
// the terminal.
std::string shown(std::string_view name);
