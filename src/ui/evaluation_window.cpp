#include "ui/evaluation_window.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "rows/rows.h"
#include "ui/translate.h"
#include "ui/ui_context.h"

namespace kv::ui {

namespace {

constexpr int kRefreshMs = 60000;

const QColor kColours[] = {QColor(0, 90, 200),  QColor(200, 60, 0),  QColor(0, 150, 60),
                           QColor(150, 0, 150), QColor(120, 120, 0), QColor(0, 150, 160)};

bool valid(double v) {
    return !isNoValue(v) && std::isfinite(v);
}

QString number(double v, int decimals) {
    return valid(v) ? QString::number(v, 'f', decimals) : QString();
}

// Value to pixel on one axis.
struct Axis {
    double lo = 0, hi = 1, p0 = 0, p1 = 1;
    double at(double v) const { return p0 + (v - lo) / (hi - lo) * (p1 - p0); }
};

double niceStep(double span, int ticks) {
    const double raw = span / std::max(ticks, 1);
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (raw <= m * mag) return m * mag;
    return 10 * mag;
}

void drawAxes(QPainter& p, const QRectF& plot, const Axis& x, const Axis& y, double xStep,
              double yStep, const QString& xTitle, const QString& yTitle) {
    p.setPen(QPen(Qt::black, 1));
    p.drawRect(plot);
    const QFontMetrics fm(p.font());
    for (double v = x.lo; v <= x.hi + 1e-9; v += xStep) {
        const double px = x.at(v);
        p.setPen(QPen(QColor(220, 220, 220), 1));
        p.drawLine(QPointF(px, plot.top()), QPointF(px, plot.bottom()));
        p.setPen(Qt::black);
        const QString t = QString::number(v);
        p.drawText(QPointF(px - fm.horizontalAdvance(t) / 2.0, plot.bottom() + fm.height()), t);
    }
    for (double v = y.lo; v <= y.hi + 1e-9; v += yStep) {
        const double py = y.at(v);
        p.setPen(QPen(QColor(220, 220, 220), 1));
        p.drawLine(QPointF(plot.left(), py), QPointF(plot.right(), py));
        p.setPen(Qt::black);
        const QString t = QString::number(v);
        p.drawText(QPointF(plot.left() - fm.horizontalAdvance(t) - 4, py + fm.ascent() / 2.0), t);
    }
    p.drawText(QPointF(plot.center().x() - fm.horizontalAdvance(xTitle) / 2.0,
                       plot.bottom() + 2 * fm.height() + 2),
               xTitle);
    p.save();
    p.translate(plot.left() - 40, plot.center().y() + fm.horizontalAdvance(yTitle) / 2.0);
    p.rotate(-90);
    p.drawText(QPointF(0, 0), yTitle);
    p.restore();
}

void drawCurve(QPainter& p, const std::vector<double>& xs, const std::vector<double>& ys,
               const Axis& x, const Axis& y, const QPen& pen) {
    QPainterPath path;
    bool open = false;
    for (size_t i = 0; i < xs.size() && i < ys.size(); ++i) {
        if (!valid(ys[i])) continue;
        const QPointF pt(x.at(xs[i]), y.at(std::clamp(ys[i], y.lo, y.hi)));
        if (open)
            path.lineTo(pt);
        else
            path.moveTo(pt);
        open = true;
    }
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
}

void legend(QPainter& p, const QRectF& plot, const QStringList& names) {
    const QFontMetrics fm(p.font());
    double y = plot.top() + 6;
    for (int k = 0; k < names.size(); ++k) {
        const double x = plot.right() - 170;
        p.setPen(QPen(kColours[k % 6], 2));
        p.drawLine(QPointF(x, y + fm.ascent() / 2.0), QPointF(x + 24, y + fm.ascent() / 2.0));
        p.setPen(Qt::black);
        p.drawText(QPointF(x + 30, y + fm.ascent()), names[k]);
        y += fm.height() + 2;
    }
}

}  // namespace

EvaluationChart::EvaluationChart(QWidget* parent) : QWidget(parent) {
    setObjectName("chtEvaluation");
    setMinimumSize(640, 340);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
}

void EvaluationChart::setEvaluation(const EvalInput& in) {
    is301F_ = is301FInput(in);
    if (is301F_)
        f301_ = evaluate301F(in);
    else
        at4_ = evaluateAT4(in);
    update();
}

void EvaluationChart::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF plot(70, 16, width() - 90, height() - 66);
    if (plot.width() < 50 || plot.height() < 50) return;
    if (is301F_)
        draw301F(p, plot);
    else
        drawAT4(p, plot);
}

void EvaluationChart::draw301F(QPainter& p, const QRectF& plot) {
    const F301Evaluation& e = f301_;
    double lastDay = e.days.empty() ? 0 : e.days.back();
    Axis x{0, std::max(28.0, std::ceil(lastDay)), plot.left(), plot.right()};
    double top = 100;
    for (const auto* set : {&e.groups, &e.reference, &e.toxicity})
        for (const auto& g : *set)
            if (valid(g.maxValue)) top = std::max(top, std::ceil(g.maxValue / 10) * 10);
    Axis y{0, top, plot.bottom(), plot.top()};
    // The window of each test substance, shaded in its colour.
    for (size_t k = 0; k < e.groups.size(); ++k) {
        const auto& g = e.groups[k];
        if (!e.windowCriterion || !valid(g.day10)) continue;
        QColor c = kColours[k % 6];
        c.setAlpha(40);
        p.fillRect(QRectF(QPointF(x.at(g.day10), plot.top()),
                          QPointF(x.at(std::min(g.windowEnd, x.hi)), plot.bottom())),
                   c);
    }
    drawAxes(p, plot, x, y, niceStep(x.hi - x.lo, 7), niceStep(top, 5),
             langText("frmEvaluation", "AxisDays", "days"),
             langText("frmEvaluation", "AxisDegradation", "degradation (% ThOD)"));
    for (double level : {10.0, 60.0}) {
        p.setPen(QPen(QColor(90, 90, 90), 1, Qt::DashLine));
        p.drawLine(QPointF(plot.left(), y.at(level)), QPointF(plot.right(), y.at(level)));
        p.drawText(QPointF(plot.left() + 4, y.at(level) - 3), QString::number(level) + " %");
    }
    QStringList names;
    int k = 0;
    for (const auto* set : {&e.groups, &e.reference, &e.toxicity})
        for (const auto& g : *set) {
            const QColor c = kColours[k % 6];
            for (const auto& r : g.replicates)
                drawCurve(p, e.days, r, x, y, QPen(c.lighter(150), 1, Qt::DotLine));
            drawCurve(p, e.days, g.mean, x, y, QPen(c, 2));
            names << qs(g.label);
            ++k;
        }
    legend(p, plot, names);
}

void EvaluationChart::drawAT4(QPainter& p, const QRectF& plot) {
    const AT4Evaluation& e = at4_;
    const double lastHour = e.hours.empty() ? 0 : e.hours.back();
    Axis x{0, std::max(120.0, std::ceil(lastHour / 24) * 24), plot.left(), plot.right()};
    double top = 10;
    for (const auto& s : e.samples)
        for (double v : s.curve)
            if (valid(v)) top = std::max(top, v);
    top = niceStep(top, 5) * std::ceil(top / niceStep(top, 5));
    Axis y{0, top, plot.bottom(), plot.top()};
    // The 96 hours after the lag phase of each sample.
    for (size_t k = 0; k < e.samples.size(); ++k) {
        const auto& s = e.samples[k];
        if (!s.lagFound) continue;
        QColor c = kColours[k % 6];
        c.setAlpha(25);
        p.fillRect(
            QRectF(QPointF(x.at(s.lagHours), plot.top()),
                   QPointF(x.at(std::min(s.lagHours + e.lag.at4Hours, x.hi)), plot.bottom())),
            c);
    }
    drawAxes(p, plot, x, y, 24, niceStep(top, 5), langText("frmEvaluation", "AxisHours", "hours"),
             langText("frmEvaluation", "AxisO2", "O2 consumed (mg O2/g dry matter)"));
    QStringList names;
    for (size_t k = 0; k < e.samples.size(); ++k) {
        const auto& s = e.samples[k];
        const QColor c = kColours[k % 6];
        drawCurve(p, e.hours, s.curve, x, y, QPen(c, 2));
        if (s.lagFound) {
            p.setPen(QPen(c, 1, Qt::DashLine));
            for (double h : {s.lagHours, s.lagHours + e.lag.at4Hours})
                if (h <= x.hi)
                    p.drawLine(QPointF(x.at(h), plot.top()), QPointF(x.at(h), plot.bottom()));
        }
        names << QString::number(s.displayNr) + " " + qs(s.name);
    }
    legend(p, plot, names);
}

EvaluationWindow::EvaluationWindow(UiContext& ctx, int rowNr, QWidget* parent)
    : EvaluationWindow(
          [&ctx, rowNr] {
              const auto row = ctx.kelvora().rows.FindByUniqueNr(rowNr);
              return row ? evaluationInput(*row) : EvalInput{};
          },
          parent) {}

EvaluationWindow::EvaluationWindow(std::function<EvalInput()> source, QWidget* parent)
    : QDialog(parent), source_(std::move(source)) {
    build();
    refresh();
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &EvaluationWindow::refresh);
    timer->start(kRefreshMs);
}

void EvaluationWindow::build() {
    setObjectName("frmEvaluation");
    setWindowTitle("Evaluation");
    auto* layout = new QVBoxLayout(this);
    verdict_ = new QLabel(this);
    verdict_->setObjectName("lblVerdict");
    verdict_->setWordWrap(true);
    QFont f = verdict_->font();
    f.setBold(true);
    verdict_->setFont(f);
    layout->addWidget(verdict_);
    table_ = new QTableWidget(this);
    table_->setObjectName("tblChecks");
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(table_, 1);
    chart_ = new EvaluationChart(this);
    layout->addWidget(chart_, 2);
    auto* buttons = new QHBoxLayout;
    auto* refreshButton = new QPushButton("Refresh", this);
    refreshButton->setObjectName("btnRefresh");
    auto* close = new QPushButton("Close", this);
    close->setObjectName("btnClose");
    buttons->addStretch();
    buttons->addWidget(refreshButton);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(refreshButton, &QPushButton::clicked, this, &EvaluationWindow::refresh);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    resize(900, 720);
    translateWindow(this);
}

void EvaluationWindow::refresh() {
    const EvalInput in = source_();
    setWindowTitle(langFmt("frmEvaluation", "Caption", "Evaluation of %s", qs(in.rowName)));
    if (is301FInput(in))
        fill301F(in);
    else
        fillAT4(in);
    chart_->setEvaluation(in);
}

namespace {

void setRow(QTableWidget* t, int r, const QStringList& cells) {
    for (int c = 0; c < cells.size(); ++c) t->setItem(r, c, new QTableWidgetItem(cells[c]));
}

}  // namespace

void EvaluationWindow::fill301F(const EvalInput& in) {
    const F301Evaluation e = evaluate301F(in);
    QStringList verdicts;
    if (!e.ok) verdicts << qs("No evaluation: " + e.error);
    for (const auto& g : e.groups)
        verdicts << qs(g.label + ": " + g.verdictText + " (" + g.reason + ")");
    verdicts << qs(std::string("10-day window ") + (e.windowCriterion ? "applied" : "not applied"));
    verdict_->setText(verdicts.join("\n"));
    table_->clear();
    table_->setColumnCount(5);
    table_->setHorizontalHeaderLabels({"Check", "Status", "Figure", "Day", "Figure in words"});
    table_->setRowCount(static_cast<int>(e.checks.size()));
    for (size_t k = 0; k < e.checks.size(); ++k) {
        const EvalCheck& c = e.checks[k];
        setRow(table_, static_cast<int>(k),
               {qs(c.name), qs(checkStatusText(c.status)),
                number(c.figure, 1) + (valid(c.figure) ? " " + qs(c.unit) : QString()),
                number(c.day, 1), qs(c.text)});
        QColor bg = c.status == CheckStatus::Met      ? QColor(220, 245, 220)
                    : c.status == CheckStatus::NotMet ? QColor(250, 215, 215)
                                                      : QColor(240, 240, 240);
        table_->item(static_cast<int>(k), 1)->setBackground(bg);
    }
    table_->resizeColumnsToContents();
}

void EvaluationWindow::fillAT4(const EvalInput& in) {
    const AT4Evaluation e = evaluateAT4(in);
    QString v;
    if (!e.ok)
        v = qs("No evaluation: " + e.error);
    else
        v = "AT4 " + (valid(e.mean) ? number(e.mean, 2) + " mg O2/g dry matter" : QString("-")) +
            (e.complete ? QString() : QString(" (not complete)")) +
            (valid(e.relDeviation) ? ", relative deviation " + number(e.relDeviation, 1) + " %"
                                   : QString());
    verdict_->setText(v + "\n" + qs(e.rule));
    table_->clear();
    table_->setColumnCount(6);
    table_->setHorizontalHeaderLabels(
        {"Cell", "Designation", "Lag phase (h)", "AT4 (mg O2/g DM)", "Hours after lag", "Note"});
    table_->setRowCount(static_cast<int>(e.samples.size()));
    for (size_t k = 0; k < e.samples.size(); ++k) {
        const AT4Sample& s = e.samples[k];
        setRow(table_, static_cast<int>(k),
               {QString::number(s.displayNr), qs(s.name), number(s.lagHours, 2), number(s.at4, 2),
                number(s.hoursAfterLag, 1),
                qs(!s.error.empty() ? s.error : (s.complete ? "" : "not complete"))});
    }
    table_->resizeColumnsToContents();
}

void showEvaluation(UiContext& ctx, QWidget* parent, int rowNr) {
    auto* w = new EvaluationWindow(ctx, rowNr, parent);
    w->setAttribute(Qt::WA_DeleteOnClose);
    w->show();
}

}  // namespace kv::ui
