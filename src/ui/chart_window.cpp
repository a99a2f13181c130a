#include "ui/chart_window.h"

#include <QAction>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPrinter>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include "common/clock.h"
#include "common/datetime.h"
#include "output/qt/chart_draw.h"
#include "output/qt/print_row.h"
#include "output/row_texts.h"
#include "rows/row_util.h"
#include "rows/rows.h"
#include "ui/translate.h"
#include "ui/ui_context.h"
#include "ui/window_frontend.h"

namespace kv::ui {

namespace {
constexpr int kCheckMs = 1000;
}

ChartPreview::ChartPreview(const QPrinter& printer, QWidget* parent)
    : QWidget(parent),
      printer_(printer),
      data_(std::make_shared<ChartData>()),
      thread_([this] { drawingThread(); }) {
    setObjectName("GraphicPreview");
    setMinimumSize(300, 220);
}

ChartPreview::~ChartPreview() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
    }
    wake_.notify_one();
    // A page being drawn is finished first; its result, posted to this object, is dropped
    // with it.
    thread_.join();
}

void ChartPreview::setData(std::shared_ptr<const ChartData> data) {
    data_ = std::move(data);
    invalidate();
}

QRectF ChartPreview::paperRect() const {
    return ChartPreviewLayout(QRectF(rect()).adjusted(8, 8, -8, -8), printer_.pageLayout()).paper;
}

void ChartPreview::invalidate() {
    ++generation_;
    update();
}

bool ChartPreview::pageCurrent() const {
    const QSize pixels = (QSizeF(size()) * devicePixelRatioF()).toSize();
    return pageGeneration_ == generation_ && page_.size() == pixels;
}

QImage ChartPreview::drawJob(const Job& job) {
    QImage page(job.pixels, QImage::Format_RGB32);
    page.setDevicePixelRatio(job.dpr);
    const QRectF area = QRectF(QPointF(0, 0), QSizeF(job.pixels) / job.dpr);
    QPainter p(&page);
    p.fillRect(area, QColor(0x80, 0x80, 0x80));
    const ChartPreviewRects r = ChartPreviewLayout(area.adjusted(8, 8, -8, -8), job.layout);
    p.fillRect(r.paper, Qt::white);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    if (job.data && job.data->hasRow)
        DrawChart(p, r.printable, r.pageWidth, r.pageHeight, *job.data);
    return page;
}

QImage ChartPreview::drawPage(QSize pixels, qreal dpr) const {
    return drawJob(Job{data_, printer_.pageLayout(), pixels, dpr, generation_});
}

void ChartPreview::request(QSize pixels, qreal dpr) {
    if (requestedGeneration_ == generation_ && requestedPixels_ == pixels) return;
    requestedGeneration_ = generation_;
    requestedPixels_ = pixels;
    {
        // Only the newest request counts: one not yet started is replaced.
        std::lock_guard<std::mutex> g(lock_);
        job_ = Job{data_, printer_.pageLayout(), pixels, dpr, generation_};
    }
    wake_.notify_one();
}

void ChartPreview::drawingThread() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> g(lock_);
            wake_.wait(g, [this] { return stop_ || job_.has_value(); });
            if (stop_) return;
            job = std::move(*job_);
            job_.reset();
        }
        QImage page = drawJob(job);
        QMetaObject::invokeMethod(
            this,
            [this, page = std::move(page), generation = job.generation] {
                // An older page is still better than none while the newer one is drawn.
                page_ = page;
                pageGeneration_ = generation;
                ++drawings_;
                update();
            },
            Qt::QueuedConnection);
    }
}

void ChartPreview::paintEvent(QPaintEvent*) {
    const qreal dpr = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * dpr).toSize();
    if (!pageCurrent()) request(pixels, dpr);
    QPainter p(this);
    if (page_.isNull()) {
        p.fillRect(rect(), QColor(0x80, 0x80, 0x80));
        return;
    }
    p.drawImage(QRectF(rect()), page_);
}

TfrmGraphic::TfrmGraphic(UiContext& ctx, QWidget* parent)
    : QWidget(parent, Qt::Window),
      ctx_(ctx),
      data_(std::make_shared<ChartData>()),
      printer_(std::make_unique<QPrinter>()) {
    setObjectName("frmGraphic");
    setWindowTitle("Preview");
    resize(900, 660);
    printer_->setPageOrientation(QPageLayout::Landscape);
    auto* layout = new QVBoxLayout(this);
    auto* bar = new QToolBar(this);
    bar->setObjectName("ToolBar");
    bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    auto action = [&](const char* name, const QString& text, auto slot) {
        auto* a = new QAction(text, this);
        a->setObjectName(name);
        connect(a, &QAction::triggered, this, slot);
        bar->addAction(a);
    };
    action("sbClose", "Close", [this] { close(); });
    action("sbPrinterSetup", "Printer setup", [this] {
        QPageSetupDialog dialog(printer_.get(), this);
        if (dialog.exec() == QDialog::Accepted) preview_->invalidate();
    });
    action("sbPrint", "Print", [this] { print(); });
    layout->addWidget(bar);
    preview_ = new ChartPreview(*printer_, this);
    layout->addWidget(preview_, 1);
    timer_ = new QTimer(this);
    timer_->setInterval(kCheckMs);
    connect(timer_, &QTimer::timeout, this, &TfrmGraphic::refreshIfNew);
    translateWindow(this);
}

TfrmGraphic::~TfrmGraphic() = default;

void TfrmGraphic::showRow(int rowNr) {
    rowNr_ = rowNr;
    shownEntries_ = -1;
    load();
    timer_->start();
}

void TfrmGraphic::load() {
    const auto row = rowNr_ != 0 ? ctx_.kelvora().rows.FindByUniqueNr(rowNr_) : nullptr;
    if (!row) {
        data_ = std::make_shared<ChartData>();
        setWindowTitle(langText("frmGraphic", "DefaultTitle", "Preview"));
        preview_->setData(data_);
        return;
    }
    // ChartDataFromRow takes the rows lock itself and copies what it draws.
    data_ = std::make_shared<ChartData>(ChartDataFromRow(*row));
    {
        auto lock = ctx_.kelvora().rows.lock();
        shownEntries_ = row->iRTV;
        setWindowTitle(qs(row->Name));
    }
    ++redraws_;
    preview_->setData(data_);
}

void TfrmGraphic::refreshIfNew() {
    const auto row = rowNr_ != 0 ? ctx_.kelvora().rows.FindByUniqueNr(rowNr_) : nullptr;
    if (!row) return;
    bool renew = false;
    {
        auto lock = ctx_.kelvora().rows.lock();
        renew = row->State == RowState::Running && row->iRTV != shownEntries_;
    }
    if (renew) load();
}

void TfrmGraphic::print() {
    if (!data_->hasRow) return;
    // Without a printer the page goes into a PDF file in the result folder, named apart from
    // the row's printout of the same second.
    if (!HasPrinter()) {
        const Config& cfg = ctx_.kelvora().cfg;
        std::string folder =
            cfg.ResultPath.empty() ? ctx_.kelvora().rows.env().homeFolder : slashes(cfg.ResultPath);
        const std::string file = folder + "/" + SafeFileName(data_->title) + "_chart_" +
                                 fileStamp(clock().now()) + ".pdf";
        printer_->setOutputFormat(QPrinter::PdfFormat);
        printer_->setOutputFileName(qs(file));
        const std::string err = PrintChart(*data_, *printer_);
        printer_->setOutputFileName({});
        if (!err.empty())
            ctx_.frontEnd().warning(err);
        else
            ctx_.frontEnd().information("saved to " + file);
        return;
    }
    const std::string err = PrintChart(*data_, *printer_);
    if (!err.empty()) ctx_.frontEnd().warning(err);
}

}  // namespace kv::ui
