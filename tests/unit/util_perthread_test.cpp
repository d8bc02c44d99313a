#include "util/perthread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <pthread.h>

namespace {

std::atomic<int> alive{0};

struct Counted {
    int value = 0;
    Counted() { ++alive; }
    ~Counted() { --alive; }
};

PerThread<Counted> slot;

void* bump(void*) {
    slot.get().value += 5;
    return reinterpret_cast<void*>(static_cast<long>(slot.get().value));
}

// Each thread gets its own value, made on first use and gone when the
// thread ends; the calling thread's stays.
TEST(PerThread, OneValuePerThreadDestroyedAtItsEnd) {
    slot.get().value = 1;
    const int before = alive.load();
    pthread_t t[4];
    for (pthread_t& x : t) ASSERT_EQ(pthread_create(&x, nullptr, bump, nullptr), 0);
    for (pthread_t& x : t) {
        void* got = nullptr;
        ASSERT_EQ(pthread_join(x, &got), 0);
        EXPECT_EQ(reinterpret_cast<long>(got), 5);
    }
    EXPECT_EQ(alive.load(), before);
    EXPECT_EQ(slot.get().value, 1);
}

} // namespace
