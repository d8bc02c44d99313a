// A scratch directory for one unit test, removed with everything in it when
// the test ends: on tmpfs where there is one (thousands of files cost
// nothing there), else in /tmp.
#pragma once

#include <cstdlib>
#include <string>
#include <unistd.h>

// Makes the directory; "" when it can not be made.
inline std::string make_scratch_dir(const std::string& tag) {
    std::string tmpl = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm/mdtree-" : "/tmp/mdtree-") + tag + "-XXXXXX";
    return ::mkdtemp(tmpl.data()) ? tmpl : std::string();
}

inline void remove_scratch_dir(const std::string& dir) {
    if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
}
