// MD5 of many independent buffers at once. One digest is a serial chain of
// 64 dependent steps per block, so a single core cannot hash one buffer much
// faster than the chain's latency allows; buffers side by side in SIMD lanes
// run their chains in parallel, which is what a tree of small files needs.
#pragma once

#include "md5lib/md5.h"

#include <cstddef>
#include <vector>

// Digests of n independent buffers, as md5_buffer would give each one:
// hex[i] receives the 33-byte hex digest of data[i][0, len[i]). Buffers may
// be of any length and any mix of lengths.
void md5_many(const unsigned char* const* data, const std::size_t* len, std::size_t n, char (*hex)[MD5_HEX_SIZE]);

// Buffers gathered one by one, each with the place its digest goes to (33
// bytes), and hashed together by run().
class Md5Batch {
public:
    void add(const unsigned char* data, std::size_t len, char* hex) {
        data_.push_back(data);
        len_.push_back(len);
        hex_.push_back(hex);
    }
    void run();

private:
    std::vector<const unsigned char*> data_;
    std::vector<std::size_t> len_;
    std::vector<char*> hex_;
};

// The code paths md5_many chooses among, for tests and benchmarks: scalar
// (md5_buffer per buffer), 8 lanes of AVX2, 16 lanes of AVX-512F.
enum class Md5Level { scalar, avx2, avx512 };

// The best level this CPU runs (decided once; only scalar off x86-64).
Md5Level md5_many_best();
// True when this CPU runs level.
bool md5_many_supported(Md5Level level);
// md5_many at the given level, or at md5_many_best() if the CPU lacks it.
void md5_many_at(Md5Level level, const unsigned char* const* data, const std::size_t* len, std::size_t n,
                 char (*hex)[MD5_HEX_SIZE]);
