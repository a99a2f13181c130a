#pragma once
// Number texts and the no-value markers. Files and grids show "no value" as an empty text,
// and an empty or unreadable text reads back as the marker.

#include <string>
#include <string_view>

namespace kv {

inline constexpr int NoValueInt = -32767;
// -1.5E37 as the original's 48-bit reals hold it; written to files only as an empty text.
inline constexpr double NoValueReal = -1.4999999999991036e37;
// Tolerant test: also accepts the exact double -1.5E37.
inline bool isNoValue(double v) {
    return v <= -1.0e37;
}
inline bool isNoValue(int v) {
    return v == NoValueInt;
}

// The decimal text of a whole number, as log lines, keys and messages write it.
inline std::string num(long long v) {
    return std::to_string(v);
}

// Positive width right-aligns with blanks; zero or negative width adds none.
std::string intToText(int value, int width = 0);
// Blanks trimmed; empty or not a whole number gives NoValueInt.
int textToInt(std::string_view text);
// As textToInt, with a caller's default for empty or unreadable text.
int textToIntDef(std::string_view text, int def);

// Fixed point with |decimals| digits; negative decimals strip trailing zeros and then a
// trailing point. With decimalComma the first "." becomes ",". The no-value real gives "".
std::string realToText(double value, int width, int decimals, bool decimalComma = false);
// The process-wide decimal-comma flag: set from the configuration at start-up and by the
// row file load; the configuration saves switch it off while they write.
bool decimalCommaFlag();
void setDecimalCommaFlag(bool on);
// realToText with the process-wide flag.
std::string realToTextDC(double value, int width, int decimals);

// Blanks trimmed, the first "," read as ".", empty or unreadable gives NoValueReal.
double textToReal(std::string_view text);
// Hours, colon, two-digit minutes, at least five characters: 5 -> "00:05", 600 -> "10:00".
std::string minutesToText(int minutes);

}  // namespace kv
