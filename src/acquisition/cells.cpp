#include "acquisition/cells.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "app/debuglog.h"
#include "common/strutil.h"

namespace kv {

namespace {

constexpr size_t kMaxNameChars = 80;

// The first n characters (not bytes) of a UTF-8 text.
std::string firstChars(const std::string& s, size_t n) {
    size_t chars = 0;
    for (size_t b = 0; b < s.size(); ++b) {
        if ((static_cast<unsigned char>(s[b]) & 0xC0) == 0x80) continue;
        if (chars == n) return s.substr(0, b);
        ++chars;
    }
    return s;
}

// Halves to even, as the device values were always rounded; out-of-range values are
// clamped so that a wild reading cannot overflow the integer field.
int roundHalfEven(double v) {
    if (std::isnan(v)) return -1;
    if (v >= std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (v <= std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    // nearbyint rounds in the current mode, which the program never changes from
    // round-to-nearest-even.
    return static_cast<int>(std::nearbyint(v));
}

}  // namespace

TCells::TCells(const Config& cfg, DeviceList& devices, RunFlags flags, StatusOutput& status,
               DeviceIoLocks& io)
    : cfg_(cfg), dl_(devices), flags_(flags), status_(status), io_(io) {
    for (int i = 1; i <= kMaxCells; ++i) cells_[static_cast<size_t>(i)].CellNr = i;
}

int TCells::logicalNr(int i) const {
    return i + cfg_.firstCell - 1;
}

TCell TCells::cell(int i) const {
    if (!validCell(i)) return TCell{};
    std::lock_guard lock(mutex_);
    return cells_[static_cast<size_t>(i)];
}

bool TCells::update(int i, const std::function<void(TCell&)>& f) {
    if (!validCell(i)) return false;
    std::lock_guard lock(mutex_);
    f(cells_[static_cast<size_t>(i)]);
    return true;
}

std::optional<RowInfo> TCells::rowOf(int rowNr) const {
    if (rowNr == 0 || rows_ == nullptr) return std::nullopt;
    return rows_->findRow(rowNr);
}

std::string TCells::rowName(int rowNr) const {
    const auto row = rowOf(rowNr);
    return row ? row->name : "n/a";
}

void TCells::logCells(const std::string& text) const {
    WriteDbg("Cells", text, dbg().cells.load());
}

// ---------------------------------------------------------------------------------------
// Hourly snapshots

void TCells::resetHourlyLocked(TCell& c) {
    c.HourlyTime = clock().now() - 1.0;
    for (int k = 1; k <= kHourlySlots; ++k) c.HourlyCount[static_cast<size_t>(k)] = NoValueInt;
}

void TCells::shiftHourlyAt(TCell& c, int value, TDateTime now) {
    if (value == 0) return;
    c.HourlyTime = now;
    for (size_t k = kHourlySlots; k >= 1; --k) c.HourlyCount[k] = c.HourlyCount[k - 1];
    c.HourlyCount[0] = value;
}

// ---------------------------------------------------------------------------------------
// Initialisation and row mapping

void TCells::InitCell(int i) {
    if (!validCell(i)) return;
    const CellSettings& s = cfg_.cell(i);
    const int nStart = std::clamp(cfg_.EC71_NrStartValues, 0, kMaxStartValues);
    std::lock_guard lock(mutex_);
    TCell& c = cells_[static_cast<size_t>(i)];
    c = TCell{};
    resetHourlyLocked(c);
    c.CellNr = i;
    c.RowMode = cfg_.DefRowMode;
    for (int k = 1; k <= nStart; ++k) {
        c.StartValues[static_cast<size_t>(k)] = -1.0;
        c.Gradients[static_cast<size_t>(k)] = 0;
    }
    c.AD_Lower = s.AD_Lower;
    c.AD_Upper = s.AD_Upper;
    c.minADC = s.minADC;
    c.minLF = s.minLF;
    c.maxADC = s.maxADC;
    c.maxLF = s.maxLF;
    c.LFFactor = s.LFFactor;
    c.LFOffset = s.LFOffset;
    if (!isNoValue(s.CellCount)) c.CellCount = s.CellCount;
    c.O2TankMax = cfg_.DefMaxO2Imp;
    if (i > cfg_.Cells) c.State = CellState::cs_NotAvailable;
}

void TCells::MapCellToRow(int i, int rowNr) {
    if (!validCell(i)) return;
    const std::string n = num(logicalNr(i));
    CellState before{}, after{};
    update(i, [&](TCell& c) {
        before = c.State;
        c.RowNr = rowNr;
        c.State = rowNr != 0 ? CellState::cs_Assigned : CellState::cs_Free;
        after = c.State;
    });
    logCells("Setting State/mapping of cell " + n + " from " + StateText(before));
    logCells("... to " + StateText(after));
    logCells("... cell is now mapped to row " + rowName(rowNr));
}

void TCells::SetCellState(int i, CellState state) {
    if (!validCell(i)) return;
    CellState before{};
    int rowNr = 0;
    update(i, [&](TCell& c) {
        before = c.State;
        c.State = state;
        rowNr = c.RowNr;
    });
    logCells("Setting (logical) State of cell " + num(logicalNr(i)) + " from " + StateText(before));
    logCells("... to " + StateText(state));
    logCells("... cell is mapped to row " + rowName(rowNr));
}

void TCells::SetCellLabel(int i, const std::string& name, double volume, double weight) {
    update(i, [&](TCell& c) {
        c.Name = firstChars(name, kMaxNameChars);
        c.Volume = volume;
        c.Weight = weight;
    });
}

void TCells::SetCellMethod(int i, int method, double index, double pTC, double bth1) {
    update(i, [&](TCell& c) {
        c.Method = method;
        c.Index = index;
        c.P_TC = pTC;
        c.BTH1 = bth1;
    });
}

void TCells::SetCellTimes(int i, TDateTime start, TDateTime stop) {
    update(i, [&](TCell& c) {
        c.StartTime = start;
        c.StopTime = stop;
    });
}

void TCells::SetCellStartTime(int i, TDateTime t) {
    update(i, [&](TCell& c) { c.StartTime = t; });
}

void TCells::SetCellStopTime(int i, TDateTime t) {
    update(i, [&](TCell& c) { c.StopTime = t; });
}

// ---------------------------------------------------------------------------------------
// State machine

void TCells::StartCell(int i, int method, int zeroNeeded, double bth1, double pTC, double index,
                       int rowMode, double weight, double volume) {
    if (!validCell(i)) return;
    int rowNr = 0;
    CellState state{};
    update(i, [&](TCell& c) {
        resetHourlyLocked(c);
        rowNr = c.RowNr;
        state = c.State;
    });
    const std::string n = num(logicalNr(i));
    WriteDbg("Cells", "Start of cell " + n + ", mapped to row " + rowName(rowNr));
    // A cell beyond the configured count has no place on any device.
    if (rowNr == 0 || state >= CellState::cs_Running || i > cfg_.Cells) return;
    status_.setPanel(StatusPanel::StatusLine, "Starting cell " + n, StatusColor::Black);
    const auto row = rowOf(rowNr);
    if (!row) return;

    SendCellTact(i);
    ActivateCell(i);
    StoreConfig(i);

    const TDateTime now = clock().now();
    const int nStart = std::clamp(cfg_.EC71_NrStartValues, 0, kMaxStartValues);
    update(i, [&](TCell& c) {
        c.StartTime = now;
        c.StopTime = row->plannedStop;
        if (volume > 0) c.Volume = volume;
        if (weight > 0) c.Weight = weight;
        c.Method = method;
        c.RowMode = rowMode;
        c.Index = index;
        c.P_TC = pTC;
        c.BTH1 = bth1;
        c.State = CellState::cs_Running;
        c.CellCount = c.LastCount = 0;
        c.ClosedCount = 0;
        c.aiCO2_start = c.aiCO2_last = c.aiCO2 = -1;
        c.CO2Count = 0;
        c.CO2Sum = 0;
        c.cdm_LF_0 = -1.0;
        c.cdm_LF_Last = c.cdm_LF_0;
        c.cdm_LF_Ref = -1.0;
        c.cdm_T = 0;
        c.nStartValues = 0;
        for (int k = 1; k <= nStart; ++k) {
            c.StartValues[static_cast<size_t>(k)] = -1.0;
            c.Gradients[static_cast<size_t>(k)] = 0;
        }
        c.WaitForZero = zeroNeeded;
        c.OutOfRangeReported = false;
    });
}

namespace {

// What the flags name is suspended: O2, CO2 or both (neither changes nothing).
CellState suspendedState(CellState s, bool o2, bool co2) {
    using enum CellState;
    if (o2 && co2) return cs_Suspended;
    if (o2) return cs_SuspendedO2;
    if (co2) return cs_SuspendedCO2;
    return s;
}

// What the flags name continues; the cell counts as suspended in both before.
CellState continuedState(bool o2, bool co2) {
    using enum CellState;
    if (o2 && co2) return cs_Running;
    if (o2) return cs_SuspendedCO2;
    if (co2) return cs_SuspendedO2;
    return cs_Suspended;
}

}  // namespace

CellState TCells::SuspendCell(int i, bool o2, bool co2) {
    return changeSuspension(i, true, o2, co2);
}

CellState TCells::UnsuspendCell(int i, bool o2, bool co2) {
    return changeSuspension(i, false, o2, co2);
}

// Suspends (or continues) what the flags name of a cell that belongs to a row; its data
// device stops (or starts again) counting it.
CellState TCells::changeSuspension(int i, bool suspend, bool o2, bool co2) {
    if (!validCell(i)) return CellState{};
    bool acted = false;
    CellState state{};
    int rowNr = 0;
    update(i, [&](TCell& c) {
        if (!suspend) resetHourlyLocked(c);
        state = c.State;
        rowNr = c.RowNr;
        if (c.RowNr == 0 || !(suspend ? isSuspendable(c.State) : isSuspended(c.State))) return;
        acted = true;
        c.State = suspend ? suspendedState(c.State, o2, co2) : continuedState(o2, co2);
        c.LastCount = c.CellCount;
        c.ClosedCount = 0;
        state = c.State;
    });
    if (!acted) return state;
    logCells((suspend ? "Suspend of cell " : "Unsuspend of cell ") + num(logicalNr(i)) +
             ", mapped to row " + rowName(rowNr));
    if (suspend)
        DeactivateCell(i);
    else
        ActivateCell(i);
    StoreConfig(i);
    return state;
}

void TCells::StopCell(int i, CellState rowCellState, RowState stopMode) {
    if (!validCell(i)) return;
    int rowNr = 0;
    update(i, [&](TCell& c) {
        resetHourlyLocked(c);
        rowNr = c.RowNr;
    });
    const std::string n = num(logicalNr(i));
    WriteDbg("Cells", "Stop of cell " + n + ", mapped to row " + rowName(rowNr));
    status_.setPanel(StatusPanel::StatusLine, "Stopping cell " + n, StatusColor::Black);
    update(i, [&](TCell& c) {
        if (stopMode == RowState::StoppedControl) {
            if (c.State == CellState::cs_Running)
                c.State = CellState::cs_ControlOnly;
            else if (isSuspended(c.State))
                c.State = CellState::cs_Suspended;
            return;
        }
        c.State = CellState::cs_Free;
        c.RowNr = 0;
        c.CellCount = c.LastCount = c.ClosedCount = 0;
        c.aiCO2_last = c.aiCO2 = c.aiCO2_start = -1;
        c.cdm_LF = c.cdm_LF_0 = c.cdm_LF_Last = c.cdm_LF_Ref = -1.0;
        c.cdm_T = 0;
    });
    // A cancelled cell gets no command here; the periodic alignment deactivates it later.
    if (rowCellState == CellState::cs_Stopped) {
        DeactivateCell(i);
        StoreConfig(i);
    }
}

void TCells::ClearCell(int i) {
    if (!validCell(i)) return;
    int rowNr = 0;
    update(i, [&](TCell& c) {
        resetHourlyLocked(c);
        rowNr = c.RowNr;
    });
    logCells("Clearing of cell " + num(logicalNr(i)) + ", mapped to row " + rowName(rowNr));
    update(i, [](TCell& c) {
        c.RowNr = 0;
        c.State = CellState::cs_Free;
        c.Name.clear();
        c.Volume = kDefaultCellVolume;
        c.Weight = 0;
        c.StartTime = c.StopTime = 0;
        c.CellCount = c.LastCount = 0;
        c.aiCO2_last = c.aiCO2 = c.aiCO2_start = -1;
        c.cdm_LF = c.cdm_LF_0 = c.cdm_LF_Last = c.cdm_LF_Ref = -1.0;
        c.cdm_T = 0;
    });
}

// ---------------------------------------------------------------------------------------
// Counters

void TCells::CountImpulse(int i) {
    update(i, [](TCell& c) {
        c.LastCount = c.CellCount;
        ++c.CellCount;
    });
}

void TCells::SetCellCount(int i, int count) {
    update(i, [count](TCell& c) {
        c.LastCount = c.CellCount;
        c.CellCount = count;
    });
}

void TCells::CountTankImpulse(int i) {
    update(i, [](TCell& c) {
        ++c.O2ImpTotal;
        ++c.O2TankUsed;
    });
}

int TCells::GetCellCount(int i) const {
    return cell(i).CellCount;
}

CellState TCells::GetCellState(int i) const {
    return cell(i).State;
}

void TCells::SetCellCO2(int i, double v) {
    if (cfg_.CDM_Present || cfg_.EC71_Present || !validCell(i)) return;
    if (std::isnan(v)) v = -1;
    const bool log = dbg().cells.load();
    const std::string n = num(logicalNr(i));
    update(i, [&](TCell& c) {
        if (c.aiCO2 >= 0 && v >= 0) {
            WriteDbg("CO2",
                     "SetCellCO2(" + n + ", " + realToText(v, 0, -3) + ")" +
                         ";  aiCO2_last=" + num(c.aiCO2),
                     log);
            if (v > c.aiCO2) {
                const double p = c.aiCO2 > 0 ? (v - c.aiCO2) / c.aiCO2 : v - c.aiCO2;
                WriteDbg("CO2", "SetCellCO2: p=" + realToText(p, 0, -3), log);
                if (p > cfg_.CO2_upIgnore) {
                    WriteDbg("CO2",
                             "Setting aiCO2 of cell " + n + " from " + realToText(v, 0, -3) +
                                 " to " + num(c.aiCO2) + " due to CO2_upIgnore",
                             log);
                    v = c.aiCO2;
                }
            }
        }
        c.aiCO2_last = c.aiCO2 = roundHalfEven(v);
        if (v >= 0) {
            ++c.CO2Count;
            c.CO2Sum += v;
        }
    });
}

}  // namespace kv
