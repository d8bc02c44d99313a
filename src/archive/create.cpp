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
#include "format/archive.h"
#include "archive/archive.h"
#include "archive/spool.h"
#include "util/settings.h"
#include "stream/stream.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/tempfile.h"
#include "util/paths.h"
#include "util/pipeline.h"
#include "util/progress.h"
#include "util/hashgroup.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <atomic>
#include <memory>
#include <optional>
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>
#include <deque>
#include <utility>

namespace {

struct Record {
    std::string name;
    char md5[MD5_HEX_SIZE];
    uint32_t entrysize;
    uint64_t origsize = 0;
    uint64_t compsize = 0;
    uint64_t offset = 0;
    bool exec = false;  // its owner could execute it
    // The stream, when the walk compressed the file as it hashed it, and
    // the size of the content.
    const unsigned char* kept = nullptr;
    uint32_t kept_len = 0;
    uint32_t size = 0;
    // A walked file too large for the walk to compress is hashed only when
    // another such file has its size (hash_size_twins): one that matches
    // no other file in size can share no stream, and the writing pass
    // takes its digest from the very bytes it compresses, so the file is
    // read once. walked_size is the size the walk measured (for every
    // walked file: the archive's layout is chosen from it).
    bool digest_known = true;
    uint64_t walked_size = 0;
};

// Compressed streams the walk may keep for the writing pass, so that a
// small file is read once: KEEP_BUDGET, and KEEP_PER_FILE more for every
// file walked, so that a tree of many tiny files is read once too while
// its memory grows with it by a fixed amount per file. Beyond this the
// writing pass reads files again.
constexpr uint64_t KEEP_BUDGET = 8u << 20;
constexpr uint64_t KEEP_PER_FILE = 100;
// Largest file the walk compresses. A larger one would hold up the walk's
// window of items behind it while the other threads run dry; the writing
// pass reads it again, which costs little beside compressing it.
constexpr off_t WALK_COMPRESS_MAX = 64 << 10;

// The kept streams, packed one after another in large blocks: a tiny
// file's stream costs its bytes, not two allocations of its own.
class KeptStreams {
public:
    const unsigned char* put(const std::vector<unsigned char>& s) {
        if (blocks_.empty() || s.size() > BLOCK - used_) {
            blocks_.emplace_back(new unsigned char[std::max(BLOCK, s.size())]);
            used_ = 0;
        }
        unsigned char* p = blocks_.back().get() + used_;
        std::memcpy(p, s.data(), s.size());
        used_ += s.size();
        return p;
    }

private:
    static constexpr std::size_t BLOCK = 1u << 20;
    std::vector<std::unique_ptr<unsigned char[]>> blocks_;
    std::size_t used_ = 0;
};

// The records of a tree in list order: the reverse of the order the walk
// yields them. A deque grows without copying what it holds, which for a
// tree of 200,000 files would briefly cost half as much again.
struct Collected {
    std::deque<Record> recs;
    KeptStreams kept;
    uint64_t headersize = ARCHIVE_EMPTY;
    mutable uint64_t walked_header = ARCHIVE_EMPTY;  // the names the walk met so far

    void add(Record r) {
        r.entrysize = entry_size(r.name.size());
        headersize += r.entrysize;
        recs.push_back(std::move(r));
    }
};

// Reads a file measured at size bytes to its end, hashes it into hex and,
// when the first read holds it whole, compresses it whole into stream, from
// the same bytes. A longer one (it grew since it was measured) is only
// hashed, and stream is left empty. Returns the length of the first read,
// more than size for a file longer than size said.
std::size_t read_hash_deflate(int fd, uint64_t size, const char* name, char* hex, std::vector<unsigned char>& stream) {
    const std::size_t want = size < GROUP_FILE_MAX ? whole_read_room(int64_t(size)) : std::size_t(size) + 1;
    unsigned char* data = scratch(want, ScratchSlot::input);
    const std::size_t n = read_fd(fd, data, want, name);
    md5_context ctx;
    md5_init_ctx(&ctx);
    md5_process_bytes(data, n, &ctx);
    stream.clear();
    if (n < want)
        deflate_whole(data, n, stream);
    else
        copy_fd(fd, name, -1, nullptr, &ctx);
    md5_finish_hex(&ctx, hex);
    return n;
}

// A walked file, hashed by a worker.
struct Walked {
    Record r;
    Fd fd;
    std::vector<unsigned char> stream;
};

// The streams the walk keeps: bytes reserved now, and the budget.
struct KeepBudget {
    std::atomic<uint64_t> kept{0};
    std::atomic<uint64_t> budget{KEEP_BUDGET};
};

// A walked file that is small enough is compressed by the worker that
// hashes it, from the same bytes, while the streams kept stay within their
// budget; the stream is the one the writing pass would make, so the
// archive does not depend on which pass made it.
void hash_walked(Walked& w, KeepBudget& kb) {
    const char* name = w.r.name.c_str();
    struct stat st;
    const uint64_t bound = ::fstat(w.fd.get(), &st) == 0 ? deflate_bound(uint64_t(st.st_size)) : 0;
    // The bound is reserved only for a file small enough to keep.
    const bool keep = bound != 0 && st.st_size <= WALK_COMPRESS_MAX;
    if (bound != 0) {
        w.r.walked_size = uint64_t(st.st_size);
        w.r.exec = (st.st_mode & S_IXUSR) != 0;
    }
    if (bound != 0 && !keep) {
        w.r.digest_known = false;
    } else if (!keep || kb.kept.fetch_add(bound) + bound > kb.budget.load(std::memory_order_relaxed)) {
        if (keep) kb.kept.fetch_sub(bound);
        hash_fd(w.fd.get(), name, w.r.md5);
    } else {
        w.r.size = uint32_t(read_hash_deflate(w.fd.get(), uint64_t(st.st_size), name, w.r.md5, w.stream));
        kb.kept.fetch_sub(bound - w.stream.size());
    }
    w.fd = Fd();
}

[[noreturn]] void fatal_changed(const std::string& path) {
    fatal(1, "%s changed while the archive was being made", path.c_str());
}

// What compressing n bytes holds in flight: the content and its stream.
std::size_t compress_cost(uint64_t n) { return std::size_t(2 * n + 1024); }

[[noreturn]] void fatal_table_too_large() {
    fatal(1, "%s: the archive's table would reach 4 GiB, which the format can not hold", archname);
}

// What no archive can hold is refused as the walk meets it, before that
// file is read: a member path past the limit, or a table that would reach
// 4 GiB (its size is a word in the header).
void refuse_early(const Collected& c, std::string_view name) {
    if (std::strlen(fromdir) + 1 + name.size() > PATH_MAXLEN) join_path_or_die(fromdir, name);
    c.walked_header += entry_size(name.size());
    if (c.walked_header > WORD_MAX) fatal_table_too_large();
}

// The walk's files, hashed on the workers; the records join c in the
// walk's order, whatever the threads.
void collect_walk(Stream* s, Collected& c) {
    KeepBudget kb;
    Pipeline p(nthreads);
    uint64_t walked = 0;
    p.run([&] {
        while (nextstream(s)) {
            ++walked;
            refuse_early(c, s->name);
            auto w = std::make_shared<Walked>();
            w->r.name = s->name;
            w->fd = Fd(open_entry_fd(s));
            kb.budget.fetch_add(KEEP_PER_FILE, std::memory_order_relaxed);
            p.submit([w, &kb] { hash_walked(*w, kb); },
                     [w, &c] {
                         if (!w->stream.empty()) {
                             w->r.kept = c.kept.put(w->stream);
                             w->r.kept_len = uint32_t(w->stream.size());
                         }
                         c.add(std::move(w->r));
                         progress_file();
                     });
        }
        // The walk is done: the files still in flight are the last.
        progress_totals(walked, 0);
    });
}

// The files the walk left unhashed that share their size with another are
// hashed side by side, so that equal contents are found.
void hash_size_twins(const char* root, std::deque<Record>& recs) {
    std::vector<Record*> unhashed;
    for (Record& r : recs)
        if (!r.digest_known) unhashed.push_back(&r);
    std::sort(unhashed.begin(), unhashed.end(),
              [](const Record* a, const Record* b) { return a->walked_size < b->walked_size; });
    const auto same_size = [&](std::size_t i, std::size_t j) {
        return j < unhashed.size() && unhashed[i]->walked_size == unhashed[j]->walked_size;
    };
    Pipeline p(nthreads);
    p.run([&] {
        for (std::size_t i = 0; i < unhashed.size(); ++i) {
            if (!same_size(i, i + 1) && !(i > 0 && same_size(i - 1, i))) continue;
            Record* r = unhashed[i];
            auto path = std::make_shared<std::string>(join_path_or_die(root, r->name));
            p.submit(
                [r, path] {
                    const Fd fd(FOPENG_fd(path->c_str(), __LINE__));
                    hash_fd(fd.get(), path->c_str(), r->md5);
                },
                [r] { r->digest_known = true; }, 0, 1, std::size_t(r->walked_size));
        }
    });
}

void collect(const char* root, Collected& c) {
    progress_phase("reading");
    StreamPtr s(openstream(root));
    if (s->kind == StreamKind::walk) {
        collect_walk(s.get(), c);
        hash_size_twins(root, c.recs);
    } else {
        each_entry(s.get(), nthreads, [&c](std::string_view name, const char* hex) {
            Record r;
            r.name = name;
            std::memcpy(r.md5, hex, MD5_HEX_SIZE);
            c.add(std::move(r));
        });
    }
    s.reset();
    std::reverse(c.recs.begin(), c.recs.end());
}

// For each record, the first record in list order with the same digest:
// that record's stream serves them all. The records are sorted by the
// first 16 digits of their digest and their place, so that each group of
// equal digests starts with its first record; a sort of small pairs costs
// a fraction of a hash map's nodes for a tree of many files.
std::vector<uint32_t> first_with_digest(const std::deque<Record>& recs) {
    std::vector<std::pair<uint64_t, uint32_t>> keys;
    keys.reserve(recs.size());
    std::vector<uint32_t> first(recs.size());
    for (std::size_t i = 0; i < recs.size(); ++i) {
        first[i] = uint32_t(i);
        if (!recs[i].digest_known) continue;  // no other file has its size
        uint64_t k = 0;
        for (int d = 0; d < 16; ++d) {
            const char x = recs[i].md5[d];
            k = k << 4 | (uint64_t(x <= '9' ? x - '0' : x - 'a' + 10) & 15);
        }
        keys.emplace_back(k, uint32_t(i));
    }
    std::sort(keys.begin(), keys.end());
    for (std::size_t i = 0; i < keys.size();) {
        std::size_t j = i;
        while (j < keys.size() && keys[j].first == keys[i].first) ++j;
        // Within a run of equal leading digits, the whole digest decides.
        for (std::size_t k = i; k < j; ++k) {
            const uint32_t rk = keys[k].second;
            first[rk] = rk;
            for (std::size_t e = i; e < k; ++e) {
                if (std::memcmp(recs[keys[e].second].md5, recs[rk].md5, MD5_HEX_SIZE - 1) == 0) {
                    first[rk] = first[keys[e].second];
                    break;
                }
            }
        }
        i = j;
    }
    return first;
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
    bool changed = false;               // a whole member read longer or shorter than measured
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
        // The disk starts on what is written while the rest is compressed:
        // the flush before the archive is published then waits for less.
        if (pos_ - synced_ >= WRITEBACK_STEP) {
            start_writeback(fd_, synced_, pos_ - synced_);
            synced_ = pos_;
        }
    }

private:
    static constexpr std::size_t CAP = 1u << 20;
    int fd_;
    const char* name_;
    uint64_t pos_;
    uint64_t synced_ = pos_;  // writeback started below this
    std::vector<unsigned char> buf_;
};

// Records where r's stream lies and its sizes, and prints r's line.
void place(Record& r, uint64_t offset, uint64_t origsize, uint64_t compsize) {
    r.offset = offset;
    r.origsize = origsize;
    r.compsize = compsize;
    const uint64_t pct = r.compsize * 100 / (r.origsize ? r.origsize : 1);
    print_name_line(stderr, "", r.name, " (" + std::to_string(pct) + "%)");
    progress_file();
}

// Records a member whose stream ended just before out's position, and
// prints its line. The bytes compressed must have the digest the walk
// took: a file changed in between would be stored under a digest its data
// does not have. A file the walk did not hash takes its digest from them.
void finish_member(const Member& m, Record& r, const Out& out) {
    if (!r.digest_known) {
        std::memcpy(r.md5, m.hex, MD5_HEX_SIZE);
        r.digest_known = true;
    } else if (std::memcmp(m.hex, r.md5, MD5_HEX_SIZE) != 0)
        fatal_changed(m.path);
    place(r, r.offset, m.size, out.pos() - r.offset);
}

void write_member(const Member& m, Record& r, Out& out) {
    // Its size goes into the table: the bytes compressed must be that many.
    if (m.changed) fatal_changed(m.path);
    r.offset = out.pos();
    out.put(m.stream.data(), m.stream.size());
    finish_member(m, r, out);
}

// Writes one piece of a large member in its turn: the stream's head before
// the first, the Adler-32 after the last. The content is hashed here, in
// order, for the same check as a whole member's.
void write_piece(Piece& pc, Record& r, Out& out) {
    Member& m = *pc.m;
    if (pc.offset == 0) {
        r.offset = out.pos();
        out.put(ZLIB_HEAD, sizeof ZLIB_HEAD);
        md5_init_ctx(&m.ctx);
        m.adler = 1;
    }
    if (pc.changed) fatal_changed(m.path);
    md5_process_bytes(pc.data.get(), pc.len, &m.ctx);
    m.adler = adler32_update(m.adler, pc.data.get(), pc.len);
    out.put(pc.stream.data(), pc.stream.size());
    if (!pc.last) return;
    const std::array<unsigned char, 4> tail = zlib_trailer(m.adler);
    out.put(tail.data(), tail.size());
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

// Reads, hashes and compresses a member of at most PIECE bytes.
void compress_whole(Member& m) {
    m.changed = read_hash_deflate(m.fd.get(), m.size, m.path.c_str(), m.hex, m.stream) != m.size;
    m.fd = Fd();
}

// Writes the header, the table in list order and the terminator at the
// start of the archive, through a buffer: the table of a large tree is
// never held whole. In the large layout every entry is a large one.
void write_table(const std::deque<Record>& recs, uint32_t headersize, bool large, int fd, const char* arcname) {
    if (::lseek(fd, 0, SEEK_SET) < 0) fatal_errno("can not seek in", arcname);
    Out t(fd, arcname, 0);
    unsigned char e[ENTRY_MAX];
    encode_header(headersize, e);
    t.put(e, ARCHIVE_HEADER);
    for (const Record& r : recs) {
        const uint32_t size = r.entrysize + (large ? ENTRY_LARGE_TAIL : 0);
        const uint32_t flags = (r.exec ? ENTRY_EXEC : 0) | (large ? ENTRY_LARGE : 0);
        const ArchiveMember m{size, r.origsize, r.compsize, r.offset, r.md5, r.name.c_str(), flags};
        // The walk and the listings give only names the table can hold.
        if (const char* why = encode_entry(m, e)) fatal(1, "%s: %s: %s", arcname, r.name.c_str(), why);
        t.put(e, size);
    }
    const unsigned char terminator[ARCHIVE_TERMINATOR] = {};
    t.put(terminator, sizeof terminator);
    t.flush();
}

// A record whose stream the walk kept, compressed from the bytes it hashed.
void write_kept(Record& r, Out& out) {
    const uint64_t at = out.pos();
    out.put(r.kept, r.kept_len);
    place(r, at, r.size, r.kept_len);
}

std::shared_ptr<Member> open_member(std::string path) {
    auto m = std::make_shared<Member>();
    m->path = std::move(path);
    m->fd = Fd(FOPENG_fd(m->path.c_str(), __LINE__));
    struct stat st;
    if (::fstat(m->fd.get(), &st) != 0) fatal_errno("can not stat", m->path.c_str());
    m->size = uint64_t(st.st_size);
    return m;
}

// Submits record i of recs in its kind's way: a twin of an earlier record
// shares its stream, a stream the walk kept is written as it is, a member
// of at most PIECE bytes is compressed whole, a larger one in pieces.
void submit_member(Pipeline& p, std::deque<Record>& recs, std::size_t i, uint32_t first, Out& out) {
    Record& r = recs[i];
    if (first != i) {
        // Its content is the twin's: one stream serves both.
        const Record& twin = recs[first];
        p.submit_done([&r, &twin] { place(r, twin.offset, twin.origsize, twin.compsize); });
        return;
    }
    // Every member's path must fit, whichever pass compresses it.
    std::string path = join_path_or_die(fromdir, r.name);
    if (r.kept) {
        p.submit_done([&r, &out] { write_kept(r, out); });
        return;
    }
    std::shared_ptr<Member> m = open_member(std::move(path));
    if (!r.digest_known && m->size != r.walked_size) fatal_changed(m->path);
    if (m->size <= PIECE) {
        p.submit([m] { compress_whole(*m); }, [m, &r, &out] { write_member(*m, r, out); }, compress_cost(m->size));
        return;
    }
    for (uint64_t off = 0; off < m->size; off += PIECE) {
        auto pc = std::make_shared<Piece>();
        pc->m = m;
        pc->offset = off;
        pc->len = std::size_t(std::min<uint64_t>(PIECE, m->size - off));
        pc->last = off + pc->len == m->size;
        p.submit([pc] { compress_piece(*pc); }, [pc, &r, &out] { write_piece(*pc, r, out); }, compress_cost(pc->len));
    }
}

// Whether the archive may need large entries: a member of 4 GiB or more,
// or data that could pass 4 GiB if nothing compressed (a stream grows by
// under 1% over its content). Only a tree of more than 4 GiB pays for the
// answer: its data may move once, which costs a copy beside compressing it.
bool may_need_large(const std::deque<Record>& recs, const std::vector<uint32_t>& first, uint64_t headersize) {
    uint64_t bound = headersize;
    for (std::size_t i = 0; i < recs.size(); ++i) {
        const Record& r = recs[i];
        if (first[i] != i) continue;
        if (r.walked_size > WORD_MAX) return true;
        bound += r.kept ? r.kept_len : r.walked_size + (r.walked_size >> 7) + 1024;
    }
    return bound > WORD_MAX;
}

// Moves len bytes at from down by lift, and ends the file there.
void move_down(int in, int fd, const char* arcname, uint64_t from, uint64_t len, uint64_t lift) {
    unsigned char* buf = io_buffer();
    for (uint64_t done = 0; done < len;) {
        const std::size_t n = std::size_t(std::min<uint64_t>(IO_BUFSZ, len - done));
        if (pread_fd(in, buf, n, from + done, arcname) != n)
            fatal(1, "%s: the archive shrank while it was written", arcname);
        if (::pwrite(fd, buf, n, off_t(from + done - lift)) != ssize_t(n)) fatal_errno("write error on", arcname);
        done += n;
    }
    if (::ftruncate(fd, off_t(from - lift + len)) != 0) fatal_errno("write error on", arcname);
}

} // namespace

void createarchive() {
    const bool piped = is_pipe_archive(archname);
    if (piped) check_pipe_end(STDOUT_FILENO);
    // What stands at the archive's path is checked before any work: a link
    // is followed, anything but a regular file is refused (a FIFO or a
    // device planted there must neither block the run nor swallow the
    // archive; -a - writes to standard output). A name that leads to a pipe
    // or a socket through /proc, as /dev/stdout does, is no path to follow
    // and is refused as a FIFO is. Through a pipe, the archive is written
    // to the spool first, and its errors name it.
    struct stat st;
    if (!piped && ::stat(archname, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
        fatal(1, "archive %s is %s; refusing to replace it", archname, S_ISFIFO(st.st_mode) ? "a FIFO" : "a socket");
    const std::string arcpath = piped ? std::string("the spool file") : publish_target(archname, "archive");
    const char* arcname = arcpath.c_str();
    Collected c;
    collect(fromdir, c);
    const uint64_t h = c.headersize;
    if (h > WORD_MAX) fatal_table_too_large();
    std::deque<Record>& recs = c.recs;
    const std::vector<uint32_t> first = first_with_digest(recs);
    // Room for the large entries is kept from the start when the archive
    // may need them; the data moves down to the plain layout's place if it
    // turns out not to.
    const bool may_be_large = may_need_large(recs, first, h);
    const uint64_t lift = may_be_large ? uint64_t(ENTRY_LARGE_TAIL) * recs.size() : 0;
    if (h + lift > WORD_MAX) fatal_table_too_large();

    std::optional<TempFile> arc;
    Fd spool;
    if (piped)
        spool = open_spool();
    else
        arc.emplace(arcpath);
    const int fd = piped ? spool.get() : arc->fd();
    Out out(fd, arcname, h + lift);
    if (::lseek(fd, off_t(h + lift), SEEK_SET) < 0) fatal_errno("can not seek in", arcname);

    progress_phase("archiving", recs.size());
    Pipeline p(nthreads);
    p.run([&] {
        for (std::size_t i = 0; i < recs.size(); ++i) submit_member(p, recs, i, first[i], out);
    });

    out.flush();
    bool large = false;
    for (const Record& r : recs)
        if (r.origsize > WORD_MAX || r.compsize > WORD_MAX || r.offset - lift > WORD_MAX) large = true;
    // The bound holds for the sizes the walk measured, and a file that
    // changed since has been refused; this guards the table's room.
    if (large && !may_be_large) fatal(1, "%s: the archive outgrew the room kept for its table", arcname);
    if (may_be_large && !large) {
        // The temporary file is open for writing only.
        const Fd in(piped ? ::dup(fd) : ::open(arc->temp_path().c_str(), O_RDONLY | O_CLOEXEC));
        if (in.get() < 0) fatal_errno("can not read", arcname);
        move_down(in.get(), fd, arcname, h + lift, out.pos() - h - lift, lift);
        for (Record& r : recs) r.offset -= lift;
    }
    write_table(recs, uint32_t(large ? h + lift : h), large, fd, arcname);
    if (piped)
        send_spool(fd);
    else
        arc->commit();
}
