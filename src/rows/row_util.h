#pragma once
// Small helpers shared by the row sources.

#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/numtext.h"

namespace kv {

inline constexpr size_t kMaxTextChars = 80;
inline constexpr size_t kMaxPassWdChars = 30;

// The first n characters (not bytes) of a UTF-8 text.
std::string firstChars(std::string_view s, size_t n);
// The default language text of row state k (1..8): "short name|text".
const char* defaultRowStateText(int state);
// Round(10 x a temperature in °C); the no-value integer for no value or a wild reading.
int tenthsOf(double celsius);
// Round() of a real into an int; `def` for no value, NaN or out of range.
int roundToInt(double v, int def);
// The program's date-time text; "" for 0.
std::string dtText(TDateTime t);
// "True" / "False", as the debug categories spell them.
inline const char* boolText(bool b) {
    return b ? "True" : "False";
}
// A date text alone ("08.12.2026" or "2026-12-08"); 0 when unreadable.
TDateTime textToDate(std::string_view text);
// A time text alone ("03:12:30" or "03:12"); 0 when unreadable.
TDateTime textToTime(std::string_view text);
// Path separators as stored by the original ("\") become "/".
std::string slashes(std::string s);

}  // namespace kv

namespace kv {
// Replaces a file with `content` through a temporary file beside it (written, flushed to
// the disk, renamed over the old one), so a crash leaves either the old or the new file.
// Returns 0 or the errno of the failure.
int replaceFileAtomically(const std::string& path, std::string_view content);
// Flushes the directory entry of `path` (its parent directory) to the disk, so a newly
// created or renamed file is still there after a crash. Best effort.
void syncDirectoryOf(const std::string& path);
// The first time `last` + k x step (k >= 0) that is at or after `now`.
TDateTime nextDue(TDateTime last, double step, TDateTime now);
}  // namespace kv
