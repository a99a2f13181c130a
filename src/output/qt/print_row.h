#pragma once
// Printing: the row printout and the chart on a printer, or in a PDF file when there is no
// printer or a file is wanted.

#include <QPagedPaintDevice>
#include <QPrinter>
#include <string>
#include <vector>

#include "output/qt/chart_data.h"
#include "output/qt/printout.h"

namespace kv {

class TRow;

// Left margin L and top margin M in tenths of a millimetre ("Printer" left and top).
struct PrintMargins {
    double left = 200;
    double top = 200;
};

// Draws the pages on a paged device (a QPrinter or a QPdfWriter) in the printout font,
// 3.5 mm high, with the page number at the top right of each page. "" or an error text.
std::string RenderPrintout(QPagedPaintDevice& device, const std::vector<PrintBlock>& blocks,
                           const PrintMargins& margins, int* pageCount = nullptr);

// PrintRow: one print job of the row on the printer as the caller has set it up (a real
// printer, or PDF output). "" or an error text.
std::string PrintRow(const TRow& row, const PrintOptions& options, QPrinter& printer,
                     int* pageCount = nullptr);

// The chart page on the printer (the chart window's print command); "" or an error text.
std::string PrintChart(const ChartData& chart, QPrinter& printer);

// True when the system knows a printer to print on (the windows offer printing then).
bool HasPrinter();

}  // namespace kv
