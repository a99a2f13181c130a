#pragma once
// Cell states, row states and the state groups. Rows keep their own copy of each cell's
// state with the same numbers, rows number their own states the same way, and the row
// definitions file stores both, so the values never change. A number read from a file that
// is no state is kept as it is (it has no name and belongs to no group).

#include "common/domain.h"

namespace kv {

enum class CellState : int {
    cs_Free = 1,          // not mapped to a row
    cs_NotAvailable = 2,  // physical number beyond the configured cell count
    cs_Assigned = 3,      // mapped to a row, not started
    cs_Running = 4,       // O2 impulses count, CO2 is measured
    cs_Suspended = 5,     // O2 and CO2 suspended
    cs_Cancelled = 6,     // cancelled by the user while running or suspended
    cs_Stopped = 7,       // stopped with its row
    // 8 is no cell state: it is the row state "stopped, cell control continued".
    cs_ControlOnly = 9,    // row ended, cell control goes on: O2 impulses still count
    cs_SuspendedO2 = 10,   // O2 suspended, CO2 still measured
    cs_SuspendedCO2 = 11,  // CO2 suspended, O2 impulses still count
};

enum class RowState : int {
    Defined = 3,  // not started yet
    Running = 4,
    Suspended = 5,   // never set by the program; the delete command accepts it from a file
    StoppedOld = 6,  // stopped, as older row files hold it
    Stopped = 7,
    // Stopped at its planned end with cell control continued: its cells go on in
    // cs_ControlOnly. Also the stop mode that keeps the cells under control.
    StoppedControl = 8,
};

// A state that has a name; 0, 8 and 12 and above have none.
constexpr bool isNamedCellState(CellState s) {
    using enum CellState;
    return (s >= cs_Free && s <= cs_Stopped) || (s >= cs_ControlOnly && s <= cs_SuspendedCO2);
}

// The device must have the cell active with a tact above 0.
constexpr bool isActiveInDevice(CellState s) {
    using enum CellState;
    return s == cs_Running || s == cs_Suspended || s == cs_ControlOnly || s == cs_SuspendedO2 ||
           s == cs_SuspendedCO2;
}

// The cell belongs to its row's running part: it is stopped with the row, mapped into the
// cell model when the row file is loaded, and restarted when a running row is reloaded.
constexpr bool isUnderRowControl(CellState s) {
    return s == CellState::cs_Assigned || isActiveInDevice(s);
}

// The acquisition counts the cell's O2 impulses.
constexpr bool isCountingO2(CellState s) {
    using enum CellState;
    return s == cs_Running || s == cs_ControlOnly || s == cs_SuspendedCO2;
}

// The CO2 raw value of a CO2 device is taken for the cell.
constexpr bool readsCO2Raw(CellState s) {
    return s == CellState::cs_Running;
}

// A cell that can be suspended, or continued, by the row.
constexpr bool isSuspendable(CellState s) {
    using enum CellState;
    return s == cs_Running || s == cs_SuspendedO2 || s == cs_SuspendedCO2;
}
constexpr bool isSuspended(CellState s) {
    using enum CellState;
    return s == cs_Suspended || s == cs_SuspendedO2 || s == cs_SuspendedCO2;
}

}  // namespace kv
