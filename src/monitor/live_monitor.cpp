#include "monitor/live_monitor.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/inifile.h"
#include "app/livefile.h"
#include "common/spawn.h"
#include "system/version.h"

namespace kv::monitor {

namespace {

using namespace std::chrono;

// A live file that is missing while the lock is held: between the normal end's deletion and
// its release of the lock lie milliseconds, a start-up creates it within seconds.
constexpr auto kMissingGrace = seconds(5);
// A restarted program that runs this long has recovered: the next failure starts the
// back-off from the beginning.
constexpr auto kStableRun = minutes(10);

const char* const kUsage =
    "Usage: kelvora-monitor [--home DIR] [--stale SECONDS] [--restart] [--notify]\n"
    "\n"
    "Watches the live file of a Kelvora home folder and reports when Kelvora stops\n"
    "responding (the file's time stamp is older than the limit, or the file disappears\n"
    "while Kelvora runs) or ends without shutting down, and when it recovers.\n"
    "\n"
    "  --home DIR        the home folder (default: $KELVORA_HOME, else the program's folder)\n"
    "  --stale SECONDS   the limit for the live file's age (default 120)\n"
    "  --restart         start Kelvora again, the way it was started, once the old process\n"
    "                    has gone\n"
    "  --notify          also tell the desktop (session bus) and the alarm command of the\n"
    "                    home folder ([Alarms] Command=); standard error and the system\n"
    "                    journal are always told\n"
    "  --version, --help\n"
    "\n"
    "The monitor ends by itself when Kelvora quits normally (exit status 0). Exit status 1:\n"
    "another monitor watches the home folder; 2: wrong arguments or no live file configured.\n";

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string secondsText(double s) {
    return std::to_string(static_cast<long long>(std::llround(s)));
}

// A pause before the n-th start in a row that did not stay up: none for the first, then 10 s,
// doubling to at most 5 minutes.
seconds backoff(int failedStarts) {
    if (failedStarts <= 0) return seconds(0);
    const int exp = std::min(failedStarts - 1, 5);
    return std::min(seconds(300), seconds(10) * (1 << exp));
}

}  // namespace

LiveMonitor::LiveMonitor(Options options, HomePaths paths, std::string liveFile, Reporter& reporter)
    : options_(std::move(options)),
      paths_(std::move(paths)),
      live_(std::move(liveFile)),
      reporter_(reporter) {}

milliseconds LiveMonitor::pollInterval() const {
    const double ms = options_.staleSec * 1000.0 / 4.0;
    return milliseconds(static_cast<long long>(std::clamp(ms, 100.0, 1000.0)));
}

bool LiveMonitor::poll() {
    checkChild();
    const auto now = Steady::now();
    struct stat st {};
    const bool held = lockHeld(paths_.lockFile());
    bool exists = ::stat(live_.c_str(), &st) == 0;
    if (held) {
        whileHeld(now, exists, st.st_mtim);
        return true;
    }
    // The lock is free. A normal end deletes the file before it lets go of the lock, so the
    // file is looked at again now.
    exists = ::stat(live_.c_str(), &st) == 0;
    if (!exists) {
        // A restarted program that has not yet taken the lock is waited for.
        if (state_ == State::Restarting) return true;
        if (seenRunning_) {
            reporter_.info(where() + " has quit; the monitor ends.");
            return false;
        }
        if (!waitingSaid_) reporter_.info("waiting for " + where() + " (live file " + live_ + ")");
        waitingSaid_ = true;
        state_ = State::Waiting;
        return true;
    }
    whileFree(now);
    return true;
}

void LiveMonitor::whileHeld(Steady::time_point now, bool exists, const timespec& mtime) {
    if (!seenRunning_)
        reporter_.info("watching " + where() + ": live file " + live_ + ", limit " +
                       secondsText(options_.staleSec) + " s" +
                       (options_.restart ? ", restart on" : ""));
    if (state_ == State::Waiting) state_ = State::Running;
    seenRunning_ = true;
    if (!exists) {
        if (!missing_) {
            missing_ = true;
            missingSince_ = now;
        }
        // Before the program has created its file (early in its start-up) only the limit counts.
        const auto limit = duration_cast<Steady::duration>(duration<double>(options_.staleSec));
        const auto grace = fileSeen_ ? std::min<Steady::duration>(kMissingGrace, limit) : limit;
        if (now - missingSince_ >= grace && state_ != State::NotResponding) {
            reporter_.report(
                {AlarmKind::NotResponding, true,
                 where() + " does not respond: its live file " + live_ + " has disappeared."});
            state_ = State::NotResponding;
        }
        return;
    }
    missing_ = false;
    fileSeen_ = true;
    if (!haveMtime_) {
        // The first look: the age from the system clock, later only changes count.
        timespec wall{};
        ::clock_gettime(CLOCK_REALTIME, &wall);
        const double age = std::max(0.0, static_cast<double>(wall.tv_sec - mtime.tv_sec) +
                                             (wall.tv_nsec - mtime.tv_nsec) / 1e9);
        lastChange_ = now - duration_cast<Steady::duration>(duration<double>(age));
        haveMtime_ = true;
        lastMtime_ = mtime;
    } else if (!sameTime(mtime, lastMtime_)) {
        lastChange_ = now;
        lastMtime_ = mtime;
    }
    // A restarted program gets its start-up before its file is judged.
    const bool touchedSinceStart = state_ != State::Restarting || lastChange_ >= startedAt_;
    const auto since = touchedSinceStart ? lastChange_ : startedAt_;
    const double age = duration<double>(now - since).count();

    if (age > options_.staleSec) {
        if (state_ != State::NotResponding) {
            std::string text = where() + " does not respond: its live file was last updated " +
                               secondsText(age) + " s ago (limit " +
                               secondsText(options_.staleSec) + " s).";
            if (options_.restart) text += " It is started again once the old process has ended.";
            reporter_.report({AlarmKind::NotResponding, true, text});
            state_ = State::NotResponding;
        }
        return;
    }
    if (!touchedSinceStart) return;
    switch (state_) {
        case State::NotResponding:
            reporter_.report({AlarmKind::Recovered, false, where() + " responds again."});
            break;
        case State::Restarting:
            reporter_.report(
                {AlarmKind::Recovered, false, where() + " runs again (started by the monitor)."});
            break;
        case State::Ended:
            reporter_.report({AlarmKind::Recovered, false, where() + " runs again."});
            break;
        default:
            break;
    }
    state_ = State::Running;
    if (failedStarts_ > 0 && now - startedAt_ >= kStableRun) failedStarts_ = 0;
}

void LiveMonitor::whileFree(Steady::time_point now) {
    missing_ = false;
    if (state_ == State::Restarting) return;  // checkChild() tells when that start failed
    if (state_ != State::Ended) {
        reporter_.report({AlarmKind::Ended, true,
                          seenRunning_ ? where() + " has ended without shutting down."
                                       : where() + " is not running, but its live file " + live_ +
                                             " remains: it ended without shutting down."});
        state_ = State::Ended;
        haveMtime_ = false;
        fileSeen_ = false;
        if (options_.restart) {
            startPending_ = true;
            nextStart_ = now + backoff(failedStarts_);
            if (failedStarts_ > 0)
                reporter_.info("starting it again in " +
                               secondsText(duration<double>(nextStart_ - now).count()) + " s");
        }
    }
    if (startPending_ && now >= nextStart_) startAgain(now);
}

void LiveMonitor::startAgain(Steady::time_point now) {
    startPending_ = false;
    const LockRecord record = readLockRecord(paths_.lockFile());
    if (!record.complete()) {
        if (!noRecordReported_)
            reporter_.report({AlarmKind::Ended, true,
                              where() + " cannot be started again: " + paths_.lockFile() +
                                  " holds no record of how it was started."});
        noRecordReported_ = true;
        return;
    }
    SpawnOptions o;
    o.argv.push_back(record.exe);
    o.argv.insert(o.argv.end(), record.args.begin(), record.args.end());
    o.cwd = record.cwd;
    o.group = SpawnOptions::Group::Session;
    o.unsetEnv = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"};
    std::string command;
    for (const auto& a : o.argv) command += (command.empty() ? "" : " ") + a;
    ++failedStarts_;
    std::string error;
    const pid_t pid = spawnProcess(o, error);
    if (pid < 0) {
        reporter_.report({AlarmKind::Ended, true,
                          where() + " could not be started again: " + command + ": " + error});
        startPending_ = true;
        nextStart_ = now + backoff(failedStarts_);
        return;
    }
    reporter_.info("starting Kelvora again: " + command + " (in " + record.cwd + ")");
    child_ = pid;
    startedAt_ = now;
    state_ = State::Restarting;
}

void LiveMonitor::checkChild() {
    if (child_ <= 0) return;
    int status = 0;
    if (::waitpid(child_, &status, WNOHANG) == 0) return;
    child_ = -1;
    if (state_ != State::Restarting) return;  // it ran; the lock and the file tell the rest
    const std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                              : "signal " + std::to_string(WTERMSIG(status));
    reporter_.report(
        {AlarmKind::Ended, true, where() + " could not be started again (" + how + ")."});
    state_ = State::Ended;
    if (options_.restart) {
        startPending_ = true;
        nextStart_ = Steady::now() + backoff(failedStarts_);
        reporter_.info("trying again in " +
                       secondsText(duration<double>(backoff(failedStarts_)).count()) + " s");
    }
}

// ---------------------------------------------------------------------------------------

int parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("kelvora-monitor (Kelvora %s)\n", kVersionText);
            return 0;
        } else if (a == "--restart") {
            o.restart = true;
        } else if (a == "--notify") {
            o.notify = true;
        } else if (a == "--home" || a == "--stale") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kelvora-monitor: %s needs a value\n", a.c_str());
                return 2;
            }
            const std::string v = argv[++i];
            if (a == "--home") {
                o.home = v;
                continue;
            }
            char* end = nullptr;
            const double s = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || !(s > 0) || s > 1e7) {
                std::fprintf(stderr, "kelvora-monitor: --stale needs a number of seconds\n");
                return 2;
            }
            o.staleSec = s;
        } else {
            std::fprintf(stderr, "kelvora-monitor: unknown argument %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    return -1;
}

int runMonitor(const Options& o) {
    const char* env = std::getenv("KELVORA_HOME");
    const HomePaths paths = resolveHome(o.home, env ? env : "", executableDir());
    const IniFile ini(paths.ini());
    const std::string live = liveFileName(ini.readString("Kelvora", "LiveFN", ""), paths.basePath);
    if (live.empty()) {
        std::fprintf(stderr,
                     "kelvora-monitor: no live file is configured in %s ([Kelvora] LiveFN=)\n",
                     paths.ini().c_str());
        return 2;
    }
    InstanceLock lock;
    if (!lock.acquire(paths.monitorLockFile())) {
        std::fprintf(stderr, "kelvora-monitor: another monitor watches %s\n", paths.home.c_str());
        return 1;
    }
    auto reporter = makeReporter(paths.home, o.notify, readAlarmSettings(ini, paths.home));

    // The signals that end the monitor are taken while it waits between looks.
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    LiveMonitor monitor(o, paths, live, *reporter);
    const auto interval = monitor.pollInterval();
    const timespec pause{static_cast<time_t>(interval.count() / 1000),
                         static_cast<long>(interval.count() % 1000) * 1000000L};
    while (monitor.poll()) {
        const int sig = ::sigtimedwait(&set, nullptr, &pause);
        if (sig > 0) {
            reporter->info(std::string("ended by signal ") + ::strsignal(sig));
            break;
        }
    }
    reporter->finish();
    return 0;
}

}  // namespace kv::monitor
