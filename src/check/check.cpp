// -c: checks the files of a tree (the working directory, or the directory
// -C names) against a source, as md5sum -c checks a listing: one line per
// entry, "name: OK", "name: FAILED" (the content has another digest) or
// "name: FAILED open or read" (after a message saying why), then warnings
// that count the failures, on standard error. A listing is read in every
// line form md5sum reads (check/sumline.*), from standard input for "-";
// a directory or an archive stands for one as everywhere. With -u, the
// tree's files that the source does not name follow, "name: NOT LISTED".
// md5sum's --quiet, --status, --warn, --strict and --ignore-missing keep
// their meanings (util/settings.h). A failure ends the run with status 1
// once every entry has its line.
//
// Files are opened, read and hashed on the workers, several at once per
// SIMD register, through a descriptor on the tree: the walk of a directory
// source moves the working directory, the tree stays where it was.

#include "check/check.h"

#include "check/quote.h"
#include "check/sumline.h"
#include "stream/stream.h"
#include "util/escape.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/lines.h"
#include "util/paths.h"
#include "util/pipeline.h"
#include "util/progress.h"
#include "util/settings.h"
#include "util/hashgroup.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <utility>

namespace {

struct Checked {
    std::string name;  // as the source gives it
    char want[MD5_HEX_SIZE];
    char hex[MD5_HEX_SIZE] = {};
    Fd fd;
    int open_errno = 0;  // -1: not a regular file
    int64_t size = -1;
    std::exception_ptr unreadable;  // reading it failed: a verdict, never the run's end
    // Not 0: no entry but an improperly formatted line of the listing,
    // this one, judged in its turn so that its warning keeps its place.
    unsigned long malformed_line = 0;
    const char* in_name() const { return name.c_str(); }
};

void open_group(int tree, EntryGroup<Checked>& g) {
    for (Checked& c : g.entries) {
        if (c.malformed_line) continue;
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
    hash_each(g.entries);
}

struct Tally {
    std::size_t formatted = 0;  // entries, also those passed over by --ignore-missing
    std::size_t malformed = 0;
    std::size_t matched = 0;
    std::size_t unreadable = 0;
    std::size_t mismatched = 0;
    std::size_t unlisted = 0;
};

// A verdict line, its name as md5sum prints it: with a leading backslash
// and escaped when it holds a line feed, else byte for byte. A terminal gets every control byte escaped.
void print_verdict(const std::string& name, const char* verdict) {
    if (checkoutput == CheckOutput::status) return;
    if (has_control(name) && ::isatty(STDOUT_FILENO)) {
        print_name_line(stdout, "", name, verdict);
    } else if (name.find('\n') != std::string::npos) {
        out_printf("\\%s%s\n", escape_listing(name).c_str(), verdict);
    } else {
        out_printf("%s%s\n", name.c_str(), verdict);
    }
}

void judge(Checked& c, Tally& t, const std::string& listing) {
    if (c.malformed_line) {
        ++t.malformed;
        if (checkoutput == CheckOutput::warn)
            warn("%s: %lu: improperly formatted MD5 checksum line", shell_quoted(listing).c_str(), c.malformed_line);
        return;
    }
    ++t.formatted;
    if (c.unreadable) {
        report(c.unreadable);
    } else if (c.open_errno == ENOENT && checkignoremissing) {
        return;
    } else if (c.open_errno != 0) {
        warn("%s: %s", shell_quoted(c.name).c_str(),
             c.open_errno < 0 ? "not a regular file" : std::strerror(c.open_errno));
    }
    if (c.unreadable || c.open_errno != 0) {
        ++t.unreadable;
        print_verdict(c.name, ": FAILED open or read");
    } else if (std::memcmp(c.hex, c.want, MD5_HEX_SIZE) != 0) {
        ++t.mismatched;
        print_verdict(c.name, ": FAILED");
    } else {
        ++t.matched;
        if (checkoutput != CheckOutput::quiet) print_verdict(c.name, ": OK");
    }
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
            print_verdict(w->name, ": NOT LISTED");
        }
    }
    if (::fchdir(here.get()) != 0) fatal_errno("can not return to", "the working directory");
}

void count(std::size_t n, const char* one, const char* many) {
    if (n && checkoutput != CheckOutput::status) warn("WARNING: %zu %s", n, n == 1 ? one : many);
}

// The longest listing line -c reads: far more than any name the system
// opens, even escaped and padded with blanks.
constexpr std::size_t CHECK_LINE_MAX = std::size_t(16) << 20;

// A listing is read here, in md5sum's line forms; a directory or an
// archive through its stream. Standard input ("-"), a FIFO or any file that
// does not start as an archive is a listing.
bool is_listing(const char* source) {
    if (std::strcmp(source, "-") == 0) return true;
    struct stat st;
    // What can not be examined is left to openstream, which says so.
    if (::stat(source, &st) != 0 || S_ISDIR(st.st_mode)) return false;
    return !S_ISREG(st.st_mode) || !starts_as_archive(source);
}

} // namespace

void checktree(const char* source, const char* given) {
    const Fd tree(::open(checkdir ? checkdir : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (tree.get() < 0) fatal_errno("can not open directory", checkdir ? checkdir : ".");
    const bool from_stdin = std::strcmp(source, "-") == 0;
    const std::string listing = from_stdin ? "standard input" : given;
    const bool lines = is_listing(source);
    StreamPtr s(lines ? nullptr : openstream(source));
    Tally t;
    std::unordered_set<std::string> listed;
    Pipeline p(nthreads);
    const int fd = tree.get();
    std::string below;
    auto take = [&](Gathering<Checked>& g, std::string_view name, const char* hex) {
        // The tree is only read, but a name from outside still may not
        // lead out of it. An empty name, or one that names the tree itself
        // ("."), leads nowhere: opening it fails as md5sum's does.
        if (!tree_relpath(name, below) && !drop_dot_components(name).empty())
            fatal(1, "%s: %s leads out of the tree or names no file; nothing checked after it", listing.c_str(),
                  std::string(name).c_str());
        if (!is_hex_digest(std::string_view(hex, ::strnlen(hex, MD5_HEX_SIZE))))
            fatal(1, "%s: malformed digest for %s", source, std::string(name).c_str());
        if (showunlisted) listed.insert(below);
        Checked c;
        c.name = name;
        std::memcpy(c.want, hex, MD5_HEX_SIZE);
        g.add(std::move(c));
    };
    auto gather = [&](Gathering<Checked>& g) {
        if (s) {
            each_entry(s.get(), nthreads, [&](std::string_view name, const char* hex) { take(g, name, hex); });
            return;
        }
        File owned(from_stdin ? nullptr : FOPENG(source, "r", __LINE__), source);
        std::FILE* in = from_stdin ? stdin : owned.get();
        SumLineState state;
        SumLine line;
        std::string raw;
        for (unsigned long lineno = 1;; ++lineno) {
            const LineRead r = read_line(in, listing.c_str(), raw, CHECK_LINE_MAX);
            if (r == LineRead::eof) break;
            // Held whole it would take memory without end; a name that long
            // could not be opened anyway.
            if (r == LineRead::too_long)
                fatal(1, "%s: line %lu is longer than %zu bytes; nothing checked after it", listing.c_str(), lineno,
                      CHECK_LINE_MAX);
            const SumLineKind kind = parse_sum_line(raw, state, line);
            // md5sum reads "-" in a listing as its own standard input, and
            // refuses it in a listing read from there.
            if (kind == SumLineKind::malformed || (kind == SumLineKind::entry && from_stdin && line.name == "-")) {
                Checked c;
                c.malformed_line = lineno;
                g.add(std::move(c));
            } else if (kind == SumLineKind::entry) {
                take(g, line.name, line.digest);
                progress_file();
            }
        }
    };
    // A group holds its files open only while a thread reads them, so it
    // takes one place of the window (a group takes one at least): many
    // groups wait ahead, and the threads find work instead of sleeping and
    // waking per group.
    run_grouped(p, p.group_size(), gather,
                GroupedJob<Checked>{[fd](EntryGroup<Checked>& grp) { open_group(fd, grp); },
                                    [&t, &listing](Checked& c) { judge(c, t, listing); },
                                    [](const Checked&) { return Cost{GROUP_FILE_MAX, 0}; }});
    if (t.formatted == 0 && lines) {
        warn("%s: no properly formatted checksum lines found", shell_quoted(listing).c_str());
        throw FatalError{1};
    }
    if (showunlisted) report_unlisted(fd, listed, t);
    count(t.malformed, "line is improperly formatted", "lines are improperly formatted");
    count(t.unreadable, "listed file could not be read", "listed files could not be read");
    count(t.mismatched, "computed checksum did NOT match", "computed checksums did NOT match");
    // As md5sum: with --ignore-missing, a run that found no file to match
    // verified nothing, whatever else failed.
    const bool none_verified = checkignoremissing && t.matched == 0;
    if (none_verified && checkoutput != CheckOutput::status)
        warn("%s: no file was verified", shell_quoted(listing).c_str());
    count(t.unlisted, "file is not listed", "files are not listed");
    if (t.unreadable || t.mismatched || t.unlisted || none_verified || (checkstrict && t.malformed))
        throw FatalError{1};
}
