#include "common/periodic_timer.h"

#include <algorithm>
#include <cmath>

#include "common/clock.h"

namespace kv {

void PeriodicTimer::start(int periodMs, std::function<void()> tick) {
    stop();
    std::lock_guard lock(mutex_);
    tick_ = std::move(tick);
    stopRequested_ = false;
    running_ = true;
    periodMs_ = periodMs > 0 ? periodMs : 1;
    // On an accelerated clock the periodic work keeps its pace in the program's time; a
    // fifth of a millisecond is the shortest period the threads are given.
    const auto period = std::chrono::microseconds(
        std::max<long long>(200, std::llround(periodMs_ * 1000.0 / clockSpeed())));
    thread_ = std::thread(&PeriodicTimer::run, this, period);
}

void PeriodicTimer::stop() {
    std::thread t;
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) return;
        stopRequested_ = true;
        t = std::move(thread_);
    }
    cv_.notify_all();
    if (t.get_id() != std::this_thread::get_id())
        t.join();
    else
        t.detach();  // stop() from inside a tick: the loop ends after the tick
    std::lock_guard lock(mutex_);
    running_ = false;
}

bool PeriodicTimer::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

int PeriodicTimer::periodMs() const {
    std::lock_guard lock(mutex_);
    return periodMs_;
}

void PeriodicTimer::run(std::chrono::microseconds period) {
    using clock = std::chrono::steady_clock;
    auto next = clock::now() + period;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (cv_.wait_until(lock, next, [this] { return stopRequested_; })) return;
        lock.unlock();
        tick_();
        lock.lock();
        // Skip, don't queue: after a slow tick the next one is the next period boundary
        // that still lies in the future.
        const auto now = clock::now();
        next += period;
        if (next <= now) next += ((now - next) / period + 1) * period;
    }
}

}  // namespace kv
