#include "sim/meters/lab_absorbers.h"

#include <algorithm>

namespace kv::sim {
namespace {

constexpr double kCO2PerO2 = 44.0 / 32.0;  // g/mol CO2 over g/mol O2

}  // namespace

void LabAbsorbers::add(Co2Device* co2, DataDevice* data) {
    if (!co2) return;
    Group g{co2, data, {}};
    for (int k = 1; k <= Co2Device::kCells; ++k) g.raw0[size_t(k - 1)] = co2->rawValue(k);
    groups_.push_back(g);
}

double LabAbsorbers::co2Mg(size_t g, int k) {
    if (g >= groups_.size() || k < 1 || k > Co2Device::kCells) return 0.0;
    const Group& gr = groups_[g];
    if (gr.data) return gr.data->consumedMg(k) * p_.rq * kCO2PerO2;
    return (p_.lf0 - conductivity(g, k)) * p_.mgPerLF;
}

double LabAbsorbers::conductivity(size_t g, int k) {
    if (g >= groups_.size() || k < 1 || k > Co2Device::kCells) return 0.0;
    const Group& gr = groups_[g];
    double lf;
    if (gr.data) {
        lf = p_.lf0 - co2Mg(g, k) / p_.mgPerLF;
    } else {
        const double raw0 = gr.raw0[size_t(k - 1)];
        lf = raw0 > 0 ? p_.lf0 * gr.co2->rawValue(k) / raw0 : p_.lf0;
    }
    return std::max(lf, p_.minLF);
}

MeterReading LabAbsorbers::reading() {
    MeterReading r;
    r.temp = p_.temp;
    int on = 0;
    for (size_t g = 0; g < groups_.size(); ++g) {
        const int mask = groups_[g].co2->relayMask();
        for (int k = 1; k <= Co2Device::kCells; ++k) {
            if (!(mask & (1 << (k - 1)))) continue;
            // Two absorbers on one electrode: the meter sees the first; the count tells
            // a test that the program switched badly.
            if (on++ == 0) {
                r.connected = true;
                r.lf = conductivity(g, k);
            }
        }
    }
    if (on > 1) ++overlaps_;
    return r;
}

}  // namespace kv::sim
