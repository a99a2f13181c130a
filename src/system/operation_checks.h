#pragma once
// The checks and refusals the operations share.

#include <algorithm>
#include <string>
#include <string_view>

#include "app/texts.h"
#include "system/operations.h"

namespace kv {

inline OpResult invalidValue(std::string_view field) {
    return OpResult::failed(GetText("*", "InvalidValue", "Invalid value entered !") + " (" +
                            std::string(field) + ")");
}

// A text that would break a line of the row file or of the console.
inline bool hasControlChars(std::string_view s) {
    return std::any_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; });
}

}  // namespace kv
