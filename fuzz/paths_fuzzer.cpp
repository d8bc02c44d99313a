// Path rules: making a path absolute against a working directory, the safety
// check on relative paths from outside, and joining within the 4095-byte
// limit. Input: working directory, a zero byte, the path.

#include "fuzz_support.h"

#include "util/paths.h"

#include <string>
#include <string_view>

namespace {

// The same rule as is_safe_relpath, put another way: with a '/' added at
// both ends, a safe path holds no "//", "/./" or "/../".
bool safe_by_delimiters(std::string_view rel) {
    if (rel.empty() || rel.size() > PATH_MAXLEN || rel.front() == '/') return false;
    const std::string framed = "/" + std::string(rel) + "/";
    return framed.find("//") == std::string::npos && framed.find("/./") == std::string::npos &&
           framed.find("/../") == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 3 * PATH_BUF) return 0;
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::size_t zero = in.find('\0');
    const std::string_view cwd = zero == std::string_view::npos ? std::string_view("/u/w") : in.substr(0, zero);
    const std::string_view path = zero == std::string_view::npos ? in : in.substr(zero + 1);

    // absolute_from: the result is the kept prefix of "cwd/" (ending in '/')
    // followed by what is left of the path once its leading "./" and "../"
    // are consumed.
    std::string out;
    if (absolute_from(cwd, path, out)) {
        FUZZ_CHECK(out.size() <= PATH_MAXLEN);
        std::string_view rest = path;
        while (rest.starts_with("./") || rest.starts_with("../")) rest.remove_prefix(rest[1] == '/' ? 2 : 3);
        FUZZ_CHECK(std::string_view(out).ends_with(rest));
        const std::string_view kept = std::string_view(out).substr(0, out.size() - rest.size());
        const std::string full = std::string(cwd) + "/";
        FUZZ_CHECK(!kept.empty() && kept.back() == '/');
        FUZZ_CHECK(kept == "/" || std::string_view(full).starts_with(kept));
        if (!cwd.empty() && cwd.front() == '/') FUZZ_CHECK(out.front() == '/');
    } else {
        FUZZ_CHECK(cwd.size() + 1 + path.size() > PATH_MAXLEN);
    }

    // is_safe_relpath against a second formulation of the same rule.
    FUZZ_CHECK(is_safe_relpath(path) == safe_by_delimiters(path));

    // join_path keeps its bound and its shape.
    std::string joined;
    if (join_path(joined, cwd, path)) {
        FUZZ_CHECK(joined.size() == cwd.size() + 1 + path.size() && joined.size() <= PATH_MAXLEN);
        FUZZ_CHECK(joined.compare(0, cwd.size(), cwd) == 0 && joined[cwd.size()] == '/');
    } else {
        FUZZ_CHECK(cwd.size() + 1 + path.size() > PATH_MAXLEN);
    }

    // is_hex_digest accepts exactly 32 characters of 0-9a-f.
    if (is_hex_digest(path)) {
        FUZZ_CHECK(path.size() == 32);
        FUZZ_CHECK(path.find_first_not_of("0123456789abcdef") == std::string_view::npos);
    }
    return 0;
}
