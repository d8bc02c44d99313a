// The stat cache reader: any bytes as a cache file. Whatever they are, the
// reader either refuses them (with a reason) or gives an index sorted by
// key whose sections lie inside the file, and every entry of a section it
// accepts is found again by its name; nothing reads outside a buffer.

#include "fuzz_support.h"

#include "stream/statcache.h"

#include <fcntl.h>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 256 * 1024) return 0;
    const std::string path = fuzz::scratch_dir() + "/cache";
    fuzz::write_file(path, data, size);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fuzz::fail("open scratch file");
    CacheReader r;
    if (!r.open(fd)) {
        FUZZ_CHECK(!r.why().empty());
        FUZZ_CHECK(!r.usable());
        return 0;
    }
    const auto index = r.index();
    for (std::size_t i = 0; i < index.size(); ++i) {
        FUZZ_CHECK(index[i].offset >= CACHE_HEADER_SIZE && index[i].offset + index[i].length <= size);
        if (i > 0) FUZZ_CHECK(index[i - 1].key < index[i].key);
        FUZZ_CHECK(r.find_key(index[i].key) == long(i));
        CacheSection s;
        if (!r.section(i, s)) {
            FUZZ_CHECK(!r.usable());
            break;
        }
        for (uint32_t at : s.at) {
            const char* p = s.bytes.data() + at + CACHE_ENTRY_FIXED;
            const std::size_t n = std::size_t(uint8_t(p[-2])) | std::size_t(uint8_t(p[-1])) << 8;
            FUZZ_CHECK(at + CACHE_ENTRY_FIXED + n <= s.bytes.size());
            FileId id;
            unsigned char md5[16];
            FUZZ_CHECK(s.find(std::string_view(p, n), id, md5));
        }
    }
    return 0;
}
