#include "patch/dirs.h"

#include "util/fatal.h"
#include "util/fileio.h"
#include "util/lines.h"
#include "util/paths.h"
#include "util/tempfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

std::string record_path(const std::string& patch) { return join_path_or_die(patch, "DIRS"); }

} // namespace

bool read_dir_record(const std::string& patch, DirRecord& out) {
    const std::string path = record_path(patch);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    std::FILE* fp = ::fdopen(fd, "r");
    if (!fp) {
        ::close(fd);
        return false;
    }
    File f(fp, path);
    std::string line;
    if (read_line(f.get(), path.c_str(), line, PATH_MAXLEN) != LineRead::ok) return false;
    if (line != "apply" && line != "undo") return false;
    out.undo = line == "undo";
    LineRead r;
    while ((r = read_line(f.get(), path.c_str(), line, PATH_MAXLEN + 16)) != LineRead::eof) {
        if (r != LineRead::ok) return false;
        if (line.starts_with("made ")) {
            out.made.insert(line.substr(5));
        } else if (line.starts_with("gone ")) {
            char* end = nullptr;
            const unsigned long mode = std::strtoul(line.c_str() + 5, &end, 8);
            if (!end || *end != ' ' || mode > 07777) return false;
            out.gone[std::string(end + 1)] = unsigned(mode);
        } else {
            return false;
        }
    }
    return true;
}

void write_dir_record(const std::string& patch, const DirRecord& r) {
    const std::string path = record_path(patch);
    TempFile t(path);
    // Sorted, so that the same work always writes the same file.
    std::vector<std::string> lines;
    for (const std::string& d : r.made) lines.push_back("made " + d + "\n");
    char mode[16];
    for (const auto& [d, m] : r.gone) {
        std::snprintf(mode, sizeof mode, "%o", m);
        lines.push_back(std::string("gone ") + mode + " " + d + "\n");
    }
    std::sort(lines.begin(), lines.end());
    std::string text = r.undo ? "undo\n" : "apply\n";
    for (const std::string& l : lines) text += l;
    write_all(t.get(), text.data(), text.size(), path.c_str());
    t.commit();
}

void forget_dir_record(const std::string& patch) {
    const std::string path = record_path(patch);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) fatal_errno("can not remove", path.c_str());
}
