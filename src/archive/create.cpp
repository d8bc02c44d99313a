// Archive creation (-f DIR -a ARCHIVE): every regular file below fromdir,
// each distinct content compressed once at level 9, the table in the reverse
// of the walk's order. The whole table is known before any data is written,
// so the data area starts at its final offset and the header and table are
// written last. The archive is built under a temporary name beside archname
// and renamed over it only when complete: a failed run leaves whatever
// archname held before, never a headerless file.

#include "archive/format.h"
#include "driver/jobs.h"
#include "driver/settings.h"
#include "stream/stream.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/tempfile.h"
#include "util/paths.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unordered_map>
#include <zlib.h>

namespace {

// Sizes and offsets are 32-bit words: no member and no archive may reach 4 GiB.
constexpr uint64_t WORD_MAX = 0xFFFFFFFF;
constexpr std::size_t CHUNK = 256 * 1024;

struct Record {
    std::string name;
    char md5[MD5_HEX_SIZE];
    uint32_t entrysize;
    uint32_t origsize = 0;
    uint32_t compsize = 0;
    uint32_t offset = 0;
};

// One deflate state for the whole run, reset for each member: setting up a
// level-9 state allocates some 256 KiB, too much to repeat per small file.
struct Deflater {
    z_stream z{};
    Deflater() {
        if (deflateInit(&z, 9) != Z_OK) fatal(1, "can not set up compression: %s", z.msg ? z.msg : "out of memory");
    }
    ~Deflater() { deflateEnd(&z); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
};

struct Buffers {
    std::vector<unsigned char> in = std::vector<unsigned char>(CHUNK);
    std::vector<unsigned char> out = std::vector<unsigned char>(CHUNK);
};

// The records of the tree, in the reverse of the order the walk yields them.
std::vector<Record> collect(const char* root, uint64_t* headersize) {
    std::vector<Record> recs;
    uint64_t h = ARCHIVE_EMPTY;
    StreamPtr s(openstream(root));
    while (nextstream(s.get())) {
        Record r;
        r.name = s->name;
        md5stream(s.get(), r.md5);
        r.entrysize = entry_size(r.name.size());
        h += r.entrysize;
        recs.push_back(std::move(r));
    }
    s.reset();
    std::reverse(recs.begin(), recs.end());
    *headersize = h;
    return recs;
}

// Compresses the file at path onto the end of the archive (at *pos), filling
// r's sizes and offset. The digest of the bytes compressed must be the one
// the walk took: a file that changed in between would be stored under a
// digest its data does not have.
void compress_member(Deflater& d, Buffers& b, const std::string& path, Record& r, TempFile& arc, uint64_t* pos) {
    File in(FOPENG(path.c_str(), "rb", __LINE__), path);
    struct stat st;
    if (::fstat(::fileno(in.get()), &st) != 0) fatal_errno("can not stat", path.c_str());
    auto too_big = [&path]() {
        fatal(1, "%s: a file of 4 GiB or more can not be stored in an archive", path.c_str());
    };
    if (uint64_t(st.st_size) > WORD_MAX) too_big();
    if (deflateReset(&d.z) != Z_OK) fatal(1, "can not reset compression for %s", path.c_str());

    const char* arcname = arc.final_path().c_str();
    md5_context ctx;
    md5_init_ctx(&ctx);
    uint64_t total_in = 0;
    uint64_t total_out = 0;
    int flush = Z_NO_FLUSH;
    int ret = Z_OK;
    do {
        const std::size_t n = std::fread(b.in.data(), 1, CHUNK, in.get());
        if (n < CHUNK && std::ferror(in.get())) fatal_errno("read error on", path.c_str());
        total_in += n;
        if (total_in > WORD_MAX) too_big();
        md5_process_bytes(b.in.data(), n, &ctx);
        flush = std::feof(in.get()) ? Z_FINISH : Z_NO_FLUSH;
        d.z.next_in = b.in.data();
        d.z.avail_in = uInt(n);
        do {
            d.z.next_out = b.out.data();
            d.z.avail_out = uInt(CHUNK);
            ret = deflate(&d.z, flush);
            if (ret == Z_STREAM_ERROR) fatal(1, "compression failed on %s", path.c_str());
            const std::size_t have = CHUNK - d.z.avail_out;
            total_out += have;
            if (*pos + total_out > WORD_MAX)
                fatal(1, "%s: the archive would reach 4 GiB, which the format can not hold", arcname);
            write_all(arc.get(), b.out.data(), have, arcname);
        } while (d.z.avail_out == 0);
    } while (flush != Z_FINISH);
    if (ret != Z_STREAM_END) fatal(1, "compression of %s did not finish", path.c_str());
    in.close();

    char hex[MD5_HEX_SIZE];
    md5_finish_hex(&ctx, hex);
    if (std::memcmp(hex, r.md5, MD5_HEX_SIZE) != 0)
        fatal(1, "%s changed while the archive was being made", path.c_str());

    r.offset = uint32_t(*pos);
    r.origsize = uint32_t(total_in);
    r.compsize = uint32_t(total_out);
    *pos += total_out;
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
    uint64_t h = 0;
    std::vector<Record> recs = collect(fromdir, &h);
    if (h > WORD_MAX) fatal(1, "%s: the archive's table would reach 4 GiB, which the format can not hold", archname);

    // The buffer must outlive the file that uses it.
    std::vector<char> iobuf(CHUNK);
    TempFile arc(archname);
    std::setvbuf(arc.get(), iobuf.data(), _IOFBF, iobuf.size());
    if (::fseeko(arc.get(), off_t(h), SEEK_SET) != 0) fatal_errno("can not seek in", archname);

    Deflater d;
    Buffers b;
    // A record shares the stream of the first earlier record in list order
    // with the same digest; the map finds that record without a walk.
    std::unordered_map<std::string_view, std::size_t> first_of;
    first_of.reserve(recs.size());
    uint64_t pos = h;
    for (std::size_t i = 0; i < recs.size(); ++i) {
        Record& r = recs[i];
        const auto [it, fresh] = first_of.try_emplace(std::string_view(r.md5, MD5_HEX_SIZE - 1), i);
        if (fresh) {
            compress_member(d, b, join_path_or_die(fromdir, r.name), r, arc, &pos);
        } else {
            const Record& twin = recs[it->second];
            r.offset = twin.offset;
            r.compsize = twin.compsize;
            r.origsize = twin.origsize;
        }
        const uint64_t pct = uint64_t(r.compsize) * 100 / (r.origsize ? r.origsize : 1);
        std::fprintf(stderr, "%s (%llu%%)\n", r.name.c_str(), static_cast<unsigned long long>(pct));
    }

    const std::vector<unsigned char> table = build_table(recs, uint32_t(h));
    if (::fseeko(arc.get(), 0, SEEK_SET) != 0) fatal_errno("can not seek in", archname);
    write_all(arc.get(), table.data(), table.size(), archname);
    arc.commit();
}
