#pragma once
// What the splash window shows while the program starts: the step's text and the two
// gauges. The start-up writes it on its own thread (the synchronisation's and the
// alignment's figures from their workers' counters); the console's status command reads it
// from the control socket's thread before the program runs.

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace kv {

class StartupStatus {
  public:
    void setTask(const std::string& text);
    // lblDevices / lblNrDevices and tgDevices.
    void setDevices(const std::string& label, int count);
    void setDevicesDone(int done);
    // lblNrValues and tgValues (percent); count 0 hides them.
    void setValues(int count);
    void setValuesPercent(int percent);
    // The alignment counts its cells here itself, from its workers.
    std::atomic<int>& cellsDone() { return cellsDone_; }
    void setAligning(int cells);
    // The timers run: the program has started.
    void setRunning();
    bool running() const { return running_.load(); }

    // "step: ...", "devices: done/count", "values: percent% of count" (the gauges shown).
    std::vector<std::string> lines() const;

  private:
    mutable std::mutex mutex_;
    std::string task_;
    std::string devicesLabel_ = "Devices";
    int devices_ = 0;
    int devicesDone_ = 0;
    int values_ = 0;
    int valuesPercent_ = 0;
    bool aligning_ = false;
    std::atomic<int> cellsDone_{0};
    std::atomic<bool> running_{false};
};

}  // namespace kv
