// The content database jobs. Every object is written to a temporary file,
// hashed as it is written and published by rename only when its digest
// equals its name, so neither a killed run nor two runs storing at once can
// leave an object whose content differs from its name. Files restored from
// the store are checked and published the same way.

#include "db/db.h"

#include "db/store.h"
#include "driver/jobs.h"
#include "driver/settings.h"
#include "stream/stream.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/tempfile.h"
#include "util/escape.h"
#include "util/guard.h"
#include "util/paths.h"
#include "util/pipeline.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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
void entry_digest(Stream* s, char* out) {
    md5stream(s, out);
    if (!is_hex_digest(std::string_view(out, ::strnlen(out, MD5_HEX_SIZE))))
        fatal(1, "%s: malformed digest for %s", s->source.c_str(), s->name);
}

} // namespace

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
    struct Item {
        std::string name;
        Fd in;
        std::unique_ptr<TempFile> tmp;
        char listed[MD5_HEX_SIZE];
        char got[MD5_HEX_SIZE];
    };
    DirGuard guard;
    Pipeline p(nthreads);
    p.enumerate([&] {
        while (nextstream(s.get())) {
            auto it = std::make_shared<Item>();
            it->name = s->name;
            if (!walk) entry_digest(s.get(), it->listed);
            // A listing or an archive may name anything: only a regular file
            // is stored (a FIFO would block the run, a directory can not be
            // read).
            it->in = Fd(walk ? open_entry_fd(s.get()) : open_regular_fd(s->curfile, __LINE__));
            it->tmp = std::make_unique<TempFile>(root + "/");
            p.submit(
                [it] {
                    copy_fd_hashed(it->in.get(), it->name.c_str(), it->tmp->fd(), it->tmp->temp_path().c_str(), it->got);
                    it->in = Fd();
                    it->tmp->close();
                },
                [it, walk, path, &root, &guard] {
                    if (!walk && std::memcmp(it->got, it->listed, MD5_HEX_SIZE) != 0)
                        // A stale listing or archive: stored under the given
                        // digest, the file would make that object lie.
                        fatal(1, "%s: content has digest %s, not %s as given in %s; not stored", it->name.c_str(),
                              it->got, it->listed, path);
                    std::string object;
                    store_path(object, root, it->got);
                    // A link planted at ROOT/XX would carry the object out of
                    // the store.
                    guard.make_or_die(root, store_rel(object));
                    it->tmp->commit_closed_as(object);
                    print_listing_line(store_rel(object), it->name);
                });
        }
    });
    p.finish();
}

void db_out(const char* path) {
    preparedb();
    const std::string root = dbroot;
    StreamPtr s(openstream(path));
    // A walk names its files relative to its root while it stands in each
    // file's own directory, so those names would not lead back to the walked
    // files: restoring by them would scatter copies through the tree.
    if (s->kind == StreamKind::walk) fatal(1, "-o takes a snapshot listing, not a directory: %s", path);
    DirGuard guard;
    // Directories made for a file that is not published go again, so that a
    // run stopped by a damaged object leaves what a serial run would.
    struct Item {
        std::string name;
        std::optional<MadeFor> made;  // destroyed after out: the directory is empty by then
        Fd in;
        std::string object;
        std::unique_ptr<TempFile> out;
        char want[MD5_HEX_SIZE];
        char got[MD5_HEX_SIZE];
    };
    Pipeline p(nthreads);
    p.enumerate([&] {
        while (nextstream(s.get())) {
            auto it = std::make_shared<Item>();
            it->name = s->name;
            entry_digest(s.get(), it->want);
            store_path(it->object, root, it->want);
            guard.check_or_die(root, store_rel(it->object));
            it->in = Fd(open_regular_fd(it->object.c_str(), __LINE__));
            // Paths are taken as the listing gives them, absolute or climbing
            // with "..": a listing is the user's own instruction. A plain
            // relative name, as -l writes them, stays below the working
            // directory: a link planted in its way is refused.
            if (it->name.empty() || it->name.back() == '/') fatal_fixed(1, "can not read %s\n", it->name.c_str());
            if (is_safe_relpath(it->name)) {
                it->made.emplace(guard, "", it->name);
                guard.make_or_die("", it->name);
            }
            it->out = std::make_unique<TempFile>(it->name);
            p.submit(
                [it] {
                    copy_fd_hashed(it->in.get(), it->object.c_str(), it->out->fd(), it->name.c_str(), it->got);
                    it->in = Fd();
                    it->out->close();
                },
                [it] {
                    if (std::memcmp(it->got, it->want, MD5_HEX_SIZE) != 0)
                        fatal(1, "damaged object %s: content has digest %s; %s left as it was", it->object.c_str(),
                              it->got, it->name.c_str());
                    it->out->commit_closed();
                    if (it->made) it->made->keep();
                    print_name_line(stdout, "", it->name);
                });
        }
    });
    p.finish();
}
