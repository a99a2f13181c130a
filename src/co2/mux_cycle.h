#pragma once
// What the CDM cycle and the EC71 cycle share: the multiplexer state numbers and names, the
// cycle variables (one set for the program; a configuration runs either the CDM or the
// EC71 meters), and what the cycles need to know about the rows.
//
// The cycle variables are written by the serving timer thread and read by the window
// thread for display, and a row start resets them: the fields are atomic, the texts locked.

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "common/clock.h"
#include "common/numtext.h"

namespace kv {

enum MuxState : int {
    muxst_Wait = 0,
    muxst_SetMUX = 10,
    muxst_SendCalibrationData_Preamble = 11,
    muxst_SendCalibrationData_cal1 = 12,
    muxst_SendCalibrationData_cal2 = 13,
    muxst_SendCalibrationData_Postamble = 14,
    muxst_SendMeasureData = 16,
    muxst_PrepareForMeasure = 17,
    muxst_GetDeviceReadySignal = 18,
    muxst_StartSample = 20,
    muxst_ReadDisplay = 30,  // CDM only
    muxst_ReadData = 40,
    muxst_SampleFinished = 42,
    muxst_TestReConnect = 50,  // CDM only
    muxst_ReConnected = 52,    // CDM only
    muxst_RequestReConnect = 60,
    muxst_RequestReConnect_ReOpen = 62,
    muxst_ReInit = 64,
};

// "muxst_SetMUX", …; "<<undefined>> (7)" for a number without a name.
std::string muxStateName(int state);
inline bool isReconnectState(int s) {
    return s == muxst_RequestReConnect || s == muxst_RequestReConnect_ReOpen || s == muxst_ReInit;
}

struct TMuxCycle {
    std::atomic<int> NextState{muxst_Wait};
    std::atomic<TDateTime> NextActivate{0};
    std::atomic<TDateTime> NextCycleStart{0};
    std::atomic<int> muxCell{1};
    // The cell the frame placeholders name; set when a cell's relay goes on.
    std::atomic<int> MeasureCount{0};
    std::atomic<int> stateCount{0};
    std::atomic<int> cntReadData{0};
    std::atomic<int> CellRetryCount{0};
    std::atomic<bool> IgnoreFlag{false};
    std::atomic<bool> dataReady{false};
    std::atomic<double> mux_LF{NoValueReal};
    std::atomic<double> mux_T{NoValueReal};
    std::atomic<int> currentMeter{0};
    // A meter restart was requested; cleared by whoever restarts the meters at start-up.
    std::atomic<bool> gl_EC71_Restart{false};
    // A reading reached a measuring cell (read by the acquisition side).
    std::atomic<bool> newCO2Value{false};

    std::string statusText() const;
    void setStatusText(std::string s);

    // Back to the start of a cycle at cell 1, due at `now`.
    void restart(TDateTime now);
    // On to the next of `cells` cells, due at `now`; past the last one back to cell 1, to
    // wait for the next cycle's start. True when the cycle has ended: the caller then writes
    // cycleEndLine() to its own log.
    bool nextCell(int cells, TDateTime now);
    std::string cycleEndLine() const;

  private:
    mutable std::mutex mutex_;
    std::string statusText_;
};

// The rows as the CO2 cycles use them: each row keeps the starting conductivity last
// determined for one of its cells (`last_LF_0`, -1 until the first), and each of its cell
// entries a copy of that cell's LF_0. Implemented by the rows; the calls come from the
// cycle's timer thread, so an implementation must be thread-safe and must not call back
// into the cell table while it holds a lock of its own.
class Co2RowAccess {
  public:
    virtual ~Co2RowAccess() = default;
    // -1 while the row has none, or when there is no such row.
    virtual double lastLF0(int rowNr) const = 0;
    virtual void setLastLF0(int rowNr, double lf0) = 0;
    // Every entry of the row's cell list that holds cell i.
    virtual void setCellLF0(int rowNr, int cell, double lf0) = 0;
};

// Keeps the rows' values in memory: for tests, and for a program whose rows do not keep
// them (then the value is lost at the end of the run).
class Co2RowMemory : public Co2RowAccess {
  public:
    double lastLF0(int rowNr) const override;
    void setLastLF0(int rowNr, double lf0) override;
    void setCellLF0(int rowNr, int cell, double lf0) override;
    // -1 when never set.
    double cellLF0(int rowNr, int cell) const;

  private:
    mutable std::mutex mutex_;
    std::map<int, double> last_;
    std::map<std::pair<int, int>, double> cells_;
};

}  // namespace kv
