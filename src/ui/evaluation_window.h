#pragma once
// The evaluation view of a series (frmEvaluation): the verdict, the table of validity
// checks (301F) or of the samples (AT4), and a chart — degradation in % ThOD over the days
// with the 10 % and 60 % lines and the 10-day window shaded, or the cumulative O2 curves
// per g dry matter with the lag phase and the 96 hours after it marked. It reads the row
// again on "Refresh" and every minute, so a running series is evaluated as its data grow.
// Opened from the row data window, which has asked for the row password.

#include <QDialog>
#include <functional>

#include "rows/evaluation.h"

class QLabel;
class QTableWidget;

namespace kv::ui {

class UiContext;

// The chart of the view, drawn with QPainter.
class EvaluationChart : public QWidget {
  public:
    explicit EvaluationChart(QWidget* parent = nullptr);
    void setEvaluation(const EvalInput& in);

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    void draw301F(class QPainter& p, const QRectF& plot);
    void drawAT4(class QPainter& p, const QRectF& plot);

    bool is301F_ = true;
    F301Evaluation f301_;
    AT4Evaluation at4_;
};

class EvaluationWindow : public QDialog {
  public:
    // The evaluation of series rowNr (UniqueNr) of the running program.
    EvaluationWindow(UiContext& ctx, int rowNr, QWidget* parent = nullptr);
    // The same over any source of the snapshot (the tests give hand-made data).
    explicit EvaluationWindow(std::function<EvalInput()> source, QWidget* parent = nullptr);

    void refresh();

  private:
    void build();
    void fill301F(const EvalInput& in);
    void fillAT4(const EvalInput& in);

    std::function<EvalInput()> source_;
    QLabel* verdict_ = nullptr;
    QTableWidget* table_ = nullptr;
    EvaluationChart* chart_ = nullptr;
};

// Opens the evaluation view of series rowNr beside `parent`, not modal.
void showEvaluation(UiContext& ctx, QWidget* parent, int rowNr);

}  // namespace kv::ui
