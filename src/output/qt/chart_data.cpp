#include "output/qt/chart_data.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <mutex>

#include "app/texts.h"
#include "common/numtext.h"
#include "output/row_data_model.h"
#include "output/row_texts.h"
#include "rows/rows.h"

namespace kv {

namespace {

struct NamedColour {
    const char* name;
    unsigned rgb;
};

constexpr std::array<NamedColour, 15> kColours{{
    {"Black", 0x000000},
    {"Maroon", 0x800000},
    {"Green", 0x008000},
    {"Olive", 0x808000},
    {"Navy", 0x000080},
    {"Purple", 0x800080},
    {"Teal", 0x008080},
    {"Gray", 0x808080},
    {"Silver", 0xC0C0C0},
    {"Red", 0xFF0000},
    {"Lime", 0x00FF00},
    {"Blue", 0x0000FF},
    {"Fuchsia", 0xFF00FF},
    {"Aqua", 0x00FFFF},
    {"White", 0xFFFFFF},
}};

int inRange(int v, int lo, int hi, int def) {
    return v >= lo && v <= hi ? v : def;
}

// The curve settings as stored; a 0 (never set) becomes the first choice, the axis of a
// CO2 curve the right one.
void applySettings(ChartCurve& c, int style, int colour, int symbol, int box, int axis,
                   int defAxis) {
    c.style = inRange(style, 1, 5, 1);
    c.colour = inRange(colour, 1, 15, 1);
    c.symbol = inRange(symbol, 1, 6, 1);
    c.legendBox = inRange(box, 1, 2, 1);
    c.axis = axis == 0 ? defAxis : inRange(axis, 1, 2, 1);
}

template <typename F>
void collect(const TRow& row, ChartCurve& c, F value) {
    const int n = UsedEntries(row);
    c.points.reserve(static_cast<size_t>(n));
    for (int i = 1; i <= n; ++i) {
        const double v = value(i);
        if (isNoValue(v) || !(v >= 0)) continue;
        c.points.push_back({row.RTV[static_cast<size_t>(i)].dt, v});
    }
}

bool isNumber(double v) {
    return !isNoValue(v) && std::isfinite(v);
}

double stepInDays(double step, TimeUnit unit) {
    if (!isNumber(step)) return 0;
    // A number that is no unit counts as days, as the chart settings always did.
    if (unit == TimeUnit::Minutes || unit == TimeUnit::Hours)
        return step / (unitSeconds(TimeUnit::Days) / unitSeconds(unit));
    return step;
}

void addCellCurves(const TRow& row, ChartData& d) {
    for (int s = 1; s <= std::min(row.NrCells, kMaxRowCells); ++s) {
        const RowCell& rc = row.RowCells[static_cast<size_t>(s)];
        const std::string name = rc.Name.empty() ? "#" + std::to_string(row.DisplayNr(s)) : rc.Name;
        if (rc.ChartSel1.shown != 0) {
            ChartCurve c;
            c.kind = ChartCurve::Kind::O2;
            c.legend = name;
            const auto& v = rc.ChartSel1.v;
            applySettings(c, v[0], v[1], v[2], v[3], v[4], 1);
            // What the data window shows without a choice: rows by mass the O2 consumption
            // in mg, rows by volume the BOD.
            collect(row, c, [&](int i) { return ChoiceValue(row, RowValueChoice::O2, s, i); });
            d.curves.push_back(std::move(c));
        }
        if (row.withCO2 && rc.ChartSel2.shown != 0) {
            ChartCurve c;
            c.kind = ChartCurve::Kind::CO2;
            c.legend = name + " CO2";
            const auto& v = rc.ChartSel2.v;
            applySettings(c, v[0], v[1], v[2], v[3], v[4], 2);
            collect(row, c, [&](int i) { return row.CO2Produced(s, i); });
            d.curves.push_back(std::move(c));
        }
    }
}

void addSpecialCurves(const TRow& row, ChartData& d) {
    if (row.SpecialCellMode == 0) return;
    const int n = std::clamp(row.NrSpecialCells, 0, kMaxSpecialCells);
    for (int k = 1; k <= n; ++k) {
        const SpecialCell& sc = row.SpecialCells[static_cast<size_t>(k)];
        // The last entry stands for the reference cells and has only their mean.
        const bool reference = k == n;
        for (int j = 0; j < (reference ? 1 : 3); ++j) {
            const auto ju = static_cast<size_t>(j);
            if (sc.flag[ju] == 0) continue;
            ChartCurve c;
            c.kind = ChartCurve::Kind::Special;
            c.legend = reference ? ReferenceColumnTitle()
                                 : SpecialColumnTitle(sc.value, j + 1, decimalCommaFlag());
            applySettings(c, sc.arr[0][ju], sc.arr[1][ju], sc.arr[2][ju], sc.arr[3][ju],
                          sc.arr[4][ju], 1);
            if (reference)
                collect(row, c, [&](int i) { return row.MeanBODReference(i); });
            else if (j == 0)
                collect(row, c, [&](int i) { return row.SpecificBOD(k, i); });
            else if (j == 1)
                collect(row, c, [&](int i) { return row.Degradation(k, i); });
            else
                collect(row, c, [&](int i) { return row.MeanBODCheck(k, i); });
            d.curves.push_back(std::move(c));
        }
    }
}

// 1, 2, 2.5 or 5 times a power of ten, at least v.
double niceCeil(double v) {
    if (!(v > 0)) return 1;
    const double p = std::pow(10.0, std::floor(std::log10(v)));
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (m * p >= v * (1 - 1e-12)) return m * p;
    return 10 * p;
}

double niceTimeStep(double spanDays) {
    constexpr double kMin = 1.0 / 1440.0;
    static const double kSteps[] = {kMin,      2 * kMin, 5 * kMin, 10 * kMin, 15 * kMin,
                                    30 * kMin, 1.0 / 24, 2.0 / 24, 3.0 / 24,  6.0 / 24,
                                    12.0 / 24, 1.0,      2.0,      7.0,       14.0,
                                    28.0,      91.0,     182.0,    364.0};
    for (double s : kSteps)
        if (spanDays / s <= 12) return s;
    return 364.0 * std::ceil(spanDays / 364.0 / 12);
}

}  // namespace

ChartData ChartDataFromRow(const TRow& row, const ChartDataOptions& options) {
    // Locking is not a change of the row; the collection's lock is only reachable mutable.
    std::lock_guard lock(const_cast<TRows&>(row.owner()).mutex());
    ChartData d;
    d.hasRow = true;
    const Config& cfg = row.owner().env().cfg;
    d.title = row.Name;
    d.footer = cfg.Title + " - " + cfg.generalVersion;
    d.xTitle = GetText("uGraphicWdw", "xAxeText", "date/time");
    d.yTitle = row.YTexts[1];
    d.y2Title = row.YTexts[2];
    d.xMin = row.XFromDate + row.XFromTime;
    d.xMax = row.XToDate + row.XToTime;
    d.xStep = stepInDays(row.XStep, row.XUnit);
    // YValues 4..6 belong to the O2 axis on the left, 7..9 to the CO2 axis on the right.
    d.left = {row.YValues[3], row.YValues[4], row.YValues[5], true};
    d.right = {row.YValues[6], row.YValues[7], row.YValues[8],
               isNumber(row.YValues[6]) && isNumber(row.YValues[7])};
    d.legendLeftRight = row.LegendPosition[0];
    d.legendTopBottom = row.LegendPosition[1];
    addCellCurves(row, d);
    addSpecialCurves(row, d);
    if (options.fillMissingRanges) {
        // The Graphics page always stores a time range with the axes. A row without one
        // carries only the configured default axes (0..250 "n/a"), which hide values below
        // 1 and name no unit: such a chart is scaled to its data and titled with the units.
        const bool prepared = row.XFromDate + row.XFromTime > 0 && row.XToDate + row.XToTime > 0;
        if (!prepared) {
            d.left = {NoValueReal, NoValueReal, 0, false};
            d.yTitle = ChoiceUnit(row, RowValueChoice::O2);
            d.right = {NoValueReal, NoValueReal, 0, false};
            d.y2Title.clear();
            if (row.withCO2) d.y2Title = ChoiceUnit(row, RowValueChoice::CO2);
        }
        FillMissingChartRanges(d, row.Start, row.Stop);
        if (!d.right.set) d.y2Title.clear();
    }
    return d;
}

namespace {

// 0 up to a round value at or above the largest value; a step of about a tenth of that.
void scaleToValues(ChartValueAxis& a, double vMax) {
    a.min = 0;
    a.max = niceCeil(vMax);
    a.step = niceCeil((a.max - a.min) / 10);
    a.set = true;
}

}  // namespace

void FillMissingChartRanges(ChartData& d, TDateTime start, TDateTime stop) {
    double tMin = std::numeric_limits<double>::max(), tMax = -tMin, vMax = 0, v2Max = 0;
    bool rightCurves = false;
    for (const ChartCurve& c : d.curves) {
        if (c.axis == 2) rightCurves = true;
        for (const ChartPoint& p : c.points) {
            tMin = std::min(tMin, p.t);
            tMax = std::max(tMax, p.t);
            (c.axis == 1 ? vMax : v2Max) = std::max(c.axis == 1 ? vMax : v2Max, p.v);
        }
    }
    const bool timeUnset = !(d.xMin > 0) || !(d.xMax > d.xMin);
    if (timeUnset) {
        if (tMin <= tMax) {
            d.xMin = tMin;
            d.xMax = tMax;
        } else {
            d.xMin = start;
            d.xMax = stop;
        }
        if (d.xMin > 0 && !(d.xMax > d.xMin)) d.xMax = d.xMin + 1.0 / 24;
    }
    const double span = d.xMax - d.xMin;
    if (span > 0) {
        const double ticks = d.xStep > 0 ? span / d.xStep : 0;
        if (ticks < 2 || ticks > 40) d.xStep = niceTimeStep(span);
        if (timeUnset) {
            // Whole steps at the ends make readable tick labels.
            const double s = d.xStep;
            d.xMin = std::floor(d.xMin / s + 1e-9) * s;
            d.xMax = std::ceil(d.xMax / s - 1e-9) * s;
            if (!(d.xMax > d.xMin)) d.xMax = d.xMin + s;
        }
    }
    ChartValueAxis& l = d.left;
    if (!isNumber(l.min) || !isNumber(l.max) || !(l.max > l.min)) scaleToValues(l, vMax);
    if (!isNumber(l.step) || !(l.step > 0) || (l.max - l.min) / l.step > 50)
        l.step = niceCeil((l.max - l.min) / 10);
    l.set = true;
    // Curves on the right axis that has no range would not be drawn at all.
    ChartValueAxis& r = d.right;
    if (rightCurves && (!isNumber(r.min) || !isNumber(r.max) || !(r.max > r.min)))
        scaleToValues(r, v2Max);
}

QColor ChartColour(int n) {
    if (n < 1 || n > 15) return Qt::black;
    const unsigned rgb = kColours[static_cast<size_t>(n - 1)].rgb;
    return QColor(static_cast<int>(rgb >> 16), static_cast<int>((rgb >> 8) & 0xFF),
                  static_cast<int>(rgb & 0xFF));
}

std::string ChartColourName(int n) {
    if (n < 1 || n > 15) return {};
    return GetText("uGraphics", std::to_string(n), kColours[static_cast<size_t>(n - 1)].name);
}

std::string ChartLineStyleText(int n) {
    static const char* const kTexts[] = {"------", "- - -", "......", "-.-.-.", "-..-.."};
    return n >= 1 && n <= 5 ? kTexts[n - 1] : "";
}

std::string ChartSymbolText(int n) {
    static const char* const kTexts[] = {"+", "[]", "o", "<>", "x", " "};
    return n >= 1 && n <= 6 ? kTexts[n - 1] : "";
}

}  // namespace kv
