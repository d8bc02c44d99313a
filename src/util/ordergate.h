// Publishing on the workers in stream order's terms. Where a rename costs a
// round trip to a server (a store on a network file system), renaming on
// the calling thread, one file after the other, would be the whole run's
// cost. A job gives each item a ticket in submission order; the item's
// worker reports when its files are written and checked (checked), then
// waits for its turn: every earlier item checked. It publishes only when
// none of them failed, so the files a run leaves are those a serial run
// leaves. An item that must also come after the earlier items' renames (it
// writes a name one of them may write too) waits for those (committed).
// What remains different is a rename that fails itself (an I/O error of the
// server): a later item may have published by then.
//
// An item runs after every earlier one has started (the pipeline starts its
// work in submission order), and waits only for earlier ones, so a wait
// always ends.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <set>
#include <string_view>
#include <vector>

class OrderGate {
public:
    // The next item's ticket; on the calling thread, in submission order.
    std::size_t ticket() { return next_++; }
    // Item t is written and checked (ok: without failure).
    void checked(std::size_t t, bool ok) {
        {
            std::lock_guard lock(mu_);
            if (!ok && t < failed_) failed_ = t;
            checked_.mark(t);
        }
        cv_.notify_all();
    }
    // Waits until every item before t is checked; true when none failed.
    bool turn(std::size_t t) {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return checked_.low >= t; });
        return failed_ >= t;
    }
    // Item t has renamed what it publishes, or given up.
    void committed(std::size_t t) {
        {
            std::lock_guard lock(mu_);
            committed_.mark(t);
        }
        cv_.notify_all();
    }
    // Waits until every item before t has committed.
    void after_commits(std::size_t t) {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return committed_.low >= t; });
    }

private:
    // Tickets marked out of order; low: every ticket below is marked.
    struct Marks {
        std::size_t low = 0;
        std::set<std::size_t> ahead;
        void mark(std::size_t t) {
            ahead.insert(t);
            while (!ahead.empty() && *ahead.begin() == low) {
                ahead.erase(ahead.begin());
                ++low;
            }
        }
    };
    std::size_t next_ = 0;
    std::mutex mu_;
    std::condition_variable cv_;
    Marks checked_;
    Marks committed_;
    std::size_t failed_ = std::numeric_limits<std::size_t>::max();
};

// Names met before, roughly: true for a name seen earlier, and sometimes for
// another (a hash filter of fixed size), never false for a repeat. Letters
// are folded, as a case-insensitive file system would.
class SeenNames {
public:
    bool seen_before(std::string_view name);

private:
    std::vector<std::uint64_t> bits_ = std::vector<std::uint64_t>(std::size_t(1) << 17);
};
