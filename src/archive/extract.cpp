// Archive extraction (-t DIR -a ARCHIVE): every member of a checked table,
// in table order, inflated into a temporary file beside its target and
// hashed as it is written. Only a member whose size and digest match its
// entry is renamed over the target; any other leaves the target as it was,
// so a damaged archive can never destroy a good file. A member whose name
// could reach outside the target directory, or pass through a symbolic
// link, is not written at all. Workers inflate, hash and write each member
// into its temporary file; the members are verified, published and reported
// in table order.

#include "archive/extract.h"

#include "archive/codec.h"
#include "archive/format.h"
#include "driver/jobs.h"
#include "driver/settings.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/tempfile.h"
#include "util/escape.h"
#include "util/guard.h"
#include "util/paths.h"
#include "util/pipeline.h"
#include "md5lib/md5_many.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Members up to GROUPED_MAX bytes go in groups of up to GROUP_MAX members
// and GROUP_BYTES of content: a worker inflates a group's members side by
// side and hashes them in one call, which computes many digests at once
// where one after another each would wait on its own. Groups are cut by
// the table alone, never by the number of threads.
constexpr std::size_t GROUP_MAX = 32;
constexpr uint64_t GROUP_BYTES = 1u << 20;
constexpr uint64_t GROUPED_MAX = 128u << 10;

struct Member {
    const ArchiveMember* m = nullptr;
    std::string dest;
    std::string refusal;  // why the member is not written at all
    // A member that is not published takes away the directories made for
    // it; destroyed after out, when they are empty again.
    std::optional<MadeFor> made;
    std::unique_ptr<TempFile> out;
    bool whole = false;
    uint64_t at = 0;  // where a grouped member's content lies in the group's buffer
    bool set_up = false;  // its target is checked and its directories made
    char hex[MD5_HEX_SIZE];
    std::exception_ptr error;  // making or writing its temporary file failed
};

// Consecutive members of the table, one pipeline item. Taken apart newest
// first, as the pipeline takes apart its items: a later member's temporary
// file may sit in a directory made for an earlier one.
struct Group {
    std::deque<Member> members;
    bool small = true;  // else one member, inflated on its own
    uint64_t bytes = 0;  // the contents of the members to write
    Group() = default;
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;
    ~Group() {
        while (!members.empty()) members.pop_back();
    }
};

// Inflates member m of the archive open on fd into out, hashing what is
// written into hex. False when the stream is damaged, ends early, or yields
// a size other than origsize.
bool inflate_member(int fd, const char* path, const ArchiveMember& m, TempFile& out, char* hex) {
    md5_context ctx;
    md5_init_ctx(&ctx);
    const char* out_name = out.final_path().c_str();
    // A sound stream is never much larger than its content: a member whose
    // claims stay small is read and inflated whole, any other streams.
    if (m.origsize <= WHOLE_MAX && m.compsize <= 2 * WHOLE_MAX) {
        unsigned char* comp = scratch(m.compsize, 0);
        // An archive that ends inside the member gives a short read.
        if (pread_fd(fd, comp, m.compsize, m.offset, path) != m.compsize) return false;
        unsigned char* data = scratch(m.origsize, 1);
        if (!inflate_whole(comp, m.compsize, data, m.origsize)) return false;
        md5_process_bytes(data, m.origsize, &ctx);
        write_fd(out.fd(), data, m.origsize, out_name);
    } else if (!inflate_stream(fd, path, m.offset, m.compsize, m.origsize, out.fd(), out_name, &ctx)) {
        return false;
    }
    md5_finish_hex(&ctx, hex);
    return true;
}

// The heavy part of a group, on a worker: every member to be written gets
// its temporary file, inflated content and digest. A failure stops the
// group at its member, which reports it in its turn.
void inflate_group(int fd, const char* path, Group& g) {
    if (!g.small) {
        Member& x = g.members.front();
        if (!x.refusal.empty()) return;
        try {
            x.out = std::make_unique<TempFile>(x.dest);
            x.whole = inflate_member(fd, path, *x.m, *x.out, x.hex);
            x.out->close();
        } catch (...) {
            x.error = std::current_exception();
        }
        return;
    }
    // Every content of the group in one buffer, then all digests at once.
    unsigned char* data = scratch(g.bytes, 1);
    Md5Batch batch;
    for (Member& x : g.members) {
        if (!x.refusal.empty()) continue;
        const ArchiveMember& m = *x.m;
        try {
            x.out = std::make_unique<TempFile>(x.dest);
            unsigned char* comp = scratch(m.compsize, 0);
            // An archive that ends inside the member gives a short read.
            if (pread_fd(fd, comp, m.compsize, m.offset, path) != m.compsize) continue;
            if (!inflate_whole(comp, m.compsize, data + x.at, m.origsize)) continue;
        } catch (...) {
            x.error = std::current_exception();
            break;
        }
        x.whole = true;
        batch.add(data + x.at, m.origsize, x.hex);
    }
    batch.run();
    for (Member& x : g.members) {
        if (x.error) break;
        if (!x.out) continue;
        try {
            if (x.whole) write_fd(x.out->fd(), data + x.at, x.m->origsize, x.out->final_path().c_str());
            x.out->close();
        } catch (...) {
            x.error = std::current_exception();
            break;
        }
    }
}

// The decisions of one member, in table order on the calling thread.
// Lines about members that are not published wait for the files queued
// before them, so that the report keeps table order.
void publish(Member& x, PublishBatch& batch) {
    if (x.error) std::rethrow_exception(x.error);
    const ArchiveMember& m = *x.m;
    if (!x.refusal.empty()) {
        batch.flush();
        warn("refusing member '%s': %s", m.name, x.refusal.c_str());
    } else if (x.whole && std::memcmp(x.hex, m.md5, MD5_HEX_SIZE) == 0) {
        x.made->keep();
        batch.add(std::move(x.out), m.origsize, [name = m.name] { print_name_line(stderr, "", name, ": OK"); });
    } else {
        // The temporary file goes with the member; the target keeps what it
        // held.
        batch.flush();
        print_name_line(stderr, "", m.name, ": Invalid checksum");
    }
}

} // namespace

void extract_archive(const char* path, const char* target) {
    File arc(FOPENG(path, "rb", __LINE__), path);
    const ArchiveTable t = read_archive_table(arc.get(), path);
    const int fd = ::fileno(arc.get());

    const std::string root(target);
    DirGuard guard;
    bool made_target = false;
    PublishBatch batch;
    Pipeline p(nthreads);
    publishing(batch, [&] { p.enumerate([&] {
        auto g = std::make_shared<Group>();
        auto submit = [&] {
            // A member whose setup failed goes (with the directories made
            // for it); the failure is reported after the members before it.
            if (!g->members.empty() && !g->members.back().set_up) g->members.pop_back();
            if (g->members.empty()) return;
            // A group holds its compressed and its inflated bytes at most; a
            // member too large to inflate whole streams through fixed buffers.
            std::size_t bytes = 0;
            for (const Member& x : g->members)
                if (x.refusal.empty() && x.m->origsize <= WHOLE_MAX) bytes += std::size_t(x.m->origsize) + x.m->compsize;
            p.submit_group(
                g, [fd, path](Group& grp) { inflate_group(fd, path, grp); },
                [&batch](Group& grp) {
                    for (Member& x : grp.members) publish(x, batch);
                },
                bytes, 1);
        };
        Pipeline::gather_groups([&] {
            for (const ArchiveMember& m : t.members) {
                const bool small = m.origsize <= GROUPED_MAX && m.compsize <= 2 * GROUPED_MAX;
                if (!small || g->members.size() == GROUP_MAX || g->bytes + m.origsize > GROUP_BYTES) submit();
                Member& x = g->members.emplace_back();
                x.m = &m;
                if (!is_safe_relpath(m.name)) {
                    x.refusal = "unsafe name";
                } else if (!join_path(x.dest, target, m.name)) {
                    x.refusal = "target path longer than " + std::to_string(PATH_MAXLEN) + " bytes";
                } else {
                    if (!made_target) {
                        // The target directory itself is the user's choice; it is
                        // made (with its parents) only once a member is about to
                        // be written.
                        make_parents(root + "/");
                        made_target = true;
                    }
                    x.made.emplace(guard, root, m.name);
                    const std::string link = guard.make(root, m.name);
                    if (!link.empty()) x.refusal = link.substr(root.size() + 1) + " is a symbolic link";
                }
                if (x.refusal.empty()) {
                    x.at = g->bytes;
                    g->bytes += m.origsize;
                }
                x.set_up = true;
                if (!small) {
                    g->small = false;
                    submit();
                }
            }
        }, submit);
    });
    p.finish(); });
    arc.close();
}

void extractarchive() { extract_archive(archname, todir); }
