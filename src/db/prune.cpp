// -P: removes every object of the store that none of the given sources
// references, printing "Removed: XX/YYYY..." for each (with -n, what it
// would remove, and nothing goes). Every source is read whole first: one
// that fails, or that names nothing, ends the run with the store untouched.
//
// Other runs may store objects meanwhile, on this machine or another, and
// their listings are not among the sources yet. So an object modified less
// than the grace period ago (-g) is kept: -i writes every object it stores
// anew, which gives it the time of that run. An object is removed by
// renaming it aside first and checking that what moved is the file judged
// old (same inode, same time); one that another run published or refreshed
// in between goes back under its name (Aside, in maint.h).

#include "db/db.h"
#include "db/maint.h"
#include "db/store.h"
#include "util/settings.h"
#include "stream/stream.h"
#include "util/fatal.h"
#include "util/paths.h"
#include "util/pipeline.h"
#include "util/progress.h"
#include "util/lease.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Digest = std::array<unsigned char, 16>;

Digest to_digest(std::string_view hex) {
    Digest d;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (std::size_t i = 0; i < 16; ++i) d[i] = static_cast<unsigned char>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    return d;
}

// The digests every source references, sorted.
std::vector<Digest> referenced(const std::vector<char*>& sources) {
    std::vector<Digest> keep;
    for (const char* path : sources) {
        StreamPtr s(openstream(path));
        std::size_t entries = 0;
        each_entry(s.get(), nthreads, [&](std::string_view name, const char* hex) {
            const std::string_view h(hex, ::strnlen(hex, MD5_HEX_SIZE));
            if (!is_hex_digest(h))
                fatal(1, "%s: malformed digest for %.*s; nothing removed", path, int(name.size()), name.data());
            keep.push_back(to_digest(h));
            ++entries;
        });
        // A file that is not a listing at all reads as one without a line:
        // taken at its word, it would have every object removed.
        if (entries == 0) fatal(1, "%s: names no file; nothing removed", path);
    }
    std::sort(keep.begin(), keep.end());
    keep.erase(std::unique(keep.begin(), keep.end()), keep.end());
    return keep;
}

// An object no source references, examined on a worker.
struct Candidate {
    std::string rel;
    struct stat st {};
    int err = 0;
};

struct Prune {
    Prune(std::string r, RunLease& lease) : root(std::move(r)), aside(root, lease) {}
    std::string root;
    Aside aside;
    double cutoff = 0;  // objects modified after this are kept
    std::size_t removed = 0;
    std::size_t young = 0;
    unsigned long long bytes = 0;

    void judge(const Candidate& c) {
        // What waits aside for its check is not kept from its name for long.
        aside.check_due();
        if (c.err == ENOENT) return;  // removed by another run meanwhile
        const std::string path = root + "/" + c.rel;
        if (c.err != 0) {
            errno = c.err;
            fatal_errno("can not examine", path.c_str());
        }
        // Only -V judges what is not a regular file.
        if (!S_ISREG(c.st.st_mode)) return;
        if (seconds(c.st.st_mtim) > cutoff) {
            ++young;
            return;
        }
        if (onlyshow) return removed_one(c.rel, c.st.st_size);
        // Removed once the check after the move says it is the file judged
        // old. A second copy moved aside while another run published the
        // object again is dropped: the copy at path is as good.
        aside.take(path, c.st, [this, rel = c.rel, size = c.st.st_size](Moved m, const std::string& held) {
            if (m == Moved::yes || m == Moved::duplicate) aside.drop(held);
            // Stored or refreshed by another run since it was examined.
            if (m == Moved::back || m == Moved::duplicate || m == Moved::held) ++young;
            if (m == Moved::yes) removed_one(rel, size);
        });
    }

    void removed_one(const std::string& rel, off_t size) {
        ++removed;
        bytes += static_cast<unsigned long long>(size);
        print_name_line(stdout, "Removed: ", rel);
    }
};

} // namespace

void db_prune(const std::vector<char*>& sources) {
    preparedb();
    const StoreTop top = read_store_top_strict(dbroot);
    // Covers the run's aside directory: -V leaves it alone while the run lives.
    RunLease lease(std::string(dbroot) + "/");
    Prune pr(dbroot, lease);
    // The walks of several sources are one pass: the bytes of one are not
    // all the pass reads.
    progress_walk_reads(sources.size() == 1 ? 1 : 0);
    const std::vector<Digest> keep = referenced(sources);
    // What a killed run held aside goes back under its name to be judged.
    if (!onlyshow) put_back_asides(pr.root, top.temps);
    pr.cutoff = now_seconds() - double(graceperiod);
    std::size_t kept = 0;
    Pipeline p(nthreads);
    auto gather = [&](Gathering<Candidate>& g) {
        for (const std::string& d : top.dirs) {
            for (const std::string& n : dir_names(pr.root + "/" + d)) {
                if (!is_object_name(n)) continue;
                if (std::binary_search(keep.begin(), keep.end(), to_digest(d + n))) {
                    ++kept;
                    continue;
                }
                g.add(Candidate{d + "/" + n});
            }
        }
    };
    // Examined on the workers: on a network file system each costs a round
    // trip. A group holds nothing open, and takes one place.
    auto examine = [&pr](EntryGroup<Candidate>& grp) {
        for (Candidate& c : grp.entries)
            if (::lstat((pr.root + "/" + c.rel).c_str(), &c.st) != 0) c.err = errno;
    };
    run_grouped(p, p.group_size(64), gather,
                GroupedJob<Candidate>{examine, [&pr](Candidate& c) { pr.judge(c); },
                                      [](const Candidate&) { return Cost{}; }});
    pr.aside.finish();
    warn("%s %zu object%s (%llu bytes); kept %zu referenced and %zu younger than the grace period",
         onlyshow ? "would remove" : "removed", pr.removed, pr.removed == 1 ? "" : "s", pr.bytes, kept, pr.young);
}
