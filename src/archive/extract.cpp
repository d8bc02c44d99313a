// Archive extraction (-t DIR -a ARCHIVE): every member of a checked table,
// in table order, inflated into a temporary file beside its target and
// hashed as it is written. Only a member whose size and digest match its
// entry is renamed over the target; any other leaves the target as it was,
// so a damaged archive can never destroy a good file. A member whose name
// could reach outside the target directory is not written at all.

#include "archive/extract.h"

#include "archive/format.h"
#include "driver/jobs.h"
#include "driver/settings.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/tempfile.h"
#include "util/paths.h"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <zlib.h>

namespace {

constexpr std::size_t CHUNK = 256 * 1024;

// One inflate state for the whole run, reset for each member.
struct Inflater {
    z_stream z{};
    Inflater() {
        if (inflateInit(&z) != Z_OK) fatal(1, "can not set up decompression: %s", z.msg ? z.msg : "out of memory");
    }
    ~Inflater() { inflateEnd(&z); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

// Reads the compressed data of the archive through a window of WINDOW bytes.
// Members stored back to back come out of the window with one read for many
// of them; a member that shares an earlier stream is read on its own into a
// side buffer, so that going back for it does not throw the window away.
class Source {
public:
    Source(int fd, const char* path) : fd_(fd), path_(path), window_(WINDOW), side_(CHUNK) {}

    // Points *data at up to CHUNK bytes of the archive from off, at most
    // want of them. Returns how many; 0 when the archive ends at off.
    std::size_t get(uint64_t off, std::size_t want, const unsigned char** data) {
        if (want > CHUNK) want = CHUNK;
        if (off >= start_ && off + want <= start_ + len_) {
            *data = window_.data() + (off - start_);
            return want;
        }
        if (off < start_) {
            *data = side_.data();
            return read_at(side_.data(), want, off);
        }
        start_ = off;
        len_ = read_at(window_.data(), WINDOW, off);
        *data = window_.data();
        return want < len_ ? want : len_;
    }

private:
    static constexpr std::size_t WINDOW = 1024 * 1024;

    std::size_t read_at(unsigned char* buf, std::size_t n, uint64_t off) {
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::pread(fd_, buf + got, n - got, off_t(off + got));
            if (r < 0) {
                if (errno == EINTR) continue;
                fatal_errno("read error on", path_);
            }
            if (r == 0) break;
            got += std::size_t(r);
        }
        return got;
    }

    int fd_;
    const char* path_;
    std::vector<unsigned char> window_;
    std::vector<unsigned char> side_;
    uint64_t start_ = 0;
    std::size_t len_ = 0;
};

// Inflates the member's stream into out, hashing what is written into hex.
// False when the stream is damaged, ends early, or yields a size other than
// origsize; inflating stops as soon as it passes origsize, so a small stream
// that expands without end can not fill the disk.
bool inflate_member(Inflater& inf, Source& src, const ArchiveMember& m, TempFile& out, std::vector<unsigned char>& buf,
                    char* hex) {
    if (inflateReset(&inf.z) != Z_OK) fatal(1, "can not reset decompression");
    z_stream& z = inf.z;
    md5_context ctx;
    md5_init_ctx(&ctx);
    uint64_t pos = m.offset;
    uint64_t remaining = m.compsize;
    uint64_t produced = 0;
    int ret = Z_OK;
    do {
        if (remaining == 0) return false;  // the stream needs more than compsize bytes
        const unsigned char* data = nullptr;
        const std::size_t n = src.get(pos, remaining < CHUNK ? std::size_t(remaining) : CHUNK, &data);
        if (n == 0) return false;  // the archive ends inside the member
        pos += n;
        remaining -= n;
        z.next_in = const_cast<unsigned char*>(data);
        z.avail_in = uInt(n);
        do {
            z.next_out = buf.data();
            z.avail_out = uInt(CHUNK);
            ret = inflate(&z, Z_NO_FLUSH);
            if (ret == Z_MEM_ERROR) fatal(1, "out of memory while decompressing %s", m.name);
            if (ret == Z_NEED_DICT || ret == Z_DATA_ERROR || ret == Z_STREAM_ERROR) return false;
            const std::size_t have = CHUNK - z.avail_out;
            produced += have;
            if (produced > m.origsize) return false;
            md5_process_bytes(buf.data(), have, &ctx);
            write_all(out.get(), buf.data(), have, out.final_path().c_str());
        } while (z.avail_out == 0 && ret != Z_STREAM_END);
    } while (ret != Z_STREAM_END);
    if (produced != m.origsize) return false;
    md5_finish_hex(&ctx, hex);
    return true;
}

// Makes the directories that lead to name below target, refusing to pass
// through a symbolic link: a link already in the target directory could
// otherwise carry a member out of it. Returns null, or the leading path
// that is a link. A leading path that is some other non-directory is left
// for the creation of the target to report.
class Dirs {
public:
    explicit Dirs(const char* target) : target_(target) {}

    const char* prepare(std::string_view name) {
        if (!made_target_) {
            // The target directory itself is the user's choice; it is made
            // (with its parents) only once a member is about to be written.
            make_parents(target_ + "/");
            made_target_ = true;
        }
        const std::size_t last = name.rfind('/');
        if (last == std::string_view::npos || checked_.contains(std::string(name.substr(0, last)))) return nullptr;
        for (std::size_t slash = name.find('/'); slash != std::string_view::npos; slash = name.find('/', slash + 1)) {
            std::string lead(name.substr(0, slash));
            if (checked_.contains(lead)) continue;
            const std::string path = target_ + "/" + lead;
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0) {
                if (errno != ENOENT) return nullptr;
                ::mkdir(path.c_str(), 0777);
                if (::lstat(path.c_str(), &st) != 0) return nullptr;
            }
            if (S_ISLNK(st.st_mode)) {
                link_ = std::move(lead);
                return link_.c_str();
            }
            if (!S_ISDIR(st.st_mode)) return nullptr;
            checked_.insert(std::move(lead));
        }
        return nullptr;
    }

private:
    std::string target_;
    bool made_target_ = false;
    std::unordered_set<std::string> checked_;
    std::string link_;
};

} // namespace

void extract_archive(const char* path, const char* target) {
    File arc(FOPENG(path, "rb", __LINE__), path);
    const ArchiveTable t = read_archive_table(arc.get(), path);

    Source src(::fileno(arc.get()), path);
    Inflater inf;
    std::vector<unsigned char> buf(CHUNK);
    Dirs dirs(target);
    for (const ArchiveMember& m : t.members) {
        if (!is_safe_relpath(m.name)) {
            std::fprintf(stderr, "mdtree: refusing member '%s': unsafe name\n", m.name);
            continue;
        }
        std::string dest;
        if (!join_path(dest, target, m.name)) {
            std::fprintf(stderr, "mdtree: refusing member '%s': target path longer than %zu bytes\n", m.name, PATH_MAXLEN);
            continue;
        }
        if (const char* link = dirs.prepare(m.name)) {
            std::fprintf(stderr, "mdtree: refusing member '%s': %s is a symbolic link\n", m.name, link);
            continue;
        }
        TempFile out(dest);
        // Output goes out in whole chunks: a stream buffer would only copy it.
        std::setvbuf(out.get(), nullptr, _IONBF, 0);
        char hex[MD5_HEX_SIZE];
        const bool whole = inflate_member(inf, src, m, out, buf, hex);
        out.close();
        if (whole && std::memcmp(hex, m.md5, MD5_HEX_SIZE) == 0) {
            out.commit_closed();
            std::fprintf(stderr, "%s: OK\n", m.name);
        } else {
            // The temporary file goes with out; the target keeps what it held.
            std::fprintf(stderr, "%s: Invalid checksum\n", m.name);
        }
    }
    arc.close();
}

void extractarchive() { extract_archive(archname, todir); }
