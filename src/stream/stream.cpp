#include "stream/stream.h"

#include "format/archive.h"

#include "util/fatal.h"
#include "util/fileio.h"
#include "util/groupcopy.h"
#include "util/pipeline.h"
#include "util/progress.h"
#include "stream/statcache.h"
#include "util/hashgroup.h"

#include <cstring>
#include <string>
#include <sys/stat.h>

bool starts_as_archive(const char* path) {
    // An unreadable file is as fatal here as everywhere else: there is no
    // point in guessing its kind.
    File probe(FOPENG(path, "rb", __LINE__), path);
    unsigned char word[4];
    const std::size_t n = std::fread(word, 1, sizeof word, probe.get());
    if (n < sizeof word && std::ferror(probe.get())) fatal_errno("read error on", path);
    probe.close();
    return n == sizeof word && get_le32(word) == ARCHIVE_MAGIC;
}

StreamPtr new_stream(StreamKind kind, const char* path, Stream* (*next)(Stream*), void (*close)(Stream*),
                     void (*md5)(Stream*, char*)) {
    StreamPtr s(new Stream);
    s->kind = kind;
    s->source = path;
    s->nextfn = next;
    s->closefn = close;
    s->md5fn = md5;
    return s;
}

void stored_digest(Stream* s, char* out) { std::memcpy(out, s->md5, MD5_HEX_SIZE); }

Stream* openstream(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) fatal_fixed(1, "can not stat %s\n", path);
    if (S_ISDIR(st.st_mode)) return openstream_dir(path);
    if (!S_ISREG(st.st_mode)) fatal_fixed(1, "unkown stream type %s\n", path);

    if (starts_as_archive(path)) return openstream_archive(path);
    return openstream_file(path);
}

namespace {

struct Entry {
    std::string name;
    Fd in;  // -1 when the digest came from the cache
    char got[MD5_HEX_SIZE];
    FileId id;                 // with a cache: what the new cache records
    bool has_id = false;
    const char* in_name() const { return name.c_str(); }
};

} // namespace

bool cached_entry(Stream* s, StatCache* cache, CachedEntry& out) {
    out.has_id = false;
    struct stat st;
    if (!stat_entry(s, st) || !S_ISREG(st.st_mode) || !cache_identity(st, s->dirs->fd, s->curfile, out.id))
        return false;
    out.has_id = true;
    return cache->lookup(s->name, out.id, out.hex);
}

int open_entry_noting(Stream* s, CachedEntry& e) {
    const int fd = open_entry_fd(s);
    struct stat st;
    // The identity recorded is the one of the file read, not of whatever
    // stood at its name when it was looked up.
    e.has_id = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && cache_identity(st, fd, nullptr, e.id);
    return fd;
}

void each_entry(Stream* s, int threads, const std::function<void(std::string_view name, const char* hex)>& fn,
                StatCache* cache) {
    if (s->kind != StreamKind::walk) cache = nullptr;
    if (cache) cache->begin_walk(s->source);
    if (s->kind != StreamKind::walk) {
        char hex[MD5_HEX_SIZE];
        while (nextstream(s)) {
            md5stream(s, hex);
            fn(s->name, hex);
            progress_file();
        }
        return;
    }
    // The walk opens each file where it stands (workers must not depend on
    // the working directory, which the walk moves); workers hash them, a
    // group at a time. A group holds its files open, one place of the
    // window each: groups are kept small enough that every thread finds
    // one. How files are grouped changes nothing in what is printed.
    // A large file goes alone, which costs measuring each file (one more
    // system call on the calling thread); a walk whose first MEASURED files
    // are all small stops measuring, so that a tree of many small files
    // does not pay for it.
    constexpr uint64_t MEASURED = 1024;
    Pipeline p(threads);
    uint64_t walked = 0;
    bool measure = true, seen_large = false;
    // The bytes of the files measured: the pass's total while every file is.
    uint64_t bytes = 0;
    bool sized = true;
    auto gather = [&](Gathering<Entry>& g) {
        while (nextstream(s)) {
            Entry e;
            e.name = s->name;
            if (cache) {
                CachedEntry c;
                if (cached_entry(s, cache, c)) {
                    std::memcpy(e.got, c.hex, MD5_HEX_SIZE);
                    e.id = c.id;
                    e.has_id = true;
                    g.add(std::move(e));
                    ++walked;
                    continue;
                }
                e.in = Fd(open_entry_noting(s, c));
                e.id = c.id;
                e.has_id = c.has_id;
            } else {
                e.in = Fd(open_entry_fd(s));
            }
            // A file the walk has the status of is measured already.
            const int64_t size = e.has_id ? int64_t(e.id.size) : measure ? fd_size(e.in.get()) : -1;
            const std::size_t large = large_size(size);
            large ? g.add_alone(std::move(e), large) : g.add(std::move(e));
            seen_large |= large != 0;
            if (++walked == MEASURED && !seen_large) measure = false;
            if (size < 0) sized = false;
            bytes += sized ? uint64_t(size) : 0;
        }
        // The walk is done: the files in flight are the last, and a large
        // file moves the share done as it is read.
        progress_walk_totals(walked, sized ? bytes : 0);
    };
    auto hash = [](EntryGroup<Entry>& grp) { copy_group(grp, [](Entry& e) { return e.in.get() >= 0; }); };
    auto decide = [&fn, cache](Entry& e) {
        fn(e.name, e.got);
        if (cache && e.has_id) cache->record(e.name, e.id, e.got);
        progress_file();
    };
    auto cost = [](const Entry& e) { return e.in.get() < 0 ? Cost{} : ONE_FILE; };
    run_grouped(p, p.group_size(), gather, GroupedJob<Entry>{hash, decide, cost});
}
