#pragma once
// The export of a row's evaluated values as CSV text: the row's definition as a header block,
// the cell table, the check-substance groups, then one line per time value. The spreadsheet
// export (export_xls.h) writes the same content field by field; both walk the row through
// WriteRowTable.
//
//   std::string err = ExportCSV(row, "/results/row7.csv", false, false);
//
// Errors come back as a text ("" = success) and also reach the message list and the debug
// log. The file appears only when complete (written beside it, then renamed).

#include <string>
#include <string_view>

#include "common/clock.h"

namespace kv {

class TRow;
struct Config;

// The options of section ExportOptions and the data window's choices.
struct ExportOptions {
    std::string strDelim;       // csvStrDelim: put around texts
    std::string colSep = " ";   // csvColSep: between fields
    int decimals = 1;           // csvfValue; negative: up to that many, trailing zeros cut
    bool decimalComma = false;  // csvDecimalComma
    bool perDriedMatter = false;
    bool showLF = false;  // conductivity instead of CO2 in the CO2 columns

    static ExportOptions fromConfig(const Config& cfg, bool perDriedMatter, bool showLF);
};

// Receives the fields of the export, line by line.
class RowTableSink {
  public:
    virtual ~RowTableSink() = default;
    virtual void text(std::string_view s) = 0;
    // A number with decimals as the options say (negative: up to -decimals); no value
    // gives an empty field.
    virtual void number(double v, int decimals) = 0;
    virtual void dateTime(TDateTime t) = 0;
    virtual void endLine() = 0;
};

// Which layout: the CSV file, or the workbook (which has an empty line after the cell table
// and a single one after the check-substance groups).
enum class RowTableLayout { Csv, Sheet };

// Walks the row (taking the rows lock) and hands every field to out.
void WriteRowTable(TRow& row, const ExportOptions& options, RowTableLayout layout,
                   RowTableSink& out);

// The CSV text of the row, with CR LF line ends.
std::string RowCsvText(TRow& row, const ExportOptions& options);

// Writes the CSV file with the configuration's options and the given choices. The file is
// the one exportFileFor() makes of fileName: an absolute name keeps its folder, any other
// lies in the result folder, and the name itself is made safe; an empty name gives the row
// name. savedFile receives the path written.
std::string ExportCSV(TRow& row, const std::string& fileName, bool perDriedMatter,
                      bool showLF = false, std::string* savedFile = nullptr);

}  // namespace kv
