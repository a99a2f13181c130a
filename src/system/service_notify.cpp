#include "system/service_notify.h"

#include <cstdlib>

#ifdef KELVORA_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace kv {

namespace {

long long steadyMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

ServiceNotifier::ServiceNotifier() {
#ifdef KELVORA_HAVE_SYSTEMD
    const char* socket = std::getenv("NOTIFY_SOCKET");
    active_ = socket != nullptr && *socket != '\0';
    uint64_t usec = 0;
    // Also checks WATCHDOG_PID, so a child that inherited the variables does not feed it.
    if (active_ && sd_watchdog_enabled(0, &usec) > 0) watchdog_ = std::chrono::microseconds(usec);
#endif
    if (watchdog_.count() > 0) {
        keepAlive_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            while (!keepAliveStop_) {
                send("WATCHDOG=1");
                cv_.wait_for(lock, watchdog_ / 4, [this] { return keepAliveStop_; });
            }
        });
    }
}

ServiceNotifier::~ServiceNotifier() {
    stopKeepAlive();
}

void ServiceNotifier::stopKeepAlive() {
    {
        std::lock_guard lock(mutex_);
        keepAliveStop_ = true;
    }
    cv_.notify_all();
    if (keepAlive_.joinable()) keepAlive_.join();
}

void ServiceNotifier::send([[maybe_unused]] const std::string& state) {
#ifdef KELVORA_HAVE_SYSTEMD
    if (active_) sd_notify(0, state.c_str());
#endif
}

void ServiceNotifier::status(const std::string& text) {
    send("STATUS=" + text);
}

void ServiceNotifier::ready() {
    // From here on only the acquisition ticks feed the watchdog.
    stopKeepAlive();
    lastPingUs_.store(steadyMicros());
    send("READY=1\nSTATUS=Kelvora running");
}

void ServiceNotifier::tickDone() {
    if (watchdog_.count() <= 0) return;
    const long long now = steadyMicros();
    // Ticks never overlap: one thread at a time comes here.
    if (now - lastPingUs_.load() < watchdog_.count() / 4) return;
    lastPingUs_.store(now);
    send("WATCHDOG=1");
}

void ServiceNotifier::stopping() {
    stopKeepAlive();
    send("STOPPING=1\nSTATUS=Kelvora stopping");
}

}  // namespace kv
