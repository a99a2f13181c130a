#pragma once
// The end of a run limited by --run-for, on the steady clock: the operator asked for that
// much real time, whatever the program's own clock says (tests give it a virtual one).

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace kv {

class RunDeadline {
  public:
    // No end for a negative number of seconds.
    explicit RunDeadline(double seconds) {
        using namespace std::chrono;
        if (seconds >= 0)
            end_ = steady_clock::now() +
                   duration_cast<steady_clock::duration>(duration<double>(seconds));
    }

    // Waits on cv until pred holds or the run's time is up; returns pred's value.
    template <class Pred>
    bool wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Pred pred) const {
        if (!end_) {
            cv.wait(lock, pred);
            return true;
        }
        return cv.wait_until(lock, *end_, pred);
    }

  private:
    std::optional<std::chrono::steady_clock::time_point> end_;
};

}  // namespace kv
