// Archive extraction (-t DIR -a ARCHIVE): every member of a checked table,
// in table order, inflated into a temporary file in the target directory
// and hashed as it is written. Only a member whose size and digest match its
// entry is renamed over the target; any other leaves the target as it was,
// so a damaged archive can never destroy a good file. A member whose name
// could reach outside the target directory, or pass through a symbolic
// link, is not written at all. Workers inflate, hash and write each member
// into its temporary file; the members are verified, published and reported
// in table order, and a member's directories are made only when it is
// published: a later member never changes what an earlier one meets, so
// the results are the same at any thread count.

#include "archive/archive.h"

#include "archive/codec.h"
#include "archive/spool.h"
#include "format/archive.h"
#include "util/settings.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/publish.h"
#include "util/guard.h"
#include "util/paths.h"
#include "util/pipeline.h"
#include "util/progress.h"
#include "md5lib/md5_many.h"
#include "util/execbit.h"

#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Members up to GROUPED_MEMBER_MAX bytes go in groups of up to GROUP_MEMBERS_MAX members
// and GROUP_CONTENT_MAX of content: a worker inflates a group's members side by
// side and hashes them in one call, which computes many digests at once
// where one after another each would wait on its own. Groups are cut by
// the table alone, never by the number of threads.
constexpr std::size_t GROUP_MEMBERS_MAX = 32;
constexpr uint64_t GROUP_CONTENT_MAX = 1u << 20;
constexpr uint64_t GROUPED_MEMBER_MAX = 128u << 10;

// Where a member stands. A member set up for writing is inflated by a
// worker, which finds its content whole (of the size its entry gives, and
// hashed) or its stream damaged; a refused member is never written at all.
enum class State { refused, to_inflate, inflated, damaged };

struct Member {
    const ArchiveMember* m = nullptr;
    State state = State::to_inflate;
    std::string dest;
    std::string refusal;  // why the member is refused
    std::unique_ptr<TempFile> out;
    DirRef top;       // the target directory, where its temporary file is made
    uint64_t at = 0;  // where a grouped member's content lies in the group's buffer
    char hex[MD5_HEX_SIZE];
};

bool grouped(const ArchiveMember& m) {
    return m.origsize <= GROUPED_MEMBER_MAX && m.compsize <= STREAM_GROWTH_MAX * GROUPED_MEMBER_MAX;
}

// A large member inflated whole holds its compressed and its inflated bytes
// at once. All workers together hold at most WHOLE_BUDGET of them, in
// buffers handed back to the system after each member; a member that finds
// the budget taken streams through fixed buffers instead (the same bytes, a
// little slower). Memory then stays bounded whatever the thread count and
// whatever sizes the table claims.
constexpr uint64_t WHOLE_BUDGET = 20u << 20;
std::atomic<uint64_t> whole_in_use{0};

class WholeBuffer {
public:
    WholeBuffer() = default;
    WholeBuffer(const WholeBuffer&) = delete;
    WholeBuffer& operator=(const WholeBuffer&) = delete;
    ~WholeBuffer() {
        if (p_) ::munmap(p_, n_);
        if (n_) whole_in_use.fetch_sub(n_);
    }
    // n bytes from the budget, mapped (never kept by the allocator); false
    // when the budget or the memory is not there.
    bool take(uint64_t n) {
        n = n ? n : 1;
        uint64_t used = whole_in_use.load();
        do {
            if (used + n > WHOLE_BUDGET) return false;
        } while (!whole_in_use.compare_exchange_weak(used, used + n));
        n_ = std::size_t(n);
        void* p = ::mmap(nullptr, n_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return false;
        p_ = static_cast<unsigned char*>(p);
        return true;
    }
    unsigned char* get() const { return p_; }

private:
    unsigned char* p_ = nullptr;
    std::size_t n_ = 0;
};

// Inflates member m of the archive open on fd into out, hashing what is
// written into hex. False when the stream is damaged, ends early, or yields
// a size other than origsize.
bool inflate_member(int fd, const char* path, const ArchiveMember& m, TempFile& out, char* hex) {
    md5_context ctx;
    md5_init_ctx(&ctx);
    const char* out_name = out.final_path().c_str();
    // A sound stream is never much larger than its content: a member whose
    // claims stay small is read and inflated whole when the budget allows,
    // any other streams.
    WholeBuffer buf;
    if (m.origsize <= WHOLE_MAX && m.compsize <= STREAM_GROWTH_MAX * WHOLE_MAX && buf.take(m.compsize + m.origsize)) {
        unsigned char* comp = buf.get();
        unsigned char* data = comp + m.compsize;
        // An archive that ends inside the member gives a short read.
        if (pread_fd(fd, comp, m.compsize, m.offset, path) != m.compsize) return false;
        if (!inflate_whole(comp, m.compsize, data, m.origsize)) return false;
        md5_process_bytes(data, m.origsize, &ctx);
        write_fd(out.fd(), data, m.origsize, out_name);
    } else if (!inflate_stream(fd, path, m.offset, m.compsize, m.origsize, out.fd(), out_name, &ctx, nthreads > 1)) {
        return false;
    }
    md5_finish_hex(&ctx, hex);
    return true;
}

// A member too large to go in a group, inflated on its own.
void inflate_alone(int fd, const char* path, const std::string& root, EntryGroup<Member>& g) {
    Member& x = g.entries.front();
    if (x.state == State::refused) return;
    try {
        x.out = std::make_unique<TempFile>(x.dest, TempFile::In{root}, x.top);
        x.state = inflate_member(fd, path, *x.m, *x.out, x.hex) ? State::inflated : State::damaged;
        give_exec_bit(x.out->fd(), (x.m->flags & ENTRY_EXEC) != 0, x.out->final_path().c_str());
        x.out->close();
    } catch (...) {
        g.fail(x, std::current_exception());
    }
}

// Writes each inflated member of a group into its temporary file, one open
// at a time: a worker holds one descriptor, whatever the group's size. A
// damaged member gets its (empty) temporary file too, so that a target
// where none can be made is reported as it would be for a sound member.
void write_group(EntryGroup<Member>& g, const std::string& root, const unsigned char* data) {
    for (Member& x : g.entries) {
        if (g.stopped(x)) break;
        if (x.state == State::refused) continue;
        try {
            x.out = std::make_unique<TempFile>(x.dest, TempFile::In{root}, x.top);
            if (x.state == State::inflated)
                write_fd(x.out->fd(), data + x.at, x.m->origsize, x.out->final_path().c_str());
            give_exec_bit(x.out->fd(), (x.m->flags & ENTRY_EXEC) != 0, x.out->final_path().c_str());
            x.out->close();
        } catch (...) {
            g.fail(x, std::current_exception());
            break;
        }
    }
}

// The heavy part of a group, on a worker: every member to be written gets
// its temporary file (in the target directory root, which exists),
// inflated content and digest. A failure stops the group at its member,
// which reports it in its turn.
void inflate_group(int fd, const char* path, const std::string& root, EntryGroup<Member>& g) {
    if (!grouped(*g.entries.front().m)) return inflate_alone(fd, path, root, g);
    uint64_t bytes = 0;
    for (Member& x : g.entries) {
        if (x.state == State::refused) continue;
        x.at = bytes;
        bytes += x.m->origsize;
    }
    // Every content of the group in one buffer, then all digests at once.
    unsigned char* data = scratch(bytes, ScratchSlot::inflated);
    Md5Batch batch;
    for (Member& x : g.entries) {
        if (x.state == State::refused) continue;
        const ArchiveMember& m = *x.m;
        x.state = State::damaged;
        try {
            unsigned char* comp = scratch(m.compsize, ScratchSlot::input);
            // An archive that ends inside the member gives a short read.
            if (pread_fd(fd, comp, m.compsize, m.offset, path) != m.compsize) continue;
            if (!inflate_whole(comp, m.compsize, data + x.at, m.origsize)) continue;
        } catch (...) {
            g.fail(x, std::current_exception());
            break;
        }
        batch.add(data + x.at, m.origsize, x.hex);
        x.state = State::inflated;
    }
    batch.run();
    write_group(g, root, data);
}

// The target directory and what is decided there, on the calling thread.
struct Target {
    std::string root;
    DirGuard guard;
    DirRef top;  // root, once made
    bool made = false;
    dev_t dev = 0;         // root's file system
    std::string last_dir;  // the directory same_fs looked at last, and its answer
    bool last_same = true;

    void make_root() {
        if (made) return;
        // The target directory itself is the user's choice; it is made (with
        // its parents) only once a member is about to be written.
        make_parents(root + "/");
        top = open_root(root);
        struct stat st;
        if (::stat(root.c_str(), &st) == 0) dev = st.st_dev;
        made = true;
    }
    // Whether dest's directory is on root's file system, where a temporary
    // file in root can be renamed to dest.
    bool same_fs(const std::string& dest) {
        const std::string_view dir = std::string_view(dest).substr(0, dest.rfind('/'));
        if (dir != last_dir) {
            last_dir.assign(dir);
            struct stat st;
            last_same = ::stat(last_dir.c_str(), &st) != 0 || st.st_dev == dev;
        }
        return last_same;
    }
};

std::string link_refusal(const std::string& link, const std::string& root) {
    return link.substr(root.size() + 1) + " is a symbolic link";
}

// Checks a member's name and target, on the calling thread in table order.
// Nothing is made but the target directory itself: a member's directories
// wait for its publication.
Member set_up(const ArchiveMember& m, Target& t) {
    Member x;
    x.m = &m;
    if (!is_safe_relpath(m.name)) {
        x.refusal = "unsafe name";
    } else if (!join_path(x.dest, t.root, m.name)) {
        x.refusal = "target path longer than " + std::to_string(PATH_MAXLEN) + " bytes";
    } else {
        t.make_root();
        // A link already there refuses the member before any work;
        // publication looks again.
        const std::string link = t.guard.find_link(t.root, m.name);
        if (!link.empty()) x.refusal = link_refusal(link, t.root);
        x.top = t.top;
    }
    if (!x.refusal.empty()) x.state = State::refused;
    return x;
}

// Copies the verified temporary file beside its target, in a directory on
// another file system (a mount point below the target), where a rename
// from the target directory can not reach.
void place_across(Member& x, const DirRef& dir) {
    const std::string& tmp = x.out->temp_path();
    Fd in(open_regular_fd(tmp.c_str(), __LINE__, true));
    TempFile beside(x.dest, dir);
    copy_fd(in.get(), tmp.c_str(), beside.fd(), x.dest.c_str());
    give_exec_bit(beside.fd(), (x.m->flags & ENTRY_EXEC) != 0, x.dest.c_str());
    beside.commit();
}

// Publishes a member inflated and verified. Its directories are made here,
// after every earlier member's publication; the rename waits in the batch.
void publish_verified(Member& x, Target& t, PublishBatch& batch) {
    const ArchiveMember& m = *x.m;
    // A file still waiting in the batch may stand where this member needs a
    // directory: it is published first, as it would have been already.
    batch.flush_if_pending_on_the_way(x.dest);
    // Directories made for a member that is not published go again.
    // Its directory is opened as it stands now, and the rename goes through
    // it: one swapped for a link since the check at set-up is refused too.
    MadeFor made(t.guard, t.root, m.name);
    std::string link;
    DirRef dir = t.guard.parent(t.root, m.name, true, link);
    if (!link.empty()) {
        batch.flush();
        warn("refusing member '%s': %s", m.name, link_refusal(link, t.root).c_str());
        return;
    }
    made.keep();
    auto report = [name = m.name] { print_name_line(stderr, "", name, ": OK"); };
    if (t.same_fs(x.dest)) return batch.add(std::move(x.out), m.origsize, report, x.dest);
    batch.flush();
    place_across(x, dir);
    report();
}

// The decisions of one member, in table order on the calling thread. Lines
// about members that are not published wait for the files queued before
// them, so the report keeps table order.
void publish(Member& x, Target& t, PublishBatch& batch) {
    progress_file();
    switch (x.state) {
    case State::inflated:
        if (std::memcmp(x.hex, x.m->md5, MD5_HEX_SIZE) == 0) return publish_verified(x, t, batch);
        [[fallthrough]];
    case State::to_inflate:  // never inflated: never published
    case State::damaged:
        // The temporary file goes with the member; the target keeps what it
        // held.
        batch.flush();
        print_name_line(stderr, "", x.m->name, ": Invalid checksum");
        return;
    case State::refused:
        batch.flush();
        warn("refusing member '%s': %s", x.m->name, x.refusal.c_str());
        return;
    }
}

// Extracts the archive open on arc (named path in messages) into target.
void extract_open(File arc, const char* path, const char* target) {
    const ArchiveTable t = read_archive_table(arc.get(), path);
    const int fd = ::fileno(arc.get());
    uint64_t compressed = 0;
    for (const ArchiveMember& m : t.members) compressed += m.compsize;
    progress_totals(t.members.size(), compressed);

    Target tg;
    tg.root = target;
    const std::string& root = tg.root;
    PublishBatch batch(true);
    // The rename looks at the member's directories again: one swapped for a
    // link since its publication was decided is refused, not followed.
    batch.resolve_dirs([&tg](const std::string& dest, bool anew) {
        const std::string_view rel = std::string_view(dest).substr(tg.root.size() + 1);
        if (anew) tg.guard.forget(tg.root, rel);
        return tg.guard.parent_or_die(tg.root, rel, true);
    });
    Pipeline p(nthreads);
    auto gather = [&](Gathering<Member>& g) {
        for (const ArchiveMember& m : t.members) {
            const bool small = grouped(m);
            uint64_t bytes = 0;
            for (const Member& x : g.group())
                if (x.state != State::refused) bytes += x.m->origsize;
            // A large member goes alone: workers take the heaviest first.
            if (!small) {
                g.add_alone(set_up(m, tg), std::size_t(m.origsize));
                continue;
            }
            if (bytes + m.origsize > GROUP_CONTENT_MAX) g.cut();
            g.add(set_up(m, tg));
        }
    };
    // A group holds its compressed and its inflated bytes at most; a member
    // too large to inflate whole streams through fixed buffers. A worker
    // holds one file of a group open at a time: a group takes one place.
    auto cost = [](const Member& x) {
        const ArchiveMember& m = *x.m;
        const bool held = x.state != State::refused && m.origsize <= WHOLE_MAX;
        return Cost{held ? std::size_t(m.origsize) + m.compsize : 0, 0};
    };
    auto work = [fd, path, &root](EntryGroup<Member>& g) { inflate_group(fd, path, root, g); };
    auto decide = [&tg, &batch](Member& x) { publish(x, tg, batch); };
    publishing(batch, [&] { run_grouped(p, GROUP_MEMBERS_MAX, gather, GroupedJob<Member>{work, decide, cost}); });
    arc.close();
}

}  // namespace

namespace {

// Extracts the archive read from in (named name) into target. The whole
// archive is read before anything is extracted: a pipe that closes early
// leaves a spool whose table is refused, and no file.
void extract_spooled(int in, const char* name, const char* target) {
    Fd spool = receive_spool(in, name);
    std::FILE* fp = ::fdopen(::dup(spool.get()), "rb");
    if (!fp) fatal_errno("can not open", name);
    extract_open(File(fp, name), name, target);
}

}  // namespace

void extract_archive(const char* path, const char* target) {
    File arc(FOPENG(path, "rb", __LINE__), path);
    struct stat st;
    if (::fstat(::fileno(arc.get()), &st) != 0) fatal_errno("can not stat", path);
    if (!is_streamed(st)) return extract_open(std::move(arc), path, target);
    refuse_terminal(::fileno(arc.get()), path, false);
    extract_spooled(::fileno(arc.get()), path, target);
}

void extractarchive() {
    if (!is_pipe_archive(archname)) return extract_archive(archname, todir);
    check_pipe_end(STDIN_FILENO);
    extract_spooled(STDIN_FILENO, "standard input", todir);
}
