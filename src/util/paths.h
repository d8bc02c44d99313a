// Path rules: making command-line paths absolute, joining a root and a
// relative path within the 4096-byte limit, and deciding whether a relative
// path that came from outside (a listing, a manifest, an archive) is safe.
#pragma once

#include "md5lib/md5.h"

#include <cstddef>
#include <string>
#include <string_view>

// Largest path the system handles, terminator included.
inline constexpr std::size_t PATH_BUF = 4096;
inline constexpr std::size_t PATH_MAXLEN = PATH_BUF - 1;

// The path itself when it begins with '/', else the working directory with
// leading "./" and "../" components of the path consumed. Climbing above the
// root stops at the root. A working directory or result longer than 4095
// bytes is fatal (status 1). The result is never freed.
char* absolute(char* path);
// Same rule against a given working directory; pure, for tests and fuzzing.
// Returns false when the result would not fit in 4095 bytes.
bool absolute_from(std::string_view cwd, std::string_view path, std::string& out);

// root + "/" + rel into out; false when that exceeds 4095 bytes.
bool join_path(std::string& out, std::string_view root, std::string_view rel);
// As join_path, but a path that does not fit is fatal (status 1).
std::string join_path_or_die(std::string_view root, std::string_view rel);

// A relative path is safe when it is not empty, does not begin with '/',
// has no empty, "." or ".." component and fits in 4095 bytes. Anything else
// could name the root itself or a file outside it.
bool is_safe_relpath(std::string_view rel);

// rel with its "." components and repeated slashes dropped, as the system
// would read it: "./doc//a/./b" is "doc/a/b". A leading '/' and ".."
// components stay; "." alone gives "".
std::string drop_dot_components(std::string_view rel);
// True when rel is relative and never climbs above where it starts, even
// part-way ("a/../b" stays below, "a/../../b" and "../a" do not).
bool stays_below(std::string_view rel);

// A hex digest as listings, manifests and tables hold it: MD5_HEX_LEN
// characters, each 0-9 or a-f.
inline constexpr std::size_t MD5_HEX_LEN = MD5_HEX_SIZE - 1;
bool is_hex_digest(std::string_view s);

// A name from a listing as a path below a tree that is only read (-c):
// "." components and repeated slashes are dropped ("./a//b" is "a/b", as
// find(1) and md5sum(1) write names), and the result goes to out. False for
// a name that could lead out of the tree or names nothing: a leading '/',
// a ".." component, nothing left.
bool tree_relpath(std::string_view name, std::string& out);
