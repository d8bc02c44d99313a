// Patch application and undo: verifies, saves into the patch directory and
// deletes every file that the patch takes out of the tree (removal pass),
// then verifies and brings in every file that it puts in (creation pass).
// Undo (-r) swaps the roles of the "-" and "+" lines and of old/ and new/.

#include "driver/jobs.h"
#include "driver/settings.h"
#include "patch/admin.h"
#include "patch/manifest.h"
#include "patch/patchio.h"
#include "stream/stream.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/tempfile.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The three paths of one entry line.
struct Entry {
    const std::string* line;
    std::string target;  // tree/name
    std::string backup;  // patch/<backup dir>/name: where a removed file is saved
    std::string source;  // patch/<source dir>/name: the version brought in
};

void recognise(const char* patch) {
    StreamPtr s(openstream(patch));
    while (nextstream(s.get()))
        if (std::strcmp(s->name, "FILES") == 0) return;
    fatal_fixed(3, "%s: not a patch directory\n", patch);
}

// Composes and checks the paths of every line before anything is touched:
// a path that does not fit, or that passes through a symbolic link, refuses
// the whole patch.
std::vector<Entry> plan(const std::vector<std::string>& lines, const std::string& tree, const std::string& patch,
                        const char* backup_dir, const char* source_dir, DirGuard& guard) {
    std::vector<Entry> out;
    out.reserve(lines.size());
    std::string backup_rel, source_rel;
    for (const std::string& line : lines) {
        const std::string_view name = entry_name(line);
        backup_rel.assign(backup_dir).append(name);
        source_rel.assign(source_dir).append(name);
        Entry e{&line, {}, {}, {}};
        if (!join_path(e.target, tree, name) || !join_path(e.backup, patch, backup_rel) ||
            !join_path(e.source, patch, source_rel))
            fatal(3, "%s/FILES: path too long for entry: %s", patch.c_str(), line.c_str());
        guard.check(tree, name);
        guard.check(patch, backup_rel);
        guard.check(patch, source_rel);
        out.push_back(std::move(e));
    }
    return out;
}

bool readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

// Returns true when the target was deleted from the tree.
bool remove_entry(const Entry& e, const std::string& patch, DirGuard& guard) {
    bool deleted = false;
    struct stat st;
    if (::lstat(e.target.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) fatal_errno("can not examine", e.target.c_str());
        if (!forcepatch)
            fatal_fixed(2, "can not access %s with mode READ at line %d\n", e.line->c_str() + ENTRY_PREFIX, __LINE__);
    } else {
        // The tree's files are regular files; anything else in their place
        // is not what the manifest describes, and a link is never followed.
        if (!S_ISREG(st.st_mode))
            fatal(1, "%s is not a regular file; not touched", e.target.c_str());
        File in(open_nofollow(e.target.c_str(), __LINE__), e.target);
        MadeDirs made(guard);
        guard.make(patch, std::string_view(e.backup).substr(patch.size() + 1), made.list());
        TempFile saved(e.backup);
        // Saved and hashed in one read, so the saved copy is exactly the
        // bytes that were verified. On a mismatch nothing is published.
        char hex[MD5_HEX_SIZE];
        copy_hashed(in.get(), e.target.c_str(), saved.get(), e.backup.c_str(), hex);
        if (std::memcmp(hex, entry_digest(*e.line).data(), 32) != 0 && !forcepatch)
            fatal_fixed(4, "Checksum mismatch %s'%s,%s\n", e.target.c_str(), hex, e.line->c_str());
        in.close();
        saved.commit();
        made.keep();
        // No chmod before the unlink: removing a name needs no permission on
        // the file, and a mode change would reach every other hard link to
        // it (or the file behind a link).
        if (!onlyshow && ::unlink(e.target.c_str()) != 0 && errno != ENOENT)
            fatal_errno("can not remove", e.target.c_str());
        deleted = !onlyshow;
    }
    if (!readable(e.source)) out_printf("Removed: %s\n", e.target.c_str());
    return deleted;
}

// Patches carry files, not directories: a directory that held only files
// the patch took out goes with them (rmdir takes only empty ones), so that a
// tree patched and unpatched is again the tree it was. This runs after the
// creation pass, so a directory that gets new files keeps its own mode.
void prune_emptied(const std::string& tree, const std::vector<std::string_view>& removed) {
    std::string dir;
    for (const std::string_view name : removed) {
        std::size_t end = name.rfind('/');
        while (end != std::string_view::npos && end != 0) {
            dir.assign(tree).append("/").append(name.substr(0, end));
            if (::rmdir(dir.c_str()) != 0) break;
            end = name.rfind('/', end - 1);
        }
    }
}

// Fatal (status 4) unless hex is the digest of the entry line.
void verify_source(const Entry& e, const char* hex) {
    if (std::memcmp(hex, entry_digest(*e.line).data(), 32) != 0)
        fatal_fixed(4, "Invalid checksum %s'%s,%s\n", e.source.c_str(), hex, e.line->c_str());
}

void create_entry(const Entry& e, const std::string& tree, DirGuard& guard) {
    File in(open_nofollow(e.source.c_str(), __LINE__), e.source);
    char hex[MD5_HEX_SIZE];
    if (onlyshow) {
        hash_file(in.get(), e.source.c_str(), hex);
        verify_source(e, hex);
    } else {
        MadeDirs made(guard);
        guard.make(tree, std::string_view(e.target).substr(tree.size() + 1), made.list());
        // Written under a temporary name and renamed into place only once
        // its digest is proven: the target path holds either its old content
        // or the verified new one, never a part.
        TempFile out(e.target);
        copy_hashed(in.get(), e.source.c_str(), out.get(), e.target.c_str(), hex);
        verify_source(e, hex);
        in.close();
        out.commit();
        made.keep();
    }
    out_printf(readable(e.backup) ? "Patched: %s\n" : "Created: %s\n", e.target.c_str());
}

} // namespace

void applypatch(const char* tree, const char* patch) {
    recognise(patch);

    const std::string proot(patch);
    const std::string files = join_path_or_die(proot, "FILES");
    Manifest m;
    {
        File fp(FOPENG(files.c_str(), "r", __LINE__), files);
        std::string error;
        if (!read_manifest(fp.get(), files.c_str(), reverse != 0, m, error))
            fatal(3, "%s; patch refused", error.c_str());
        fp.close();
    }

    const std::string troot(tree);
    const char* backup_dir = reverse ? "new/" : "old/";
    const char* source_dir = reverse ? "old/" : "new/";
    DirGuard guard;
    const std::vector<Entry> removals = plan(m.removals, troot, proot, backup_dir, source_dir, guard);
    const std::vector<Entry> creations = plan(m.creations, troot, proot, backup_dir, source_dir, guard);
    const bool record = adminname && m.named;
    std::string tmp;
    if (record && !admin_temp_path(adminname, tmp)) fatal(1, "path too long: %s.tmp", adminname);

    // All removals come before any creation, each list from its last line
    // to its first.
    std::vector<std::string_view> removed;
    for (auto it = removals.rbegin(); it != removals.rend(); ++it)
        if (remove_entry(*it, proot, guard)) removed.push_back(entry_name(*it->line));
    for (auto it = creations.rbegin(); it != creations.rend(); ++it) create_entry(*it, troot, guard);
    prune_emptied(troot, removed);

    if (record) update_admin(adminname, m.patch_name, m.admin_lines, std::time(nullptr));
}
