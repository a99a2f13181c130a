#include "common/clock.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

#include "common/datetime.h"

namespace kv {

namespace {

TDateTime readSystemClock() {
    using namespace std::chrono;
    const auto tp = system_clock::now();
    const auto us = duration_cast<microseconds>(tp.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(us / 1000000);
    std::tm local{};
    localtime_r(&secs, &local);
    const double fracSec = static_cast<double>(us % 1000000) / 1e6;
    return encodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
           (local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + fracSec) / 86400.0;
}

RealClock gRealClock;
std::atomic<Clock*> gClock{&gRealClock};

}  // namespace

TDateTime RealClock::now() {
    const TDateTime a = readSystemClock();
    const TDateTime b = readSystemClock();
    const TDateTime c = readSystemClock();
    return std::min({a, b, c});
}

void RealClock::sleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double RealClock::steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

ManualClock::ManualClock(TDateTime start) : t_(start) {}

double ManualClock::steadySeconds() {
    return steady_.load();
}

void ManualClock::step(double seconds) {
    double cur = t_.load();
    while (!t_.compare_exchange_weak(cur, cur + seconds / 86400.0)) {
    }
}

TDateTime ManualClock::now() {
    return t_.load();
}

void ManualClock::sleepMs(int ms) {
    if (ms > 0) advanceMs(ms);
}

void ManualClock::advanceMs(double ms) {
    double cur = t_.load();
    while (!t_.compare_exchange_weak(cur, cur + ms / 86400000.0)) {
    }
    double s = steady_.load();
    while (!steady_.compare_exchange_weak(s, s + ms / 1000.0)) {
    }
}

void ManualClock::set(TDateTime t) {
    const TDateTime before = t_.exchange(t);
    if (t > before) {
        double s = steady_.load();
        while (!steady_.compare_exchange_weak(s, s + (t - before) * 86400.0)) {
        }
    }
}

namespace {
std::atomic<double> gSpeed{1.0};
}  // namespace

AcceleratedClock::AcceleratedClock(double speed)
    : speed_(speed > 0 ? speed : 1.0),
      start_(gRealClock.now()),
      steadyStart_(std::chrono::steady_clock::now()) {}

TDateTime AcceleratedClock::now() {
    const std::chrono::duration<double> real = std::chrono::steady_clock::now() - steadyStart_;
    return start_ + real.count() * speed_ / 86400.0;
}

void AcceleratedClock::sleepMs(int ms) {
    if (ms <= 0) return;
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms / speed_));
}

double clockSpeed() {
    return gSpeed.load();
}

void setClockSpeed(double speed) {
    gSpeed.store(speed > 0 ? speed : 1.0);
}

Clock& clock() {
    return *gClock.load();
}

void setClock(Clock* c) {
    gClock.store(c ? c : &gRealClock);
}

}  // namespace kv
