#pragma once
// CO2 end to end: kelvora-sim serves a data device, a case device, a CO2 device and an EC71
// meter whose absorbers take up the CO2 of the data device's samples; kelvora runs headless
// with the tty backend and the EC71 frames of the shipped CO2 example.

#include <string>
#include <vector>

#include "common/clock.h"

namespace e2e {

// The serial numbers of the lab and of the configuration.
inline constexpr const char* kCo2Data = "E2ECO2D";
inline constexpr const char* kCo2Case = "E2ECO2T";
inline constexpr const char* kCo2Device = "E2ECO2C";
inline constexpr const char* kCo2Meter = "ec71";  // the meter's link in the by-id folder

// The virtual absorbers: a fresh one holds kLF0 mS/cm and loses 1 mS/cm per kMgPerLF mg
// CO2; its sample gives 44/32 mg CO2 per mg O2 (RQ 1). kMgPerLF is also the conversion
// factor of a new series, so the series' CO2 is the lab's.
inline constexpr double kLF0 = 2.5;
inline constexpr double kMgPerLF = 9.7216;
inline constexpr double kCO2PerO2 = 44.0 / 32.0;
// An O2 impulse at the 3 s tact.
inline constexpr double kImpulseMg = 0.025;

// The lab description for kelvora-sim; `rates` are the O2 consumption of samples 1..6 in
// mg/h.
std::string co2LabText(const std::vector<double>& rates);

// Kelvora.Ini: six cells, the devices of the lab, one EC71 meter on COM5 reached through
// the meter's link, quick EC71 timings, and the frame sections of examples/Kelvora-co2.Ini.
// Empty when the example cannot be read.
std::string co2IniText(const std::string& byIdDir);

// The conductivity columns of a row data file: per data line its time and, per cell, the
// conductivity in mS/cm (negative: none yet).
struct LfLine {
    kv::TDateTime t = 0;
    std::vector<double> lf;
};
struct LfFile {
    std::vector<int> cells;  // the cell of each column
    std::vector<LfLine> lines;
};
bool readLfColumns(const std::string& path, LfFile& out, std::string& error);

// The table of `kelvora ctl row data NAME co2`: lines whose every cell has a value.
struct ValueLine {
    kv::TDateTime t = 0;
    std::vector<double> values;
};
std::vector<ValueLine> parseValueTable(const std::string& answer, size_t cells);

}  // namespace e2e
