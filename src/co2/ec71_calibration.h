#pragma once
// Calibration data of the cells' conductivity electrodes. The meter reports it when a
// cell's electrode is calibrated; before every measurement of that cell the program hands
// it back to the meter through the frame placeholders. Stored in the configuration file,
// section "EC71-CalibrationData":
//   C7-1=C;20.5;s;30;mS/cm;12.91;%;1.2;1.002;0.01     (cell 7, point 1)
//   C7-canRec=text;value                                (only with two points)

#include <array>
#include <mutex>
#include <string>
#include <string_view>

#include "app/config.h"
#include "common/numtext.h"

namespace kv {

class IniFile;

inline constexpr std::string_view kSecEC71CalibrationData = "EC71-CalibrationData";
inline constexpr int kMaxCalibrationPoints = 3;

// One calibration point, fields in the stored order.
struct TCalibration {
    std::string tempSI;
    double temp = NoValueReal;
    std::string tempsSI;
    double temps = NoValueReal;
    std::string mesuraSI;
    double mesura = NoValueReal;
    std::string ag1SI;
    double ag1 = NoValueReal;
    double m = NoValueReal;
    double b = NoValueReal;
    bool operator==(const TCalibration&) const = default;
};

struct TCanRec {
    std::string text;
    double value = NoValueReal;
    bool operator==(const TCanRec&) const = default;
};

struct EC71CellCalibration {
    std::array<TCalibration, kMaxCalibrationPoints> Calibration{};  // [0] is point 1
    TCanRec canRec;
    bool operator==(const EC71CellCalibration&) const = default;
};

// "tempSI;temp;…;m;b"; numbers with up to 15 decimals and a decimal point.
std::string formatCalibration(const TCalibration& c);
// Missing fields stay empty / no value; a comma is accepted as decimal point.
TCalibration parseCalibration(std::string_view text);
// A number as the calibration section and the frames need it: shortest exact form, at most
// maxDecimals decimals, always "."; no value gives "".
std::string calibrationNumberText(double value, int maxDecimals = 15);

// The calibration data of every cell. Written by the configuration load, the calibration
// and the dialog, read by the measuring cycle: thread-safe.
class EC71CalibrationData {
  public:
    // Cells outside 1..kMaxCells read as empty data and are not stored.
    EC71CellCalibration get(int cell) const;
    void set(int cell, const EC71CellCalibration& data);
    void setPoint(int cell, int point, const TCalibration& c);
    void setCanRec(int cell, const TCanRec& r);

    // Cells 1..cells, points 1..nPoints. A cell whose key is missing or empty takes cell 1's.
    void load(const IniFile& ini, int cells, int nPoints);
    // One file replacement for the whole section (inside the caller's batch, if any).
    bool save(IniFile& ini, int cells, int nPoints) const;

  private:
    mutable std::mutex mutex_;
    std::array<EC71CellCalibration, kMaxCells> cells_{};
};

}  // namespace kv
