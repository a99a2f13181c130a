#include "common/datetime.h"

#include <atomic>
#include <cmath>
#include <cstdio>

#include "common/strutil.h"

namespace kv {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civilFromDays(long long z, int& y, int& m, int& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long yy = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

const long long kEpochOffset = daysFromCivil(1899, 12, 30);

std::atomic<bool> gStyleGE{true};

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && isLeap(y)) ? 29 : days[m - 1];
}

// Reads exactly a non-empty run of digits; false on anything else.
bool readNumber(std::string_view s, int& out) {
    s = trim(s);
    if (s.empty() || s.size() > 9) return false;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

}  // namespace

double encodeDate(int year, int month, int day) {
    return static_cast<double>(daysFromCivil(year, static_cast<unsigned>(month),
                                             static_cast<unsigned>(day)) -
                               kEpochOffset);
}

bool tryEncodeDateTime(const DateTimeParts& p, TDateTime& out) {
    if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
        p.day > daysInMonth(p.year, p.month))
        return false;
    if (p.hour < 0 || p.hour > 23 || p.minute < 0 || p.minute > 59 || p.second < 0 ||
        p.second > 59 || p.msec < 0 || p.msec > 999)
        return false;
    out = encodeDate(p.year, p.month, p.day) +
          (p.hour * 3600000.0 + p.minute * 60000.0 + p.second * 1000.0 + p.msec) / 86400000.0;
    return true;
}

TDateTime encodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int msec) {
    TDateTime t = 0;
    tryEncodeDateTime({year, month, day, hour, minute, second, msec}, t);
    return t;
}

DateTimeParts decodeDateTime(TDateTime t) {
    DateTimeParts p;
    double dayPart = std::floor(t);
    long long ms = std::llround((t - dayPart) * 86400000.0);
    if (ms >= 86400000) {
        ms -= 86400000;
        dayPart += 1;
    }
    civilFromDays(static_cast<long long>(dayPart) + kEpochOffset, p.year, p.month, p.day);
    p.hour = static_cast<int>(ms / 3600000);
    p.minute = static_cast<int>(ms / 60000 % 60);
    p.second = static_cast<int>(ms / 1000 % 60);
    p.msec = static_cast<int>(ms % 1000);
    return p;
}

void setDateTimeFormat(std::string_view format) { gStyleGE.store(format == "GE"); }
bool dateTimeStyleGE() { return gStyleGE.load(); }

std::string dateToText(TDateTime t, bool styleGE) {
    if (t == 0) return {};
    const DateTimeParts p = decodeDateTime(t);
    char buf[32];
    if (styleGE)
        std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", p.day, p.month, p.year);
    else
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.year, p.month, p.day);
    return buf;
}

std::string dateToText(TDateTime t) { return dateToText(t, dateTimeStyleGE()); }

std::string timeToText(TDateTime t) {
    if (t == 0) return {};
    const DateTimeParts p = decodeDateTime(t);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", p.hour, p.minute, p.second);
    return buf;
}

std::string dateTimeToText(TDateTime t, bool styleGE) {
    if (t == 0) return {};
    return dateToText(t, styleGE) + " " + timeToText(t);
}

std::string dateTimeToText(TDateTime t) { return dateTimeToText(t, dateTimeStyleGE()); }

std::string fileStamp(TDateTime t) {
    const DateTimeParts p = decodeDateTime(t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d_%02d-%02d-%02d", p.year, p.month, p.day,
                  p.hour, p.minute, p.second);
    return buf;
}

TDateTime textToDateTime(std::string_view text) {
    text = trim(text);
    const auto blank = text.find(' ');
    if (blank == std::string_view::npos) return 0;
    const std::string_view datePart = trim(text.substr(0, blank));
    const std::string_view timePart = trim(text.substr(blank + 1));
    if (datePart.empty() || timePart.empty()) return 0;

    DateTimeParts p;
    const auto d = split(datePart, datePart.find('-') != std::string_view::npos ? '-' : '.');
    if (d.size() != 3) return 0;
    const bool iso = datePart.find('-') != std::string_view::npos;
    if (!readNumber(d[iso ? 0 : 2], p.year) || !readNumber(d[1], p.month) ||
        !readNumber(d[iso ? 2 : 0], p.day))
        return 0;

    const auto tm = split(timePart, ':');
    if (tm.size() < 2 || tm.size() > 3) return 0;
    if (!readNumber(tm[0], p.hour) || !readNumber(tm[1], p.minute)) return 0;
    p.second = 0;
    if (tm.size() == 3 && !readNumber(tm[2], p.second)) return 0;

    TDateTime out = 0;
    return tryEncodeDateTime(p, out) ? out : 0;
}

}  // namespace kv
