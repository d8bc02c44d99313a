#include "util/mounts.h"

#include <fstream>
#include <sstream>

namespace {

// mountinfo writes a space, tab, line feed and backslash in a path as \040,
// \011, \012 and \134.
std::string unoctal(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
            out += char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

std::vector<Mount> parse_mountinfo(std::string_view text) {
    std::vector<Mount> mounts;
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        // ID PARENT MAJ:MIN ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE SUPER
        std::istringstream f(line);
        std::string id, parent, dev, root, point, word, source;
        if (!(f >> id >> parent >> dev >> root >> point)) continue;
        while (f >> word && word != "-") {}
        Mount m;
        if (!(f >> m.type)) continue;
        f >> source >> m.super;
        m.root = unoctal(root);
        m.point = unoctal(point);
        mounts.push_back(std::move(m));
    }
    return mounts;
}

bool has_option(std::string_view list, std::string_view item) {
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        if (list.substr(0, comma) == item) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

bool at_or_below(std::string_view path, std::string_view dir) {
    if (dir == "/") return path.starts_with('/');
    return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

std::string read_small_file(const std::string& path) {
    std::ifstream f(path);
    std::stringstream text;
    if (f) text << f.rdbuf();
    return text.str();
}
