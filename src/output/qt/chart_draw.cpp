#include "output/qt/chart_draw.h"

#include <QLineF>
#include <QPolygonF>
#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "app/debuglog.h"
#include "common/datetime.h"
#include "common/numtext.h"
#include "output/qt/page_canvas.h"

namespace kv {

namespace {

// More ticks than this are not readable anyway, and a tiny step must not loop for ages.
constexpr int kMaxTicks = 1000;
constexpr double kFramePen = 3;
constexpr double kTickPen = 2;
constexpr double kCurvePen = 3;
constexpr double kSymbolPen = 2;
constexpr double kSymbolSize = 20;
constexpr double kLegendWidth = 600;

bool isNumber(double v) {
    return !isNoValue(v) && std::isfinite(v);
}

bool hasScale(const ChartValueAxis& a) {
    return a.set && isNumber(a.min) && isNumber(a.max) && a.max != a.min;
}

std::string num5(double v) {
    return realToText(v, 0, -5);
}

Qt::PenStyle penStyle(int style) {
    switch (style) {
        case 2:
            return Qt::DashLine;
        case 3:
            return Qt::DotLine;
        case 4:
            return Qt::DashDotLine;
        case 5:
            return Qt::DashDotDotLine;
        default:
            return Qt::SolidLine;
    }
}

// Symbols of one curve, gathered so that thousands of points cost a few draw calls.
struct SymbolBatch {
    int symbol = 6;
    std::vector<QLineF> lines;
    std::vector<QRectF> rects;
    std::vector<QPointF> centres;  // circles

    void add(double x, double y) {
        const double h = std::floor(kSymbolSize / 2);
        switch (symbol) {
            case 1:
                lines.emplace_back(x, y - h, x, y + h);
                lines.emplace_back(x - h, y, x + h, y);
                break;
            case 2:
                rects.emplace_back(x - h, y - h, 2 * h, 2 * h);
                break;
            case 3:
                centres.emplace_back(x, y);
                break;
            case 4:
                lines.emplace_back(x, y + h, x + h, y);
                lines.emplace_back(x + h, y, x, y - h);
                lines.emplace_back(x, y - h, x - h, y);
                lines.emplace_back(x - h, y, x, y + h);
                break;
            case 5:
                lines.emplace_back(x - h, y - h, x + h, y + h);
                lines.emplace_back(x - h, y + h, x + h, y - h);
                break;
            default:
                break;
        }
    }

    void draw(PageCanvas& c, const QColor& colour) {
        c.setPen(colour, kSymbolPen);
        c.lines(lines);
        if (!rects.empty()) c.painter().drawRects(rects.data(), static_cast<int>(rects.size()));
        const double h = std::floor(kSymbolSize / 2);
        for (const QPointF& p : centres) c.ellipse(p.x(), p.y(), h, h);
    }
};

// A stroked polyline of thousands of points is rasterised as one self-crossing outline,
// which takes time that grows faster than the number of points. In short pieces it does
// not; the dash pattern carries on from piece to piece.
void drawLongPolyline(PageCanvas& c, const QPolygonF& pts, double penWidth) {
    constexpr qsizetype kPiece = 64;
    QPainter& p = c.painter();
    QPen pen = p.pen();
    const bool dashed = pen.style() != Qt::SolidLine;
    // Round ends close the seams between the pieces of a solid line.
    if (!dashed) {
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
    }
    double offset = 0;  // in pen widths, as Qt measures dash patterns
    for (qsizetype from = 0; from + 1 < pts.size(); from += kPiece) {
        const qsizetype n = std::min(kPiece + 1, pts.size() - from);
        if (dashed) {
            pen.setDashOffset(offset);
            p.setPen(pen);
            for (qsizetype k = from; k + 1 < from + n; ++k)
                offset += QLineF(pts[k], pts[k + 1]).length() / penWidth;
        }
        p.drawPolyline(pts.constData() + from, static_cast<int>(n));
    }
}

// Of the points that fall into one pixel column of the device, the first, the lowest, the
// highest and the last draw the same line as all of them: a long series on a screen or an
// image keeps about four points per column.
QPolygonF thinToDeviceColumns(const PageCanvas& c, const QPolygonF& pts) {
    if (pts.size() < 8) return pts;
    QPolygonF out;
    out.reserve(pts.size());
    qsizetype runStart = 0;
    const auto column = [&](qsizetype k) {
        return static_cast<long long>(std::floor(c.toDevice(pts[k].x(), pts[k].y()).x()));
    };
    long long runCol = column(0);
    const auto flush = [&](qsizetype end) {  // points runStart..end-1 share a column
        qsizetype lo = runStart, hi = runStart;
        for (qsizetype k = runStart; k < end; ++k) {
            if (pts[k].y() < pts[lo].y()) lo = k;
            if (pts[k].y() > pts[hi].y()) hi = k;
        }
        qsizetype keep[4] = {runStart, std::min(lo, hi), std::max(lo, hi), end - 1};
        qsizetype last = -1;
        for (qsizetype k : keep) {
            if (k != last) out.append(pts[k]);
            last = k;
        }
    };
    for (qsizetype k = 1; k < pts.size(); ++k) {
        const long long col = column(k);
        if (col == runCol) continue;
        flush(k);
        runStart = k;
        runCol = col;
    }
    flush(pts.size());
    return out;
}

void drawTexts(PageCanvas& c, const ChartGeometry& g, const ChartData& d) {
    c.text(g.W / 2, g.frameTop() + 5, d.title, {50, true, 0, HAlign::Center, VAlign::Bottom});
    c.text(g.frameRight(), g.frameBottom() - 5, d.footer,
           {20, false, 0, HAlign::Right, VAlign::Top});
    const double plotMidX = (g.plotLeft() + g.plotRight()) / 2;
    const double plotMidY = (g.plotTop() + g.plotBottom()) / 2;
    c.text(plotMidX, g.frameBottom() + 20, d.xTitle, {50, true, 0, HAlign::Center, VAlign::Bottom});
    // Read from top to bottom, the letters' feet towards the frame edge.
    c.text(g.frameLeft(), plotMidY, d.yTitle, {50, true, -90, HAlign::Center, VAlign::Bottom});
    if (!d.y2Title.empty())
        c.text(g.frameRight() + 80, plotMidY, d.y2Title,
               {50, true, -90, HAlign::Center, VAlign::Bottom});
}

void drawTimeAxis(PageCanvas& c, const ChartGeometry& g, const ChartData& d) {
    c.setPen(Qt::black, kFramePen);
    c.line(g.plotLeft(), g.plotBottom(), g.plotRight(), g.plotBottom());
    if (!(d.xMax > d.xMin) || !(d.xStep > 0)) return;
    c.setPen(Qt::black, kTickPen);
    // The last label straddles the frame's right edge; its cell hides the line.
    const TextStyle label{30, false, 0, HAlign::Center, VAlign::Top, true};
    for (int k = 0; k <= kMaxTicks; ++k) {
        const TDateTime t = d.xMin + k * d.xStep;
        if (t > d.xMax + 1e-9) break;
        const auto x = ChartScaleX(t, g.plotLeft(), g.plotRight(), d.xMin, d.xMax);
        if (!x) break;
        c.line(*x, g.plotBottom(), *x, g.plotBottom() - 20);
        c.text(*x, g.plotBottom() - 40, dateToText(t), label);
        c.text(*x, g.plotBottom() - 70, timeToText(t), label);
    }
}

// The left axis has its labels to the left of the plot area, the right one to the right.
void drawValueAxis(PageCanvas& c, const ChartGeometry& g, const ChartData& d,
                   const ChartValueAxis& a, bool right) {
    const double x = right ? g.plotRight() : g.plotLeft();
    c.setPen(Qt::black, kFramePen);
    c.line(x, g.plotBottom(), x, g.plotTop());
    if (!hasScale(a) || !isNumber(a.step) || !(a.step > 0)) return;
    c.setPen(Qt::black, kTickPen);
    // The top label stands on the frame's edge; its cell hides the line as on the time axis.
    const TextStyle label{30, false, 0, right ? HAlign::Left : HAlign::Right, VAlign::Bottom, true};
    const double eps = std::fabs(a.step) * 1e-9;
    for (int k = 0; k <= kMaxTicks; ++k) {
        const double v = a.min + k * a.step;
        if (v > a.max + eps) break;
        const auto y = ChartScaleY(v, g.plotBottom(), g.plotTop(), a, d, false);
        if (!y) break;
        c.line(x, *y, right ? x + 20 : x - 20, *y);
        c.text(right ? x + 35 : x - 35, *y - 20, realToTextDC(v, 0, -2), label);
    }
}

void drawCurve(PageCanvas& c, const ChartGeometry& g, const ChartData& d, const ChartCurve& cv) {
    const ChartValueAxis& axis = cv.axis == 2 ? d.right : d.left;
    if (!(d.xMax > d.xMin)) return;
    if (!hasScale(axis)) {
        // Once per curve, not once per point: a long series would flood the log.
        if (!cv.points.empty())
            ChartScaleY(cv.points.front().v, g.plotBottom(), g.plotTop(), axis, d, true);
        return;
    }
    QPolygonF line;
    line.reserve(static_cast<qsizetype>(cv.points.size()));
    SymbolBatch symbols;
    symbols.symbol = cv.symbol;
    int lastX = 0, lastY = 1;  // y > 0 is never a page point
    // A symbol on a device pixel that has one of this curve's symbols already changes no
    // pixel: a long series on a screen would otherwise draw tens of thousands of them.
    std::unordered_set<long long> symbolPixels;
    const auto newSymbolPixel = [&](int x, int y) {
        const QPointF dev = c.toDevice(x, y);
        const long long key = std::llround(dev.x()) * 1000003LL + std::llround(dev.y());
        return symbolPixels.insert(key).second;
    };
    for (const ChartPoint& p : cv.points) {
        const auto x = ChartScaleX(p.t, g.plotLeft(), g.plotRight(), d.xMin, d.xMax);
        const auto y = ChartScaleY(p.v, g.plotBottom(), g.plotTop(), axis, d, false);
        if (!x || !y) continue;
        if (*x < g.plotLeft() || *x > g.plotRight() || *y < g.plotBottom() || *y > g.plotTop())
            continue;
        // Points that land on the same spot add nothing to the picture.
        if (*x == lastX && *y == lastY) continue;
        lastX = *x;
        lastY = *y;
        line.append(QPointF(*x, *y));
        if (cv.symbol >= 1 && cv.symbol <= 5 && newSymbolPixel(*x, *y)) symbols.add(*x, *y);
    }
    const QColor colour = ChartColour(cv.colour);
    c.setPen(colour, kCurvePen, penStyle(cv.style));
    drawLongPolyline(c, thinToDeviceColumns(c, line), kCurvePen);
    symbols.draw(c, colour);
}

void drawLegend(PageCanvas& c, const ChartGeometry& g, const ChartData& d) {
    for (const ChartLegendBox& b : ChartLegendBoxes(d, g)) {
        c.setPen(Qt::black, kTickPen);
        c.rect(b.left, b.top, b.right, b.bottom, true);
        int k = 1;
        for (const ChartCurve* cv : b.entries) {
            const double y = b.top - 40 * k + 15;
            const QColor colour = ChartColour(cv->colour);
            c.setPen(colour, kCurvePen, penStyle(cv->style));
            c.line(b.left + 15, y, b.left + 65, y);
            SymbolBatch s;
            s.symbol = cv->symbol;
            s.add(b.left + 30, y);
            s.draw(c, colour);
            c.text(b.left + 100, y, cv->legend, {30, false, 0, HAlign::Left, VAlign::Middle});
            ++k;
        }
    }
}

int kindOrder(ChartCurve::Kind k) {
    switch (k) {
        case ChartCurve::Kind::O2:
            return 0;
        case ChartCurve::Kind::Special:
            return 1;
        default:
            return 2;
    }
}

}  // namespace

std::optional<int> ChartScaleX(TDateTime x, double left, double right, TDateTime xMin,
                               TDateTime xMax) {
    if (!(xMax > xMin) || !std::isfinite(x)) return std::nullopt;
    const double px = (x - xMin) * (right - left) / (xMax - xMin) + left;
    if (!std::isfinite(px) || std::fabs(px) > 1e9) return std::nullopt;
    return static_cast<int>(std::lround(px));
}

std::optional<int> ChartScaleY(double v, double bottom, double top, const ChartValueAxis& axis,
                               const ChartData& d, bool log) {
    const char* error = nullptr;
    if (!isNumber(v) || !isNumber(axis.min) || !isNumber(axis.max) || !axis.set)
        error = "Invalid floating point operation";
    else if (axis.max == axis.min)
        error = "Floating point division by zero";
    double py = 0;
    if (error == nullptr) {
        py = (v - axis.min) * (top - bottom) / (axis.max - axis.min) + bottom;
        if (!std::isfinite(py) || std::fabs(py) > 1e9) error = "Floating point overflow";
    }
    if (error != nullptr) {
        if (log) {
            WriteDbg("uGraphics", "P2mmY(" + num5(v) + ", " + num5(bottom) + ", " + num5(top) +
                                      ") --> " + error);
            WriteDbg("uGraphics", "  rMinY" + num5(d.left.min) + ", rMaxY=" + num5(d.left.max) +
                                      ", rMinY2" + num5(d.right.min) +
                                      ", rMaxY2=" + num5(d.right.max));
        }
        return std::nullopt;
    }
    return static_cast<int>(std::lround(py));
}

std::vector<ChartLegendBox> ChartLegendBoxes(const ChartData& d, const ChartGeometry& g) {
    std::vector<const ChartCurve*> ordered;
    for (const ChartCurve& c : d.curves) ordered.push_back(&c);
    std::stable_sort(ordered.begin(), ordered.end(), [](const ChartCurve* a, const ChartCurve* b) {
        return kindOrder(a->kind) < kindOrder(b->kind);
    });
    std::vector<ChartLegendBox> boxes;
    for (int box = 1; box <= 2; ++box) {
        ChartLegendBox b;
        b.box = box;
        for (const ChartCurve* c : ordered)
            if (c->legendBox == box) b.entries.push_back(c);
        if (b.entries.empty()) continue;
        // The second box stands beside the first, away from the edge.
        const double offset = kLegendWidth * static_cast<double>(boxes.size());
        const double height = 40.0 * static_cast<double>(b.entries.size()) + 10;
        if (d.legendLeftRight == 0) {
            b.left = g.plotLeft() + offset;
        } else {
            b.left = g.plotRight() - offset - kLegendWidth;
        }
        b.right = b.left + kLegendWidth;
        b.top = d.legendTopBottom == 0 ? g.plotTop() : g.plotBottom() + height;
        b.bottom = b.top - height;
        boxes.push_back(std::move(b));
    }
    return boxes;
}

void DrawChart(QPainter& p, const QRectF& target, double pageWidth, double pageHeight,
               const ChartData& d) {
    if (!d.hasRow || !(pageWidth > 800) || !(pageHeight > 800)) return;
    p.save();
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    PageCanvas c(p, target, pageWidth, pageHeight, true);
    const ChartGeometry g{pageWidth, pageHeight};
    c.setPen(Qt::black, kFramePen);
    c.rect(g.frameLeft(), g.frameTop(), g.frameRight(), g.frameBottom());
    drawTexts(c, g, d);
    drawTimeAxis(c, g, d);
    drawValueAxis(c, g, d, d.left, false);
    if (d.right.set) drawValueAxis(c, g, d, d.right, true);
    for (const ChartCurve& cv : d.curves) drawCurve(c, g, d, cv);
    drawLegend(c, g, d);
    p.restore();
}

ChartPreviewRects ChartPreviewLayout(const QRectF& area, const QPageLayout& layout) {
    ChartPreviewRects r;
    const QRectF full = layout.fullRect(QPageLayout::Millimeter);
    const QRectF paint = layout.paintRect(QPageLayout::Millimeter);
    if (full.width() <= 0 || full.height() <= 0 || area.width() <= 0 || area.height() <= 0)
        return r;
    const double s = std::min(area.width() / full.width(), area.height() / full.height());
    const QSizeF paper(full.width() * s, full.height() * s);
    r.paper = QRectF(area.center() - QPointF(paper.width() / 2, paper.height() / 2), paper);
    r.printable = QRectF(r.paper.topLeft() + paint.topLeft() * s, paint.size() * s);
    r.pageWidth = paint.width() * 10;
    r.pageHeight = paint.height() * 10;
    return r;
}

}  // namespace kv
