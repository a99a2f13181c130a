#include "output/qt/output_files.h"

#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QPrinter>
#include <QPrinterInfo>
#include <cmath>
#include <mutex>

#include "app/debuglog.h"
#include "app/messages.h"
#include "common/datetime.h"
#include "common/strutil.h"
#include "output/qt/chart_draw.h"
#include "output/qt/gui_app.h"
#include "output/qt/print_row.h"
#include "rows/row_util.h"
#include "rows/rows.h"

namespace kv {

namespace {

OutputResult fail(const std::string& text) {
    WriteDbg("Output", text);
    AddMsg(text, true);
    return {false, text};
}

OutputResult success(const std::string& text) {
    WriteDbg("Output", text);
    AddMsg(text, false);
    return {true, text};
}

std::string lowerExtension(const std::string& fileName) {
    const auto dot = fileName.find_last_of('.');
    const auto slash = fileName.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string e = fileName.substr(dot + 1);
    for (char& ch : e) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return e;
}

std::string rowName(const TRow& row) {
    std::lock_guard lock(const_cast<TRows&>(row.owner()).mutex());
    return row.Name;
}

void setUpPdfPrinter(QPrinter& printer, const std::string& fileName) {
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(fileName));
    printer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                      QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter));
}

OutputResult printedTo(const TRow& row, const std::string& where, const std::string& err,
                       int pages) {
    if (!err.empty())
        return fail("Row [" + rowName(row) + "] could not be printed to [" + where + "]: " + err);
    return success("Row [" + rowName(row) + "] printed to " + where + " (" + std::to_string(pages) +
                   (pages == 1 ? " page)" : " pages)"));
}

}  // namespace

std::string ChartToPng(const ChartData& chart, const std::string& fileName,
                       const ChartFileOptions& options) {
    if (!EnsureGuiApp()) return "No graphics system available";
    const double pxPerMm = options.dpi / 25.4;
    const int w = static_cast<int>(std::lround(options.widthMm * pxPerMm));
    const int h = static_cast<int>(std::lround(options.heightMm * pxPerMm));
    if (w < 10 || h < 10 || w > 20000 || h > 20000) return "Invalid image size";
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::white);
    const int dpm = static_cast<int>(std::lround(pxPerMm * 1000));
    img.setDotsPerMeterX(dpm);
    img.setDotsPerMeterY(dpm);
    {
        QPainter p(&img);
        DrawChart(p, QRectF(0, 0, w, h), options.widthMm * 10, options.heightMm * 10, chart);
    }
    if (!img.save(QString::fromStdString(fileName), "PNG")) return "The file could not be written";
    return {};
}

std::string ChartToPdf(const ChartData& chart, const std::string& fileName,
                       const ChartFileOptions& options) {
    if (!EnsureGuiApp()) return "No graphics system available";
    QPdfWriter pdf(QString::fromStdString(fileName));
    pdf.setResolution(600);
    pdf.setTitle(QString::fromStdString(chart.title));
    pdf.setCreator("Kelvora");
    const QPageSize size(QSizeF(options.widthMm, options.heightMm), QPageSize::Millimeter);
    pdf.setPageLayout(
        QPageLayout(size, QPageLayout::Portrait, QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter));
    QPainter p;
    if (!p.begin(&pdf)) return "The file could not be written";
    DrawChart(p, QRectF(0, 0, pdf.width(), pdf.height()), options.widthMm * 10,
              options.heightMm * 10, chart);
    if (!p.end()) return "The file could not be written";
    return {};
}

OutputResult ChartRowToFile(const TRow& row, const std::string& fileName) {
    const std::string ext = lowerExtension(fileName);
    if (ext != "png" && ext != "pdf")
        return fail("Chart file [" + fileName + "]: the name must end in .png or .pdf");
    const ChartData chart = ChartDataFromRow(row);
    const std::string err =
        ext == "png" ? ChartToPng(chart, fileName) : ChartToPdf(chart, fileName);
    if (!err.empty())
        return fail("Chart of row [" + chart.title + "] not saved to [" + fileName + "]: " + err);
    return success("Chart of row [" + chart.title + "] saved to " + fileName);
}

OutputResult PrintRowToPdf(const TRow& row, const std::string& fileName,
                           const PrintOptions& options) {
    if (lowerExtension(fileName) != "pdf")
        return fail("Print file [" + fileName + "]: the name must end in .pdf");
    if (!EnsureGuiApp()) return fail("No graphics system available");
    QPrinter printer(QPrinter::HighResolution);
    setUpPdfPrinter(printer, fileName);
    int pages = 0;
    const std::string err = PrintRow(row, options, printer, &pages);
    return printedTo(row, fileName, err, pages);
}

OutputResult PrintRowToPrinter(const TRow& row, const PrintOptions& options) {
    if (!EnsureGuiApp()) return fail("No graphics system available");
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (!info.isNull()) {
        QPrinter printer(info, QPrinter::HighResolution);
        int pages = 0;
        const std::string err = PrintRow(row, options, printer, &pages);
        return printedTo(row, info.printerName().toStdString(), err, pages);
    }
    std::string folder;
    {
        std::lock_guard lock(const_cast<TRows&>(row.owner()).mutex());
        const RowsEnv& env = row.owner().env();
        folder = env.cfg.ResultPath.empty() ? env.homeFolder : slashes(env.cfg.ResultPath);
    }
    if (folder.empty()) folder = ".";
    const std::string file =
        folder + "/" + SafeFileName(rowName(row)) + "_" + fileStamp(clock().now()) + ".pdf";
    return PrintRowToPdf(row, file, options);
}

}  // namespace kv
