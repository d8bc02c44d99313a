// -V: re-hashes every object of the store and reports, one line each, what
// is wrong: an object whose content has another digest ("Damaged: "), an
// entry the layout does not have, a link, a directory or a device where an
// object should be ("Foreign: "), a temporary file a killed run left
// ("Stale: "), an object that can not be read ("Unreadable: "). Unless -n,
// what is wrong inside the store's directories moves to ROOT/damaged/ under
// the same relative path: -i can then store a good copy again, and no byte
// is deleted. Other runs may store objects meanwhile: their files in flight
// are left alone, and an object they publish while it is being judged is
// never moved (see maint.h).

#include "db/db.h"
#include "db/maint.h"
#include "db/store.h"
#include "util/settings.h"
#include "util/durable.h"
#include "util/fatal.h"
#include "util/guard.h"
#include "util/pipeline.h"
#include "util/lease.h"
#include "util/hashgroup.h"

#include <cerrno>
#include <exception>
#include <utility>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// An entry named like an object, opened and hashed on a worker.
struct Object {
    std::string rel;   // XX/YYYY..., below the root
    std::string path;  // the same, from the root
    Fd fd;
    struct stat st {};
    int open_errno = 0;
    int64_t size = -1;
    char hex[MD5_HEX_SIZE] = {};
    std::exception_ptr unreadable;  // reading it failed: a problem of the store, judged in its turn
    const char* in_name() const { return path.c_str(); }
};

void open_group(std::vector<Object>& g) {
    for (Object& o : g) {
        // Not followed and not blocking: a link or a FIFO planted in the
        // store is reported, never read through.
        const int fd = ::open(o.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            o.open_errno = errno;
            if (::lstat(o.path.c_str(), &o.st) != 0 && o.open_errno == ELOOP) o.open_errno = ENOENT;
            continue;
        }
        o.fd = Fd(fd);
        if (::fstat(fd, &o.st) != 0) o.open_errno = errno;
        o.size = o.st.st_size;
        if (o.open_errno != 0 || !S_ISREG(o.st.st_mode)) o.fd = Fd();
    }
    hash_each(g);
}

// Tries of an object whose read fails before it counts as unreadable.
constexpr int LOOK_AGAIN = 3;

struct Verify {
    Verify(std::string r, RunLease& lease) : root(std::move(r)), aside(root, lease) {}
    std::string root;
    Aside aside;
    bool move = false;
    double now = now_seconds();
    DirGuard guard;
    std::size_t problems = 0;
    std::size_t moved = 0;

    void report(const char* what, const std::string& rel, const struct stat* seen) {
        print_name_line(stdout, what, rel);
        ++problems;
        if (move && seen) move_aside(rel, *seen);
    }

    // Moves the entry at rel to damaged/rel, or damaged/rel.N when that is
    // taken by an earlier move. A second copy that another run published
    // while it was moved goes there too, uncounted: no byte is deleted.
    void move_aside(const std::string& rel, const struct stat& seen) {
        aside.take(root + "/" + rel, seen, [this, rel](Moved m, const std::string& held) {
            if (m == Moved::yes || m == Moved::duplicate) to_damaged(rel, held, m == Moved::yes);
        });
    }
    void to_damaged(const std::string& rel, const std::string& held, bool count) {
        if (!move_to_damaged(root, rel, held, guard).empty() && count) ++moved;
    }

    // An entry that is not named like an object: a temporary file, or
    // something the layout does not have. A run's temporary file is stale
    // when its run's lease says the run is over, or, without a lease, by
    // its age; a lease, when it is unlocked and not just being made.
    void other(const std::string& rel) {
        struct stat st;
        if (const char* what = judge_other(rel, st)) report(what, rel, &st);
    }
    // What other reports of the entry at rel (examined as st), or null.
    const char* judge_other(const std::string& rel, struct stat& st) const {
        const std::string path = root + "/" + rel;
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) return nullptr;  // renamed by its run, or moved by another
            fatal_errno("can not examine", path.c_str());
        }
        const std::size_t slash = rel.rfind('/') + 1;
        const std::string_view name = std::string_view(rel).substr(slash);
        if (!is_temp_name(name) && !(slash == 0 && is_held_flat(name))) return "Foreign: ";
        return is_stale_temp(path.substr(0, path.size() - name.size() - 1), name, st, now) ? "Stale: " : nullptr;
    }

    // Looks at an object again after its read failed: on a network file
    // system a file replaced by another run meanwhile reads as "Stale file
    // handle", and one moved away as missing. The name is opened anew and
    // what stands there now is judged; false when nothing does.
    bool look_again(Object& o) {
        for (int attempt = 0; attempt < LOOK_AGAIN && (o.unreadable || o.open_errno == ESTALE); ++attempt) {
            std::vector<Object> one(1);
            one[0].rel = o.rel;
            one[0].path = o.path;
            open_group(one);
            o = std::move(one[0]);
        }
        return o.open_errno != ENOENT;
    }
    void judge(Object& o) {
        aside.check_due();
        if ((o.unreadable || o.open_errno == ESTALE) && !look_again(o)) return;
        if (o.open_errno == ENOENT) return;
        if (o.open_errno == ELOOP || (o.open_errno == 0 && !S_ISREG(o.st.st_mode)))
            return report("Foreign: ", o.rel, &o.st);
        if (o.open_errno != 0 || o.unreadable) {
            if (o.unreadable) {
                ::report(o.unreadable);
            } else {
                warn("can not open %s: %s", o.path.c_str(), std::strerror(o.open_errno));
            }
            // Left in place: -i replaces it by a good copy all the same.
            return report("Unreadable: ", o.rel, nullptr);
        }
        if (std::string_view(o.hex) != o.rel.substr(0, 2) + o.rel.substr(3)) report("Damaged: ", o.rel, &o.st);
    }
};

} // namespace

namespace {

// Judges the whole store; what it found, and its outcome for the summary.
struct Found {
    std::size_t problems = 0;
    std::string outcome;
};

Found verify_store() {
    const StoreTop top = read_store_top(dbroot);
    // Covers the run's aside directory: another -V leaves it alone.
    RunLease lease(std::string(dbroot) + "/");
    Verify v(dbroot, lease);
    // A root that holds what a store does not may be the wrong directory:
    // nothing in it is moved.
    v.move = !onlyshow && top.foreign.empty();
    for (const std::string& n : top.foreign) v.report("Foreign: ", n, nullptr);
    // What a killed run held aside is judged as the objects are.
    if (v.move) put_back_asides(v.root, top.temps);
    // All judged before any moves: a dead run's lease, moved first, would
    // leave the files it speaks for to be judged by their age.
    std::vector<std::pair<const char*, struct stat>> temps(top.temps.size());
    for (std::size_t i = 0; i < temps.size(); ++i) temps[i].first = v.judge_other(top.temps[i], temps[i].second);
    for (std::size_t i = 0; i < temps.size(); ++i)
        if (temps[i].first) v.report(temps[i].first, top.temps[i], &temps[i].second);
    Pipeline p(nthreads);
    auto open = [](EntryGroup<Object>& g) { open_group(g.entries); };
    run_grouped(p, p.group_size(), [&](Gathering<Object>& g) {
        for (const std::string& d : top.dirs) {
            for (const std::string& n : dir_names(v.root + "/" + d)) {
                std::string rel = d + "/" + n;
                if (is_object_name(n)) {
                    Object o;
                    o.rel = rel;
                    o.path = v.root + "/" + rel;
                    g.add(std::move(o));
                } else {
                    g.then([&v, rel] { v.other(rel); });  // after the entries before it
                }
            }
        }
    }, GroupedJob<Object>{open, [&v](Object& o) { v.judge(o); }});
    v.aside.finish();
    return {v.problems, onlyshow ? "nothing moved (-n)"
                        : !top.foreign.empty()
                            ? "nothing moved: the root holds entries a store does not"
                            : std::to_string(v.moved) + " moved to " + v.root + "/" + std::string(STORE_DAMAGED)};
}

}  // namespace

void db_verify() {
    preparedb();
    const Found f = verify_store();
    if (f.problems == 0) return;
    // What was moved (and the run's lease gone) is on the disk before the
    // run ends, as at status 0.
    sync_published();
    warn("%zu problem%s in the store %s; %s", f.problems, f.problems == 1 ? "" : "s", dbroot, f.outcome.c_str());
    throw FatalError{1};
}
