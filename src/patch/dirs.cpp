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

// Longest line of a record: a path and what stands in front of it.
constexpr std::size_t RECORD_LINE_MAX = PATH_MAXLEN + 64;

const char* const SAVED_KINDS[] = {"file", "link", "special"};

// One line of a record after the tie: a directory made or removed, or a
// file saved. False when it is none of these.
bool take_path_line(std::string_view line, DirRecord& out) {
    if (line.starts_with("made ")) {
        out.made.emplace(line.substr(5));
        return true;
    }
    if (line.starts_with("gone ")) {
        const std::string rest(line.substr(5));
        char* end = nullptr;
        const unsigned long mode = std::strtoul(rest.c_str(), &end, 8);
        if (end == rest.c_str() || *end != ' ' || mode > 07777) return false;
        out.gone[std::string(end + 1)] = unsigned(mode);
        return true;
    }
    if (!line.starts_with("saved ")) return false;
    line.remove_prefix(6);
    for (int k = 0; k < 3; ++k) {
        const std::string_view kind = SAVED_KINDS[k];
        if (!line.starts_with(kind) || line.size() <= kind.size() || line[kind.size()] != ' ') continue;
        line.remove_prefix(kind.size() + 1);
        SavedFile f;
        f.kind = SavedFile::Kind(k);
        // A file's digest, "-" for the others.
        const std::size_t digest_len = f.kind == SavedFile::file ? MD5_HEX_LEN : 1;
        const std::string_view digest = line.substr(0, digest_len);
        if (line.size() <= digest_len || line[digest_len] != ' ') return false;
        if (f.kind == SavedFile::file ? !is_hex_digest(digest) : digest != "-") return false;
        const std::string_view name = line.substr(digest_len + 1);
        if (!is_safe_relpath(name)) return false;
        if (f.kind == SavedFile::file) f.digest = digest;
        out.saved[std::string(name)] = std::move(f);
        return true;
    }
    return false;
}

// Line index of a record: the direction, the tie, then paths.
bool take_record_line(std::size_t index, std::string_view line, std::string_view tie, DirRecord& out) {
    if (index == 0) {
        out.undo = line == "undo";
        return line == "apply" || line == "undo";
    }
    if (index == 1) return line == tie;
    return take_path_line(line, out);
}

}  // namespace

bool parse_dir_record(std::string_view text, std::string_view tie, DirRecord& out) {
    if (tie.empty()) return false;
    std::size_t index = 0;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (line.size() > RECORD_LINE_MAX || !take_record_line(index++, line, tie, out)) return false;
    }
    return index >= 2;
}

bool read_dir_record(const std::string& patch, const std::string& tree, DirRecord& out) {
    const std::string path = record_path(patch);
    Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    std::FILE* fp = fd.get() < 0 ? nullptr : ::fdopen(fd.get(), "r");
    if (!fp) return false;
    File f(fp, path);
    fd.release();
    const std::string tie = tree_tie(tree);
    if (tie.empty()) return false;
    std::string line;
    std::size_t index = 0;
    for (LineRead r; (r = read_line(f.get(), path.c_str(), line, RECORD_LINE_MAX)) != LineRead::eof;)
        if (r != LineRead::ok || !take_record_line(index++, line, tie, out)) return false;
    return index >= 2;
}

std::string format_dir_record(const DirRecord& r, std::string_view tie) {
    // Sorted, so that the same work always writes the same file.
    std::vector<std::string> lines;
    for (const std::string& d : r.made) lines.push_back("made " + d + "\n");
    char mode[16];
    for (const auto& [d, m] : r.gone) {
        std::snprintf(mode, sizeof mode, "%o", m);
        lines.push_back(std::string("gone ") + mode + " " + d + "\n");
    }
    for (const auto& [name, f] : r.saved) {
        const std::string digest = f.kind == SavedFile::file ? f.digest : "-";
        lines.push_back(std::string("saved ") + SAVED_KINDS[f.kind] + " " + digest + " " + name + "\n");
    }
    std::sort(lines.begin(), lines.end());
    std::string text = r.undo ? "undo\n" : "apply\n";
    if (!tie.empty()) text.append(tie).append("\n");
    for (const std::string& l : lines) text += l;
    return text;
}

void write_dir_record(const std::string& patch, const std::string& tree, const DirRecord& r) {
    const std::string path = record_path(patch);
    TempFile t(path);
    // Without a tie the record is written all the same, and never honoured.
    const std::string text = format_dir_record(r, tree_tie(tree));
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
