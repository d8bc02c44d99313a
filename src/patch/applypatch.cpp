// Patch application and undo. Every check that can fail runs before the
// first change to the tree: the tree's files and the patch's files are
// regular files with the digests the manifest gives (hashed by workers),
// and the tree's shape lets every new file in. Then the removal pass saves
// into the patch directory and takes out every file the patch removes, and
// the creation pass brings in every file it puts in, copied and verified
// again as it is written. Undo (-r) swaps the roles of the "-" and "+" lines
// and of old/ and new/.

#include "patch/patch.h"
#include "util/settings.h"
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
#include "util/execbit.h"
#include "util/hashgroup.h"

#include <cerrno>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>
#include <exception>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

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

// The paths of one entry line, and what the checks decided for it.
struct Entry {
    const std::string* line = nullptr;
    std::string_view name;
    // The digest its content must have: its line's, or for a restore the
    // one recorded when the file was saved.
    std::string_view digest;
    std::string target;  // tree/name
    std::string backup;  // patch/<backup dir>/name: where a removed file is saved
    std::string source;  // patch/<source dir>/name: the version brought in
    bool present = false;  // removal: the target is there to be taken out
    // The target already holds what the change brings (a forced run after
    // an interrupted one): it is neither saved nor replaced, so the backup
    // of the older version stays as the first run made it.
    bool done = false;
    // Creation: the tree holds a file of this name that the patch has no
    // removal for; a forced run saves it as a removal would, and records
    // it as saved.
    bool unexpected = false;
    SavedFile saved;
    // Creation: puts back a file that a forced run in the other direction
    // recorded as saved, verified against the digest recorded.
    bool restore = false;
    // Removal: a forced run in the other direction saved something here
    // that is not a regular file; it stays in the patch directory.
    const SavedFile* left_saved = nullptr;
    // Creation: the tree's checks may find it done; its new file is
    // checked only once they have been judged.
    bool undecided = false;
    Entry* twin = nullptr;  // the line of the same name in the other list
    // Creation: the new file, copied and verified by the checks, waiting
    // only for its rename.
    std::unique_ptr<TempFile> staged;
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

bool readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

// Pairs the lines of one name across the two lists. A removal without a
// twin takes the file out for good, whatever stands under the source
// directory, unless the record of the application this one undoes (undone)
// says that a forced run saved a regular file of that name there: that file
// is put back by a creation of its own, checked against the recorded digest
// like any new file. The restore is the removal's twin.
void pair_and_restore(std::vector<Entry>& removals, std::vector<Entry>& creations, const DirRecord* undone) {
    // Twins are found by index: creations grows below, which moves it.
    std::unordered_map<std::string_view, std::size_t> by_name;
    for (std::size_t i = 0; i < creations.size(); ++i) by_name.emplace(creations[i].name, i);
    std::vector<std::size_t> twin(removals.size(), SIZE_MAX);
    for (std::size_t k = 0; k < removals.size(); ++k) {
        Entry& r = removals[k];
        if (const auto t = by_name.find(r.name); t != by_name.end()) {
            twin[k] = t->second;
            continue;
        }
        if (!undone) continue;
        const auto s = undone->saved.find(std::string(r.name));
        if (s == undone->saved.end()) continue;
        if (s->second.kind != SavedFile::file) {
            r.left_saved = &s->second;
            continue;
        }
        Entry e;
        e.line = r.line;
        e.name = r.name;
        e.digest = s->second.digest;
        e.target = r.target;
        e.backup = r.backup;
        e.source = r.source;
        e.restore = true;
        twin[k] = creations.size();
        creations.push_back(std::move(e));
    }
    for (std::size_t k = 0; k < removals.size(); ++k) {
        if (twin[k] == SIZE_MAX) continue;
        removals[k].twin = &creations[twin[k]];
        creations[twin[k]].twin = &removals[k];
    }
}

// One file the checks read: hashed on a worker, judged in pass order.
struct Check {
    Entry* e;
    enum Kind { REMOVAL, IN_THE_WAY, SOURCE } kind;
    Fd fd;
    std::unique_ptr<TempFile> out;  // SOURCE of a real run: where it is staged
    char hex[MD5_HEX_SIZE];
    std::exception_ptr error;  // reading it failed
    const char* in_name() const { return kind == SOURCE ? e->source.c_str() : e->target.c_str(); }
    const char* out_name() const { return out->temp_path().c_str(); }
};

// Reads (and copies, when staging) every file of a group on a worker.
void read_group(std::vector<Check>& g) {
    std::vector<HashedCopy> cs;
    for (Check& c : g) {
        if (c.kind == Check::SOURCE && c.e->staged) {
            // The staging file was made on the calling thread; this copy
            // fills it.
            c.out = std::move(c.e->staged);
        }
        cs.push_back({c.fd.get(), c.in_name(), c.out ? c.out->fd() : -1, c.out ? c.out_name() : nullptr, c.hex});
    }
    std::exception_ptr err;
    const std::size_t done = copy_hashed_group(cs, &err);
    if (done < g.size()) g[done].error = err;
    for (std::size_t i = 0; i < done; ++i) {
        Fd in = std::move(g[i].fd);
        if (!g[i].out) continue;
        try {
            carry_exec_bit(in.get(), g[i].out->fd(), g[i].out_name());
            g[i].out->close();
        } catch (...) {
            g[i].error = std::current_exception();
            break;
        }
    }
}

// Runs the checks that add(check) submits, in groups, judging each in turn.
template <class Gather, class Judge>
void run_checks(int threads, Gather gather, Judge judge) {
    Pipeline p(threads);
    auto add_to = [&gather](Gathering<Check>& g) {
        // size: the file's, where it is known without asking again.
        gather([&g](Entry& e, Check::Kind kind, Fd fd, uint64_t size) {
            Check c{&e, kind, std::move(fd), {}, {}, {}};
            size > GROUP_FILE_MAX ? g.add_alone(std::move(c), std::size_t(size)) : g.add(std::move(c));
        });
    };
    auto decide = [&judge](Check& c) {
        progress_file();
        judge(c);
    };
    run_grouped(p, p.group_size(), add_to,
                GroupedJob<Check>{read_group, decide, [](const Check&) { return Cost{GROUP_FILE_MAX, 1}; }});
}

[[noreturn]] void refuse_unexpected(const Entry& e) {
    fatal(4, "%s is there, and the patch has no removal for it; not touched (-F saves it as %s)", e.target.c_str(),
          e.backup.c_str());
}

// The tree's side of the checks: every file that the change would take out
// or replace, hashed and judged against the manifest. A forced run takes a
// file that already holds its new version as done.
void judge_tree(bool force, Check& c) {
    Entry& e = *c.e;
    const std::string_view hex(c.hex, MD5_HEX_LEN);
    if (c.kind == Check::IN_THE_WAY) {
        // Already the new version: nothing of the user's is lost.
        if (hex == e.digest) return void(e.done = true);
        if (!force) refuse_unexpected(e);
        e.saved = SavedFile{SavedFile::file, std::string(hex)};
        return void(e.unexpected = true);
    }
    if (hex == e.digest) return void(e.present = true);
    if (force && e.twin && hex == e.twin->digest) {
        e.twin->done = true;
        return;
    }
    if (!force) fatal_fixed(4, "Checksum mismatch %s'%s,%s\n", e.target.c_str(), c.hex, e.line->c_str());
    e.present = true;
}

// Adds the tree's checks. The creations they may find done are marked
// undecided: their sources wait until the tree's checks are judged.
template <class Add>
void gather_tree(bool force, std::vector<Entry>& removals, std::vector<Entry>& creations, Add add) {
    for (Entry& e : removals) {
        struct stat st;
        if (::lstat(e.target.c_str(), &st) != 0) {
            if (errno != ENOENT && errno != ENOTDIR) fatal_errno("can not examine", e.target.c_str());
            if (!force)
                fatal_fixed(2, "can not access %s with mode READ at line %d\n", e.line->c_str() + ENTRY_PREFIX,
                            __LINE__);
            continue;
        }
        // The tree's files are regular files; anything else in their
        // place is not what the manifest describes, and a link is
        // never followed.
        if (!S_ISREG(st.st_mode)) fatal(1, "%s is not a regular file; not touched", e.target.c_str());
        if (force && e.twin) e.twin->undecided = true;
        add(e, Check::REMOVAL, Fd(open_regular_fd(e.target.c_str(), __LINE__, true)), uint64_t(st.st_size));
    }
    // A file where a new one goes, with no removal to take it out: the
    // patch did not expect it, and it is not overwritten unsaved.
    for (Entry& e : creations) {
        struct stat st;
        if (e.twin || e.restore || ::lstat(e.target.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        if (!S_ISREG(st.st_mode)) {
            if (!force) refuse_unexpected(e);
            e.unexpected = true;
            e.saved.kind = S_ISLNK(st.st_mode) ? SavedFile::link : SavedFile::special;
            continue;
        }
        e.undecided = true;
        add(e, Check::IN_THE_WAY, Fd(open_regular_fd(e.target.c_str(), __LINE__, true)), uint64_t(st.st_size));
    }
}

// The deepest directory on the way to e's target that exists now: the new
// file is staged there, on the file system it will be renamed on.
std::string staging_dir(const std::string& tree, const Entry& e) {
    std::string dir = tree;
    for (std::size_t slash = e.name.find('/'); slash != std::string_view::npos; slash = e.name.find('/', slash + 1)) {
        const std::string next = tree + "/" + std::string(e.name.substr(0, slash));
        struct stat st;
        if (::lstat(next.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) break;
        dir = next;
    }
    return dir;
}

// A new file, or a saved one to put back, that does not have its digest.
[[noreturn]] void refuse_source(const Entry& e, const char* hex) {
    if (e.restore)
        fatal(4, "%s is not the file a forced run saved from %s (digest %s, recorded %.*s); not put back",
              e.source.c_str(), e.target.c_str(), hex, int(e.digest.size()), e.digest.data());
    fatal_fixed(4, "Invalid checksum %s'%s,%s\n", e.source.c_str(), hex, e.line->c_str());
}

// The patch's side: every new file, verified against its digest. A real
// run copies it into its staging file as it reads it, so the change itself
// is renames only.
struct Sources {
    const std::string& tree;
    bool stage;
    std::unordered_map<std::string, std::string> dirs;  // a target's directory -> where it is staged

    static void judge(Check& c) {
        Entry& e = *c.e;
        if (std::memcmp(c.hex, e.digest.data(), MD5_HEX_LEN) != 0) refuse_source(e, c.hex);
        e.staged = std::move(c.out);
    }

    // Adds the checks of the creations whose undecided flag is as asked.
    template <class Add>
    void gather(std::vector<Entry>& creations, bool undecided, Add add) {
        for (Entry& e : creations) {
            if (e.undecided != undecided || e.done) continue;
            // A FIFO or a device in the patch is refused without blocking.
            Fd fd(open_regular_fd(e.source.c_str(), __LINE__, true));
            if (stage) {
                const std::string_view parent = std::string_view(e.target).substr(0, e.target.rfind('/'));
                auto [d, fresh] = dirs.try_emplace(std::string(parent));
                if (fresh) d->second = staging_dir(tree, e);
                e.staged = std::make_unique<TempFile>(d->second + "/");
            }
            const std::size_t size = large_file_size(fd.get());
            add(e, Check::SOURCE, std::move(fd), size);
        }
    }
};

// Every check, the tree's first, in one run of the workers: a large file
// near the end of one side does not leave the other threads idle. The new
// files of the few creations the tree's checks may find done are checked
// after them, in a run of their own.
void check_all(const ApplyOptions& o, const std::string& tree, std::vector<Entry>& removals,
               std::vector<Entry>& creations, bool stage) {
    const bool force = o.force;
    Sources sources{tree, stage, {}};
    auto judge = [force](Check& c) { c.kind == Check::SOURCE ? Sources::judge(c) : judge_tree(force, c); };
    run_checks(o.threads, [&](auto add) {
        gather_tree(force, removals, creations, add);
        sources.gather(creations, false, add);
    }, judge);
    const auto waiting = [](const Entry& e) { return e.undecided && !e.done; };
    if (std::any_of(creations.begin(), creations.end(), waiting))
        run_checks(o.threads, [&](auto add) { sources.gather(creations, true, add); }, judge);
}

// Whether every file below dir (relative names from prefix) is one the
// removal pass takes out, so that the directory will be empty. A directory
// with no such file below it (an empty one, which no listing shows) would
// stay and keep dir from being removed: its path goes to blocker.
bool emptied(const std::string& dir, const std::string& prefix, const std::unordered_set<std::string_view>& removed,
             std::string& blocker, bool top = true) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    bool ok = true;
    bool any = false;
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
        if (S_ISDIR(st.st_mode) ? !emptied(path, rel + "/", removed, blocker, false) : !removed.contains(rel)) {
            ok = false;
            break;
        }
        any = true;
    }
    ::closedir(d);
    if (ok && !any && !top && blocker.empty()) blocker = dir;
    return ok && blocker.empty();
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
        if (e.done) continue;
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
            std::string blocker;
            if (!emptied(e.target, std::string(e.name) + "/", removed, blocker)) {
                if (!blocker.empty())
                    fatal(1, "%s holds the empty directory %s; not replaced", e.target.c_str(), blocker.c_str());
                fatal(1, "%s is a directory holding files the patch keeps; not replaced", e.target.c_str());
            }
            dirs_in_place.insert(e.name);
        }
    }
    return dirs_in_place;
}

// What a forced run saved from the way of a new file, and no run has put
// back, is the only copy of it (as is the backup an earlier patch in the
// same directory left there): a forced run that meets another file there
// does not save it over that copy. A dry run's link to the very file, or
// the same content, loses nothing.
void check_saved_over(const Entry& e) {
    struct stat bst, tst;
    if (::lstat(e.backup.c_str(), &bst) != 0 || S_ISDIR(bst.st_mode)) return;
    if (::lstat(e.target.c_str(), &tst) == 0 && tst.st_dev == bst.st_dev && tst.st_ino == bst.st_ino) return;
    if (S_ISREG(bst.st_mode) && e.saved.kind == SavedFile::file) {
        const Fd fd(open_regular_fd(e.backup.c_str(), __LINE__, true));
        char hex[MD5_HEX_SIZE];
        hash_fd(fd.get(), e.backup.c_str(), hex);
        if (std::string_view(hex, MD5_HEX_LEN) == e.saved.digest) return;
    }
    fatal(1, "%s holds a file an earlier run saved there; %s not saved over it", e.backup.c_str(),
          e.target.c_str());
}

// The patch directory must take every file the removal pass saves: a
// directory at a backup path (left by an earlier patch in the same
// directory, where a file has become a directory), or a file where a backup
// needs a directory, would stop the pass half-way.
void check_backups(const std::string& proot, const std::vector<Entry>& removals, const std::vector<Entry>& creations) {
    std::unordered_set<std::string_view> passable;  // leading directories already seen fit
    std::string path;
    const auto check = [&](const Entry& e) {
        const std::string_view rel = std::string_view(e.backup).substr(proot.size() + 1);
        for (std::size_t slash = rel.find('/'); slash != std::string_view::npos; slash = rel.find('/', slash + 1)) {
            const std::string_view lead = rel.substr(0, slash);
            if (passable.contains(lead)) continue;
            path.assign(proot).append("/").append(lead);
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0) return;
            if (!S_ISDIR(st.st_mode))
                fatal(1, "%s is not a directory; can not save %s", path.c_str(), e.target.c_str());
            passable.insert(lead);
        }
        struct stat st;
        if (::lstat(e.backup.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            fatal(1, "%s is a directory; can not save %s there", e.backup.c_str(), e.target.c_str());
    };
    for (const Entry& e : removals)
        if (e.present) check(e);
    for (const Entry& e : creations)
        if (e.unexpected) {
            check(e);
            check_saved_over(e);
        }
}

// Copies the regular file from (a link is not followed) into a temporary
// file for to, with the digest of what was copied in hex; the caller
// commits it.
std::unique_ptr<TempFile> copy_to_temp(const std::string& from, const std::string& to, char* hex) {
    Fd in(open_regular_fd(from.c_str(), __LINE__, true));
    auto out = std::make_unique<TempFile>(to);
    copy_fd_hashed(in.get(), from.c_str(), out->fd(), to.c_str(), hex);
    carry_exec_bit(in.get(), out->fd(), to.c_str());
    return out;
}

// Moves the target into the patch directory; false when a rename can not
// reach it (another file system).
bool move_aside(const Entry& e) {
    // A dry run may have left the backup as a second link to this very
    // file, and rename() between two links to one file does nothing: a
    // backup already there goes first (the tree still holds the content).
    // Without one, a single call does it.
    if (::renameat2(AT_FDCWD, e.target.c_str(), AT_FDCWD, e.backup.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EEXIST && errno != EINVAL && errno != ENOSYS && errno != EXDEV)
        fatal_errno("can not move into the patch directory", e.target.c_str());
    if (errno != EXDEV && ::unlink(e.backup.c_str()) != 0 && errno != ENOENT)
        fatal_errno("can not remove", e.backup.c_str());
    if (::rename(e.target.c_str(), e.backup.c_str()) == 0) return true;
    if (errno != EXDEV) fatal_errno("can not move into the patch directory", e.target.c_str());
    return false;
}

// A dry run's backup: a link under a temporary name, renamed over the old
// backup, so that the backup path holds the old copy or the new one, never
// none. False when no link can be made there (another file system).
bool link_aside(const Entry& e) {
    // An earlier dry run's link to this very file is the backup already: a
    // rename between two links to one file does nothing, and would leave the
    // temporary name behind.
    struct stat bst, tst;
    if (::lstat(e.backup.c_str(), &bst) == 0 && ::lstat(e.target.c_str(), &tst) == 0 && bst.st_dev == tst.st_dev &&
        bst.st_ino == tst.st_ino)
        return true;
    TempFile t(e.backup);
    t.close_unwritten();
    if (::unlink(t.temp_path().c_str()) != 0 || ::link(e.target.c_str(), t.temp_path().c_str()) != 0) return false;
    t.commit_closed();
    return true;
}

// A link or a special file that a forced run saves across file systems is
// made again at the backup path, as it stands in the tree: its content, if
// any, is not the patch's to read.
void remake_aside(const Entry& e, const struct stat& st) {
    TempFile t(e.backup);
    t.close_unwritten();
    if (::unlink(t.temp_path().c_str()) != 0) fatal_errno("can not remove", t.temp_path().c_str());
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> to(std::size_t(st.st_size) + 2);
        const ssize_t n = ::readlink(e.target.c_str(), to.data(), to.size());
        if (n < 0) fatal_errno("can not read the link", e.target.c_str());
        if (std::size_t(n) >= to.size() - 1) fatal(1, "%s changed while it was being saved", e.target.c_str());
        to[std::size_t(n)] = '\0';
        if (::symlink(to.data(), t.temp_path().c_str()) != 0) fatal_errno("can not save the link", e.target.c_str());
    } else if (::mknod(t.temp_path().c_str(), st.st_mode & (S_IFMT | 0777), st.st_rdev) != 0) {
        fatal_errno("can not save", e.target.c_str());
    }
    t.commit_closed();
}

// Saves the target under backup. A real run moves it there (the removal and
// the backup in one rename); a dry run (-n) leaves the tree as it is and
// links, or copies across file systems.
void save(const Entry& e, bool dry_run) {
    if (dry_run ? link_aside(e) : move_aside(e)) return;
    // Across file systems: a copy, and the target goes after it.
    struct stat st;
    if (::lstat(e.target.c_str(), &st) != 0) fatal_errno("can not examine", e.target.c_str());
    char hex[MD5_HEX_SIZE];
    if (S_ISREG(st.st_mode))
        copy_to_temp(e.target, e.backup, hex)->commit();
    else
        remake_aside(e, st);
    if (!dry_run && ::unlink(e.target.c_str()) != 0 && errno != ENOENT) fatal_errno("can not remove", e.target.c_str());
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

// Brings in one new file: a real run renames its staged copy into place (or
// copies it now, verified again, where nothing could be staged). A saved
// file put back leaves the patch directory: its copy is in the tree.
void bring_in(Entry& e) {
    if (e.staged) {
        e.staged->commit_closed_as(e.target);
    } else {
        char hex[MD5_HEX_SIZE];
        const std::unique_ptr<TempFile> out = copy_to_temp(e.source, e.target, hex);
        if (std::memcmp(hex, e.digest.data(), MD5_HEX_LEN) != 0) refuse_source(e, hex);
        out->commit();
    }
    if (e.restore && ::unlink(e.source.c_str()) != 0 && errno != ENOENT)
        fatal_errno("can not remove", e.source.c_str());
}

void create_entry(Entry& e, const std::string& tree, DirGuard& guard, const DirRecord* undone, DirRecord& rec,
                  bool dir_in_place, bool dry_run) {
    if (!dry_run && !e.done) {
        std::vector<std::string> created;
        guard.make_or_die(tree, e.name, &created);
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
        if (dir_in_place && ::rmdir(e.target.c_str()) != 0 && errno != ENOENT)
            fatal_errno("can not remove the directory", e.target.c_str());
        bring_in(e);
    }
    print_name_line(stdout, readable(e.backup) ? "Patched: " : "Created: ", e.target);
    progress_file();
}

// Takes out every file the change removes or replaces, saving it in the
// patch directory: the removals, then the unexpected files a forced run
// meets where new files go, each recorded in rec as saved. A removal with
// no file to bring in for it is gone for good.
void take_out(const std::string& proot, const std::vector<Entry>& removals, const std::vector<Entry>& creations,
              DirGuard& guard, bool dry_run, DirRecord& rec) {
    for (const Entry& e : removals) {
        if (e.present) {
            guard.make_or_die(proot, relative(e.backup, proot));
            save(e, dry_run);
        }
        if (!e.twin) print_name_line(stdout, "Removed: ", e.target);
        if (e.left_saved)
            warn("%s: what a forced run saved from %s is a %s; not put back", e.source.c_str(), e.target.c_str(),
                 e.left_saved->kind == SavedFile::link ? "symbolic link" : "special file");
        progress_file();
    }
    for (const Entry& e : creations) {
        if (!e.unexpected) continue;
        guard.make_or_die(proot, relative(e.backup, proot));
        save(e, dry_run);
        rec.saved[std::string(e.name)] = e.saved;
    }
}

// The files an earlier run in the same direction (prior) saved from the way
// of new files, kept in this run's record unless this run saves another
// file under the same name.
void keep_saved(const DirRecord& prior, const std::vector<Entry>& removals, DirRecord& rec) {
    std::unordered_set<std::string_view> replaced;
    for (const Entry& e : removals)
        if (e.present) replaced.insert(e.name);
    for (const auto& [name, f] : prior.saved)
        if (!replaced.contains(name)) rec.saved.try_emplace(name, f);
}

// Two runs on one patch directory or one tree would each check the files
// before the other changes them: the second would then save the first one's
// new files over the backups of the old ones. A run holds an exclusive lock
// on the directory for its whole length (the kernel drops it however the
// run ends); another waits, then checks what the first left. Null for a
// tree that is not there yet, or the directory already held (same).
Fd lock_directory(const char* path, const struct stat* same) {
    Fd fd(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return Fd();
    if (same && st.st_dev == same->st_dev && st.st_ino == same->st_ino) return Fd();
    // A file system that can not lock a directory (NFS wants a file open
    // for writing) lets the run go on unlocked, as before locks were taken.
    while (::flock(fd.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    return fd;
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
    std::vector<Entry> removals = plan(m.removals, troot, proot, backup_dir, source_dir, guard);
    std::vector<Entry> creations = plan(m.creations, troot, proot, backup_dir, source_dir, guard);
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
    check_all(o, troot, removals, creations, !o.dry_run && ::stat(troot.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
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
    take_out(proot, removals, creations, guard, o.dry_run, rec);
    if (have_prior && !undone) keep_saved(prior, removals, rec);
    if (!o.dry_run) prune(troot, removals, creations, undone, rec);
    for (Entry& e : creations) create_entry(e, troot, guard, undone, rec, dirs_in_place.contains(e.name), o.dry_run);
    if (!o.dry_run) {
        write_dir_record(proot, troot, rec);
        note_changed(troot);
        note_changed(proot);
    }

    if (record) update_admin(admin_path.c_str(), m.patch_name, m.admin_lines, std::time(nullptr));
}
