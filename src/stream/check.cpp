// -c: checks the files of a tree (the working directory, or the directory
// -C names) against a source, as md5sum -c checks a listing: one line per
// entry, "name: OK", "name: FAILED" (the content has another digest) or
// "name: FAILED open or read" (after a message saying why), then warnings
// that count the failures, on standard error. With -u, the tree's files
// that the source does not name follow, "name: NOT LISTED". Any failure
// ends the run with status 1 once every entry has its line.
//
// Files are opened, read and hashed on the workers, several at once per
// SIMD register, through a descriptor on the tree: the walk of a directory
// source moves the working directory, the tree stays where it was.

#include "stream/check.h"
#include "util/settings.h"
#include "stream/stream.h"
#include "util/escape.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/paths.h"
#include "util/pipeline.h"
#include "util/progress.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

struct Checked {
    std::string name;  // as the source gives it
    char want[MD5_HEX_SIZE];
    char hex[MD5_HEX_SIZE] = {};
    Fd fd;
    int open_errno = 0;  // -1: not a regular file
    int64_t size = -1;
    std::exception_ptr error;  // left empty: a failed read is a verdict, never the run's end
    std::exception_ptr unreadable;  // reading it failed
    const char* in_name() const { return name.c_str(); }
};

void open_group(int tree, std::vector<Checked>& g) {
    for (Checked& c : g) {
        // Not blocking: a FIFO in the tree fails its check instead of
        // stopping the run.
        const int fd = ::openat(tree, c.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            c.open_errno = errno;
            continue;
        }
        c.fd = Fd(fd);
        struct stat st;
        if (::fstat(fd, &st) != 0)
            c.open_errno = errno;
        else if (!S_ISREG(st.st_mode))
            c.open_errno = S_ISDIR(st.st_mode) ? EISDIR : -1;
        c.size = st.st_size;
        if (c.open_errno != 0) c.fd = Fd();
    }
    hash_each(g);
    for (Checked& c : g) c.unreadable = std::exchange(c.error, nullptr);
}

struct Tally {
    std::size_t entries = 0;
    std::size_t unreadable = 0;
    std::size_t mismatched = 0;
    std::size_t unlisted = 0;
};

void judge(Checked& c, Tally& t) {
    const char* verdict = ": OK";
    if (c.unreadable) {
        report(c.unreadable);
    } else if (c.open_errno != 0) {
        warn("%s: %s", c.name.c_str(), c.open_errno < 0 ? "not a regular file" : std::strerror(c.open_errno));
    } else if (std::memcmp(c.hex, c.want, MD5_HEX_SIZE) != 0) {
        ++t.mismatched;
        verdict = ": FAILED";
    }
    if (c.unreadable || c.open_errno != 0) {
        ++t.unreadable;
        verdict = ": FAILED open or read";
    }
    print_name_line(stdout, "", c.name, verdict);
}

// Prints the tree's files that are not in listed; the working directory is
// where it was before.
void report_unlisted(int tree, const std::unordered_set<std::string>& listed, Tally& t) {
    const Fd here(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (here.get() < 0 || ::fchdir(tree) != 0) fatal_errno("can not enter", checkdir ? checkdir : ".");
    {
        StreamPtr w(openstream_dir("."));
        while (nextstream(w.get())) {
            if (listed.count(w->name)) continue;
            ++t.unlisted;
            print_name_line(stdout, "", w->name, ": NOT LISTED");
        }
    }
    if (::fchdir(here.get()) != 0) fatal_errno("can not return to", "the working directory");
}

void count(std::size_t n, const char* one, const char* many) {
    if (n) warn("WARNING: %zu %s", n, n == 1 ? one : many);
}

} // namespace

void checktree(const char* source) {
    const Fd tree(::open(checkdir ? checkdir : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (tree.get() < 0) fatal_errno("can not open directory", checkdir ? checkdir : ".");
    StreamPtr s(openstream(source));
    // The tree's copy of every file of a walk is read too.
    progress_walk_reads(2);
    Tally t;
    std::unordered_set<std::string> listed;
    Pipeline p(nthreads);
    const int fd = tree.get();
    auto gather = [&](Gathering<Checked>& g) {
        std::string below;
        each_entry(s.get(), nthreads, [&](std::string_view name, const char* hex) {
            // The tree is only read, but a name from outside still may not
            // lead out of it.
            if (!tree_relpath(name, below))
                fatal(1, "%s: %s leads out of the tree or names no file; nothing checked after it", source,
                      std::string(name).c_str());
            if (!is_hex_digest(std::string_view(hex, ::strnlen(hex, MD5_HEX_SIZE))))
                fatal(1, "%s: malformed digest for %s", source, std::string(name).c_str());
            if (showunlisted) listed.insert(below);
            Checked c;
            c.name = name;
            std::memcpy(c.want, hex, MD5_HEX_SIZE);
            ++t.entries;
            g.add(std::move(c));
        });
    };
    // A group holds its files open only while a thread reads them, so it
    // takes one place of the window (a group takes one at least): many
    // groups wait ahead, and the threads find work instead of sleeping and
    // waking per group.
    run_grouped(p, p.group_size(), gather,
                GroupedJob<Checked>{[fd](std::vector<Checked>& grp) { open_group(fd, grp); },
                                    [&t](Checked& c) { judge(c, t); },
                                    [](const Checked&) { return Cost{GROUP_WHOLE_MAX, 0}; }});
    if (t.entries == 0 && s->kind == StreamKind::listing)
        fatal(1, "%s: no properly formatted checksum lines found", source);
    if (showunlisted) report_unlisted(fd, listed, t);
    count(t.unreadable, "listed file could not be read", "listed files could not be read");
    count(t.mismatched, "computed checksum did NOT match", "computed checksums did NOT match");
    count(t.unlisted, "file is not listed", "files are not listed");
    if (t.unreadable || t.mismatched || t.unlisted) throw FatalError{1};
}
