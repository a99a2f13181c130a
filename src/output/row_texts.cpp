#include "output/row_texts.h"

#include <array>

#include "app/texts.h"
#include "common/numtext.h"
#include "common/strutil.h"
#include "rows/row.h"

namespace kv {

namespace {

// Entry n (0-based) of a "|"-separated language text, trimmed. A language file with fewer
// entries, or an empty one, gets the built-in entry: a unit or name of another mode would
// be wrong, not just untranslated.
std::string entryOf(std::string_view text, size_t n, std::string_view builtIn) {
    const auto parts = split(text, '|');
    std::string e = n < parts.size() ? trimmed(parts[n]) : std::string();
    if (!e.empty()) return e;
    const auto defaults = split(builtIn, '|');
    return n < defaults.size() ? trimmed(defaults[n]) : std::string();
}

std::string languageEntry(std::string_view section, std::string_view key, size_t n,
                          std::string_view builtIn) {
    return entryOf(GetText(section, key, builtIn), n, builtIn);
}

std::string withUnit(double value, TimeUnit unit, bool decimalComma) {
    const std::string v = realToText(value, 0, -2, decimalComma);
    switch (unit) {
        case TimeUnit::Minutes:
            return v + " m";
        case TimeUnit::Hours:
            return v + " h";
        case TimeUnit::Days:
            return v + " d";
    }
    return v;
}

constexpr std::string_view kMean = " \xC3\x98";  // " Ø"

}  // namespace

std::string DurationText(const TRow& row, bool decimalComma) {
    return withUnit(row.Duration, row.SIDuration, decimalComma);
}

std::string IntervalText(const TRow& row, bool decimalComma) {
    return withUnit(row.Interval, row.SIInterval, decimalComma);
}

std::string ModeValueUnit(int rowMode) {
    return languageEntry("frmRow", "Row_ModeEntries_SI", rowMode == 1 ? 1 : 0, "mg/l|mg");
}

std::string DegreeText() {
    return GetText("*", "GrdCelcius",
                   "\xC2\xB0"
                   "C");
}

std::string CellModeName(int mode) {
    if (mode < 0 || mode > 4) return {};
    return languageEntry("frmRowCellEdit", "RowCell_ModeItems", static_cast<size_t>(mode),
                         "normal|check|blind|reference|toxicity control");
}

std::string IndexText(double value, bool decimalComma) {
    return realToText(value, 0, -5, decimalComma);
}

std::string SpecialColumnTitle(double value, int j, bool decimalComma) {
    static constexpr std::array<std::string_view, 3> kSuffix{" B(SP)", " X(G)", kMean};
    if (j < 1 || j > 3) return {};
    return "I=" + IndexText(value, decimalComma) + std::string(kSuffix[static_cast<size_t>(j - 1)]);
}

std::string ReferenceColumnTitle() {
    return "Ref" + std::string(kMean);
}

std::string PadRight(std::string_view s, size_t width) {
    const size_t n = utf8Length(s);
    return std::string(s) + std::string(n < width ? width - n : 0, ' ');
}

std::string PadLeft(std::string_view s, size_t width) {
    const size_t n = utf8Length(s);
    return std::string(n < width ? width - n : 0, ' ') + std::string(s);
}

}  // namespace kv
