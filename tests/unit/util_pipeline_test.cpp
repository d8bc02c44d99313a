#include "util/pipeline.h"
#include "util/lease.h"
#include "util/tempfile.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int ENTRIES = 200;
constexpr std::size_t GROUP = 4;

struct Entry {
    int i = 0;
    std::unique_ptr<TempFile> out;
};

// The names in dir, split into temporary files and the rest.
struct Listing {
    std::set<std::string> names;
    std::size_t temps = 0;
};

Listing list_dir(const std::string& dir) {
    Listing l;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return l;
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        if (is_temp_name(n))
            ++l.temps;
        else
            l.names.insert(n);
    }
    ::closedir(d);
    return l;
}

// Uneven work, so that later groups often finish before earlier ones.
void uneven(int i) {
    if (i % 7 == 3) std::this_thread::sleep_for(std::chrono::microseconds(300));
}

std::atomic<std::size_t>& raise_max(std::atomic<std::size_t>& max, std::size_t v) {
    std::size_t m = max.load();
    while (v > m && !max.compare_exchange_weak(m, v)) {
    }
    return max;
}

// Where a run fails: an entry's work, an entry's decision, the
// enumeration before it makes an entry, a whole group's work, an entry's
// work found only once its group's later entries are done; -1 for never.
struct Faults {
    int work = -1;
    int late = -1;
    int decide = -1;
    int gather = -1;
    int group = -1;
};

class PipelineRun : public testing::TestWithParam<int> {
protected:
    void SetUp() override {
        dir_ = make_scratch_dir("pipeline");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override { remove_scratch_dir(dir_); }

    // Runs ENTRIES entries in groups: each is written to a temporary file
    // on a worker and published as "f<i>" by its decision. Returns the
    // failure reported, "" for none.
    std::string run(const Faults& f) {
        Pipeline p(GetParam());
        auto gather = [&](Gathering<Entry>& g) {
            for (int i = 0; i < ENTRIES; ++i) {
                if (i == f.gather) throw std::runtime_error("gather " + std::to_string(i));
                Entry e;
                e.i = i;
                g.add(std::move(e));
            }
        };
        auto work = [&](EntryGroup<Entry>& grp) {
            for (Entry& e : grp.entries) {
                if (e.i == f.group) throw std::runtime_error("group " + std::to_string(e.i));
                uneven(e.i);
                try {
                    e.out = std::make_unique<TempFile>(dir_ + "/f" + std::to_string(e.i));
                    if (e.i == f.work) throw std::runtime_error("work " + std::to_string(e.i));
                    e.out->close();
                } catch (...) {
                    grp.fail(e, std::current_exception());
                    break;
                }
            }
            for (Entry& e : grp.entries)
                if (e.i == f.late)
                    grp.fail(e, std::make_exception_ptr(std::runtime_error("late " + std::to_string(e.i))));
        };
        auto decide = [&](Entry& e) {
            if (e.i == f.decide) throw std::runtime_error("decide " + std::to_string(e.i));
            decided_.push_back(e.i);
            e.out->commit_closed();
        };
        try {
            run_grouped(p, GROUP, gather,
                        GroupedJob<Entry>{work, decide, [](const Entry&) { return Cost{1000, 1}; }});
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    }

    // Entries 0 .. n-1 were decided in order, and their files are all the
    // directory holds: nothing after a failure was published, and no
    // temporary file is left.
    void expect_decided_up_to(int n) {
        std::vector<int> want;
        std::set<std::string> files;
        for (int i = 0; i < n; ++i) {
            want.push_back(i);
            files.insert("f" + std::to_string(i));
        }
        EXPECT_EQ(decided_, want);
        const Listing l = list_dir(dir_);
        EXPECT_EQ(l.names, files);
        EXPECT_EQ(l.temps, 0u);
    }

    std::string dir_;
    std::vector<int> decided_;
};

TEST_P(PipelineRun, EveryEntryDecidedInSubmissionOrder) {
    EXPECT_EQ(run({}), "");
    expect_decided_up_to(ENTRIES);
}

struct FirstFailure {
    const char* name;
    Faults faults;
    const char* reported;
    int decided;  // entries decided before it
};

class PipelineFailure : public PipelineRun {};

TEST_P(PipelineFailure, FirstInOrderWinsAndNothingAfterIsDecided) {
    const FirstFailure cases[] = {
        {"work", {.work = 57}, "work 57", 57},
        {"decision", {.decide = 90}, "decide 90", 90},
        {"enumeration", {.gather = 33}, "gather 33", 33},
        {"earlier work over later decision", {.work = 41, .decide = 150}, "work 41", 41},
        {"earlier decision over later work", {.work = 150, .decide = 41}, "decide 41", 41},
        {"work over a later enumeration failure", {.work = 29, .gather = 30}, "work 29", 29},
        // Failures met in one group out of order: the earliest entry's wins.
        {"an earlier entry's work found last", {.work = 43, .late = 41}, "late 41", 41},
        {"a later entry's work found last", {.work = 41, .late = 43}, "work 41", 41},
        {"decision over a later enumeration failure", {.decide = 5, .gather = 6}, "decide 5", 5},
        // A failure that escapes a group's work (here when it meets entry
        // 64, the first of its group) comes before the group's entries.
        {"a whole group", {.group = 64}, "group 64", 64},
    };
    for (const FirstFailure& c : cases) {
        SCOPED_TRACE(c.name);
        remove_scratch_dir(dir_);
        dir_ = make_scratch_dir("pipeline");
        decided_.clear();
        EXPECT_EQ(run(c.faults), c.reported);
        expect_decided_up_to(c.decided);
    }
}

// Decisions without a heavy part keep their place among the entries.
TEST_P(PipelineRun, DecisionsWithoutWorkKeepTheirPlace) {
    Pipeline p(GetParam());
    std::vector<int> order;
    std::vector<int> want;
    run_grouped(
        p, GROUP,
        [&](Gathering<Entry>& g) {
        for (int i = 0; i < ENTRIES; ++i) {
            want.push_back(i);
            if (i % 9 == 4) {
                g.then([&order, i] { order.push_back(i); });
                continue;
            }
            Entry e;
            e.i = i;
            g.add(std::move(e));
        }
        },
        GroupedJob<Entry>{[](EntryGroup<Entry>& grp) {
        for (Entry& e : grp.entries) uneven(e.i);
                          },
                          [&order](Entry& e) { order.push_back(e.i); }, [](const Entry&) { return Cost{}; }});
    EXPECT_EQ(order, want);
}

// What was in flight at most while ENTRIES entries, in groups of two, were
// run with a slow first group, which lets every later one pile up behind
// it: places and bytes taken (from the start of a group's work to its
// entries' decisions), and temporary files present.
struct Peak {
    std::size_t places = 0, bytes = 0, temps = 0;
};

Peak peak_in_flight(Pipeline& p, const std::string& dir, Cost each) {
    std::atomic<std::size_t> places{0}, bytes{0}, max_places{0}, max_bytes{0}, max_temps{0};
    auto work = [&](EntryGroup<Entry>& g) {
        std::vector<Entry>& grp = g.entries;
        raise_max(max_places, places.fetch_add(each.places * grp.size()) + each.places * grp.size());
        raise_max(max_bytes, bytes.fetch_add(each.bytes * grp.size()) + each.bytes * grp.size());
        if (grp.front().i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
        for (Entry& e : grp) e.out = std::make_unique<TempFile>(dir + "/f" + std::to_string(e.i));
        raise_max(max_temps, list_dir(dir).temps);
    };
    auto decide = [&](Entry& e) {
        e.out.reset();
        places.fetch_sub(each.places);
        bytes.fetch_sub(each.bytes);
    };
    run_grouped(p, 2, [&](Gathering<Entry>& g) {
        for (int i = 0; i < ENTRIES; ++i) {
            Entry e;
            e.i = i;
            g.add(std::move(e));
        }
    }, GroupedJob<Entry>{work, decide, [each](const Entry&) { return each; }});
    EXPECT_EQ(list_dir(dir).temps, 0u);
    return {max_places.load(), max_bytes.load(), max_temps.load()};
}

// Entries that hold an open file each: never more of them, or of their
// temporary files, than the window.
TEST_P(PipelineRun, OpenFilesStayWithinTheWindow) {
    Pipeline p(GetParam());
    const Peak peak = peak_in_flight(p, dir_, Cost{0, 1});
    EXPECT_LE(peak.places, p.window());
    EXPECT_LE(peak.temps, p.window());
    if (GetParam() > 1) {
        EXPECT_GT(peak.places, p.window() / 2);  // the window, and nothing else, held them back
    }
}

// Entries that hold buffers: never more bytes than the budget.
TEST_P(PipelineRun, BuffersStayWithinTheBudget) {
    Pipeline p(GetParam());
    const std::size_t each = Pipeline::BUDGET / 12 + 1;
    const Peak peak = peak_in_flight(p, dir_, Cost{each, 0});
    EXPECT_LE(peak.bytes, Pipeline::BUDGET);
    if (GetParam() > 1) {
        EXPECT_GT(peak.bytes, Pipeline::BUDGET / 2);
    }
}

// One worker beside the calling thread, held on a first item while four
// more wait: once free, it takes them heaviest first, and they are still
// decided in submission order.
TEST(PipelineWeights, AWorkerTakesTheHeaviestFirst) {
    Pipeline p(2);
    std::mutex mu;
    std::vector<std::size_t> ran, decided;
    std::atomic<bool> started{false}, release{false};
    std::atomic<int> left{4};
    const std::size_t weights[] = {1, 9, 3, 7};
    p.run([&] {
        // Large enough to start the worker on its own.
        p.submit(
            [&] {
                started = true;
                // Bounded: a pipeline that ran this on the calling thread
                // fails the test instead of hanging it.
                const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (!release && std::chrono::steady_clock::now() < end) std::this_thread::yield();
            },
            [&] { decided.push_back(0); }, Pipeline::WAKE_BYTES);
        while (!started) std::this_thread::yield();
        for (const std::size_t w : weights) {
            p.submit(
                [&, w] {
                    const std::lock_guard lock(mu);
                    ran.push_back(w);
                    --left;
                },
                [&, w] { decided.push_back(w); }, 0, 1, w);
        }
        release = true;
        // The calling thread stays out of the work until the worker is done.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (left > 0 && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    });
    EXPECT_EQ(ran, (std::vector<std::size_t>{9, 7, 3, 1}));
    EXPECT_EQ(decided, (std::vector<std::size_t>{0, 1, 9, 3, 7}));
}

INSTANTIATE_TEST_SUITE_P(Threads, PipelineRun, testing::Values(1, 2, 4, 8));
INSTANTIATE_TEST_SUITE_P(Threads, PipelineFailure, testing::Values(1, 2, 4, 8));

} // namespace
