// The stat cache reader: any bytes as a cache file. Whatever they are, the
// reader either refuses them (with a reason) or gives an index sorted by
// key whose sections lie inside the file, and every entry of a directory it
// accepts is found again by its name, once; nothing reads outside a buffer.

#include "fuzz_support.h"

#include "stream/statcache.h"

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

uint32_t crc_of(const std::string& s, std::size_t from, std::size_t to) {
    return uint32_t(crc32(0L, reinterpret_cast<const Bytef*>(s.data() + from), uInt(to - from)));
}

void put32(std::string& s, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + std::size_t(i)] = char((v >> (8 * i)) & 0xff);
}

uint64_t get64(const std::string& s, std::size_t at) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t(uint8_t(s[at + std::size_t(i)])) << (8 * i);
    return v;
}

// The same bytes with every checksum the layout they claim has made right,
// so that what lies behind the checksums is fuzzed too.
std::string with_checksums(std::string s) {
    if (s.size() < CACHE_HEADER_SIZE) return s;
    const uint64_t ioff = get64(s, 24);
    if (ioff <= s.size()) put32(s, 40, crc_of(s, std::size_t(ioff), s.size()));
    put32(s, 44, crc_of(s, 0, 44));
    return s;
}

void check_file(const std::string& path, std::size_t size, std::vector<CacheReader::IndexEntry>* sections);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 256 * 1024) return 0;
    const std::string path = fuzz::scratch_dir() + "/cache";
    fuzz::write_file(path, data, size);
    std::vector<CacheReader::IndexEntry> sections;
    check_file(path, size, nullptr);
    // Again with the checksums made right, then the sections' too.
    std::string fixed = with_checksums(std::string(reinterpret_cast<const char*>(data), size));
    fuzz::write_file(path, reinterpret_cast<const uint8_t*>(fixed.data()), fixed.size());
    check_file(path, size, &sections);
    for (const auto& e : sections)
        if (e.length >= 4 && e.offset + e.length <= fixed.size())
            put32(fixed, std::size_t(e.offset),
                  crc_of(fixed, std::size_t(e.offset) + 4, std::size_t(e.offset + e.length)));
    fuzz::write_file(path, reinterpret_cast<const uint8_t*>(fixed.data()), fixed.size());
    check_file(path, size, nullptr);
    return 0;
}

namespace {

void check_file(const std::string& path, std::size_t size, std::vector<CacheReader::IndexEntry>* sections) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fuzz::fail("open scratch file");
    CacheReader r;
    if (!r.open(fd)) {
        FUZZ_CHECK(!r.why().empty());
        FUZZ_CHECK(!r.usable());
        return;
    }
    if (sections) *sections = r.index();
    const auto index = r.index();
    for (std::size_t i = 0; i < index.size(); ++i) {
        FUZZ_CHECK(index[i].offset >= CACHE_HEADER_SIZE && index[i].offset + index[i].length <= size);
        if (i > 0) FUZZ_CHECK(!(index[i].key < index[i - 1].key));
        const auto [first, last] = r.find_key(index[i].key);
        FUZZ_CHECK(first <= i && i < last);
    }
    for (std::size_t i = 0; i < index.size();) {
        const auto [first, last] = r.find_key(index[i].key);
        CacheSection s;
        if (!r.directory(first, last, s)) {
            FUZZ_CHECK(!r.usable());
            break;
        }
        for (std::size_t k = 0; k < s.recs.size(); ++k) {
            const CacheRecord& rec = s.recs[k];
            FUZZ_CHECK(rec.name_at < s.names.size() && !s.name(rec).empty());
            FUZZ_CHECK(rec.name_at + s.name(rec).size() < s.names.size());
            if (k > 0) FUZZ_CHECK(s.name(s.recs[k - 1]) < s.name(rec));
            FileId id;
            unsigned char md5[16];
            FUZZ_CHECK(s.find(s.name(rec), id, md5) && id.ino == rec.ino);
        }
        i = last;
    }
}

}  // namespace
