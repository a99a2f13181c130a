#pragma once
// The value record a data device sends for its newest closed tact. The part between "cv="
// and the next "#" holds ";"-separated fields:
//   1 tact number, 2 impulse mask (bit k-1: position k dosed), 3 out-of-range mask,
//   4 a further number, 5 the device's queue length including this tact's entry,
//   6..11 manometer current (ADC) of positions 1..6,
//   12 ignored, 13..18 manometer value of positions 1..6.

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "common/domain.h"

namespace kv {

struct ValueRecord {
    int tact = 0;
    int impulses = 0;
    int outOfRange = 0;
    // Entries in the device's queue when it sent the record, the record's own tact being the
    // newest of them; NoValueInt when the field is not a number. It tells which queue
    // entries belong to tacts the acquisition missed.
    int queued = 0;
    std::array<int, kCellsPerDevice> adc{};  // NoValueInt when missing or not a number
    std::array<int, kCellsPerDevice>
        manometer{};  // NoValueInt when missing or not a number (closed)

    bool impulse(int k) const { return (impulses >> (k - 1)) & 1; }
    bool outOfRangeAt(int k) const { return (outOfRange >> (k - 1)) & 1; }
};

inline constexpr size_t kValueRecordFields = 18;
inline constexpr size_t kValueRecordHead = 4;  // the fields that must be numbers

// The answer holds a record to acknowledge: "cv=" and a "#" somewhere in it.
bool holdsValueRecord(std::string_view answer);
// nullopt unless the record has four, five, or eighteen and more fields (those after the
// eighteenth are ignored), fields 1 to 4 are whole numbers and the two masks fit the six
// positions. None of the numbers can be negative on a device,
// so a negative one marks a garbled record (a mask of -1 would be six phantom impulses).
// Fields 5 to 18 that are missing or not numbers become NoValueInt.
std::optional<ValueRecord> parseValueRecord(std::string_view answer);

}  // namespace kv
