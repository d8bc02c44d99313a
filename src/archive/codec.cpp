#include "archive/codec.h"

#include "archive/blocks.h"

#include "util/fatal.h"
#include "util/fileio.h"
#include "util/perthread.h"

#include <cerrno>
#include <cstring>
#include <libdeflate.h>
#include <memory>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr std::size_t CHUNK = 64 * 1024;  // streamed inflation: two such buffers per worker
constexpr std::size_t SMALL_MAX = 512;

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// One deflate and one inflate state per thread for the whole run, reset for
// each member: a level-9 state costs some hundreds of KiB to set up, too
// much to repeat per small file.
struct Deflater {
    z_stream z{};
    Deflater() {
        if (deflateInit(&z, 9) != Z_OK) fatal(1, "can not set up compression: %s", z.msg ? z.msg : "out of memory");
    }
    ~Deflater() { deflateEnd(&z); }
};
// window_bits as inflateInit2 takes them: 15 for zlib streams, -15 for raw
// deflate blocks.
template <int window_bits>
struct Inflater {
    z_stream z{};
    Inflater() {
        if (inflateInit2(&z, window_bits) != Z_OK)
            fatal(1, "can not set up decompression: %s", z.msg ? z.msg : "out of memory");
    }
    ~Inflater() { inflateEnd(&z); }
};

libdeflate_compressor* compressor() {
    static PerThread<std::unique_ptr<libdeflate_compressor, CompressorFree>> slot;
    auto& c = slot.get();
    if (!c) c.reset(libdeflate_alloc_compressor(9));
    if (!c) throw std::bad_alloc();
    return c.get();
}

libdeflate_decompressor* decompressor() {
    static PerThread<std::unique_ptr<libdeflate_decompressor, DecompressorFree>> slot;
    auto& d = slot.get();
    if (!d) d.reset(libdeflate_alloc_decompressor());
    if (!d) throw std::bad_alloc();
    return d.get();
}

} // namespace

void deflate_whole(const unsigned char* in, std::size_t n, std::vector<unsigned char>& out) {
    if (n == 0) {
        // The shortest stream for no data, as zlib writes it (libdeflate
        // would spend an empty stored block): an archive of empty files
        // stays as small as it always was.
        out.assign({0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
        return;
    }
    if (n < SMALL_MAX) {
        // Below some hundred bytes libdeflate's cost model often settles
        // for a stored block where zlib finds a shorter Huffman one.
        static PerThread<Deflater> slot;
        Deflater& d = slot.get();
        if (deflateReset(&d.z) != Z_OK) fatal(1, "can not reset compression");
        const std::size_t bound = deflateBound(&d.z, uLong(n));
        unsigned char* buf = scratch(bound, ScratchSlot::deflated);
        d.z.next_in = const_cast<unsigned char*>(in);
        d.z.avail_in = uInt(n);
        d.z.next_out = buf;
        d.z.avail_out = uInt(bound);
        if (deflate(&d.z, Z_FINISH) != Z_STREAM_END) fatal(1, "compression failed");
        out.assign(buf, buf + (bound - d.z.avail_out));
        return;
    }
    // Compressed into this thread's scratch buffer and copied out at its
    // length: the stream is kept for a while, the bound-sized buffer not.
    libdeflate_compressor* c = compressor();
    const std::size_t bound = libdeflate_zlib_compress_bound(c, n);
    unsigned char* buf = scratch(bound, ScratchSlot::deflated);
    const std::size_t got = libdeflate_zlib_compress(c, in, n, buf, bound);
    // The bound always suffices; nothing but a broken library gets here.
    if (got == 0) fatal(1, "compression failed");
    out.assign(buf, buf + got);
}

uint32_t adler32_update(uint32_t adler, const unsigned char* p, std::size_t n) {
    return libdeflate_adler32(adler, p, n);
}

namespace {

// Makes the raw blocks s, which must give n bytes, joinable: the final
// block's flag is cleared and an empty stored block (three zero bits, then
// 00 00 FF FF at the next byte boundary) brings the piece to a byte
// boundary, where the next piece's first block starts.
void open_end(std::vector<unsigned char>& s, std::size_t n) {
    DeflateEnd e;
    // Anything else is a broken library, and must not reach an archive.
    if (!scan_deflate(s.data(), s.size(), e) || e.out_len != n || (e.end_bit + 7) / 8 != s.size())
        fatal(1, "compression failed: its blocks do not read back");
    s[e.final_flag_bit / 8] = static_cast<unsigned char>(s[e.final_flag_bit / 8] & ~(1u << e.final_flag_bit % 8));
    const unsigned used = unsigned(e.end_bit % 8);  // bits of the last byte in use, 0 for all
    if (used) s.back() = static_cast<unsigned char>(s.back() & ((1u << used) - 1));
    if (used == 0 || used > 5) s.push_back(0);  // the stored block's header does not fit
    s.insert(s.end(), {0x00, 0x00, 0xFF, 0xFF});
}

} // namespace

void deflate_piece(const unsigned char* in, std::size_t n, bool last, std::vector<unsigned char>& out) {
    libdeflate_compressor* c = compressor();
    const std::size_t bound = libdeflate_deflate_compress_bound(c, n);
    unsigned char* buf = scratch(bound, ScratchSlot::deflated);
    const std::size_t got = libdeflate_deflate_compress(c, in, n, buf, bound);
    if (got == 0) fatal(1, "compression failed");
    out.reserve(got + 5);
    out.assign(buf, buf + got);
    if (!last) open_end(out, n);
}

bool inflate_whole(const unsigned char* in, std::size_t n, unsigned char* out, std::size_t origsize) {
    std::size_t got = 0;
    const libdeflate_result r = libdeflate_zlib_decompress(decompressor(), in, n, out, origsize, &got);
    return r == LIBDEFLATE_SUCCESS && got == origsize;
}

bool inflate_stream(int in, const char* in_name, uint64_t offset, uint64_t compsize, uint64_t origsize, int out,
                    const char* out_name, md5_context* ctx) {
    static PerThread<Inflater<15>> slot;
    Inflater<15>& inf = slot.get();
    z_stream& z = inf.z;
    if (inflateReset(&z) != Z_OK) fatal(1, "can not reset decompression");
    std::vector<unsigned char> ibuf(CHUNK), obuf(CHUNK);
    uint64_t pos = offset;
    uint64_t remaining = compsize;
    uint64_t produced = 0;
    int ret = Z_OK;
    do {
        if (remaining == 0) return false;  // the stream needs more than compsize bytes
        const std::size_t want = remaining < CHUNK ? std::size_t(remaining) : CHUNK;
        const std::size_t n = pread_fd(in, ibuf.data(), want, pos, in_name);
        if (n == 0) return false;  // the archive ends inside the member
        pos += n;
        remaining -= n;
        z.next_in = ibuf.data();
        z.avail_in = uInt(n);
        do {
            z.next_out = obuf.data();
            z.avail_out = uInt(CHUNK);
            ret = inflate(&z, Z_NO_FLUSH);
            if (ret == Z_MEM_ERROR) fatal(1, "out of memory while decompressing %s", out_name);
            if (ret == Z_NEED_DICT || ret == Z_DATA_ERROR || ret == Z_STREAM_ERROR) return false;
            const std::size_t have = CHUNK - z.avail_out;
            produced += have;
            if (produced > origsize) return false;
            md5_process_bytes(obuf.data(), have, ctx);
            write_fd(out, obuf.data(), have, out_name);
        } while (z.avail_out == 0 && ret != Z_STREAM_END);
    } while (ret != Z_STREAM_END);
    return produced == origsize;
}
