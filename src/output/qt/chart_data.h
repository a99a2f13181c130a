#pragma once
// What a chart shows, taken from a row in one go: the drawing then runs without the rows
// lock, so a long drawing never holds up the acquisition.

#include <QColor>
#include <string>
#include <vector>

#include "common/clock.h"

namespace kv {

class TRow;

struct ChartPoint {
    TDateTime t = 0;
    double v = 0;
};

// A value axis. Its scale exists only when min and max are numbers and differ.
struct ChartValueAxis {
    double min = 0;
    double max = 0;
    double step = 0;
    bool set = false;  // the right axis may be left out
};

struct ChartCurve {
    enum class Kind { O2, Special, CO2 };
    Kind kind = Kind::O2;
    std::string legend;
    int style = 1;      // 1..5: solid, dashed, dotted, dash-dot, dash-dot-dot
    int colour = 1;     // 1..15, see ChartColour
    int symbol = 1;     // 1..6: plus, square, circle, diamond, diagonal cross, none
    int legendBox = 1;  // 1 or 2
    int axis = 1;       // 1 left, 2 right
    std::vector<ChartPoint> points;
};

struct ChartData {
    bool hasRow = false;
    std::string title;   // the row name
    std::string footer;  // [General] Title + " - " + [General] Version
    std::string xTitle;
    std::string yTitle;   // left axis
    std::string y2Title;  // right axis, may be empty
    TDateTime xMin = 0, xMax = 0;
    double xStep = 0;  // days
    ChartValueAxis left, right;
    int legendLeftRight = 0;  // 0 left, otherwise right
    int legendTopBottom = 0;  // 0 top, otherwise bottom
    // In drawing order: per cell its O2 curve then its CO2 curve, then the special cells.
    std::vector<ChartCurve> curves;
};

struct ChartDataOptions {
    // A chart whose time range, time step or left value range was never set (the console
    // draws rows that no chart window prepared) gets them from the row's data.
    bool fillMissingRanges = true;
};

// The chart of a row as its stored chart settings describe it; takes the rows lock.
ChartData ChartDataFromRow(const TRow& row, const ChartDataOptions& options = {});

// Completes an unset time range, a time step that gives no useful ticks and an unset left
// value range from the curves (and from start/stop where there are no points).
void FillMissingChartRanges(ChartData& d, TDateTime start, TDateTime stop);

// Colour 1..15 of the chart colour table; out-of-range numbers give black.
QColor ChartColour(int n);
// Display name of colour n ("uGraphics"/n).
std::string ChartColourName(int n);
// The list texts of line styles 1..5 and symbols 1..6. With the colour names they describe
// a curve in the Graphics page's curve list.
std::string ChartLineStyleText(int n);
std::string ChartSymbolText(int n);

}  // namespace kv
