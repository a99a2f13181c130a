#pragma once
// Every reading of the wall clock and every sleep goes through a Clock, so that tests and
// the virtual lab can run days of measurement in virtual time, deterministically.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kv {

// Date-time values are day counts since 1899-12-30; the fraction is the time of day.
using TDateTime = double;
inline constexpr double kSecond = 1.0 / 86400.0;

class Clock {
  public:
    virtual ~Clock() = default;
    // Current local date-time.
    virtual TDateTime now() = 0;
    virtual void sleepMs(int ms) = 0;
    // Seconds on a clock that only runs forward, at the pace of real (or virtual) time and
    // untouched by changes of the date-time: comparing the two tells a clock change from
    // time that passed. The default follows now(), so such a clock never seems to jump.
    virtual double steadySeconds() { return now() * 86400.0; }
};

// The system clock in local time. now() takes three readings and returns the smallest, so a
// reading that straddles a clock adjustment does not jump forward.
class RealClock : public Clock {
  public:
    TDateTime now() override;
    void sleepMs(int ms) override;
    double steadySeconds() override;
};

// A clock that only moves when told to. sleepMs() advances it, so code that waits for a
// device answer still makes progress in virtual time. Thread-safe.
class ManualClock : public Clock {
  public:
    explicit ManualClock(TDateTime start);
    TDateTime now() override;
    void sleepMs(int ms) override;
    void advanceMs(double ms);
    // Time passes up to t (steady time with it); a t in the past sets the date-time back
    // without steady time, as a clock correction does.
    void set(TDateTime t);
    // The date-time alone moves by the given seconds (a clock change: summer time, a time
    // server's correction, a clock set by hand); steady time does not.
    void step(double seconds);
    double steadySeconds() override;

  private:
    std::atomic<double> t_;
    std::atomic<double> steady_{0.0};
};

// Time that runs `speed` times faster than real time, from the real time of its creation:
// the program and its in-process virtual lab on --simulate --speed N. Sleeps take a
// speed-th of the time. Thread-safe.
class AcceleratedClock : public Clock {
  public:
    explicit AcceleratedClock(double speed);
    TDateTime now() override;
    void sleepMs(int ms) override;
    double speed() const { return speed_; }

  private:
    const double speed_;
    const TDateTime start_;
    const std::chrono::steady_clock::time_point steadyStart_;
};

// How much faster than real time the program's clock runs (1 normally); the periodic
// timers divide their periods by it.
double clockSpeed();
void setClockSpeed(double speed);

// The process-wide clock. Defaults to a RealClock; tests install a ManualClock with
// ScopedClock. The pointer is atomic so that a swap before threads start is race-free.
Clock& clock();
void setClock(Clock* c);  // nullptr restores the real clock

class ScopedClock {
  public:
    explicit ScopedClock(Clock& c) { setClock(&c); }
    ~ScopedClock() { setClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace kv
