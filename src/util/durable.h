// Durability: a power cut or system crash at any moment leaves every final
// name holding its old content or its whole new content, never an empty or
// partial file; once a run has exited 0, everything it reported is on the
// disk. The data of a file reaches the disk before the rename that names
// it: a commit waits for it (one syncfs of the file system serves every
// file closed before it, so a batch of files costs one wait, and writes
// them in large merged writes); sync_published() makes the renames
// themselves durable before the run reports success. On tmpfs and ramfs
// there is no disk and nothing is flushed.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>

// What a file system's type (statfs's f_type) says of it: the one list of
// the file systems the run treats apart from a local disk's.
struct FsKind {
    bool disk = true;  // false on tmpfs and ramfs: nothing to flush
    // Its disk lies behind a server (FUSE, NFS, SMB, Ceph): syncfs may not
    // reach it, an fsync of each file does.
    bool server = false;
    bool network = false;  // it answers over the network (NFS, SMB, Ceph)
    // FUSE serves local file systems too: it answers over the network only
    // when its mount type says so (on_network_fs).
    bool fuse = false;
};
FsKind fs_kind(long type);

// One file system the run writes on, with a descriptor for syncfs. Files
// closed at epoch e are on the disk once durable exceeds e: a syncfs takes
// a new epoch when it starts, so it covers every file closed before.
struct DurableFs {
    dev_t dev = 0;
    int fd = -1;
    FsKind kind;
    std::atomic<uint64_t> epoch{1};
    std::atomic<uint64_t> durable{0};
    std::atomic<bool> changed{false};
    std::mutex sync_mu;
};

// The file system of the open file fd (a descriptor of it is kept); fatal,
// naming name, when it can not be examined.
DurableFs* fs_of(int fd, const char* name);
// Flushes f to the disk (syncfs); fatal, naming name, on a write error.
void sync_fs(DurableFs& f, const char* name);
// Measuring only: MDTREE_FLUSH=each flushes every file on its own when it
// is closed, for comparison with the batched flush.
bool flush_each();

// Starts writing len bytes of the file open on fd from offset to the disk,
// without waiting: a long file written piece by piece is then mostly on the
// disk by the time its commit flushes it.
void start_writeback(int fd, uint64_t offset, uint64_t len);
// How much a long file's writer writes between two start_writeback calls.
inline constexpr uint64_t WRITEBACK_STEP = 8u << 20;

// Records that the run changed names in the directory at path by other
// means than a commit (a rename into a backup, a removal), so that
// sync_published() makes the change durable.
void note_changed(const std::string& path);
// Makes every rename and change of the run durable: one syncfs of each file
// system it published on. Fatal when the file system reports a write error.
void sync_published();
