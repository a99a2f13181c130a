#include "system/startup_status.h"

namespace kv {

void StartupStatus::setTask(const std::string& text) {
    std::lock_guard lock(mutex_);
    task_ = text;
}

void StartupStatus::setDevices(const std::string& label, int count) {
    std::lock_guard lock(mutex_);
    devicesLabel_ = label;
    devices_ = count;
    devicesDone_ = 0;
}

void StartupStatus::setDevicesDone(int done) {
    std::lock_guard lock(mutex_);
    devicesDone_ = done;
}

void StartupStatus::setValues(int count) {
    std::lock_guard lock(mutex_);
    values_ = count;
    valuesPercent_ = 0;
}

void StartupStatus::setValuesPercent(int percent) {
    std::lock_guard lock(mutex_);
    valuesPercent_ = percent;
}

void StartupStatus::setAligning(int cells) {
    cellsDone_.store(0);
    std::lock_guard lock(mutex_);
    aligning_ = true;
    devicesLabel_ = "Cells";
    devices_ = cells;
    values_ = 0;
}

void StartupStatus::setRunning() {
    running_.store(true);
}

std::vector<std::string> StartupStatus::lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.push_back("step: " + task_);
    if (devices_ > 0) {
        const int done = aligning_ ? cellsDone_.load() : devicesDone_;
        out.push_back(devicesLabel_ + ": " + std::to_string(done) + "/" + std::to_string(devices_));
    }
    if (values_ > 0)
        out.push_back("values: " + std::to_string(valuesPercent_) + "% of " +
                      std::to_string(values_));
    return out;
}

}  // namespace kv
