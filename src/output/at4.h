#pragma once
// The AT4 evaluation: a row's irregular time values turned into one value per full hour
// (hours 0..240) for the first four cells, and the AT4 workbook filled from its template
// with those values and the sample data.
//
//   std::string file;
//   std::string err = ExportAt4(row, &file);   // "" = saved to file
//
// The export needs at least six full hours of data; it refuses with "Too less data (5 hours
// min).". Errors come back as a text and also reach the message list and the debug log.

#include <array>
#include <string>

#include "common/numtext.h"

namespace kv {

class TRow;

inline constexpr int kAt4MaxHour = 240;
inline constexpr int kAt4Columns = 4;
inline constexpr int kAt4MinFullHours = 6;
// A time value this close to a full hour is taken as it stands.
inline constexpr double kAt4ExactHitSeconds = 5.0;

struct At4Hour {
    int day = 0;        // hour div 24
    int hourOfDay = 0;  // hour mod 24
    std::array<double, kAt4Columns> values{NoValueReal, NoValueReal, NoValueReal, NoValueReal};
};

struct At4Table {
    std::array<At4Hour, kAt4MaxHour + 1> hours{};
    // Full hours covered by the data, at most kAt4MaxHour; entries 0..fullHours are filled.
    int fullHours = 0;
    int nCols = 0;  // cells evaluated: the row's cells, at most 4
};

// The AT4 raw value of a cell at time index i: count x 0.25 x tact / 30 (mg O2); no value
// outside the row's indices or for a negative count. The caller holds the rows lock.
double At4RawValue(const TRow& row, int slot, int i);

// Fills the hour table from the row (takes the rows lock). Debug lines under "AT4" when
// bDebug_AT4 is on.
void TransferRowValues_to_at4(TRow& row, At4Table& table);

// The AT4 export: fills the AT4 template (Template_AT4, else the shipped one) and saves it
// as <result folder>/<row name>_AT4.xlsx. savedFile receives the path written.
std::string ExportAt4(TRow& row, std::string* savedFile = nullptr);

}  // namespace kv
