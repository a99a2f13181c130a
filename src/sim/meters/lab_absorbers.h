#pragma once
// The CO2 absorbers of the virtual lab's cells as a conductivity meter sees them through
// the multiplexer relays of the lab's CO2 devices.
//
// Each absorber starts at LF0 mS/cm and loses conductivity as it takes up the CO2 its
// sample produces: CO2 = RQ x 44/32 x the O2 the sample consumed (ground truth of the data
// device), and the conductivity falls by 1 mS/cm per MgPerLF mg CO2, down to MinLF. So a
// program that converts with LF2CO2 = MgPerLF finds the lab's CO2 again. A CO2 device
// without a data device partner drives its absorbers by its own raw values instead
// (conductivity proportional to the raw value, LF0 at the first one).
//
// The reading is the absorber whose relay is on; none on means the electrode measures air.
// Thread-safe (the devices are).

#include <array>
#include <atomic>
#include <mutex>
#include <vector>

#include "sim/co2_device.h"
#include "sim/data_device.h"
#include "sim/meters/serial_meter.h"

namespace kv::sim {

struct AbsorberParams {
    double lf0 = 2.5;         // mS/cm of a fresh absorber
    double mgPerLF = 9.7216;  // mg CO2 that lower the conductivity by 1 mS/cm
    double rq = 1.0;          // mol CO2 released per mol O2 consumed
    double minLF = 0.05;      // a spent absorber
    double temp = 20.0;       // degrees Celsius
};

class LabAbsorbers {
  public:
    explicit LabAbsorbers(AbsorberParams p = {}) : p_(p) {}

    // The relays of co2 (bits 1..6) switch the absorbers of data's cells 1..6; data may be
    // nullptr. Call while the lab is built, before readings are taken.
    void add(Co2Device* co2, DataDevice* data);

    MeterReading reading();
    ReadingSource source() {
        return [this] { return reading(); };
    }

    // Ground truth of absorber k (1..6) of the group added as number g (0-based).
    double conductivity(size_t g, int k);
    double co2Mg(size_t g, int k);
    // Readings taken while relays of two or more absorbers were on.
    int overlaps() const { return overlaps_.load(); }
    const AbsorberParams& params() const { return p_; }

  private:
    struct Group {
        Co2Device* co2 = nullptr;
        DataDevice* data = nullptr;
        std::array<double, 6> raw0{};
    };

    AbsorberParams p_;
    std::vector<Group> groups_;
    std::atomic<int> overlaps_{0};
};

}  // namespace kv::sim
