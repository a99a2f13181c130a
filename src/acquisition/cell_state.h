#pragma once
// Cell states and the state groups. Rows keep their own copy of each cell's state with the
// same numbers, and the row definitions file stores them, so the values never change.

namespace kv {

enum CellState : int {
    cs_Free = 1,          // not mapped to a row
    cs_NotAvailable = 2,  // physical number beyond the configured cell count
    cs_Assigned = 3,      // mapped to a row, not started
    cs_Running = 4,       // O2 impulses count, CO2 is measured
    cs_Suspended = 5,     // O2 and CO2 suspended
    cs_Cancelled = 6,     // cancelled by the user while running or suspended
    cs_Stopped = 7,       // stopped with its row
    // 8 is no cell state: it is the row stop mode "stopped, cell control continued".
    cs_ControlOnly = 9,    // row ended, cell control goes on: O2 impulses still count
    cs_SuspendedO2 = 10,   // O2 suspended, CO2 still measured
    cs_SuspendedCO2 = 11,  // CO2 suspended, O2 impulses still count
};

// Row stop mode that keeps the cells under control (StopCell's mode argument).
inline constexpr int kStopModeContinueControl = 8;

// Row state of a running row (rows share the numbering).
inline constexpr int kRowStateRunning = 4;

// A state that has a name; 0, 8 and 12 and above have none.
constexpr bool isNamedCellState(int s) {
    return (s >= cs_Free && s <= cs_Stopped) || (s >= cs_ControlOnly && s <= cs_SuspendedCO2);
}

// The device must have the cell active with a tact above 0.
constexpr bool isActiveInDevice(int s) {
    return s == cs_Running || s == cs_Suspended || s == cs_ControlOnly || s == cs_SuspendedO2 ||
           s == cs_SuspendedCO2;
}

// The acquisition counts the cell's O2 impulses.
constexpr bool isCountingO2(int s) {
    return s == cs_Running || s == cs_ControlOnly || s == cs_SuspendedCO2;
}

// The CO2 raw value of a CO2 device is taken for the cell.
constexpr bool readsCO2Raw(int s) {
    return s == cs_Running;
}

// A cell that can be suspended, or continued, by the row.
constexpr bool isSuspendable(int s) {
    return s == cs_Running || s == cs_SuspendedO2 || s == cs_SuspendedCO2;
}
constexpr bool isSuspended(int s) {
    return s == cs_Suspended || s == cs_SuspendedO2 || s == cs_SuspendedCO2;
}

}  // namespace kv
