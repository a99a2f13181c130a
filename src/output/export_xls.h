#pragma once
// The spreadsheet export of a row: the content of the CSV export (export_csv.h) in a new
// one-sheet workbook (.xlsx), one field per cell, numbers stored as numbers rounded as the
// CSV file shows them, date-times as dates. And the row data window's save command, which
// picks the export by the file name.
//
// Errors come back as a text ("" = success) and also reach the message list and the debug
// log. The file appears only when complete.

#include <string>
#include <string_view>

#include "output/row_data_model.h"

namespace kv {

class TRow;

// Writes the workbook. The file name is taken as ExportCSV takes it; a name ending in
// ".xls" gets ".xlsx", the format actually written. savedFile receives the path written.
std::string ExportXLS(TRow& row, const std::string& fileName, bool perDriedMatter,
                      bool showLF = false, std::string* savedFile = nullptr);

// A name ending in ".xls" or ".xlsx" (any case) asks for the spreadsheet export.
bool isSpreadsheetFileName(std::string_view fileName);

// The data window's save: the spreadsheet export for a spreadsheet name, else the CSV
// export, with the window's choice (O2 TS: values per dried matter; LF: conductivity in the
// CO2 columns).
std::string SaveRowDataFile(TRow& row, const std::string& fileName, RowValueChoice choice,
                            std::string* savedFile = nullptr);

}  // namespace kv
