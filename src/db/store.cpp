#include "db/store.h"

void store_path(std::string& out, std::string_view root, std::string_view digest) {
    out.assign(root);
    out += '/';
    out.append(digest.substr(0, 2));
    out += '/';
    out.append(digest.substr(2, 30));
}
