#pragma once
// Charts and printouts as files, for the console and for scripts: each call does the whole
// job and answers with a text for the user.

#include <string>

#include "output/qt/chart_data.h"
#include "output/qt/printout.h"

namespace kv {

class TRow;

struct OutputResult {
    bool ok = false;
    std::string text;  // what happened, for the user
};

// The page of a chart file: A4 landscape without printer margins, PNG at 150 dots per inch.
struct ChartFileOptions {
    double widthMm = 297;
    double heightMm = 210;
    int dpi = 150;
};

// "" or an error text.
std::string ChartToPng(const ChartData& chart, const std::string& fileName,
                       const ChartFileOptions& options = {});
std::string ChartToPdf(const ChartData& chart, const std::string& fileName,
                       const ChartFileOptions& options = {});

// `row chart NAME FILE.png|FILE.pdf`: the row's chart with its stored settings (a range that
// was never set is taken from the data); the file type follows the extension.
OutputResult ChartRowToFile(const TRow& row, const std::string& fileName);

// `row print NAME FILE.pdf [data] [special]`: the printout as a PDF file, A4 portrait.
OutputResult PrintRowToPdf(const TRow& row, const std::string& fileName,
                           const PrintOptions& options);

// The printout on the system's default printer; when there is none, as a PDF file named
// after the row and the time in the result folder (or the home folder).
OutputResult PrintRowToPrinter(const TRow& row, const PrintOptions& options);

}  // namespace kv
