// Many buffers hashed side by side in SIMD lanes, differential: every
// digest md5_many gives, at every level this CPU runs, is md5_buffer's.
// The input chooses how many buffers there are and how long each is, so
// that lanes start, refill and finish alone in every order; its remaining
// bytes fill them. Each buffer is an allocation of exactly its length, so
// that a lane reading past its buffer is caught by AddressSanitizer.

#include "fuzz_support.h"

#include "md5lib/md5.h"
#include "md5lib/md5_many.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr Md5Level LEVELS[] = {Md5Level::scalar, Md5Level::avx2, Md5Level::avx512};
constexpr const char* LEVEL_NAMES[] = {"scalar", "avx2", "avx512"};

// A buffer's length from two bytes: up to 19 blocks, or with the top bit
// set up to 171, long enough to outlast many refills of the other lanes.
std::size_t length_of(uint8_t lo, uint8_t hi) {
    const std::size_t len = lo + std::size_t(hi & 0x0f) * 64;
    return hi & 0x80 ? len * 9 : len;
}

}  // namespace

// Says once which levels every input runs at: a CPU without AVX-512 never
// runs those lanes, and the log of a fuzzing run should say so.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string run, skipped;
    for (std::size_t i = 0; i < std::size(LEVELS); ++i)
        (md5_many_supported(LEVELS[i]) ? run : skipped) += std::string(" ") + LEVEL_NAMES[i];
    std::fprintf(stderr, "md5_many levels run:%s; not on this CPU:%s\n", run.c_str(),
                 skipped.empty() ? " none" : skipped.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1 || size > 4096) return 0;
    const std::size_t n = std::min<std::size_t>(data[0] % 48, (size - 1) / 2);
    const uint8_t* fill = data + 1 + 2 * n;
    const std::size_t fill_len = size - 1 - 2 * n;

    std::vector<std::unique_ptr<unsigned char[]>> owned;
    std::vector<const unsigned char*> bufs;
    std::vector<std::size_t> lens;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t len = length_of(data[1 + 2 * i], data[2 + 2 * i]);
        owned.emplace_back(new unsigned char[len]);
        // The fill bytes, cycled, each buffer from its own start and marked
        // with its index, so that equal lengths still differ in content.
        for (std::size_t k = 0; k < len; ++k)
            owned.back()[k] = fill_len == 0 ? uint8_t(k) : uint8_t(fill[(k + i) % fill_len] ^ i);
        bufs.push_back(owned.back().get());
        lens.push_back(len);
    }

    std::vector<std::array<char, MD5_HEX_SIZE>> want(n);
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char digest[16];
        md5_buffer(bufs[i], lens[i], digest);
        md5_to_hex(digest, want[i].data());
    }
    // One slot past the last digest, which no level may touch.
    const auto got = std::make_unique<char[][MD5_HEX_SIZE]>(n + 1);
    for (const Md5Level level : LEVELS) {
        if (!md5_many_supported(level)) continue;
        std::memset(got.get(), 'x', (n + 1) * MD5_HEX_SIZE);
        md5_many_at(level, bufs.data(), lens.data(), n, got.get());
        for (std::size_t i = 0; i < n; ++i) FUZZ_CHECK(std::memcmp(got[i], want[i].data(), MD5_HEX_SIZE) == 0);
        for (std::size_t k = 0; k < MD5_HEX_SIZE; ++k) FUZZ_CHECK(got[n][k] == 'x');
    }
    return 0;
}
