#include "sim/sample.h"

#include <algorithm>
#include <cmath>

#include "sim/textparse.h"

namespace kv::sim {

double consumptionRate(const SampleParams& p, double hours) {
    if (hours < 0.0) return 0.0;
    double r = p.rate;
    if (hours > p.lagHours && p.growth != 0.0) {
        // Cap the exponent: beyond this the plateau or the dosing limit governs anyway.
        const double x = std::min(p.growth * (hours - p.lagHours), 50.0);
        r = p.rate * std::exp(x);
    }
    if (p.maxRate > 0.0) r = std::min(r, p.maxRate);
    return std::max(r, 0.0);
}

bool parseSampleParams(std::string_view text, SampleParams& out, std::string& rest,
                       std::string* error) {
    rest.clear();
    for (const auto& [key, value] : keyValueWords(text)) {
        double* target = nullptr;
        if (key == "rate")
            target = &out.rate;
        else if (key == "lag")
            target = &out.lagHours;
        else if (key == "growth")
            target = &out.growth;
        else if (key == "max")
            target = &out.maxRate;
        else if (key == "noise")
            target = &out.noise;
        else if (key == "settle")
            target = &out.settleSec;
        if (target) {
            if (!parseReal(value, *target) || *target < 0.0) {
                if (error) *error = "bad value for " + key + ": '" + value + "'";
                return false;
            }
            continue;
        }
        if (key == "adc") {
            if (!parseInt(value, out.adc) || out.adc < 0 || out.adc > 1023) {
                if (error) *error = "bad value for adc: '" + value + "'";
                return false;
            }
            continue;
        }
        if (!rest.empty()) rest += ' ';
        rest += value.empty() ? key : key + "=" + value;
    }
    return true;
}

}  // namespace kv::sim
