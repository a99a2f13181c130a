#include "sim/case_device.h"

#include <cmath>

namespace kv::sim {

CaseDevice::CaseDevice(const CaseDeviceSetup& setup)
    : SimDevice(setup.id),
      origin_(kv::clock().now()),
      base_(setup.temperature),
      drift_(setup.drift),
      driftHours_(setup.driftHours > 0.01 ? setup.driftHours : 12.0) {}

double CaseDevice::temperatureAtLocked(TDateTime t) const {
    const double hours = (t - origin_) * 24.0;
    return base_ + drift_ * std::sin(6.283185307179586 * hours / driftHours_);
}

double CaseDevice::temperature() {
    std::lock_guard lock(mutex_);
    return temperatureAtLocked(kv::clock().now());
}

void CaseDevice::setTemperature(double celsius) {
    std::lock_guard lock(mutex_);
    base_ = celsius;
}

void CaseDevice::handleCommandLocked(const std::string& command, TDateTime now) {
    if (command == "Z") {
        answerLocked("Z=" + identityLocked().version + "#", now);
    } else if (command == "T2") {
        const long tenths = std::lround(temperatureAtLocked(now) * 10.0);
        answerLocked("T2=" + std::to_string(tenths) + "#", now);
    }
    // Everything else (l# from the configuration dialog, ...) is accepted silently.
}

}  // namespace kv::sim
