#pragma once
// The chart page: one routine for the chart window's preview, the printer and image/PDF
// files. Page units are tenths of a millimetre with the origin at the top left of the
// printable area and y growing upward, so every point of the page has y <= 0.

#include <QPageLayout>
#include <QPainter>
#include <QRectF>
#include <optional>
#include <vector>

#include "output/qt/chart_data.h"

namespace kv {

// The fixed layout of a page of W x H units.
struct ChartGeometry {
    double W = 0, H = 0;
    double frameLeft() const { return 200; }
    double frameTop() const { return -200; }
    double frameRight() const { return W - 200; }
    double frameBottom() const { return 200 - H; }
    double plotLeft() const { return 400; }
    double plotTop() const { return -200; }
    double plotRight() const { return W - 200; }
    double plotBottom() const { return 400 - H; }
};

// Date-time to page x, rounded to whole units; nullopt when the time range is empty.
std::optional<int> ChartScaleX(TDateTime x, double left, double right, TDateTime xMin,
                               TDateTime xMax);
// Value to page y on an axis, rounded; nullopt (and the "P2mmY(" lines in the debug log when
// log is set) when the axis has no scale.
std::optional<int> ChartScaleY(double v, double bottom, double top, const ChartValueAxis& axis,
                               const ChartData& d, bool log);

// One legend box: its number, its corners (top > bottom) and its curves in legend order.
struct ChartLegendBox {
    int box = 1;
    double left = 0, top = 0, right = 0, bottom = 0;
    std::vector<const ChartCurve*> entries;
};
std::vector<ChartLegendBox> ChartLegendBoxes(const ChartData& d, const ChartGeometry& g);

// Draws one page. target: the device rectangle that shows the printable area, which
// measures pageWidth x pageHeight tenths of a millimetre. The caller clears the background.
void DrawChart(QPainter& p, const QRectF& target, double pageWidth, double pageHeight,
               const ChartData& d);

// The chart window's preview: the paper of the printer's layout fitted into area, centred,
// with the printable area inside it at the printer's offsets, both scaled alike.
struct ChartPreviewRects {
    QRectF paper;
    QRectF printable;
    double pageWidth = 0, pageHeight = 0;  // printable size in tenths of a millimetre
};
ChartPreviewRects ChartPreviewLayout(const QRectF& area, const QPageLayout& layout);

}  // namespace kv
