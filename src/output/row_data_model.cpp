#include "output/row_data_model.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "app/texts.h"
#include "common/datetime.h"
#include "common/numtext.h"
#include "common/strutil.h"
#include "output/row_texts.h"
#include "rows/rows.h"

namespace kv {

namespace {

bool validCell(const TRow& row, int slot, int i) {
    return slot >= 1 && slot <= std::min(row.NrCells, kMaxRowCells) && i >= 1 && i <= row.iRTV;
}

bool co2MeterPresent(const TRow& row) {
    const Config& cfg = row.owner().env().cfg;
    return cfg.CDM_Present || cfg.EC71_Present;
}

}  // namespace

bool parseRowValueChoice(std::string_view word, RowValueChoice& out) {
    const std::string w = toLowerAscii(trim(word));
    if (w.empty() || w == "o2") {
        out = RowValueChoice::O2;
    } else if (w == "co2") {
        out = RowValueChoice::CO2;
    } else if (w == "lf") {
        out = RowValueChoice::LF;
    } else if (w == "ts" || w == "o2ts") {
        out = RowValueChoice::O2TS;
    } else {
        return false;
    }
    return true;
}

bool rowOffersChoice(const TRow& row, RowValueChoice choice) {
    return row.withCO2 || (choice != RowValueChoice::CO2 && choice != RowValueChoice::LF);
}

// ---- units --------------------------------------------------------------------------------

std::string ChoiceUnit(const TRow& row, RowValueChoice choice) {
    switch (choice) {
        case RowValueChoice::CO2:
            return GetText("frmRowData", "SI_CO2", "CO2 mg");
        case RowValueChoice::LF:
            return GetText("frmRowData", "SI_LF", "mS/cm");
        case RowValueChoice::O2TS:
            return GetText("frmRowData", "SI_O2TS", "mg O2/g TS");
        case RowValueChoice::O2:
            break;
    }
    return ModeValueUnit(row.RowMode);
}

// ---- values -------------------------------------------------------------------------------

int UsedEntries(const TRow& row) {
    const int held = static_cast<int>(row.RTV.size()) - 1;  // element 0 is unused
    return std::max(0, std::min(row.iRTV, held));
}

double MainValue(const TRow& row, int slot, int i, bool perDriedMatter) {
    if (row.RowMode == 1)
        return perDriedMatter ? row.O2PerDriedMatter(slot, i) : row.O2Consumption(slot, i);
    return row.BOD(slot, i);
}

std::string MainValueUnit(const TRow& row, bool perDriedMatter) {
    // Only mass rows show O2 per dried matter in the exports; a volume row keeps its BOD and
    // so its unit.
    if (perDriedMatter && row.RowMode == 1) return ChoiceUnit(row, RowValueChoice::O2TS);
    return ModeValueUnit(row.RowMode);
}

double ConductivityValue(const TRow& row, int slot, int i) {
    if (!validCell(row, slot, i)) return NoValueReal;
    if (!co2MeterPresent(row)) return row.ConductivityFromRaw(slot, i);
    const int lf = row.RowCells[static_cast<size_t>(slot)].Values.lf(i);
    return lf < 0 ? NoValueReal : lf * 0.000001;
}

double ChoiceValue(const TRow& row, RowValueChoice choice, int slot, int i) {
    switch (choice) {
        case RowValueChoice::CO2:
            return row.CO2Produced(slot, i);
        case RowValueChoice::LF:
            return ConductivityValue(row, slot, i);
        case RowValueChoice::O2TS:
            return row.O2PerDriedMatter(slot, i);
        case RowValueChoice::O2:
            break;
    }
    return row.RowMode != 0 ? row.O2Consumption(slot, i) : row.BOD(slot, i);
}

std::vector<CheckGroup> CheckGroups(const TRow& row) {
    std::vector<CheckGroup> groups;
    if (row.SpecialCellMode == 0) return groups;
    const int cells = std::min(row.NrCells, kMaxRowCells);
    const int entries = std::clamp(row.NrSpecialCells - 1, 0, kMaxSpecialCells - 1);
    std::set<std::string> seen;
    for (int k = 1; k <= entries; ++k) {
        CheckGroup g;
        g.value = row.SpecialCells[static_cast<size_t>(k)].value;
        // Entries with the same value (to 5 decimals) are one group of cells.
        if (!seen.insert(realToText(g.value, 0, 5)).second) continue;
        for (int s = 1; s <= cells; ++s) {
            const RowCell& c = row.RowCells[static_cast<size_t>(s)];
            if (c.Mode != 1 || c.Index != g.value) continue;
            g.PTC = c.PTC;
            g.BTH1 = c.BTH1;
            break;
        }
        g.cells = row.CellsOfMode(1, g.value);
        groups.push_back(std::move(g));
    }
    return groups;
}

// ---- the table ----------------------------------------------------------------------------------

void RowDataModel::load(TRow& row, RowValueChoice choice) {
    std::lock_guard lock(row.owner().mutex());
    const Config& cfg = row.owner().env().cfg;
    choice_ = rowOffersChoice(row, choice) ? choice : RowValueChoice::O2;
    rowName_ = row.Name;
    unit_ = ChoiceUnit(row, choice_);
    corner_ = GetText("frmRowStatus", "dt-cell#", "date/time <> cell#");
    width_ = cfg.valueWidth;
    decimals_ = cfg.valueDecimals;
    decimalComma_ = decimalCommaFlag();

    const int cells = std::clamp(row.NrCells, 0, kMaxRowCells);
    const int lines = UsedEntries(row);
    headers_.clear();
    for (int s = 1; s <= cells; ++s)
        headers_.push_back(intToText(row.DisplayNr(s), 3) + "  (" + unit_ + ")");
    times_.assign(static_cast<size_t>(std::max(lines, 0)), 0.0);
    values_.assign(times_.size() * static_cast<size_t>(cells), NoValueReal);
    for (int i = 1; i <= lines; ++i) {
        times_[static_cast<size_t>(i - 1)] = row.RTV[static_cast<size_t>(i)].dt;
        for (int s = 1; s <= cells; ++s)
            values_[static_cast<size_t>((i - 1) * cells + s - 1)] = ChoiceValue(row, choice_, s, i);
    }
}

const std::string& RowDataModel::header(int col) const {
    static const std::string kNone;
    return col >= 0 && col < columnCount() ? headers_[static_cast<size_t>(col)] : kNone;
}

TDateTime RowDataModel::time(int row) const {
    return row >= 0 && row < rowCount() ? times_[static_cast<size_t>(row)] : 0.0;
}

std::string RowDataModel::timeText(int row) const {
    return dateTimeToText(time(row));
}

double RowDataModel::value(int row, int col) const {
    if (row < 0 || row >= rowCount() || col < 0 || col >= columnCount()) return NoValueReal;
    return values_[static_cast<size_t>(row) * headers_.size() + static_cast<size_t>(col)];
}

std::string RowDataModel::text(int row, int col) const {
    return realToText(value(row, col), width_, decimals_, decimalComma_);
}

std::string RowDataTableText(const RowDataModel& m) {
    const int cols = m.columnCount();
    std::vector<size_t> width(static_cast<size_t>(cols) + 1, 0);
    width[0] = utf8Length(m.cornerText());
    for (int r = 0; r < m.rowCount(); ++r) width[0] = std::max(width[0], m.timeText(r).size());
    for (int c = 0; c < cols; ++c) {
        size_t w = utf8Length(trim(m.header(c)));
        for (int r = 0; r < m.rowCount(); ++r) w = std::max(w, trim(m.text(r, c)).size());
        width[static_cast<size_t>(c) + 1] = w;
    }
    std::string out = PadRight(m.cornerText(), width[0]);
    for (int c = 0; c < cols; ++c)
        out += "  " + PadLeft(trim(m.header(c)), width[static_cast<size_t>(c) + 1]);
    out += '\n';
    for (int r = 0; r < m.rowCount(); ++r) {
        std::string line = PadRight(m.timeText(r), width[0]);
        for (int c = 0; c < cols; ++c)
            line += "  " + PadLeft(trim(m.text(r, c)), width[static_cast<size_t>(c) + 1]);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + '\n';
    }
    return out;
}

std::string RowDataReport(TRow& row, RowValueChoice choice, std::string& table) {
    table.clear();
    RowDataModel m;
    {
        std::lock_guard lock(row.owner().mutex());
        if (!rowOffersChoice(row, choice)) return "Row [" + row.Name + "] does not measure CO2";
        m.load(row, choice);
    }
    table = RowDataTableText(m);
    return {};
}

}  // namespace kv
