#include "monitor/reporters.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/clock.h"
#include "common/datetime.h"

#ifdef KELVORA_HAVE_SYSTEMD
#include <systemd/sd-bus.h>
#include <systemd/sd-journal.h>
#endif

namespace kv::monitor {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

void toStderr(const std::string& text) {
    const std::string line =
        std::string(kTitle) + ": " + dateTimeToText(clock().now()) + "  " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

#ifdef KELVORA_HAVE_SYSTEMD

void toJournal(const std::string& home, const std::string& kind, int priority,
               const std::string& text) {
    // The journal is there only on a system that runs it.
    if (!exists("/run/systemd/journal/socket")) return;
    sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", priority,
                    "SYSLOG_IDENTIFIER=kelvora-monitor", "KELVORA_HOME=%s", home.c_str(),
                    "KELVORA_EVENT=%s", kind.c_str(), nullptr);
}

// org.freedesktop.Notifications on the user's session bus. An empty result or the reason it
// could not be shown.
std::string toDesktop(const Report& r) {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const bool sessionBus =
        (address && *address) || (runtime && *runtime && exists(std::string(runtime) + "/bus"));
    if (!sessionBus) return "no session bus";
    sd_bus* bus = nullptr;
    int rc = sd_bus_open_user(&bus);
    if (rc < 0) return std::string("session bus: ") + std::strerror(-rc);
    sd_bus_message* m = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    rc = sd_bus_message_new_method_call(bus, &m, "org.freedesktop.Notifications",
                                        "/org/freedesktop/Notifications",
                                        "org.freedesktop.Notifications", "Notify");
    // A problem stays on the screen until it is closed; a recovery goes by itself.
    const uint8_t urgency = r.problem ? 2 : 1;
    const int32_t expire = r.problem ? 0 : -1;
    if (rc >= 0)
        rc = sd_bus_message_append(m, "susssasa{sv}i", kTitle, 0u, "kelvora", kTitle,
                                   r.text.c_str(), 0, 1, "urgency", "y", urgency, expire);
    // A desktop without a notification service must not hold the watching up for long.
    if (rc >= 0) rc = sd_bus_call(bus, m, 5 * 1000 * 1000, &error, &reply);
    std::string result;
    if (rc < 0) result = error.message ? error.message : std::strerror(-rc);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(m);
    sd_bus_flush_close_unref(bus);
    return result;
}

#endif

class MonitorReporter : public Reporter {
  public:
    MonitorReporter(std::string home, bool notify, AlarmSettings alarms)
        : home_(std::move(home)), notify_(notify) {
        alarms.source = kTitle;
        timeLimitSec_ = alarms.timeLimitSec;
        if (notify_) alarms_.configure(std::move(alarms));
    }

    void report(const Report& r) override {
        toStderr(r.text);
#ifdef KELVORA_HAVE_SYSTEMD
        toJournal(home_, alarmKindName(r.kind), r.problem ? 3 : 5, r.text);
        if (notify_) {
            const std::string failed = toDesktop(r);
            // Said once: a machine without a desktop has no session bus for good.
            if (!failed.empty() && !desktopFailureShown_) {
                toStderr("no desktop notification (" + failed + ")");
                desktopFailureShown_ = true;
            }
        }
#endif
        if (notify_) alarms_.notify(r.kind, r.text);
    }

    void info(const std::string& text) override {
        toStderr(text);
#ifdef KELVORA_HAVE_SYSTEMD
        toJournal(home_, "info", 6, text);
#endif
    }

    void finish() override {
        alarms_.shutdown(std::chrono::seconds(timeLimitSec_ + 1));
    }

  private:
    std::string home_;
    bool notify_;
    int timeLimitSec_ = 30;
    AlarmNotifier alarms_;
    bool desktopFailureShown_ = false;
};

}  // namespace

std::unique_ptr<Reporter> makeReporter(const std::string& home, bool notify, AlarmSettings alarms) {
    return std::make_unique<MonitorReporter>(home, notify, std::move(alarms));
}

}  // namespace kv::monitor
