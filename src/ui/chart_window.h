#pragma once
// The chart window (frmGraphic): the page preview of a row's chart, in the proportions of
// the printer's page at any window size, printer setup and print. While its row runs it
// redraws when the row takes a new time value.

#include <QImage>
#include <QPageLayout>
#include <QWidget>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "output/qt/chart_data.h"

class QPrinter;
class QTimer;

namespace kv::ui {

class UiContext;

// The page as the printer will have it, scaled into the widget. A row of many cells and
// weeks of values takes a second or more to draw, so the page is drawn on a thread of its
// own; meanwhile the widget shows the page drawn last, and the window thread goes on.
class ChartPreview : public QWidget {
    Q_OBJECT
  public:
    explicit ChartPreview(const QPrinter& printer, QWidget* parent = nullptr);
    ~ChartPreview() override;
    // The chart to show (shared with the window; never changed once handed over).
    void setData(std::shared_ptr<const ChartData> data);
    // The paper and the printable area as the last paint placed them.
    QRectF paperRect() const;
    // The chart or the page layout has changed: the page is drawn anew.
    void invalidate();
    // Pages drawn and shown so far; the page shown is that of the current chart and size.
    int drawings() const { return drawings_; }
    bool pageCurrent() const;
    // The page at `pixels`, drawn on the calling thread (what the drawing thread does).
    QImage drawPage(QSize pixels, qreal dpr) const;

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    struct Job {
        std::shared_ptr<const ChartData> data;
        QPageLayout layout;
        QSize pixels;
        qreal dpr = 1;
        int generation = 0;
    };
    static QImage drawJob(const Job& job);
    void request(QSize pixels, qreal dpr);
    void drawingThread();

    const QPrinter& printer_;
    std::shared_ptr<const ChartData> data_;
    int generation_ = 0;
    // The page shown, and what it was drawn for.
    QImage page_;
    int pageGeneration_ = -1;
    // The last page asked for.
    int requestedGeneration_ = -1;
    QSize requestedPixels_;
    int drawings_ = 0;

    std::mutex lock_;
    std::condition_variable wake_;
    std::optional<Job> job_;
    bool stop_ = false;
    std::thread thread_;
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
    const ChartData& data() const { return *data_; }
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
    std::shared_ptr<ChartData> data_;
    std::unique_ptr<QPrinter> printer_;
    ChartPreview* preview_;
    QTimer* timer_;
};

}  // namespace kv::ui
