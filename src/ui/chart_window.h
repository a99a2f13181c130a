#pragma once
// The chart window (frmGraphic): the page preview of a row's chart, in the proportions of
// the printer's page at any window size, printer setup and print. While its row runs it
// redraws when the row takes a new time value.

#include <QImage>
#include <QWidget>
#include <memory>

#include "output/qt/chart_data.h"

class QPrinter;
class QTimer;

namespace kv::ui {

class UiContext;

// The page as the printer will have it, scaled into the widget.
class ChartPreview : public QWidget {
    Q_OBJECT
  public:
    ChartPreview(const ChartData& data, const QPrinter& printer, QWidget* parent = nullptr);
    // The paper and the printable area as the last paint placed them.
    QRectF paperRect() const;
    // The chart or the page layout has changed: the next paint draws it anew. Until then
    // a paint (an expose, another window moved over it) shows the page drawn last, since a
    // long row takes a noticeable time to draw.
    void invalidate();
    int drawings() const { return drawings_; }

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    const ChartData& data_;
    const QPrinter& printer_;
    QImage page_;
    int drawings_ = 0;
};

class TfrmGraphic : public QWidget {
    Q_OBJECT
  public:
    TfrmGraphic(UiContext& ctx, QWidget* parent = nullptr);
    ~TfrmGraphic() override;
    // The row's chart with its stored settings; 0: no row (an empty page, "Preview").
    void showRow(int rowNr);
    // Takes the row's values again when it has new ones (the one-second check).
    void refreshIfNew();
    const ChartData& data() const { return data_; }
    ChartPreview* preview() const { return preview_; }
    QPrinter& printer() { return *printer_; }
    int redraws() const { return redraws_; }

  private:
    void load();
    void print();

    UiContext& ctx_;
    int rowNr_ = 0;
    int shownEntries_ = -1;
    int redraws_ = 0;
    ChartData data_;
    std::unique_ptr<QPrinter> printer_;
    ChartPreview* preview_;
    QTimer* timer_;
};

}  // namespace kv::ui
