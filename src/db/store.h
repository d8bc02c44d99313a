// The layout of the content store: every content is one file named by its
// hex digest, root/XX/YYYYYYYYYYYYYYYYYYYYYYYYYYYYYY, where XX are the first
// two digits and the thirty Ys the rest.
#pragma once

#include "util/paths.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Length of an object's path below the root: two digits, '/', thirty digits.
inline constexpr std::size_t STORE_REL_LEN = 33;
// Longest root whose store paths fit in PATH_MAXLEN bytes.
inline constexpr std::size_t STORE_ROOT_MAX = PATH_MAXLEN - 1 - STORE_REL_LEN;

// Builds root + "/" + XX + "/" + thirty digits into out. digest must already
// be checked to be 32 lowercase hex digits (is_hex_digest) and root to be at
// most STORE_ROOT_MAX bytes long.
void store_path(std::string& out, std::string_view root, std::string_view digest);

// The object's path below the root (STORE_REL_LEN bytes) within a path built
// by store_path.
inline const char* store_rel(const std::string& path) { return path.c_str() + path.size() - STORE_REL_LEN; }

// The names the layout gives: a two-digit directory ("3f") and an object
// within it (the thirty remaining digits), lowercase hex only.
bool is_object_dir_name(std::string_view name);
bool is_object_name(std::string_view name);
// The folder below the root where -V moves what it finds wrong, by the same
// relative path: nothing there is an object, and nothing there is removed.
inline constexpr std::string_view STORE_DAMAGED = "damaged";

// The -i side of the rule that keeps what -i reports as stored safe from a
// prune or verify running beside it (the other side: db/maint.*): -i may
// skip writing an object that is already stored only once this has made
// it fresh again, its modification time set to now through its name, so
// that a prune's grace period sees it, or its re-check after moving it
// away does. False when the name holds no regular object of size bytes
// (ENOENT: a prune took it) or anything failed: the object is then written
// anew, never reported as stored.
bool refresh_object(const std::string& path, uint64_t size);
