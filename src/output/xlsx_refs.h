#pragma once
// Cell references of spreadsheet files in A1 notation ("B5", "$A$1", "'O2-RawData'!$A$5:$C$9")
// and the rewriting of the references inside formula texts. Used when rows are inserted into
// a template (everything that points below the insertion must follow the moved cells) and
// when a shared formula is spelled out for each of its cells.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kv::xlsx {

inline constexpr int kMaxRow = 1048576;
inline constexpr int kMaxCol = 16384;

// 1 -> "A", 28 -> "AB"; "" outside 1..kMaxCol.
std::string columnName(int col);
// "AB" -> 28 (any case); 0 for anything that is not a column of the sheet.
int columnNumber(std::string_view letters);
// (5, 2) -> "B5".
std::string cellName(int row, int col);
// "B5" or "$B$5" (whole text); false otherwise.
bool parseCellName(std::string_view text, int& row, int& col);

// A rectangle of cells, 1-based and inclusive.
struct Area {
    int row1 = 0, col1 = 0, row2 = 0, col2 = 0;
};
// "A1" or "A1:C5", "$" allowed; the corners are put in order.
bool parseArea(std::string_view text, Area& out);
// "A1" for a single cell, else "A1:C5".
std::string areaName(const Area& a);

// A sheet-qualified area as defined names hold it: "'O2-RawData'!$A$5", "=Sheet1!$B$3:$E$3".
struct SheetRef {
    std::string sheet;
    Area area;
};
std::optional<SheetRef> parseSheetRef(std::string_view text);
// The sheet name quoted when a formula needs it: "Data" stays, "O2-RawData" -> "'O2-RawData'".
std::string quoteSheetName(std::string_view sheet);

// One end of a reference. row 0 means a whole-column reference ("A:C"), col 0 a whole-row
// reference ("5:9").
struct RefPart {
    int row = 0, col = 0;
    bool rowAbs = false, colAbs = false;
};

// Called for every reference end with the sheet the formula names for it (empty when the
// reference is unqualified). Returning false turns the reference into #REF!.
using RefVisitor = std::function<bool(std::string_view sheet, RefPart& part)>;

// Rewrites the references of a formula (with or without the leading "="); text literals,
// function names, defined names and bracketed parts stay as they are.
std::string rewriteFormulaRefs(std::string_view formula, const RefVisitor& visit);

// Rows from atRow on of targetSheet move down by count. contextSheet is the sheet that holds
// the formula (unqualified references point there; empty for defined names and charts).
std::string shiftFormulaRows(std::string_view formula, std::string_view contextSheet,
                             std::string_view targetSheet, int atRow, int count);
// The formula of a shared-formula master as it reads dRows/dCols cells away.
std::string translateFormula(std::string_view formula, int dRows, int dCols);
// Moves an area (or a blank-separated list of areas, as in sqref) for inserted rows.
std::string shiftAreaListRows(std::string_view areas, int atRow, int count);

// The text a cell can hold: valid UTF-8 (legacy bytes read as Windows-1252), without the
// control characters that XML forbids, at most the spreadsheet's 32767 characters.
std::string cellText(std::string_view text);

}  // namespace kv::xlsx
