#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/periodic_timer.h"

using namespace kv;

TEST(PeriodicTimer, TicksSkipWhenSlowAndStopJoins) {
    PeriodicTimer t;
    std::atomic<int> ticks{0};
    std::atomic<int> concurrent{0};
    std::atomic<int> maxConcurrent{0};
    t.start(5, [&] {
        const int now = ++concurrent;
        if (now > maxConcurrent) maxConcurrent = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(12));  // slower than the period
        ++ticks;
        --concurrent;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    t.stop();
    const int after = ticks.load();
    EXPECT_GT(after, 2);
    EXPECT_EQ(maxConcurrent.load(), 1);  // ticks never overlap
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(ticks.load(), after);  // nothing runs after stop()
    EXPECT_FALSE(t.running());
}
