// What the fuzz targets share: a private scratch directory per process,
// writing the input to a file there, and running library code that may
// refuse its input by throwing FatalError (a clean refusal, not a crash).
#pragma once

#include "util/fatal.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <string>
#include <unistd.h>

namespace fuzz {

// A failed property: print what and abort, so libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

#define FUZZ_CHECK(cond)                  \
    do {                                  \
        if (!(cond)) ::fuzz::fail(#cond); \
    } while (0)

// Removes dir and everything below it, never following symbolic links.
inline void remove_tree(const std::string& dir) {
    ::nftw(
        dir.c_str(),
        [](const char* p, const struct stat*, int type, struct FTW*) {
            if (type == FTW_DP) ::rmdir(p);
            else ::unlink(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

// A directory of our own below $TMPDIR (or /tmp), made once per process and
// removed when the process ends normally.
inline const std::string& scratch_dir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/mdtree-fuzz-XXXXXX";
        if (!::mkdtemp(tmpl.data())) fail("mkdtemp");
        std::atexit([] { remove_tree(scratch_dir()); });
        return tmpl;
    }();
    return dir;
}

inline void write_file(const std::string& path, const uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fail("open scratch file");
    if (size != 0 && std::fwrite(data, 1, size, f) != size) fail("write scratch file");
    if (std::fclose(f) != 0) fail("close scratch file");
}

// Calls fn; a FatalError it throws is the library refusing the input.
// Returns true when fn returned normally.
template <class Fn>
bool refused_or_done(Fn&& fn) {
    try {
        fn();
        return true;
    } catch (const FatalError&) {
        return false;
    }
}

} // namespace fuzz
