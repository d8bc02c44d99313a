#include "md5.h"
#include "md5_steps.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

inline uint32_t load_le32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    return v;
}

inline void store_le32(unsigned char* p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}

// The scalar lane: one 32-bit word. The round functions in their cheapest
// forms; G as two separate additions, since (d & b) and (~d & c) never
// carry into each other and the part without b can then issue early.
namespace scalar {

using vec = uint32_t;
inline vec add(vec x, vec y) { return x + y; }
inline vec bcast(uint32_t t) { return t; }
template <int S>
inline vec rol(vec x) {
    return std::rotl(x, S);
}
inline void keep(vec&) {}
inline vec fF(vec b, vec c, vec d) { return d ^ (b & (c ^ d)); }
inline vec fG(vec b, vec c, vec d) { return (~d & c) + (d & b); }
inline vec fH(vec b, vec c, vec d) { return b ^ c ^ d; }
inline vec fI(vec b, vec c, vec d) { return c ^ (b | ~d); }

void transform(md5_context* ctx, const unsigned char* p, std::size_t blocks) {
    vec a = ctx->chain_a, b = ctx->chain_b, c = ctx->chain_c, d = ctx->chain_d;
    while (blocks--) {
        vec w[16];
        for (int i = 0; i < 16; ++i) w[i] = load_le32(p + 4 * i);
        const vec sa = a, sb = b, sc = c, sd = d;
        MD5_ROUNDS()
        a += sa;
        b += sb;
        c += sc;
        d += sd;
        p += 64;
    }
    ctx->chain_a = a;
    ctx->chain_b = b;
    ctx->chain_c = c;
    ctx->chain_d = d;
}

} // namespace scalar

using scalar::transform;

void add_count(md5_context* ctx, std::size_t len) {
    const uint64_t total = (uint64_t(ctx->bytes_high) << 32 | ctx->bytes_low) + len;
    ctx->bytes_low = uint32_t(total);
    ctx->bytes_high = uint32_t(total >> 32);
}

// Digests everything read_some yields. read_some(buf, len, &end) returns the
// number of bytes it put in buf (short reads are continued, not taken as the
// end), sets end once the source is exhausted, and returns -1 on a read
// error. Large reads keep the syscall count low; whole blocks are transformed
// straight from the read buffer and only the tail passes through pending.
template <class ReadSome>
int digest_reads(ReadSome read_some, void* result) {
    constexpr std::size_t BUFSZ = 64 * 1024;
    unsigned char buffer[BUFSZ];
    md5_context ctx;
    md5_init_ctx(&ctx);
    for (;;) {
        std::size_t filled = 0;
        bool end = false;
        while (filled < BUFSZ && !end) {
            const long n = read_some(buffer + filled, BUFSZ - filled, &end);
            if (n < 0) return 1;
            filled += std::size_t(n);
        }
        if (filled < BUFSZ) {
            md5_process_bytes(buffer, filled, &ctx);
            break;
        }
        md5_process_block(buffer, BUFSZ, &ctx);
    }
    md5_finish_ctx(&ctx, result);
    return 0;
}

}  // namespace

void md5_init_ctx(md5_context* ctx) {
    ctx->chain_a = 0x67452301;
    ctx->chain_b = 0xefcdab89;
    ctx->chain_c = 0x98badcfe;
    ctx->chain_d = 0x10325476;
    ctx->bytes_low = ctx->bytes_high = 0;
    ctx->pending_len = 0;
}

void md5_process_block(const void* data, std::size_t len, md5_context* ctx) {
    transform(ctx, static_cast<const unsigned char*>(data), len / 64);
    add_count(ctx, len - len % 64);
}

void md5_process_bytes(const void* data, std::size_t len, md5_context* ctx) {
    auto p = static_cast<const unsigned char*>(data);
    if (ctx->pending_len != 0) {
        const std::size_t take = std::min<std::size_t>(len, 128 - ctx->pending_len);
        std::memcpy(ctx->pending + ctx->pending_len, p, take);
        ctx->pending_len += uint32_t(take);
        if (ctx->pending_len > 64) {
            const std::size_t whole = ctx->pending_len & ~std::size_t(63);
            md5_process_block(ctx->pending, whole, ctx);
            ctx->pending_len -= uint32_t(whole);
            std::memmove(ctx->pending, ctx->pending + whole, ctx->pending_len);
        }
        p += take;
        len -= take;
    }
    if (len > 64) {
        const std::size_t whole = len & ~std::size_t(63);
        md5_process_block(p, whole, ctx);
        p += whole;
        len -= whole;
    }
    if (len > 0) {
        std::memcpy(ctx->pending, p, len);
        ctx->pending_len = uint32_t(len);
    }
}

void* md5_finish_ctx(md5_context* ctx, void* result) {
    const uint32_t len = ctx->pending_len;
    add_count(ctx, len);
    const uint32_t pad = len < 56 ? 56 - len : 120 - len;
    ctx->pending[len] = 0x80;
    std::memset(ctx->pending + len + 1, 0, pad - 1);
    store_le32(ctx->pending + len + pad, ctx->bytes_low << 3);
    store_le32(ctx->pending + len + pad + 4, (ctx->bytes_high << 3) | (ctx->bytes_low >> 29));
    transform(ctx, ctx->pending, (len + pad + 8) / 64);
    auto r = static_cast<unsigned char*>(result);
    store_le32(r, ctx->chain_a);
    store_le32(r + 4, ctx->chain_b);
    store_le32(r + 8, ctx->chain_c);
    store_le32(r + 12, ctx->chain_d);
    return result;
}

int md5_stream(std::FILE* stream, void* result) {
    return digest_reads(
        [stream](unsigned char* p, std::size_t len, bool* end) -> long {
            const std::size_t n = std::fread(p, 1, len, stream);
            if (std::ferror(stream)) return -1;
            // fread comes back short only at the end of the file: asking
            // again would cost one more read() that returns nothing.
            if (n < len) *end = true;
            return long(n);
        },
        result);
}

int md5_fd(int fd, void* result) {
    return digest_reads(
        [fd](unsigned char* p, std::size_t len, bool* end) -> long {
            for (;;) {
                const ssize_t n = ::read(fd, p, len);
                if (n < 0 && errno == EINTR) continue;
                if (n == 0) *end = true;
                return n < 0 ? -1 : long(n);
            }
        },
        result);
}

void* md5_buffer(const void* data, std::size_t len, void* result) {
    md5_context ctx;
    md5_init_ctx(&ctx);
    md5_process_bytes(data, len, &ctx);
    return md5_finish_ctx(&ctx, result);
}

void md5_to_hex(const unsigned char digest[16], char* out) {
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = digits[digest[i] >> 4];
        out[2 * i + 1] = digits[digest[i] & 15];
    }
    out[32] = '\0';
}

void md5_finish_hex(md5_context* ctx, char* out) {
    unsigned char digest[16];
    md5_finish_ctx(ctx, digest);
    md5_to_hex(digest, out);
}

int md5_stream_ascii(std::FILE* stream, char* out) {
    unsigned char digest[16];
    if (md5_stream(stream, digest) != 0) return 1;
    md5_to_hex(digest, out);
    return 0;
}
