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

std::optional<ValueRecord> parseValueRecord(std::string_view answer) {
    const auto p = answer.find("cv=");
    if (p == std::string_view::npos) return std::nullopt;
    const auto e = answer.find('#', p + 3);
    if (e == std::string_view::npos) return std::nullopt;
    const auto fields = split(answer.substr(p + 3, e - p - 3), ';');
    auto field = [&](size_t pos) -> std::string_view {
        return pos <= fields.size() ? fields[pos - 1] : std::string_view();
    };
    int head[4];
    for (size_t k = 1; k <= 4; ++k) {
        head[k - 1] = textToInt(field(k));
        if (isNoValue(head[k - 1]) || head[k - 1] < 0) return std::nullopt;
    }
    ValueRecord r;
    r.tact = head[0];
    r.impulses = head[1];
    r.outOfRange = head[2];
    for (size_t k = 1; k <= 6; ++k) {
        r.adc[k - 1] = textToInt(field(5 + k));
        r.manometer[k - 1] = textToInt(field(12 + k));
    }
    return r;
}

}  // namespace kv
