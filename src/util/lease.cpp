#include "util/lease.h"

#include "util/cleanup.h"
#include "util/fileio.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace {

constexpr char DIGITS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr std::size_t RUN_ID_LEN = 5;
constexpr std::string_view LEASE_PART = "LEASE";

std::mt19937_64& thread_rng() {
    // One generator per thread: temporary files may be made on any of them.
    thread_local std::mt19937_64 rng{std::random_device{}() ^ (uint64_t(getpid()) << 32)};
    return rng;
}

// The run's id, the first part of every temporary name it makes: five
// digits packed base 36 (0 until first asked for).
constinit std::atomic<uint32_t> run_code{0};

uint32_t new_run_code() {
    uint32_t c = 0;
    while (c == 0) c = uint32_t(thread_rng()() % (36ull * 36 * 36 * 36 * 36));
    return c;
}

std::string run_id() {
    uint32_t c = run_code.load();
    if (c == 0) {
        uint32_t expect = 0;
        const uint32_t fresh = new_run_code();
        c = run_code.compare_exchange_strong(expect, fresh) ? fresh : expect;
    }
    std::string s(RUN_ID_LEN, '0');
    for (std::size_t i = RUN_ID_LEN; i-- > 0; c /= 36) s[i] = DIGITS[c % 36];
    return s;
}

std::string unique_suffix() {
    std::string s = run_id();
    for (std::size_t i = 0; i < RUN_ID_LEN; ++i) s.push_back(DIGITS[thread_rng()() % 36]);
    return s;
}

}  // namespace

bool is_temp_name(std::string_view name) { return name.size() == TEMP_NAME_LEN && name.starts_with(".mdtree-"); }

std::string temp_name(std::string_view dir) { return std::string(dir) + ".mdtree-" + unique_suffix(); }

bool is_lease_name(std::string_view name) { return is_temp_name(name) && name.ends_with(LEASE_PART); }

RunLease::RunLease(const std::string& dir) {
    // Made under its final name at once: a lease is never replaced, so a
    // name taken by another run's lease (the same run id by chance) gives
    // this run another id. Locked before any file of the run exists in dir.
    bool made = false;
    for (int tries = 0; tries < 100; ++tries) {
        path_ = dir + ".mdtree-" + run_id() + std::string(LEASE_PART);
        slot_ = claim_slot(path_);
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        slot_opened(slot_, fd_);
        if (fd_ >= 0) break;
        const int err = errno;
        release_slot(slot_);
        // A store's first run makes its root, as its first file would.
        if (err == ENOENT && !made) {
            make_parents(path_);
            made = true;
            continue;
        }
        if (err != EEXIST) return;  // no lease: the run's files are judged by their age
        run_code.store(new_run_code());
    }
    if (fd_ < 0) return;
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    if (::fcntl(fd_, F_SETLK, &l) != 0) {
        // A lease that can not be locked would read as a dead run's.
        ::unlink(path_.c_str());
        ::close(fd_);
        fd_ = -1;
        release_slot(slot_);
    }
}

RunLease::~RunLease() {
    if (fd_ < 0) return;
    // Removed while still locked: nobody ever sees it unlocked.
    if (!kept_) ::unlink(path_.c_str());
    ::close(fd_);
    release_slot(slot_);
}

void RunLease::remove_at_signal() {
    if (fd_ < 0 || slot_ >= 0) return;
    slot_ = claim_slot(path_);
    slot_opened(slot_, fd_);
}

std::string lease_name_of(std::string_view name) {
    return ".mdtree-" + std::string(name.substr(name.size() - 2 * RUN_ID_LEN, RUN_ID_LEN)) + std::string(LEASE_PART);
}

RunState run_state(std::string_view dir, std::string_view name) {
    if (!is_temp_name(name)) return RunState::unknown;
    const std::string_view id = name.substr(name.size() - 2 * RUN_ID_LEN, RUN_ID_LEN);
    // This process's own lease: asking about it through another descriptor
    // would say unlocked, and closing that descriptor would drop the lock.
    if (run_code.load() != 0 && id == run_id()) return RunState::live;
    const std::string lease = std::string(dir) + ".mdtree-" + std::string(id) + std::string(LEASE_PART);
    const int fd = ::open(lease.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return RunState::unknown;
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    const int rc = ::fcntl(fd, F_GETLK, &l);
    ::close(fd);
    if (rc != 0) return RunState::unknown;
    return l.l_type == F_UNLCK ? RunState::dead : RunState::live;
}
