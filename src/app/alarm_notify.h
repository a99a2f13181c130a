#pragma once
// Alarm notifications: a program of the operator's choice ([Alarms] Command=) is run for
// every event somebody must hear about even when nobody is in the room — a device lost and
// back, an O2 tank running low, a leakage alarm, a series that finished or was stopped, a
// data write that failed, a clock jump, a start after the previous run ended without
// shutting down. The command forwards it (mail, a phone notification service, ...).
//
// NotifyAlarm() may be called from any thread, the acquisition's included: it only queues
// the event. A worker thread starts the command detached, in its own process group, ends it
// when it outlives [Alarms] TimeLimit(Sec) and reaps it. Events of one kind that follow each
// other within [Alarms] MinInterval(Sec) are held and sent together, one line each, when the
// interval has passed. A failing command is written to the debug log once (and once more
// only after it has worked again).
//
// The command line is run by /bin/sh with three arguments appended: the kind, the message
// text and the home folder. The same values are in the environment as KELVORA_EVENT,
// KELVORA_MESSAGE and KELVORA_HOME, with KELVORA_TIME (the date-time text of the first
// event), KELVORA_COUNT (how many events the message holds) and KELVORA_SOURCE (the program
// that reports). It runs in the home folder.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kv {

class IniFile;

enum class AlarmKind {
    DeviceLost,   // "device-lost": a measuring device or a conductivity meter is lost
    DeviceBack,   // "device-back": it answers again
    TankLow,      // "tank-low": O2 tanks that have reached the refill limit
    Leakage,      // "leakage": a cell suspended by the leakage alarm
    RowFinished,  // "row-finished": a series reached its stop time
    RowStopped,   // "row-stopped": a series was stopped before its time
    WriteFailed,  // "write-failed": measured data could not be written (disk full, ...)
    Clock,        // "clock": the system clock jumped
    Restart,      // "restart": started after the previous run ended without shutting down
    // Reported by kelvora-monitor:
    NotResponding,  // "not-responding": the live file went stale or disappeared
    Ended,          // "ended": the program ended without shutting down
    Recovered,      // "recovered": the program responds again (or was started again)
};

// The kind's name as the command gets it.
const char* alarmKindName(AlarmKind kind);

struct AlarmSettings {
    std::string command;  // empty: no notifications
    std::string home;     // the home folder: third argument, KELVORA_HOME, working folder
    std::string source = "Kelvora";
    int timeLimitSec = 30;
    int minIntervalSec = 60;
};

// [Alarms] Command=, TimeLimit(Sec)=, MinInterval(Sec)=.
AlarmSettings readAlarmSettings(const IniFile& ini, const std::string& home);

class AlarmNotifier {
  public:
    AlarmNotifier() = default;
    ~AlarmNotifier();
    AlarmNotifier(const AlarmNotifier&) = delete;
    AlarmNotifier& operator=(const AlarmNotifier&) = delete;

    // Takes effect for the events that follow. An empty command switches notifications off.
    void configure(AlarmSettings settings);
    bool enabled() const;

    // Queues one event; returns at once.
    void notify(AlarmKind kind, std::string_view message);

    // Sends what is held back, then waits until no event is queued and no command runs, at
    // most `timeout`. Commands still running then are ended. For the program's end.
    void shutdown(std::chrono::milliseconds timeout);

    // Commands started so far (tests, the status).
    int started() const;

  private:
    using SteadyTime = std::chrono::steady_clock::time_point;
    struct Pending {
        std::vector<std::string> messages;
        std::string firstTime;
    };
    struct Child {
        pid_t pid = -1;
        AlarmKind kind{};
        SteadyTime deadline;
        bool killed = false;
    };
    void ensureWorker();
    void run();
    void dispatchDue(std::unique_lock<std::mutex>& lock, SteadyTime now, bool all);
    void reapChildren(std::unique_lock<std::mutex>& lock, SteadyTime now);
    void launch(std::unique_lock<std::mutex>& lock, AlarmKind kind, Pending p);
    void failed(const std::string& what);

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::thread worker_;
    bool stop_ = false;
    bool flushAll_ = false;
    AlarmSettings settings_;
    std::map<AlarmKind, Pending> pending_;
    std::map<AlarmKind, SteadyTime> lastSent_;
    std::vector<Child> children_;
    bool failureLogged_ = false;
    int started_ = 0;
};

// The process-wide notifier.
AlarmNotifier& alarmNotifier();
// The entry point for every module: queue one event for the alarm command.
void NotifyAlarm(AlarmKind kind, std::string_view message);

}  // namespace kv
