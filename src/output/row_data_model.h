#pragma once
// The row data window's table: one column per cell of a row, one line per time value, the
// values of one choice (O2, CO2, conductivity, O2 per dried matter). The window and the
// console show the same model. Also the value picks that the window shares with the CSV and
// spreadsheet exports, the printout and the charts (their texts: row_texts.h).
//
//   RowDataModel m;
//   m.load(row, RowValueChoice::CO2);
//   for (int r = 0; r < m.rowCount(); ++r) ... m.timeText(r), m.text(r, c) ...
//
// The value picks below that take a const TRow& read row fields: the caller holds the rows
// lock (TRows::mutex()). load() and RowDataReport() take it themselves.

#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/numtext.h"

namespace kv {

class TRow;

// The data window's check boxes: none ticked (O2), "CO2", "LF", "O2 TS".
enum class RowValueChoice { O2, CO2, LF, O2TS };

// "" or "o2" -> O2, "co2", "lf", "ts" (also "o2ts"), any case. False for other words.
bool parseRowValueChoice(std::string_view word, RowValueChoice& out);
// CO2 and LF exist only for rows that measure CO2.
bool rowOffersChoice(const TRow& row, RowValueChoice choice);

// ---- units (texts: row_texts.h) -------------------------------------------------------------

// The unit of a choice as the data window heads its columns.
std::string ChoiceUnit(const TRow& row, RowValueChoice choice);

// ---- values (no value: NoValueReal) ----------------------------------------------------------

// The time values in use: iRTV, but never more than the vector holds (0 for a row that has
// none allocated).
int UsedEntries(const TRow& row);

// The O2 value of a cell: O2 per dried matter (perDriedMatter and mass mode), O2
// consumption in mg (mass mode), else the BOD in mg/l.
double MainValue(const TRow& row, int slot, int i, bool perDriedMatter);
// The unit of MainValue.
std::string MainValueUnit(const TRow& row, bool perDriedMatter);
// The conductivity in mS/cm at index i. With a CO2 meter the stored value is millionths of
// mS/cm; without one it is the meter's raw reading, which the cell's calibration turns into
// a conductivity.
double ConductivityValue(const TRow& row, int slot, int i);
// The value a data window choice shows.
double ChoiceValue(const TRow& row, RowValueChoice choice, int slot, int i);

// One line of the check-substance table: a value of the special-cell entries (each value
// once, the reference entry left out), P(TC) and B(Th1) of the first check cell with that
// index (no value when the group has no cell left) and the list of those cells.
struct CheckGroup {
    double value = NoValueReal;
    double PTC = NoValueReal;
    double BTH1 = NoValueReal;
    std::string cells;
};
std::vector<CheckGroup> CheckGroups(const TRow& row);

// ---- the table ----------------------------------------------------------------------------------

class RowDataModel {
  public:
    // Reads the row's values (takes the rows lock). A choice the row does not offer falls
    // back to O2; choice() tells which one is shown.
    void load(TRow& row, RowValueChoice choice);

    RowValueChoice choice() const { return choice_; }
    const std::string& rowName() const { return rowName_; }
    const std::string& unit() const { return unit_; }
    // The label of the time column ("date/time <> cell#").
    const std::string& cornerText() const { return corner_; }
    int columnCount() const { return static_cast<int>(headers_.size()); }
    int rowCount() const { return static_cast<int>(times_.size()); }
    // 0-based columns and lines.
    const std::string& header(int col) const;
    TDateTime time(int row) const;
    std::string timeText(int row) const;
    double value(int row, int col) const;
    // Formatted with the configured value width and decimals; "" for no value.
    std::string text(int row, int col) const;

  private:
    RowValueChoice choice_ = RowValueChoice::O2;
    std::string rowName_, unit_, corner_;
    std::vector<std::string> headers_;
    std::vector<TDateTime> times_;
    std::vector<double> values_;  // line by line
    int width_ = 10, decimals_ = -2;
    bool decimalComma_ = false;
};

// The model as a text table: a heading line, then one line per time value, columns
// separated by blanks and aligned.
std::string RowDataTableText(const RowDataModel& model);
// The console's "row data": fills table with the row's values of the choice. "" or an error
// text (a choice the row does not offer).
std::string RowDataReport(TRow& row, RowValueChoice choice, std::string& table);

}  // namespace kv
