#pragma once
// Readiness and watchdog for a service manager (systemd, Type=notify): READY=1 once the
// start-up has finished, STATUS= lines with the start-up steps, STOPPING=1 when the quit
// path begins, and WATCHDOG=1 fed by the acquisition ticks themselves: a tick that hangs
// stops the pings, and the service manager restarts the program after WatchdogSec=.
//
// Uses libsystemd's sd_notify where the build has it and does nothing without it, or when
// the program was not started by a service manager (no NOTIFY_SOCKET).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace kv {

class ServiceNotifier {
  public:
    ServiceNotifier();
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // True when a service manager listens (NOTIFY_SOCKET is set and the build can reach it).
    bool active() const { return active_; }
    // The watchdog interval the service manager asked for; zero when there is none.
    std::chrono::microseconds watchdogInterval() const { return watchdog_; }

    // A start-up step; until ready() the watchdog is kept fed from a thread of its own (the
    // synchronisation of many devices takes a while; the start-up time limit covers it).
    void status(const std::string& text);
    void ready();
    // Called at the end of every acquisition tick, whether it measured or skipped: pings at
    // most every quarter of the watchdog interval.
    void tickDone();
    void stopping();

  private:
    void send(const std::string& state);
    void stopKeepAlive();

    bool active_ = false;
    std::chrono::microseconds watchdog_{0};
    std::atomic<long long> lastPingUs_{0};

    std::mutex mutex_;
    std::condition_variable cv_;
    std::thread keepAlive_;
    bool keepAliveStop_ = false;
};

}  // namespace kv
