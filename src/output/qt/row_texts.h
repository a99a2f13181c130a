#pragma once
// Small texts about a row that the printout, the chart legends and the data views share.
// Callers hold the rows lock or work on a row no other thread changes.

#include <string>

namespace kv {

class TRow;

namespace rowtext {

// Duration with up to 2 decimals and " m", " h" or " d" by SIDuration; Interval likewise.
std::string DurationText(const TRow& row);
std::string IntervalText(const TRow& row);
// "frmRow"/"Row_ModeEntries": the part before the first "|", or after it for RowMode 1.
std::string UnitText(int rowMode);
// "frmRow"/"Row_ModeEntries_SI": the entry of the row mode (default "?").
std::string SIUnitText(int rowMode);
// Name of cell mode 0..3 from "frmRowCellEdit"/"RowCell_ModeItems".
std::string ModeName(int mode);
// "°C" or the language file's degree text.
std::string DegreeText();
// Column title of special-cell entry value v, j = 1 specific BOD, 2 degradation, 3 mean:
// "I=2.5 B(SP)", "I=2.5 X(G)", "I=2.5 Ø"; the reference entry's title is "Ref Ø".
std::string SpecialColumnTitle(double value, int j);
std::string ReferenceColumnTitle();
// The value of a special-cell entry as titles and headings show it (up to 5 decimals).
std::string IndexText(double value);

}  // namespace rowtext
}  // namespace kv
