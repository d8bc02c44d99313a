// The checks of a patch application, all before the first change to the
// tree: what it may bring in (a file a manifest line gives the digest of, or
// one a forced run saved, as recorded), the tree's and the patch's files
// hashed by the workers and judged against the manifest, the tree's shape
// and the patch directory's room for what the removal pass saves.

#include "patch/apply.h"
#include "patch/manifest.h"
#include "stream/stream.h"
#include "util/execbit.h"
#include "util/fatal.h"
#include "util/groupcopy.h"
#include "util/pipeline.h"
#include "util/progress.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <unordered_map>

namespace {

// One file the checks read: hashed on a worker, judged in pass order. e is
// the Removal of a removal check, the Creation of the others.
struct Check {
    enum Kind { removal, in_the_way, source } kind;
    Line* e;
    Fd in;
    std::unique_ptr<TempFile> out{};  // a real run's source: where it is staged
    char got[MD5_HEX_SIZE] = {};
    const char* in_name() const { return kind == source ? e->source.c_str() : e->target.c_str(); }
    const char* out_name() const { return out->temp_path().c_str(); }
};

[[noreturn]] void refuse_unexpected(const Creation& e) {
    fatal(4, "%s is there, and the patch has no removal for it; not touched (-F saves it as %s)", e.target.c_str(),
          e.backup.c_str());
}

// Judges one file against the manifest. The tree's side: every file that
// the change would take out or replace; a forced run takes a file that
// already holds its new version as done. The patch's side: every new file.
void judge(bool force, Check& c) {
    const std::string_view hex(c.got, MD5_HEX_LEN);
    switch (c.kind) {
    case Check::removal: {
        Removal& e = static_cast<Removal&>(*c.e);
        if (hex == e.digest) return void(e.state = RemovalState::present);
        if (force && e.twin && hex == e.twin->digest) {
            e.state = RemovalState::replaced;
            e.twin->state = CreationState::done;
            return;
        }
        if (!force) fatal_fixed(4, "Checksum mismatch %s'%s,%s\n", e.target.c_str(), c.got, e.line->c_str());
        return void(e.state = RemovalState::present);
    }
    case Check::in_the_way: {
        Creation& e = static_cast<Creation&>(*c.e);
        // Already the new version: nothing of the user's is lost.
        if (hex == e.digest) return void(e.state = CreationState::done);
        if (!force) refuse_unexpected(e);
        e.saved = SavedFile{SavedFile::file, std::string(hex)};
        return void(e.state = CreationState::save_first);
    }
    case Check::source: {
        Creation& e = static_cast<Creation&>(*c.e);
        if (hex != e.digest) refuse_source(e, c.got);
        e.staged = std::move(c.out);
        return;
    }
    }
}

// Runs the checks that add(check, size) submits, in groups, judging each in
// turn; size is the file's, where it is known without asking again.
template <class Gather>
void run_checks(int threads, bool force, Gather gather) {
    Pipeline p(threads);
    auto add_to = [&gather](Gathering<Check>& g) {
        gather([&g](Check&& c, int64_t size) {
            const std::size_t large = large_size(size);
            large ? g.add_alone(std::move(c), large) : g.add(std::move(c));
        });
    };
    // Reads (and copies, when staging) every file of a group on a worker.
    auto read_group = [](EntryGroup<Check>& g) {
        copy_group(g, [](Check& c) {
            if (c.out) carry_exec_bit(c.in.get(), c.out->fd(), c.out_name());
            return true;
        });
    };
    auto decide = [force](Check& c) {
        progress_file();
        judge(force, c);
    };
    run_grouped(p, p.group_size(), add_to, GroupedJob<Check>{read_group, decide});
}

// Adds the tree's checks. The creations they may find done go to later:
// their sources wait until the tree's checks are judged.
template <class Add>
void gather_tree(bool force, std::vector<Removal>& removals, std::vector<Creation>& creations,
                 std::unordered_set<const Creation*>& later, Add add) {
    for (Removal& e : removals) {
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
        if (force && e.twin) later.insert(e.twin);
        add(Check{Check::removal, &e, Fd(open_regular_fd(e.target.c_str(), __LINE__, true))}, st.st_size);
    }
    // A file where a new one goes, with no removal to take it out: the
    // patch did not expect it, and it is not overwritten unsaved.
    for (Creation& e : creations) {
        struct stat st;
        if (e.twin || ::lstat(e.target.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        if (!S_ISREG(st.st_mode)) {
            if (!force) refuse_unexpected(e);
            e.state = CreationState::save_first;
            e.saved.kind = S_ISLNK(st.st_mode) ? SavedFile::link : SavedFile::special;
            continue;
        }
        later.insert(&e);
        add(Check{Check::in_the_way, &e, Fd(open_regular_fd(e.target.c_str(), __LINE__, true))}, st.st_size);
    }
}

// The deepest directory on the way to e's target that exists now: the new
// file is staged there, on the file system it will be renamed on.
std::string staging_dir(const std::string& tree, const Creation& e) {
    std::string dir = tree;
    for (std::size_t slash = e.name.find('/'); slash != std::string_view::npos; slash = e.name.find('/', slash + 1)) {
        const std::string next = tree + "/" + std::string(e.name.substr(0, slash));
        struct stat st;
        if (::lstat(next.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) break;
        dir = next;
    }
    return dir;
}

// Adds the checks of the patch's side: every new file, of the creations
// in later or of the others (as asked), but those found done. A real run
// copies it into its staging file as it reads it, so the change itself is
// renames only.
template <class Add>
void gather_sources(std::vector<Creation>& creations, const std::unordered_set<const Creation*>& later, bool in_later,
                    const std::string& tree, DirGuard& guard, bool stage,
                    std::unordered_map<std::string, std::pair<std::string, DirRef>>& dirs, Add add) {
    for (Creation& e : creations) {
        if (later.contains(&e) != in_later || e.state == CreationState::done) continue;
        // A FIFO or a device in the patch is refused without blocking.
        Fd fd(open_regular_fd(e.source.c_str(), __LINE__, true));
        std::unique_ptr<TempFile> out;
        if (stage) {
            const std::string_view parent = std::string_view(e.target).substr(0, e.target.rfind('/'));
            auto [d, fresh] = dirs.try_emplace(std::string(parent));
            if (fresh) {
                // Opened now and held: the staged file is made there, even
                // if a directory on the way is swapped for a link later
                // (the parent of "<dir>/." is the directory itself).
                std::string& at = d->second.first;
                at = staging_dir(tree, e);
                d->second.second = guard.parent_or_die(
                    tree, at.size() == tree.size() ? "." : at.substr(tree.size() + 1) + "/.", false);
            }
            out = std::make_unique<TempFile>(d->second.first + "/", d->second.second);
        }
        const int64_t size = fd_size(fd.get());
        add(Check{Check::source, &e, std::move(fd), std::move(out)}, size);
    }
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

// What a forced run saved from the way of a new file, and no run has put
// back, is the only copy of it (as is the backup an earlier patch in the
// same directory left there): a forced run that meets another file there
// does not save it over that copy. A dry run's link to the very file, or
// the same content, loses nothing.
void check_saved_over(const Creation& e) {
    struct stat bst, tst;
    if (::lstat(e.backup.c_str(), &bst) != 0 || S_ISDIR(bst.st_mode)) return;
    if (::lstat(e.target.c_str(), &tst) == 0 && tst.st_dev == bst.st_dev && tst.st_ino == bst.st_ino) return;
    if (S_ISREG(bst.st_mode) && e.saved.kind == SavedFile::file) {
        const Fd fd(open_regular_fd(e.backup.c_str(), __LINE__, true));
        char hex[MD5_HEX_SIZE];
        hash_fd(fd.get(), e.backup.c_str(), hex);
        if (std::string_view(hex, MD5_HEX_LEN) == e.saved.digest) return;
    }
    fatal(1, "%s holds a file an earlier run saved there; %s not saved over it", e.backup.c_str(), e.target.c_str());
}

}  // namespace

// Refuses (status 3) a path that is not a patch directory.
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
    while (::flock(fd.get(), LOCK_EX) != 0 && errno == EINTR) {}
    return fd;
}

// Pairs the lines of one name across the two lists. A removal without a
// twin takes the file out for good, whatever stands under the source
// directory, unless the record of the application this one undoes (undone)
// says that a forced run
// saved a regular file of that name there: that file is put back by a
// creation of its own, checked against the recorded digest like any new
// file. The restore is the removal's twin.
void pair_and_restore(std::vector<Removal>& removals, std::vector<Creation>& creations, const DirRecord* undone) {
    // Twins are found by index: creations grows below, which moves it.
    std::unordered_map<std::string_view, std::size_t> by_name;
    for (std::size_t i = 0; i < creations.size(); ++i) by_name.emplace(creations[i].name, i);
    std::vector<std::size_t> twin(removals.size(), SIZE_MAX);
    for (std::size_t k = 0; k < removals.size(); ++k) {
        Removal& r = removals[k];
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
        Creation e;
        static_cast<Line&>(e) = r;
        e.digest = s->second.digest;
        e.state = CreationState::restore;
        twin[k] = creations.size();
        creations.push_back(std::move(e));
    }
    for (std::size_t k = 0; k < removals.size(); ++k) {
        if (twin[k] == SIZE_MAX) continue;
        removals[k].twin = &creations[twin[k]];
        creations[twin[k]].twin = &removals[k];
    }
}

[[noreturn]] void refuse_source(const Creation& e, const char* hex) {
    if (e.state == CreationState::restore)
        fatal(4, "%s is not the file a forced run saved from %s (digest %s, recorded %.*s); not put back",
              e.source.c_str(), e.target.c_str(), hex, int(e.digest.size()), e.digest.data());
    fatal_fixed(4, "Invalid checksum %s'%s,%s\n", e.source.c_str(), hex, e.line->c_str());
}

// Hashes and judges every file the change takes out, replaces or brings in
// (a real run stages the new files meanwhile: stage). Every check, the
// tree's first, in one run of the workers: a large file near the end of one
// side does not leave the other threads idle. The new files of the few
// creations the tree's checks may find done are checked after them.
void check_all(bool force, int threads, const std::string& tree, DirGuard& guard, std::vector<Removal>& removals,
               std::vector<Creation>& creations, bool stage) {
    std::unordered_set<const Creation*> later;
    // A target's directory -> where it is staged, opened.
    std::unordered_map<std::string, std::pair<std::string, DirRef>> dirs;
    run_checks(threads, force, [&](auto add) {
        gather_tree(force, removals, creations, later, add);
        gather_sources(creations, later, false, tree, guard, stage, dirs, add);
    });
    if (std::any_of(later.begin(), later.end(), [](const Creation* e) { return e->state != CreationState::done; }))
        run_checks(threads, force,
                   [&](auto add) { gather_sources(creations, later, true, tree, guard, stage, dirs, add); });
}

// The tree must let every new file in: nothing but directories, or files
// the removal pass takes out, may stand on the way to a new file, and a
// directory where a new file goes must hold only files that go.
// Returns the names of the new files whose place a directory holds now.
std::unordered_set<std::string_view> check_layout(const std::string& tree, const std::vector<Removal>& removals,
                                                  const std::vector<Creation>& creations) {
    std::unordered_set<std::string_view> dirs_in_place;
    std::unordered_set<std::string_view> removed;
    for (const Removal& e : removals)
        if (e.state == RemovalState::present) removed.insert(e.name);
    std::string path;
    std::unordered_set<std::string_view> passable;  // leading directories already seen fit
    for (const Creation& e : creations) {
        if (e.state == CreationState::done) continue;
        for (std::size_t slash = e.name.find('/'); slash != std::string_view::npos;
             slash = e.name.find('/', slash + 1)) {
            const std::string_view lead = e.name.substr(0, slash);
            if (passable.contains(lead)) continue;
            path.assign(tree).append("/").append(lead);
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0) break;
            // Swapped for a link since the plan's check.
            if (S_ISLNK(st.st_mode)) refuse_link(path, tree, e.name);
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

// The patch directory must take every file the removal pass saves: a
// directory at a backup path (left by an earlier patch in the same
// directory, where a file has become a directory), or a file where a backup
// needs a directory, would stop the pass half-way.
void check_backups(const std::string& proot, const std::vector<Removal>& removals,
                   const std::vector<Creation>& creations) {
    std::unordered_set<std::string_view> passable;  // leading directories already seen fit
    std::string path;
    const auto check = [&](const Line& e) {
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
    for (const Removal& e : removals)
        if (e.state == RemovalState::present) check(e);
    for (const Creation& e : creations)
        if (e.state == CreationState::save_first) {
            check(e);
            check_saved_over(e);
        }
}
