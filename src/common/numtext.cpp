#include "common/numtext.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "common/strutil.h"

namespace kv {

namespace {
std::string padLeft(std::string s, int width) {
    if (width > 0 && static_cast<int>(s.size()) < width)
        s.insert(0, static_cast<size_t>(width) - s.size(), ' ');
    return s;
}
}  // namespace

std::string intToText(int value, int width) {
    if (value == NoValueInt) return {};
    return padLeft(std::to_string(value), width);
}

int textToIntDef(std::string_view text, int def) {
    text = trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return def;
    int v = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || ptr != text.data() + text.size()) return def;
    return v;
}

int textToInt(std::string_view text) { return textToIntDef(text, NoValueInt); }

std::string realToText(double value, int width, int decimals, bool decimalComma) {
    if (isNoValue(value) || std::isnan(value)) return {};
    const int digits = std::min(std::abs(decimals), 30);
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", digits, value);
    std::string s = buf;
    if (decimals < 0 && s.find('.') != std::string::npos) {
        while (!s.empty() && s.back() == '0') s.pop_back();
        if (!s.empty() && s.back() == '.') s.pop_back();
    }
    // A value that rounds to zero prints without a sign.
    if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos)
        s = s.substr(1);
    if (decimalComma) {
        const auto dot = s.find('.');
        if (dot != std::string::npos) s[dot] = ',';
    }
    return padLeft(s, width);
}

namespace {
std::atomic<bool> gDecimalComma{false};
}

bool decimalCommaFlag() { return gDecimalComma.load(); }
void setDecimalCommaFlag(bool on) { gDecimalComma.store(on); }

std::string realToTextDC(double value, int width, int decimals) {
    return realToText(value, width, decimals, decimalCommaFlag());
}

double textToReal(std::string_view text) {
    std::string s(trim(text));
    if (s.empty()) return NoValueReal;
    const auto comma = s.find(',');
    if (comma != std::string::npos) s[comma] = '.';
    size_t start = (s[0] == '+') ? 1 : 0;
    if (start == s.size()) return NoValueReal;
    double v = 0;
    const char* b = s.data() + start;
    const char* e = s.data() + s.size();
    const auto [ptr, ec] = std::from_chars(b, e, v, std::chars_format::general);
    if (ec != std::errc() || ptr != e || !std::isfinite(v)) return NoValueReal;
    return v;
}

std::string minutesToText(int minutes) {
    const bool neg = minutes < 0;
    const long long m = std::llabs(static_cast<long long>(minutes));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%02lld:%02lld", neg ? "-" : "", m / 60, m % 60);
    return buf;
}

}  // namespace kv
