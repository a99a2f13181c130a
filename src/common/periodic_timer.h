#pragma once
// A periodic callback on its own thread: the replacement of the original's multimedia
// timers. A tick that is still running when the next one is due makes the timer skip that
// tick (ticks never queue up behind a slow device). stop() joins the thread, so after it
// returns no tick is running and none will start.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kv {

class PeriodicTimer {
  public:
    PeriodicTimer() = default;
    ~PeriodicTimer() { stop(); }
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    // Starts ticking every periodMs (of the program's clock: divided by clockSpeed()); a
    // running timer is stopped first.
    void start(int periodMs, std::function<void()> tick);
    void stop();
    bool running() const;
    int periodMs() const;

  private:
    void run(std::chrono::microseconds period);

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::function<void()> tick_;
    std::thread thread_;
    bool stopRequested_ = false;
    bool running_ = false;
    int periodMs_ = 0;
};

}  // namespace kv
