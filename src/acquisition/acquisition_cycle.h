#pragma once
// The acquisition cycle: every mmTimerInt ms a tick asks each data device for its newest
// tact, counts the reported O2 impulses into the cells, keeps the manometer and
// wait-for-zero bookkeeping, and lets the rows take their time values. Every third tick it
// reads the case temperatures (and may write the temperature log), every fiftieth it writes
// the O2 tank file and, when configured, repairs the devices' cell configuration; without
// CDM and EC71 meters it reads the CO2 raw values of the CO2 devices every tick.
//
// mmTimerCallback() is a plain method: tests call it directly in virtual time; start()
// drives it from a PeriodicTimer thread.

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "acquisition/alarms.h"
#include "acquisition/cells.h"
#include "acquisition/count_journal.h"
#include "acquisition/device_io.h"
#include "acquisition/o2tanks.h"
#include "acquisition/run_flags.h"
#include "acquisition/status_output.h"
#include "acquisition/value_record.h"
#include "common/periodic_timer.h"
#include "common/worker_pool.h"
#include "device/device_list.h"

namespace kv {

class AcquisitionCycle {
  public:
    static constexpr int kTickNumberWrap = 1000000;
    static constexpr int kMaxEmptyAnswers = 5;
    // Missed tacts are read back from a device's queue up to this many blocks (10 minutes
    // of 3 s tacts); a longer outage is left to the synchronisation.
    static constexpr int kQueueBlockSize = 50;
    static constexpr int kMaxRecoveredBlocks = 4;
    // Requests of the value record per tick before the device counts as silent.
    static constexpr int kValueRequests = 3;
    // Ticks in a row with an answer but no readable value record before the operator is told.
    static constexpr int kMaxUnreadableTicks = 5;
    // Tacts a record's number may run ahead of the time since the last handled tact.
    static constexpr int kTactSlack = 20;

    AcquisitionCycle(const Config& cfg, DeviceList& devices, TCells& cells, Alarms& alarms,
                     O2TankFile& tanks, TempLog& tempLog, RunFlags flags, StatusOutput& status,
                     DeviceIoLocks& io);
    ~AcquisitionCycle();
    AcquisitionCycle(const AcquisitionCycle&) = delete;
    AcquisitionCycle& operator=(const AcquisitionCycle&) = delete;

    // The rows' periodic update, called at the end of every handled tick with false. Set
    // before start().
    void setRowsUpdate(std::function<void(bool)> update) { rowsUpdate_ = std::move(update); }
    // Where every tick that changed a count keeps the counts (none: not kept). Set before
    // start().
    void setCountJournal(CountJournal* journal) { journal_ = journal; }
    // Called at the end of every tick, handled or skipped (the service watchdog: a tick that
    // hangs never gets here). Set before start().
    void setTickDone(std::function<void()> f) { tickDone_ = std::move(f); }

    // One tick. The data devices (and then the case devices) are asked all at once, each on
    // a worker of its own ([FT232R] ParallelDevices=0: one after the other); the rows are
    // updated once, after every device's step has ended.
    void mmTimerCallback();
    // The data device step of device d alone (part of every handled tick).
    void dataDeviceStep(int d, TDateTime now);

    // The periodic timer with period mmTimerInt. stop() returns when no tick runs.
    void start();
    void stop();
    bool running() const { return timer_.running(); }

    // Starts every data device's queue anew ("f0"), each right after the next tick has read
    // and acknowledged it, missed tacts included. A reset sent at once would drop the tacts
    // that queued while cell commands held the ticks off (a 120-cell start takes minutes).
    // Only while ticks run: until then nothing reads the queues.
    void resetQueuesAfterNextRead();

    int tickNumber() const { return tick_.load(); }
    // The system's current case temperature, °C (NoValueReal while none is known).
    double currentTemperature() const { return currentTemp_.load(); }
    void setCurrentTemperature(double t) { currentTemp_.store(t); }
    // Set after every handled tick; the display refresh clears it when it repaints.
    std::atomic<bool>& newValues() { return newValues_; }
    // Real time of handled ticks, ms: the last one, the longest so far, and how many took
    // longer than mmTimerInt.
    long long lastTickMs() const { return lastTickMs_.load(); }
    long long longestTickMs() const { return longestTickMs_.load(); }
    int overlongTicks() const { return overlongTicks_.load(); }

  private:
    struct CellOutcome;
    void handledTick();
    void noteTickDuration(int tick, std::chrono::steady_clock::duration took);
    void temperatureStep();
    double caseTemperatureStep(int d);
    void co2Step();
    void fiftyTickStep(TDateTime now);
    void logAnswer(int d, const std::string& category, const std::string& answer);
    struct MissedTacts {
        std::string entries;        // queue entries of missed tacts, oldest first
        bool acknowledged = false;  // the record needs no "o#" of its own
        bool complete = true;       // false: a block failed; the record is not counted
        int lastTact = 0;           // newest tact counted (0: the record's)
    };
    MissedTacts readMissedTacts(int d, LinkHandle h, const ValueRecord& rec,
                                const TKLVDeviceListEntry& e, TDateTime now);
    int missedTactsToRead(int d, const ValueRecord& rec, const TKLVDeviceListEntry& e,
                          TDateTime now);
    MissedTacts readQueuedTacts(const std::string& cat, LinkHandle h, const ValueRecord& rec,
                                int lastTact, int missed);
    // One data device's part of a tick: its list entry as the tick began, its answer, and
    // what the answer gave.
    struct DeviceTick {
        int d = 0;
        TKLVDeviceListEntry e;
        std::string cat;  // the device's name in the debug log
        std::string answer;
        std::optional<ValueRecord> rec;
        MissedTacts missed;
        bool countRecord = false;  // the record's own impulses are new
    };
    void readValueRecord(DeviceTick& t, TDateTime now);
    bool noteAnswer(const DeviceTick& t);
    void noteReadable(const DeviceTick& t);
    bool tactFollows(DeviceTick& t, TDateTime now);
    bool advanceTact(DeviceTick& t, TDateTime now);
    void countImpulses(const DeviceTick& t, TDateTime now);
    void restartForClosedManometer(const DeviceTick& t, const std::string& cells);
    // impulses: the record's own (when counted) and those of missed tacts.
    void processCell(int i, int k, const ValueRecord& rec, int impulses,
                     const std::optional<RowInfo>& row, int rowNr, TDateTime now, CellOutcome& out);
    static void touchLiveFileIfPresent();

    const Config& cfg_;
    DeviceList& dl_;
    TCells& cells_;
    Alarms& alarms_;
    O2TankFile& tanks_;
    TempLog& tempLog_;
    RunFlags flags_;
    StatusOutput& status_;
    DeviceIoLocks& io_;
    std::function<void(bool)> rowsUpdate_;
    CountJournal* journal_ = nullptr;
    std::function<void()> tickDone_;

    std::atomic<int> tick_{0};
    // Per device: its queue is to start anew after the next complete read.
    std::array<std::atomic<bool>, kMaxDevices + 1> queueResetDue_{};
    // Touched by the ticks only, which never overlap.
    int tempPhase_ = 0;
    int fiftyCount_ = 0;
    std::atomic<double> currentTemp_{NoValueReal};
    std::atomic<bool> newValues_{false};
    std::atomic<long long> lastTickMs_{0};
    std::atomic<long long> longestTickMs_{0};
    std::atomic<int> overlongTicks_{0};
    // The devices' exchanges of a tick (data devices, then case devices).
    WorkerPool workers_;
    PeriodicTimer timer_;
};

}  // namespace kv
