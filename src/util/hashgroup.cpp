#include "util/hashgroup.h"

#include "md5lib/md5_many.h"

#include <algorithm>
#include <sys/stat.h>

namespace {

struct SmallRead {
    const unsigned char* data;
    std::size_t len;
    char* hex;
};

// Hashes the small files of a group together, longest first: every lane
// then takes the next file as soon as it is free, and the lanes run out at
// nearly the same time instead of one long file running alone at the end.
void hash_small(std::vector<SmallRead>& reads) {
    std::sort(reads.begin(), reads.end(), [](const SmallRead& a, const SmallRead& b) { return a.len > b.len; });
    Md5Batch batch;
    for (const SmallRead& r : reads) batch.add(r.data, r.len, r.hex);
    batch.run();
}

// Cache lines: the files lie side by side, each from a line of its own,
// so that the group's bytes stay together in the cache between the read
// and the hash (a fixed stride of 64 KiB would put them all in the same
// cache sets, which evict one another).
std::size_t whole_lines(std::size_t n) { return (n + 63) & ~std::size_t(63); }

}  // namespace

std::size_t copy_hashed_group(std::span<const HashedCopy> copies, std::exception_ptr* error) {
    std::size_t total = 0;
    for (const HashedCopy& c : copies) total += whole_lines(whole_read_room(c.size));
    unsigned char* const raw = scratch(total + 63, ScratchSlot::input);
    unsigned char* const buf = raw + (-reinterpret_cast<uintptr_t>(raw) & 63);
    std::vector<SmallRead> small;
    small.reserve(copies.size());
    std::size_t k = 0;
    std::size_t at = 0;
    try {
        for (; k < copies.size(); ++k) {
            const HashedCopy& c = copies[k];
            unsigned char* b = buf + at;
            const std::size_t room = whole_read_room(c.size);
            at += whole_lines(room);
            const std::size_t n = read_fd(c.in, b, room, c.in_name);
            if (c.out >= 0) write_fd(c.out, b, n, c.out_name);
            if (n < room) {
                small.push_back({b, n, c.hex});
                continue;
            }
            md5_context ctx;
            md5_init_ctx(&ctx);
            md5_process_bytes(b, n, &ctx);
            copy_fd(c.in, c.in_name, c.out, c.out_name, &ctx);
            md5_finish_hex(&ctx, c.hex);
        }
    } catch (...) {
        *error = std::current_exception();
    }
    hash_small(small);
    return k;
}

std::size_t whole_read_room(int64_t size) {
    return size > 0 && uint64_t(size) < GROUP_FILE_MAX ? std::size_t(size) + 1 : GROUP_FILE_MAX + 1;
}

int64_t fd_size(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? int64_t(st.st_size) : -1;
}
