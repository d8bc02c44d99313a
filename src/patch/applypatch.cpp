// Patch application and undo. Every check that can fail runs before the
// first change to the tree (applycheck.cpp). Then the removal pass saves
// into the patch directory and takes out every file the patch removes, and
// the creation pass brings in every file it puts in, copied and verified
// as the checks read it. Undo (-r) swaps the roles of the "-" and "+" lines
// and of old/ and new/.

#include "patch/patch.h"
#include "patch/admin.h"
#include "patch/apply.h"
#include "patch/manifest.h"
#include "util/fatal.h"
#include "util/guard.h"
#include "util/progress.h"
#include "util/settings.h"
#include "util/tempfile.h"
#include "util/execbit.h"
#include "util/hashgroup.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace {

// The settings an application reads, taken once when it starts.
struct ApplyOptions {
    bool force;    // -F
    bool reverse;  // -r: undo
    bool dry_run;  // -n
    const char* admin;  // -A, or null
    int threads;
};

ApplyOptions options_from_settings() {
    return ApplyOptions{forcepatch != 0, reverse != 0, onlyshow != 0, adminname, nthreads};
}

// Composes and checks the paths of every line before anything is touched:
// a path that does not fit, or that passes through a symbolic link, refuses
// the whole patch. Returned in the order the passes take them: the
// manifest's last line first.
template <class Entry>
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
        Entry e;
        e.line = &line;
        e.name = name;
        e.digest = entry_digest(line);
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

// Copies the regular file from (a link is not followed) into a temporary
// file for to, with the digest of what was copied in hex; the caller
// commits it.
std::unique_ptr<TempFile> copy_to_temp(const std::string& from, const std::string& to, const DirRef& to_dir,
                                       char* hex) {
    Fd in(open_regular_fd(from.c_str(), __LINE__, true));
    auto out = std::make_unique<TempFile>(to, to_dir);
    copy_fd_hashed(in.get(), from.c_str(), out->fd(), to.c_str(), hex);
    carry_exec_bit(in.get(), out->fd(), to.c_str());
    return out;
}

// The directories of a line's target and backup, opened as they stand
// when the line is acted on: every call on the two names goes through them.
struct Aside {
    NameAt target;
    NameAt backup;
    const DirRef& backup_dir;
};

// Moves the target into the patch directory; false when a rename can not
// reach it (another file system).
bool move_aside(const Line& e, const Aside& a) {
    // A dry run may have left the backup as a second link to this very
    // file, and rename() between two links to one file does nothing: a
    // backup already there goes first (the tree still holds the content).
    // Without one, a single call does it.
    if (::renameat2(a.target.at, a.target.name, a.backup.at, a.backup.name, RENAME_NOREPLACE) == 0) return true;
    if (errno != EEXIST && errno != EINVAL && errno != ENOSYS && errno != EXDEV)
        fatal_errno("can not move into the patch directory", e.target.c_str());
    if (errno != EXDEV && ::unlinkat(a.backup.at, a.backup.name, 0) != 0 && errno != ENOENT)
        fatal_errno("can not remove", e.backup.c_str());
    if (::renameat(a.target.at, a.target.name, a.backup.at, a.backup.name) == 0) return true;
    if (errno != EXDEV) fatal_errno("can not move into the patch directory", e.target.c_str());
    return false;
}

// A dry run's backup: a link under a temporary name, renamed over the old
// backup, so that the backup path holds the old copy or the new one, never
// none. False when no link can be made there (another file system).
bool link_aside(const Line& e, const Aside& a) {
    // An earlier dry run's link to this very file is the backup already: a
    // rename between two links to one file does nothing, and would leave the
    // temporary name behind.
    struct stat bst, tst;
    if (::fstatat(a.backup.at, a.backup.name, &bst, AT_SYMLINK_NOFOLLOW) == 0 &&
        ::fstatat(a.target.at, a.target.name, &tst, AT_SYMLINK_NOFOLLOW) == 0 && bst.st_dev == tst.st_dev &&
        bst.st_ino == tst.st_ino)
        return true;
    TempFile t(e.backup, a.backup_dir);
    t.close_unwritten();
    const NameAt tmp(a.backup_dir, t.temp_path());
    if (::unlinkat(tmp.at, tmp.name, 0) != 0 || ::linkat(a.target.at, a.target.name, tmp.at, tmp.name, 0) != 0)
        return false;
    t.commit_closed();
    return true;
}

// A link or a special file that a forced run saves across file systems is
// made again at the backup path, as it stands in the tree: its content, if
// any, is not the patch's to read.
void remake_aside(const Line& e, const Aside& a, const struct stat& st) {
    TempFile t(e.backup, a.backup_dir);
    t.close_unwritten();
    const NameAt tmp(a.backup_dir, t.temp_path());
    if (::unlinkat(tmp.at, tmp.name, 0) != 0) fatal_errno("can not remove", t.temp_path().c_str());
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> to(std::size_t(st.st_size) + 2);
        const ssize_t n = ::readlinkat(a.target.at, a.target.name, to.data(), to.size());
        if (n < 0) fatal_errno("can not read the link", e.target.c_str());
        if (std::size_t(n) >= to.size() - 1) fatal(1, "%s changed while it was being saved", e.target.c_str());
        to[std::size_t(n)] = '\0';
        if (::symlinkat(to.data(), tmp.at, tmp.name) != 0) fatal_errno("can not save the link", e.target.c_str());
    } else if (::mknodat(tmp.at, tmp.name, st.st_mode & (S_IFMT | 0777), st.st_rdev) != 0) {
        fatal_errno("can not save", e.target.c_str());
    }
    t.commit_closed();
}

// Saves the target under backup. A real run moves it there (the removal and
// the backup in one rename); a dry run (-n) leaves the tree as it is and
// links, or copies across file systems.
void save(const Line& e, const DirRef& target_dir, const DirRef& backup_dir, bool dry_run) {
    const Aside a{NameAt(target_dir, e.target), NameAt(backup_dir, e.backup), backup_dir};
    if (dry_run ? link_aside(e, a) : move_aside(e, a)) return;
    // Across file systems: a copy, and the target goes after it.
    struct stat st;
    if (::fstatat(a.target.at, a.target.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        fatal_errno("can not examine", e.target.c_str());
    char hex[MD5_HEX_SIZE];
    if (S_ISREG(st.st_mode))
        copy_to_temp(e.target, e.backup, backup_dir, hex)->commit();
    else
        remake_aside(e, a, st);
    if (!dry_run && ::unlinkat(a.target.at, a.target.name, 0) != 0 && errno != ENOENT)
        fatal_errno("can not remove", e.target.c_str());
}

std::string relative(const std::string& path, const std::string& root) { return path.substr(root.size() + 1); }

// Removes the directories the removals emptied, deepest first, and records
// each with its mode. With a record of the application this one undoes,
// only the directories that it made are candidates: an empty directory
// that was there before it stays. A directory on the way to a new file is
// kept, so that it keeps its own mode.
void prune(const std::string& tree, const std::vector<Removal>& removals, const std::vector<Creation>& creations,
           const DirRecord* undone, DirGuard& guard, DirRecord& rec) {
    std::unordered_set<std::string_view> needed;
    for (const Creation& e : creations)
        for (std::size_t slash = e.name.find('/'); slash != std::string_view::npos; slash = e.name.find('/', slash + 1))
            needed.insert(e.name.substr(0, slash));
    std::string dir;
    for (const Removal& e : removals) {
        if (e.state != RemovalState::present) continue;
        for (std::size_t end = e.name.rfind('/'); end != std::string_view::npos && end != 0;
             end = e.name.rfind('/', end - 1)) {
            const std::string rel(e.name.substr(0, end));
            if (needed.contains(rel) || (undone && !undone->made.contains(rel))) break;
            dir.assign(tree).append("/").append(rel);
            struct stat st;
            if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !guard.remove_dir(tree, rel)) break;
            rec.gone[rel] = unsigned(st.st_mode & 07777);
        }
    }
}

// Brings in one new file: a real run renames its staged copy into place (or
// copies it now, verified again, where nothing could be staged). A saved
// file put back leaves the patch directory: its copy is in the tree.
void bring_in(Creation& e, const DirRef& target_dir, const std::string& proot, DirGuard& guard) {
    if (e.staged) {
        e.staged->commit_closed_as(e.target, target_dir);
    } else {
        char hex[MD5_HEX_SIZE];
        const std::unique_ptr<TempFile> out = copy_to_temp(e.source, e.target, target_dir, hex);
        if (std::memcmp(hex, e.digest.data(), MD5_HEX_LEN) != 0) refuse_source(e, hex);
        out->commit();
    }
    if (e.state != CreationState::restore) return;
    const NameAt source(guard.parent_or_die(proot, relative(e.source, proot), false), e.source);
    if (::unlinkat(source.at, source.name, 0) != 0 && errno != ENOENT) fatal_errno("can not remove", e.source.c_str());
}

void create_entry(Creation& e, const std::string& tree, const std::string& proot, DirGuard& guard,
                  const DirRecord* undone, DirRecord& rec, bool dir_in_place, bool dry_run) {
    if (!dry_run && e.state != CreationState::done) {
        std::vector<std::string> created;
        const DirRef dir = guard.parent_or_die(tree, e.name, true, &created);
        for (const std::string& d : created) {
            std::string rel = relative(d, tree);
            // A directory an earlier application removed comes back as it was.
            if (undone) {
                const auto g = undone->gone.find(rel);
                if (g != undone->gone.end()) restore_dir_mode(d, g->second);
            }
            rec.made.insert(std::move(rel));
        }
        // A directory emptied by the removals makes way for the new file.
        if (dir_in_place && !guard.remove_dir(tree, e.name) && errno != ENOENT)
            fatal_errno("can not remove the directory", e.target.c_str());
        bring_in(e, dir, proot, guard);
    }
    print_name_line(stdout, ::access(e.backup.c_str(), R_OK) == 0 ? "Patched: " : "Created: ", e.target);
    progress_file();
}

// Takes out every file the change removes or replaces, saving it in the
// patch directory: the removals, then the unexpected files a forced run
// meets where new files go, each recorded in rec as saved. A removal with
// no file to bring in for it is gone for good.
void take_out(const std::string& tree, const std::string& proot, const std::vector<Removal>& removals,
              const std::vector<Creation>& creations, DirGuard& guard, bool dry_run, DirRecord& rec) {
    // Each name's directories as they stand when it is saved: one swapped
    // for a link since the plan's checks is refused, not followed.
    auto save_line = [&](const Line& e) {
        const DirRef backup_dir = guard.parent_or_die(proot, relative(e.backup, proot), true);
        save(e, guard.parent_or_die(tree, e.name, false), backup_dir, dry_run);
    };
    for (const Removal& e : removals) {
        if (e.state == RemovalState::present) save_line(e);
        if (!e.twin) print_name_line(stdout, "Removed: ", e.target);
        if (e.left_saved)
            warn("%s: what a forced run saved from %s is a %s; not put back", e.source.c_str(), e.target.c_str(),
                 e.left_saved->kind == SavedFile::link ? "symbolic link" : "special file");
        progress_file();
    }
    for (const Creation& e : creations) {
        if (e.state != CreationState::save_first) continue;
        save_line(e);
        rec.saved[std::string(e.name)] = e.saved;
    }
}

// The files an earlier run in the same direction (prior) saved from the way
// of new files, kept in this run's record unless this run saves another
// file under the same name.
void keep_saved(const DirRecord& prior, const std::vector<Removal>& removals, DirRecord& rec) {
    std::unordered_set<std::string_view> replaced;
    for (const Removal& e : removals)
        if (e.state == RemovalState::present) replaced.insert(e.name);
    for (const auto& [name, f] : prior.saved)
        if (!replaced.contains(name)) rec.saved.try_emplace(name, f);
}

// The patch's manifest, read in the direction of the run.
Manifest read_patch_manifest(const std::string& proot, bool reverse) {
    const std::string files = join_path_or_die(proot, "FILES");
    Manifest m;
    File fp(FOPENG(files.c_str(), "r", __LINE__), files);
    std::string error;
    if (!read_manifest(fp.get(), files.c_str(), reverse, m, error)) fatal(3, "%s; patch refused", error.c_str());
    fp.close();
    return m;
}

} // namespace

void applypatch(const char* tree, const char* patch) {
    const ApplyOptions o = options_from_settings();
    recognise(patch);
    const Fd patch_lock = lock_directory(patch, nullptr);
    struct stat patch_st;
    const Fd tree_lock =
        lock_directory(tree, patch_lock.get() >= 0 && ::fstat(patch_lock.get(), &patch_st) == 0 ? &patch_st : nullptr);

    const std::string proot(patch);
    const Manifest m = read_patch_manifest(proot, o.reverse);

    const std::string troot(tree);
    const char* backup_dir = o.reverse ? "new/" : "old/";
    const char* source_dir = o.reverse ? "old/" : "new/";
    DirGuard guard;
    std::vector<Removal> removals = plan<Removal>(m.removals, troot, proot, backup_dir, source_dir, guard);
    std::vector<Creation> creations = plan<Creation>(m.creations, troot, proot, backup_dir, source_dir, guard);
    // The record of the last application on this tree: what it saved is put
    // back, its directories undone, by a run in the other direction.
    DirRecord prior;
    const bool have_prior = read_dir_record(proot, troot, prior);
    const DirRecord* undone = have_prior && prior.undo != o.reverse ? &prior : nullptr;
    pair_and_restore(removals, creations, undone);
    const bool record = o.admin && m.named;
    std::string admin_path;
    if (record) {
        // What stands at the administration file's path is checked before
        // the tree is touched.
        admin_path = publish_target(o.admin, "administration file");
        std::string tmp;
        if (!admin_temp_path(admin_path.c_str(), tmp)) fatal(1, "path too long: %s.tmp", admin_path.c_str());
    }

    progress_phase("checking a patch", removals.size() + creations.size());
    // Every check before the first change; a real run stages the new files
    // meanwhile (not into a tree that is not there yet: a failed check
    // would leave it made).
    struct stat st;
    check_all(o.force, o.threads, troot, guard, removals, creations,
              !o.dry_run && ::stat(troot.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    const std::unordered_set<std::string_view> dirs_in_place = check_layout(troot, removals, creations);
    check_backups(proot, removals, creations);

    // Honoured once: a run that fails from here on leaves no record to
    // honour again.
    if (undone && !o.dry_run) forget_dir_record(proot);
    DirRecord rec;
    rec.undo = o.reverse;

    // All removals come before any creation. The first staged file renamed
    // waits until every staged file, and every backup, is on the disk.
    progress_phase("applying", removals.size() + creations.size());
    take_out(troot, proot, removals, creations, guard, o.dry_run, rec);
    if (have_prior && !undone) keep_saved(prior, removals, rec);
    if (!o.dry_run) prune(troot, removals, creations, undone, guard, rec);
    for (Creation& e : creations)
        create_entry(e, troot, proot, guard, undone, rec, dirs_in_place.contains(e.name), o.dry_run);
    if (!o.dry_run) {
        write_dir_record(proot, troot, rec);
        note_changed(troot);
        note_changed(proot);
    }

    if (record) update_admin(admin_path.c_str(), m.patch_name, m.admin_lines, std::time(nullptr));
}
