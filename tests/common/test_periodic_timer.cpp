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
    // A few slow ticks, however loaded the machine is (bounded at ten seconds).
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ticks.load() < 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    t.stop();
    EXPECT_GE(ticks.load(), 3);
    EXPECT_EQ(maxConcurrent.load(), 1);  // ticks never overlap
    // stop() joined the thread: no tick is half-way through, and the timer is idle.
    EXPECT_EQ(concurrent.load(), 0);
    EXPECT_FALSE(t.running());
}
