#include "archive/codec.h"

#include "util/fatal.h"
#include "util/fileio.h"

#include <cerrno>
#include <libdeflate.h>
#include <memory>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr std::size_t CHUNK = 256 * 1024;
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
struct Inflater {
    z_stream z{};
    Inflater() {
        if (inflateInit(&z) != Z_OK) fatal(1, "can not set up decompression: %s", z.msg ? z.msg : "out of memory");
    }
    ~Inflater() { inflateEnd(&z); }
};

libdeflate_compressor* compressor() {
    thread_local std::unique_ptr<libdeflate_compressor, CompressorFree> c(libdeflate_alloc_compressor(9));
    if (!c) throw std::bad_alloc();
    return c.get();
}

libdeflate_decompressor* decompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> d(libdeflate_alloc_decompressor());
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
        thread_local Deflater d;
        if (deflateReset(&d.z) != Z_OK) fatal(1, "can not reset compression");
        const std::size_t bound = deflateBound(&d.z, uLong(n));
        unsigned char* buf = scratch(bound, 3);
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
    unsigned char* buf = scratch(bound, 3);
    const std::size_t got = libdeflate_zlib_compress(c, in, n, buf, bound);
    // The bound always suffices; nothing but a broken library gets here.
    if (got == 0) fatal(1, "compression failed");
    out.assign(buf, buf + got);
}

bool inflate_whole(const unsigned char* in, std::size_t n, unsigned char* out, std::size_t origsize) {
    std::size_t got = 0;
    const libdeflate_result r = libdeflate_zlib_decompress(decompressor(), in, n, out, origsize, &got);
    return r == LIBDEFLATE_SUCCESS && got == origsize;
}

uint64_t deflate_stream(int in, const char* in_name, int out, const char* out_name, md5_context* ctx,
                        uint64_t limit, uint64_t* written) {
    thread_local Deflater d;
    if (deflateReset(&d.z) != Z_OK) fatal(1, "can not reset compression for %s", in_name);
    std::vector<unsigned char> ibuf(CHUNK), obuf(CHUNK);
    uint64_t total_in = 0;
    uint64_t total_out = 0;
    int flush = Z_NO_FLUSH;
    int ret = Z_OK;
    do {
        const std::size_t n = read_fd(in, ibuf.data(), CHUNK, in_name);
        total_in += n;
        if (total_in > limit) fatal(1, "%s: a file of 4 GiB or more can not be stored in an archive", in_name);
        md5_process_bytes(ibuf.data(), n, ctx);
        flush = n < CHUNK ? Z_FINISH : Z_NO_FLUSH;
        d.z.next_in = ibuf.data();
        d.z.avail_in = uInt(n);
        do {
            d.z.next_out = obuf.data();
            d.z.avail_out = uInt(CHUNK);
            ret = deflate(&d.z, flush);
            if (ret == Z_STREAM_ERROR) fatal(1, "compression failed on %s", in_name);
            const std::size_t have = CHUNK - d.z.avail_out;
            total_out += have;
            if (total_out > limit)
                fatal(1, "%s: the archive would reach 4 GiB, which the format can not hold", out_name);
            write_fd(out, obuf.data(), have, out_name);
        } while (d.z.avail_out == 0);
    } while (flush != Z_FINISH);
    if (ret != Z_STREAM_END) fatal(1, "compression of %s did not finish", in_name);
    *written = total_out;
    return total_in;
}

bool inflate_stream(int in, const char* in_name, uint64_t offset, uint64_t compsize, uint64_t origsize, int out,
                    const char* out_name, md5_context* ctx) {
    thread_local Inflater inf;
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
