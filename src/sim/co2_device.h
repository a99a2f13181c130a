#pragma once
// A simulated CO2 device (type 3): six raw values of the absorbers' conductivity (0..1023,
// falling as the absorbers take up CO2) and the multiplexer relays that switch a cell's
// absorber to the conductivity meter.
//
//   g#         latch a new reading of the six raw values
//   T#         "T=v1;v2;v3;v4;v5;v6#", the latched reading (a fresh one when none)
//   c<bit>#    relay of cell <bit> (1..6) on;  b<bit>#  off
//   a#         all relays off;  e#, l#, m#  accepted (no visible effect)

#include <array>

#include "sim/sim_device.h"

namespace kv::sim {

struct Co2CellParams {
    double raw = 800.0;   // raw value at the start
    double slope = 0.0;   // fall of the raw value per hour
    double minRaw = 0.0;  // the absorber is spent here
    double noise = 0.0;   // standard deviation of a reading, raw units
};

struct Co2DeviceSetup {
    DeviceIdentity id;
    std::array<Co2CellParams, 6> cells{};
};

class Co2Device : public SimDevice {
  public:
    static constexpr int kCells = kCellsPerDevice;
    explicit Co2Device(const Co2DeviceSetup& setup);
    DeviceType type() const override { return DeviceType::CO2; }

    bool relayOn(int k);
    // Bit k-1 set while the relay of cell k is on.
    int relayMask();
    // Exact raw value of cell k now (no noise, not rounded).
    double rawValue(int k);
    int readings();  // g# received

  protected:
    void advanceLocked(TDateTime) override {}
    void handleCommandLocked(const std::string& command, TDateTime now) override;
    void restartLocked(TDateTime) override;

  private:
    double rawAtLocked(int k, TDateTime t) const;
    void latchLocked(TDateTime now);

    std::array<Co2CellParams, kCells> cells_;
    std::array<int, kCells> latched_{};
    bool hasLatched_ = false;
    TDateTime origin_;
    int relays_ = 0;
    int readings_ = 0;
};

}  // namespace kv::sim
