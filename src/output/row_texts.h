#pragma once
// Small texts about a row that the data window, the CSV and spreadsheet exports, the
// printout and the charts share, so that all of them name things alike. Each text comes from
// the language file and has a built-in default that is right on its own: a home folder
// without a language file still prints correct units and mode names.
//
// The builders that take a const TRow& read row fields: the caller holds the rows lock
// (TRows::mutex()) or works on a row that no other thread changes.

#include <cstddef>
#include <string>
#include <string_view>

namespace kv {

class TRow;

// Duration with up to 2 decimals and " m", " h" or " d" by SIDuration: "1.5 h".
std::string DurationText(const TRow& row, bool decimalComma);
// The same for Interval and SIInterval.
std::string IntervalText(const TRow& row, bool decimalComma);

// The unit of the O2 values of a row mode ("frmRow"/"Row_ModeEntries_SI"): the BOD in "mg/l"
// for mode 0, the O2 consumption in "mg" for mode 1.
std::string ModeValueUnit(int rowMode);
// "°C", or the language file's degree text.
std::string DegreeText();
// The name of cell mode 0..3 ("frmRowCellEdit"/"RowCell_ModeItems"): "normal", "check",
// "blind", "reference".
std::string CellModeName(int mode);

// The value of a special-cell entry as titles and headings show it: up to 5 decimals.
std::string IndexText(double value, bool decimalComma);
// Column title of a special-cell entry with the given value; j = 1 specific BOD, 2
// degradation, 3 mean: "I=2.5 B(SP)", "I=2.5 X(G)", "I=2.5 Ø".
std::string SpecialColumnTitle(double value, int j, bool decimalComma);
// The title of the reference entry's column: "Ref Ø".
std::string ReferenceColumnTitle();

// Pads a UTF-8 text with blanks to a width in characters (not bytes); longer texts stay.
std::string PadRight(std::string_view s, size_t width);
std::string PadLeft(std::string_view s, size_t width);

}  // namespace kv
