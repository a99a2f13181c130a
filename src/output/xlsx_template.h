#pragma once
// Fills an evaluation workbook template (.xlsx) directly, without a spreadsheet program:
// the template is read into memory, its defined names lead to the cells to fill, values are
// written (numbers as numbers, texts as inline strings), rows can be inserted, and the
// result is saved under a new name. Everything the filling does not touch — formulas,
// charts, styles, other sheets — is carried over unchanged; formulas are recalculated when
// the result is opened.
//
// Errors come back as a text for the operator ("" means success); nothing throws.
//
//   XlsxTemplate t;
//   std::string err = t.open("templates/AT4.xlsx");
//   SheetArea a;
//   if (err.empty()) err = t.resolveName("AnalysenNr", a);
//   if (err.empty()) err = t.setText(a.sheet, a.row1, a.col1, "Row 7");
//   if (err.empty()) err = t.saveAs("/results/Row 7_AT4.xlsx");

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kv {

// A block of cells on one sheet, 1-based and inclusive; (row1, col1) is the first cell,
// the one the spreadsheet reports as the row and column of a named range.
struct SheetArea {
    std::string sheet;
    int row1 = 0, col1 = 0, row2 = 0, col2 = 0;
};

class XlsxTemplate {
  public:
    XlsxTemplate();
    ~XlsxTemplate();
    XlsxTemplate(const XlsxTemplate&) = delete;
    XlsxTemplate& operator=(const XlsxTemplate&) = delete;

    // Reads the whole workbook; a second open replaces the first.
    std::string open(const std::string& path);
    bool isOpen() const;

    // Sheets in workbook order, 1-based; "" out of range.
    int sheetCount() const;
    std::string sheetName(int index) const;
    bool hasSheet(std::string_view name) const;

    // A defined name (any case) to the cells it refers to. A name local to scopeSheet wins
    // over a global one; "Sheet!Name" asks for the name local to that sheet; a plain
    // reference such as "'O2-RawData'!$A$5" is accepted too.
    std::string resolveName(std::string_view name, SheetArea& out,
                            std::string_view scopeSheet = {}) const;
    // The same for names that may be missing.
    std::optional<SheetArea> findName(std::string_view name,
                                      std::string_view scopeSheet = {}) const;

    // Writing replaces the cell's value or formula and keeps its style; a new cell takes the
    // style of its row or column. Sheets are named (any case); rows and columns 1-based.
    // An empty text empties the cell.
    std::string setText(std::string_view sheet, int row, int col, std::string_view text);
    // The no-value marker and non-finite values empty the cell.
    std::string setNumber(std::string_view sheet, int row, int col, double value);
    // A text that reads as a number ("12.50", "-3,1") is stored as that number, other texts
    // as text — what converting text to columns did in the spreadsheet program.
    std::string setNumberFromText(std::string_view sheet, int row, int col, std::string_view text);
    // A date-time (days since 1899-12-30) as a number; a cell without a date format gets
    // the date-time format below. 0 and the no-value marker empty the cell.
    std::string setDateTime(std::string_view sheet, int row, int col, double dateTime);
    std::string clearCell(std::string_view sheet, int row, int col);
    // Number format for setDateTime (kept across open); default "dd.mm.yyyy hh:mm:ss".
    void setDateTimeFormat(std::string formatCode);

    // Inserts count empty rows so that they take the numbers beforeRow ..
    // beforeRow + count - 1. The rows from beforeRow on move down, and so do the references
    // to them in formulas of every sheet, defined names, merged cells, conditional formats,
    // data validations, hyperlinks and chart series. New rows take the format of the row
    // above them.
    std::string insertRows(std::string_view sheet, int beforeRow, int count);

    // The rightmost column that holds a cell; 0 when none (or no such sheet).
    int lastUsedColumn(std::string_view sheet) const;
    // Adds an empty worksheet at the end of the workbook.
    std::string addSheet(std::string_view name);

    // Writes the workbook to path (a temporary file beside it, then renamed). Formulas are
    // marked for a full recalculation when the file is opened.
    std::string saveAs(const std::string& path);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string dateFormatCode_ = "dd.mm.yyyy hh:mm:ss";
};

}  // namespace kv
