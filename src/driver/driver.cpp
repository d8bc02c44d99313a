// The driver: one left-to-right scan of the command line. -l, -i and -o run
// their job the moment they are met; every other option only sets a setting.
// After the last word the patch and archive jobs run, in a fixed order.

#include "driver/driver.h"

#include "driver/jobs.h"
#include "driver/settings.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/paths.h"

#include <cstdio>
#include <new>
#include <unistd.h>

char* fromdir = nullptr;
char* todir = nullptr;
char* patchdir = nullptr;
char* archname = nullptr;
char* adminname = nullptr;
char* dbroot = nullptr;
int forcepatch = 0;
int reverse = 0;
int onlyshow = 0;

void usage(const char* progname) {
    std::fflush(stdout);
    std::fprintf(stderr, "usage: %s [options]\n", progname);
    std::fprintf(stderr, "      database options :\n");
    std::fprintf(stderr, "\t-l <dir> : output a snapshot of <dir>\n");
    std::fprintf(stderr, "\t-i <dir> : add <dir> in the database\n");
    std::fprintf(stderr, "\t-o <snapshot> : extract a snapshot\n");
    std::fprintf(stderr, "\t-R <dir> : define the database root\n");
    std::fprintf(stderr, "      patch options :\n");
    std::fprintf(stderr, "\t-f <dir> : define the `from' directory\n");
    std::fprintf(stderr, "\t-t <dir> : define the `to' directory\n");
    std::fprintf(stderr, "\t-p <dir> : define the `patch' directory\n");
    std::fprintf(stderr, "\t-F : force the patch\n");
    std::fprintf(stderr, "\t-r : undo the patch\n");
    std::fprintf(stderr, "\t-n : print what would be done\n");
    std::fprintf(stderr, "\t-A : define an installation administration file\n");
    std::fprintf(stderr, "      archive options :\n");
    std::fprintf(stderr, "\t-f <dir> : create an archive from <dir>\n");
    std::fprintf(stderr, "\t-t <dir> : extract an archive to <dir>\n");
    std::fprintf(stderr, "\t-a <vokfile> : define the archive name\n");
    std::fprintf(stderr, "      misc options :\n");
    std::fprintf(stderr, "\t-h : display this stuff\n");
    throw FatalError{2};
}

namespace {

void scan(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word[0] != '-') continue;
        const char opt = word[1];
        if (opt == 'F') { forcepatch = 1; continue; }
        if (opt == 'r') { reverse = 1 - reverse; continue; }
        if (opt == 'n') { onlyshow = 1; continue; }
        char** target = nullptr;
        switch (opt) {
        case 'l': case 'i': case 'o': break;
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
        char* arg = absolute(argv[i + 1]);
        if (target) {
            *target = arg;
        } else if (opt == 'l') {
            db_list(arg);
        } else if (opt == 'i') {
            db_in(arg);
        } else {
            db_out(arg);
        }
    }
}

void dispatch() {
    // A known database root means a database run: no patch or archive work.
    if (dbroot) fromdir = todir = patchdir = nullptr;
    if (fromdir && patchdir) {
        if (todir)
            mkpatch(fromdir, todir, patchdir);
        else
            applypatch(fromdir, patchdir);
    }
    if (fromdir && archname) createarchive();
    if (todir && archname) extractarchive();
}

} // namespace

int mdtree_main(int argc, char** argv) {
    // Listings can run to millions of lines: a large buffer keeps the write
    // calls few. A terminal keeps its line buffering.
    static char outbuf[1 << 16];
    if (!::isatty(STDOUT_FILENO)) std::setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
    const char* progname = argc > 0 ? argv[0] : "mdtree";
    try {
        if (argc <= 1) usage(progname);
        scan(argc, argv);
        dispatch();
        flush_stdout();
        return 0;
    } catch (const FatalError& e) {
        std::fflush(stdout);
        return e.status;
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        std::fprintf(stderr, "mdtree: out of memory\n");
        return 1;
    }
}
