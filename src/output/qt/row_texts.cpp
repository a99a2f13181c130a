#include "output/qt/row_texts.h"

#include <vector>

#include "app/texts.h"
#include "common/numtext.h"
#include "common/strutil.h"
#include "rows/row.h"

namespace kv::rowtext {

namespace {

// Entry k (0-based) of a "|"-separated language text; the first entry when k is missing.
std::string entry(const std::string& text, size_t k) {
    const auto parts = split(text, '|');
    if (parts.empty()) return {};
    return std::string(trim(k < parts.size() ? parts[k] : parts[0]));
}

std::string amountWithUnit(double value, int unit) {
    static const char* const kUnits[] = {" m", " h", " d"};
    std::string s = realToTextDC(value, 0, -2);
    if (unit >= 0 && unit <= 2) s += kUnits[unit];
    return s;
}

}  // namespace

std::string DurationText(const TRow& row) {
    return amountWithUnit(row.Duration, row.SIDuration);
}

std::string IntervalText(const TRow& row) {
    return amountWithUnit(row.Interval, row.SIInterval);
}

std::string UnitText(int rowMode) {
    return entry(GetText("frmRow", "Row_ModeEntries", "mg/l | g"), rowMode == 1 ? 1 : 0);
}

std::string SIUnitText(int rowMode) {
    return entry(GetText("frmRow", "Row_ModeEntries_SI", "?"), rowMode == 1 ? 1 : 0);
}

std::string ModeName(int mode) {
    // The language file normally carries the names; the fallback keeps printouts readable
    // without one.
    const std::string t =
        GetText("frmRowCellEdit", "RowCell_ModeItems", "normal|check|blind|reference");
    const auto parts = split(t, '|');
    if (mode < 0 || static_cast<size_t>(mode) >= parts.size()) return {};
    return std::string(trim(parts[static_cast<size_t>(mode)]));
}

std::string DegreeText() {
    return GetText("*", "GrdCelcius",
                   "\xC2\xB0"
                   "C");
}

std::string IndexText(double value) {
    return realToTextDC(value, 0, -5);
}

std::string SpecialColumnTitle(double value, int j) {
    static const char* const kSuffix[] = {" B(SP)", " X(G)", " \xC3\x98"};
    if (j < 1 || j > 3) return {};
    return "I=" + IndexText(value) + kSuffix[j - 1];
}

std::string ReferenceColumnTitle() {
    return "Ref \xC3\x98";
}

}  // namespace kv::rowtext
