#pragma once
// Writes a new one-sheet workbook (.xlsx) field by field, the way a text export is written
// line by line: each line becomes a worksheet row, each field a cell from column A on.
// Numbers are stored as numbers; the file appears only when it is complete.
//
//   XlsxSheetWriter w;
//   std::string err = w.open("/results/row.xlsx");
//   w.addText("Name:"); w.addText("Row 7"); w.nextRow();
//   w.addDateTime(dt);  w.addNumber(12.5, "0.0"); w.nextRow();
//   if (err.empty()) err = w.close();

#include <map>
#include <string>
#include <string_view>

struct lxw_workbook;
struct lxw_worksheet;
struct lxw_format;

namespace kv {

class XlsxSheetWriter {
  public:
    XlsxSheetWriter() = default;
    ~XlsxSheetWriter();  // an unfinished workbook is discarded
    XlsxSheetWriter(const XlsxSheetWriter&) = delete;
    XlsxSheetWriter& operator=(const XlsxSheetWriter&) = delete;

    // Starts a workbook with one sheet. "" or an error text.
    std::string open(const std::string& fileName, std::string_view sheetName = "Data");

    // The following fields go to the next row, column A (consecutive calls leave empty rows).
    void nextRow();
    void addText(std::string_view text);
    // numFormat is a spreadsheet number format ("0.00"); empty means General. The no-value
    // marker and non-finite values leave the cell empty.
    void addNumber(double value, std::string_view numFormat = {});
    // Days since 1899-12-30 shown with the format; 0 and no value leave the cell empty.
    void addDateTime(double dateTime, std::string_view numFormat = "dd.mm.yyyy hh:mm:ss");
    void addEmpty();
    // 0-based position of the next field.
    int row() const { return row_; }
    int column() const { return col_; }

    // Writes the file (a temporary file beside it, renamed when complete). Returns the first
    // error of the whole run, "" on success.
    std::string close();

  private:
    lxw_format* format(std::string_view numFormat);
    bool ready();
    void noteError(int lxwError);

    lxw_workbook* wb_ = nullptr;
    lxw_worksheet* ws_ = nullptr;
    std::map<std::string, lxw_format*, std::less<>> formats_;
    std::string fileName_, tmpName_, error_;
    int row_ = 0, col_ = 0;
};

}  // namespace kv
