#include "md5.h"

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

// The round functions in their cheapest forms; the message word and the
// constant are added before the function so the adds can issue early.
#define MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

#define STEP_F(a, b, c, d, k, s, t)                       \
    a += x[k] + (t);                                      \
    a += MD5_F(b, c, d);                                  \
    a = std::rotl(a, s) + (b);
// G as two separate additions: (d & b) + (~d & c) never carry into each other.
#define STEP_G(a, b, c, d, k, s, t)                       \
    a += x[k] + (t);                                      \
    a += (~(d) & (c));                                    \
    a += ((d) & (b));                                     \
    a = std::rotl(a, s) + (b);
#define STEP_H(a, b, c, d, k, s, t)                       \
    a += x[k] + (t);                                      \
    a += MD5_H(b, c, d);                                  \
    a = std::rotl(a, s) + (b);
#define STEP_I(a, b, c, d, k, s, t)                       \
    a += x[k] + (t);                                      \
    a += MD5_I(b, c, d);                                  \
    a = std::rotl(a, s) + (b);

void transform(md5_context* ctx, const unsigned char* p, std::size_t blocks) {
    uint32_t a = ctx->chain_a, b = ctx->chain_b, c = ctx->chain_c, d = ctx->chain_d;
    while (blocks--) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = load_le32(p + 4 * i);
        const uint32_t sa = a, sb = b, sc = c, sd = d;

        STEP_F(a, b, c, d, 0, 7, 0xd76aa478)
        STEP_F(d, a, b, c, 1, 12, 0xe8c7b756)
        STEP_F(c, d, a, b, 2, 17, 0x242070db)
        STEP_F(b, c, d, a, 3, 22, 0xc1bdceee)
        STEP_F(a, b, c, d, 4, 7, 0xf57c0faf)
        STEP_F(d, a, b, c, 5, 12, 0x4787c62a)
        STEP_F(c, d, a, b, 6, 17, 0xa8304613)
        STEP_F(b, c, d, a, 7, 22, 0xfd469501)
        STEP_F(a, b, c, d, 8, 7, 0x698098d8)
        STEP_F(d, a, b, c, 9, 12, 0x8b44f7af)
        STEP_F(c, d, a, b, 10, 17, 0xffff5bb1)
        STEP_F(b, c, d, a, 11, 22, 0x895cd7be)
        STEP_F(a, b, c, d, 12, 7, 0x6b901122)
        STEP_F(d, a, b, c, 13, 12, 0xfd987193)
        STEP_F(c, d, a, b, 14, 17, 0xa679438e)
        STEP_F(b, c, d, a, 15, 22, 0x49b40821)

        STEP_G(a, b, c, d, 1, 5, 0xf61e2562)
        STEP_G(d, a, b, c, 6, 9, 0xc040b340)
        STEP_G(c, d, a, b, 11, 14, 0x265e5a51)
        STEP_G(b, c, d, a, 0, 20, 0xe9b6c7aa)
        STEP_G(a, b, c, d, 5, 5, 0xd62f105d)
        STEP_G(d, a, b, c, 10, 9, 0x02441453)
        STEP_G(c, d, a, b, 15, 14, 0xd8a1e681)
        STEP_G(b, c, d, a, 4, 20, 0xe7d3fbc8)
        STEP_G(a, b, c, d, 9, 5, 0x21e1cde6)
        STEP_G(d, a, b, c, 14, 9, 0xc33707d6)
        STEP_G(c, d, a, b, 3, 14, 0xf4d50d87)
        STEP_G(b, c, d, a, 8, 20, 0x455a14ed)
        STEP_G(a, b, c, d, 13, 5, 0xa9e3e905)
        STEP_G(d, a, b, c, 2, 9, 0xfcefa3f8)
        STEP_G(c, d, a, b, 7, 14, 0x676f02d9)
        STEP_G(b, c, d, a, 12, 20, 0x8d2a4c8a)

        STEP_H(a, b, c, d, 5, 4, 0xfffa3942)
        STEP_H(d, a, b, c, 8, 11, 0x8771f681)
        STEP_H(c, d, a, b, 11, 16, 0x6d9d6122)
        STEP_H(b, c, d, a, 14, 23, 0xfde5380c)
        STEP_H(a, b, c, d, 1, 4, 0xa4beea44)
        STEP_H(d, a, b, c, 4, 11, 0x4bdecfa9)
        STEP_H(c, d, a, b, 7, 16, 0xf6bb4b60)
        STEP_H(b, c, d, a, 10, 23, 0xbebfbc70)
        STEP_H(a, b, c, d, 13, 4, 0x289b7ec6)
        STEP_H(d, a, b, c, 0, 11, 0xeaa127fa)
        STEP_H(c, d, a, b, 3, 16, 0xd4ef3085)
        STEP_H(b, c, d, a, 6, 23, 0x04881d05)
        STEP_H(a, b, c, d, 9, 4, 0xd9d4d039)
        STEP_H(d, a, b, c, 12, 11, 0xe6db99e5)
        STEP_H(c, d, a, b, 15, 16, 0x1fa27cf8)
        STEP_H(b, c, d, a, 2, 23, 0xc4ac5665)

        STEP_I(a, b, c, d, 0, 6, 0xf4292244)
        STEP_I(d, a, b, c, 7, 10, 0x432aff97)
        STEP_I(c, d, a, b, 14, 15, 0xab9423a7)
        STEP_I(b, c, d, a, 5, 21, 0xfc93a039)
        STEP_I(a, b, c, d, 12, 6, 0x655b59c3)
        STEP_I(d, a, b, c, 3, 10, 0x8f0ccc92)
        STEP_I(c, d, a, b, 10, 15, 0xffeff47d)
        STEP_I(b, c, d, a, 1, 21, 0x85845dd1)
        STEP_I(a, b, c, d, 8, 6, 0x6fa87e4f)
        STEP_I(d, a, b, c, 15, 10, 0xfe2ce6e0)
        STEP_I(c, d, a, b, 6, 15, 0xa3014314)
        STEP_I(b, c, d, a, 13, 21, 0x4e0811a1)
        STEP_I(a, b, c, d, 4, 6, 0xf7537e82)
        STEP_I(d, a, b, c, 11, 10, 0xbd3af235)
        STEP_I(c, d, a, b, 2, 15, 0x2ad7d2bb)
        STEP_I(b, c, d, a, 9, 21, 0xeb86d391)

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

void add_count(md5_context* ctx, std::size_t len) {
    const uint64_t total = (uint64_t(ctx->bytes_high) << 32 | ctx->bytes_low) + len;
    ctx->bytes_low = uint32_t(total);
    ctx->bytes_high = uint32_t(total >> 32);
}

} // namespace

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

void* md5_read_ctx(const md5_context* ctx, void* result) {
    auto r = static_cast<unsigned char*>(result);
    store_le32(r, ctx->chain_a);
    store_le32(r + 4, ctx->chain_b);
    store_le32(r + 8, ctx->chain_c);
    store_le32(r + 12, ctx->chain_d);
    return result;
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
    return md5_read_ctx(ctx, result);
}

namespace {

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

} // namespace

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
