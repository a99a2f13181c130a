#pragma once
// The cell table: one record per measuring cell (bottle), indexed by the physical cell
// number 1..120, the cell state machine, the device commands that keep a cell's data
// device configured to match its state, and the values shown for a cell.
//
// Cell numbers: the physical number i indexes the table and is what devices and files
// use; users see i + firstCell - 1; on its data device a cell sits at position
// i - physCellNr_From + 1 (1..6).
//
// The table is shared by the window thread (row operations, windows, device check) and the
// acquisition thread (counting). One mutex guards it; it is never held while a device is
// talked to or while the rows are asked, so either side may call the other.

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "acquisition/cell_state.h"
#include "acquisition/device_io.h"
#include "acquisition/row_lookup.h"
#include "acquisition/run_flags.h"
#include "acquisition/status_output.h"
#include "app/config.h"
#include "common/clock.h"
#include "common/numtext.h"
#include "common/worker_pool.h"
#include "device/device_list.h"

namespace kv {

inline constexpr int kMaxStartValues = 10;
// The volume of a cell that no row has described (ml).
inline constexpr double kDefaultCellVolume = 250;

struct TCell {
    int CellNr = 0;
    int RowNr = 0;  // UniqueNr of the row; 0 = none
    CellState State = CellState::cs_Free;
    std::string Name;  // at most 80 characters
    double Volume = kDefaultCellVolume;
    double Weight = 0;
    int Method = 0;
    int RowMode = 0;
    double Index = NoValueReal;
    double P_TC = NoValueReal;
    double BTH1 = NoValueReal;
    TDateTime StartTime = 0;
    TDateTime StopTime = 0;
    // > 0: waits for the manometer to open once before impulses count; -1 reached; 0 none.
    int WaitForZero = 1;
    int LastCount = 0;
    int CellCount = 0;
    // [0] the count every tenth tact; [1..24] snapshots per alarm interval, [1] newest.
    std::array<int, kHourlySlots + 1> HourlyCount{};
    TDateTime HourlyTime = 0;
    bool OutOfRangeReported = false;
    bool OutOfRange = false;
    int ADCValue = NoValueInt;
    int AD_Lower = 0;
    int AD_Upper = 1023;
    int ManometerValue = 0;  // below 10 the manometer counts as closed
    int ClosedCount = 0;
    bool LFFlag = false;  // the row measures CO2 (conductivity) for this cell
    int aiCO2_last = -1;
    int aiCO2 = -1;
    int aiCO2_start = -1;
    int CO2Count = 0;
    double CO2Sum = 0;
    int minADC = 0;
    int maxADC = 1023;
    double minLF = 0.0;
    double maxLF = 100.0;
    double LFFactor = 1.0;
    double LFOffset = 0.0;
    double cdm_T = -1.0;
    double cdm_LF = -1.0;
    double cdm_LF_0 = -1.0;
    double cdm_LF_Last = -1.0;
    double cdm_LF_Ref = -1.0;
    std::array<double, kMaxStartValues + 1> StartValues{};  // [1..10]
    int nStartValues = 0;
    std::array<double, kMaxStartValues + 1> Gradients{};  // [1..10]
    // The EC71 calibration points and "canRec" of a cell are kept by the CO2 module's
    // calibration store, which is keyed by the same cell number.
    int O2ImpTotal = 0;
    TDateTime O2TankDate = 0;
    int O2TankMax = 234000;
    int O2TankUsed = 0;
};

class TCells {
  public:
    TCells(const Config& cfg, DeviceList& devices, RunFlags flags, StatusOutput& status,
           DeviceIoLocks& io);
    TCells(const TCells&) = delete;
    TCells& operator=(const TCells&) = delete;

    // Set once while the program is built; until then every cell counts as row-less.
    void setRowLookup(RowLookup* rows) { rows_ = rows; }
    RowLookup* rowLookup() const { return rows_; }
    const Config& config() const { return cfg_; }
    DeviceList& devices() { return dl_; }

    static bool validCell(int i) { return i >= 1 && i <= kMaxCells; }
    // The number users see: i + firstCell - 1.
    int logicalNr(int i) const;

    // --- access --------------------------------------------------------------------------
    // A copy of cell i; a default record for a number outside 1..120.
    TCell cell(int i) const;
    // Changes cell i under the table's lock; f must not call back into TCells, the rows or
    // a device. False for a number outside 1..120.
    bool update(int i, const std::function<void(TCell&)>& f);
    // The row a cell belongs to, as the rows report it; nullopt for none.
    std::optional<RowInfo> rowOf(int rowNr) const;
    // The row's name, "n/a" when there is none.
    std::string rowName(int rowNr) const;

    // --- operations ------------------------------------------------------------------------
    void InitCell(int i);
    void MapCellToRow(int i, int rowNr);
    void SetCellState(int i, CellState state);
    void SetCellLabel(int i, const std::string& name, double volume, double weight);
    void SetCellMethod(int i, int method, double index, double pTC, double bth1);
    void SetCellTimes(int i, TDateTime start, TDateTime stop);
    void SetCellStartTime(int i, TDateTime t);
    void SetCellStopTime(int i, TDateTime t);
    void StartCell(int i, int method, int zeroNeeded, double bth1, double pTC, double index,
                   int rowMode, double weight, double volume);
    // Return the state afterwards.
    CellState SuspendCell(int i, bool o2, bool co2);
    CellState UnsuspendCell(int i, bool o2, bool co2);
    // stopMode: the row's state; RowState::StoppedControl keeps the cell under control.
    void StopCell(int i, CellState rowCellState, RowState stopMode);
    void ClearCell(int i);
    void CountImpulse(int i);
    void SetCellCount(int i, int count);
    // One impulse more in the O2 tank bookkeeping (the synchronisation counts these).
    void CountTankImpulse(int i);
    int GetCellCount(int i) const;
    CellState GetCellState(int i) const;
    // The hourly snapshots shifted by one, on a record held under update(), with the
    // caller's time stamp (the acquisition's leakage check).
    static void shiftHourlyAt(TCell& c, int value, TDateTime now);
    void SetCellCO2(int i, double value);

    // --- device commands (nothing is sent when the cell's data device is not present) -----
    void SendCellTact(int i);
    void ActivateCell(int i);
    void DeactivateCell(int i);
    void StoreConfig(int i);
    // Compares data device d's configured cells with what the cells' states require and
    // repairs the differences.
    void set_ActiveAndTact(int d);
    void USB_setCells_ActiveAndTact();
    // Start-up alignment of cell n: an active cell gets its tact and then its activation
    // (t, h, t, h, a=1, b=0), any other its deactivation; after every sixth cell the device
    // holding it stores its configuration.
    void AlignCell(int n);
    // Cells 1..count aligned, each data device's cells in order on a worker of the device's
    // own, all devices at once (parallel false: cell after cell). done, when given, counts
    // the cells aligned so far (the splash's gauge reads it from another thread).
    void AlignCells(int count, bool parallel, std::atomic<int>* done = nullptr);

    // --- texts -----------------------------------------------------------------------------
    static std::string StateText(CellState state);
    static std::string StateShortName(CellState state);
    std::string CellStateText(int i) const;
    static std::string MethodText(int method);
    std::string MethodParamText(int i) const;

    // --- derived values (NoValueReal when they cannot be computed) ---------------------------
    double O2Amount(int i) const;
    double O2Concentration(int i) const;
    double O2PerDryMatter(int i) const;
    // Conductivity of raw value a with the cell's calibration.
    double Conductivity(int i, double a) const;
    // CO2 of conductivity x with the factor of the cell's row.
    double CO2FromConductivity(int i, double x) const;
    double CO2Produced(int i) const;

    // Helpers for the O2 tank bookkeeping of the device check and the tank file.
    int cellCount() const { return cfg_.Cells; }

  private:
    struct Target {
        int device = 0;
        LinkHandle handle = kInvalidHandle;
        int k = 0;
        std::string appName;
    };
    std::optional<Target> presentDataDeviceFor(int i) const;
    void sendTactLocked(const Target& t, const RowInfo& row);
    CellState changeSuspension(int i, bool suspend, bool o2, bool co2);
    void resetHourlyLocked(TCell& c);
    void logCells(const std::string& text) const;
    double o2AmountOf(const TCell& c) const;
    double conductivityOf(const TCell& c, double a) const;
    double co2Of(const TCell& c, const std::optional<RowInfo>& row, double x) const;

    const Config& cfg_;
    DeviceList& dl_;
    RunFlags flags_;
    StatusOutput& status_;
    DeviceIoLocks& io_;
    RowLookup* rows_ = nullptr;

    mutable std::mutex mutex_;
    // The devices' configuration sequences of the repair and the alignment.
    WorkerPool workers_;
    std::array<TCell, kMaxCells + 1> cells_{};  // [0] unused
};

}  // namespace kv
