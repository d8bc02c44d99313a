// The manifest reader of patch application. Whatever the bytes, an accepted
// manifest holds only well-formed entry lines with safe relative paths
// (without a zero byte), each on the list its marker and the direction give,
// and administration lines only after a "patch: " line; an undo reads the
// same lines with the roles swapped, and no list names one path twice.

#include "fuzz_support.h"

#include "patch/manifest.h"
#include "util/paths.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check_entries(const std::vector<std::string>& list, char marker) {
    for (const std::string& l : list) {
        FUZZ_CHECK(is_entry_line(l));
        FUZZ_CHECK(l[0] == marker);
        FUZZ_CHECK(l.size() <= MANIFEST_LINE_MAX);
        FUZZ_CHECK(is_safe_relpath(entry_name(l)));
        // The path runs to the end of its line: it may hold a tab or an
        // escape byte, never a line feed or a zero byte.
        FUZZ_CHECK(l.find('\n') == std::string::npos && l.find('\0') == std::string::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t nlines = std::count(text.begin(), text.end(), '\n') + 1;

    Manifest fwd, back;
    std::string err_fwd, err_back;
    const bool ok_fwd = parse_manifest(text, "FILES", false, fwd, err_fwd);
    const bool ok_back = parse_manifest(text, "FILES", true, back, err_back);
    FUZZ_CHECK(ok_fwd == ok_back);
    if (!ok_fwd) {
        FUZZ_CHECK(!err_fwd.empty());
        return 0;
    }
    check_entries(fwd.removals, '-');
    check_entries(fwd.creations, '+');
    // No list names a path twice: each file gets one verdict.
    FUZZ_CHECK(!repeated_entry(fwd.removals) && !repeated_entry(fwd.creations));
    FUZZ_CHECK(fwd.removals == back.creations && fwd.creations == back.removals);
    FUZZ_CHECK(fwd.removals.size() + fwd.creations.size() + fwd.admin_lines.size() + (fwd.named ? 1 : 0) <= nlines);
    FUZZ_CHECK(fwd.named == back.named && fwd.patch_name == back.patch_name && fwd.admin_lines == back.admin_lines);
    if (!fwd.named) FUZZ_CHECK(fwd.admin_lines.empty() && fwd.patch_name.empty());
    for (const std::string& l : fwd.admin_lines) FUZZ_CHECK(!l.empty() && l[0] >= 'a' && l[0] <= 'z');
    return 0;
}
