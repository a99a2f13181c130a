// A row's record, its cells and its special-cell table.

#include <algorithm>
#include <cmath>
#include <limits>

#include "acquisition/cell_state.h"
#include "app/debuglog.h"
#include "app/password.h"
#include "app/texts.h"
#include "rows/row_util.h"
#include "rows/rows.h"

namespace kv {

std::string NewCellName(bool forTemplate, int displayNr) {
    const char* key = forTemplate ? "NewCellName_Template" : "NewCellName";
    const std::string number = std::to_string(displayNr);
    std::string text = GetText("uRowForm", key, "Cell ##");
    if (text.find("%s") != std::string::npos) return replaceFirstPercentS(text, number);
    if (const size_t at = text.find("##"); at != std::string::npos) text.replace(at, 2, number);
    return text;
}

// ---------------------------------------------------------------------------------------
// CellValues

void CellValues::resize(int n) {
    const auto s = static_cast<size_t>(std::max(n, 0));
    count_.resize(s, NoValueInt);
    if (!lf_.empty()) lf_.resize(s, -1);
    if (!tlf_.empty()) tlf_.resize(s, 0.0);
}

void CellValues::reserve(int n) {
    count_.reserve(static_cast<size_t>(std::max(n, 0)));
}

void CellValues::clear() {
    std::vector<int>().swap(count_);
    std::vector<int>().swap(lf_);
    std::vector<double>().swap(tlf_);
}

void CellValues::setLf(int i, int v) {
    if (!inRange(i)) return;
    if (lf_.empty()) {
        if (v == -1) return;
        lf_.assign(count_.size(), -1);
    }
    lf_[static_cast<size_t>(i)] = v;
}

void CellValues::setTlf(int i, double v) {
    if (!inRange(i)) return;
    if (tlf_.empty()) {
        if (v == 0.0) return;
        tlf_.assign(count_.size(), 0.0);
    }
    tlf_[static_cast<size_t>(i)] = v;
}

// ---------------------------------------------------------------------------------------
// Creation

namespace {

// Days since 1899-12-30 of 2009-07-06: the UniqueNr counts 0.864 s steps from there.
constexpr double kUniqueNrEpoch = 40000.0;

int uniqueNrFor(TDateTime now, int seed) {
    const double steps = std::trunc((now - kUniqueNrEpoch) * 100000.0);
    const double v =
        std::clamp(steps + seed, 1.0, static_cast<double>(std::numeric_limits<int>::max()));
    return static_cast<int>(v);
}

}  // namespace

TRow::TRow(TRows& owner, int seed) : owner_(owner) {
    const Config& cfg = owner_.env().cfg;
    UniqueNr = uniqueNrFor(clock().now(), seed);
    for (int s = 1; s <= kMaxRowCells; ++s)
        RowCells[static_cast<size_t>(s)].RowMode = cfg.DefRowMode;
    RowMode = cfg.DefRowMode;
    YValues = {cfg.Cnt_Y.min,
               cfg.Cnt_Y.max,
               cfg.Cnt_Y.step,
               cfg.O2_Y.min,
               cfg.O2_Y.max,
               cfg.O2_Y.step,
               0,
               0,
               0};
    YTexts = {cfg.Cnt_Y.text, cfg.O2_Y.text, ""};
    WriteDbg("Rows", "Creating new row with UniqueNr=" + num(UniqueNr));
}

RowsEnv& TRow::env() const {
    return owner_.env();
}

bool TRow::co2DevicePresent() const {
    return env().cfg.CDM_Present || env().cfg.EC71_Present;
}

int TRow::DisplayNr(int slot) const {
    if (slot < 1 || slot > kMaxRowCells) return 0;
    return RowCells[static_cast<size_t>(slot)].CellNr + env().cfg.firstCell - 1;
}

// ---------------------------------------------------------------------------------------
// Cells

int TRow::AddCell(int cellNr, const std::string& name, double vol, int mode, int rowMode,
                  double index, double ptc, double bth1) {
    std::lock_guard lock(owner_.mutex());
    if (!TCells::validCell(cellNr) || NrCells >= kMaxRowCells) return -1;
    int slot = 0;
    for (int s = 1; s <= kMaxRowCells; ++s) {
        if (RowCells[static_cast<size_t>(s)].CellNr <= 0) {
            slot = s;
            break;
        }
    }
    if (slot == 0) return -1;
    ++NrCells;
    RowCell& c = RowCells[static_cast<size_t>(slot)];
    c.CellNr = cellNr;
    c.Name = firstChars(name, kMaxTextChars);
    c.Vol = vol;
    c.Mode = mode;
    c.RowMode = rowMode;
    c.Index = index;
    c.PTC = ptc;
    c.BTH1 = bth1;
    c.LastCount = c.CounterValue;
    c.CounterValue = 0;
    c.aiCO2_start = -1;
    c.cdm_LF_0 = -1.0;
    c.LF_Last = -1.0;
    c.State = CellState::cs_Assigned;
    // A cell added to a row that already has time values needs a value for each of them
    // (no value, as it was not measured then): every reader indexes it up to iRTV.
    sizeValues(c);
    if (!isTemplate) {
        const int nr = UniqueNr;
        env().cells.update(cellNr, [&](TCell& m) {
            m.RowNr = nr;
            m.State = CellState::cs_Assigned;
            m.Volume = vol;
            m.Method = mode;
            m.RowMode = rowMode;
        });
        env().cells.SetCellCount(cellNr, 0);
    }
    WriteDbg("Rows", "Adding cell " + num(DisplayNr(slot)) + " to row " + Name +
                         ", NrCells=" + num(NrCells));
    return slot;
}

void TRow::sizeValues(RowCell& c) {
    c.Values.clear();
    if (RTV.empty()) {
        c.NValues = 0;
        return;
    }
    c.Values.reserve(static_cast<int>(RTV.capacity()));
    c.Values.resize(static_cast<int>(RTV.size()));
    c.NValues = RTVSize;
}

bool TRow::ownsCell(const RowCell& c) const {
    if (isTemplate || !c.bMapped || !TCells::validCell(c.CellNr)) return false;
    return env().cells.cell(c.CellNr).RowNr == UniqueNr;
}

void TRow::releaseCellInModel(int cellNr) {
    const double defVolume = env().cfg.DefVolume;
    env().cells.update(cellNr, [&](TCell& m) {
        m.RowNr = 0;
        m.State = CellState::cs_Free;
        m.Volume = defVolume;
        m.LastCount = m.CellCount;
        m.CellCount = 0;
        m.aiCO2_last = m.aiCO2_start = -1;
        m.cdm_T = m.cdm_LF = m.cdm_LF_0 = m.cdm_LF_Last = -1.0;
    });
}

void TRow::clearSlot(RowCell& c) {
    c.CellNr = 0;
    c.Name.clear();
    c.Vol = 0;
    c.CellTact = 0;
    c.State = CellState::cs_Free;
    c.StartTime = c.StopTime = 0;
    c.Values.clear();
    c.NValues = 0;
    c.CounterValue = c.LastCount = 0;
    c.aiCO2_start = -1;
    c.cdm_LF_0 = c.LF_Last = -1.0;
    c.ChartSel1 = ChartSel{0, {0, 0, 0, 0, 1}};
    c.ChartSel2 = ChartSel{0, {0, 0, 0, 0, 2}};
}

void TRow::DeleteCell(int slot, bool releaseInModel) {
    std::lock_guard lock(owner_.mutex());
    if (NrCells <= 0 || slot < 1 || slot > kMaxRowCells) return;
    RowCell& c = RowCells[static_cast<size_t>(slot)];
    if (!isTemplate && releaseInModel && TCells::validCell(c.CellNr)) {
        // Only a cell that is still ours: another row may have taken it meanwhile.
        if (env().cells.cell(c.CellNr).RowNr == UniqueNr) releaseCellInModel(c.CellNr);
    }
    clearSlot(c);
    --NrCells;
    WriteDbg("Rows", "Deleting cell " + num(slot + env().cfg.firstCell - 1) + " from row " + Name +
                         ", NrCells=" + num(NrCells));
    // Close the gap: every used slot keeps its order and takes its value arrays along.
    int to = 1;
    for (int from = 1; from <= kMaxRowCells; ++from) {
        RowCell& f = RowCells[static_cast<size_t>(from)];
        if (f.CellNr <= 0) continue;
        if (from != to) {
            RowCells[static_cast<size_t>(to)] = std::move(f);
            f = RowCell{};
            clearSlot(f);
        }
        ++to;
    }
}

int TRow::FindCellSlot(int cellNr) const {
    std::lock_guard lock(owner_.mutex());
    int found = 0;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s)
        if (RowCells[static_cast<size_t>(s)].CellNr == cellNr) found = s;
    return found;
}

std::string TRow::CellsOfMode(int mode, double index) const {
    std::lock_guard lock(owner_.mutex());
    std::string out;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        const RowCell& c = RowCells[static_cast<size_t>(s)];
        if (c.Mode != mode) continue;
        if (index >= 0 && c.Index != index) continue;
        if (!out.empty()) out += ", ";
        out += num(c.CellNr);
    }
    return out;
}

std::string TRow::StateText() const {
    std::lock_guard lock(owner_.mutex());
    // The language file keys the texts of the numbers 1..8.
    const int s = toInt(State);
    if (s < 1 || s > 8) return GetText("uRows", "9", "<<< invalid state >>>");
    const std::string t = GetText("uRows", num(s), defaultRowStateText(s));
    const auto bar = t.find('|');
    const std::string after = bar == std::string::npos ? t : t.substr(bar + 1);
    return after + "  (" + owner_.StateShortName(State) + ")";
}

std::vector<std::string> TRow::BuildSpecialCellTable() {
    std::lock_guard lock(owner_.mutex());
    std::vector<std::string> messages;
    int check = 0, blind = 0, reference = 0, toxicity = 0;
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        const int m = RowCells[static_cast<size_t>(s)].Mode;
        check += m == 1;
        blind += m == 2;
        reference += m == 3;
        toxicity += m == 4;
    }
    // A toxicity control (mode 4) belongs to the same set-up as check, blind and reference.
    const bool any = check + blind + reference + toxicity > 0;
    if (any) {
        if (check == 0)
            messages.push_back(
                GetText("frmRow", "RowConfig_Pruef",
                        "No cell for check substance defined - check configuration !"));
        if (blind == 0)
            messages.push_back(
                GetText("frmRow", "RowConfig_Blind",
                        "No cell for blind substance defined - check configuration !"));
        if (reference == 0)
            messages.push_back(
                GetText("frmRow", "RowConfig_Referenz",
                        "No cell for reference substance defined - check configuration !"));
    }
    SpecialCellMode = any ? 1 : 0;
    if (!any) return messages;
    NrSpecialCells = 0;
    // One entry per distinct check substance index; the last entry stands for the
    // reference cells, so at most kMaxSpecialCells - 1 substances fit.
    for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
        const RowCell& c = RowCells[static_cast<size_t>(s)];
        if (c.Mode != 1) continue;
        bool known = false;
        for (int k = 1; k <= NrSpecialCells; ++k)
            if (SpecialCells[static_cast<size_t>(k)].value == c.Index) known = true;
        if (known || NrSpecialCells >= kMaxSpecialCells - 1) continue;
        SpecialCells[static_cast<size_t>(++NrSpecialCells)].value = c.Index;
    }
    SpecialCells[static_cast<size_t>(++NrSpecialCells)].value = kReferenceIndex;
    return messages;
}

bool TRow::CheckPassword(std::string_view entry) const {
    std::lock_guard lock(owner_.mutex());
    return checkPassword(entry, PassWd, env().cfg.passwordMaster);
}

// ---------------------------------------------------------------------------------------
// Device lookups

double TRow::co2FactorOfCell(int cellNr) const {
    DeviceList& dl = env().devices;
    int d = dl.co2DeviceByCell(cellNr, false);
    if (d == 0) d = dl.dataDeviceByCell(cellNr, false);
    if (d == 0) return 1.0;
    const double f = dl.device(d).CO2_correctionFactor;
    return isNoValue(f) ? 1.0 : f;
}

int TRow::caseTemperatureTenths(int cellNr) const {
    DeviceList& dl = env().devices;
    const int d = dl.dataDeviceByCell(cellNr, false);
    if (d == 0) return NoValueInt;
    const int t = dl.caseDeviceByCase(dl.device(d).Case, false);
    if (t == 0) return NoValueInt;
    return tenthsOf(dl.device(t).lastTemp);
}

}  // namespace kv
