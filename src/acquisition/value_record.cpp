#include "acquisition/value_record.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/numtext.h"
#include "common/strutil.h"

namespace kv {

bool holdsValueRecord(std::string_view answer) {
    return answer.find("cv=") != std::string_view::npos &&
           answer.find('#') != std::string_view::npos;
}

// The device sends no checksum. What the link can do to a record is drop or double single
// characters, and some of that breaks the record's shape: a lost or doubled ";" shifts every
// later field (the active mask would be read as the out-of-range mask, a manometer value as
// an ADC value), and a doubled digit can push a mask beyond the six positions. Such records
// are dropped whole, like unreadable ones: lastTactNr stays, so a later answer for the same
// tact is still handled. A record that is corrupted but still well formed ("cv=1234;1"
// arriving as "cv=12234;11") cannot be told from a good one and is taken as it stands.
//
// The shapes taken: the four leading numbers alone or with the queue length (a firmware
// without manometer part: those values are missing), and the full eighteen fields with any
// number of fields after them (a firmware that adds a field must not lose its impulses). A
// record that breaks off inside the manometer part, or has an empty field among the first
// eighteen, is what a lost or doubled separator leaves, and is garbled.
std::optional<ValueRecord> parseValueRecord(std::string_view answer) {
    const auto p = answer.find("cv=");
    if (p == std::string_view::npos) return std::nullopt;
    const auto e = answer.find('#', p + 3);
    if (e == std::string_view::npos) return std::nullopt;
    const auto fields = split(answer.substr(p + 3, e - p - 3), ';');
    const size_t n = fields.size();
    if (n < kValueRecordHead || (n > kValueRecordHead + 1 && n < kValueRecordFields))
        return std::nullopt;
    for (size_t k = 0; k < std::min(n, kValueRecordFields); ++k)
        if (fields[k].empty()) return std::nullopt;
    int head[kValueRecordHead];
    for (size_t k = 1; k <= kValueRecordHead; ++k) {
        head[k - 1] = textToInt(fields[k - 1]);
        if (isNoValue(head[k - 1]) || head[k - 1] < 0) return std::nullopt;
    }
    constexpr int kAllPositions = (1 << kCellsPerDevice) - 1;
    if (head[1] > kAllPositions || head[2] > kAllPositions) return std::nullopt;
    auto field = [&](size_t pos) { return pos <= n ? textToInt(fields[pos - 1]) : NoValueInt; };
    ValueRecord r;
    r.tact = head[0];
    r.impulses = head[1];
    r.outOfRange = head[2];
    r.queued = field(5);
    if (!isNoValue(r.queued) && r.queued < 0) r.queued = NoValueInt;
    for (size_t k = 1; k <= kCellsPerDevice; ++k) {
        r.adc[k - 1] = field(5 + k);
        r.manometer[k - 1] = field(6 + kCellsPerDevice + k);
    }
    return r;
}

}  // namespace kv
