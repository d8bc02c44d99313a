#include "util/durable.h"

#include "util/fatal.h"
#include "util/handles.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// Every file system type the run treats apart from a local disk's.
constexpr struct {
    long type;
    FsKind kind;
} KINDS[] = {
    {TMPFS_MAGIC, {.disk = false}},
    {RAMFS_MAGIC, {.disk = false}},
    {0x65735546 /* FUSE */, {.server = true, .fuse = true}},
    {NFS_SUPER_MAGIC, {.server = true, .network = true}},
    {0xFF534D42 /* CIFS */, {.server = true, .network = true}},
    {0xFE534D42 /* SMB2 */, {.server = true, .network = true}},
    {0x00c36400 /* CephFS */, {.server = true, .network = true}},
};

std::mutex fs_mu;
std::deque<DurableFs> filesystems;  // never shrinks: TempFiles point into it

}  // namespace

DurableFs* fs_of(int fd, const char* name) {
    struct stat st;
    if (::fstat(fd, &st) != 0) fatal_errno("can not examine", name);
    std::lock_guard lock(fs_mu);
    for (DurableFs& f : filesystems)
        if (f.dev == st.st_dev) return &f;
    struct statfs sf;
    if (::fstatfs(fd, &sf) != 0) fatal_errno("can not examine", name);
    const int kept = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (kept < 0) fatal_errno("can not keep a descriptor on the file system of", name);
    DurableFs& f = filesystems.emplace_back();
    f.dev = st.st_dev;
    f.fd = kept;
    f.kind = fs_kind(long(sf.f_type));
    return &f;
}

void sync_fs(DurableFs& f, const char* name) {
    std::lock_guard lock(f.sync_mu);
    const uint64_t e = f.epoch.fetch_add(1) + 1;
    if (::syncfs(f.fd) != 0) fatal_errno("can not flush to the disk", name);
    f.durable.store(e);
}

FsKind fs_kind(long type) {
    for (const auto& k : KINDS)
        if (k.type == type) return k.kind;
    return {};
}

bool flush_each() {
    static const bool each = [] {
        const char* v = std::getenv("MDTREE_FLUSH");
        return v && std::strcmp(v, "each") == 0;
    }();
    return each;
}

void start_writeback(int fd, uint64_t offset, uint64_t len) {
    ::sync_file_range(fd, off64_t(offset), off64_t(len), SYNC_FILE_RANGE_WRITE);
}

void note_changed(const std::string& path) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) fs_of(fd.get(), path.c_str())->changed.store(true, std::memory_order_relaxed);
}

void sync_published() {
    std::lock_guard lock(fs_mu);
    for (DurableFs& f : filesystems)
        if (f.kind.disk && f.changed.load()) {
            if (::syncfs(f.fd) != 0) fatal_errno("can not flush to the disk", "the output");
            f.changed.store(false);
        }
}
