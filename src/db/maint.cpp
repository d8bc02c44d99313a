#include "db/maint.h"

#include "db/store.h"
#include "util/cleanup.h"
#include "util/durable.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/guard.h"
#include "util/handles.h"
#include "util/lease.h"
#include "util/netfs.h"
#include "util/paths.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/sysmacros.h>
#include <unistd.h>

std::vector<std::string> dir_names(const std::string& path, bool gone_ok) {
    struct Closer {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    const std::unique_ptr<DIR, Closer> d(::opendir(path.c_str()));
    if (!d && gone_ok && errno == ENOENT) return {};
    if (!d) fatal_errno("can not open directory", path.c_str());
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(d.get());
        if (!e) {
            if (errno != 0) fatal_errno("can not read directory", path.c_str());
            break;
        }
        const std::string_view n = e->d_name;
        if (n != "." && n != "..") names.emplace_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

StoreTop read_store_top(const std::string& root) {
    struct stat st;
    if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        fatal(1, "%s: not a content store: %s", root.c_str(),
              errno == 0 || S_ISDIR(st.st_mode) ? "not a directory" : std::strerror(errno));
    StoreTop top;
    for (std::string& n : dir_names(root)) {
        if (n == STORE_DAMAGED || n == "lost+found") continue;
        if (is_temp_name(n) || is_held_flat(n)) {
            top.temps.push_back(std::move(n));
            continue;
        }
        // A link named like a directory of the store would carry -V's moves
        // and -P's removals out of it.
        struct stat e;
        const bool dir = ::lstat((root + "/" + n).c_str(), &e) == 0 && S_ISDIR(e.st_mode);
        (dir && is_object_dir_name(n) ? top.dirs : top.foreign).push_back(std::move(n));
    }
    return top;
}

StoreTop read_store_top_strict(const std::string& root) {
    StoreTop top = read_store_top(root);
    if (!top.foreign.empty())
        fatal(1, "%s: not a content store: it holds %s, which a store does not; nothing removed", root.c_str(),
              top.foreign.front().c_str());
    return top;
}

namespace {

// The digest an entry's path below the root names ("XX/YYYY...": "XXYYYY..."),
// or "" for an entry that is not named as an object.
std::string object_digest(std::string_view rel) {
    if (rel.size() < 3 || rel[2] != '/' || !is_object_dir_name(rel.substr(0, 2)) || !is_object_name(rel.substr(3)))
        return "";
    return std::string(rel.substr(0, 2)).append(rel.substr(3));
}

double monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void pause(double seconds) {
    const struct timespec t { std::time_t(seconds), long((seconds - std::floor(seconds)) * 1e9) };
    ::nanosleep(&t, nullptr);
}

// The attributes of the file at path as its server has them now, not as
// this machine's caches remember them. ESTALE: the name was cached as a
// file that is gone; a second look finds what stands there.
int fetch_stat(const StoreName& path, struct stat& st) {
    for (int attempt = 0;; ++attempt) {
        struct statx x;
        if (::statx(path.at(), path.name(), AT_SYMLINK_NOFOLLOW | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &x) == 0) {
            st = {};
            st.st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
            st.st_ino = x.stx_ino;
            st.st_mode = x.stx_mode;
            st.st_size = off_t(x.stx_size);
            st.st_mtim = {x.stx_mtime.tv_sec, long(x.stx_mtime.tv_nsec)};
            return 0;
        }
        if (errno == ENOSYS) return ::fstatat(path.at(), path.name(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
        if (errno != ESTALE || attempt == 2) return errno;
    }
}

}  // namespace

StoreName store_name(DirGuard& guard, const std::string& root, const std::string& path, bool make) {
    return StoreName(path, guard.parent_or_die(root, std::string_view(path).substr(root.size() + 1), make));
}

int rename_noreplace(const StoreName& from, const StoreName& to) {
    auto failed = [&] { fatal_errno(("can not move " + from.path + " to").c_str(), to.path.c_str()); };
    if (::renameat2(from.at(), from.name(), to.at(), to.name(), RENAME_NOREPLACE) == 0) return 0;
    if (errno == EEXIST || errno == ENOENT) return errno;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) failed();
    // A file system that can not refuse a rename onto a taken name (NFS,
    // some FUSE file systems) refuses a hard link onto one. from is the
    // run's own: unlinking it takes nobody's file.
    if (::linkat(from.at(), from.name(), to.at(), to.name(), 0) == 0) {
        if (::unlinkat(from.at(), from.name(), 0) != 0) fatal_errno("can not remove", from.path.c_str());
        return 0;
    }
    if (errno == ENOENT) {
        // GlusterFS answers a link it made and is about to undo with an
        // error: from still there, the name is not had, and the caller
        // looks at it as at a taken one.
        struct stat f;
        return ::fstatat(from.at(), from.name(), &f, AT_SYMLINK_NOFOLLOW) == 0 ? EEXIST : ENOENT;
    }
    if (errno == EEXIST) return errno;
    // Neither (a directory, a file system without hard links): look, then
    // rename. Only another maintenance run could take the name meanwhile.
    struct stat st;
    if (::fstatat(to.at(), to.name(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    if (::renameat(from.at(), from.name(), to.at(), to.name()) != 0) {
        if (errno == ENOENT) return ENOENT;
        failed();
    }
    return 0;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

Aside::Aside(std::string root, RunLease& lease)
    : root_(std::move(root)), lease_(lease), wait_(on_network_fs(root_) ? NETWORK_CACHE_SECONDS : 0) {}

Aside::~Aside() {
    // A failure stopped the run with entries held: its lease stays, so that
    // the next -P or -V puts them back at once, as a killed run's.
    if (!remove_dir() || !pending_.empty()) lease_.keep_at_end();
}

bool Aside::remove_dir() {
    if (dir_.empty()) return true;
    bool gone;
    {
        // A signal between the two would leave the lease kept for no
        // directory: a dead run's, which -V reports as stale.
        const SignalsBlocked quiet;
        gone = guard_.remove_dir(root_, std::string_view(dir_).substr(root_.size() + 1));
        if (gone) lease_.remove_at_signal();
    }
    dir_.clear();
    return gone;
}

void Aside::finish() {
    while (!pending_.empty()) {
        const double left = pending_.front().due - monotonic();
        if (left > 0) pause(left);
        check_due();
    }
    // What is still held is the next run's to put back.
    if (!remove_dir()) lease_.keep_at_end();
    if (flat_ && !held_flat_) lease_.remove_at_signal();  // nothing is held in the root any more
}

void Aside::check_due() {
    while (!pending_.empty() && pending_.front().due <= monotonic()) {
        // Left in the queue until checked: a failure on the way keeps the
        // lease for what is held (~Aside). A check put off again goes to
        // the back first, which a deque allows without moving the front.
        check(pending_.front());
        pending_.pop_front();
    }
}

void Aside::take(const std::string& path, const struct stat& seen, Then then) {
    check_due();
    if (dir_.empty() && !flat_) {
        // Removed at a signal, the lease would leave what is held aside to
        // be judged by its age: an hour away from its name.
        lease_.keep_at_signal();
        std::string d = temp_name(root_ + "/");
        const StoreName made = at(d);
        if (::mkdirat(made.at(), made.name(), 0700) == 0) {
            dir_ = std::move(d);
        } else if (errno == ENOSPC || errno == EDQUOT) {
            // A full file system, which a prune is there to relieve, may
            // have no block for a new directory, but a free name in the
            // root: each entry is held under a temporary name of the run
            // there (a killed run's then goes to damaged/ at the next -V,
            // not back).
            flat_ = true;
        } else {
            fatal_errno("can not create", d.c_str());
        }
        // Every move and removal is made durable before the run ends well.
        note_changed(root_);
    }
    std::string held = hold_name(std::string_view(path).substr(root_.size() + 1));
    // One rename takes whatever stands at path at this moment, onto a name
    // nobody else uses: what it took is checked afterwards, never before.
    // GlusterFS refuses it (ESTALE) where its cached entry of path names a
    // file that another machine has replaced: a second try looks path up
    // anew.
    int tries = 0;
    for (;;) {
        const StoreName from = at(path), to = at(held);
        if (::renameat(from.at(), from.name(), to.at(), to.name()) == 0) break;
        if (errno == ENOENT) {
            // GlusterFS reports a rename as failed (ENOENT) when, after its
            // server made it, the name was published anew at once by
            // another machine: the held name, which no other run uses,
            // says whether it was made. Taken as gone, the file moved
            // would stay aside, its name empty, and nothing reported.
            // On a network file system the held name is looked at again
            // once the mounts' caches have expired.
            struct stat st;
            if (::fstatat(to.at(), to.name(), &st, AT_SYMLINK_NOFOLLOW) == 0) break;
            if (wait_ == 0) return then(Moved::gone, held);
            pending_.push_back(Pending{path, std::move(held), seen, monotonic() + wait_, std::move(then), true});
            return check_due();
        }
        if (errno != ESTALE || ++tries == 3) fatal_errno(("can not move " + path + " to").c_str(), held.c_str());
        // The directory's own handle may be the stale one: opened anew.
        guard_.forget(root_, std::string_view(path).substr(root_.size() + 1));
    }
    pending_.push_back(Pending{path, std::move(held), seen, monotonic() + wait_, std::move(then)});
    check_due();
}

void Aside::check(Pending& p) {
    if (p.taken) return settle(p);
    struct stat got;
    const int err = fetch_stat(at(p.held), got);
    if (err == ENOENT && p.maybe_moved) return p.then(Moved::gone, p.held);
    if (err != 0) {
        errno = err;
        fatal_errno("can not examine", p.held.c_str());
    }
    if (same_file(got, p.seen)) return p.then(Moved::yes, p.held);
    // Published or refreshed by another run since it was seen: back, but
    // never over a copy published since the move.
    const int rc = rename_noreplace(at(p.held), at(p.path));
    if (rc == 0) return p.then(Moved::back, p.held);
    errno = rc;
    if (rc != EEXIST) fatal_errno(("can not move " + p.held + " back to").c_str(), p.path.c_str());
    // Taken, says the file system. On a network file system this machine
    // may answer for the name from its caches: what stands there is looked
    // at once they have expired.
    p.seen = got;
    p.taken = true;
    if (wait_ == 0) return settle(p);
    p.due = monotonic() + wait_;
    pending_.push_back(std::move(p));
}

void Aside::settle(Pending& p) {
    const int rc = put_back(p.held, p.seen, p.path);
    if (rc == EEXIST) return p.then(Moved::duplicate, p.held);
    // Not a copy of it: the file held is the object a run stored.
    if (rc == EISDIR) {
        warn("%s is not a file; keeping %s for a later run to put back", p.path.c_str(), p.held.c_str());
        // In the root, only the lease says that the run held it.
        if (flat_) {
            held_flat_ = true;
            lease_.keep_at_end();
        }
        return p.then(Moved::held, p.held);
    }
    if (rc != 0) {
        errno = rc;
        fatal_errno(("can not move " + p.held + " back to").c_str(), p.path.c_str());
    }
    p.then(Moved::back, p.held);
}

namespace {

// What stands at path, where the file held (mine) was refused as taken.
enum class AtName {
    nothing,
    held,        // the file held itself: its link back was made
    other,       // another file: a copy published meanwhile
    wrong,       // another file, whose content is not the object's
    other_kind,  // a directory or a link: -V judges it
};

// GlusterFS has refused a link onto a name that held nothing, and a look
// at the name alone may describe an entry its server no longer has: a file
// counts only once it is opened there. With the digest of an object, a
// file counts as its copy only when its content has that digest: one
// written there by anything but -i (a broken or hostile writer) may hold
// anything, and the file held would be dropped for it. st describes what
// stands there.
AtName at_name(const StoreName& path, const struct stat& mine, const std::string& digest, struct stat& st) {
    int err = fetch_stat(path, st);
    bool wrong = false;
    if (err == 0 && S_ISREG(st.st_mode)) {
        const Fd fd(::openat(path.at(), path.name(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (fd.get() < 0) {
            err = errno;
            // Not read, not vouched for.
            wrong = !digest.empty() && (err == EACCES || err == EPERM);
        } else if (::fstat(fd.get(), &st) != 0) {
            fatal_errno("can not examine", path.path.c_str());
        } else if (!digest.empty() && S_ISREG(st.st_mode) && !(st.st_dev == mine.st_dev && st.st_ino == mine.st_ino)) {
            char hex[MD5_HEX_SIZE];
            hash_fd(fd.get(), path.path.c_str(), hex);
            wrong = digest != hex;
        }
        // A file this user may not read is there all the same.
        if (err == EACCES || err == EPERM) err = 0;
        if (err == ELOOP) return AtName::other_kind;  // replaced by a link meanwhile
    }
    if (err == ENOENT || err == ESTALE) return AtName::nothing;
    if (err != 0) {
        errno = err;
        fatal_errno("can not examine", path.path.c_str());
    }
    if (!S_ISREG(st.st_mode)) return AtName::other_kind;
    if (st.st_dev == mine.st_dev && st.st_ino == mine.st_ino) return AtName::held;
    return wrong ? AtName::wrong : AtName::other;
}

}  // namespace

bool Aside::displace(const std::string& held, const std::string& path, const struct stat& their) {
    const std::string away = hold_name("");
    const StoreName from = at(path), to = at(away);
    if (::renameat(from.at(), from.name(), to.at(), to.name()) != 0) {
        if (errno == ENOENT) return false;  // gone meanwhile: the name is free
        fatal_errno(("can not move " + path + " to").c_str(), away.c_str());
    }
    struct stat got;
    const int err = fetch_stat(to, got);
    if (err != 0) {
        errno = err;
        fatal_errno("can not examine", away.c_str());
    }
    // Another file, published since this one was read: it goes back to be
    // read in its turn (and to damaged/ when yet another file stands there
    // now). A time made fresh since (-i refreshing what it takes for the
    // object) changes no byte read.
    if ((got.st_dev != their.st_dev || got.st_ino != their.st_ino) && rename_noreplace(to, at(path)) == 0) return false;
    // The file held goes back first: when damaged/ can not take the other
    // (no room on a full file system), the object stands at its name all
    // the same, and the other is left to -V under the run's name.
    const int rc = rename_noreplace(at(held), at(path));
    if (rc != 0 && rc != EEXIST) {
        errno = rc;
        fatal_errno(("can not move " + held + " back to").c_str(), path.c_str());
    }
    const std::string damaged = move_to_damaged(root_, path.substr(root_.size() + 1), away, guard_);
    if (!damaged.empty())
        warn("%s does not hold the content its name says, or can not be read; moved it to %s", path.c_str(),
             damaged.c_str());
    return rc == 0;  // EEXIST: published again meanwhile, and looked at in turn
}

int Aside::put_back(const std::string& held, const struct stat& mine, const std::string& path) {
    // GlusterFS's server makes a link and, failing to record the new name
    // (it still records the file under it, from a rename that raced with
    // another machine's), answers "taken" and only then removes the name:
    // a look at that moment finds the file held at path. It is there for
    // good once a look the caches' wait later, with no link tried in
    // between, finds it still.
    const double settle = std::max(wait_, NETWORK_CACHE_SECONDS);
    // Only a file held can be the object its name says.
    const std::string digest = S_ISREG(mine.st_mode) ? object_digest(path.substr(root_.size() + 1)) : "";
    bool held_seen = false;
    for (int attempt = 0;; ++attempt) {
        struct stat their;
        const AtName found = at_name(at(path), mine, digest, their);
        if (found == AtName::other) return EEXIST;
        if (found == AtName::wrong) {
            // Damaged, whoever wrote it: it goes to damaged/ as -V moves a
            // damaged object, which keeps its bytes (a rename over it would
            // not), and the file held takes the name.
            // Written again as fast as it goes: the file held stays, and the
            // run fails.
            if (attempt >= PUT_BACK_TRIES) return EBUSY;
            if (displace(held, path, their)) return 0;
            held_seen = false;
            continue;
        }
        if (found == AtName::other_kind) return EISDIR;
        if (found == AtName::held) {
            if (held_seen) {
                const StoreName h = at(held);
                if (::unlinkat(h.at(), h.name(), 0) != 0) fatal_errno("can not remove", held.c_str());
                return 0;
            }
            held_seen = true;
            pause(settle);
            continue;
        }
        held_seen = false;
        if (attempt >= PUT_BACK_TRIES) break;
        const int rc = rename_noreplace(at(held), at(path));
        if (rc != EEXIST) return rc;
        pause(0.1);
    }
    // The GlusterFS server goes on refusing the link so for as long as it
    // records the file under the name: only a rename reaches the name. A
    // copy published there in this very moment would be replaced by this
    // one, of the same content, whose time is made fresh first, so that a
    // prune keeps it as long.
    const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    const StoreName from = at(held), to = at(path);
    if (::utimensat(from.at(), from.name(), now, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (::renameat(from.at(), from.name(), to.at(), to.name()) != 0) return errno;
    // A rename onto another name of the same file does nothing: held must
    // be gone from the aside directory, or the object is not back (and the
    // run ends holding it, for the next run to put back).
    struct stat st;
    return ::fstatat(from.at(), from.name(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? EBUSY : 0;
}

std::string Aside::held_name(unsigned long n, std::string_view rel) {
    const std::string digest = object_digest(rel);
    return digest.empty() ? std::to_string(n) : std::to_string(n) + "." + digest;
}

std::string Aside::hold_name(std::string_view rel) {
    if (!flat_) return dir_ + "/" + held_name(next_++, rel);
    // In the root, the name itself says which object it holds: on a full
    // file system the lease has no block to say it in.
    const std::string digest = object_digest(rel);
    return temp_name(root_ + "/") + (digest.empty() ? "" : "." + digest);
}

bool is_held_flat(std::string_view name) {
    const std::string_view temp = name.substr(0, TEMP_NAME_LEN);
    return name.size() == TEMP_NAME_LEN + 1 + MD5_HEX_LEN && is_temp_name(temp) && !is_lease_name(temp) &&
           name[TEMP_NAME_LEN] == '.' && is_hex_digest(name.substr(TEMP_NAME_LEN + 1));
}

std::string move_to_damaged(const std::string& root, const std::string& rel, const std::string& from, DirGuard& guard) {
    const std::string dest = std::string(STORE_DAMAGED) + "/" + rel;
    // A link planted at damaged/ would carry the entries out of the store.
    const DirRef dir = guard.parent_or_die(root, dest, true);
    const StoreName away = store_name(guard, root, from);
    for (int n = 0; n < 1000; ++n) {
        StoreName to(root + "/" + dest + (n ? "." + std::to_string(n) : ""), dir);
        const int rc = rename_noreplace(away, to);
        if (rc == EEXIST) continue;
        return rc == 0 ? std::move(to.path) : "";
    }
    fatal(1, "can not move %s: %s/%s and a thousand more names are taken", from.c_str(), root.c_str(), dest.c_str());
}

bool is_stale_temp(const std::string& root, std::string_view name, const struct stat& st, double now) {
    // Seconds an unlocked lease may be one being made (created, not yet locked).
    constexpr double LEASE_SETTLE = 60;
    // An object held in the root keeps the object's own time, often months
    // old: its move there, which changed its status, says when its run took
    // it. Judged by the object's time, a live run's without a lease (a file
    // system without locks) would be put back or moved under it.
    const bool flat = is_held_flat(name);
    const double age = now - seconds(flat ? st.st_ctim : st.st_mtim);
    if (flat) name = name.substr(0, TEMP_NAME_LEN);
    const RunState run = run_state(root + "/", name);
    return is_lease_name(name)        ? run == RunState::dead && age > LEASE_SETTLE
           : run == RunState::unknown ? age > double(TEMP_AGE_LIMIT)
                                      : run == RunState::dead;
}

namespace {

// The lease of the dead run that left t, kept for the next run to put back
// what it held, goes once nothing of that run is left at the top.
void drop_dead_lease(const std::string& root, const std::string& t, const std::vector<std::string>& temps) {
    auto temp = [](std::string_view u) { return is_held_flat(u) ? u.substr(0, TEMP_NAME_LEN) : u; };
    const std::string lease = lease_name_of(temp(t));
    const bool more = std::any_of(temps.begin(), temps.end(), [&](const std::string& u) {
        struct stat st;
        return u != t && u != lease && lease_name_of(temp(u)) == lease && ::lstat((root + "/" + u).c_str(), &st) == 0;
    });
    if (!more && run_state(root + "/", temp(t)) == RunState::dead) ::unlink((root + "/" + lease).c_str());
}

// Whether the file at path (examined as st) holds the content digest names.
// Nothing but the name says which object a file held in the root is: a
// name that lies (planted, or left by anything but a run) would put other
// content under an object's name, where -i with --cache takes it for a
// stored copy. One that does not stays for -V to report.
bool holds_digest(const std::string& path, const struct stat& st, std::string_view digest) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat got;
    if (fd.get() < 0 || ::fstat(fd.get(), &got) != 0 || got.st_dev != st.st_dev || got.st_ino != st.st_ino)
        return false;
    char hex[MD5_HEX_SIZE];
    hash_fd(fd.get(), path.c_str(), hex);
    return digest == hex;
}

}  // namespace

std::size_t put_back_asides(const std::string& root, const std::vector<std::string>& temps) {
    const double now = now_seconds();
    std::size_t back = 0;
    DirGuard guard;
    // A link on the way (a directory of the store swapped for one) keeps
    // the object where it is, for -V to report: EEXIST, as a taken name.
    auto put_back = [&](const std::string& from, const std::string& to) {
        std::string link;
        auto reach = [&](const std::string& path) {
            return StoreName(path, guard.parent(root, std::string_view(path).substr(root.size() + 1), false, link));
        };
        const StoreName f = reach(from);
        if (!link.empty()) return EEXIST;
        const StoreName t = reach(to);
        return link.empty() ? rename_noreplace(f, t) : EEXIST;
    };
    for (const std::string& t : temps) {
        const std::string dir = root + "/" + t;
        struct stat st;
        if (is_held_flat(t)) {
            // An object a run held in the root itself, named after it. Only
            // a file is an object.
            if (::lstat(dir.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !is_stale_temp(root, t, st, now)) continue;
            const std::string_view digest = std::string_view(t).substr(TEMP_NAME_LEN + 1);
            if (!holds_digest(dir, st, digest)) continue;
            std::string to;
            store_path(to, root, digest);
            const int rc = put_back(dir, to);
            if (rc == 0) ++back;
            note_changed(root);
            // EEXIST: a copy stands there already, and this one stays.
            if (rc != EEXIST) drop_dead_lease(root, t, temps);
            continue;
        }
        // Only a directory of its own (never a link) is an aside directory.
        // One this user may not empty (another user's, in a shared store)
        // stays for -V to report.
        if (is_lease_name(t) || ::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            ::access(dir.c_str(), R_OK | W_OK | X_OK) != 0 || !is_stale_temp(root, t, st, now))
            continue;
        // Gone: another -P or -V put it back meanwhile.
        for (const std::string& n : dir_names(dir, true)) {
            const std::size_t dot = n.find('.');
            if (dot == std::string::npos || n.size() - dot - 1 != MD5_HEX_LEN) continue;
            const std::string hex = n.substr(dot + 1);
            // Only a file is an object: anything else planted there stays.
            struct stat e;
            if (!is_hex_digest(hex) || ::lstat((dir + "/" + n).c_str(), &e) != 0 || !S_ISREG(e.st_mode)) continue;
            std::string to;
            store_path(to, root, hex);
            // EEXIST: a copy stands there already; ENOENT: taken meanwhile.
            if (put_back(dir + "/" + n, to) == 0) ++back;
        }
        const bool emptied = guard.remove_dir(root, t);
        note_changed(root);
        if (emptied) drop_dead_lease(root, t, temps);
    }
    return back;
}

void Aside::drop(const std::string& held) {
    const StoreName h = at(held);
    if (::unlinkat(h.at(), h.name(), 0) != 0 && errno != ENOENT) fatal_errno("can not remove", held.c_str());
}

double now_seconds() {
    struct timespec t;
    ::clock_gettime(CLOCK_REALTIME, &t);
    return seconds(t);
}
