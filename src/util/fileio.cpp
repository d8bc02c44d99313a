#include "util/fileio.h"

#include "util/fatal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::FILE* fopenp(char* path, const char* mode) {
    if (std::FILE* fp = std::fopen(path, mode)) return fp;
    make_parents(path);
    if (std::FILE* fp = std::fopen(path, mode)) return fp;
    fatal_fixed(1, "can not read %s\n", path);
}

std::FILE* FOPENG(const char* path, const char* mode, int line) {
    if (std::FILE* fp = std::fopen(path, mode)) return fp;
    fatal_open(path, mode, line);
}

int FOPENG_fd(const char* path, int line) {
    for (;;) {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno != EINTR) break;
    }
    fatal_open(path, "rb", line);
}

std::FILE* open_regular(const char* path, int line) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fatal_open(path, "rb", line);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        fatal(1, "can not read %s: not a regular file", path);
    }
    // Reads of a regular file never block; clearing the flag only keeps the
    // descriptor ordinary.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* fp = ::fdopen(fd, "rb");
    if (!fp) {
        ::close(fd);
        fatal_errno("can not open a stream on", path);
    }
    return fp;
}

char* copy(const char* s) {
    const std::size_t n = std::strlen(s) + 1;
    char* p = new char[n];
    std::memcpy(p, s, n);
    return p;
}

void cvt2le(void* p, int n) {
    const int one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    if (first == 1) return;
    auto b = static_cast<unsigned char*>(p);
    for (int i = 0, j = n - 1; i < j; ++i, --j) std::swap(b[i], b[j]);
}

void make_parents(std::string_view path) {
    std::string buf(path);
    // Deepest first: usually only the last directory is missing (a new
    // two-digit directory of the store, a new directory of a tree), and
    // then one mkdir does it instead of one per component of the path.
    // Climb only while mkdir says a parent is missing, then come back down.
    // The first character is never a cut point: an absolute path never asks
    // for the root to be created.
    std::size_t end = buf.size();
    std::vector<std::size_t> missing;
    for (;;) {
        const std::size_t slash = buf.rfind('/', end - 1);
        if (slash == std::string::npos || slash == 0) break;
        buf[slash] = '\0';
        const int rc = ::mkdir(buf.c_str(), 0777);
        const int err = errno;
        buf[slash] = '/';
        if (rc == 0 || err != ENOENT) break;
        missing.push_back(slash);
        end = slash;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        buf[*it] = '\0';
        ::mkdir(buf.c_str(), 0777);
        buf[*it] = '/';
    }
}

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

File& File::operator=(File&& o) noexcept {
    if (this != &o) {
        if (fp_) std::fclose(fp_);
        fp_ = o.fp_;
        name_ = std::move(o.name_);
        o.fp_ = nullptr;
    }
    return *this;
}

File::~File() {
    if (fp_) std::fclose(fp_);
}

void File::close() {
    if (!fp_) return;
    std::FILE* fp = fp_;
    fp_ = nullptr;
    const bool had_error = std::ferror(fp) != 0;
    if (std::fclose(fp) != 0 || had_error) fatal_errno("can not close", name_.c_str());
}

namespace {

std::string unique_suffix() {
    static std::mt19937_64 rng{std::random_device{}() ^ (uint64_t(getpid()) << 32)};
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string s(10, '0');
    for (char& c : s) c = digits[rng() % 36];
    return s;
}

} // namespace

TempFile::TempFile(std::string final_path) : final_(std::move(final_path)) {
    // The temporary name is short and hidden, so that it fits beside any
    // final name and stands out as ours if a killed run leaves it behind.
    const std::size_t slash = final_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : final_.substr(0, slash + 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (int tries = 0; tries < 100; ++tries) {
            temp_ = dir + ".mdtree-" + unique_suffix();
            // "x" is O_EXCL, "e" O_CLOEXEC: the stream comes straight from
            // the open, without the status query fdopen makes, once per
            // file written.
            fp_ = std::fopen(temp_.c_str(), "wbxe");
            if (!fp_) {
                if (errno == EEXIST) continue;
                break;
            }
            return;
        }
        if (attempt == 0) make_parents(final_);
    }
    temp_.clear();
    fatal_fixed(1, "can not read %s\n", final_.c_str());
}

TempFile::~TempFile() {
    if (fp_) std::fclose(fp_);
    if (!done_ && !temp_.empty()) ::unlink(temp_.c_str());
}

void TempFile::close() {
    if (!fp_) return;
    std::FILE* fp = fp_;
    fp_ = nullptr;
    const bool had_error = std::ferror(fp) != 0;
    if (std::fclose(fp) != 0 || had_error) fatal_errno("write error on", final_.c_str());
}

void TempFile::commit_closed() {
    if (::rename(temp_.c_str(), final_.c_str()) != 0) fatal_errno("can not rename a temporary file onto", final_.c_str());
    done_ = true;
}

void TempFile::commit_closed_as(std::string final_path) {
    final_ = std::move(final_path);
    // Try the rename first: the directory is there for all but the first
    // file published into it.
    if (::rename(temp_.c_str(), final_.c_str()) != 0) {
        if (errno != ENOENT) fatal_errno("can not rename a temporary file onto", final_.c_str());
        make_parents(final_);
        if (::rename(temp_.c_str(), final_.c_str()) != 0)
            fatal_errno("can not rename a temporary file onto", final_.c_str());
    }
    done_ = true;
}

void TempFile::commit() {
    close();
    commit_closed();
}

void write_all(std::FILE* out, const void* data, std::size_t len, const char* out_name) {
    if (len != 0 && std::fwrite(data, 1, len, out) != len) fatal_errno("write error on", out_name);
}

uint64_t copy_file(std::FILE* in, const char* in_name, std::FILE* out, const char* out_name, md5_context* hash) {
    constexpr std::size_t BUFSZ = 128 * 1024;
    static unsigned char buf[BUFSZ];
    uint64_t total = 0;
    for (;;) {
        const std::size_t n = std::fread(buf, 1, BUFSZ, in);
        if (std::ferror(in)) fatal_errno("read error on", in_name);
        if (hash) md5_process_bytes(buf, n, hash);
        write_all(out, buf, n, out_name);
        total += n;
        // fread comes back short only at the end of the file: asking again
        // would cost one more read() that returns nothing, per file copied.
        if (n < BUFSZ) return total;
    }
}

void copy_hashed(std::FILE* in, const char* in_name, std::FILE* out, const char* out_name, char* hex) {
    md5_context ctx;
    md5_init_ctx(&ctx);
    copy_file(in, in_name, out, out_name, &ctx);
    md5_finish_hex(&ctx, hex);
}

void hash_fd(int fd, const char* name, char* out) {
    unsigned char digest[16];
    if (md5_fd(fd, digest) != 0) fatal_errno("read error on", name);
    md5_to_hex(digest, out);
}

void hash_file(std::FILE* fp, const char* name, char* out) {
    if (md5_stream_ascii(fp, out) != 0) fatal_errno("read error on", name);
}

bool path_exists(const char* path) {
    struct stat st;
    return ::lstat(path, &st) == 0;
}
