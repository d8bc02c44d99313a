#include "stream/stream.h"

#include "archive/format.h"

#include "util/fatal.h"
#include "util/fileio.h"
#include "util/pipeline.h"

#include <cstring>
#include <memory>
#include <string>
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

void each_entry(Stream* s, int threads, const std::function<void(std::string_view name, const char* hex)>& fn) {
    if (s->kind != StreamKind::walk) {
        char hex[MD5_HEX_SIZE];
        while (nextstream(s)) {
            md5stream(s, hex);
            fn(s->name, hex);
        }
        return;
    }
    // The walk opens each file where it stands (workers must not depend on
    // the working directory, which the walk moves); workers hash them.
    struct Item {
        std::string name;
        Fd fd;
        char hex[MD5_HEX_SIZE];
    };
    Pipeline p(threads);
    p.enumerate([&] {
        while (nextstream(s)) {
            auto it = std::make_shared<Item>();
            it->name = s->name;
            it->fd = Fd(open_entry_fd(s));
            p.submit(
                [it] {
                    hash_fd(it->fd.get(), it->name.c_str(), it->hex);
                    it->fd = Fd();
                },
                [it, &fn] { fn(it->name, it->hex); });
        }
    });
    p.finish();
}
