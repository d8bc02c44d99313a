#include "db/store.h"

void store_path(std::string& out, std::string_view root, std::string_view digest) {
    out.assign(root);
    out += '/';
    out.append(digest.substr(0, 2));
    out += '/';
    out.append(digest.substr(2, 30));
}

// The digit rule is is_hex_digest's: a name is padded to a whole digest.
bool is_object_dir_name(std::string_view name) {
    return name.size() == 2 && is_hex_digest(std::string(name) + std::string(30, '0'));
}
bool is_object_name(std::string_view name) { return name.size() == 30 && is_hex_digest("00" + std::string(name)); }
