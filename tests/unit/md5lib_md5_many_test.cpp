#include "md5lib/md5_many.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace {

struct BufferSet {
    std::string name;
    std::vector<std::size_t> lengths;
};

// Lengths around the padding boundary (55/56), one block and two blocks.
const std::vector<std::size_t> BOUNDARIES = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129};

std::vector<BufferSet> buffer_sets() {
    std::vector<BufferSet> sets;
    for (std::size_t count : {0, 1, 2, 15, 16, 17, 33, 100}) {
        std::mt19937 rng{unsigned(count)};
        std::vector<std::size_t> lengths(count);
        for (auto& len : lengths) len = rng() % 5001;
        sets.push_back({"random" + std::to_string(count), lengths});
    }
    // Every boundary in every lane position, and lanes that finish out of
    // step with each other.
    std::vector<std::size_t> mixed;
    for (int round = 0; round < 4; ++round) mixed.insert(mixed.end(), BOUNDARIES.begin(), BOUNDARIES.end());
    std::shuffle(mixed.begin(), mixed.end(), std::mt19937(7));
    sets.push_back({"boundaries", BOUNDARIES});
    sets.push_back({"boundaries_shuffled", mixed});
    // One lane runs on long after the others have been refilled many times.
    std::vector<std::size_t> one_big;
    for (int i = 0; i < 40; ++i) one_big.push_back(BOUNDARIES[i % BOUNDARIES.size()]);
    one_big[5] = 3 << 20;
    sets.push_back({"one_big", one_big});
    return sets;
}

std::string level_name(Md5Level level) {
    switch (level) {
    case Md5Level::scalar: return "scalar";
    case Md5Level::avx2: return "avx2";
    case Md5Level::avx512: return "avx512";
    }
    return "unknown";
}

// Readable names in failure messages.
void PrintTo(const BufferSet& set, std::ostream* os) { *os << set.name; }

class Many : public testing::TestWithParam<std::tuple<Md5Level, BufferSet>> {};

TEST_P(Many, EveryDigestIsTheOneOfMd5Buffer) {
    const auto& [level, set] = GetParam();
    if (!md5_many_supported(level)) GTEST_SKIP() << level_name(level) << " not on this CPU";

    // Each buffer its own allocation of exactly its length, so that a read
    // past any of them is caught under AddressSanitizer.
    std::mt19937 rng{unsigned(set.lengths.size())};
    std::vector<std::vector<unsigned char>> buffers;
    std::vector<const unsigned char*> data;
    for (std::size_t len : set.lengths) {
        auto& buf = buffers.emplace_back(len);
        for (auto& b : buf) b = static_cast<unsigned char>(rng());
        data.push_back(buf.data());
    }
    const std::size_t n = set.lengths.size();
    // One slot beyond the last, which must stay as it was.
    const auto hex = std::make_unique<char[][MD5_HEX_SIZE]>(n + 1);
    std::memset(hex.get(), 'x', (n + 1) * MD5_HEX_SIZE);

    md5_many_at(level, data.data(), set.lengths.data(), n, hex.get());

    for (std::size_t i = 0; i < n; ++i) {
        unsigned char digest[16];
        char want[MD5_HEX_SIZE];
        md5_buffer(buffers[i].data(), buffers[i].size(), digest);
        md5_to_hex(digest, want);
        EXPECT_EQ(std::string_view(hex[i], MD5_HEX_SIZE), std::string_view(want, MD5_HEX_SIZE))
            << "buffer " << i << " of " << set.lengths[i] << " bytes";
    }
    EXPECT_EQ(std::string_view(hex[n], MD5_HEX_SIZE), std::string(MD5_HEX_SIZE, 'x'));

    // The entry point the tool calls, at whatever level it picks, agrees.
    const auto best = std::make_unique<char[][MD5_HEX_SIZE]>(n);
    md5_many(data.data(), set.lengths.data(), n, best.get());
    for (std::size_t i = 0; i < n; ++i) EXPECT_STREQ(best[i], hex[i]) << "buffer " << i;
}

INSTANTIATE_TEST_SUITE_P(Sets, Many,
                         testing::Combine(testing::Values(Md5Level::scalar, Md5Level::avx2, Md5Level::avx512),
                                          testing::ValuesIn(buffer_sets())),
                         [](const auto& p) {
                             return level_name(std::get<0>(p.param)) + "_" + std::get<1>(p.param).name;
                         });

} // namespace
