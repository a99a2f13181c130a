#include "output/qt/print_row.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPrinterInfo>
#include <mutex>

#include "app/debuglog.h"
#include "output/qt/chart_draw.h"
#include "output/qt/page_canvas.h"
#include "rows/rows.h"

namespace kv {

namespace {

constexpr double kFontHeight = 35;  // 3.5 mm

QRectF deviceRect(const QPaintDevice& d) {
    return QRectF(0, 0, d.width(), d.height());
}

// The printable size in tenths of a millimetre.
QSizeF printableSize(const QPagedPaintDevice& d) {
    const QRectF mm = d.pageLayout().paintRect(QPageLayout::Millimeter);
    return QSizeF(mm.width() * 10, mm.height() * 10);
}

void drawPage(PageCanvas& c, const PrintPage& page, const PrintMargins& m, double charWidth) {
    c.text(c.width() - m.left, 2 * m.top, PageNumberText(page.number),
           {kFontHeight, false, 0, HAlign::Right, VAlign::Top});
    for (const PlacedLine& l : page.lines)
        for (const PrintSegment& s : l.line.segments)
            c.text(m.left + s.col * charWidth, l.y, s.text,
                   {kFontHeight, s.bold, 0, HAlign::Left, VAlign::Top});
}

}  // namespace

std::string RenderPrintout(QPagedPaintDevice& device, const std::vector<PrintBlock>& blocks,
                           const PrintMargins& margins, int* pageCount) {
    const QSizeF size = printableSize(device);
    if (size.width() < 100 || size.height() < 100) return "The printable area of the page is empty";
    PrintGeometry g;
    g.pageHeight = size.height();
    g.top = margins.top;
    const std::vector<PrintPage> pages = PaginatePrintout(blocks, g);
    QPainter p;
    if (!p.begin(&device)) return "The printer or file could not be opened";
    p.setRenderHint(QPainter::TextAntialiasing, true);
    // Columns are built from blanks, so every column is a whole number of characters.
    const double charWidth = QFontMetricsF(PageFont(kFontHeight, false)).horizontalAdvance('0');
    for (size_t k = 0; k < pages.size(); ++k) {
        if (k > 0 && !device.newPage()) {
            p.end();
            return "A new page could not be started";
        }
        PageCanvas c(p, deviceRect(device), size.width(), size.height(), false);
        drawPage(c, pages[k], margins, charWidth);
    }
    if (!p.end()) return "The print job could not be finished";
    if (pageCount != nullptr) *pageCount = static_cast<int>(pages.size());
    return {};
}

std::string PrintRow(const TRow& row, const PrintOptions& options, QPrinter& printer,
                     int* pageCount) {
    const std::vector<PrintBlock> blocks = BuildPrintout(row, options);
    PrintMargins m;
    std::string name;
    {
        std::lock_guard lock(const_cast<TRows&>(row.owner()).mutex());
        const Config& cfg = row.owner().env().cfg;
        m.left = cfg.marginLeft;
        m.top = cfg.marginTop;
        name = row.Name;
    }
    printer.setDocName(QString::fromStdString(name));
    int pages = 0;
    const std::string err = RenderPrintout(printer, blocks, m, &pages);
    WriteDbg("Print",
             "PrintRow(" + name + "): " + (err.empty() ? std::to_string(pages) + " pages" : err),
             dbg().print.load());
    if (pageCount != nullptr) *pageCount = pages;
    return err;
}

std::string PrintChart(const ChartData& chart, QPrinter& printer) {
    const QSizeF size = printableSize(printer);
    printer.setDocName(QString::fromStdString(chart.title));
    QPainter p;
    if (!p.begin(&printer)) return "The printer or file could not be opened";
    DrawChart(p, deviceRect(printer), size.width(), size.height(), chart);
    if (!p.end()) return "The print job could not be finished";
    return {};
}

bool HasPrinter() {
    return !QPrinterInfo::defaultPrinter().isNull() || !QPrinterInfo::availablePrinters().isEmpty();
}

}  // namespace kv
