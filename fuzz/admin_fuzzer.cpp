// The administration file update, against a model of the format: the old
// file's lines are kept (cut at their first control character) except the
// records of the patch being run, an empty line follows them unless they
// are empty or already end in one, then the new record. Input: the patch name and the administration lines, separated by
// line feeds; then, after a zero byte, the old file (no zero byte: no old
// file).

#include "fuzz_support.h"

#include "patch/admin.h"

#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

std::string cut(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && static_cast<unsigned char>(s[i]) >= 32) ++i;
    return std::string(s.substr(0, i));
}

std::vector<std::string_view> split_lines(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (start < s.size()) {
        std::size_t end = s.find('\n', start);
        if (end == std::string_view::npos) end = s.size();
        out.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string read_all(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    FUZZ_CHECK(f != nullptr);
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::size_t zero = in.find('\0');
    const std::string_view head = in.substr(0, zero);
    const bool has_old = zero != std::string_view::npos;

    // What the manifest reader hands over: the name and lowercase lines, all
    // cut at their first control character.
    const std::vector<std::string_view> hl = split_lines(head);
    const std::string name = hl.empty() ? std::string() : cut(hl[0]);
    std::vector<std::string> lines;
    for (std::size_t i = 1; i < hl.size(); ++i) {
        std::string l = cut(hl[i]);
        if (!l.empty() && l[0] >= 'a' && l[0] <= 'z') lines.push_back(std::move(l));
    }

    const std::string path = fuzz::scratch_dir() + "/admin";
    ::unlink(path.c_str());
    if (has_old) fuzz::write_file(path, data + zero + 1, size - zero - 1);

    const std::time_t now = 1700000000;
    const bool done = fuzz::refused_or_done([&] { update_admin(path.c_str(), name, lines, now); });
    FUZZ_CHECK(done);
    FUZZ_CHECK(::access((path + ".tmp").c_str(), F_OK) != 0);

    std::string want;
    if (has_old) {
        bool skip = false;
        bool ends_blank = true;
        for (std::string_view raw : split_lines(in.substr(zero + 1))) {
            const std::string l = cut(raw);
            if (l.starts_with("patch: ")) skip = l.substr(7) == name;
            if (skip) continue;
            want += l + "\n";
            ends_blank = l.empty();
        }
        if (!ends_blank) want += "\n";
    }
    if (!lines.empty()) {
        char date[64];
        FUZZ_CHECK(::ctime_r(&now, date) != nullptr);
        want += "patch: " + name + "\ndate: " + date;
        for (const std::string& l : lines) want += l + "\n";
    }
    FUZZ_CHECK(read_all(path) == want);
    return 0;
}
