#include "output/export_xls.h"

#include <algorithm>

#include "common/datetime.h"
#include "common/numtext.h"
#include "common/strutil.h"
#include "output/export_csv.h"
#include "output/export_steps.h"
#include "output/xlsx_writer.h"
#include "rows/rows.h"

namespace kv {

namespace {

constexpr std::string_view kDbgCategory = "ExportXLS";

// The number format that shows what the CSV file would: fixed decimals, or General for "up
// to n decimals" (the value is rounded already, General drops the trailing zeros).
std::string numberFormat(int decimals) {
    if (decimals < 0) return {};
    if (decimals == 0) return "0";
    return "0." + std::string(static_cast<size_t>(std::min(decimals, 30)), '0');
}

class SheetSink : public RowTableSink {
  public:
    explicit SheetSink(XlsxSheetWriter& w)
        : w_(w), dateFormat_(dateTimeStyleGE() ? "dd.mm.yyyy hh:mm:ss" : "yyyy-mm-dd hh:mm:ss") {}

    void text(std::string_view s) override { w_.addText(s); }
    void number(double v, int decimals) override {
        const std::string shown = realToText(v, 0, decimals, false);
        if (shown.empty()) {
            w_.addEmpty();
            return;
        }
        w_.addNumber(textToReal(shown), numberFormat(decimals));
    }
    void dateTime(TDateTime t) override { w_.addDateTime(t, dateFormat_); }
    void endLine() override { w_.nextRow(); }

  private:
    XlsxSheetWriter& w_;
    std::string dateFormat_;
};

}  // namespace

bool isSpreadsheetFileName(std::string_view fileName) {
    const std::string n = toLowerAscii(trim(fileName));
    return n.ends_with(".xls") || n.ends_with(".xlsx");
}

std::string ExportXLS(TRow& row, const std::string& fileName, bool perDriedMatter, bool showLF,
                      std::string* savedFile) {
    std::string given = trimmed(fileName);
    if (toLowerAscii(given).ends_with(".xls")) given += "x";
    return exportRowTableFile(
        row, given, ".xlsx", perDriedMatter, showLF, kDbgCategory,
        [&](const std::string& target, const std::string& name, const ExportOptions& options) {
            XlsxSheetWriter w;
            const std::string error = w.open(target, name.empty() ? std::string("Data") : name);
            if (!error.empty()) return error;
            SheetSink sink(w);
            WriteRowTable(row, options, RowTableLayout::Sheet, sink);
            return w.close();
        },
        savedFile);
}

std::string SaveRowDataFile(TRow& row, const std::string& fileName, RowValueChoice choice,
                            std::string* savedFile) {
    const bool perDriedMatter = choice == RowValueChoice::O2TS;
    const bool showLF = choice == RowValueChoice::LF;
    if (isSpreadsheetFileName(fileName))
        return ExportXLS(row, fileName, perDriedMatter, showLF, savedFile);
    return ExportCSV(row, fileName, perDriedMatter, showLF, savedFile);
}

}  // namespace kv
