#pragma once
// Shared pieces of the CO2 tests: virtual meters reached through the serial layer, either
// in process or over a pseudo-terminal, and a clock that lets pty bytes flow.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "co2/winsio.h"
#include "common/clock.h"
#include "sim/meters/pty_serial.h"
#include "sim/meters/serial_meter.h"

namespace kvtest {

// A meter as an in-process port of the serial layer.
class MeterEndpoint : public kv::ComEndpoint {
  public:
    explicit MeterEndpoint(kv::sim::SerialMeter& m) : m_(m) {}
    bool write(std::string_view b) override {
        m_.write(b);
        return true;
    }
    size_t queued() override { return m_.queued(); }
    std::string read(size_t n) override { return m_.read(n); }

  private:
    kv::sim::SerialMeter& m_;
};

// Virtual time that also lets a little real time pass on every sleep, so that a pty's pump
// thread gets to move the bytes while the code under test pauses.
class PacedClock : public kv::ManualClock {
  public:
    using kv::ManualClock::ManualClock;
    void sleepMs(int ms) override {
        kv::ManualClock::sleepMs(ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 20)));
    }
};

// Polls a condition in real time, at most timeoutMs.
inline bool waitUntil(const std::function<bool()>& cond, int timeoutMs = 2000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Serves a meter on a pty and maps "COM" + n to it for the lifetime of the object.
class PtyMeterPort {
  public:
    PtyMeterPort(kv::sim::SerialMeter& meter, int comNr) : pty_(meter), comNr_(comNr) {
        std::string error;
        started_ = pty_.start("", &error);
        if (started_) kv::setComPortPath(comNr, pty_.slavePath());
    }
    ~PtyMeterPort() {
        kv::setComPortPath(comNr_, "");
        pty_.stop();
    }
    bool started() const { return started_; }
    std::string com() const { return "COM" + std::to_string(comNr_); }

  private:
    kv::sim::PtySerialPort pty_;
    int comNr_;
    bool started_ = false;
};

// Routes "COM" + n to an in-process meter for the lifetime of the object.
class EndpointMeterPort {
  public:
    EndpointMeterPort(kv::sim::SerialMeter& meter, int comNr) : comNr_(comNr) {
        kv::setComEndpoint(comNr, std::make_shared<MeterEndpoint>(meter));
    }
    ~EndpointMeterPort() { kv::setComEndpoint(comNr_, nullptr); }
    std::string com() const { return "COM" + std::to_string(comNr_); }

  private:
    int comNr_;
};

}  // namespace kvtest
