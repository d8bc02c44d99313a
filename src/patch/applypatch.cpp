// Patch application and undo. Every check that can fail runs before the
// first change to the tree: the tree's files and the patch's files are
// regular files with the digests the manifest gives (hashed by workers),
// and the tree's shape lets every new file in. Then the removal pass saves
// into the patch directory and takes out every file the patch removes, and
// the creation pass brings in every file it puts in, copied and verified
// again as it is written. Undo (-r) swaps the roles of the "-" and "+" lines
// and of old/ and new/.

#include "driver/jobs.h"
#include "driver/settings.h"
#include "patch/admin.h"
#include "patch/dirs.h"
#include "patch/manifest.h"
#include "stream/stream.h"
#include "util/escape.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/guard.h"
#include "util/pipeline.h"
#include "util/progress.h"
#include "util/tempfile.h"

#include <cerrno>
#include <cstring>
#include <vector>
#include <exception>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace {

// The paths of one entry line.
struct Entry {
    const std::string* line;
    std::string_view name;
    std::string target;  // tree/name
    std::string backup;  // patch/<backup dir>/name: where a removed file is saved
    std::string source;  // patch/<source dir>/name: the version brought in
    bool present = false;  // removal: the target is there to be taken out
};

void recognise(const char* patch) {
    // A directory with a regular file FILES is what the walk below would
    // find; looking straight at it spares walking all of old/ and new/ when
    // the walk happens to meet them first.
    struct stat st;
    if (::stat(patch, &st) == 0 && S_ISDIR(st.st_mode)) {
        const std::string files = join_path_or_die(patch, "FILES");
        if (::lstat(files.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return;
    }
    StreamPtr s(openstream(patch));
    while (nextstream(s.get()))
        if (std::strcmp(s->name, "FILES") == 0) return;
    fatal_fixed(3, "%s: not a patch directory\n", patch);
}

// Composes and checks the paths of every line before anything is touched:
// a path that does not fit, or that passes through a symbolic link, refuses
// the whole patch. Returned in the order the passes take them: the
// manifest's last line first.
std::vector<Entry> plan(const std::vector<std::string>& lines, const std::string& tree, const std::string& patch,
                        const char* backup_dir, const char* source_dir, DirGuard& guard) {
    std::vector<Entry> out;
    out.reserve(lines.size());
    std::string backup_rel, source_rel;
    for (auto l = lines.rbegin(); l != lines.rend(); ++l) {
        const std::string& line = *l;
        const std::string_view name = entry_name(line);
        backup_rel.assign(backup_dir).append(name);
        source_rel.assign(source_dir).append(name);
        Entry e{&line, name, {}, {}, {}};
        if (!join_path(e.target, tree, name) || !join_path(e.backup, patch, backup_rel) ||
            !join_path(e.source, patch, source_rel))
            fatal(3, "%s/FILES: path too long for entry: %s", patch.c_str(), line.c_str());
        guard.check_or_die(tree, name);
        guard.check_or_die(patch, backup_rel);
        guard.check_or_die(patch, source_rel);
        out.push_back(std::move(e));
    }
    return out;
}

bool readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

// The first pass: every file the patch reads, hashed by the workers and
// judged in pass order, so the first failure reported is the one a run
// that checked file by file would meet first.
void verify(std::vector<Entry>& removals, const std::vector<Entry>& creations) {
    struct Item {
        const Entry* e;
        bool removal;
        Fd fd;
        char hex[MD5_HEX_SIZE];
        std::exception_ptr error;  // reading it failed
        const char* in_name() const { return removal ? e->target.c_str() : e->source.c_str(); }
    };
    auto judge = [](const Item& it) {
        if (it.error) std::rethrow_exception(it.error);
        progress_file();
        const Entry& en = *it.e;
        if (std::memcmp(it.hex, entry_digest(*en.line).data(), 32) == 0) return;
        if (!it.removal) fatal_fixed(4, "Invalid checksum %s'%s,%s\n", en.source.c_str(), it.hex, en.line->c_str());
        if (!forcepatch) fatal_fixed(4, "Checksum mismatch %s'%s,%s\n", en.target.c_str(), it.hex, en.line->c_str());
    };
    // Files go to the workers in groups, their digests computed together.
    Pipeline p(nthreads);
    const std::size_t size = p.group_size();
    p.enumerate([&] {
        auto g = std::make_shared<std::vector<Item>>();
        auto submit = [&] {
            if (g->empty()) return;
            const std::size_t n = g->size();
            p.submit_group(
                g, [](std::vector<Item>& grp) { hash_group(grp); },
                [judge](std::vector<Item>& grp) {
                    for (const Item& it : grp) judge(it);
                },
                n * (64u << 10), n);
        };
        auto check = [&](const Entry& e, bool removal, int fd) {
            Item it{&e, removal, Fd(fd), {}, {}};
            g->push_back(std::move(it));
            if (g->size() == size) submit();
        };
        Pipeline::gather_groups([&] {
            for (Entry& e : removals) {
                struct stat st;
                if (::lstat(e.target.c_str(), &st) != 0) {
                    if (errno != ENOENT && errno != ENOTDIR) fatal_errno("can not examine", e.target.c_str());
                    if (!forcepatch)
                        fatal_fixed(2, "can not access %s with mode READ at line %d\n", e.line->c_str() + ENTRY_PREFIX,
                                    __LINE__);
                    continue;
                }
                // The tree's files are regular files; anything else in their
                // place is not what the manifest describes, and a link is
                // never followed.
                if (!S_ISREG(st.st_mode)) fatal(1, "%s is not a regular file; not touched", e.target.c_str());
                e.present = true;
                check(e, true, open_regular_fd(e.target.c_str(), __LINE__, true));
            }
            // A FIFO or a device in the patch is refused without blocking.
            for (const Entry& e : creations) check(e, false, open_regular_fd(e.source.c_str(), __LINE__, true));
        }, submit);
    });
    p.finish();
}

// True when every file below dir (relative names from prefix) is one the
// removal pass takes out, so that the directory will be empty of files.
bool emptied(const std::string& dir, const std::string& prefix, const std::unordered_set<std::string_view>& removed) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    bool ok = true;
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        struct stat st;
        const std::string path = dir + "/" + n;
        if (::lstat(path.c_str(), &st) != 0) {
            ok = false;
            break;
        }
        const std::string rel = prefix + n;
        if (S_ISDIR(st.st_mode) ? !emptied(path, rel + "/", removed) : !removed.contains(rel)) {
            ok = false;
            break;
        }
    }
    ::closedir(d);
    return ok;
}

// The tree must let every new file in: nothing but directories, or files
// the removal pass takes out, may stand on the way to a new file, and a
// directory where a new file goes must hold only files that go.
// Returns the names of the new files whose place a directory holds now.
std::unordered_set<std::string_view> check_layout(const std::string& tree, const std::vector<Entry>& removals,
                                                  const std::vector<Entry>& creations) {
    std::unordered_set<std::string_view> dirs_in_place;
    std::unordered_set<std::string_view> removed;
    for (const Entry& e : removals)
        if (e.present) removed.insert(e.name);
    std::string path;
    std::unordered_set<std::string_view> passable;  // leading directories already seen fit
    for (const Entry& e : creations) {
        for (std::size_t slash = e.name.find('/'); slash != std::string_view::npos; slash = e.name.find('/', slash + 1)) {
            const std::string_view lead = e.name.substr(0, slash);
            if (passable.contains(lead)) continue;
            path.assign(tree).append("/").append(lead);
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0) break;
            if (!S_ISDIR(st.st_mode) && !removed.contains(lead))
                fatal(1, "%s is not a directory; can not create %s", path.c_str(), e.target.c_str());
            passable.insert(lead);
        }
        struct stat st;
        if (::lstat(e.target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            if (!emptied(e.target, std::string(e.name) + "/", removed))
                fatal(1, "%s is a directory holding files the patch keeps; not replaced", e.target.c_str());
            dirs_in_place.insert(e.name);
        }
    }
    return dirs_in_place;
}

// Saves the target under backup. A real run moves it there (the removal and
// the backup in one rename); a dry run (-n) leaves the tree as it is and
// links, or copies across file systems.
void save(const Entry& e) {
    if (!onlyshow) {
        // A dry run may have left the backup as a second link to this very
        // file, and rename() between two links to one file does nothing: a
        // backup already there goes first (the tree still holds the
        // content). Without one, a single call does it.
        if (::renameat2(AT_FDCWD, e.target.c_str(), AT_FDCWD, e.backup.c_str(), RENAME_NOREPLACE) == 0) return;
        if (errno != EEXIST && errno != EINVAL && errno != ENOSYS && errno != EXDEV)
            fatal_errno("can not move into the patch directory", e.target.c_str());
        if (errno != EXDEV && ::unlink(e.backup.c_str()) != 0 && errno != ENOENT)
            fatal_errno("can not remove", e.backup.c_str());
        if (::rename(e.target.c_str(), e.backup.c_str()) == 0) return;
        if (errno != EXDEV) fatal_errno("can not move into the patch directory", e.target.c_str());
    } else {
        // A link under a temporary name, renamed over the old backup: the
        // backup path holds the old copy or the new one, never none.
        TempFile t(e.backup);
        t.close();
        if (::unlink(t.temp_path().c_str()) == 0 && ::link(e.target.c_str(), t.temp_path().c_str()) == 0) {
            t.commit_closed();
            return;
        }
    }
    Fd in(open_regular_fd(e.target.c_str(), __LINE__, true));
    TempFile saved(e.backup);
    char hex[MD5_HEX_SIZE];
    copy_fd_hashed(in.get(), e.target.c_str(), saved.fd(), e.backup.c_str(), hex);
    saved.commit();
    if (!onlyshow && ::unlink(e.target.c_str()) != 0 && errno != ENOENT) fatal_errno("can not remove", e.target.c_str());
}

std::string relative(const std::string& path, const std::string& root) { return path.substr(root.size() + 1); }

// Removes the directories the removals emptied, deepest first, and records
// each with its mode. With a record of the application this one undoes,
// only the directories that it made are candidates: an empty directory
// that was there before it stays. A directory on the way to a new file is
// kept, so that it keeps its own mode.
void prune(const std::string& tree, const std::vector<Entry>& removals, const std::vector<Entry>& creations,
           const DirRecord* undone, DirRecord& rec) {
    std::unordered_set<std::string_view> needed;
    for (const Entry& e : creations)
        for (std::size_t slash = e.name.find('/'); slash != std::string_view::npos; slash = e.name.find('/', slash + 1))
            needed.insert(e.name.substr(0, slash));
    std::string dir;
    for (const Entry& e : removals) {
        if (!e.present) continue;
        for (std::size_t end = e.name.rfind('/'); end != std::string_view::npos && end != 0;
             end = e.name.rfind('/', end - 1)) {
            const std::string rel(e.name.substr(0, end));
            if (needed.contains(rel) || (undone && !undone->made.contains(rel))) break;
            dir.assign(tree).append("/").append(rel);
            struct stat st;
            if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::rmdir(dir.c_str()) != 0) break;
            rec.gone[rel] = unsigned(st.st_mode & 07777);
        }
    }
}

void create_entry(const Entry& e, const std::string& tree, DirGuard& guard, const DirRecord* undone, DirRecord& rec,
                  bool dir_in_place) {
    if (!onlyshow) {
        std::vector<std::string> created;
        guard.make_or_die(tree, e.name, &created);
        for (const std::string& d : created) {
            std::string rel = relative(d, tree);
            // A directory an earlier application removed comes back as it was.
            if (undone) {
                const auto g = undone->gone.find(rel);
                if (g != undone->gone.end()) ::chmod(d.c_str(), g->second);
            }
            rec.made.insert(std::move(rel));
        }
        // A directory emptied by the removals makes way for the new file.
        if (dir_in_place && ::rmdir(e.target.c_str()) != 0 && errno != ENOENT)
            fatal_errno("can not remove the directory", e.target.c_str());
        Fd in(open_regular_fd(e.source.c_str(), __LINE__, true));
        // Written under a temporary name and renamed into place only once
        // its digest is proven: the target path holds either its old content
        // or the verified new one, never a part.
        TempFile out(e.target);
        char hex[MD5_HEX_SIZE];
        copy_fd_hashed(in.get(), e.source.c_str(), out.fd(), e.target.c_str(), hex);
        if (std::memcmp(hex, entry_digest(*e.line).data(), 32) != 0)
            fatal_fixed(4, "Invalid checksum %s'%s,%s\n", e.source.c_str(), hex, e.line->c_str());
        out.commit();
    }
    print_name_line(stdout, readable(e.backup) ? "Patched: " : "Created: ", e.target);
    progress_file();
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
        if (!read_manifest(fp.get(), files.c_str(), reverse != 0, m, error)) fatal(3, "%s; patch refused", error.c_str());
        fp.close();
    }

    const std::string troot(tree);
    const char* backup_dir = reverse ? "new/" : "old/";
    const char* source_dir = reverse ? "old/" : "new/";
    DirGuard guard;
    std::vector<Entry> removals = plan(m.removals, troot, proot, backup_dir, source_dir, guard);
    const std::vector<Entry> creations = plan(m.creations, troot, proot, backup_dir, source_dir, guard);
    const bool record = adminname && m.named;
    std::string admin_path;
    if (record) {
        // What stands at the administration file's path is checked before
        // the tree is touched.
        admin_path = publish_target(adminname, "administration file");
        std::string tmp;
        if (!admin_temp_path(admin_path.c_str(), tmp)) fatal(1, "path too long: %s.tmp", admin_path.c_str());
    }

    progress_phase("checking a patch", removals.size() + creations.size());
    verify(removals, creations);
    const std::unordered_set<std::string_view> dirs_in_place = check_layout(troot, removals, creations);

    DirRecord undone_rec;
    const bool have_undone = read_dir_record(proot, undone_rec) && undone_rec.undo != (reverse != 0);
    const DirRecord* undone = have_undone ? &undone_rec : nullptr;
    DirRecord rec;
    rec.undo = reverse != 0;

    // All removals come before any creation.
    progress_phase("applying", removals.size() + creations.size());
    for (const Entry& e : removals) {
        if (e.present) {
            guard.make_or_die(proot, relative(e.backup, proot));
            save(e);
        }
        if (!readable(e.source)) print_name_line(stdout, "Removed: ", e.target);
        progress_file();
    }
    if (!onlyshow) prune(troot, removals, creations, undone, rec);
    for (const Entry& e : creations) create_entry(e, troot, guard, undone, rec, dirs_in_place.contains(e.name));
    if (!onlyshow) write_dir_record(proot, rec);

    if (record) update_admin(admin_path.c_str(), m.patch_name, m.admin_lines, std::time(nullptr));
}
