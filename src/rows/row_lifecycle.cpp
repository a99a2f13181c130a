// Starting and stopping a row and its cells. Every cell operation is mirrored into the cell
// model, which talks to the devices; the rows lock is let go while it does, and during the
// pauses between cells, so the acquisition tick is not held up.

#include <algorithm>

#include "acquisition/cell_state.h"
#include "app/alarm_notify.h"
#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/strutil.h"
#include "rows/row_util.h"
#include "rows/rows.h"

namespace kv {

bool TRow::StartRow(bool forceCO2Cycle) {
    std::unique_lock lock(owner_.mutex());
    const Config& cfg = env().cfg;
    const double fd = unitSeconds(SIDuration);
    if (fd > 0 && !isNoValue(Duration)) DurDays = Duration * fd * kSecond;
    GetIntervalDays();
    if (!MakeDataDir()) return false;
    AllocRTV();
    iRTV = iRTV0 = iRTV_lastLoaded = iRTV_lastSaved = 0;
    Start = clock().now();
    realStart = Start;
    Stop = Start + DurDays + 60 * kSecond;
    orgStop = Stop;
    realStop = 0;
    int withFlag = 0;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        const RowCell& c = RowCells[static_cast<size_t>(s)];
        if (!ownsCell(c)) continue;
        const bool on = withCO2;
        env().cells.update(c.CellNr, [on](TCell& m) { m.LFFlag = on; });
        if (env().cells.cell(c.CellNr).LFFlag) ++withFlag;
    }
    CycleIncrement = 60 * kSecond;
    if (co2DevicePresent() && withCO2)
        CycleIncrement = withFlag *
                         (cfg.CDM_MUX_Sample_Delay + 5 + cfg.CDM_Sample_ReadDisplay_Delay +
                          cfg.CDM_ReadDisplay_Read_Delay) *
                         kSecond;
    NextCycle = Start + CycleIncrement;
    State = RowState::Running;
    bActive = true;
    AddMsg(GetTextFmt("uRows", "StartRow", "Started meas. series %s", Name), false);
    WriteDbg("Rows", "Starting row " + Name + "; NextCycle=" + dtText(NextCycle));
    if (withCO2) {
        if (YValues[7] == 0) {
            YValues[6] = cfg.CO2_Y.min;
            YValues[7] = cfg.CO2_Y.max;
            YValues[8] = cfg.CO2_Y.step;
            YTexts[2] = cfg.CO2_Y.text;
        }
        if (forceCO2Cycle && env().hooks.forceCO2Cycle) {
            RowsUnlocked u(owner_.mutex());
            env().hooks.forceCO2Cycle();
        }
    }
    return true;
}

void TRow::StartCellInRow(int slot, int zeroNeeded) {
    std::unique_lock lock(owner_.mutex());
    if (slot < 1 || slot > std::min(NrCells, kMaxRowCells)) return;
    RowCell& c = RowCells[static_cast<size_t>(slot)];
    if (c.State >= CellState::cs_Running) return;
    if (!ownsCell(c)) {
        WriteDbg("Rows", "+++ row " + Name + ": cell " + num(DisplayNr(slot)) +
                             " is not attached to this row - not started");
        return;
    }
    c.State = CellState::cs_Running;
    c.CellTact = Tact;
    c.StartTime = clock().now();
    c.StopTime = Stop;
    c.CO2Factor = co2FactorOfCell(c.CellNr);
    const int nr = c.CellNr, mode = c.Mode, rowMode = RowMode;
    const double bth1 = c.BTH1, ptc = c.PTC, index = c.Index, ts = c.TS, vol = c.Vol;
    const auto keep = weak_from_this().lock();
    RowsUnlocked u(owner_.mutex());
    env().cells.StartCell(nr, mode, zeroNeeded, bth1, ptc, index, rowMode, ts, vol);
}

bool TRow::StopRow(const std::string& reason) {
    std::unique_lock lock(owner_.mutex());
    const auto keep = weak_from_this().lock();
    const bool log = dbg().rows.load();
    WriteDbg("TRow.StopRow", "Request to stop row " + Name + ", Reason: " + reason);
    if (env().hooks.disEnableCurrentDeviceState && env().hooks.disEnableCurrentDeviceState() > 0) {
        WriteDbg("TRow.StopRow",
                 "Request to stop row " + Name + " aborted due to DisEnableCurrentDeviceState > 0",
                 log);
        return false;
    }
    const std::string stopText =
        GetTextFmt("uRows", "StopRow", "Stopped meas. series %s, Reason: %s", Name, reason);
    AddMsg(stopText, false);
    NotifyAlarm(reason.find("Now>=Stop") != std::string::npos ? AlarmKind::RowFinished
                                                              : AlarmKind::RowStopped,
                stopText);
    realStop = clock().now();
    if (State == RowState::Running && ContinueCellControl &&
        reason.find("Now>=Stop") != std::string::npos) {
        AddMsg(GetText("uRows", "StopRow_withCellControl", "... Cell Control is continued"), false);
        State = RowState::StoppedControl;
    } else {
        State = RowState::Stopped;
    }
    bActive = false;
    if (!owner_.startingUp()) owner_.SaveRowFile(env().rowFileName, true);
    WriteDbg("TRow.StopRow", "Request fulfilled to stop row " + Name, log);
    WriteDbg("Rows", "Stopping row " + Name + ", Reason: " + reason, log);
    const int delay = env().cfg.DelayBetweenStopCells;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        if (!isUnderRowControl(RowCells[static_cast<size_t>(s)].State)) continue;
        if (env().hooks.processMessages) {
            RowsUnlocked u(owner_.mutex());
            env().hooks.processMessages();
        }
        if (s > std::min(NrCells, kMaxRowCells)) break;
        StopCell(s, State, Stop);
        RowsUnlocked u(owner_.mutex());
        if (env().hooks.processMessages) env().hooks.processMessages();
        if (delay > 0) clock().sleepMs(delay);
    }
    if (co2DevicePresent() && env().hooks.co2RelayOff) {
        std::vector<int> cells;
        for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
            const RowCell& c = RowCells[static_cast<size_t>(s)];
            // A stopped cell is free in the model already; another row's cell is left be.
            if (ownsCell(c) || (c.bMapped && env().cells.cell(c.CellNr).RowNr == 0))
                cells.push_back(c.CellNr);
        }
        RowsUnlocked u(owner_.mutex());
        for (int nr : cells) co2RelayOff(nr);
    }
    WriteDbg("TRow.StopRow", "Done: Request to stop row " + Name + ", Reason: " + reason);
    if (env().hooks.setStatusText) {
        RowsUnlocked u(owner_.mutex());
        env().hooks.setStatusText("");
    }
    return true;
}

void TRow::StopCell(int slot, RowState mode, TDateTime stopTime) {
    std::unique_lock lock(owner_.mutex());
    if (slot < 1 || slot > kMaxRowCells) return;
    RowCell& c = RowCells[static_cast<size_t>(slot)];
    WriteDbg("StopCell", "Request to stop cell " + num(DisplayNr(slot)), dbg().rows.load());
    if (c.State == CellState::cs_Cancelled) return;
    if (mode == RowState::StoppedControl) {
        if (c.State == CellState::cs_Running) c.State = CellState::cs_ControlOnly;
    } else {
        c.State = CellState::cs_Stopped;
    }
    c.StopTime = stopTime;
    if (!ownsCell(c)) {
        // The row's own record is stopped; the cell itself belongs to another row (or to
        // none) and keeps running there.
        WriteDbg("StopCell",
                 "Cell " + num(DisplayNr(slot)) + " is not attached to row " + Name +
                     " - only stopped in the row",
                 dbg().rows.load());
        return;
    }
    const int nr = c.CellNr;
    const CellState state = c.State;
    const auto keep = weak_from_this().lock();
    RowsUnlocked u(owner_.mutex());
    co2RelayOff(nr);
    env().cells.StopCell(nr, state, mode);
    if (mode == RowState::StoppedControl) env().cells.SetCellStopTime(nr, stopTime);
}

void TRow::suffixFor(bool& o2, bool& co2, std::string& suffix, bool forContinue) const {
    if (withCO2) {
        suffix = o2 && co2 ? " (O2&CO2)" : o2 ? " (O2)" : co2 ? " (CO2)" : "";
        return;
    }
    // A row without CO2 suspends the O2 part only and continues both.
    o2 = true;
    co2 = forContinue;
    suffix.clear();
}

void TRow::setStateOfCell(int cellNr, CellState state) {
    // The slot is looked up again: while the lock was let go, DeleteCell may have moved
    // the cells to close a gap.
    const int s = FindCellSlot(cellNr);
    if (s > 0)
        RowCells[static_cast<size_t>(s)].State = state;
    else
        WriteDbg("Rows", "+++ row " + Name + ": cell " + num(cellNr + env().cfg.firstCell - 1) +
                             " left the row meanwhile - state " + num(toInt(state)) + " not kept");
}

void TRow::SuspendCell(int slot, bool o2, bool co2) {
    changeSuspension(slot, true, o2, co2);
}

void TRow::UnSuspendCell(int slot, bool o2, bool co2) {
    changeSuspension(slot, false, o2, co2);
}

// Suspends (or continues) the parts the flags name of a slot's cell, in the cell model and
// in the row; a suspended part is also stopped at its device (O2) and relay (CO2).
void TRow::changeSuspension(int slot, bool suspend, bool o2, bool co2) {
    std::unique_lock lock(owner_.mutex());
    if (slot < 1 || slot > std::min(NrCells, kMaxRowCells)) return;
    RowCell& c = RowCells[static_cast<size_t>(slot)];
    if (!(suspend ? isSuspendable(c.State) : isSuspended(c.State))) return;
    if (!ownsCell(c)) {
        WriteDbg("Rows", "+++ row " + Name + ": cell " + num(DisplayNr(slot)) +
                             " is not attached to this row - " +
                             (suspend ? "not suspended" : "not continued"));
        return;
    }
    std::string suffix;
    suffixFor(o2, co2, suffix, !suspend);
    const int nr = c.CellNr;
    const std::string shown = num(DisplayNr(slot)) + suffix;
    const auto keep = weak_from_this().lock();
    CellState state{};
    {
        RowsUnlocked u(owner_.mutex());
        state =
            suspend ? env().cells.SuspendCell(nr, o2, co2) : env().cells.UnsuspendCell(nr, o2, co2);
    }
    setStateOfCell(nr, state);
    if (!suspend) {
        AddMsg(GetTextFmt("uRows", "UnSuspendCell", "Row %s: Cell %s continued !", Name, shown),
               false);
        return;
    }
    AddMsg(GetTextFmt("uRows", "SuspendCell", "Row %s: Cell %s suspended !", Name, shown), false);
    RowsUnlocked u(owner_.mutex());
    if (o2) env().cells.DeactivateCell(nr);
    if (co2) co2RelayOff(nr);
}

void TRow::co2RelayOff(int cellNr) const {
    if (!env().hooks.co2RelayOff) return;
    if (env().cfg.CDM_Present) env().hooks.co2RelayOff(cellNr, false);
    if (env().cfg.EC71_Present) env().hooks.co2RelayOff(cellNr, true);
}

void TRow::CancelCell(int slot, bool tellUser) {
    std::unique_lock lock(owner_.mutex());
    if (slot < 1 || slot > std::min(NrCells, kMaxRowCells)) return;
    const auto keep = weak_from_this().lock();
    const bool log = dbg().rows.load();
    RowCell& c = RowCells[static_cast<size_t>(slot)];
    const std::string shown = num(DisplayNr(slot));
    WriteDbg("CancelCell", "Request to cancel cell " + shown, log);
    if (c.State == CellState::cs_Running || c.State == CellState::cs_Suspended) {
        WriteDbg("CancelCell", "Request to stop running/suspended cell " + shown, log);
        c.State = CellState::cs_Cancelled;
        c.StopTime = clock().now();
        if (ownsCell(c)) {
            const int nr = c.CellNr;
            const RowState rowState = State;
            RowsUnlocked u(owner_.mutex());
            env().cells.StopCell(nr, CellState::cs_Cancelled, rowState);
        } else {
            WriteDbg("CancelCell",
                     "Cell " + shown + " is not attached to row " + Name +
                         " - only cancelled in the row",
                     log);
        }
    }
    if (tellUser)
        AddMsg(GetTextFmt("uRows", "CancelCell", "Row %s: Cell %s stopped !", Name, shown), false);
    int active = 0;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        const CellState st = RowCells[static_cast<size_t>(s)].State;
        if (st == CellState::cs_Assigned || st == CellState::cs_Running ||
            st == CellState::cs_Suspended)
            ++active;
    }
    if (active == 0) StopRow("TRow.CancelCell/n=0");
}

// ---------------------------------------------------------------------------------------
// The start dialog

bool TRow::StartDialogStartCell(int slot, bool countAfterAllCellsStarted) {
    std::unique_lock lock(owner_.mutex());
    const auto keep = weak_from_this().lock();
    bCountAfterAllCellsStarted = countAfterAllCellsStarted;
    bool anyRunning = false;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s)
        if (RowCells[static_cast<size_t>(s)].State == CellState::cs_Running) anyRunning = true;
    if (!anyRunning && !StartRow(withCO2 && co2DevicePresent())) return false;
    StartCellInRow(slot, ZeroNeeded);
    State = RowState::Running;
    bool all = NrCells > 0;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s)
        if (RowCells[static_cast<size_t>(s)].State != CellState::cs_Running) all = false;
    if (all) {
        bAllCellsStarted = true;
        owner_.SaveRowFile(env().rowFileName, true);
    }
    owner_.ResetDataDeviceQueues();
    return all;
}

bool TRow::StartDialogStartAll(bool countAfterAllCellsStarted) {
    std::unique_lock lock(owner_.mutex());
    if (NrCells <= 0) return false;
    const auto keep = weak_from_this().lock();
    bCountAfterAllCellsStarted = countAfterAllCellsStarted;
    if (State < RowState::Running && !StartRow(withCO2 && co2DevicePresent())) return false;
    const int delay = env().cfg.DelayBetweenStartCells;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        if (env().hooks.processMessages) {
            RowsUnlocked u(owner_.mutex());
            env().hooks.processMessages();
        }
        StartCellInRow(s, ZeroNeeded);
        RowsUnlocked u(owner_.mutex());
        if (env().hooks.processMessages) env().hooks.processMessages();
        if (delay > 0) clock().sleepMs(delay);
    }
    bAllCellsStarted = true;
    owner_.SaveRowFile(env().rowFileName, true);
    owner_.ResetDataDeviceQueues();
    if (bCountAfterAllCellsStarted) {
        const TDateTime t = clock().now();
        for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
            RowCell& c = RowCells[static_cast<size_t>(s)];
            c.StartTime = t;
            if (ownsCell(c)) env().cells.SetCellStartTime(c.CellNr, t);
        }
    }
    return true;
}

}  // namespace kv
