#pragma once
// Date-time values and their texts. The texts appear in every file the program writes
// (debug log, message list, data files, configuration), so their form is fixed.

#include <string>
#include <string_view>

#include "common/clock.h"

namespace kv {

struct DateTimeParts {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, msec = 0;
};

// Days since 1899-12-30 for a calendar date; no validation.
double encodeDate(int year, int month, int day);
// Returns false for an impossible date or time.
bool tryEncodeDateTime(const DateTimeParts& p, TDateTime& out);
TDateTime encodeDateTime(int year, int month, int day, int hour = 0, int minute = 0,
                         int second = 0, int msec = 0);
// Splits a value into calendar parts; the time of day is rounded to the millisecond.
DateTimeParts decodeDateTime(TDateTime t);

// The time-stamp style: "GE" gives day.month.year, anything else year-month-day.
// Process-wide, set once at start-up from the configuration.
void setDateTimeFormat(std::string_view format);
bool dateTimeStyleGE();

// "08.12.2026 03:12:30" (GE) or "2026-12-08 03:12:30"; 0 gives "".
std::string dateTimeToText(TDateTime t);
std::string dateTimeToText(TDateTime t, bool styleGE);
std::string dateToText(TDateTime t);
std::string dateToText(TDateTime t, bool styleGE);
// "03:12:30"; 0 gives "".
std::string timeToText(TDateTime t);
// "2026-12-08_03-12-30", for file names.
std::string fileStamp(TDateTime t);
// Reads both styles whatever the current style; unreadable or incomplete text gives 0.
TDateTime textToDateTime(std::string_view text);

}  // namespace kv
