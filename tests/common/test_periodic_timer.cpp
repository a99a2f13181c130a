#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/clock.h"
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

namespace {

// The accelerated clock against the steady clock read around it: no fixed sleep decides.
TEST(AcceleratedClock, RunsSpeedTimesFasterFromTheRealStart) {
    using steady = std::chrono::steady_clock;
    const kv::TDateTime realBefore = kv::RealClock().now();
    const auto s0 = steady::now();
    kv::AcceleratedClock fast(3600);
    const auto s1 = steady::now();
    const kv::TDateTime realAfter = kv::RealClock().now();
    // It starts at the real time of its creation.
    EXPECT_GE(fast.now(), realBefore - kv::kSecond);
    EXPECT_LE(fast.now() - realAfter, 3600.0 * 5 * kv::kSecond);
    const kv::TDateTime a = fast.now();
    const auto s2 = steady::now();
    fast.sleepMs(3600);  // one real millisecond
    const auto s3 = steady::now();
    const kv::TDateTime b = fast.now();
    const auto s4 = steady::now();
    const double lo = std::chrono::duration<double>(s3 - s2).count();
    const double hi = std::chrono::duration<double>(s4 - s1).count();
    EXPECT_GE((b - a) * 86400.0, 3600.0 * lo * 0.999);
    EXPECT_LE((b - a) * 86400.0, 3600.0 * hi * 1.001 + 1e-6);
    EXPECT_GE(lo, 0.001 * 0.99);  // the sleep took a 3600th of its time, at least
    (void)s0;
}

TEST(AcceleratedClock, PeriodicTimersKeepTheirPaceInProgramTime) {
    kv::setClockSpeed(1000);
    kv::PeriodicTimer t;
    std::atomic<int> ticks{0};
    t.start(1000, [&] { ++ticks; });  // a second of program time: a real millisecond
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ticks < 20 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    t.stop();
    kv::setClockSpeed(1);
    EXPECT_GE(ticks.load(), 20);
    EXPECT_EQ(t.periodMs(), 1000);
}

}  // namespace
