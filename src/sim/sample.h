#pragma once
// What sits in a simulated measuring cell: a sample whose oxygen consumption follows a
// simple growth curve, and the parameters of its manometer.

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::sim {

struct SampleParams {
    // Consumption in mg O2 per hour: `rate` during the lag phase, then growing by the
    // factor exp(growth) per hour up to `maxRate` (0 = no plateau, growth unbounded is
    // still capped by what the device can dose).
    double rate = 1.0;
    double lagHours = 0.0;
    double growth = 0.0;
    double maxRate = 0.0;
    // Relative noise of the consumption per 3 s step (standard deviation).
    double noise = 0.0;
    // After a cell is switched on, its manometer reads closed for this many seconds
    // (pressure settling after the bottle was sealed) and nothing is consumed or dosed.
    double settleSec = 0.0;
    // Manometer current as the device's ADC reads it.
    int adc = 512;
    // The substance's total O2 demand in mg: once the consumption above `rate` has added
    // up to it, the sample falls back to `rate` (the blank's). 0: no limit.
    double demand = 0.0;
    // A measured curve instead of the growth model: (hours, cumulative mg O2), ascending
    // hours, read between its points; after its last point nothing more is consumed.
    std::string curveFile;
    std::shared_ptr<const std::vector<std::pair<double, double>>> curve;
};

// The mg O2 the sample consumes between two times (hours after its start). `extra` carries
// the consumption above `rate` so far, which `demand` limits.
double sampleConsumption(const SampleParams& p, double fromHours, double toHours, double& extra);

// Reads a curve file: one "hours mg" pair a line (blank, tab, ";" or "," between them;
// "#" begins a comment). False with the file and line for anything else.
bool loadSampleCurve(const std::string& path, SampleParams& p, std::string* error);

// Consumption rate (mg/h) `hours` after the sample started.
double consumptionRate(const SampleParams& p, double hours);

// Reads "key=value" pairs separated by blanks ("rate=2 lag=4 growth=0.3 max=10 noise=0.05
// settle=60 adc=512 demand=120 curve=FILE"; the curve file is read by loadSampleCurve). Keys it
// does not know are left in `rest` (blank separated) so the caller can handle its own keys. False
// with a message for a malformed known value.
bool parseSampleParams(std::string_view text, SampleParams& out, std::string& rest,
                       std::string* error);

}  // namespace kv::sim
