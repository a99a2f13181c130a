#include "acquisition/value_record.h"

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
std::optional<ValueRecord> parseValueRecord(std::string_view answer) {
    const auto p = answer.find("cv=");
    if (p == std::string_view::npos) return std::nullopt;
    const auto e = answer.find('#', p + 3);
    if (e == std::string_view::npos) return std::nullopt;
    const auto fields = split(answer.substr(p + 3, e - p - 3), ';');
    if (fields.size() != kValueRecordFields) return std::nullopt;
    int head[4];
    for (size_t k = 1; k <= 4; ++k) {
        head[k - 1] = textToInt(fields[k - 1]);
        if (isNoValue(head[k - 1]) || head[k - 1] < 0) return std::nullopt;
    }
    constexpr int kAllPositions = (1 << kCellsPerDevice) - 1;
    if (head[1] > kAllPositions || head[2] > kAllPositions) return std::nullopt;
    ValueRecord r;
    r.tact = head[0];
    r.impulses = head[1];
    r.outOfRange = head[2];
    r.queued = textToInt(fields[4]);
    if (!isNoValue(r.queued) && r.queued < 0) r.queued = NoValueInt;
    for (size_t k = 1; k <= kCellsPerDevice; ++k) {
        r.adc[k - 1] = textToInt(fields[4 + k]);
        r.manometer[k - 1] = textToInt(fields[5 + kCellsPerDevice + k]);
    }
    return r;
}

}  // namespace kv
