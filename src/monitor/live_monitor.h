#pragma once
// kelvora-monitor: watches the live file of one home folder.
//
// Kelvora holds the lock "Kelvora.Lock" while it runs and keeps the live file's time stamp
// fresh (the device check every few seconds, the acquisition every few ticks). At its normal
// end it deletes the live file first and then lets go of the lock. So the monitor reads:
//   lock held, file fresh                 running
//   lock held, file older than the limit  not responding (hung)
//   lock held, file missing for a while   not responding (the file was deleted)
//   lock free, file there                 ended without shutting down (killed, crashed)
//   lock free, file gone                  quit normally: the monitor ends too
// Each change is reported once, and so is the recovery. With --restart the program is
// started again the way it was started (the lock file's record) once the old process has
// gone; a program that keeps failing is started again less and less often.
//
// The age of the file is measured on the steady clock from the moment its time stamp last
// changed, so a jump of the system clock is no hang.

#include <sys/types.h>

#include <chrono>
#include <string>

#include "monitor/reporters.h"
#include "system/home.h"

namespace kv::monitor {

struct Options {
    std::string home;
    double staleSec = 120;
    bool restart = false;
    bool notify = false;
};

class LiveMonitor {
  public:
    LiveMonitor(Options options, HomePaths paths, std::string liveFile, Reporter& reporter);

    // One look. False when the monitor's work is done (Kelvora quit normally).
    bool poll();
    // How often poll() should run.
    std::chrono::milliseconds pollInterval() const;

  private:
    using Steady = std::chrono::steady_clock;
    enum class State { Waiting, Running, NotResponding, Ended, Restarting };

    void whileHeld(Steady::time_point now, bool exists, const struct timespec& mtime);
    void whileFree(Steady::time_point now);
    void startAgain(Steady::time_point now);
    void checkChild();
    std::string where() const { return "Kelvora in " + paths_.home; }

    Options options_;
    HomePaths paths_;
    std::string live_;
    Reporter& reporter_;

    State state_ = State::Waiting;
    bool seenRunning_ = false;
    bool waitingSaid_ = false;
    bool haveMtime_ = false;
    struct timespec lastMtime_ {};
    Steady::time_point lastChange_{};
    Steady::time_point missingSince_{};
    bool missing_ = false;
    bool fileSeen_ = false;  // the live file existed while this program held the lock

    // Restarts.
    pid_t child_ = -1;
    int failedStarts_ = 0;  // restarts in a row whose program did not stay up
    Steady::time_point nextStart_{};
    bool startPending_ = false;
    bool noRecordReported_ = false;
    Steady::time_point startedAt_{};
};

// The command line: returns -1 to go on, else the exit status (usage errors: 2).
int parseOptions(int argc, char** argv, Options& o);
// The whole program.
int runMonitor(const Options& o);

}  // namespace kv::monitor
