// Archives from anywhere: the table checks, the archive kind of entry stream
// and extraction into a sandbox. Whatever the bytes, nothing is read outside
// the input, nothing is written outside the target directory, and every
// file left under the target is a member of the table with the content its
// digest names.

#include "fuzz_support.h"

#include "archive/archive.h"
#include "format/archive.h"
#include "md5lib/md5.h"
#include "stream/stream.h"
#include "util/paths.h"

#include <cstring>
#include <ftw.h>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace {

std::string g_box;      // everything extraction may touch lies below it
std::string g_target;   // the extraction target, two levels down
std::vector<std::string>* g_seen;

std::string file_md5(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    FUZZ_CHECK(f != nullptr);
    char hex[MD5_HEX_SIZE];
    FUZZ_CHECK(md5_stream_ascii(f, hex) == 0);
    std::fclose(f);
    return hex;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 256 * 1024) return 0;
    const std::string& dir = fuzz::scratch_dir();
    g_box = dir + "/box";
    g_target = g_box + "/a/b/out";

    // The checks on memory: an accepted table describes itself consistently.
    std::vector<ArchiveMember> members;
    const bool valid = parse_archive(data, size, &members) == nullptr;
    std::multimap<std::string, std::string> digests;  // name -> md5
    if (valid) {
        for (const ArchiveMember& m : members) {
            FUZZ_CHECK(m.entrysize >= ENTRY_MIN && m.entrysize % 4 == 0);
            FUZZ_CHECK(uint64_t(m.offset) + m.compsize <= size);
            const std::size_t len = ::strnlen(m.name, PATH_BUF);
            FUZZ_CHECK(len <= PATH_MAXLEN);
            FUZZ_CHECK(ENTRY_NAME + len < m.entrysize);
            FUZZ_CHECK((m.flags & ~ENTRY_FLAGS_KNOWN) == 0);
            if (m.flags & ENTRY_LARGE) FUZZ_CHECK(entry_size(len) + ENTRY_LARGE_TAIL <= m.entrysize);
            FUZZ_CHECK(m.offset >= ARCHIVE_EMPTY);
            FUZZ_CHECK(is_hex_digest(std::string_view(m.md5, ::strnlen(m.md5, MD5_HEX_SIZE))));
            digests.emplace(m.name, m.md5);
        }
    }

    const std::string arc = dir + "/arc";
    fuzz::write_file(arc, data, size);

    // As an entry stream: the archive kind when the magic is there, a
    // listing otherwise; either way bounded names and hex digests.
    std::size_t entries = 0;
    const bool streamed = fuzz::refused_or_done([&] {
        StreamPtr s(openstream(arc.c_str()));
        char md5[MD5_HEX_SIZE];
        while (nextstream(s.get())) {
            md5stream(s.get(), md5);
            FUZZ_CHECK(std::strlen(s->name) <= PATH_MAXLEN);
            FUZZ_CHECK(is_hex_digest(std::string_view(md5, std::strlen(md5))));
            ++entries;
        }
    });
    const bool magic = size >= 4 && std::memcmp(data, "\x8d\x35\x12\x01", 4) == 0;
    if (magic) {
        FUZZ_CHECK(streamed == valid);
        if (valid) FUZZ_CHECK(entries == members.size());
    }

    // Extraction into the sandbox.
    fuzz::remove_tree(g_box);
    FUZZ_CHECK(::mkdir(g_box.c_str(), 0777) == 0);
    const bool extracted = fuzz::refused_or_done([&] { extract_archive(arc.c_str(), g_target.c_str()); });
    if (!valid) {
        FUZZ_CHECK(!extracted);
    }

    // Nothing outside the target but the directories leading to it; inside
    // it only regular files and directories, each file a member's content.
    std::vector<std::string> seen;
    g_seen = &seen;
    ::nftw(
        g_box.c_str(),
        [](const char* p, const struct stat* st, int type, struct FTW*) {
            const std::string_view path(p);
            if (path == g_box || path == g_box + "/a" || path == g_box + "/a/b" || path == g_target) {
                FUZZ_CHECK(type == FTW_D);
                return 0;
            }
            FUZZ_CHECK(path.starts_with(g_target + "/"));
            FUZZ_CHECK(type == FTW_D || (type == FTW_F && S_ISREG(st->st_mode)));
            if (type == FTW_F) g_seen->emplace_back(path.substr(g_target.size() + 1));
            return 0;
        },
        16, FTW_PHYS);
    for (const std::string& rel : seen) {
        FUZZ_CHECK(valid);
        // A temporary file never outlives the run.
        FUZZ_CHECK(rel.find(".mdtree-") == std::string::npos);
        const std::string got = file_md5((g_target + "/" + rel).c_str());
        bool member = false;
        for (auto [it, end] = digests.equal_range(rel); it != end; ++it) member |= it->second == got;
        FUZZ_CHECK(member);
    }
    fuzz::remove_tree(g_box);
    return 0;
}
