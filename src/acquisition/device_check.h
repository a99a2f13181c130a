#pragma once
// The device check: every DeviceCheckTimer(mSec) ms it looks at the link state of every
// configured device, counts and reports lost connections (by device type, case devices
// quiet during SuppressCaseErrors(Sec) after the start), tries to reopen lost devices,
// reports those that are back, resynchronises when a data device is back, shows the
// device summary in the status bar and detects O2 tanks that run low.
//
// DeviceCheckTimerTimer() is a plain method for tests; start() drives it from its own
// PeriodicTimer thread.

#include <functional>

#include "acquisition/alarms.h"
#include "acquisition/device_io.h"
#include "acquisition/run_flags.h"
#include "acquisition/status_output.h"
#include "common/periodic_timer.h"
#include "device/device_list.h"

namespace kv {

class DeviceCheck {
  public:
    DeviceCheck(const Config& cfg, DeviceList& devices, Alarms& alarms, RunFlags flags,
                StatusOutput& status, DeviceIoLocks& io);
    ~DeviceCheck();
    DeviceCheck(const DeviceCheck&) = delete;
    DeviceCheck& operator=(const DeviceCheck&) = delete;

    // Hooks, set before start(). Each may be left empty.
    // The program's start time (case device errors are suppressed for a while after it).
    void setProgramStart(TDateTime t) { programStart_ = t; }
    // Called with the acquisition held off when data devices are back: the splash window,
    // SyncWithDevices(true) and hiding the splash again.
    void setResyncHook(std::function<void()> f) { resync_ = std::move(f); }
    // EC71 meter 1: reports its connection changes and returns true while it counts as
    // lost (it then joins the lost devices as "EC71"). Called only with EC71_Present.
    void setEC71Hook(std::function<bool()> f) { ec71_ = std::move(f); }
    // The CDM's online/reported bookkeeping. Called only with CDM_Present.
    void setCDMHook(std::function<void()> f) { cdm_ = std::move(f); }

    // One check.
    void DeviceCheckTimerTimer();

    void start();
    void stop();
    bool running() const { return timer_.running(); }

    // How many resynchronisations the check has started (for the status and tests).
    int resyncCount() const { return resyncs_.load(); }

  private:
    struct BackCount {
        int devices = 0;
        int dataDevices = 0;
    };
    void deviceSummary(std::string& lostNames, int& lost);
    void updateSuppressFlags(TDateTime now);
    void checkDevice(int d, TDateTime now, BackCount& back);
    void reopen(int d);
    void resynchronise(int devicesBack);
    bool pauseUnlessQuitting(long long ms);
    std::string downMessage(const TKLVDeviceListEntry& e, const std::string& error) const;
    std::string upMessage(const TKLVDeviceListEntry& e) const;

    const Config& cfg_;
    DeviceList& dl_;
    Alarms& alarms_;
    RunFlags flags_;
    StatusOutput& status_;
    DeviceIoLocks& io_;
    TDateTime programStart_ = 0;
    std::function<void()> resync_;
    std::function<bool()> ec71_;
    std::function<void()> cdm_;
    std::atomic<int> resyncs_{0};
    PeriodicTimer timer_;
};

}  // namespace kv
