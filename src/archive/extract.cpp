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

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

} // namespace

void extract_archive(const char* path, const char* target) {
    File arc(FOPENG(path, "rb", __LINE__), path);
    const ArchiveTable t = read_archive_table(arc.get(), path);
    const int fd = ::fileno(arc.get());

    struct Item {
        const ArchiveMember* m = nullptr;
        std::string refusal;  // why the member is not written at all
        // A member that is not published takes away the directories made
        // for it; destroyed after out, when they are empty again.
        std::optional<MadeFor> made;
        std::unique_ptr<TempFile> out;
        bool whole = false;
        char hex[MD5_HEX_SIZE];
    };
    const std::string root(target);
    DirGuard guard;
    bool made_target = false;
    Pipeline p(nthreads);
    p.enumerate([&] {
        for (const ArchiveMember& m : t.members) {
            auto it = std::make_shared<Item>();
            it->m = &m;
            std::string dest;
            if (!is_safe_relpath(m.name)) {
                it->refusal = "unsafe name";
            } else if (!join_path(dest, target, m.name)) {
                it->refusal = "target path longer than " + std::to_string(PATH_MAXLEN) + " bytes";
            } else {
                if (!made_target) {
                    // The target directory itself is the user's choice; it is
                    // made (with its parents) only once a member is about to
                    // be written.
                    make_parents(root + "/");
                    made_target = true;
                }
                it->made.emplace(guard, root, m.name);
                const std::string link = guard.make(root, m.name);
                if (!link.empty()) {
                    it->refusal = link.substr(root.size() + 1) + " is a symbolic link";
                } else {
                    it->out = std::make_unique<TempFile>(dest);
                }
            }
            const std::size_t bytes = it->out && m.origsize <= WHOLE_MAX ? std::size_t(m.origsize) + m.compsize : 0;
            p.submit(
                [it, fd, path] {
                    if (!it->out) return;
                    it->whole = inflate_member(fd, path, *it->m, *it->out, it->hex);
                    it->out->close();
                },
                [it] {
                    const ArchiveMember& mm = *it->m;
                    if (!it->refusal.empty()) {
                        warn("refusing member '%s': %s", mm.name, it->refusal.c_str());
                    } else if (it->whole && std::memcmp(it->hex, mm.md5, MD5_HEX_SIZE) == 0) {
                        it->out->commit_closed();
                        it->made->keep();
                        print_name_line(stderr, "", mm.name, ": OK");
                    } else {
                        // The temporary file goes with the item; the target
                        // keeps what it held.
                        print_name_line(stderr, "", mm.name, ": Invalid checksum");
                    }
                },
                bytes);
        }
    });
    p.finish();
    arc.close();
}

void extractarchive() { extract_archive(archname, todir); }
