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

ChartPreview::ChartPreview(const ChartData& data, const QPrinter& printer, QWidget* parent)
    : QWidget(parent), data_(data), printer_(printer) {
    setObjectName("GraphicPreview");
    setMinimumSize(300, 220);
}

QRectF ChartPreview::paperRect() const {
    return ChartPreviewLayout(QRectF(rect()).adjusted(8, 8, -8, -8), printer_.pageLayout()).paper;
}

void ChartPreview::invalidate() {
    page_ = QImage();
    update();
}

void ChartPreview::paintEvent(QPaintEvent*) {
    const qreal dpr = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * dpr).toSize();
    if (page_.size() != pixels) {
        page_ = QImage(pixels, QImage::Format_RGB32);
        page_.setDevicePixelRatio(dpr);
        QPainter p(&page_);
        p.fillRect(rect(), QColor(0x80, 0x80, 0x80));
        const ChartPreviewRects r =
            ChartPreviewLayout(QRectF(rect()).adjusted(8, 8, -8, -8), printer_.pageLayout());
        p.fillRect(r.paper, Qt::white);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setRenderHint(QPainter::TextAntialiasing, true);
        if (data_.hasRow) DrawChart(p, r.printable, r.pageWidth, r.pageHeight, data_);
        ++drawings_;
    }
    QPainter p(this);
    p.drawImage(0, 0, page_);
}

TfrmGraphic::TfrmGraphic(UiContext& ctx, QWidget* parent)
    : QWidget(parent, Qt::Window), ctx_(ctx), printer_(std::make_unique<QPrinter>()) {
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
    preview_ = new ChartPreview(data_, *printer_, this);
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
        data_ = ChartData{};
        setWindowTitle(langText("frmGraphic", "DefaultTitle", "Preview"));
        preview_->invalidate();
        return;
    }
    // ChartDataFromRow takes the rows lock itself and copies what it draws.
    data_ = ChartDataFromRow(*row);
    {
        auto lock = ctx_.kelvora().rows.lock();
        shownEntries_ = row->iRTV;
        setWindowTitle(qs(row->Name));
    }
    ++redraws_;
    preview_->invalidate();
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
    if (!data_.hasRow) return;
    // Without a printer the page goes into a PDF file in the result folder, named apart from
    // the row's printout of the same second.
    if (!HasPrinter()) {
        const Config& cfg = ctx_.kelvora().cfg;
        std::string folder =
            cfg.ResultPath.empty() ? ctx_.kelvora().rows.env().homeFolder : slashes(cfg.ResultPath);
        const std::string file = folder + "/" + SafeFileName(data_.title) + "_chart_" +
                                 fileStamp(clock().now()) + ".pdf";
        printer_->setOutputFormat(QPrinter::PdfFormat);
        printer_->setOutputFileName(qs(file));
        const std::string err = PrintChart(data_, *printer_);
        printer_->setOutputFileName({});
        if (!err.empty())
            ctx_.frontEnd().warning(err);
        else
            ctx_.frontEnd().information("saved to " + file);
        return;
    }
    const std::string err = PrintChart(data_, *printer_);
    if (!err.empty()) ctx_.frontEnd().warning(err);
}

}  // namespace kv::ui
