#pragma once
// Where kelvora-monitor tells what it sees: always on standard error and, where the system
// has one, in the journal; with --notify also as a desktop notification (when a session bus
// exists) and through the alarm command of the home folder ([Alarms] Command=).

#include <memory>
#include <string>

#include "app/alarm_notify.h"

namespace kv::monitor {

// The monitor's title: notifications, standard error lines and the alarm command's
// KELVORA_SOURCE carry it.
inline constexpr const char* kTitle = "Kelvora/Monitor";

struct Report {
    AlarmKind kind = AlarmKind::NotResponding;
    bool problem = true;  // false: a recovery or an information
    std::string text;
};

class Reporter {
  public:
    virtual ~Reporter() = default;
    virtual void report(const Report& r) = 0;
    // A line for standard error (and the journal) only: what the monitor does.
    virtual void info(const std::string& text) = 0;
    // Waits (bounded) until the alarm commands have run.
    virtual void finish() {}
};

// notify: desktop notifications and the alarm command as well.
std::unique_ptr<Reporter> makeReporter(const std::string& home, bool notify, AlarmSettings alarms);

}  // namespace kv::monitor
