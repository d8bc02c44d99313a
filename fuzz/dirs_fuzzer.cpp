// The record an application leaves in the patch directory (DIRS), read
// back by the next one: whatever the bytes, an accepted record names only
// saved files with a well-formed digest and a safe path, and writing it out
// and reading that again gives the same record.

#include "fuzz_support.h"

#include "patch/dirs.h"
#include "util/paths.h"

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string_view tie = "tree 1 2 /t";
    DirRecord r;
    if (!parse_dir_record(text, tie, r)) return 0;
    for (const auto& [name, f] : r.saved) {
        FUZZ_CHECK(is_safe_relpath(name));
        FUZZ_CHECK(f.kind == SavedFile::file ? is_hex_digest(f.digest) : f.digest.empty());
    }
    for (const auto& [name, mode] : r.gone) FUZZ_CHECK(mode <= 07777);
    DirRecord again;
    FUZZ_CHECK(parse_dir_record(format_dir_record(r, tie), tie, again));
    FUZZ_CHECK(again.undo == r.undo && again.made == r.made && again.gone == r.gone && again.saved == r.saved);
    // Tied to another tree, the same text is never honoured.
    DirRecord other;
    FUZZ_CHECK(!parse_dir_record(text, "tree 1 3 /t", other));
    return 0;
}
