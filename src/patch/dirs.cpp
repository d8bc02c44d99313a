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
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string record_path(const std::string& patch) { return join_path_or_die(patch, "DIRS"); }

// The tie line of a tree: "tree <dev> <inode> <real path>", or "" when the
// tree can not be told apart that way (no real path, a control character
// in it, or no stat).
std::string tree_tie(const std::string& tree) {
    char real[PATH_MAX];
    struct stat st;
    if (!::realpath(tree.c_str(), real) || ::stat(real, &st) != 0) return {};
    for (const char* c = real; *c; ++c)
        if (static_cast<unsigned char>(*c) < 32) return {};
    return "tree " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " + real;
}

} // namespace

bool read_dir_record(const std::string& patch, const std::string& tree, DirRecord& out) {
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
    const std::string tie = tree_tie(tree);
    if (tie.empty() || read_line(f.get(), path.c_str(), line, PATH_MAXLEN + 64) != LineRead::ok || line != tie)
        return false;
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

void write_dir_record(const std::string& patch, const std::string& tree, const DirRecord& r) {
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
    // Without a tie the record is written all the same, and never honoured.
    if (const std::string tie = tree_tie(tree); !tie.empty()) text += tie + "\n";
    for (const std::string& l : lines) text += l;
    write_all(t.get(), text.data(), text.size(), path.c_str());
    t.commit();
}

void forget_dir_record(const std::string& patch) {
    const std::string path = record_path(patch);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) fatal_errno("can not remove", path.c_str());
}

void restore_dir_mode(const std::string& dir, unsigned recorded) {
    // A set-group-ID bit the directory inherited from its parent stays, as
    // on any new directory; the record may only take permissions away.
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    const mode_t mode = (st.st_mode & S_ISGID) | (st.st_mode & recorded & 0777);
    if (mode != (st.st_mode & 07777)) ::chmod(dir.c_str(), mode);
}
