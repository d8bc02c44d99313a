#include "util/ordergate.h"

#include <functional>
#include <string>

bool SeenNames::seen_before(std::string_view name) {
    std::string folded(name);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    const std::size_t h = std::hash<std::string>{}(folded) & (bits_.size() * 64 - 1);
    std::uint64_t& word = bits_[h / 64];
    const std::uint64_t bit = std::uint64_t(1) << (h % 64);
    const bool seen = (word & bit) != 0;
    word |= bit;
    return seen;
}
