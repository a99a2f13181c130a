#include "sim/co2_device.h"

#include <algorithm>
#include <cmath>

namespace kv::sim {

Co2Device::Co2Device(const Co2DeviceSetup& setup)
    : SimDevice(setup.id), cells_(setup.cells), origin_(kv::clock().now()) {}

double Co2Device::rawAtLocked(int k, TDateTime t) const {
    const Co2CellParams& p = cells_[k - 1];
    const double hours = std::max(0.0, (t - origin_) * 24.0);
    return std::clamp(p.raw - p.slope * hours, p.minRaw, 1023.0);
}

void Co2Device::latchLocked(TDateTime now) {
    for (int k = 1; k <= kCells; ++k) {
        double v = rawAtLocked(k, now);
        if (cells_[k - 1].noise > 0) v += cells_[k - 1].noise * rngLocked().gauss();
        latched_[k - 1] = std::clamp(static_cast<int>(std::lround(v)), 0, 1023);
    }
    hasLatched_ = true;
}

void Co2Device::handleCommandLocked(const std::string& command, TDateTime now) {
    const char c = command[0];
    if (command == "Z") {
        answerLocked("Z=" + identityLocked().version + "#", now);
    } else if (command == "g") {
        ++readings_;
        latchLocked(now);
    } else if (command == "T") {
        if (!hasLatched_) latchLocked(now);
        std::string s = "T=";
        for (int k = 0; k < kCells; ++k) {
            if (k) s += ';';
            s += std::to_string(latched_[k]);
        }
        answerLocked(s + "#", now);
    } else if ((c == 'c' || c == 'b') && command.size() == 2 && command[1] >= '1' &&
               command[1] <= '6') {
        const int bit = 1 << (command[1] - '1');
        relays_ = c == 'c' ? (relays_ | bit) : (relays_ & ~bit);
    } else if (command == "a") {
        relays_ = 0;
    }
}

void Co2Device::restartLocked(TDateTime) {
    relays_ = 0;
    hasLatched_ = false;
}

bool Co2Device::relayOn(int k) {
    std::lock_guard lock(mutex_);
    return k >= 1 && k <= kCells && (relays_ & (1 << (k - 1)));
}

int Co2Device::relayMask() {
    std::lock_guard lock(mutex_);
    return relays_;
}

double Co2Device::rawValue(int k) {
    std::lock_guard lock(mutex_);
    return k >= 1 && k <= kCells ? rawAtLocked(k, kv::clock().now()) : 0.0;
}

int Co2Device::readings() {
    std::lock_guard lock(mutex_);
    return readings_;
}

}  // namespace kv::sim
