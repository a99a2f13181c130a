#pragma once
// The fixed sizes of the measuring system and the small enumerations that files, devices and
// every module share. Their numbers are stored in the configuration, the row definitions and
// the devices' answers, so they never change; the numbers are read and written only where a
// file or a device is, everywhere else the names are used.

#include <type_traits>

namespace kv {

// Positions of one data device (and of one CO2 device): cells k = 1..6 of the device.
inline constexpr int kCellsPerDevice = 6;
// Cells of the cell table (physical numbers 1..120) and configured devices (1..40).
inline constexpr int kMaxCells = 120;
inline constexpr int kMaxDevices = 40;
// A data device closes a tact, and queues one record, every three seconds; the cell tacts
// that are sent to it are multiples of this.
inline constexpr int kDeviceTactSeconds = 3;
// Snapshots of a cell's count per alarm interval for the leakage alarm; also the longest
// alarm span in hours.
inline constexpr int kHourlySlots = 24;

// "Type" of a configured device. 0 (not set) is what an empty device section gives.
enum class DeviceType : int {
    None = 0,
    Data = 1,  // O2 impulse counting, six cells
    Case = 2,  // case control (temperature)
    CO2 = 3,   // CO2 raw values and multiplexer relays
};

// Unit of a row's duration (`SIDuration`), interval (`SIInterval`) and chart time step
// (`XUnit`). A file may hold any other number; it is kept as it is and means no unit.
enum class TimeUnit : int {
    Minutes = 0,
    Hours = 1,
    Days = 2,
};

// Seconds of one unit; 0 for a number that is no unit.
constexpr double unitSeconds(TimeUnit u) {
    switch (u) {
        case TimeUnit::Minutes:
            return 60.0;
        case TimeUnit::Hours:
            return 3600.0;
        case TimeUnit::Days:
            return 86400.0;
    }
    return 0.0;
}

// The stored number of an enumeration, for the file and device boundaries.
template <class E>
requires std::is_enum_v<E>
constexpr std::underlying_type_t<E> toInt(E e) {
    return static_cast<std::underlying_type_t<E>>(e);
}

}  // namespace kv
