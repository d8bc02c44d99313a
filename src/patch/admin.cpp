#include "patch/admin.h"

#include "util/fatal.h"
#include "util/fileio.h"
#include "util/lines.h"
#include "util/paths.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The temporary file of an update; removed unless it was renamed into place.
class AdminTemp {
public:
    explicit AdminTemp(std::string path) : path_(std::move(path)) {
        // A leftover of a killed run, or a link planted under the fixed
        // name, is replaced rather than written through.
        ::unlink(path_.c_str());
        int fd = create();
        if (fd < 0 && errno == ENOENT) {
            make_parents(path_);
            fd = create();
        }
        if (fd < 0 || !(fp_ = ::fdopen(fd, "w"))) {
            if (fd >= 0) ::close(fd);
            fatal_fixed(1, "can not read %s\n", path_.c_str());
        }
        owned_ = true;
    }
    AdminTemp(const AdminTemp&) = delete;
    AdminTemp& operator=(const AdminTemp&) = delete;
    ~AdminTemp() {
        if (fp_) std::fclose(fp_);
        if (owned_) ::unlink(path_.c_str());
    }
    std::FILE* get() const { return fp_; }
    const char* name() const { return path_.c_str(); }
    void commit(const char* final_path) {
        std::FILE* fp = fp_;
        fp_ = nullptr;
        const bool had_error = std::ferror(fp) != 0;
        if (std::fclose(fp) != 0 || had_error) fatal_errno("write error on", path_.c_str());
        if (::rename(path_.c_str(), final_path) != 0) fatal_errno("can not rename a temporary file onto", final_path);
        owned_ = false;
    }

private:
    int create() { return ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }
    std::string path_;
    std::FILE* fp_ = nullptr;
    bool owned_ = false;
};

void put_line(AdminTemp& tmp, std::string_view a, std::string_view b = {}) {
    write_all(tmp.get(), a.data(), a.size(), tmp.name());
    write_all(tmp.get(), b.data(), b.size(), tmp.name());
    write_all(tmp.get(), "\n", 1, tmp.name());
}

} // namespace

bool admin_temp_path(const char* path, std::string& out) {
    const std::size_t n = std::strlen(path);
    if (n + 4 > PATH_MAXLEN) return false;
    out.assign(path, n);
    out += ".tmp";
    return true;
}

void update_admin(const char* path, const std::string& name, const std::vector<std::string>& lines,
                  std::time_t now) {
    std::string tmp_path;
    if (!admin_temp_path(path, tmp_path)) fatal(1, "path too long: %s.tmp", path);

    // Only a missing file may be started afresh: one that can not be read
    // would lose its records.
    File old;
    if (std::FILE* fp = std::fopen(path, "r")) {
        old = File(fp, path);
    } else if (errno != ENOENT) {
        fatal(1, "can not read the administration file %s: %s; left unchanged", path,
              std::strerror(errno));
    }

    AdminTemp tmp(tmp_path);
    if (old) {
        bool skip = false;
        // The empty line that separates records is written only where the
        // kept text does not already end in one (or is empty): otherwise
        // every re-run of the last patch would add one more blank line.
        bool ends_blank = true;
        std::string line;
        while (read_line(old.get(), path, line, 0) != LineRead::eof) {
            cut_at_control(line);
            if (line.starts_with("patch: ")) skip = std::string_view(line).substr(7) == name;
            if (skip) continue;
            put_line(tmp, line);
            ends_blank = line.empty();
        }
        old.close();
        if (!ends_blank) put_line(tmp, "");
    }
    if (!lines.empty()) {
        char date[64];
        if (!::ctime_r(&now, date)) fatal(1, "can not render the date for %s", path);
        put_line(tmp, "patch: ", name);
        // ctime's text ends in its own line feed.
        write_all(tmp.get(), "date: ", 6, tmp.name());
        write_all(tmp.get(), date, std::strlen(date), tmp.name());
        for (const std::string& l : lines) put_line(tmp, l);
    }
    tmp.commit(path);
}
