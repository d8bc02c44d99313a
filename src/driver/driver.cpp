// The driver: one left-to-right scan of the command line. -l, -i, -o and -c
// run their job the moment they are met, and so do --help and --version,
// which also end the run; every other option only sets a setting. After the
// last word the store's maintenance (-V, -P) and the patch and archive jobs
// run, in a fixed order.

#include "driver/driver.h"

#include "archive/archive.h"
#include "patch/patch.h"
#include "check/check.h"
#include "db/db.h"
#include "util/settings.h"
#include "stream/statcache.h"
#include "util/cleanup.h"
#include "util/cpus.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/paths.h"
#include "util/progress.h"
#include "util/tempfile.h"
#include "util/execbit.h"
#include "util/limits.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#ifndef MDTREE_VERSION
#error "MDTREE_VERSION comes from the project version in CMakeLists.txt"
#endif

namespace {

// The most threads -j accepts, and the cap of the default.
constexpr int max_threads = 1024;

void print_usage(std::FILE* out, const char* progname) {
    std::fprintf(out, "usage: %s [options]\n", progname);
    std::fprintf(out, "      database options :\n");
    std::fprintf(out, "\t-l <dir> : output a snapshot of <dir>\n");
    std::fprintf(out, "\t-i <dir> : add <dir> in the database\n");
    std::fprintf(out, "\t-o <snapshot> : extract a snapshot\n");
    std::fprintf(out, "\t-R <dir> : define the database root\n");
    std::fprintf(out, "\t-V : verify the database\n");
    std::fprintf(out, "\t-P <snapshot> : prune what no -P <snapshot> references\n");
    std::fprintf(out, "\t-g <age> : let -P keep objects younger than <age> (default: 14d)\n");
    std::fprintf(out, "      patch options :\n");
    std::fprintf(out, "\t-f <dir> : define the `from' directory\n");
    std::fprintf(out, "\t-t <dir> : define the `to' directory\n");
    std::fprintf(out, "\t-p <dir> : define the `patch' directory\n");
    std::fprintf(out, "\t-F : force the patch\n");
    std::fprintf(out, "\t-r : undo the patch\n");
    std::fprintf(out, "\t-n : print what would be done\n");
    std::fprintf(out, "\t-A : define an installation administration file\n");
    std::fprintf(out, "      archive options :\n");
    std::fprintf(out, "\t-f <dir> : create an archive from <dir>\n");
    std::fprintf(out, "\t-t <dir> : extract an archive to <dir>\n");
    std::fprintf(out, "\t-a <vokfile> : define the archive name\n");
    std::fprintf(out, "      check options :\n");
    std::fprintf(out, "\t-c <snapshot> : check a tree against <snapshot>\n");
    std::fprintf(out, "\t-C <dir> : define the tree to check (default: .)\n");
    std::fprintf(out, "\t-u : also report files that <snapshot> does not name\n");
    std::fprintf(out, "\t-c - : read the snapshot from standard input\n");
    std::fprintf(out, "\t--quiet : -c prints no OK lines\n");
    std::fprintf(out, "\t--status : -c prints nothing, the status tells\n");
    std::fprintf(out, "\t--warn : -c warns of each improperly formatted line\n");
    std::fprintf(out, "\t--strict : -c fails on improperly formatted lines\n");
    std::fprintf(out, "\t--ignore-missing : -c passes over missing files\n");
    std::fprintf(out, "      misc options :\n");
    std::fprintf(out, "\t-h : display this stuff\n");
    std::fprintf(out, "\t-j <n> : run <n> threads at once (default: one per CPU)\n");
    std::fprintf(out, "\t--no-progress : no status line on a terminal\n");
    std::fprintf(out, "\t--cache <file> : keep a stat cache for -l, -i and -f/-t/-p of a directory\n");
}

// The argument of -j: decimal digits only, 1 to max_threads; anything else
// is a usage error.
int thread_count(const char* word, const char* progname) {
    if (*word == '\0') usage(progname);
    int n = 0;
    for (const char* c = word; *c; ++c) {
        if (*c < '0' || *c > '9') usage(progname);
        n = n * 10 + (*c - '0');
        if (n > max_threads) usage(progname);
    }
    if (n < 1) usage(progname);
    return n;
}

// The argument of -g: decimal digits and a unit, s, m, h or d, at most 100
// years; anything else is a usage error.
std::time_t grace_period(const char* word, const char* progname) {
    constexpr std::time_t most = 36500L * 86400;
    std::time_t n = 0;
    const char* c = word;
    for (; *c >= '0' && *c <= '9'; ++c) {
        n = n * 10 + (*c - '0');
        if (n > most) usage(progname);
    }
    if (c == word || c[0] == '\0' || c[1] != '\0') usage(progname);
    const std::time_t unit = *c == 's' ? 1 : *c == 'm' ? 60 : *c == 'h' ? 3600 : *c == 'd' ? 86400 : 0;
    if (unit == 0 || n > most / unit) usage(progname);
    return n * unit;
}

// Runs one job under its status line (util/progress.h).
template <class Job>
void with_progress(const char* what, Job job) {
    const ProgressJob shown(what);
    job();
}

// md5sum's options for -c. Like --no-progress they count wherever they
// stand, so they are read before the scan; of --quiet, --status and --warn
// the last one wins, as in md5sum. True for such a word, which sets its
// setting when apply is true.
bool check_option(const char* word, bool apply) {
    static const struct {
        const char* word;
        CheckOutput output;
        int* flag;
    } options[] = {{"--quiet", CheckOutput::quiet, nullptr},
                   {"--status", CheckOutput::status, nullptr},
                   {"--warn", CheckOutput::warn, nullptr},
                   {"--strict", CheckOutput::normal, &checkstrict},
                   {"--ignore-missing", CheckOutput::normal, &checkignoremissing}};
    for (const auto& o : options) {
        if (std::strcmp(word, o.word) != 0) continue;
        if (apply && o.flag) *o.flag = 1;
        if (apply && !o.flag) checkoutput = o.output;
        return true;
    }
    return false;
}

// Whether path names what standard input holds when that is a pipe, a
// socket or a device ("/dev/stdin"): a second reader there would take the
// archive's bytes. A regular file on standard input is read apart.
bool is_standard_input(const char* path) {
    struct stat in, st;
    if (::fstat(STDIN_FILENO, &in) != 0 || S_ISREG(in.st_mode)) return false;
    return ::stat(path, &st) == 0 && st.st_dev == in.st_dev && st.st_ino == in.st_ino;
}

// Refuses, before any job runs, a run whose archive on "-a -" would share
// standard output or standard input with another job: the bytes of both
// would mix. The command line is read as the scan reads it; a scan that
// stops early (--help, a usage error) runs no archive job at all.
void refuse_second_std_user(int argc, char** argv) {
    std::string writer;            // the first other job that writes standard output
    std::string reader;            // the first other job that reads standard input
    const char* source = nullptr;  // -f: a tree, or a listing that may be standard input
    const char* archive = "";      // -a, as given
    bool to = false, patch = false, root = false, piped = false, piped_in = false;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word[0] != '-') continue;
        if (std::strcmp(word, "-") == 0 && i > 1 && std::strcmp(argv[i - 1], "-a") == 0) continue;
        if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "--version") == 0) return;
        if (std::strcmp(word, "--no-progress") == 0 || check_option(word, false)) continue;
        if (std::strcmp(word, "--cache") == 0) {
            ++i;
            continue;
        }
        const char opt = word[1];
        const std::string name{'-', opt};
        if (opt == 'V' && writer.empty()) writer = name;
        if (opt == 'F' || opt == 'r' || opt == 'n' || opt == 'u' || opt == 'V') continue;
        if (opt == '\0' || !std::strchr("lioPcjgCRftpaA", opt) || i + 1 >= argc) return;
        const char* arg = argv[i + 1];
        const bool job = std::strchr("lioPc", opt) != nullptr;  // runs the moment it is met
        if (job && writer.empty() && (opt != 'c' || checkoutput != CheckOutput::status)) writer = name;
        if (opt == 'c' && std::strcmp(arg, "-") == 0) {
            if (reader.empty()) reader = "-c -";
            ++i;
        } else if (job && reader.empty() && is_standard_input(arg)) {
            reader = name;
        }
        if (opt == 'f') source = arg;
        to = to || opt == 't';
        patch = patch || opt == 'p';
        root = root || opt == 'R';
        if (opt == 'a') {
            // "-", or for extraction a path naming the same pipe (/dev/stdin).
            archive = arg;
            piped = std::strcmp(arg, "-") == 0;
            piped_in = piped || is_standard_input(arg);
        }
    }
    // A store root turns the patch and archive jobs off (see dispatch).
    if (!piped_in || root) return;
    // With -f the archive is made on standard output, with -t read from
    // standard input.
    if (source && patch && writer.empty()) writer = "the patch";
    if (source && reader.empty() && is_standard_input(source)) reader = "-f";
    if (source && piped && !writer.empty()) fatal(1, "-a - and %s both write to standard output", writer.c_str());
    if (to && !reader.empty()) fatal(1, "-a %s and %s both read standard input", archive, reader.c_str());
}

// Returns false when --help or --version has ended the run.
bool scan(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word[0] != '-') continue;
        // The "-" of "-a -" names standard input or output: it is no option.
        if (std::strcmp(word, "-") == 0 && i > 1 && std::strcmp(argv[i - 1], "-a") == 0) continue;
        // The long words are matched whole; any other word that starts with
        // "--" falls to the letter '-', which is no option.
        if (std::strcmp(word, "--help") == 0) {
            print_usage(stdout, argv[0]);
            return false;
        }
        if (std::strcmp(word, "--version") == 0) {
            std::fputs("mdtree " MDTREE_VERSION "\n", stdout);
            return false;
        }
        // Read before the scan (see mdtree_main).
        if (std::strcmp(word, "--no-progress") == 0 || check_option(word, false)) continue;
        if (std::strcmp(word, "--cache") == 0) {
            ++i;
            continue;
        }
        const char opt = word[1];
        if (opt == 'F') { forcepatch = 1; continue; }
        if (opt == 'r') { reverse = 1 - reverse; continue; }
        if (opt == 'n') { onlyshow = 1; continue; }
        if (opt == 'u') { showunlisted = 1; continue; }
        if (opt == 'V') { verifydb = 1; continue; }
        char** target = nullptr;
        switch (opt) {
        case 'l': case 'i': case 'o': case 'j': case 'c': case 'P': case 'g': break;
        case 'C': target = &checkdir; break;
        case 'R': target = &dbroot; break;
        case 'f': target = &fromdir; break;
        case 't': target = &todir; break;
        case 'p': target = &patchdir; break;
        case 'a': target = &archname; break;
        case 'A': target = &adminname; break;
        default: usage(argv[0]);
        }
        // The argument is the next word, which still gets its own turn in
        // the scan: "-f -n" sets fromdir from "-n" and also sets onlyshow.
        if (i + 1 >= argc) usage(argv[0]);
        if (opt == 'j') {
            nthreads = thread_count(argv[i + 1], argv[0]);
            jobs_given = 1;
            continue;
        }
        if (opt == 'g') {
            graceperiod = grace_period(argv[i + 1], argv[0]);
            continue;
        }
        if (opt == 'c') {
            // "-c -" reads standard input: the "-" is no option of its own.
            const char* given = argv[i + 1];
            const bool from_stdin = std::strcmp(given, "-") == 0;
            const char* source = from_stdin ? given : absolute(argv[i + 1]);
            if (from_stdin) ++i;
            // A listing typed on the terminal: a status line would be drawn
            // into the line the person types.
            if (from_stdin && ::isatty(STDIN_FILENO))
                checktree(source, given);
            else
                with_progress("checking", [source, given] { checktree(source, given); });
            continue;
        }
        // "-a -" is the archive on standard input or output, not a file.
        char* arg = opt == 'a' && std::strcmp(argv[i + 1], "-") == 0 ? copy("-") : absolute(argv[i + 1]);
        if (target) {
            *target = arg;
        } else if (opt == 'l') {
            with_progress("listing", [arg] { db_list(arg); });
        } else if (opt == 'i') {
            with_progress("storing", [arg] { db_in(arg); });
        } else if (opt == 'o') {
            with_progress("restoring", [arg] { db_out(arg); });
        } else {
            prunesources.push_back(arg);
        }
    }
    return true;
}

void dispatch() {
    // The store's maintenance runs once the whole command line is read, so
    // that -n and every -P count wherever they stand.
    if (verifydb) with_progress("verifying", db_verify);
    if (!prunesources.empty()) with_progress("pruning", [] { db_prune(prunesources); });
    // A known database root means a database run: no patch or archive work.
    if (dbroot) fromdir = todir = patchdir = nullptr;
    if (fromdir && patchdir) {
        if (todir)
            with_progress("making a patch", [] { mkpatch(fromdir, todir, patchdir); });
        else
            with_progress("applying", [] { applypatch(fromdir, patchdir); });
    }
    if (fromdir && archname) with_progress("archiving", createarchive);
    if (todir && archname) with_progress("extracting", extractarchive);
}

}  // namespace

void usage(const char* progname) {
    std::fflush(stdout);
    print_usage(stderr, progname);
    throw FatalError{2};
}

int mdtree_main(int argc, char** argv) {
    // Before any file is opened: a run started with a standard descriptor
    // closed would otherwise hand that number to the first file it creates,
    // and its printed lines would land in that file.
    open_std_fds();
    // Work in flight is sized to the descriptors: take all the system allows.
    raise_descriptor_limit();
    fit_memory_limit();
    install_signal_cleanup(progress_erase_for_signal);
    remember_umask();
    // Listings can run to millions of lines: a large buffer keeps the write
    // calls few. A terminal keeps its line buffering.
    static char outbuf[1 << 16];
    if (!::isatty(STDOUT_FILENO)) std::setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
    // The archive jobs print a line per file on standard error: buffered
    // too, unless a person watches it. A line on either stream first
    // flushes the other (see util/escape.cpp), so the two keep their order.
    static char errbuf[1 << 16];
    if (!::isatty(STDERR_FILENO)) std::setvbuf(stderr, errbuf, _IOFBF, sizeof errbuf);
    const char* progname = argc > 0 ? argv[0] : "mdtree";
    nthreads = std::min(cpus_available(), max_threads);
    // The status line is a matter of the whole run: --no-progress anywhere
    // on the command line keeps it off, also for the -l, -i and -o before it.
    bool progress = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-progress") == 0) progress = false;
        check_option(argv[i], true);
    }
    progress_setup(progress);
    try {
        if (argc <= 1) usage(progname);
        // Like --no-progress, a matter of the whole run: the last --cache
        // anywhere on the command line, from the directory the run starts in.
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--cache") != 0) continue;
            if (i + 1 >= argc || argv[i + 1][0] == '\0') usage(progname);
            cachefile = absolute(argv[++i]);
        }
        refuse_second_std_user(argc, argv);
        if (scan(argc, argv)) dispatch();
        // Only a run that finished writes its cache.
        commit_run_cache();
        // Status 0 promises that what the run reported is on the disk.
        sync_published();
        // Also the check of --help and --version: a failed write is status 1.
        flush_stdout();
        return flush_stderr() ? 0 : 1;
    } catch (const FatalError& e) {
        report(e);
        return e.status;
    } catch (const std::bad_alloc&) {
        err_text("mdtree: out of memory\n");
        return 1;
    }
}
