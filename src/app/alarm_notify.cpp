#include "app/alarm_notify.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "common/spawn.h"

namespace kv {

namespace {

constexpr const char* kCat = "Alarms";
// While a command runs, the worker looks for its end this often.
constexpr auto kReapPoll = std::chrono::milliseconds(100);

std::string joinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) {
        if (!out.empty()) out += '\n';
        out += l;
    }
    return out;
}

}  // namespace

const char* alarmKindName(AlarmKind kind) {
    switch (kind) {
        case AlarmKind::DeviceLost:
            return "device-lost";
        case AlarmKind::DeviceBack:
            return "device-back";
        case AlarmKind::TankLow:
            return "tank-low";
        case AlarmKind::Leakage:
            return "leakage";
        case AlarmKind::RowFinished:
            return "row-finished";
        case AlarmKind::RowStopped:
            return "row-stopped";
        case AlarmKind::WriteFailed:
            return "write-failed";
        case AlarmKind::Clock:
            return "clock";
        case AlarmKind::Restart:
            return "restart";
        case AlarmKind::NotResponding:
            return "not-responding";
        case AlarmKind::Ended:
            return "ended";
        case AlarmKind::Recovered:
            return "recovered";
    }
    return "unknown";
}

AlarmSettings readAlarmSettings(const IniFile& ini, const std::string& home) {
    AlarmSettings s;
    s.command = ini.readString("Alarms", "Command", "");
    s.home = home;
    s.timeLimitSec = std::max(1, ini.readInteger("Alarms", "TimeLimit(Sec)", s.timeLimitSec));
    s.minIntervalSec = std::max(0, ini.readInteger("Alarms", "MinInterval(Sec)", s.minIntervalSec));
    return s;
}

AlarmNotifier::~AlarmNotifier() {
    shutdown(std::chrono::milliseconds(0));
}

void AlarmNotifier::configure(AlarmSettings settings) {
    std::lock_guard lock(mutex_);
    settings_ = std::move(settings);
    failureLogged_ = false;
}

bool AlarmNotifier::enabled() const {
    std::lock_guard lock(mutex_);
    return !settings_.command.empty();
}

int AlarmNotifier::started() const {
    std::lock_guard lock(mutex_);
    return started_;
}

void AlarmNotifier::notify(AlarmKind kind, std::string_view message) {
    {
        std::lock_guard lock(mutex_);
        if (settings_.command.empty() || stop_) return;
        Pending& p = pending_[kind];
        if (p.messages.empty()) p.firstTime = dateTimeToText(clock().now());
        p.messages.emplace_back(message);
        ensureWorker();
    }
    cv_.notify_all();
}

void AlarmNotifier::ensureWorker() {
    if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
}

void AlarmNotifier::shutdown(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!worker_.joinable()) return;
    flushAll_ = true;
    cv_.notify_all();
    cv_.wait_for(lock, timeout, [this] { return pending_.empty() && children_.empty(); });
    // What is still running now would outlive the program: it is ended.
    for (Child& c : children_) ::kill(-c.pid, SIGKILL);
    for (const Child& c : children_) ::waitpid(c.pid, nullptr, 0);
    if (!children_.empty() || !pending_.empty()) failed("did not finish before the program ended");
    children_.clear();
    pending_.clear();
    stop_ = true;
    cv_.notify_all();
    lock.unlock();
    worker_.join();
    lock.lock();
    worker_ = std::thread();
    stop_ = false;
    flushAll_ = false;
    settings_.command.clear();
}

void AlarmNotifier::run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        const auto now = std::chrono::steady_clock::now();
        reapChildren(lock, now);
        dispatchDue(lock, now, flushAll_);
        // The next event that is held back, or the next look at the running commands.
        auto wake = std::chrono::steady_clock::time_point::max();
        const auto interval = std::chrono::seconds(settings_.minIntervalSec);
        for (const auto& [kind, p] : pending_) {
            const auto last = lastSent_.find(kind);
            if (last != lastSent_.end()) wake = std::min(wake, last->second + interval);
        }
        if (!children_.empty()) wake = std::min(wake, now + kReapPoll);
        cv_.notify_all();  // shutdown() waits for the queue and the commands to empty
        if (wake == std::chrono::steady_clock::time_point::max())
            cv_.wait(lock);
        else
            cv_.wait_until(lock, wake);
    }
}

void AlarmNotifier::dispatchDue(std::unique_lock<std::mutex>& lock, SteadyTime now, bool all) {
    const auto interval = std::chrono::seconds(settings_.minIntervalSec);
    for (auto it = pending_.begin(); it != pending_.end();) {
        const auto last = lastSent_.find(it->first);
        if (!all && last != lastSent_.end() && now < last->second + interval) {
            ++it;
            continue;
        }
        const AlarmKind kind = it->first;
        Pending p = std::move(it->second);
        it = pending_.erase(it);
        lastSent_[kind] = now;
        launch(lock, kind, std::move(p));
        // The lock was let go while the command started: the map may have changed.
        it = pending_.begin();
        while (it != pending_.end() && it->first <= kind) ++it;
    }
}

void AlarmNotifier::launch(std::unique_lock<std::mutex>& lock, AlarmKind kind, Pending p) {
    const AlarmSettings s = settings_;
    if (s.command.empty()) return;
    const std::string message = joinLines(p.messages);
    SpawnOptions o;
    // The operator's command line; "$@" hands it the kind, the text and the home folder.
    o.argv = {"/bin/sh", "-c",  s.command + " \"$@\"", "kelvora-alarm", alarmKindName(kind),
              message,   s.home};
    o.cwd = s.home;
    o.setEnv = {std::string("KELVORA_EVENT=") + alarmKindName(kind),
                "KELVORA_MESSAGE=" + message,
                "KELVORA_HOME=" + s.home,
                "KELVORA_TIME=" + p.firstTime,
                "KELVORA_COUNT=" + std::to_string(p.messages.size()),
                "KELVORA_SOURCE=" + s.source};
    // The service manager's channel belongs to the program alone.
    o.unsetEnv = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID", "LISTEN_FDS", "LISTEN_PID"};
    o.group = SpawnOptions::Group::Own;
    lock.unlock();
    std::string error;
    const pid_t pid = spawnProcess(o, error);
    lock.lock();
    if (pid < 0) {
        failed("could not be started: " + error);
        return;
    }
    ++started_;
    children_.push_back(
        Child{pid, kind, std::chrono::steady_clock::now() + std::chrono::seconds(s.timeLimitSec)});
}

void AlarmNotifier::reapChildren(std::unique_lock<std::mutex>& /*lock*/, SteadyTime now) {
    for (auto it = children_.begin(); it != children_.end();) {
        int status = 0;
        const pid_t r = ::waitpid(it->pid, &status, WNOHANG);
        if (r == 0) {
            if (!it->killed && now >= it->deadline) {
                // The whole group: a shell script's own children go too.
                ::kill(-it->pid, SIGKILL);
                it->killed = true;
                failed(std::string("ran longer than ") + std::to_string(settings_.timeLimitSec) +
                       " s and was ended (event " + alarmKindName(it->kind) + ")");
            }
            ++it;
            continue;
        }
        const std::string kind = alarmKindName(it->kind);
        if (r < 0) {
            // Reaped elsewhere: nothing is known about its end.
        } else if (it->killed) {
            // Already reported.
        } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            failureLogged_ = false;
        } else if (WIFEXITED(status)) {
            failed("ended with status " + std::to_string(WEXITSTATUS(status)) + " (event " + kind +
                   ")");
        } else {
            failed("was ended by signal " + std::to_string(WTERMSIG(status)) + " (event " + kind +
                   ")");
        }
        it = children_.erase(it);
    }
}

void AlarmNotifier::failed(const std::string& what) {
    if (failureLogged_) return;
    failureLogged_ = true;
    WriteDbg(kCat, "Alarm command [" + settings_.command + "] " + what +
                       "; further failures are not logged until it works again");
}

AlarmNotifier& alarmNotifier() {
    static AlarmNotifier n;
    return n;
}

void NotifyAlarm(AlarmKind kind, std::string_view message) {
    alarmNotifier().notify(kind, message);
}

}  // namespace kv
