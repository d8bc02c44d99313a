// Archive creation (-f DIR -a ARCHIVE): every regular file below fromdir,
// each distinct content compressed once at level 9, the table in the reverse
// of the walk's order. The whole table is known before any data is written,
// so the data area starts at its final offset and the header and table are
// written last. The archive is built under a temporary name beside archname
// and renamed over it only when complete: a failed run leaves whatever
// archname held before, never a headerless file. Workers hash the files
// and compress the distinct contents; the calling thread writes the streams
// in list order, so the archive is the same byte for byte at any number of
// threads.

#include "archive/codec.h"
#include "archive/format.h"
#include "driver/jobs.h"
#include "driver/settings.h"
#include "stream/stream.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/tempfile.h"
#include "util/escape.h"
#include "util/paths.h"
#include "util/pipeline.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <atomic>
#include <memory>
#include <sys/stat.h>
#include <unordered_map>

namespace {

// Sizes and offsets are 32-bit words: no member and no archive may reach 4 GiB.
constexpr uint64_t WORD_MAX = 0xFFFFFFFF;

struct Record {
    std::string name;
    char md5[MD5_HEX_SIZE];
    uint32_t entrysize;
    uint32_t origsize = 0;
    uint32_t compsize = 0;
    uint32_t offset = 0;
    // The stream, when the walk compressed the file as it hashed it.
    std::unique_ptr<std::vector<unsigned char>> stream;
    uint64_t size = 0;
};

// Compressed streams the walk may keep for the writing pass, so that a
// small file is read once; beyond this the writing pass reads files again.
constexpr uint64_t KEEP_BUDGET = 8u << 20;
// Largest file the walk compresses. A larger one would hold up the walk's
// window of items behind it while the other threads run dry; the writing
// pass reads it again, which costs little beside compressing it.
constexpr off_t WALK_COMPRESS_MAX = 64 << 10;

// The records of the tree, in the reverse of the order the walk yields them.
// A walked file that is small enough is compressed by the worker that hashes
// it, from the same bytes, while the streams kept stay within KEEP_BUDGET;
// the stream is the one the writing pass would make, so the archive does
// not depend on which pass made it.
std::vector<Record> collect(const char* root, uint64_t* headersize) {
    std::vector<Record> recs;
    uint64_t h = ARCHIVE_EMPTY;
    StreamPtr s(openstream(root));
    auto add = [&recs, &h](Record r) {
        r.entrysize = entry_size(r.name.size());
        h += r.entrysize;
        recs.push_back(std::move(r));
    };
    if (s->kind != StreamKind::walk) {
        each_entry(s.get(), nthreads, [&](std::string_view name, const char* hex) {
            Record r;
            r.name = name;
            std::memcpy(r.md5, hex, MD5_HEX_SIZE);
            add(std::move(r));
        });
    } else {
        struct Item {
            Record r;
            Fd fd;
        };
        std::atomic<uint64_t> kept{0};
        Pipeline p(nthreads);
        p.enumerate([&] {
            while (nextstream(s.get())) {
                auto it = std::make_shared<Item>();
                it->r.name = s->name;
                it->fd = Fd(open_entry_fd(s.get()));
                p.submit(
                    [it, &kept] {
                        const char* name = it->r.name.c_str();
                        struct stat st;
                        const uint64_t bound = ::fstat(it->fd.get(), &st) == 0 ? uint64_t(st.st_size) * 9 / 8 + 128 : 0;
                        // The bound is reserved only for a file small enough to keep.
                        const bool keep = bound != 0 && st.st_size <= WALK_COMPRESS_MAX;
                        if (!keep || kept.fetch_add(bound) + bound > KEEP_BUDGET) {
                            if (keep) kept.fetch_sub(bound);
                            hash_fd(it->fd.get(), name, it->r.md5);
                        } else {
                            // One byte more than the size is asked for: a
                            // file that grew meanwhile is taken as it is read.
                            const std::size_t want = std::size_t(st.st_size) + 1;
                            unsigned char* data = scratch(want, 0);
                            const std::size_t n = read_fd(it->fd.get(), data, want, name);
                            md5_context ctx;
                            md5_init_ctx(&ctx);
                            md5_process_bytes(data, n, &ctx);
                            md5_finish_hex(&ctx, it->r.md5);
                            it->r.stream = std::make_unique<std::vector<unsigned char>>();
                            deflate_whole(data, n, *it->r.stream);
                            it->r.size = n;
                            // Counted with what a kept stream costs besides its
                            // bytes, so that many tiny files stay in budget.
                            kept.fetch_sub(bound - (it->r.stream->size() + 64));
                        }
                        it->fd = Fd();
                    },
                    [it, &add] { add(std::move(it->r)); });
            }
        });
        p.finish();
    }
    s.reset();
    std::reverse(recs.begin(), recs.end());
    *headersize = h;
    return recs;
}

// One distinct content. A member of at most PIECE bytes is read and
// compressed whole by a worker; a larger one is compressed in pieces by
// several, and its stream's running state is kept here by the calling
// thread, which writes the pieces in order.
struct Member {
    std::string path;  // fromdir/name
    Fd fd;
    uint64_t size = 0;
    std::vector<unsigned char> stream;  // a whole member's
    char hex[MD5_HEX_SIZE];
    md5_context ctx;
    uint32_t adler = 1;
};

// One piece of a large member, compressed by a worker.
struct Piece {
    std::shared_ptr<Member> m;
    uint64_t offset = 0;
    std::size_t len = 0;
    bool last = false;
    bool changed = false;  // the file no longer has the size measured
    std::unique_ptr<unsigned char[]> data;
    std::vector<unsigned char> stream;
};

// The archive's data area, written in order through a buffer: many small
// members would otherwise cost a write call each. pos is where the next
// byte lands in the archive.
class Out {
public:
    Out(int fd, const char* name, uint64_t pos) : fd_(fd), name_(name), pos_(pos) { buf_.reserve(CAP); }
    int fd() const { return fd_; }
    uint64_t pos() const { return pos_; }
    void put(const unsigned char* p, std::size_t n) {
        if (pos_ + n > WORD_MAX) fatal(1, "%s: the archive would reach 4 GiB, which the format can not hold", name_);
        pos_ += n;
        if (buf_.size() + n > CAP) flush();
        if (n >= CAP) {
            write_fd(fd_, p, n, name_);
            return;
        }
        buf_.insert(buf_.end(), p, p + n);
    }
    void flush() {
        write_fd(fd_, buf_.data(), buf_.size(), name_);
        buf_.clear();
    }

private:
    static constexpr std::size_t CAP = 1u << 20;
    int fd_;
    const char* name_;
    uint64_t pos_;
    std::vector<unsigned char> buf_;
};

void print_progress(const Record& r) {
    const uint64_t pct = uint64_t(r.compsize) * 100 / (r.origsize ? r.origsize : 1);
    print_name_line(stderr, "", r.name, " (" + std::to_string(pct) + "%)");
}

// Records a member whose stream ended just before out's position, and
// prints its line. The bytes compressed must have the digest the walk
// took: a file changed in between would be stored under a digest its data
// does not have.
void finish_member(const Member& m, Record& r, const Out& out) {
    if (std::memcmp(m.hex, r.md5, MD5_HEX_SIZE) != 0)
        fatal(1, "%s changed while the archive was being made", m.path.c_str());
    r.origsize = uint32_t(m.size);
    r.compsize = uint32_t(out.pos() - r.offset);
    print_progress(r);
}

void write_member(const Member& m, Record& r, Out& out) {
    r.offset = uint32_t(out.pos());
    out.put(m.stream.data(), m.stream.size());
    finish_member(m, r, out);
}

// Writes one piece of a large member in its turn: the stream's head before
// the first, the Adler-32 after the last. The content is hashed here, in
// order, for the same check as a whole member's.
void write_piece(Piece& pc, Record& r, Out& out) {
    Member& m = *pc.m;
    if (pc.offset == 0) {
        r.offset = uint32_t(out.pos());
        out.put(ZLIB_HEAD, sizeof ZLIB_HEAD);
        md5_init_ctx(&m.ctx);
        m.adler = 1;
    }
    if (pc.changed) fatal(1, "%s changed while the archive was being made", m.path.c_str());
    md5_process_bytes(pc.data.get(), pc.len, &m.ctx);
    m.adler = adler32_update(m.adler, pc.data.get(), pc.len);
    out.put(pc.stream.data(), pc.stream.size());
    if (!pc.last) return;
    const unsigned char tail[4] = {static_cast<unsigned char>(m.adler >> 24), static_cast<unsigned char>(m.adler >> 16),
                                   static_cast<unsigned char>(m.adler >> 8), static_cast<unsigned char>(m.adler)};
    out.put(tail, sizeof tail);
    md5_finish_hex(&m.ctx, m.hex);
    finish_member(m, r, out);
}

// Reads and compresses a piece. The last piece asks for one byte more, so
// that a file that grew since it was measured is caught.
void compress_piece(Piece& pc) {
    const std::size_t want = pc.len + (pc.last ? 1 : 0);
    pc.data.reset(new unsigned char[want]);
    const std::size_t n = pread_fd(pc.m->fd.get(), pc.data.get(), want, off_t(pc.offset), pc.m->path.c_str());
    if (n != pc.len) {
        pc.changed = true;
        return;
    }
    deflate_piece(pc.data.get(), pc.len, pc.last, pc.stream);
}

// Reads and compresses a member of at most PIECE bytes. One byte more
// than the size is asked for, so a file that grew since it was measured is
// caught by its digest.
void compress_whole(Member& m) {
    unsigned char* data = scratch(m.size + 1, 0);
    const std::size_t n = read_fd(m.fd.get(), data, m.size + 1, m.path.c_str());
    m.fd = Fd();
    md5_context ctx;
    md5_init_ctx(&ctx);
    md5_process_bytes(data, n, &ctx);
    md5_finish_hex(&ctx, m.hex);
    m.size = n;
    deflate_whole(data, n, m.stream);
}

// The header, the table in list order and the terminator.
std::vector<unsigned char> build_table(const std::vector<Record>& recs, uint32_t headersize) {
    std::vector<unsigned char> t(headersize, 0);
    put_le32(t.data(), ARCHIVE_MAGIC);
    put_le32(t.data() + 4, headersize);
    unsigned char* p = t.data() + ARCHIVE_HEADER;
    for (const Record& r : recs) {
        put_le32(p, ARCHIVE_MAGIC);
        put_le32(p + 4, r.entrysize);
        put_le32(p + 8, r.origsize);
        put_le32(p + 12, r.compsize);
        put_le32(p + 16, r.offset);
        // reserved1, reserved2 and the padding stay zero.
        std::memcpy(p + ENTRY_MD5, r.md5, MD5_HEX_SIZE);
        std::memcpy(p + ENTRY_NAME, r.name.c_str(), r.name.size() + 1);
        p += r.entrysize;
    }
    return t;
}

} // namespace

void createarchive() {
    // What stands at the archive's path is checked before any work: a link
    // is followed, anything but a regular file is refused.
    const std::string arcpath = publish_target(archname, "archive");
    const char* arcname = arcpath.c_str();
    uint64_t h = 0;
    std::vector<Record> recs = collect(fromdir, &h);
    if (h > WORD_MAX) fatal(1, "%s: the archive's table would reach 4 GiB, which the format can not hold", archname);

    TempFile arc(arcpath);
    Out out(arc.fd(), arcname, h);
    if (::lseek(arc.fd(), off_t(h), SEEK_SET) < 0) fatal_errno("can not seek in", arcname);

    // A record shares the stream of the first earlier record in list order
    // with the same digest; the map finds that record without a walk.
    std::unordered_map<std::string_view, std::size_t> first_of;
    first_of.reserve(recs.size());
    Pipeline p(nthreads);
    p.enumerate([&] {
        for (std::size_t i = 0; i < recs.size(); ++i) {
            Record& r = recs[i];
            const auto [twin, fresh] = first_of.try_emplace(std::string_view(r.md5, MD5_HEX_SIZE - 1), i);
            if (!fresh) {
                r.stream.reset();  // the first record's stream serves
                const std::size_t first = twin->second;
                p.submit_done([&r, &recs, first] {
                    r.offset = recs[first].offset;
                    r.compsize = recs[first].compsize;
                    r.origsize = recs[first].origsize;
                    print_progress(r);
                });
                continue;
            }
            auto m = std::make_shared<Member>();
            // Every member's path must fit, whichever pass compresses it.
            m->path = join_path_or_die(fromdir, r.name);
            if (r.stream) {
                // Compressed by the walk from the bytes it hashed.
                m->stream = std::move(*r.stream);
                r.stream.reset();
                m->size = r.size;
                std::memcpy(m->hex, r.md5, MD5_HEX_SIZE);
                p.submit_done([m, &r, &out] { write_member(*m, r, out); });
                continue;
            }
            m->fd = Fd(FOPENG_fd(m->path.c_str(), __LINE__));
            struct stat st;
            if (::fstat(m->fd.get(), &st) != 0) fatal_errno("can not stat", m->path.c_str());
            if (uint64_t(st.st_size) > WORD_MAX)
                fatal(1, "%s: a file of 4 GiB or more can not be stored in an archive", m->path.c_str());
            m->size = uint64_t(st.st_size);
            if (m->size <= PIECE) {
                p.submit([m] { compress_whole(*m); }, [m, &r, &out] { write_member(*m, r, out); },
                         std::size_t(2 * m->size + 1024));
                continue;
            }
            for (uint64_t off = 0; off < m->size; off += PIECE) {
                auto pc = std::make_shared<Piece>();
                pc->m = m;
                pc->offset = off;
                pc->len = std::size_t(std::min<uint64_t>(PIECE, m->size - off));
                pc->last = off + pc->len == m->size;
                p.submit([pc] { compress_piece(*pc); }, [pc, &r, &out] { write_piece(*pc, r, out); },
                         2 * pc->len + 1024);
            }
        }
    });
    p.finish();

    const std::vector<unsigned char> table = build_table(recs, uint32_t(h));
    out.flush();
    if (::lseek(arc.fd(), 0, SEEK_SET) < 0) fatal_errno("can not seek in", arcname);
    write_fd(arc.fd(), table.data(), table.size(), arcname);
    arc.commit();
}
