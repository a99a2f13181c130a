#include "output/row_data_model.h"

#include <algorithm>
#include <mutex>

#include "app/texts.h"
#include "common/datetime.h"
#include "common/numtext.h"
#include "common/strutil.h"
#include "rows/rows.h"

namespace kv {

namespace {

// Entry n (0-based) of a "|"-separated language text, trimmed; the first entry when the
// text has fewer.
std::string entryOf(std::string_view text, size_t n) {
    const auto parts = split(text, '|');
    if (parts.empty()) return {};
    return trimmed(n < parts.size() ? parts[n] : parts[0]);
}

std::string withUnit(double value, int unit, bool decimalComma) {
    static constexpr const char* kUnits[] = {" m", " h", " d"};
    const std::string v = realToText(value, 0, -2, decimalComma);
    return unit >= 0 && unit <= 2 ? v + kUnits[unit] : v;
}

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

// ---- texts ------------------------------------------------------------------------------

std::string DurationText(const TRow& row, bool decimalComma) {
    return withUnit(row.Duration, row.SIDuration, decimalComma);
}

std::string IntervalText(const TRow& row, bool decimalComma) {
    return withUnit(row.Interval, row.SIInterval, decimalComma);
}

std::string UnitText(const TRow& row) {
    return entryOf(GetText("frmRow", "Row_ModeEntries", "mg/l | g"), row.RowMode == 1 ? 1 : 0);
}

std::string ModeValueUnit(int rowMode) {
    const std::string u =
        entryOf(GetText("frmRow", "Row_ModeEntries_SI", "?"), rowMode == 1 ? 1 : 0);
    return u.empty() ? "?" : u;
}

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

std::string DegreeText() {
    return GetText("*", "GrdCelcius",
                   "\xC2\xB0"
                   "C");
}

std::string CellModeName(int mode) {
    // The language file names the modes; these stand in when it has none.
    return entryOf(GetText("frmRowCellEdit", "RowCell_ModeItems", "normal|check|blind|reference"),
                   static_cast<size_t>(std::clamp(mode, 0, 3)));
}

std::string SpecialColumnTitle(const TRow& row, int k, int j, bool decimalComma) {
    static const std::string kMean = " \xC3\x98";  // " Ø"
    if (k >= row.NrSpecialCells) return "Ref" + kMean;
    const double v = row.SpecialCells[static_cast<size_t>(std::max(k, 1))].value;
    const std::string title = "I=" + realToText(v, 0, -5, decimalComma);
    return title + (j == 1 ? " B(SP)" : j == 2 ? " X(G)" : kMean);
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
    auto pad = [](std::string_view s, size_t w, bool left) {
        const size_t n = utf8Length(s);
        const std::string fill(n < w ? w - n : 0, ' ');
        return left ? std::string(s) + fill : fill + std::string(s);
    };
    std::string out = pad(m.cornerText(), width[0], true);
    for (int c = 0; c < cols; ++c)
        out += "  " + pad(trim(m.header(c)), width[static_cast<size_t>(c) + 1], false);
    out += '\n';
    for (int r = 0; r < m.rowCount(); ++r) {
        std::string line = pad(m.timeText(r), width[0], true);
        for (int c = 0; c < cols; ++c)
            line += "  " + pad(trim(m.text(r, c)), width[static_cast<size_t>(c) + 1], false);
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
