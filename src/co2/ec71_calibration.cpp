#include "co2/ec71_calibration.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "app/inifile.h"
#include "common/strutil.h"

namespace kv {
namespace {

bool validCell(int cell) {
    return cell >= 1 && cell <= kMaxCells;
}

int clampPoints(int nPoints) {
    return std::clamp(nPoints, 0, kMaxCalibrationPoints);
}

std::string pointKey(int cell, int point) {
    return "C" + std::to_string(cell) + "-" + std::to_string(point);
}

std::string canRecKey(int cell) {
    return "C" + std::to_string(cell) + "-canRec";
}

// A text field must not carry the field separator, or the stored line would not read back.
std::string fieldText(std::string_view s) {
    std::string out(s);
    std::replace(out.begin(), out.end(), ';', ',');
    return out;
}

std::string fieldAt(const std::vector<std::string_view>& f, size_t i) {
    return i < f.size() ? std::string(f[i]) : std::string();
}

double realAt(const std::vector<std::string_view>& f, size_t i) {
    return i < f.size() ? textToReal(f[i]) : NoValueReal;
}

}  // namespace

std::string calibrationNumberText(double value, int maxDecimals) {
    if (isNoValue(value) || !std::isfinite(value)) return {};
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    std::string s = r.ec == std::errc() ? std::string(buf, r.ptr) : std::string();
    const auto dot = s.find('.');
    if (s.empty() || (dot != std::string::npos && s.size() - dot - 1 > size_t(maxDecimals)))
        s = realToText(value, 0, -maxDecimals, false);
    if (s == "-0") s = "0";
    return s;
}

std::string formatCalibration(const TCalibration& c) {
    return join({fieldText(c.tempSI), calibrationNumberText(c.temp), fieldText(c.tempsSI),
                 calibrationNumberText(c.temps), fieldText(c.mesuraSI),
                 calibrationNumberText(c.mesura), fieldText(c.ag1SI), calibrationNumberText(c.ag1),
                 calibrationNumberText(c.m), calibrationNumberText(c.b)},
                ";");
}

TCalibration parseCalibration(std::string_view text) {
    const auto f = split(text, ';');
    TCalibration c;
    c.tempSI = fieldAt(f, 0);
    c.temp = realAt(f, 1);
    c.tempsSI = fieldAt(f, 2);
    c.temps = realAt(f, 3);
    c.mesuraSI = fieldAt(f, 4);
    c.mesura = realAt(f, 5);
    c.ag1SI = fieldAt(f, 6);
    c.ag1 = realAt(f, 7);
    c.m = realAt(f, 8);
    c.b = realAt(f, 9);
    return c;
}

EC71CellCalibration EC71CalibrationData::get(int cell) const {
    if (!validCell(cell)) return {};
    std::lock_guard lock(mutex_);
    return cells_[size_t(cell - 1)];
}

void EC71CalibrationData::set(int cell, const EC71CellCalibration& data) {
    if (!validCell(cell)) return;
    std::lock_guard lock(mutex_);
    cells_[size_t(cell - 1)] = data;
}

void EC71CalibrationData::setPoint(int cell, int point, const TCalibration& c) {
    if (!validCell(cell) || point < 1 || point > kMaxCalibrationPoints) return;
    std::lock_guard lock(mutex_);
    cells_[size_t(cell - 1)].Calibration[size_t(point - 1)] = c;
}

void EC71CalibrationData::setCanRec(int cell, const TCanRec& r) {
    if (!validCell(cell)) return;
    std::lock_guard lock(mutex_);
    cells_[size_t(cell - 1)].canRec = r;
}

void EC71CalibrationData::load(const IniFile& ini, int cells, int nPoints) {
    constexpr std::string_view S = kSecEC71CalibrationData;
    cells = std::clamp(cells, 0, kMaxCells);
    nPoints = clampPoints(nPoints);
    // The values come from the meter and go back to it: read the stored bytes unchanged.
    auto value = [&](const std::string& key, const std::string& cell1Key) {
        std::string v = ini.readRaw(S, key, "");
        return v.empty() ? ini.readRaw(S, cell1Key, "") : v;
    };
    std::array<EC71CellCalibration, kMaxCells> loaded{};
    for (int n = 1; n <= cells; ++n) {
        EC71CellCalibration& c = loaded[size_t(n - 1)];
        for (int p = 1; p <= nPoints; ++p)
            c.Calibration[size_t(p - 1)] = parseCalibration(value(pointKey(n, p), pointKey(1, p)));
        if (nPoints == 2) {
            const std::string text = value(canRecKey(n), canRecKey(1));
            const auto f = split(text, ';');
            c.canRec.text = fieldAt(f, 0);
            c.canRec.value = realAt(f, 1);
        }
    }
    std::lock_guard lock(mutex_);
    cells_ = loaded;
}

bool EC71CalibrationData::save(IniFile& ini, int cells, int nPoints) const {
    constexpr std::string_view S = kSecEC71CalibrationData;
    cells = std::clamp(cells, 0, kMaxCells);
    nPoints = clampPoints(nPoints);
    std::array<EC71CellCalibration, kMaxCells> snapshot;
    {
        std::lock_guard lock(mutex_);
        snapshot = cells_;
    }
    IniFile::Batch batch(ini);
    for (int n = 1; n <= cells; ++n) {
        const EC71CellCalibration& c = snapshot[size_t(n - 1)];
        for (int p = 1; p <= nPoints; ++p)
            ini.writeString(S, pointKey(n, p), formatCalibration(c.Calibration[size_t(p - 1)]));
        if (nPoints == 2)
            ini.writeString(S, canRecKey(n),
                            fieldText(c.canRec.text) + ";" + calibrationNumberText(c.canRec.value));
    }
    return batch.commit();
}

}  // namespace kv
