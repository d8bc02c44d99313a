// The content database jobs. Every object is written to a temporary file,
// hashed as it is written and published by rename only when its digest
// equals its name, so neither a killed run nor two runs storing at once can
// leave an object whose content differs from its name. Files restored from
// the store are checked and published the same way.

#include "db/db.h"

#include "db/store.h"
#include "util/settings.h"
#include "stream/stream.h"
#include "stream/statcache.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/tempfile.h"
#include "util/groupcopy.h"
#include "util/lease.h"
#include "util/limits.h"
#include "util/publish.h"
#include "util/guard.h"
#include "util/netfs.h"
#include "util/paths.h"
#include "util/pipeline.h"
#include "util/progress.h"
#include "util/hashgroup.h"

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

void preparedb() {
    if (!dbroot) {
        const char* env = std::getenv("DB_ROOT");
        // An empty DB_ROOT names no directory: taken as a root it would put
        // the store at the top of the file system.
        // The fixed text holds a line feed of its own and no name: it is
        // thrown as it is, with no escaping.
        if (!env || !*env)
            throw FatalError{1, "database root unknown. Set DB_ROOT in the environment\n, or use -R parameter"};
        // Fixed now: a directory walk moves the working directory from
        // directory to directory, and the objects must not follow it.
        dbroot = absolute(copy(env));
    }
    if (std::strlen(dbroot) > STORE_ROOT_MAX)
        fatal(1, "database root longer than %zu bytes: %s", STORE_ROOT_MAX, dbroot);
}

namespace {

// The digest a listing or an archive gives for the current entry, checked
// before it is allowed to name a file in the store.
void listed_digest(Stream* s, char* out) {
    md5stream(s, out);
    if (!is_hex_digest(std::string_view(out, ::strnlen(out, MD5_HEX_SIZE))))
        fatal(1, "%s: malformed digest for %s", s->source.c_str(), s->name);
}

// One file put in the store.
struct Stored {
    std::string name;
    Fd in;
    std::unique_ptr<TempFile> out;
    char listed[MD5_HEX_SIZE];
    char got[MD5_HEX_SIZE];
    CachedEntry seen;     // with --cache: the file's identity
    bool cached = false;  // already stored, refreshed: nothing to read or write
    std::chrono::steady_clock::time_point refreshed{};
    // Errors name the file read and the temporary file written.
    const char* in_name() const { return name.c_str(); }
    const char* out_name() const { return out->temp_path().c_str(); }
};

// The lines of files found stored (cached) wait for the files queued
// before them to be published, so that the lines keep the stream's order
// and a serial run's end on a failure.
struct Reports {
    uint64_t queued = 0, published = 0;
    std::map<uint64_t, std::vector<std::function<void()>>> after;  // by the file queued last before them
    void report(std::function<void()> line) {
        if (published == queued) return line();
        after[queued].push_back(std::move(line));
    }
    void done(uint64_t seq) {
        published = seq;
        auto it = after.find(seq);
        if (it == after.end()) return;
        auto lines = std::move(it->second);
        after.erase(it);
        for (auto& l : lines) l();
    }
};

// One file restored from the store. Directories made for a file that is
// not published go again, so that a run stopped by a damaged object leaves
// what a serial run would.
struct Restored {
    std::string name;             // as the source gives it, for the printed lines
    std::string path;             // where it is written: name without "." components and repeated slashes
    std::optional<MadeFor> made;  // destroyed after out: the directory is empty by then
    DirRef dir;                   // path's directory below the working directory, for the file's calls
    Fd in;
    std::string object;
    std::unique_ptr<TempFile> out;
    char want[MD5_HEX_SIZE];
    char got[MD5_HEX_SIZE];
    // Errors name the object read and the file it restores.
    const char* in_name() const { return object.c_str(); }
    const char* out_name() const { return name.c_str(); }
};

// The stream's current entry, checked and with its directories made, on
// the calling thread in stream order.
Restored restored(Stream* s, const std::string& root, DirGuard& guard) {
    Restored e;
    e.name = s->name;
    listed_digest(s, e.want);
    store_path(e.object, root, e.want);
    guard.check_or_die(root, store_rel(e.object));
    // A listing's paths are taken as it gives them, absolute or climbing
    // with "..": a listing is the user's own instruction. A name that stays
    // below the working directory ("./doc/x", as find writes them, included)
    // has a link planted in its way refused.
    if (e.name.empty() || e.name.back() == '/') fatal_fixed(1, "can not read %s\n", e.name.c_str());
    e.path = drop_dot_components(e.name);
    if (e.path.empty()) fatal_fixed(1, "can not read %s\n", e.name.c_str());
    if (stays_below(e.path)) {
        e.made.emplace(guard, "", e.path);
        e.dir = guard.parent_or_die("", e.path, true);
    }
    return e;
}

}  // namespace

void db_in(const char* path) {
    preparedb();
    const std::string root = dbroot;
    StreamPtr s(openstream(path));
    // Each file is copied into a temporary file in the root and hashed as it
    // is copied (by a worker), then renamed into its two-digit directory
    // under the digest it turned out to have: each file is read once. A
    // listing or an archive names the object beforehand; a content that
    // differs from that name is refused.
    const bool walk = s->kind == StreamKind::walk;
    DirGuard guard;
    const int threads = store_threads({root, path});
    // Tells -V that the temporary files in the root are this live run's,
    // also while it is paused; taken before the first of them is made (a
    // run that stores nothing leaves no root), and outlives the batch.
    std::optional<RunLease> lease;
    std::once_flag leased;
    PublishBatch batch(false, threads);
    // A link planted at ROOT/XX would carry the object out of the store: the
    // rename goes through the directory as it stands then, made if missing.
    batch.resolve_dirs([&root, &guard](const std::string& object, bool anew) {
        if (anew) guard.forget(root, store_rel(object));
        return guard.parent_or_die(root, store_rel(object), true);
    });
    Pipeline p(threads);
    StatCache* cache = walk ? run_cache() : nullptr;
    if (cache) cache->begin_walk(s->source);
    Reports reports;
    auto gather = [&](Gathering<Stored>& g) {
        while (nextstream(s.get())) {
            Stored e;
            e.name = s->name;
            if (!walk) listed_digest(s.get(), e.listed);
            if (cache && cached_entry(s.get(), cache, e.seen)) {
                std::string object;
                store_path(object, root, e.seen.hex);
                guard.check_or_die(root, store_rel(object));
                e.refreshed = std::chrono::steady_clock::now();  // at the latest
                if (refresh_object(object, e.seen.id.size)) {
                    std::memcpy(e.got, e.seen.hex, MD5_HEX_SIZE);
                    e.cached = true;
                    g.add(std::move(e));
                    continue;
                }
            }
            // A listing or an archive may name anything: only a regular
            // file is stored (a FIFO would block the run, a directory can
            // not be read).
            e.in = Fd(cache  ? open_entry_noting(s.get(), e.seen)
                      : walk ? open_entry_fd(s.get())
                             : open_regular_fd(s->curfile, __LINE__));
            g.add(std::move(e));
        }
    };
    auto publish = [walk, path, cache, &root, &batch, &reports](Stored& e) {
        if (cache && e.seen.has_id) cache->record(e.name, e.seen.id, e.got);
        if (e.cached) {
            // Held since its refresh (a paused run): refreshed again, so that
            // the time a prune goes by is that of the report.
            if (std::chrono::steady_clock::now() - e.refreshed >
                std::chrono::duration<double>(TempFile::FRESH_SECONDS)) {
                std::string object;
                store_path(object, root, e.got);
                if (!refresh_object(object, e.seen.id.size))
                    fatal(1, "%s: object %s went away while the run was held; not stored", e.name.c_str(),
                          object.c_str());
            }
            reports.report([rel = std::string(e.got, 2) + "/" + std::string(e.got + 2, 30), name = std::move(e.name)] {
                print_listing_line(rel, name);
                progress_file();
            });
            return;
        }
        if (!walk && std::memcmp(e.got, e.listed, MD5_HEX_SIZE) != 0)
            // A stale listing or archive: stored under the given digest, the
            // file would make that object lie.
            fatal(1, "%s: content has digest %s, not %s as given in %s; not stored", e.name.c_str(), e.got, e.listed,
                  path);
        std::string object;
        store_path(object, root, e.got);
        // Also over an object the store holds already: the new file's time
        // is what keeps a concurrent -P from removing it (see prune.cpp).
        std::string rel(store_rel(object));
        const uint64_t seq = ++reports.queued;
        batch.add(
            std::move(e.out), 0,
            [rel, name = std::move(e.name), seq, &reports] {
            print_listing_line(rel, name);
            progress_file();
            reports.done(seq);
            },
            std::move(object));
    };
    DirRef top;  // the root, once the lease made it
    auto work = [&root, &lease, &leased, &top](EntryGroup<Stored>& grp) {
        std::call_once(leased, [&] {
            lease.emplace(root + "/");
            top = open_root(root);
        });
        copy_group(grp, [&root, &top](Stored& e) {
            if (e.cached) return false;
            e.out = top ? std::make_unique<TempFile>(root + "/", top) : std::make_unique<TempFile>(root + "/");
            e.out->keep_time_fresh();
            return true;
        });
    };
    auto cost = [](const Stored& e) { return e.cached ? Cost{} : ONE_FILE; };
    publishing(batch, [&] { run_grouped(p, p.group_size(), gather, GroupedJob<Stored>{work, publish, cost}); });
}

void db_out(const char* path) {
    preparedb();
    const std::string root = dbroot;
    StreamPtr s(openstream(path));
    // A walk names its files relative to its root while it stands in each
    // file's own directory, so those names would not lead back to the walked
    // files: restoring by them would scatter copies through the tree.
    if (s->kind == StreamKind::walk) fatal(1, "-o takes a snapshot listing, not a directory: %s", path);
    const bool archive = s->kind == StreamKind::archive;
    DirGuard guard;
    // The restore target is the working directory.
    const int threads = store_threads({root, "."});
    // Each file waiting for the disk holds its directory open (its
    // temporary file is there, beside it, on whatever file system the tree
    // has there): the batches are bounded by the descriptors left, so that
    // a tree of a directory per file does not run out of them.
    PublishBatch batch(false, threads,
                       std::clamp<std::size_t>(descriptors_free() / 8, 1, PublishBatch::MAX_FILES));
    Pipeline p(threads);
    auto gather = [&](Gathering<Restored>& g) {
        while (nextstream(s.get())) {
            // An archive comes from elsewhere: a name that could reach
            // outside the working directory is refused, as extraction
            // refuses it. Said in its turn, after the files before it.
            if (archive && !is_safe_relpath(s->name)) {
                g.then([&batch, name = std::string(s->name)] {
                    batch.flush();
                    warn("refusing member '%s': unsafe name", name.c_str());
                });
                continue;
            }
            g.add(restored(s.get(), root, guard));
        }
    };
    auto publish = [&batch](Restored& e) {
        if (std::memcmp(e.got, e.want, MD5_HEX_SIZE) != 0)
            fatal(1, "damaged object %s: content has digest %s; %s left as it was", e.object.c_str(), e.got,
                  e.name.c_str());
        if (e.made) e.made->keep();
        batch.add(std::move(e.out), 0, [name = std::move(e.name)] {
            print_name_line(stdout, "", name);
            progress_file();
        });
    };
    // The object is opened on the worker too: on a network file system an
    // open is a round trip. Only -i puts files in the store: a link there
    // is foreign, and would read from outside it.
    auto work = [](EntryGroup<Restored>& grp) {
        copy_group(grp, [](Restored& e) {
            e.in = Fd(open_regular_fd(e.object.c_str(), __LINE__, true));
            // A name below the working directory whose directory could not
            // be opened (a file in the way) is never tried by path: by then
            // a link may stand there, and the path would follow it.
            if (!e.dir && e.made) fatal_fixed(1, "can not read %s\n", e.path.c_str());
            e.out = e.dir ? std::make_unique<TempFile>(e.path, e.dir) : std::make_unique<TempFile>(e.path);
            return true;
        });
    };
    publishing(batch, [&] { run_grouped(p, p.group_size(), gather, GroupedJob<Restored>{work, publish}); });
}
