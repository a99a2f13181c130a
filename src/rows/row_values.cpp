// The row time vector: allocation and growth, the periodic update, the gap filling of the
// synchronisation, the index lookup by time and the value functions.

#include <algorithm>
#include <cmath>
#include <random>

#include "acquisition/cell_state.h"
#include "app/debuglog.h"
#include "common/datetime.h"
#include "rows/row_util.h"
#include "rows/rows.h"

namespace kv {

namespace {

// Planned entries beyond this are not reserved at once; the vector grows when it fills.
constexpr long long kMaxPlannedEntries = 1000000;
// Memory reserved at allocation, in entries per cell.
constexpr int kMaxReserve = 200000;

bool countsInRow(CellState s) {
    return s == CellState::cs_Assigned || s == CellState::cs_Running ||
           s == CellState::cs_Suspended || s == CellState::cs_SuspendedO2 ||
           s == CellState::cs_SuspendedCO2;
}

int randomInt(int lo, int hi) {
    thread_local std::mt19937 gen{std::random_device{}()};
    return std::uniform_int_distribution<int>(lo, hi)(gen);
}

bool validPositive(double v) {
    return !isNoValue(v) && std::isfinite(v) && v > 0.0001;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Allocation

void TRow::AllocRTV() {
    std::lock_guard lock(owner_.mutex());
    long long planned = 0;
    if (std::isfinite(DurDays) && std::isfinite(IntDays) && IntDays > 0 && DurDays > 0)
        planned =
            std::llround(std::min(DurDays / IntDays, static_cast<double>(kMaxPlannedEntries)));
    RTVSize = static_cast<int>(planned) + kRTVSpare;
    const int reserve = std::min(RTVSize, kMaxReserve) + 1;
    RTV.clear();
    RTV.reserve(static_cast<size_t>(reserve));
    RTV.resize(1);
    iRTV = 0;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        RowCell& c = RowCells[static_cast<size_t>(s)];
        c.NValues = RTVSize;
        c.Values.clear();
        c.Values.reserve(reserve);
        c.Values.resize(1);
    }
}

void TRow::ReleaseRTV() {
    std::lock_guard lock(owner_.mutex());
    std::vector<RTVElement>().swap(RTV);
    RTVSize = 0;
    iRTV = 0;
    for (RowCell& c : RowCells) {
        c.Values.clear();
        c.NValues = 0;
    }
}

void TRow::ensureEntry(int n) {
    if (n < 1) return;
    if (RTVSize <= 0 || RTV.empty()) AllocRTV();
    if (n > RTVSize) {
        while (n > RTVSize) RTVSize += kRTVSpare;
        WriteDbg("Rows", "Row " + Name + ": time vector grown to RTVSize=" + num(RTVSize));
    }
    const auto need = static_cast<size_t>(n) + 1;
    if (RTV.size() < need) RTV.resize(std::max(need, RTV.size()));
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        RowCell& c = RowCells[static_cast<size_t>(s)];
        c.NValues = RTVSize;
        if (c.Values.size() < static_cast<int>(need)) c.Values.resize(static_cast<int>(need));
    }
}

double TRow::GetIntervalDays() {
    std::lock_guard lock(owner_.mutex());
    const double f = unitSeconds(SIInterval);
    if (f > 0 && !isNoValue(Interval)) IntDays = Interval * f * kSecond;
    return IntDays;
}

TDateTime TRow::spanStart() const {
    // Loading moves Start to the first cell's start, which may be later than the row's
    // first values (cells started one by one); realStart keeps the moment the row began.
    return realStart > 0 ? std::min(Start, realStart) : Start;
}

double TRow::intervalStep() const {
    return (std::isfinite(IntDays) && IntDays >= kSecond) ? IntDays : kSecond;
}

// ---------------------------------------------------------------------------------------
// Periodic update

bool TRow::Update(bool bForce) {
    std::lock_guard lock(owner_.mutex());
    if (owner_.startingUp() || State != RowState::Running) return true;
    const TDateTime now = clock().now();
    if (now >= Stop) NextCycle = now;
    if (bForce) NextCycle = now;
    // After the clock went back a forced value replaces the newest one: no line may be
    // dated before the line above it.
    if (iRTV >= 1 && NextCycle < RTV[static_cast<size_t>(iRTV)].dt)
        NextCycle = RTV[static_cast<size_t>(iRTV)].dt;
    if (now >= NextCycle || bForce) {
        if (!takeTimeValue(bForce)) return false;
    } else if (iRTV_lastSaved < iRTV && !writeUnsavedLines(false)) {
        return false;  // the disk is still unavailable; the values wait in memory
    }
    if (now >= Stop) {
        StopRow("TRow.Update/Now>=Stop (" + dtText(now) + "/" + dtText(Stop) + ")");
        if (env().hooks.refreshRequest) {
            RowsUnlocked u(owner_.mutex());
            env().hooks.refreshRequest();
        }
    }
    return true;
}

// The time value at NextCycle: every cell's values from the cell model, the line in the
// data file. False when the line did not reach the disk: the value stays in memory (with
// every other one not yet written) and goes into the file as soon as a write succeeds, so
// a full or read-only disk costs no time value and shifts none.
bool TRow::takeTimeValue(bool bForce) {
    Saved = false;
    int n = iRTV;
    // A second forced value within a second replaces the last one.
    if (iRTV <= 1 || std::fabs(RTV[static_cast<size_t>(iRTV)].dt - NextCycle) > kSecond) ++n;
    ensureEntry(n);
    iRTV = n;
    // A replaced value that was in the file already is appended again, as it always was.
    if (iRTV_lastSaved >= n) iRTV_lastSaved = n - 1;
    RTV[static_cast<size_t>(n)] = RTVElement{NextCycle, NoValueInt};
    const int cells = std::min(NrCells, kMaxRowCells);
    if (cells >= 1) {
        // The temperature of the case that holds the first cell.
        const int t = caseTemperatureTenths(RowCells[1].CellNr);
        RTV[static_cast<size_t>(n)].T = t;
        if (t != NoValueInt && t > 0) lastValidTemp = t;
    }
    const bool co2Device = co2DevicePresent();
    for (int s = 1; s <= cells; ++s) takeCellValue(RowCells[static_cast<size_t>(s)], n, co2Device);
    NextCycle = NextCycle + intervalStep();
    if (!writeUnsavedLines(bForce)) return false;
    WriteDbg(std::string("TRow.Update(") + boolText(bForce) + ")",
             "... finished calling DFLine(" + num(n) + ", bForce)");
    Saved = true;
    return true;
}

namespace {

// What a time value takes of a cell from the cell model.
struct LiveValues {
    bool owned = false;
    int cellCount = 0;
    int aiLast = -1;
    int co2Raw = -1;  // the CO2 raw value to store (the mean of the interval with CO2Mean)
    double lf0 = -1.0, lf = -1.0, lfTemperature = 0;
};

}  // namespace

// Element n of a cell's values: its count and, with CO2, its CO2 raw value or conductivity.
void TRow::takeCellValue(RowCell& rc, int n, bool co2Device) {
    // A row records only the cells attached to it: an imported copy whose cells belong to
    // another row must not take that row's counts.
    const int self = UniqueNr;
    const bool wantsCO2 = withCO2 && countsInRow(rc.State) && !co2Device;
    const bool mean = CO2Mean;
    LiveValues v;
    env().cells.update(rc.CellNr, [&](TCell& m) {
        v.owned = rc.bMapped && m.RowNr == self;
        if (!v.owned) return;
        v.cellCount = m.CellCount;
        v.aiLast = m.aiCO2_last;
        v.lf0 = m.cdm_LF_0;
        v.lf = m.cdm_LF;
        v.lfTemperature = m.cdm_T;
        if (!wantsCO2) return;
        if (mean) {
            v.co2Raw = m.CO2Count > 0 ? roundToInt(m.CO2Sum / m.CO2Count, -1) : -1;
            m.CO2Count = 0;
            m.CO2Sum = 0;
        } else {
            v.co2Raw = m.aiCO2_last;
        }
    });
    const bool counting = countsInRow(rc.State) && v.owned;
    rc.Values.setCount(n, counting ? v.cellCount : NoValueInt);
    if (v.owned) rc.LastCount = v.cellCount;
    if (!(withCO2 && counting)) {
        rc.Values.setLf(n, -1);
        return;
    }
    if (co2Device)
        storeConductivity(rc, n, v.lf0, v.lf, v.lfTemperature);
    else
        storeCO2Raw(rc, n, v.co2Raw, v.aiLast);
}

// Without a CO2 device: the raw value, the previous one when the device gave none; the
// first raw value of the cell is its start value.
void TRow::storeCO2Raw(RowCell& rc, int n, int raw, int aiLast) {
    if (raw < 1 && n > 1) raw = rc.Values.lf(n - 1);
    rc.Values.setLf(n, raw);
    if (rc.aiCO2_start >= 0) return;
    rc.aiCO2_start = aiLast;
    env().cells.update(rc.CellNr, [aiLast](TCell& m) { m.aiCO2_start = aiLast; });
}

// With a conductivity meter: the conductivity in millionths (the previous one when the
// meter gave none) and the meter's temperature.
void TRow::storeConductivity(RowCell& rc, int n, double lf0, double x, double temperature) {
    if (rc.cdm_LF_0 < 0) rc.cdm_LF_0 = lf0;
    if (!(x > 0) && n > 1) x = rc.Values.lf(n - 1) * 0.000001;
    if (x < 0) x = -1.0;
    rc.Values.setLf(n, roundToInt(x * 1000000.0, -1));
    rc.Values.setTlf(n, temperature);
}

// ---------------------------------------------------------------------------------------
// Gap filling and lookup by time

void TRow::fillRTV(TDateTime upTo) {
    std::lock_guard lock(owner_.mutex());
    const bool log = dbg().rows.load();
    const std::string cat = "fillRTV(upTo=" + dtText(upTo) + ")";
    WriteDbg(cat, "R=" + Name + ", iRTV=" + num(iRTV));
    auto dump = [&](const char* what) {
        if (!log) return;
        for (int i = 1; i <= iRTV; ++i)
            WriteDbg(cat, std::string(what) + num(i) + "/" +
                              dtText(RTV[static_cast<size_t>(i)].dt) + "/" +
                              num(RTV[static_cast<size_t>(i)].T));
    };
    if (iRTV == 0 || upTo < Start) return;
    dump("PRE:  iRTV/dt/T=");
    if (upTo >= Stop) upTo = Stop;
    const TDateTime now = clock().now();
    if (upTo > now) upTo = now;
    const int i0 = iRTV;
    iRTV0 = i0;
    if (upTo <= RTV[static_cast<size_t>(i0)].dt) return;
    GetIntervalDays();
    const double step = intervalStep();
    // From the last entry on, but never from before the row's start: a damaged date in
    // the last entry must not make the gap years long.
    TDateTime t = std::max(RTV[static_cast<size_t>(i0)].dt, spanStart());
    // A temperature is known only once a case device delivered one (always above 0 °C
    // in an incubator); 0 and the no-value marker mean none.
    const int t0 = lastValidTemp;
    const bool haveTemp = t0 != NoValueInt && t0 > 0;
    // The newest count of a cell is its live count: it equals the last entry's unless the
    // acquisition counted on after it (before a device was lost, or before a crash whose
    // counts came back from the count journal).
    std::vector<int> fill(static_cast<size_t>(std::min(NrCells, kMaxRowCells)) + 1, NoValueInt);
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        const RowCell& rc = RowCells[static_cast<size_t>(s)];
        const int last = rc.Values.count(i0);
        fill[static_cast<size_t>(s)] = last;
        if (last == NoValueInt || !countsInRow(rc.State) || !ownsCell(rc)) continue;
        const int live = env().cells.GetCellCount(rc.CellNr);
        if (live > last) fill[static_cast<size_t>(s)] = live;
    }
    do {
        t += step;
        if (t <= upTo + step && t <= now) {
            ensureEntry(iRTV + 1);
            ++iRTV;
            RTV[static_cast<size_t>(iRTV)] =
                RTVElement{t, haveTemp ? t0 + randomInt(0, 9) - 5 : NoValueInt};
            for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
                CellValues& v = RowCells[static_cast<size_t>(s)].Values;
                v.setCount(iRTV, fill[static_cast<size_t>(s)]);
                // The last entry's CO2 value is the newest one known (right after a reload
                // it is the slot's LastLF).
                v.setLf(iRTV, v.lf(i0));
                v.setTlf(iRTV, v.tlf(i0));
            }
        }
    } while (t < upTo);
    dump("POST: iRTV/dt/T=");
}

int TRow::get_iRTV(TDateTime dt) const {
    std::lock_guard lock(owner_.mutex());
    if (iRTV <= 0) return 0;
    const TDateTime first = RTV[1].dt;
    const TDateTime last = RTV[static_cast<size_t>(iRTV)].dt;
    // Counts are cumulative: whatever happened up to the first entry belongs to it (a
    // deviation of the stored data that docs/DATAFILES.md lists).
    if (dt <= first) return 1;
    if (last < dt) return dt <= last + 10 * kSecond ? iRTV : 0;
    // Smallest i + 1 with RTV[i].dt < dt <= RTV[i + 1].dt.
    const auto begin = RTV.begin() + 2;
    const auto end = RTV.begin() + iRTV + 1;
    const auto it =
        std::partition_point(begin, end, [dt](const RTVElement& e) { return e.dt < dt; });
    const int r = static_cast<int>(it - RTV.begin());
    if (dbg().rows.load() && r >= 2 && r <= iRTV)
        WriteDbg("get_iRTV", "Return value: " + num(r) + "   RTV[i], dt, RTV[i+1]: " +
                                 dtText(RTV[static_cast<size_t>(r - 1)].dt) + ", " + dtText(dt) +
                                 ", " + dtText(RTV[static_cast<size_t>(r)].dt));
    return r <= iRTV ? r : 0;
}

// ---------------------------------------------------------------------------------------
// Value functions

namespace {

bool validIndex(int i, int n) {
    return i >= 1 && i <= n;
}

}  // namespace

double TRow::O2Consumption(int slot, int i) const {
    std::lock_guard lock(owner_.mutex());
    if (!validIndex(slot, NrCells) || !validIndex(i, iRTV)) return NoValueReal;
    const int count = RowCells[static_cast<size_t>(slot)].Values.count(i);
    if (count < 0) return NoValueReal;
    return count * 0.25 * Tact / 30.0;
}

double TRow::BOD(int slot, int i) const {
    std::lock_guard lock(owner_.mutex());
    if (!validIndex(slot, NrCells) || !validIndex(i, iRTV)) return NoValueReal;
    const RowCell& c = RowCells[static_cast<size_t>(slot)];
    if (!validPositive(c.Vol)) return NoValueReal;
    const int count = c.Values.count(i);
    if (count < 0) return NoValueReal;
    return count / c.Vol * 250.0 * Tact / 30.0;
}

double TRow::O2PerDriedMatter(int slot, int i) const {
    std::lock_guard lock(owner_.mutex());
    if (!validIndex(slot, NrCells)) return NoValueReal;
    const RowCell& c = RowCells[static_cast<size_t>(slot)];
    if (!validPositive(c.Vol) || !validPositive(c.TS)) return NoValueReal;
    const double o2 = O2Consumption(slot, i);
    if (isNoValue(o2)) return NoValueReal;
    return (o2 / c.Vol) / (c.TS * 0.01);
}

double TRow::ConductivityFromRaw(int slot, int i) const {
    std::lock_guard lock(owner_.mutex());
    if (!validIndex(slot, NrCells)) return NoValueReal;
    const RowCell& c = RowCells[static_cast<size_t>(slot)];
    double a = 0;
    if (i == -1) {
        a = c.aiCO2_start;
    } else {
        if (!validIndex(i, iRTV)) return NoValueReal;
        a = c.Values.lf(i);
    }
    if (a < 0 || a > 1023) return NoValueReal;
    const TCell m = env().cells.cell(c.CellNr);
    if (std::fabs(static_cast<double>(m.maxADC - m.minADC)) < 0.001) return NoValueReal;
    return (a - m.minADC) * (m.maxLF - m.minLF) / (m.maxADC - m.minADC) + m.minLF;
}

double TRow::CO2FromRaw(int slot, int i) const {
    std::lock_guard lock(owner_.mutex());
    const double lf = ConductivityFromRaw(slot, i);
    if (isNoValue(lf) || lf < 0 || isNoValue(LF2CO2)) return NoValueReal;
    return lf * LF2CO2;
}

double TRow::CO2FromConductivity(int slot, int i) const {
    std::lock_guard lock(owner_.mutex());
    if (!validIndex(slot, NrCells)) return NoValueReal;
    const RowCell& c = RowCells[static_cast<size_t>(slot)];
    double x = 0;
    if (i == -1) {
        x = c.cdm_LF_0;
    } else {
        if (!validIndex(i, iRTV)) return NoValueReal;
        x = c.Values.lf(i) * 0.000001;
    }
    if (x < 0 || isNoValue(LF2CO2)) return NoValueReal;
    return x * LF2CO2;
}

double TRow::CO2ProducedWithDevice(int slot, int i) const {
    std::lock_guard lock(owner_.mutex());
    if (!validIndex(slot, NrCells)) return NoValueReal;
    const RowCell& c = RowCells[static_cast<size_t>(slot)];
    if (c.cdm_LF_0 < 0) return NoValueReal;
    const double start = CO2FromConductivity(slot, -1);
    const double now = CO2FromConductivity(slot, i);
    if (isNoValue(start) || isNoValue(now)) return NoValueReal;
    const double v = (start - now) * c.CO2Factor;
    return v < 0 ? 0.0 : v;
}

double TRow::CO2ProducedWithoutDevice(int slot, int i) const {
    std::lock_guard lock(owner_.mutex());
    if (!validIndex(slot, NrCells)) return NoValueReal;
    if (RowCells[static_cast<size_t>(slot)].aiCO2_start < 0) return NoValueReal;
    const double start = CO2FromRaw(slot, -1);
    const double now = CO2FromRaw(slot, i);
    if (isNoValue(start) || isNoValue(now)) return NoValueReal;
    return start - now;
}

double TRow::CO2Produced(int slot, int i) const {
    return co2DevicePresent() ? CO2ProducedWithDevice(slot, i) : CO2ProducedWithoutDevice(slot, i);
}

namespace {

struct Mean {
    double sum = 0;
    int n = 0;
    void add(double v) {
        if (isNoValue(v)) return;
        sum += v;
        ++n;
    }
    double value() const { return n > 0 ? sum / n : NoValueReal; }
};

}  // namespace

double TRow::MeanBODCheck(int k, int i) const {
    std::lock_guard lock(owner_.mutex());
    if (SpecialCellMode == 0 || !validIndex(k, NrSpecialCells)) return NoValueReal;
    const double sc = SpecialCells[static_cast<size_t>(k)].value;
    Mean m;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        const RowCell& c = RowCells[static_cast<size_t>(s)];
        if (c.Mode == 1 && c.Index == sc && c.State != CellState::cs_Cancelled) m.add(BOD(s, i));
    }
    return m.value();
}

double TRow::MeanBODReference(int i) const {
    std::lock_guard lock(owner_.mutex());
    if (SpecialCellMode == 0) return NoValueReal;
    Mean m;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        const RowCell& c = RowCells[static_cast<size_t>(s)];
        if (c.Mode == 3 && c.State != CellState::cs_Cancelled) m.add(BOD(s, i));
    }
    return m.value();
}

double TRow::SpecificBOD(int k, int i) const {
    std::lock_guard lock(owner_.mutex());
    if (SpecialCellMode == 0 || !validIndex(k, NrSpecialCells)) return NoValueReal;
    const double sc = SpecialCells[static_cast<size_t>(k)].value;
    Mean check, blind;
    double ptc = NoValueReal;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        const RowCell& c = RowCells[static_cast<size_t>(s)];
        const double bod = BOD(s, i);
        if (c.Mode == 1 && c.Index == sc) {
            check.add(bod);
            if (!isNoValue(bod)) ptc = c.PTC;
        } else if (c.Mode == 2 && c.State != CellState::cs_Cancelled) {
            blind.add(bod);
        }
    }
    if (check.n == 0 || blind.n == 0 || isNoValue(ptc) || std::fabs(ptc) < 0.0001)
        return NoValueReal;
    return (check.value() - blind.value()) / ptc;
}

double TRow::Degradation(int k, int i) const {
    std::lock_guard lock(owner_.mutex());
    if (SpecialCellMode == 0 || !validIndex(k, NrSpecialCells)) return NoValueReal;
    const double sc = SpecialCells[static_cast<size_t>(k)].value;
    double bth1 = NoValueReal;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        const RowCell& c = RowCells[static_cast<size_t>(s)];
        if (c.Mode == 1 && c.Index == sc && c.State != CellState::cs_Cancelled) bth1 = c.BTH1;
    }
    const double specific = SpecificBOD(k, i);
    if (isNoValue(specific) || isNoValue(bth1) || std::fabs(bth1) < 0.0001) return NoValueReal;
    return specific / bth1 * 100.0;
}

}  // namespace kv
