#include "output/qt/page_canvas.h"

#include <QFontMetricsF>
#include <QPen>
#include <QStringList>
#include <algorithm>
#include <cmath>

namespace kv {

QFont PageFont(double height, bool bold) {
    QFont f;
    f.setFamilies(QStringList{"Courier New", "DejaVu Sans Mono", "Liberation Mono", "monospace"});
    f.setStyleHint(QFont::TypeWriter);
    // The size is set in page units and scaled by the painter, so hinting at the nominal size
    // would only distort the metrics.
    f.setHintingPreference(QFont::PreferNoHinting);
    f.setPixelSize(std::max(1, static_cast<int>(std::lround(height))));
    f.setBold(bold);
    return f;
}

PageCanvas::PageCanvas(QPainter& painter, const QRectF& target, double width, double height,
                       bool yUp)
    : p_(painter), width_(width), height_(height) {
    sx_ = width > 0 ? target.width() / width : 1.0;
    sy_ = height > 0 ? target.height() / height : 1.0;
    t_ = QTransform(sx_, 0, 0, yUp ? -sy_ : sy_, target.left(), target.top());
    p_.setTransform(t_);
}

void PageCanvas::setPen(const QColor& c, double width, Qt::PenStyle style) {
    QPen pen(c);
    pen.setWidthF(width);
    pen.setStyle(style);
    pen.setCapStyle(Qt::FlatCap);
    pen.setJoinStyle(Qt::RoundJoin);
    p_.setPen(pen);
    p_.setBrush(Qt::NoBrush);
}

void PageCanvas::line(double x1, double y1, double x2, double y2) {
    p_.drawLine(QLineF(x1, y1, x2, y2));
}

void PageCanvas::lines(const std::vector<QLineF>& ls) {
    if (!ls.empty()) p_.drawLines(ls.data(), static_cast<int>(ls.size()));
}

void PageCanvas::rect(double x1, double y1, double x2, double y2, bool fillWhite) {
    const QRectF r = QRectF(QPointF(x1, y1), QPointF(x2, y2)).normalized();
    if (fillWhite) p_.fillRect(r, Qt::white);
    p_.drawRect(r);
}

void PageCanvas::ellipse(double cx, double cy, double rx, double ry) {
    p_.drawEllipse(QPointF(cx, cy), rx, ry);
}

void PageCanvas::polyline(const QPolygonF& pts) {
    if (pts.size() >= 2) p_.drawPolyline(pts);
}

void PageCanvas::text(double x, double y, const std::string& s, const TextStyle& st) {
    if (s.empty()) return;
    const QString qs = QString::fromStdString(s);
    const QFont f = PageFont(st.height, st.bold);
    const QFontMetricsF fm(f);
    const double w = fm.horizontalAdvance(qs);
    double dx = 0;
    if (st.h == HAlign::Center) dx = -w / 2;
    if (st.h == HAlign::Right) dx = -w;
    double dy = 0;
    if (st.v == VAlign::Top) dy = fm.ascent();
    if (st.v == VAlign::Middle) dy = (fm.ascent() - fm.descent()) / 2;
    if (st.v == VAlign::Bottom) dy = -fm.descent();
    // Text is set upright in its own frame: the page's y axis may point up, a font's never.
    const QPointF anchor = toDevice(x, y);
    QTransform tt;
    tt.translate(anchor.x(), anchor.y());
    tt.rotate(-st.angle);
    tt.scale(sx_, sy_);
    p_.save();
    p_.setTransform(tt);
    p_.setPen(Qt::black);
    p_.setFont(f);
    if (st.opaque)
        p_.fillRect(QRectF(dx, dy - fm.ascent(), w, fm.ascent() + fm.descent()), Qt::white);
    p_.drawText(QPointF(dx, dy), qs);
    p_.restore();
}

double PageCanvas::textWidth(const std::string& s, double height, bool bold) const {
    return QFontMetricsF(PageFont(height, bold)).horizontalAdvance(QString::fromStdString(s));
}

}  // namespace kv
