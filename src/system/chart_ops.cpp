// The chart settings of a series, as the Graphics page and the console change them: which
// curves are drawn and how, the axes and the legend.

#include <cmath>

#include "common/strutil.h"
#include "system/operation_checks.h"
#include "system/operations.h"

namespace kv {

namespace {

// The ranges of the settings: line styles, colours, symbols, legend boxes, axes.
constexpr std::array<int, 5> kSettingMax{5, 15, 6, 2, 2};

bool settingsInRange(const std::array<int, 5>& v) {
    for (size_t a = 0; a < v.size(); ++a)
        if (v[a] < 1 || v[a] > kSettingMax[a]) return false;
    return true;
}

bool finiteNumber(double v) {
    return std::isfinite(v) && !isNoValue(v);
}

}  // namespace

std::vector<CurveSetting> CurveSetting::of(const TRow& row) {
    std::vector<CurveSetting> out;
    const int n = std::min(row.NrCells, kMaxRowCells);
    for (int s = 1; s <= n; ++s) {
        const RowCell& c = row.RowCells[static_cast<size_t>(s)];
        out.push_back({Kind::O2, s, 0, "O2 " + c.Name, c.ChartSel1.shown, c.ChartSel1.v});
    }
    if (row.withCO2) {
        for (int s = 1; s <= n; ++s) {
            const RowCell& c = row.RowCells[static_cast<size_t>(s)];
            out.push_back({Kind::CO2, s, 0, "CO2 " + c.Name, c.ChartSel2.shown, c.ChartSel2.v});
        }
    }
    // Every special cell has three curves but the last, which has one.
    const int specials = std::min(row.NrSpecialCells, kMaxSpecialCells);
    for (int sc = 1; sc <= specials; ++sc) {
        const SpecialCell& cell = row.SpecialCells[static_cast<size_t>(sc)];
        const int elements = sc < specials ? 3 : 1;
        for (int e = 0; e < elements; ++e) {
            CurveSetting c{Kind::Special,
                           sc,
                           e,
                           "Special " + num(sc) + "." + num(e + 1),
                           cell.flag[static_cast<size_t>(e)],
                           {}};
            for (size_t a = 0; a < 5; ++a) c.settings[a] = cell.arr[a][static_cast<size_t>(e)];
            out.push_back(std::move(c));
        }
    }
    return out;
}

ChartAxes ChartAxes::of(const TRow& row) {
    ChartAxes a;
    a.from = row.XFromDate + row.XFromTime;
    a.to = row.XToDate + row.XToTime;
    a.step = row.XStep;
    a.unit = row.XUnit;
    for (size_t i = 0; i < a.y.size(); ++i) a.y[i] = row.YValues[i];
    a.titles = {row.YTexts[0], row.YTexts[1]};
    a.legendLeftRight = row.LegendPosition[0];
    a.legendTopBottom = row.LegendPosition[1];
    return a;
}

OpResult Operations::changeChartCurves(int rowNr, const std::vector<int>& curves,
                                       const CurveChange& change) {
    OpResult err;
    const auto row = findRow(rowNr, false, err);
    if (!row) return err;
    auto lock = k_.rows.lock();
    const std::vector<CurveSetting> all = CurveSetting::of(*row);
    // All or nothing: the settings are checked before the row takes any of them.
    std::vector<CurveSetting> changed;
    for (int i : curves) {
        if (i < 0 || i >= static_cast<int>(all.size()))
            return OpResult::failed(row->Name + " has no curve " + num(i + 1) + " (it has " +
                                    num(static_cast<long long>(all.size())) + ").");
        CurveSetting c = all[static_cast<size_t>(i)];
        change(c.shown, c.settings);
        if ((c.shown != 0 && c.shown != 1) || !settingsInRange(c.settings))
            return invalidValue("curve settings");
        changed.push_back(std::move(c));
    }
    for (const CurveSetting& c : changed) {
        if (c.kind == CurveSetting::Kind::Special) {
            SpecialCell& sc = row->SpecialCells[static_cast<size_t>(c.slot)];
            const size_t e = static_cast<size_t>(c.element);
            sc.flag[e] = c.shown;
            for (size_t a = 0; a < 5; ++a) sc.arr[a][e] = c.settings[a];
        } else {
            RowCell& cell = row->RowCells[static_cast<size_t>(c.slot)];
            ChartSel& sel = c.kind == CurveSetting::Kind::O2 ? cell.ChartSel1 : cell.ChartSel2;
            sel.shown = c.shown;
            sel.v = c.settings;
        }
    }
    row->Saved = false;
    return OpResult::done();
}

OpResult Operations::setChartAxes(int rowNr, const ChartAxes& a) {
    OpResult err;
    const auto row = findRow(rowNr, false, err);
    if (!row) return err;
    if (!(a.from > 0) || !finiteNumber(a.from)) return invalidValue("from");
    if (!(a.to > 0) || !finiteNumber(a.to)) return invalidValue("to");
    if (!finiteNumber(a.step) || a.step < 0) return invalidValue("step");
    for (double v : a.y)
        if (!finiteNumber(v)) return invalidValue("axis");
    for (const std::string& t : a.titles)
        if (hasControlChars(t)) return invalidValue("axis title");
    if (a.legendLeftRight < 0 || a.legendLeftRight > 1 || a.legendTopBottom < 0 ||
        a.legendTopBottom > 1)
        return invalidValue("legend");
    auto lock = k_.rows.lock();
    row->XFromDate = std::floor(a.from);
    row->XFromTime = a.from - std::floor(a.from);
    row->XToDate = std::floor(a.to);
    row->XToTime = a.to - std::floor(a.to);
    row->XStep = a.step;
    row->XUnit = a.unit;
    for (size_t i = 0; i < a.y.size(); ++i) row->YValues[i] = a.y[i];
    row->YTexts[0] = a.titles[0];
    row->YTexts[1] = a.titles[1];
    row->LegendPosition = {a.legendLeftRight, a.legendTopBottom};
    row->Saved = false;
    return OpResult::done();
}

}  // namespace kv
