#include "archive/blocks.h"

#include <bit>
#include <cstring>

namespace {

constexpr unsigned MAX_BITS = 15;    // the longest code deflate allows
constexpr unsigned TABLE_BITS = 10;  // codes up to this long are found in one look
constexpr unsigned LITLEN_CODES = 288;
constexpr unsigned END_OF_BLOCK = 256;

// Lengths (symbols 257-285) and distances (0-29): base and extra bits.
constexpr uint16_t LEN_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t LEN_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t DIST_BASE[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block gives the code length code's lengths.
constexpr uint8_t CL_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Bits least significant first, as deflate packs them. Past the end of the
// input it reads zeros: the walk checks its position after every code, so
// it never takes more than one code's worth of them.
class Bits {
public:
    Bits(const unsigned char* p, std::size_t n) : p_(p), n_(n) {}
    // At least 57 bits from the position on.
    uint64_t peek() const {
        const std::size_t byte = pos_ >> 3;
        uint64_t v = 0;
        if (byte + 8 <= n_)
            std::memcpy(&v, p_ + byte, 8);
        else if (byte < n_)
            std::memcpy(&v, p_ + byte, n_ - byte);
        if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
        return v >> (pos_ & 7);
    }
    uint32_t take(unsigned k) {
        const uint32_t v = uint32_t(peek() & ((uint64_t(1) << k) - 1));
        pos_ += k;
        return v;
    }
    void skip(unsigned k) { pos_ += k; }
    void to_byte() { pos_ = (pos_ + 7) & ~std::size_t(7); }
    std::size_t pos() const { return pos_; }
    bool past_end() const { return pos_ > n_ * 8; }

private:
    const unsigned char* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

// A canonical Huffman code. A code of at most TABLE_BITS is found by one
// look at the table (entry: symbol << 4 | length); a longer one, or bits
// that start no code, find a 0 there and are decoded bit by bit from the
// counts and the symbols in code order.
struct Code {
    uint16_t table[1u << TABLE_BITS];
    uint16_t count[MAX_BITS + 1];
    uint16_t symbol[LITLEN_CODES];
};

uint32_t reversed(uint32_t code, unsigned len) {
    uint32_t r = 0;
    for (unsigned i = 0; i < len; ++i, code >>= 1) r = r << 1 | (code & 1);
    return r;
}

// False for lengths that claim more codes than there are: such a code
// can not be decoded. An incomplete code is taken; bits that start none
// of its codes fail when they are met.
bool build(Code& c, const uint8_t* lengths, unsigned n) {
    std::memset(c.count, 0, sizeof c.count);
    for (unsigned i = 0; i < n; ++i) ++c.count[lengths[i]];
    c.count[0] = 0;
    int left = 1;
    for (unsigned len = 1; len <= MAX_BITS; ++len) {
        left = 2 * left - c.count[len];
        if (left < 0) return false;
    }
    uint16_t next[MAX_BITS + 2] = {};
    for (unsigned len = 1; len <= MAX_BITS; ++len) next[len + 1] = uint16_t(next[len] + c.count[len]);
    for (unsigned s = 0; s < n; ++s)
        if (lengths[s]) c.symbol[next[lengths[s]]++] = uint16_t(s);
    std::memset(c.table, 0, sizeof c.table);
    uint32_t code = 0;
    unsigned k = 0;
    for (unsigned len = 1; len <= TABLE_BITS; ++len, code <<= 1) {
        for (unsigned j = 0; j < c.count[len]; ++j, ++code, ++k) {
            const uint16_t e = uint16_t(c.symbol[k] << 4 | len);
            for (uint32_t r = reversed(code, len); r < (1u << TABLE_BITS); r += 1u << len) c.table[r] = e;
        }
    }
    return true;
}

// Decodes one code from the bits v (the next ones first) and sets used
// to its length; -1 when they start no code. A code longer than the
// table's is decoded bit by bit, in code order.
inline int decode(uint64_t v, const Code& c, unsigned& used) {
    const uint16_t e = c.table[v & ((1u << TABLE_BITS) - 1)];
    if (e & 15) {
        used = e & 15;
        return e >> 4;
    }
    int code = 0, first = 0, index = 0;
    for (unsigned len = 1; len <= MAX_BITS; ++len, v >>= 1) {
        code |= int(v & 1);
        const int count = c.count[len];
        if (code - count < first) {
            used = len;
            return c.symbol[index + code - first];
        }
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return -1;
}

inline int decode(Bits& b, const Code& c) {
    unsigned used = 0;
    const int sym = decode(b.peek(), c, used);
    b.skip(used);
    return sym;
}

uint32_t low_bits(uint64_t v, unsigned k) { return uint32_t(v & ((uint64_t(1) << k) - 1)); }

// One block's codes, up to its end code; out counts the bytes they give.
// A length, its extra bits, its distance and theirs take at most 48 bits:
// one look at the input serves them all.
bool walk_codes(Bits& b, const Code& lit, const Code& dist, uint64_t& out) {
    for (;;) {
        if (b.past_end()) return false;
        uint64_t v = b.peek();
        unsigned used = 0;
        int sym = decode(v, lit, used);
        if (sym < int(END_OF_BLOCK)) {
            if (sym < 0) return false;
            b.skip(used);
            ++out;
            continue;
        }
        if (sym == int(END_OF_BLOCK)) {
            b.skip(used);
            return true;
        }
        sym -= END_OF_BLOCK + 1;
        if (sym >= 29) return false;
        v >>= used;
        unsigned taken = used;
        const uint32_t len = LEN_BASE[sym] + low_bits(v, LEN_EXTRA[sym]);
        v >>= LEN_EXTRA[sym];
        taken += LEN_EXTRA[sym];
        const int d = decode(v, dist, used);
        if (d < 0 || d >= 30) return false;
        if (DIST_BASE[d] + low_bits(v >> used, DIST_EXTRA[d]) > out) return false;
        b.skip(taken + used + DIST_EXTRA[d]);
        out += len;
    }
}

bool stored(Bits& b, uint64_t& out) {
    b.to_byte();
    const uint32_t len = b.take(16), nlen = b.take(16);
    if (b.past_end() || len != (~nlen & 0xFFFF)) return false;
    b.skip(len * 8);
    out += len;
    return true;
}

bool fixed(Bits& b, uint64_t& out) {
    static const struct Fixed {
        Code lit, dist;
        Fixed() {
            uint8_t l[LITLEN_CODES];
            for (unsigned i = 0; i < LITLEN_CODES; ++i) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
            build(lit, l, LITLEN_CODES);
            uint8_t d[30];
            std::memset(d, 5, sizeof d);
            build(dist, d, 30);
        }
    } f;
    return walk_codes(b, f.lit, f.dist, out);
}

bool dynamic(Bits& b, uint64_t& out) {
    const unsigned nlen = b.take(5) + 257, ndist = b.take(5) + 1, ncl = b.take(4) + 4;
    if (nlen > 286 || ndist > 30) return false;
    uint8_t lengths[LITLEN_CODES + 32] = {};
    for (unsigned i = 0; i < ncl; ++i) lengths[CL_ORDER[i]] = uint8_t(b.take(3));
    Code cl;
    if (!build(cl, lengths, 19)) return false;
    std::memset(lengths, 0, 19);
    for (unsigned i = 0; i < nlen + ndist;) {
        if (b.past_end()) return false;
        const int sym = decode(b, cl);
        if (sym < 0) return false;
        if (sym < 16) {
            lengths[i++] = uint8_t(sym);
            continue;
        }
        uint8_t len = 0;
        unsigned rep;
        if (sym == 16) {
            if (i == 0) return false;
            len = lengths[i - 1];
            rep = 3 + b.take(2);
        } else {
            rep = sym == 17 ? 3 + b.take(3) : 11 + b.take(7);
        }
        if (i + rep > nlen + ndist) return false;
        std::memset(lengths + i, len, rep);
        i += rep;
    }
    if (lengths[END_OF_BLOCK] == 0) return false;
    Code lit, dist;
    if (!build(lit, lengths, nlen) || !build(dist, lengths + nlen, ndist)) return false;
    return walk_codes(b, lit, dist, out);
}

} // namespace

bool scan_deflate(const unsigned char* s, std::size_t n, DeflateEnd& end) {
    Bits b(s, n);
    uint64_t out = 0;
    for (;;) {
        const std::size_t at = b.pos();
        const bool last = b.take(1);
        const uint32_t type = b.take(2);
        const bool ok = type == 0 ? stored(b, out) : type == 1 ? fixed(b, out) : type == 2 && dynamic(b, out);
        if (!ok || b.past_end()) return false;
        if (last) {
            end = {at, b.pos(), out};
            return true;
        }
    }
}
