#include "md5lib/md5_many.h"

#include "md5lib/md5_steps.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#endif

namespace {

void hash_one_by_one(const unsigned char* const* data, const std::size_t* len, std::size_t n,
                     char (*hex)[MD5_HEX_SIZE]) {
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char digest[16];
        md5_buffer(data[i], len[i], digest);
        md5_to_hex(digest, hex[i]);
    }
}

#if defined(__x86_64__)

// Runs `blocks` consecutive blocks from at[l] through lane l's chain, in all
// lanes at once. chain holds rows a, b, c, d, each one word per lane.
using Compress = void (*)(uint32_t* chain, const unsigned char* const* at, std::size_t blocks);

// F, G, H and I as vpternlogd truth tables over b, c, d.
constexpr int TB = 0xf0, TC = 0xcc, TD = 0xaa;
constexpr int TERN_F = ((TB & TC) | (~TB & TD)) & 0xff;
constexpr int TERN_G = ((TB & TD) | (TC & ~TD)) & 0xff;
constexpr int TERN_H = (TB ^ TC ^ TD) & 0xff;
constexpr int TERN_I = (TC ^ (TB | ~TD)) & 0xff;

// The compress function of a lane type: LOAD and STORE move a row of chain
// (a word per lane) unaligned, load_words puts word j of every lane's block
// into w[j].
#define MD5_COMPRESS(LOAD, STORE)                                                                   \
    MD5_TARGET void compress(uint32_t* chain, const unsigned char* const* at, std::size_t blocks) { \
        vec* const row = reinterpret_cast<vec*>(chain);                                             \
        vec a = LOAD(row), b = LOAD(row + 1);                                                       \
        vec c = LOAD(row + 2), d = LOAD(row + 3);                                                   \
        for (std::size_t i = 0; i < blocks; ++i) {                                                  \
            vec w[16];                                                                              \
            load_words(at, 64 * i, w);                                                              \
            const vec sa = a, sb = b, sc = c, sd = d;                                               \
            MD5_ROUNDS()                                                                            \
            a = add(a, sa);                                                                         \
            b = add(b, sb);                                                                         \
            c = add(c, sc);                                                                         \
            d = add(d, sd);                                                                         \
        }                                                                                           \
        STORE(row, a);                                                                              \
        STORE(row + 1, b);                                                                          \
        STORE(row + 2, c);                                                                          \
        STORE(row + 3, d);                                                                          \
    }

// GCC 12's AVX-512 intrinsics fill their unused mask source from a
// deliberately undefined value, which -Wmaybe-uninitialized reports once
// they are inlined here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
namespace avx512 {

#define MD5_TARGET __attribute__((target("avx512f")))
constexpr std::size_t LANES = 16;
using vec = __m512i;

MD5_TARGET inline vec add(vec x, vec y) { return _mm512_add_epi32(x, y); }
MD5_TARGET inline vec bcast(uint32_t t) { return _mm512_set1_epi32(int(t)); }
MD5_TARGET inline void keep(vec& x) { asm("" : "+v"(x)); }
template <int S>
MD5_TARGET inline vec rol(vec x) {
    return _mm512_rol_epi32(x, S);
}
MD5_TARGET inline vec fF(vec b, vec c, vec d) { return _mm512_ternarylogic_epi32(b, c, d, TERN_F); }
MD5_TARGET inline vec fG(vec b, vec c, vec d) { return _mm512_ternarylogic_epi32(b, c, d, TERN_G); }
MD5_TARGET inline vec fH(vec b, vec c, vec d) { return _mm512_ternarylogic_epi32(b, c, d, TERN_H); }
MD5_TARGET inline vec fI(vec b, vec c, vec d) { return _mm512_ternarylogic_epi32(b, c, d, TERN_I); }

// w[j] gets word j of every lane's block at at[l] + off: sixteen rows of
// sixteen words transposed, 4x4 within each 128-bit quarter, then the
// quarters.
MD5_TARGET inline void load_words(const unsigned char* const* at, std::size_t off, vec w[16]) {
    vec u[16];
    for (int g = 0; g < 4; ++g) {
        const vec r0 = _mm512_loadu_si512(at[4 * g] + off), r1 = _mm512_loadu_si512(at[4 * g + 1] + off);
        const vec r2 = _mm512_loadu_si512(at[4 * g + 2] + off), r3 = _mm512_loadu_si512(at[4 * g + 3] + off);
        const vec t0 = _mm512_unpacklo_epi32(r0, r1), t1 = _mm512_unpackhi_epi32(r0, r1);
        const vec t2 = _mm512_unpacklo_epi32(r2, r3), t3 = _mm512_unpackhi_epi32(r2, r3);
        // u[4m + g], quarter q: word 4q + m of rows 4g .. 4g + 3.
        u[g] = _mm512_unpacklo_epi64(t0, t2);
        u[4 + g] = _mm512_unpackhi_epi64(t0, t2);
        u[8 + g] = _mm512_unpacklo_epi64(t1, t3);
        u[12 + g] = _mm512_unpackhi_epi64(t1, t3);
    }
    for (int m = 0; m < 4; ++m) {
        const vec* s = u + 4 * m;
        const vec v0 = _mm512_shuffle_i32x4(s[0], s[1], 0x88), v1 = _mm512_shuffle_i32x4(s[0], s[1], 0xdd);
        const vec v2 = _mm512_shuffle_i32x4(s[2], s[3], 0x88), v3 = _mm512_shuffle_i32x4(s[2], s[3], 0xdd);
        w[m] = _mm512_shuffle_i32x4(v0, v2, 0x88);
        w[4 + m] = _mm512_shuffle_i32x4(v1, v3, 0x88);
        w[8 + m] = _mm512_shuffle_i32x4(v0, v2, 0xdd);
        w[12 + m] = _mm512_shuffle_i32x4(v1, v3, 0xdd);
    }
}

MD5_COMPRESS(_mm512_loadu_si512, _mm512_storeu_si512)
#undef MD5_TARGET

} // namespace avx512
#pragma GCC diagnostic pop

namespace avx2 {

#define MD5_TARGET __attribute__((target("avx2")))
constexpr std::size_t LANES = 8;
using vec = __m256i;

MD5_TARGET inline vec add(vec x, vec y) { return _mm256_add_epi32(x, y); }
MD5_TARGET inline vec bcast(uint32_t t) { return _mm256_set1_epi32(int(t)); }
MD5_TARGET inline void keep(vec& x) { asm("" : "+v"(x)); }
template <int S>
MD5_TARGET inline vec rol(vec x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, S), _mm256_srli_epi32(x, 32 - S));
}
// b, the newest value, comes in last: c and d are combined first.
MD5_TARGET inline vec fF(vec b, vec c, vec d) {
    return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
}
MD5_TARGET inline vec fG(vec b, vec c, vec d) {
    return _mm256_or_si256(_mm256_and_si256(d, b), _mm256_andnot_si256(d, c));
}
MD5_TARGET inline vec fH(vec b, vec c, vec d) { return _mm256_xor_si256(b, _mm256_xor_si256(c, d)); }
MD5_TARGET inline vec fI(vec b, vec c, vec d) {
    return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
}

// w[j] gets word j of every lane's half block at at[l] + off: an 8x8
// transpose, 4x4 within each 128-bit half, then the halves.
MD5_TARGET inline void transpose_half(const unsigned char* const* at, std::size_t off, vec* w) {
    vec u[8];
    for (int g = 0; g < 2; ++g) {
        vec r[4];
        for (int l = 0; l < 4; ++l) r[l] = _mm256_loadu_si256(reinterpret_cast<const vec*>(at[4 * g + l] + off));
        const vec r0 = r[0], r1 = r[1], r2 = r[2], r3 = r[3];
        const vec t0 = _mm256_unpacklo_epi32(r0, r1), t1 = _mm256_unpackhi_epi32(r0, r1);
        const vec t2 = _mm256_unpacklo_epi32(r2, r3), t3 = _mm256_unpackhi_epi32(r2, r3);
        // u[2m + g], half h: word 4h + m of rows 4g .. 4g + 3.
        u[g] = _mm256_unpacklo_epi64(t0, t2);
        u[2 + g] = _mm256_unpackhi_epi64(t0, t2);
        u[4 + g] = _mm256_unpacklo_epi64(t1, t3);
        u[6 + g] = _mm256_unpackhi_epi64(t1, t3);
    }
    for (int m = 0; m < 4; ++m) {
        w[m] = _mm256_permute2x128_si256(u[2 * m], u[2 * m + 1], 0x20);
        w[4 + m] = _mm256_permute2x128_si256(u[2 * m], u[2 * m + 1], 0x31);
    }
}

MD5_TARGET inline void load_words(const unsigned char* const* at, std::size_t off, vec w[16]) {
    transpose_half(at, off, w);
    transpose_half(at, off + 32, w + 8);
}

MD5_COMPRESS(_mm256_loadu_si256, _mm256_storeu_si256)
#undef MD5_TARGET

} // namespace avx2

// A lane runs its buffer's whole blocks in place, then the tail: the last
// partial block, the padding and the bit count, one or two blocks.
struct Lane {
    std::size_t buf = 0;               // index of the buffer in this lane
    const unsigned char* at = nullptr; // its next block
    std::size_t left = 0;              // blocks left at `at`; 0 when idle
    std::size_t tail_blocks = 0;       // blocks in tail, once `at` has run out
    unsigned char tail[128];
};

// Moves a lane whose blocks at `at` have run out on to its tail; false once
// the tail has run as well.
bool enter_tail(Lane& lane) {
    if (lane.tail_blocks == 0) return false;
    lane.at = lane.tail;
    lane.left = std::exchange(lane.tail_blocks, 0);
    return true;
}

void start_lane(Lane& lane, std::size_t buf, const unsigned char* data, std::size_t len) {
    const std::size_t whole = len / 64, rest = len % 64;
    if (rest != 0) std::memcpy(lane.tail, data + 64 * whole, rest);
    lane.tail_blocks = rest < 56 ? 1 : 2;
    const std::size_t end = 64 * lane.tail_blocks;
    lane.tail[rest] = 0x80;
    std::memset(lane.tail + rest + 1, 0, end - 8 - rest - 1);
    const uint64_t bits = uint64_t(len) * 8; // modulo 2^64, as RFC 1321 counts
    std::memcpy(lane.tail + end - 8, &bits, 8);
    lane.buf = buf;
    lane.at = data;
    lane.left = whole;
    if (lane.left == 0) enter_tail(lane);
}

template <std::size_t N>
void hash_in_lanes(Compress compress, const unsigned char* const* data, const std::size_t* len, std::size_t n,
                   char (*hex)[MD5_HEX_SIZE]) {
    Lane lanes[N];
    uint32_t chain[4 * N];
    md5_context fresh;
    md5_init_ctx(&fresh);
    const uint32_t iv[4] = {fresh.chain_a, fresh.chain_b, fresh.chain_c, fresh.chain_d};
    std::size_t next = 0;
    const auto refill = [&](std::size_t l) {
        if (next == n) {
            lanes[l].left = 0;
            return;
        }
        start_lane(lanes[l], next, data[next], len[next]);
        ++next;
        for (std::size_t r = 0; r < 4; ++r) chain[r * N + l] = iv[r];
    };
    for (std::size_t l = 0; l < N; ++l) refill(l);
    const auto emit = [&](std::size_t l) {
        unsigned char digest[16];
        for (std::size_t r = 0; r < 4; ++r) std::memcpy(digest + 4 * r, &chain[r * N + l], 4);
        md5_to_hex(digest, hex[lanes[l].buf]);
    };

    for (;;) {
        // A run: as many blocks as every busy lane has in a row, so the
        // chain stays in registers across them.
        std::size_t run = SIZE_MAX, busy = 0, last = 0;
        for (std::size_t l = 0; l < N; ++l)
            if (lanes[l].left != 0) {
                run = std::min(run, lanes[l].left);
                ++busy;
                last = l;
            }
        if (busy == 0) break;
        // One lane alone runs at about 0.6 times the scalar code, whose
        // chain is shorter: the scalar code takes over the lane's chain and
        // finishes it. A single buffer is hashed that way from the start.
        if (busy == 1) {
            Lane& lane = lanes[last];
            md5_context ctx;
            md5_init_ctx(&ctx);
            ctx.chain_a = chain[last], ctx.chain_b = chain[N + last];
            ctx.chain_c = chain[2 * N + last], ctx.chain_d = chain[3 * N + last];
            md5_process_block(lane.at, 64 * lane.left, &ctx);
            md5_process_block(lane.tail, 64 * lane.tail_blocks, &ctx);
            chain[last] = ctx.chain_a, chain[N + last] = ctx.chain_b;
            chain[2 * N + last] = ctx.chain_c, chain[3 * N + last] = ctx.chain_d;
            emit(last);
            break;
        }
        const unsigned char* const spare = lanes[last].at;
        // An idle lane repeats a busy lane's blocks: they are there to read
        // for the whole run, and that lane's chain is never read.
        const unsigned char* at[N];
        for (std::size_t l = 0; l < N; ++l) at[l] = lanes[l].left != 0 ? lanes[l].at : spare;
        compress(chain, at, run);

        for (std::size_t l = 0; l < N; ++l) {
            Lane& lane = lanes[l];
            if (lane.left == 0) continue;
            lane.at += 64 * run;
            lane.left -= run;
            if (lane.left != 0 || enter_tail(lane)) continue;
            emit(l);
            refill(l);
        }
    }
}

Md5Level detect_level() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return Md5Level::avx512;
    if (__builtin_cpu_supports("avx2")) return Md5Level::avx2;
    return Md5Level::scalar;
}

#else

Md5Level detect_level() { return Md5Level::scalar; }

#endif

} // namespace

Md5Level md5_many_best() {
    static const Md5Level best = detect_level();
    return best;
}

bool md5_many_supported(Md5Level level) { return level <= md5_many_best(); }

void md5_many_at(Md5Level level, const unsigned char* const* data, const std::size_t* len, std::size_t n,
                 char (*hex)[MD5_HEX_SIZE]) {
    switch (md5_many_supported(level) ? level : md5_many_best()) {
#if defined(__x86_64__)
    case Md5Level::avx512:
        return hash_in_lanes<avx512::LANES>(avx512::compress, data, len, n, hex);
    case Md5Level::avx2:
        return hash_in_lanes<avx2::LANES>(avx2::compress, data, len, n, hex);
#endif
    default:
        return hash_one_by_one(data, len, n, hex);
    }
}

void md5_many(const unsigned char* const* data, const std::size_t* len, std::size_t n, char (*hex)[MD5_HEX_SIZE]) {
    md5_many_at(md5_many_best(), data, len, n, hex);
}

void Md5Batch::run() {
    const std::unique_ptr<char[][MD5_HEX_SIZE]> got(new char[hex_.size()][MD5_HEX_SIZE]);
    md5_many(data_.data(), len_.data(), hex_.size(), got.get());
    for (std::size_t i = 0; i < hex_.size(); ++i) std::memcpy(hex_[i], got[i], MD5_HEX_SIZE);
}
