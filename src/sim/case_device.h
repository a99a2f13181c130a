#pragma once
// A simulated case control device (type 2): the temperature of one case, drifting slowly
// around its set value. T2# answers in tenths of a degree Celsius, e.g. "T2=215#".

#include "sim/sim_device.h"

namespace kv::sim {

struct CaseDeviceSetup {
    DeviceIdentity id;
    double temperature = 21.5;  // °C, middle of the drift
    double drift = 0.3;         // °C, amplitude of the slow swing
    double driftHours = 12.0;   // period of the swing
};

class CaseDevice : public SimDevice {
  public:
    explicit CaseDevice(const CaseDeviceSetup& setup);
    DeviceType type() const override { return DeviceType::Case; }

    // Temperature now, °C (before rounding to tenths).
    double temperature();
    // Moves the middle of the drift (a heater going wrong, a door left open).
    void setTemperature(double celsius);

  protected:
    void advanceLocked(TDateTime) override {}
    void handleCommandLocked(const std::string& command, TDateTime now) override;
    void restartLocked(TDateTime) override {}

  private:
    double temperatureAtLocked(TDateTime t) const;

    TDateTime origin_;
    double base_;
    double drift_;
    double driftHours_;
};

}  // namespace kv::sim
