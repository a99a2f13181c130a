#pragma once
// The EC71 measuring cycle: it walks the cells one after another, switches each measuring
// cell's absorber to the meter serving it, hands the cell's calibration data to the meter,
// starts a measurement, reads conductivity (LF) and temperature, cleans the value
// (plausibility, no-rise correction, dive rejection), determines the cell's starting
// conductivity LF_0 from its first readings and stores the results in the cell. A new
// cycle starts every EC71_Loop_Duration seconds. NAKs and unanswered frames take the meter
// through close, reopen and reinitialisation.
//
// EC71_mmTimerCallback() is a plain method (tests call it in virtual time); start() drives
// it from a PeriodicTimer with period EC71_mmTimerInt.

#include <atomic>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/cells.h"
#include "acquisition/run_flags.h"
#include "co2/ec71.h"
#include "co2/mux_cycle.h"
#include "co2/relays.h"
#include "common/periodic_timer.h"

namespace kv {

// What a measurement answer says, found with the configured attribute texts.
struct EC71Measurement {
    bool ready = false;  // the data-ready indicator is in the answer
    std::string unit, tempUnit;
    double LF = NoValueReal;
    double T = NoValueReal;
};
EC71Measurement parseEC71Measurement(std::string_view answer, const Config& cfg);

// The starting conductivity from a cell's start values: values more than EC71_LF0_PrzDiff
// percent above the smallest are outliers and replaced by it; LF_0 is the largest of the
// rest, held to at most EC71_previousLF0_PrzDiff percent above the row's last LF_0 when the
// row has one. rowLastLF0 (-1 for none) receives the new value. Lines go to `category`.
double computeLF0(std::span<const double> startValues, double& rowLastLF0,
                  const std::string& rowName, const Config& cfg, const std::string& category);

// The cells 1..Cells that no configured meter serves (only possible with two or more
// meters). Each one is reported in the message list and the debug log; the cycle skips
// them. Called when the configuration is loaded.
std::vector<int> EC71_CheckCellRanges(const Config& cfg, std::span<TEC71* const> meters,
                                      int firstCell);

class TEC71Cycle {
  public:
    // meters: every meter object (up to kMaxEC71Meters); each must have been built with
    // &mux.MeasureCount. The cycle uses the first EC71_NrDevices of them, read from cfg at
    // every tick, and their cell ranges as they are then; so the cycle may be built before
    // the configuration is loaded and the meters are configured. rows may be nullptr: the
    // row's last LF_0 is then kept in memory only.
    TEC71Cycle(const Config& cfg, TCells& cells, std::span<TEC71* const> meters, TCO2Relays& relays,
               TMuxCycle& mux, RunFlags flags, Co2RowAccess* rows = nullptr);
    ~TEC71Cycle();
    TEC71Cycle(const TEC71Cycle&) = delete;
    TEC71Cycle& operator=(const TEC71Cycle&) = delete;

    // One tick.
    void EC71_mmTimerCallback();

    // The meter serving the cell (1-based), 0 for none.
    int meterForCell(int cell) const;
    // The cell's LF_0 from its start values; updates the row's last LF_0.
    double DetermineLF0(int rowNr, int cell);

    // A row started: measure from cell 1 at once; when a tick runs, at its end. A meter
    // that is being reconnected finishes that first.
    void forceNewCycle();
    // Returns once no tick runs. The caller has cleared the system-running flag, so no new
    // tick does any work afterwards (calibration, configuration dialog).
    void waitIdle();

    void start();
    void stop();

    // Called with the mux cell and the state just before a state runs (a status display,
    // a trace, the tests). Set before the timer starts.
    void setStateObserver(std::function<void(int cell, int state)> f) { observer_ = std::move(f); }

    // The device check's part for meter 1: reports it coming online and, after
    // EC71_maxOfflineCount checks offline, lost. True while it counts as lost.
    bool deviceCheck();

  private:
    std::span<TEC71* const> metersInUse() const;
    TEC71* meter(int index) const;
    void runTick();
    void runState(TEC71& m, TDateTime now);
    void afterState(TEC71* m, TDateTime now);
    void resetCycle();

    void stateWait(TDateTime now);
    void stateSetMux(TDateTime now);
    void stateFrame(TEC71& m, int state, TDateTime now);
    void stateReadySignal(TEC71& m, TDateTime now);
    void stateStartSample(TEC71& m, TDateTime now);
    void stateReadData(TEC71& m, TDateTime now);
    void awaitData(TDateTime now);
    double takeReading(TEC71& m, double& t);
    double acceptReading(int cell, double lf, double& t, TDateTime now);
    void retryCell(int cell, TDateTime now);
    void stateSampleFinished(TEC71& m, TDateTime now);
    void stateRequestReconnect(TEC71& m, TDateTime now);
    void stateReopen(TEC71& m, TDateTime now);
    void stateReInit(TEC71& m, TDateTime now);

    // Stores a plausible reading with corrections and start values; returns the value
    // stored (mux_LF after corrections).
    double storeReading(int cell, double lf, double t, TDateTime now);
    double determineLF0(int rowNr, int cell, std::span<const double> values);
    void frameOutcome(TEC71& m, bool ok);
    void nextCell(TDateTime now);
    bool measurable(int cell) const;
    void line(const std::string& text) const;
    void alwaysLine(const std::string& text) const;
    std::string category() const;
    std::string cellText(int cell) const;

    const Config& cfg_;
    TCells& cells_;
    std::vector<TEC71*> meters_;
    TCO2Relays& relays_;
    TMuxCycle& mux_;
    RunFlags flags_;
    Co2RowAccess* rows_;
    Co2RowMemory ownRows_;

    std::mutex tickMutex_;
    std::atomic<bool> forceRequested_{false};
    // Touched by the ticks only.
    std::string answer_;
    std::string tag_ = "EC71 [-]";
    std::function<void(int, int)> observer_;
    PeriodicTimer timer_;
};

}  // namespace kv
