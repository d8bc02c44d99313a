#include "format/archive.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

const char* const DIGEST = "d41d8cd98f00b204e9800998ecf8427e";

// A well-formed archive with two entries ("a" and "dir/b") sharing one
// 8-byte member, laid out by hand from the format's rules.
std::vector<unsigned char> sample() {
    const std::vector<std::string> names{"a", "dir/b"};
    uint32_t h = ARCHIVE_EMPTY;
    for (const auto& n : names) h += entry_size(n.size());
    std::vector<unsigned char> v(h + 8, 0);
    put_le32(v.data(), 0x0112358D);
    put_le32(v.data() + 4, h);
    unsigned char* p = v.data() + 8;
    for (const auto& n : names) {
        put_le32(p, 0x0112358D);
        put_le32(p + 4, entry_size(n.size()));
        put_le32(p + 8, 0);
        put_le32(p + 12, 8);
        put_le32(p + 16, h);
        std::memcpy(p + 28, DIGEST, 33);
        std::memcpy(p + 61, n.c_str(), n.size() + 1);
        p += entry_size(n.size());
    }
    const unsigned char member[8] = {0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
    std::memcpy(v.data() + h, member, 8);
    return v;
}

// Offsets in sample(): the first entry at 8, the second at 8 + 68 = 76.
constexpr std::size_t E1 = 8;
constexpr std::size_t E2 = 76;

TEST(ArchiveFormat, AcceptsWellFormedTable) {
    auto v = sample();
    std::vector<ArchiveMember> out;
    ASSERT_EQ(parse_archive(v.data(), v.size(), &out), nullptr);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_STREQ(out[0].name, "a");
    EXPECT_STREQ(out[1].name, "dir/b");
    EXPECT_EQ(out[1].entrysize, 72u);
    EXPECT_EQ(out[1].offset, 8u + 68 + 72 + 4);
    EXPECT_EQ(out[1].compsize, 8u);
    EXPECT_STREQ(out[0].md5, DIGEST);
}

TEST(ArchiveFormat, AcceptsEmptyArchive) {
    const unsigned char v[12] = {0x8D, 0x35, 0x12, 0x01, 0x0C, 0, 0, 0, 0, 0, 0, 0};
    std::vector<ArchiveMember> out;
    EXPECT_EQ(parse_archive(v, sizeof v, &out), nullptr);
    EXPECT_TRUE(out.empty());
}

TEST(ArchiveFormat, EntrySizeRule) {
    EXPECT_EQ(entry_size(0), 64u);
    EXPECT_EQ(entry_size(1), 68u);
    EXPECT_EQ(entry_size(4), 68u);
    EXPECT_EQ(entry_size(5), 72u);
    EXPECT_EQ(entry_size(8), 72u);
}

struct Damage {
    const char* what;
    std::function<void(std::vector<unsigned char>&)> apply;
};

class DamagedArchive : public testing::TestWithParam<Damage> {};

TEST_P(DamagedArchive, IsRefused) {
    auto v = sample();
    GetParam().apply(v);
    std::vector<ArchiveMember> out;
    // An exactly sized copy, so that AddressSanitizer sees any read past it.
    std::unique_ptr<unsigned char[]> exact(new unsigned char[v.size() ? v.size() : 1]);
    if (!v.empty()) std::memcpy(exact.get(), v.data(), v.size());
    EXPECT_NE(parse_archive(exact.get(), v.size(), &out), nullptr) << GetParam().what;
}

void set(std::vector<unsigned char>& v, std::size_t at, uint32_t value) { put_le32(v.data() + at, value); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, DamagedArchive,
    testing::Values(
        Damage{"empty file", [](auto& v) { v.clear(); }},
        Damage{"11 bytes", [](auto& v) { v.resize(11); }},
        Damage{"magic in the other byte order",
               [](auto& v) { v[0] = 0x01, v[1] = 0x12, v[2] = 0x35, v[3] = 0x8D; }},
        Damage{"headersize below 12", [](auto& v) { set(v, 4, 8); }},
        Damage{"headersize past the end", [](auto& v) { set(v, 4, uint32_t(v.size() + 4)); }},
        Damage{"headersize huge", [](auto& v) { set(v, 4, 0xFFFFFFFC); }},
        Damage{"headersize not on the terminator", [](auto& v) { set(v, 4, 8 + 68 + 72 + 8); }},
        Damage{"headersize cuts the last entry", [](auto& v) { set(v, 4, 8 + 68 + 40); }},
        Damage{"no terminator", [](auto& v) { set(v, E2 + 72, 0x0112358D); }},
        Damage{"terminator early", [](auto& v) { set(v, E2, 0); }},
        Damage{"entrysize 0", [](auto& v) { set(v, E1 + 4, 0); }},
        Damage{"entrysize 60", [](auto& v) { set(v, E1 + 4, 60); }},
        Damage{"entrysize not a multiple of 4", [](auto& v) { set(v, E1 + 4, 70); }},
        Damage{"entrysize past the table", [](auto& v) { set(v, E2 + 4, 76); }},
        Damage{"entrysize wraps", [](auto& v) { set(v, E2 + 4, 0xFFFFFFFC); }},
        Damage{"name without zero byte",
               [](auto& v) { std::memset(v.data() + E2 + 61, 'x', 72 - 61); }},
        Damage{"digest with an uppercase letter", [](auto& v) { v[E1 + 28] = 'D'; }},
        Damage{"digest without its zero byte", [](auto& v) { v[E1 + 60] = 'a'; }},
        Damage{"offset inside the table", [](auto& v) { set(v, E1 + 16, 8); }},
        Damage{"member past the end", [](auto& v) { set(v, E2 + 12, 9); }},
        Damage{"offset + compsize wraps", [](auto& v) { set(v, E2 + 12, 0xFFFFFFFF); }},
        Damage{"file cut inside the data area", [](auto& v) { v.resize(v.size() - 1); }}),
    [](const testing::TestParamInfo<Damage>& p) {
        std::string n = p.param.what;
        for (char& c : n)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

TEST(ArchiveFormat, NameOfMaximalLengthIsAcceptedOneMoreIsNot) {
    for (const std::size_t len : {std::size_t(4095), std::size_t(4096)}) {
        const uint32_t es = entry_size(len);
        const uint32_t h = ARCHIVE_EMPTY + es;
        std::vector<unsigned char> v(h, 0);
        put_le32(v.data(), 0x0112358D);
        put_le32(v.data() + 4, h);
        put_le32(v.data() + 8, 0x0112358D);
        put_le32(v.data() + 12, es);
        put_le32(v.data() + 24, h);  // offset h, compsize 0
        std::memcpy(v.data() + 8 + 28, DIGEST, 33);
        std::memset(v.data() + 8 + 61, 'n', len);
        const char* why = parse_archive(v.data(), v.size(), nullptr);
        if (len == 4095)
            EXPECT_EQ(why, nullptr);
        else
            EXPECT_NE(why, nullptr);
    }
}

// The encoder lays out sample() byte for byte, from the same fields.
TEST(ArchiveFormat, EncodingMatchesTheLayoutByHand) {
    const auto v = sample();
    std::vector<unsigned char> e(v.size(), 0xAA);
    const uint32_t h = get_le32(v.data() + 4);
    encode_header(h, e.data());
    std::size_t at = ARCHIVE_HEADER;
    for (const char* name : {"a", "dir/b"}) {
        const ArchiveMember m{entry_size(std::strlen(name)), 0, 8, h, DIGEST, name};
        ASSERT_EQ(encode_entry(m, e.data() + at), nullptr);
        at += m.entrysize;
    }
    std::memset(e.data() + at, 0, ARCHIVE_TERMINATOR);
    std::memcpy(e.data() + h, v.data() + h, v.size() - h);
    EXPECT_EQ(e, v);
}

// Every name length modulo 4, the longest name and bytes of every kind
// come back from the table reader as they went in.
TEST(ArchiveFormat, EncodedEntriesReadBack) {
    std::vector<std::string> names{"", "x", "ab", "abc", "abcd", "d/e/f", std::string(4095, 'n')};
    names.push_back(std::string("\x01tab\there\xc3\xa9\xff", 12));
    uint32_t h = ARCHIVE_EMPTY;
    for (const auto& n : names) h += entry_size(n.size());
    std::vector<unsigned char> v(h + 1000, 0xAA);
    encode_header(h, v.data());
    std::size_t at = ARCHIVE_HEADER;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const ArchiveMember m{entry_size(names[i].size()), uint32_t(1000 * i + 7), uint32_t(i), uint32_t(h + i), DIGEST,
                              names[i].c_str()};
        ASSERT_EQ(encode_entry(m, v.data() + at), nullptr) << i;
        at += m.entrysize;
    }
    std::memset(v.data() + at, 0, ARCHIVE_TERMINATOR);
    std::vector<ArchiveMember> out;
    ASSERT_EQ(parse_archive(v.data(), v.size(), &out), nullptr);
    ASSERT_EQ(out.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(out[i].entrysize, entry_size(names[i].size()));
        EXPECT_EQ(out[i].origsize, 1000 * i + 7);
        EXPECT_EQ(out[i].compsize, i);
        EXPECT_EQ(out[i].offset, h + i);
        EXPECT_STREQ(out[i].md5, DIGEST);
        EXPECT_EQ(std::string(out[i].name), names[i]);
    }
}

struct BadEntry {
    const char* what;
    std::string name;
    const char* md5;
    int size_off;  // added to the entry size the name needs
};

class EncodeRefused : public testing::TestWithParam<BadEntry> {};

// What the table reader would refuse is never written, not even in part.
TEST_P(EncodeRefused, WritesNothing) {
    const BadEntry& b = GetParam();
    const ArchiveMember m{uint32_t(int(entry_size(b.name.size())) + b.size_off), 1, 1, 100, b.md5, b.name.c_str()};
    std::vector<unsigned char> buf(entry_size(b.name.size()) + 8, 0xAA);
    EXPECT_NE(encode_entry(m, buf.data()), nullptr) << b.what;
    EXPECT_EQ(buf, std::vector<unsigned char>(buf.size(), 0xAA)) << b.what;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EncodeRefused,
    testing::Values(BadEntry{"name of 4096 bytes", std::string(4096, 'n'), DIGEST, 0},
                    BadEntry{"digest with an uppercase letter", "a", "D41d8cd98f00b204e9800998ecf8427e", 0},
                    BadEntry{"digest of 31 digits", "a", "d41d8cd98f00b204e9800998ecf8427", 0},
                    BadEntry{"digest of 33 digits", "a", "d41d8cd98f00b204e9800998ecf8427e0", 0},
                    BadEntry{"entry size 4 short", "abcd", DIGEST, -4},
                    BadEntry{"entry size 4 long", "abcd", DIGEST, 4}),
    [](const testing::TestParamInfo<BadEntry>& p) {
        std::string n = p.param.what;
        for (char& c : n)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

// An archive of one large entry: name "big", a 5 GiB member whose stream
// of compsize bytes starts at offset, in a file of file_size bytes.
struct Large {
    std::vector<unsigned char> table;  // from offset 8 up to headersize
    uint64_t file_size;
};

Large large_sample(uint64_t origsize, uint64_t compsize, uint64_t offset, uint64_t file_size) {
    const uint32_t es = entry_size(3) + ENTRY_LARGE_TAIL;
    Large l{std::vector<unsigned char>(es + ARCHIVE_TERMINATOR, 0), file_size};
    const ArchiveMember m{es, origsize, compsize, offset, DIGEST, "big", ENTRY_LARGE | ENTRY_EXEC};
    EXPECT_EQ(encode_entry(m, l.table.data()), nullptr);
    return l;
}

constexpr uint64_t GIB = uint64_t(1) << 30;

TEST(ArchiveFormat, LargeEntryReadsBackAndKeepsOlderReadersOut) {
    Large l = large_sample(5 * GIB, 6 * GIB, 4 * GIB + 7, 10 * GIB + 7);
    const unsigned char* e = l.table.data();
    // The plain words: capped sizes, the flags, and a zero offset.
    EXPECT_EQ(get_le32(e + 8), 0xFFFFFFFFu);
    EXPECT_EQ(get_le32(e + 12), 0xFFFFFFFFu);
    EXPECT_EQ(get_le32(e + 16), 0u);
    EXPECT_EQ(get_le32(e + 20), ENTRY_LARGE | ENTRY_EXEC);
    EXPECT_EQ(get_le32(e + 24), 0u);
    std::vector<ArchiveMember> out;
    ASSERT_EQ(parse_archive_table(l.table.data(), l.table.size(), l.file_size, &out), nullptr);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].origsize, 5 * GIB);
    EXPECT_EQ(out[0].compsize, 6 * GIB);
    EXPECT_EQ(out[0].offset, 4 * GIB + 7);
    EXPECT_EQ(out[0].flags, ENTRY_LARGE | ENTRY_EXEC);
    // A reader that ignores the flags sees a stream at offset 0: refused.
    put_le32(l.table.data() + 20, ENTRY_EXEC);
    EXPECT_STREQ(parse_archive_table(l.table.data(), l.table.size(), l.file_size, nullptr),
                 "member data outside the data area");
}

struct LargeDamage {
    const char* what;
    std::function<void(Large&)> apply;
};

class DamagedLargeEntry : public testing::TestWithParam<LargeDamage> {};

// Every check of a plain entry holds for the 64-bit numbers too.
TEST_P(DamagedLargeEntry, IsRefused) {
    Large l = large_sample(5 * GIB, 6 * GIB, 4 * GIB, 10 * GIB);
    GetParam().apply(l);
    std::unique_ptr<unsigned char[]> exact(new unsigned char[l.table.size()]);
    std::memcpy(exact.get(), l.table.data(), l.table.size());
    EXPECT_NE(parse_archive_table(exact.get(), l.table.size(), l.file_size, nullptr), nullptr) << GetParam().what;
}

void set64(Large& l, std::size_t at, uint64_t v) {
    put_le32(l.table.data() + at, uint32_t(v));
    put_le32(l.table.data() + at + 4, uint32_t(v >> 32));
}
constexpr std::size_t TAIL = 68;  // the 64-bit fields of the "big" entry

INSTANTIATE_TEST_SUITE_P(
    Kinds, DamagedLargeEntry,
    testing::Values(LargeDamage{"unknown flag", [](Large& l) { put_le32(l.table.data() + 20, 4 | ENTRY_LARGE); }},
                    LargeDamage{"plain offset not zero", [](Large& l) { put_le32(l.table.data() + 16, 100); }},
                    LargeDamage{"no room for the numbers",
                                [](Large& l) {
    // The entry sized for its name alone; the tail is
    // now the terminator and what follows it.
    put_le32(l.table.data() + 4, entry_size(3));
    l.table.resize(entry_size(3) + ARCHIVE_TERMINATOR);
    std::memset(l.table.data() + entry_size(3), 0, ARCHIVE_TERMINATOR);
                                }},
                    LargeDamage{"offset inside the table", [](Large& l) { set64(l, TAIL + 16, 8); }},
                    LargeDamage{"member past the end", [](Large& l) { set64(l, TAIL + 8, 6 * GIB + 1); }},
                    LargeDamage{"offset past the end", [](Large& l) { set64(l, TAIL + 16, 10 * GIB + 1); }},
                    LargeDamage{"offset + compsize wraps",
                                [](Large& l) {
    set64(l, TAIL + 8, ~uint64_t(0) - 16);
    set64(l, TAIL + 16, 4 * GIB);
                                }},
    LargeDamage{"name runs into the numbers", [](Large& l) { std::memset(l.table.data() + 61, 'n', 7); }},
    LargeDamage{"origsize word disagrees", [](Large& l) { put_le32(l.table.data() + 8, 5); }},
    LargeDamage{"compsize word disagrees", [](Large& l) { put_le32(l.table.data() + 12, 0xFFFFFFFE); }},
    LargeDamage{"word holds a size that fits, the tail another",
                [](Large& l) {
    set64(l, TAIL, 100);
    put_le32(l.table.data() + 8, 99);
                }}),
    [](const testing::TestParamInfo<LargeDamage>& p) {
    std::string n = p.param.what;
    for (char& c : n)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return n;
    });

TEST(ArchiveFormat, PlainEntryRefusesNumbersPastAWord) {
    unsigned char buf[ENTRY_MAX];
    const ArchiveMember m{entry_size(1), 5 * GIB, 1, 100, DIGEST, "a"};
    EXPECT_NE(encode_entry(m, buf), nullptr);
}

} // namespace
