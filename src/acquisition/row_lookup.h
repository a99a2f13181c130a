#pragma once
// What the cell model and the acquisition need to know about the rows (measurement series).
// The rows live above this module; they implement this interface and hand it down.
//
// The cell operations call these methods while they run, also when the rows themselves
// called the cell operation (starting a cell asks for the row's tact), so an implementation
// must not hold a non-recursive lock of its own while it calls into TCells.

#include <optional>
#include <string>

#include "acquisition/cell_state.h"
#include "common/clock.h"

namespace kv {

// A row's settings as the cells use them.
struct RowInfo {
    std::string name;
    RowState state{};           // `State`
    int tactSeconds = 0;        // `Tact`
    int attritionDivider = 1;   // `AttritionDivider`
    TDateTime plannedStop = 0;  // `Stop`
    double lf2co2 = 0;          // `LF2CO2`
    bool withCO2 = false;
    bool o2LeakageAlarm = false;  // `bO2LeakageAlarm`
    int alarmCount = 0;           // `AlarmCount`, percent
    int alarmHours = 0;           // `AlarmHours`
    bool countAfterAllCellsStarted = false;
    bool allCellsStarted = false;
};

class RowLookup {
  public:
    virtual ~RowLookup() = default;
    // The row with this UniqueNr (templates included); nullopt when there is none.
    virtual std::optional<RowInfo> findRow(int uniqueNr) const = 0;
    // The leakage alarm: the row suspends its entry of this cell (O2 and CO2, or O2 only
    // for a row without CO2), which reaches TCells::SuspendCell.
    virtual void suspendCellForAlarm(int uniqueNr, int cell) = 0;
};

}  // namespace kv
