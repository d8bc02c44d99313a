#include "util/paths.h"

#include "util/fatal.h"
#include "util/fileio.h"

#include <cerrno>
#include <unistd.h>

namespace {

// Calls f with each component of path, empty ones included.
template <class F>
void each_component(std::string_view path, F f) {
    for (std::size_t start = 0;;) {
        const std::size_t slash = path.find('/', start);
        f(path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos) return;
        start = slash + 1;
    }
}

}  // namespace

bool absolute_from(std::string_view cwd, std::string_view path, std::string& out) {
    std::string prefix(cwd);
    prefix += '/';
    for (;;) {
        if (path.starts_with("./")) {
            path.remove_prefix(2);
        } else if (path.starts_with("../")) {
            path.remove_prefix(3);
            // Drop the prefix's last component; at the root there is none
            // left to drop, so the path stays clamped at "/".
            prefix.pop_back();
            while (!prefix.empty() && prefix.back() != '/') prefix.pop_back();
            if (prefix.empty()) prefix = "/";
        } else {
            break;
        }
    }
    prefix.append(path);
    if (prefix.size() > PATH_MAXLEN) return false;
    out = std::move(prefix);
    return true;
}

char* absolute(char* path) {
    if (path[0] == '/') return path;
    char cwd[PATH_BUF];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        if (errno == ERANGE) fatal(1, "working directory is longer than %zu bytes", PATH_MAXLEN);
        fatal_errno("can not read the working directory for", path);
    }
    std::string out;
    if (!absolute_from(cwd, path, out)) fatal(1, "path too long: %s/%s", cwd, path);
    return copy(out.c_str());
}

bool join_path(std::string& out, std::string_view root, std::string_view rel) {
    if (root.size() + 1 + rel.size() > PATH_MAXLEN) return false;
    out.assign(root);
    out += '/';
    out.append(rel);
    return true;
}

std::string join_path_or_die(std::string_view root, std::string_view rel) {
    std::string out;
    if (!join_path(out, root, rel))
        fatal(1, "path too long: %.*s/%.*s", int(root.size()), root.data(), int(rel.size()),
              rel.data());
    return out;
}

bool is_safe_relpath(std::string_view rel) {
    if (rel.empty() || rel.size() > PATH_MAXLEN || rel.front() == '/') return false;
    bool safe = true;
    each_component(rel, [&safe](std::string_view part) { safe &= !part.empty() && part != "." && part != ".."; });
    return safe;
}

std::string drop_dot_components(std::string_view rel) {
    std::string out(rel.starts_with('/') ? "/" : "");
    const std::size_t root = out.size();
    each_component(rel, [&](std::string_view part) {
        if (part.empty() || part == ".") return;
        if (out.size() > root) out += '/';
        out.append(part);
    });
    return out;
}

bool stays_below(std::string_view rel) {
    if (rel.starts_with('/')) return false;
    long depth = 0;
    bool below = true;
    each_component(rel, [&](std::string_view part) {
        if (part == "..") {
            if (--depth < 0) below = false;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
    });
    return below;
}

bool is_hex_digest(std::string_view s) {
    if (s.size() != MD5_HEX_LEN) return false;
    // No branch per byte: every line of a listing comes through here.
    bool ok = true;
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        ok &= (unsigned(u - '0') < 10) | (unsigned(u - 'a') < 6);
    }
    return ok;
}

bool tree_relpath(std::string_view name, std::string& out) {
    out.clear();
    bool inside = !name.starts_with('/');
    each_component(name, [&](std::string_view part) {
        if (part.empty() || part == ".") return;
        inside &= part != "..";
        if (!out.empty()) out += '/';
        out.append(part);
    });
    return inside && !out.empty();
}
