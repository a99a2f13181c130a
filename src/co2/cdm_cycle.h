#pragma once
// The CDM measuring cycle: every CDM_MUX-Loop-Duration seconds it walks the cells, switches
// each measuring cell's absorber to the CDM, starts a sample, reads the display, corrects
// the conductivity and stores it in the cell. The connection is watched by counting empty
// reads; a lost CDM is reinitialised until it answers again.
//
// cdm_mmTimerCallback() is a plain method (tests call it in virtual time); start() drives
// it from a PeriodicTimer with period cdm_mmTimerInt.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "acquisition/cells.h"
#include "acquisition/run_flags.h"
#include "co2/cdm.h"
#include "co2/mux_cycle.h"
#include "co2/relays.h"
#include "common/periodic_timer.h"

namespace kv {

class TCdmCycle {
  public:
    // busy: the CDM callback's own running flag (TKelvora's cdmCallbackBusy). rows may be
    // nullptr: the starting conductivity then reaches only the cell.
    TCdmCycle(const Config& cfg, TCells& cells, TCdmLink& cdm, TCO2Relays& relays, TMuxCycle& mux,
              RunFlags flags, std::atomic<bool>& busy, Co2RowAccess* rows = nullptr);
    ~TCdmCycle();
    TCdmCycle(const TCdmCycle&) = delete;
    TCdmCycle& operator=(const TCdmCycle&) = delete;

    // One tick.
    void cdm_mmTimerCallback();

    // A row started: measure its cells at once. Resets the cycle now when no tick runs (or
    // when called from within a tick), else at the end of the running tick.
    void forceNewCycle();

    // One read of the CDM port with the connection watch; on the thread serving the CDM
    // (the tick), whose counters it keeps.
    std::string comRead();

    // The timer. stop() returns when no tick runs.
    void start();
    void stop();

    // Called with the mux cell and the state just before a state runs (a status display,
    // a trace, the tests). Set before the timer starts.
    void setStateObserver(std::function<void(int cell, int state)> f) { observer_ = std::move(f); }

    // The device check's part: when the online flag differs from the reported one and the
    // CDM went offline, its port is closed and forgotten (the cycle reopens it); the
    // reported flag follows the online flag.
    void deviceCheck();

  private:
    void runTick(TDateTime now);
    void runState(int state, TDateTime now);
    void stateWait(TDateTime now);
    void stateOfCell(int state, TDateTime now);
    void stateTestReconnect(TDateTime now);
    void stateReconnected(TDateTime now);
    void stateSetMux(TDateTime now);
    void stateReadData(TDateTime now);
    void processReading(int cell, const std::string& text, TDateTime now);
    void reconnectOpen(TDateTime now);
    // The cell's relay off, then the next cell (or the end of the cycle).
    void finishCell(int cell, TDateTime now);
    void nextCell(TDateTime now);
    bool measurable(int cell) const;
    bool stillValid(int cell) const;
    void resetCycle(TDateTime now);
    void updateStatus();
    void rsLine(const std::string& text) const;
    std::string cellText(int cell) const;

    const Config& cfg_;
    TCells& cells_;
    TCdmLink& cdm_;
    TCO2Relays& relays_;
    TMuxCycle& mux_;
    RunFlags flags_;
    std::atomic<bool>& busy_;
    Co2RowAccess* rows_;

    // Held for the whole of a tick; a forced new cycle takes it to wait for the tick.
    std::mutex tickMutex_;
    // The thread inside a tick, so that a reset from within it does not wait for itself.
    std::atomic<std::thread::id> tickThread_{};
    std::atomic<bool> forceRequested_{false};
    int retryCount_ = 0;
    // The loss has been reported; the next contact is reported as "established again".
    std::atomic<bool> lossReported_{false};
    std::function<void(int, int)> observer_;
    PeriodicTimer timer_;
};

}  // namespace kv
