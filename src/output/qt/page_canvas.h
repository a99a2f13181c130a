#pragma once
// A page in tenths of a millimetre on any QPainter device (image, PDF, printer, window).
// Charts count y upward from the top edge (points of the page have negative y), printouts
// count it downward; both draw through this class, so the geometry does not depend on the
// device's resolution.

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QPolygonF>
#include <QRectF>
#include <QTransform>
#include <string>
#include <vector>

namespace kv {

enum class HAlign { Left, Center, Right };
// Middle centres the text's ascent and descent on y.
enum class VAlign { Top, Middle, Baseline, Bottom };

struct TextStyle {
    double height = 30;  // tenths of a millimetre
    bool bold = false;
    // Escapement in degrees, counter-clockwise; -90 reads from top to bottom.
    double angle = 0;
    HAlign h = HAlign::Left;
    VAlign v = VAlign::Top;
    // The text's cell is cleared to white first, so that a line under it does not run
    // through the letters.
    bool opaque = false;
};

// The page font: "Courier New" where installed, else a monospaced font of the same width
// (DejaVu Sans Mono), so that column layouts built from blanks stay aligned.
QFont PageFont(double height, bool bold);

class PageCanvas {
  public:
    // target: the device rectangle that shows the page's printable area, which measures
    // width x height tenths of a millimetre.
    PageCanvas(QPainter& painter, const QRectF& target, double width, double height, bool yUp);

    double width() const { return width_; }
    double height() const { return height_; }
    QPainter& painter() { return p_; }
    QPointF toDevice(double x, double y) const { return t_.map(QPointF(x, y)); }

    // Pen width in tenths of a millimetre.
    void setPen(const QColor& c, double width, Qt::PenStyle style = Qt::SolidLine);
    void line(double x1, double y1, double x2, double y2);
    void lines(const std::vector<QLineF>& ls);
    // Outline with the current pen; filled white first when asked (boxes over curves).
    void rect(double x1, double y1, double x2, double y2, bool fillWhite = false);
    void ellipse(double cx, double cy, double rx, double ry);
    void polyline(const QPolygonF& pts);

    void text(double x, double y, const std::string& s, const TextStyle& st);
    double textWidth(const std::string& s, double height, bool bold) const;

  private:
    QPainter& p_;
    QTransform t_;  // page -> device
    double width_, height_;
    double sx_, sy_;  // device units per tenth of a millimetre, both positive
};

}  // namespace kv
