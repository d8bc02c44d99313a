#include "archive/codec.h"

#include "archive/blocks.h"

#include "util/cleanup.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/perthread.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <libdeflate.h>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
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
// Raw deflate blocks, in a window of 15 bits.
struct Inflater {
    z_stream z{};
    Inflater() {
        if (inflateInit2(&z, -15) != Z_OK)
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

// Writes and hashes what an inflater produces, in order, on a thread of
// its own when asked: inflating a large member takes about as long as
// hashing and writing it together, so the inflater's thread does nothing
// else. The inflater fills a free slot and hands it on; the writer gives it
// back once written and hashed, and keeps a failure for the inflater's
// thread to rethrow. Without the thread (one thread for the run, or none to
// be had) the slot is written and hashed at once.
class Writer {
public:
    static constexpr std::size_t SLOT = 1u << 20;
    static constexpr std::size_t SLOTS = 4;

    Writer(int out, const char* out_name, md5_context* ctx, bool beside)
        : out_(out), out_name_(out_name), ctx_(ctx), bufs_(beside ? SLOTS : 1) {
        for (auto& b : bufs_) b.reset(new unsigned char[SLOT]);
        if (!beside) return;
        try {
            // The calling thread of the run may inflate too: the writer it
            // starts must not take the signals meant for it.
            const SignalsBlocked quiet;
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            bufs_.resize(1);
        }
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    // The next slot to fill, once the writer is done with it.
    unsigned char* slot() {
        if (!thread_.joinable()) return bufs_[0].get();
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return filled_ - hashed_ < bufs_.size() || failed_; });
        if (failed_) std::rethrow_exception(failed_);
        return bufs_[filled_ % bufs_.size()].get();
    }
    // Hands the slot's first n bytes on.
    void fill(std::size_t n) {
        if (!thread_.joinable()) return put(bufs_[0].get(), n);
        {
            std::lock_guard<std::mutex> lock(mu_);
            lens_[filled_ % bufs_.size()] = n;
            ++filled_;
        }
        cv_.notify_all();
    }
    // Waits until every slot handed on is written and hashed.
    void finish() {
        if (!thread_.joinable()) return;
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return hashed_ == filled_ || failed_; });
        if (failed_) std::rethrow_exception(failed_);
    }

private:
    void put(const unsigned char* p, std::size_t n) {
        write_fd(out_, p, n, out_name_);
        md5_process_bytes(p, n, ctx_);
    }
    void run() {
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || hashed_ < filled_; });
            if (hashed_ == filled_) return;  // stopped with nothing left
            const std::size_t i = hashed_ % bufs_.size();
            lock.unlock();
            std::exception_ptr failure;
            try {
                put(bufs_[i].get(), lens_[i]);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            if (failure) {
                failed_ = failure;
                cv_.notify_all();
                return;
            }
            ++hashed_;
            cv_.notify_all();
        }
    }

    int out_;
    const char* out_name_;
    md5_context* ctx_;
    std::vector<std::unique_ptr<unsigned char[]>> bufs_;
    std::size_t lens_[SLOTS] = {};
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    uint64_t filled_ = 0;  // slots handed on, under mu_
    uint64_t hashed_ = 0;  // slots written and hashed, under mu_
    std::exception_ptr failed_;  // the write that failed, under mu_
    bool stop_ = false;
};

// The compressed bytes of one member, read in chunks from its offset.
struct StreamIn {
    int fd;
    const char* name;
    uint64_t pos;
    uint64_t remaining;
    std::vector<unsigned char> buf = std::vector<unsigned char>(4 * CHUNK);

    // Reads the next chunk into z's input; false at the member's end or
    // the archive's.
    bool next(z_stream& z) {
        if (remaining == 0) return false;
        const std::size_t want = std::size_t(std::min<uint64_t>(remaining, buf.size()));
        const std::size_t n = pread_fd(fd, buf.data(), want, pos, name);
        if (n == 0) return false;
        pos += n;
        remaining -= n;
        z.next_in = buf.data();
        z.avail_in = uInt(n);
        return true;
    }
    // Takes the next n bytes of the stream into p.
    bool take(z_stream& z, unsigned char* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (z.avail_in == 0 && !next(z)) return false;
            p[i] = *z.next_in++;
            --z.avail_in;
        }
        return true;
    }
};

// Whether h is a zlib header that inflate(3) with a window of 15 bits
// takes: deflate, a window of at most 32 KiB, its check, no dictionary.
bool zlib_header_ok(const unsigned char* h) {
    return (h[0] & 0x0F) == 8 && (h[0] >> 4) <= 7 && (h[0] << 8 | h[1]) % 31 == 0 && !(h[1] & 0x20);
}

}  // namespace

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
                    const char* out_name, md5_context* ctx, bool hash_beside) {
    // Raw blocks through zlib, the header and the Adler-32 checked here:
    // libdeflate's Adler-32 is several times faster than zlib's.
    static PerThread<Inflater> slot;
    z_stream& z = slot.get().z;
    if (inflateReset(&z) != Z_OK) fatal(1, "can not reset decompression");
    StreamIn src{in, in_name, offset, compsize};
    z.avail_in = 0;
    unsigned char head[2];
    if (!src.take(z, head, sizeof head) || !zlib_header_ok(head)) return false;
    Writer writer(out, out_name, ctx, hash_beside);
    uint64_t produced = 0;
    uint32_t adler = 1;
    int ret = Z_OK;
    while (ret != Z_STREAM_END) {
        unsigned char* buf = writer.slot();
        z.next_out = buf;
        z.avail_out = uInt(Writer::SLOT);
        // A slot is filled whole unless the stream ends first.
        while (z.avail_out != 0 && ret != Z_STREAM_END) {
            // Past the member's bytes inflate still gives what it holds,
            // then asks for more: the stream needs more than compsize.
            if (z.avail_in == 0) src.next(z);
            ret = inflate(&z, Z_NO_FLUSH);
            if (ret == Z_MEM_ERROR) fatal(1, "out of memory while decompressing %s", out_name);
            if (ret != Z_OK && ret != Z_STREAM_END) return false;
            // Inflating stops as soon as it passes origsize.
            if (produced + (Writer::SLOT - z.avail_out) > origsize) return false;
        }
        const std::size_t have = Writer::SLOT - z.avail_out;
        produced += have;
        adler = adler32_update(adler, buf, have);
        writer.fill(have);
    }
    unsigned char tail[4];
    if (!src.take(z, tail, sizeof tail)) return false;
    writer.finish();
    return produced == origsize &&
           (uint32_t(tail[0]) << 24 | uint32_t(tail[1]) << 16 | uint32_t(tail[2]) << 8 | tail[3]) == adler;
}
