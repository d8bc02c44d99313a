#include "util/handles.h"

#include "util/fatal.h"

#include <unistd.h>

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
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
