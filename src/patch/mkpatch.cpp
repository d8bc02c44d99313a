// Patch creation: compares a "from" source with a "to" tree and writes a
// patch directory, FILES (the entry lines of every file in which the two
// differ) and below new/ a copy of every file that "to" adds or changes.

#include "driver/jobs.h"
#include "patch/manifest.h"
#include "patch/patchio.h"
#include "stream/stream.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/tempfile.h"

#include <cstring>
#include <unistd.h>

namespace {

// Takes every entry of the stream on path as an entry line with marker. An
// unsafe name (one that could lead an application out of the tree) is
// refused before anything is written.
void collect(const char* path, char marker, std::vector<std::string>& lines) {
    StreamPtr s(openstream(path));
    char digest[MD5_HEX_SIZE];
    while (nextstream(s.get())) {
        const std::string_view name(s->name);
        if (!is_safe_relpath(name)) fatal(1, "%s: unsafe path, no patch written: %s", path, s->name);
        md5stream(s.get(), digest);
        std::string line;
        line.reserve(ENTRY_PREFIX + name.size());
        line += marker;
        line.append(digest, 32);
        line += "  ";
        line += name;
        lines.push_back(std::move(line));
    }
}

struct Copy {
    std::string src;  // to/name
    std::string dst;  // patch/new/name
};

} // namespace

void mkpatch(const char* from, const char* to, const char* patch) {
    std::vector<std::string> lines;
    collect(from, '-', lines);
    collect(to, '+', lines);
    sort_and_cancel(lines);

    // Every path is composed and checked before the first byte is written.
    const std::string root(patch);
    DirGuard guard;
    std::vector<Copy> copies(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view name = entry_name(lines[i]);
        // The manifest reader cuts a line at its first control character and
        // takes lines of at most MANIFEST_LINE_MAX bytes: a name it could not
        // read back whole must not go into the manifest.
        for (const char c : name)
            if (static_cast<unsigned char>(c) < 32)
                fatal(1, "a name holds a control character, no patch written: %s", lines[i].c_str() + ENTRY_PREFIX);
        if (lines[i].size() > MANIFEST_LINE_MAX)
            fatal(1, "name too long for a manifest line, no patch written: %s", lines[i].c_str() + ENTRY_PREFIX);
        if (lines[i][0] != '+') continue;
        const std::string rel = "new/" + std::string(name);
        if (!join_path(copies[i].src, to, name) || !join_path(copies[i].dst, root, rel))
            fatal(1, "path too long for %.*s, no patch written", int(name.size()), name.data());
        guard.check(root, rel);
    }

    const std::string files = join_path_or_die(root, "FILES");
    TempFile manifest(files);
    // The old manifest would no longer describe new/ once the first copy is
    // replaced: a run that stops half-way leaves no FILES, so nothing
    // mistakes the directory for a usable patch.
    ::unlink(files.c_str());

    char hex[MD5_HEX_SIZE];
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        out_printf("%s\n", line.c_str());
        write_all(manifest.get(), line.data(), line.size(), files.c_str());
        write_all(manifest.get(), "\n", 1, files.c_str());
        if (line[0] != '+') continue;
        const Copy& c = copies[i];
        std::vector<std::string> made;
        guard.make(root, std::string_view(c.dst).substr(root.size() + 1), made);
        File in(FOPENG(c.src.c_str(), "rb", __LINE__), c.src);
        TempFile out(c.dst);
        // The copy is hashed as it is made: a file changed since it was
        // hashed would otherwise ship under a digest that is not its own.
        copy_hashed(in.get(), c.src.c_str(), out.get(), c.dst.c_str(), hex);
        if (std::memcmp(hex, entry_digest(line).data(), 32) != 0)
            fatal(1, "%s changed while the patch was being made", c.src.c_str());
        in.close();
        out.commit();
    }
    manifest.commit();
}
