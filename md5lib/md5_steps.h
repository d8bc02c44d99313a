// The 64 steps of MD5 (RFC 1321), written once for every lane type: the
// scalar transform runs them on one 32-bit word, the SIMD kernels on a word
// per lane. A file that expands MD5_ROUNDS defines, in the namespace where
// it expands it, the lane type `vec` and
//   add(x, y)       the sum in every lane
//   bcast(t)        the constant t in every lane
//   rol<S>(x)       x rotated left by S in every lane
//   keep(x)         an optimisation barrier on x (or nothing)
//   fF, fG, fH, fI  the round functions of (b, c, d)
// and holds the block's sixteen message words in `w` and the chaining
// values in a, b, c and d.
#pragma once

// Round function, the four registers in their turn, message word, rotation,
// additive constant.
// clang-format off
#define MD5_STEPS(STEP)                                                                                          \
    STEP(fF, a, b, c, d, 0, 7, 0xd76aa478) STEP(fF, d, a, b, c, 1, 12, 0xe8c7b756)                                \
    STEP(fF, c, d, a, b, 2, 17, 0x242070db) STEP(fF, b, c, d, a, 3, 22, 0xc1bdceee)                               \
    STEP(fF, a, b, c, d, 4, 7, 0xf57c0faf) STEP(fF, d, a, b, c, 5, 12, 0x4787c62a)                                \
    STEP(fF, c, d, a, b, 6, 17, 0xa8304613) STEP(fF, b, c, d, a, 7, 22, 0xfd469501)                               \
    STEP(fF, a, b, c, d, 8, 7, 0x698098d8) STEP(fF, d, a, b, c, 9, 12, 0x8b44f7af)                                \
    STEP(fF, c, d, a, b, 10, 17, 0xffff5bb1) STEP(fF, b, c, d, a, 11, 22, 0x895cd7be)                             \
    STEP(fF, a, b, c, d, 12, 7, 0x6b901122) STEP(fF, d, a, b, c, 13, 12, 0xfd987193)                              \
    STEP(fF, c, d, a, b, 14, 17, 0xa679438e) STEP(fF, b, c, d, a, 15, 22, 0x49b40821)                             \
    STEP(fG, a, b, c, d, 1, 5, 0xf61e2562) STEP(fG, d, a, b, c, 6, 9, 0xc040b340)                                 \
    STEP(fG, c, d, a, b, 11, 14, 0x265e5a51) STEP(fG, b, c, d, a, 0, 20, 0xe9b6c7aa)                              \
    STEP(fG, a, b, c, d, 5, 5, 0xd62f105d) STEP(fG, d, a, b, c, 10, 9, 0x02441453)                                \
    STEP(fG, c, d, a, b, 15, 14, 0xd8a1e681) STEP(fG, b, c, d, a, 4, 20, 0xe7d3fbc8)                              \
    STEP(fG, a, b, c, d, 9, 5, 0x21e1cde6) STEP(fG, d, a, b, c, 14, 9, 0xc33707d6)                                \
    STEP(fG, c, d, a, b, 3, 14, 0xf4d50d87) STEP(fG, b, c, d, a, 8, 20, 0x455a14ed)                               \
    STEP(fG, a, b, c, d, 13, 5, 0xa9e3e905) STEP(fG, d, a, b, c, 2, 9, 0xfcefa3f8)                                \
    STEP(fG, c, d, a, b, 7, 14, 0x676f02d9) STEP(fG, b, c, d, a, 12, 20, 0x8d2a4c8a)                              \
    STEP(fH, a, b, c, d, 5, 4, 0xfffa3942) STEP(fH, d, a, b, c, 8, 11, 0x8771f681)                                \
    STEP(fH, c, d, a, b, 11, 16, 0x6d9d6122) STEP(fH, b, c, d, a, 14, 23, 0xfde5380c)                             \
    STEP(fH, a, b, c, d, 1, 4, 0xa4beea44) STEP(fH, d, a, b, c, 4, 11, 0x4bdecfa9)                                \
    STEP(fH, c, d, a, b, 7, 16, 0xf6bb4b60) STEP(fH, b, c, d, a, 10, 23, 0xbebfbc70)                              \
    STEP(fH, a, b, c, d, 13, 4, 0x289b7ec6) STEP(fH, d, a, b, c, 0, 11, 0xeaa127fa)                               \
    STEP(fH, c, d, a, b, 3, 16, 0xd4ef3085) STEP(fH, b, c, d, a, 6, 23, 0x04881d05)                               \
    STEP(fH, a, b, c, d, 9, 4, 0xd9d4d039) STEP(fH, d, a, b, c, 12, 11, 0xe6db99e5)                               \
    STEP(fH, c, d, a, b, 15, 16, 0x1fa27cf8) STEP(fH, b, c, d, a, 2, 23, 0xc4ac5665)                              \
    STEP(fI, a, b, c, d, 0, 6, 0xf4292244) STEP(fI, d, a, b, c, 7, 10, 0x432aff97)                                \
    STEP(fI, c, d, a, b, 14, 15, 0xab9423a7) STEP(fI, b, c, d, a, 5, 21, 0xfc93a039)                              \
    STEP(fI, a, b, c, d, 12, 6, 0x655b59c3) STEP(fI, d, a, b, c, 3, 10, 0x8f0ccc92)                               \
    STEP(fI, c, d, a, b, 10, 15, 0xffeff47d) STEP(fI, b, c, d, a, 1, 21, 0x85845dd1)                              \
    STEP(fI, a, b, c, d, 8, 6, 0x6fa87e4f) STEP(fI, d, a, b, c, 15, 10, 0xfe2ce6e0)                               \
    STEP(fI, c, d, a, b, 6, 15, 0xa3014314) STEP(fI, b, c, d, a, 13, 21, 0x4e0811a1)                              \
    STEP(fI, a, b, c, d, 4, 6, 0xf7537e82) STEP(fI, d, a, b, c, 11, 10, 0xbd3af235)                               \
    STEP(fI, c, d, a, b, 2, 15, 0x2ad7d2bb) STEP(fI, b, c, d, a, 9, 21, 0xeb86d391)
// clang-format on

// One step. The message word and the constant are added first, and b, the
// value computed last, joins last: the sum that does not need it is made
// early, and keep() stops the compiler from folding b's part back into it.
// The chain from one step to the next is then only the round function, one
// add, the rotation and one add (about 10% faster in the SIMD kernels).
#define MD5_STEP(fn, a, b, c, d, k, s, t)            \
    {                                                \
        vec early = add(a, add(w[k], bcast(t)));     \
        keep(early);                                 \
        a = add(b, rol<s>(add(fn(b, c, d), early))); \
    }

// One block's 64 steps on a, b, c and d (the caller adds the chaining values
// back afterwards).
#define MD5_ROUNDS() MD5_STEPS(MD5_STEP)
