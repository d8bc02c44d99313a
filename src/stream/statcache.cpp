#include "stream/statcache.h"

#include "util/fatal.h"
#include "util/fileio.h"
#include "util/paths.h"
#include "util/settings.h"
#include "util/tempfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <type_traits>
#include <sys/vfs.h>
#include <unistd.h>
#include <zlib.h>

FileId file_id(const struct stat& st) {
    FileId id;
    id.dev = uint64_t(st.st_dev);
    id.ino = uint64_t(st.st_ino);
    id.size = uint64_t(st.st_size);
    id.mtime_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.ctime_ns = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    id.mode = uint32_t(st.st_mode);
    return id;
}

namespace {

// What a file system mounted on a device says of itself: whether its
// change times are its own, and its id. Asked once per device in a run.
struct FsNote {
    bool keeps_ctime = false;
    uint64_t id = 0;
};

bool keeps_ctime(long type) {
    switch (static_cast<unsigned long>(type) & 0xffffffffu) {
    case 0x4d44:      // FAT
    case 0x2011bab0:  // exFAT
    case 0x73717368:  // squashfs
    case 0xe0f5e1e2:  // EROFS
    case 0x9660:      // ISO 9660
    case 0x15013346:  // UDF
    case 0x28cd3d45:  // cramfs
    case 0x7275:      // romfs
        return false;
    default:
        return true;
    }
}

bool fs_note(dev_t dev, int fd, const char* name, FsNote& out) {
    static std::mutex m;
    static std::map<dev_t, FsNote> known;
    const std::lock_guard<std::mutex> lock(m);
    if (auto it = known.find(dev); it != known.end()) {
        out = it->second;
        return true;
    }
    const int own = name ? open_at(fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1;
    if (name && own < 0) return false;
    const int on = own >= 0 ? own : fd;
    struct statfs sf;
    struct stat st;
    // The file asked of must be on the device noted: its name may have
    // been taken meanwhile by a file from elsewhere.
    const bool ok = ::fstatfs(on, &sf) == 0 && ::fstat(on, &st) == 0 && st.st_dev == dev;
    if (own >= 0) ::close(own);
    if (!ok) return false;
    uint32_t v[2];
    std::memcpy(v, &sf.f_fsid, sizeof v);
    out.keeps_ctime = keeps_ctime(long(sf.f_type));
    // Spread over all 64 bits, so that no two small ids and devices mix
    // to one value.
    uint64_t x = (uint64_t(v[1]) << 32 | v[0]) + 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    out.id = x ^ (x >> 31);
    known.emplace(dev, out);
    return true;
}

constexpr char MAGIC[8] = {'M', 'D', 'T', 'C', 'A', 'C', 'H', 'E'};
// A directory's key and an entry's name have at most this many bytes.
constexpr std::size_t KEY_MAX = PATH_BUF;
constexpr std::size_t NAME_MAX_LEN = 4095;

// crc32_z, not crc32: its length is a size_t, so nothing is cut at 4 GiB.
uint32_t crc(const void* p, std::size_t n, uint32_t c = 0) {
    return uint32_t(crc32_z(c, static_cast<const Bytef*>(p), n));
}

void put(std::string& s, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s += char((v >> (8 * i)) & 0xff);
}
uint64_t get(const char* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t(static_cast<unsigned char>(p[i])) << (8 * i);
    return v;
}

// A bounded cursor over bytes from outside.
struct Cursor {
    const char* p;
    std::size_t left;
    bool take(std::size_t n, const char*& out) {
        if (n > left) return false;
        out = p;
        p += n;
        left -= n;
        return true;
    }
    bool num(int bytes, uint64_t& v) {
        const char* q;
        if (!take(std::size_t(bytes), q)) return false;
        v = get(q, bytes);
        return true;
    }
};

unsigned from_hex(char c) { return c <= '9' ? unsigned(c - '0') : unsigned(c - 'a' + 10); }

bool pread_all(int fd, void* buf, std::size_t n, uint64_t off) {
    auto* b = static_cast<char*>(buf);
    while (n > 0) {
        const ssize_t r = ::pread(fd, b, n, off_t(off));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        b += r;
        n -= std::size_t(r);
        off += uint64_t(r);
    }
    return true;
}

void pwrite_all(int fd, const std::string& bytes, uint64_t off, const char* name) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t r = ::pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(off + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) fatal_errno("write error on", name);
        done += std::size_t(r);
    }
}

// A directory's entries not yet written to the new cache, while the walk
// is in it or below it: they go out as a section once they are many, and
// when the walk leaves the directory.
struct Pending {
    std::string key;
    std::string bytes;
    uint32_t count = 0;
};

// A section written to the new cache; walk is the number of the walk that
// wrote it (0: carried over from the old cache).
struct Written {
    CacheReader::IndexEntry e;
    uint32_t walk;
};

// root without trailing slashes ("/" becomes ""), so that root + "/" + a
// relative directory is the key.
std::string norm_root(std::string_view root) {
    while (!root.empty() && root.back() == '/') root.remove_suffix(1);
    return std::string(root);
}

// The run's cache (run_cache).
std::unique_ptr<StatCache> the_cache;

}  // namespace

bool CacheSection::find(std::string_view n, FileId& id, unsigned char* md5) const {
    auto it = std::lower_bound(recs.begin(), recs.end(), n,
                               [this](const CacheRecord& r, std::string_view k) { return name(r) < k; });
    if (it == recs.end() || name(*it) != n) return false;
    id.dev = it->dev;
    id.ino = it->ino;
    id.size = it->size_mode & (CACHE_SIZE_LIMIT - 1);
    id.mtime_ns = it->mtime_ns;
    id.ctime_ns = it->ctime_ns;
    id.mode = uint32_t(it->size_mode >> 48);
    std::memcpy(md5, it->md5, 16);
    return true;
}

bool CacheReader::fail(const char* why) {
    why_ = why;
    fd_ = Fd();
    index_.clear();
    return false;
}

bool CacheReader::open(int fd) {
    fd_ = Fd(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail("can not be examined");
    size_ = uint64_t(st.st_size);
    char h[CACHE_HEADER_SIZE];
    if (size_ < CACHE_HEADER_SIZE) {
        // A file cut short before its header is whole, or not a cache.
        if (size_ >= sizeof MAGIC && pread_all(fd, h, sizeof MAGIC, 0) && std::memcmp(h, MAGIC, sizeof MAGIC) == 0)
            return fail("truncated");
        return fail("not a cache file");
    }
    if (!pread_all(fd, h, sizeof h, 0)) return fail("can not be read");
    if (std::memcmp(h, MAGIC, sizeof MAGIC) != 0) return fail("not a cache file");
    // The version comes first: a newer version may lay its header out
    // otherwise, and is no damage.
    if (get(h + 8, 4) > CACHE_VERSION) return fail("written by a newer version");
    if (get(h + 44, 4) != crc(h, 44)) return fail("damaged");
    if (get(h + 8, 4) < CACHE_VERSION) return fail("written by an older version");
    if (get(h + 12, 4) != 0) return fail("damaged");
    stamp_ = int64_t(get(h + 16, 8));
    const uint64_t ioff = get(h + 24, 8), isize = get(h + 32, 8);
    if (ioff < CACHE_HEADER_SIZE || isize < 4 || ioff > size_ || isize != size_ - ioff) {
        return fail(ioff + isize > size_ ? "truncated" : "damaged");
    }
    std::string idx;
    try {
        idx.resize(isize);
    } catch (const std::bad_alloc&) {
        return fail("damaged");
    }
    if (!pread_all(fd, idx.data(), idx.size(), ioff)) return fail("can not be read");
    if (get(h + 40, 4) != crc(idx.data(), idx.size())) return fail("damaged");
    Cursor c{idx.data(), idx.size()};
    uint64_t count;
    if (!c.num(4, count)) return fail("damaged");
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t off, len, klen;
        const char* k;
        if (!c.num(8, off) || !c.num(4, len) || !c.num(4, klen) || klen == 0 || klen > KEY_MAX || !c.take(klen, k))
            return fail("damaged");
        // Every section lies between the header and the index.
        if (off < CACHE_HEADER_SIZE || len < 12 || off > ioff || len > ioff - off) return fail("damaged");
        std::string key(k, klen);
        if (!index_.empty() && key < index_.back().key) return fail("damaged");
        index_.push_back({std::move(key), off, uint32_t(len)});
    }
    if (c.left != 0) return fail("damaged");
    return true;
}

std::pair<std::size_t, std::size_t> CacheReader::find_key(std::string_view key) const {
    auto r = std::equal_range(index_.begin(), index_.end(), key, [](const auto& a, const auto& b) {
        if constexpr (std::is_same_v<std::decay_t<decltype(a)>, IndexEntry>)
            return std::string_view(a.key) < b;
        else
            return a < std::string_view(b.key);
    });
    return {std::size_t(r.first - index_.begin()), std::size_t(r.second - index_.begin())};
}

bool CacheReader::section(std::size_t i, std::string& bytes, std::vector<uint32_t>& at) {
    at.clear();
    if (!usable() || i >= index_.size()) return false;
    const IndexEntry& e = index_[i];
    bytes.resize(e.length);
    if (!pread_all(fd_.get(), bytes.data(), bytes.size(), e.offset)) return fail("can not be read");
    if (get(bytes.data(), 4) != crc(bytes.data() + 4, bytes.size() - 4)) return fail("damaged");
    Cursor c{bytes.data() + 4, bytes.size() - 4};
    uint64_t klen, count;
    const char* k;
    if (!c.num(4, klen) || !c.take(klen, k) || std::string_view(k, klen) != e.key || !c.num(4, count))
        return fail("damaged");
    if (count > c.left / (CACHE_ENTRY_FIXED + 1)) return fail("damaged");
    at.reserve(count);
    for (uint64_t n = 0; n < count; ++n) {
        const uint32_t here = uint32_t(c.p - bytes.data());
        const char* fixed;
        const char* name;
        if (!c.take(CACHE_ENTRY_FIXED, fixed)) return fail("damaged");
        const std::size_t nlen = std::size_t(get(fixed + CACHE_ENTRY_FIXED - 2, 2));
        if (nlen == 0 || nlen > NAME_MAX_LEN || !c.take(nlen, name)) return fail("damaged");
        const std::string_view nm(name, nlen);
        if (nm.find('/') != std::string_view::npos || nm.find('\0') != std::string_view::npos) return fail("damaged");
        if (get(fixed + 40, 4) > 0xffff) return fail("damaged");
        at.push_back(here);
    }
    if (c.left != 0) return fail("damaged");
    return true;
}

bool CacheReader::directory(std::size_t first, std::size_t last, CacheSection& out) {
    out.recs.clear();
    out.names.clear();
    // Room for the most entries and name bytes the sections could hold:
    // pages never written are never resident.
    std::size_t most = 0;
    for (std::size_t i = first; i < last; ++i) most += index_[i].length;
    // The sections of a file this run wrote never overlap.
    if (most > size_) return fail("damaged");
    try {
        out.recs.reserve(most / (CACHE_ENTRY_FIXED + 1));
        out.names.reserve(most);
    } catch (const std::bad_alloc&) {
        return fail("damaged");
    }
    std::string bytes;
    std::vector<uint32_t> at;
    for (std::size_t i = first; i < last; ++i) {
        if (!section(i, bytes, at)) return false;
        for (uint32_t a : at) {
            const char* p = bytes.data() + a;
            CacheRecord r;
            r.dev = get(p, 8);
            r.ino = get(p + 8, 8);
            const uint64_t size = get(p + 16, 8);
            if (size >= CACHE_SIZE_LIMIT) continue;
            r.size_mode = size | get(p + 40, 4) << 48;
            r.mtime_ns = int64_t(get(p + 24, 8));
            r.ctime_ns = int64_t(get(p + 32, 8));
            std::memcpy(r.md5, p + 44, 16);
            const std::size_t len = std::size_t(get(p + 60, 2));
            if (out.names.size() + len >= UINT32_MAX) return fail("too large");
            r.name_at = uint32_t(out.names.size());
            out.names.insert(out.names.end(), p + CACHE_ENTRY_FIXED, p + CACHE_ENTRY_FIXED + len);
            out.names.push_back('\0');
            out.recs.push_back(r);
        }
    }
    auto by_name = [&out](const CacheRecord& a, const CacheRecord& b) { return out.name(a) < out.name(b); };
    std::sort(out.recs.begin(), out.recs.end(), by_name);
    // A name given twice keeps neither entry.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < out.recs.size();) {
        std::size_t j = i + 1;
        while (j < out.recs.size() && out.name(out.recs[j]) == out.name(out.recs[i])) ++j;
        if (j == i + 1) out.recs[kept++] = out.recs[i];
        i = j;
    }
    out.recs.resize(kept);
    return true;
}

struct StatCache::Impl {
    std::string path;
    CacheReader old;
    bool warned = false;
    std::optional<TempFile> out;
    uint64_t written = CACHE_HEADER_SIZE;
    int64_t stamp = 0;
    std::string root;  // the current walk's, normalised
    std::vector<std::string> roots;
    // Reading: the entries of the directories on the walk's path.
    std::vector<CacheSection> path_sections;
    // Writing: the same for the new cache, what they hold together, and
    // the new index.
    std::vector<Pending> pending;
    std::size_t pending_bytes = 0;
    std::vector<Written> index;

    void warn_once() {
        if (warned) return;
        warned = true;
        warn("cache %s: %s; not used, written anew", path.c_str(), old.why().c_str());
    }
    std::string key_of(std::string_view rel, std::string_view& name) const {
        const std::size_t slash = rel.rfind('/');
        name = slash == std::string_view::npos ? rel : rel.substr(slash + 1);
        std::string key = root;
        key += '/';
        if (slash != std::string_view::npos) key.append(rel.substr(0, slash + 1));
        return key;
    }
    void write(const std::string& bytes) {
        write_fd(out->fd(), bytes.data(), bytes.size(), out->temp_path().c_str());
        written += bytes.size();
    }
    // Writes count entries (bytes) as one section of key.
    void write_section(const std::string& key, const std::string& bytes, uint32_t count, uint32_t walk) {
        if (count == 0) return;
        std::string s(4, '\0');
        put(s, key.size(), 4);
        s += key;
        put(s, count, 4);
        const uint32_t c = crc(bytes.data(), bytes.size(), crc(s.data() + 4, s.size() - 4));
        std::string sum;
        put(sum, c, 4);
        s.replace(0, 4, sum);
        const uint64_t start = written;
        write(s);
        write(bytes);
        index.push_back({{key, start, uint32_t(written - start)}, walk});
    }
    void flush(Pending& p) {
        write_section(p.key, p.bytes, p.count, uint32_t(roots.size()));
        pending_bytes -= p.bytes.size();
        p.bytes.clear();
        p.count = 0;
    }
    // Leaves the directories that are not key's own or above it.
    template <class V, class F>
    static void climb(V& stack, const std::string& key, F&& leave) {
        while (!stack.empty() && !key.starts_with(stack.back().key)) {
            leave(stack.back());
            stack.pop_back();
        }
    }
};

StatCache::StatCache(std::string path) : d_(std::make_unique<Impl>()) {
    d_->path = publish_target(path.c_str(), "cache file");
    Fd fd(open_at(AT_FDCWD, d_->path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (fd.get() < 0 && errno != ENOENT) fatal_errno("can not open cache file", d_->path.c_str());
    if (fd.get() >= 0) {
        struct stat st;
        if (::fstat(fd.get(), &st) != 0) fatal_errno("can not examine cache file", d_->path.c_str());
        // As a private key: a cache that someone else could have written
        // could make a listing or a patch lie.
        if (st.st_uid != ::geteuid())
            fatal(1, "cache file %s is owned by another user; refusing to use it", d_->path.c_str());
        if (st.st_mode & (S_IWGRP | S_IWOTH))
            fatal(1, "cache file %s may be written by group or others; refusing to use it", d_->path.c_str());
        if (!d_->old.open(fd.release())) d_->warn_once();
    }
    // The new file, started now: its own modification time, taken from the
    // file system before any file of the run is examined, is the stamp of
    // the racy rule.
    d_->out.emplace(d_->path);
    if (::fchmod(d_->out->fd(), 0600) != 0) fatal_errno("can not set the mode of", d_->out->temp_path().c_str());
    write_fd(d_->out->fd(), std::string(CACHE_HEADER_SIZE, '\0').data(), CACHE_HEADER_SIZE,
             d_->out->temp_path().c_str());
    struct stat st;
    if (::fstat(d_->out->fd(), &st) != 0) fatal_errno("can not examine", d_->out->temp_path().c_str());
    d_->stamp = file_id(st).mtime_ns;
}

StatCache::~StatCache() = default;

void StatCache::begin_walk(std::string_view root) {
    for (Pending& p : d_->pending) d_->flush(p);
    d_->pending.clear();
    d_->root = norm_root(root);
    d_->roots.push_back(d_->root);
    d_->path_sections.clear();
}

bool StatCache::lookup(std::string_view rel, const FileId& id, char* hex) {
    Impl& d = *d_;
    if (!d.old.usable()) return false;
    std::string_view name;
    const std::string key = d.key_of(rel, name);
    Impl::climb(d.path_sections, key, [](CacheSection&) {});
    if (d.path_sections.empty() || d.path_sections.back().key != key) {
        CacheSection s;
        s.key = key;
        const auto [first, last] = d.old.find_key(key);
        if (first < last && !d.old.directory(first, last, s)) {
            d.warn_once();
            d.path_sections.clear();
            return false;
        }
        d.path_sections.push_back(std::move(s));
    }
    FileId was;
    unsigned char md5[16];
    if (!d.path_sections.back().find(name, was, md5) || !(was == id)) return false;
    // The racy rule: see the header.
    const int64_t trusted_before = d.old.stamp_ns() - CACHE_RACY_MARGIN_NS;
    if (id.mtime_ns >= trusted_before || id.ctime_ns >= trusted_before) return false;
    md5_to_hex(md5, hex);
    return true;
}

void StatCache::record(std::string_view rel, const FileId& id, const char* hex) {
    Impl& d = *d_;
    std::string_view name;
    const std::string key = d.key_of(rel, name);
    if (name.empty() || name.size() > NAME_MAX_LEN || key.size() > KEY_MAX || id.mode > 0xffff) return;
    Impl::climb(d.pending, key, [&d](Pending& p) { d.flush(p); });
    if (d.pending.empty() || d.pending.back().key != key) d.pending.push_back({key, {}, 0});
    Pending& p = d.pending.back();
    const std::size_t before = p.bytes.size();
    put(p.bytes, id.dev, 8);
    put(p.bytes, id.ino, 8);
    put(p.bytes, id.size, 8);
    put(p.bytes, uint64_t(id.mtime_ns), 8);
    put(p.bytes, uint64_t(id.ctime_ns), 8);
    put(p.bytes, id.mode, 4);
    for (int i = 0; i < 16; ++i) p.bytes += char(from_hex(hex[2 * i]) << 4 | from_hex(hex[2 * i + 1]));
    put(p.bytes, name.size(), 2);
    p.bytes.append(name);
    ++p.count;
    d.pending_bytes += p.bytes.size() - before;
    if (p.bytes.size() >= CACHE_SECTION_BYTES) d.flush(p);
    if (d.pending_bytes >= CACHE_PENDING_MAX)
        for (Pending& q : d.pending) d.flush(q);
}

void StatCache::commit() {
    Impl& d = *d_;
    while (!d.pending.empty()) {
        d.flush(d.pending.back());
        d.pending.pop_back();
    }
    // The old sections of directories outside every tree walked stay.
    auto walked = [&d](const std::string& key) {
        return std::any_of(d.roots.begin(), d.roots.end(),
                           [&key](const std::string& r) { return key.starts_with(r + "/"); });
    };
    // An entry the old stamp made racy would pass under the new, later
    // stamp: it is dropped, not carried.
    const int64_t trusted_before = d.old.stamp_ns() - CACHE_RACY_MARGIN_NS;
    std::string bytes, kept;
    std::vector<uint32_t> at;
    for (std::size_t i = 0; d.old.usable() && i < d.old.index().size(); ++i) {
        const std::string key = d.old.index()[i].key;
        if (walked(key)) continue;
        if (!d.old.section(i, bytes, at)) {
            d.warn_once();
            break;
        }
        kept.clear();
        uint32_t count = 0;
        for (uint32_t a : at) {
            const char* e = bytes.data() + a;
            if (int64_t(get(e + 24, 8)) < trusted_before && int64_t(get(e + 32, 8)) < trusted_before) {
                kept.append(e, CACHE_ENTRY_FIXED + std::size_t(get(e + 60, 2)));
                ++count;
            }
        }
        d.write_section(key, kept, count, 0);
    }
    // A directory walked twice in one run keeps the sections of its last
    // walk.
    std::stable_sort(d.index.begin(), d.index.end(), [](const auto& a, const auto& b) { return a.e.key < b.e.key; });
    std::vector<CacheReader::IndexEntry> idx;
    for (std::size_t i = 0; i < d.index.size();) {
        std::size_t j = i;
        uint32_t last = 0;
        for (; j < d.index.size() && d.index[j].e.key == d.index[i].e.key; ++j) last = std::max(last, d.index[j].walk);
        for (; i < j; ++i)
            if (d.index[i].walk == last) idx.push_back(std::move(d.index[i].e));
    }
    std::string s;
    put(s, idx.size(), 4);
    for (const auto& e : idx) {
        put(s, e.offset, 8);
        put(s, e.length, 4);
        put(s, e.key.size(), 4);
        s += e.key;
    }
    const uint64_t ioff = d.written;
    d.write(s);
    std::string h(MAGIC, sizeof MAGIC);
    put(h, CACHE_VERSION, 4);
    put(h, 0, 4);
    put(h, uint64_t(d.stamp), 8);
    put(h, ioff, 8);
    put(h, s.size(), 8);
    put(h, crc(s.data(), s.size()), 4);
    put(h, crc(h.data(), h.size()), 4);
    pwrite_all(d.out->fd(), h, 0, d.out->temp_path().c_str());
    d.out->commit();
}

StatCache* run_cache() {
    if (!cachefile) return nullptr;
    if (!the_cache) the_cache = std::make_unique<StatCache>(cachefile);
    return the_cache.get();
}

void commit_run_cache() {
    if (the_cache) the_cache->commit();
}

bool cache_identity(const struct stat& st, int fd, const char* name, FileId& id) {
    FsNote fs;
    if (!fs_note(st.st_dev, fd, name, fs) || !fs.keeps_ctime) return false;
    id = file_id(st);
    id.dev ^= fs.id;
    return true;
}
