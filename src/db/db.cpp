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
#include "util/paths.h"

#include <cstdlib>
#include <cstring>
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

// Only a directory walk keeps a stack of open directories; from openstream
// on it holds at least the walk's root.
bool is_walk(const Stream* s) { return s->dirs != nullptr; }

// The digest a listing or an archive gives for the current entry, checked
// before it is allowed to name a file in the store.
void entry_digest(Stream* s, char* out) {
    md5stream(s, out);
    if (!is_hex_digest(std::string_view(out, ::strnlen(out, MD5_HEX_SIZE))))
        fatal(1, "%s: malformed digest for %s", s->source.c_str(), s->name);
}

// copy_hashed moves whole 128 KiB blocks: a stdio buffer on either side would
// only split a small file's one write in two and add a status query per file.
void unbuffered(std::FILE* fp) { std::setvbuf(fp, nullptr, _IONBF, 0); }

} // namespace

void db_in(const char* path) {
    preparedb();
    const std::string_view root = dbroot;
    StreamPtr s(openstream(path));
    // A walked file's digest is known only once the file has been read, so
    // it is hashed as it is copied, into a temporary file in the root, and
    // renamed into its two-digit directory afterwards: each file is read
    // once. A listing or an archive names the object beforehand, and the
    // temporary file then sits in the object's own directory.
    const bool walk = is_walk(s.get());
    const std::string root_slash = std::string(root) + '/';
    std::string object;
    char listed[MD5_HEX_SIZE];
    char got[MD5_HEX_SIZE];
    while (nextstream(s.get())) {
        if (!walk) {
            entry_digest(s.get(), listed);
            store_path(object, root, listed);
        }
        // A listing or an archive may name anything: only a regular file is
        // stored (a FIFO would block the run, a directory can not be read).
        File in(walk ? FOPENG(s->curfile, "rb", __LINE__) : open_regular(s->curfile, __LINE__), s->name);
        unbuffered(in.get());
        TempFile tmp(walk ? root_slash : object);
        unbuffered(tmp.get());
        copy_hashed(in.get(), s->name, tmp.get(), tmp.temp_path().c_str(), got);
        in.close();
        if (walk) {
            store_path(object, root, got);
        } else if (std::memcmp(got, listed, MD5_HEX_SIZE) != 0) {
            // A stale listing or archive: stored under the given digest, the
            // file would make that object lie about its content.
            fatal(1, "%s: content has digest %s, not %s as given in %s; not stored", s->name, got, listed,
                  path);
        }
        tmp.close();
        if (walk)
            tmp.commit_closed_as(object);
        else
            tmp.commit_closed();
        out_printf("%s  %s\n", store_rel(object), s->name);
    }
}

void db_out(const char* path) {
    preparedb();
    const std::string_view root = dbroot;
    StreamPtr s(openstream(path));
    // A walk names its files relative to its root while it stands in each
    // file's own directory, so those names would not lead back to the walked
    // files: restoring by them would scatter copies through the tree.
    if (is_walk(s.get())) fatal(1, "-o takes a snapshot listing, not a directory: %s", path);
    std::string object;
    char want[MD5_HEX_SIZE];
    char got[MD5_HEX_SIZE];
    while (nextstream(s.get())) {
        entry_digest(s.get(), want);
        store_path(object, root, want);
        File in(FOPENG(object.c_str(), "rb", __LINE__), object);
        unbuffered(in.get());
        // Paths are taken as the listing gives them, absolute or climbing
        // with "..": a listing is the user's own instruction. A path that
        // can not name a file is refused before anything is created.
        const std::size_t len = std::strlen(s->name);
        if (len == 0 || s->name[len - 1] == '/') fatal_fixed(1, "can not read %s\n", s->name);
        TempFile out(s->name);
        unbuffered(out.get());
        copy_hashed(in.get(), object.c_str(), out.get(), s->name, got);
        in.close();
        if (std::memcmp(got, want, MD5_HEX_SIZE) != 0)
            fatal(1, "damaged object %s: content has digest %s; %s left as it was", object.c_str(), got,
                  s->name);
        out.commit();
        out_printf("%s\n", s->name);
    }
}
