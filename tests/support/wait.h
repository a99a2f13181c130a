#pragma once
// Waiting for a condition with a bound: the tests of real processes never assert after a
// fixed sleep.

#include <chrono>
#include <functional>
#include <thread>

namespace kvtest {

// Polls `done` every 50 ms until it is true (returns true) or `seconds` have passed.
inline bool waitFor(double seconds, const std::function<bool()>& done) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace kvtest
