#include "stream/stream.h"

#include "util/fatal.h"
#include "util/fileio.h"

#include <cstring>
#include <sys/stat.h>

Stream* openstream(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) fatal_fixed(1, "can not stat %s\n", path);
    if (S_ISDIR(st.st_mode)) return openstream_dir(path);
    if (!S_ISREG(st.st_mode)) fatal_fixed(1, "unkown stream type %s\n", path);

    // An unreadable file is as fatal here as everywhere else: there is no
    // point in guessing its kind.
    File probe(FOPENG(path, "rb", __LINE__), path);
    unsigned char word[4];
    const std::size_t n = std::fread(word, 1, sizeof word, probe.get());
    if (n < sizeof word && std::ferror(probe.get())) fatal_errno("read error on", path);
    probe.close();
    if (n == sizeof word) {
        cvt2le(word, 4);
        uint32_t magic;
        std::memcpy(&magic, word, 4);
        if (magic == ARCHIVE_MAGIC) return openstream_archive(path);
    }
    return openstream_file(path);
}
