#include "acquisition/device_check.h"

#include <algorithm>

#include "app/alarm_notify.h"
#include "app/debuglog.h"
#include "app/livefile.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "device/config_cmd_guard.h"

namespace kv {

namespace {

constexpr const char* kCat = "DeviceCheck";

}  // namespace

DeviceCheck::DeviceCheck(const Config& cfg, DeviceList& devices, Alarms& alarms, RunFlags flags,
                         StatusOutput& status, DeviceIoLocks& io)
    : cfg_(cfg), dl_(devices), alarms_(alarms), flags_(flags), status_(status), io_(io) {}

DeviceCheck::~DeviceCheck() {
    stop();
}

void DeviceCheck::start() {
    timer_.start(cfg_.DeviceCheckTimer_mSec, [this] { DeviceCheckTimerTimer(); });
}

void DeviceCheck::stop() {
    timer_.stop();
}

std::string DeviceCheck::downMessage(const TKLVDeviceListEntry& e, const std::string& error) const {
    switch (e.Type) {
        case DeviceType::Case:
            return GetTextFmt("uMain", "ConnectionDown_Case",
                              "Connection to Case Device %s is down. Error %s.", e.logName, error);
        case DeviceType::CO2:
            return GetTextFmt("uMain", "ConnectionDown_CO2",
                              "Connection to CO2 Device %s is down. Error %s.", e.logName, error);
        default:
            return GetTextFmt("uMain", "ConnectionDown_Device",
                              "Connection to Data Device %s is down. Error %s.", e.logName, error);
    }
}

std::string DeviceCheck::upMessage(const TKLVDeviceListEntry& e) const {
    switch (e.Type) {
        case DeviceType::Case:
            return GetTextFmt("uMain", "ConnectionUp_Case",
                              "Connection to Case Device %s is up again.", e.logName);
        case DeviceType::CO2:
            return GetTextFmt("uMain", "ConnectionUp_CO2",
                              "Connection to CO2 Device %s is up again.", e.logName);
        default:
            return GetTextFmt("uMain", "ConnectionUp_Device",
                              "Connection to Data Device %s is up again.", e.logName);
    }
}

void DeviceCheck::DeviceCheckTimerTimer() {
    const auto settings = cfg_.lock.reading();
    const bool logTimer = dbg().mmTimerInt.load();
    WriteDbg(kCat, "Start", logTimer);
    TouchLiveFile();
    if (!flags_.systemRunning.load() || flags_.startupInProgress.load() || flags_.quitting.load() ||
        flags_.deviceCheckInProgress.load() || !flags_.rowCommandIdle.load())
        return;
    flags_.deviceCheckInProgress.store(true);
    // A running tick is given one short pause; the device locks keep the two apart after it.
    if (flags_.usbCallbackBusy.load()) clock().sleepMs(cfg_.delayDeviceCheck);
    const TDateTime now = clock().now();

    alarms_.CheckO2Tanks();

    std::string lostNames;
    int lost = 0;
    status_.setPanel(StatusPanel::DevStatus, GetText("frmMain", "sbDevStatus_OK", "Devices: OK"),
                     StatusColor::Green);
    const std::string notOk = GetText("frmMain", "sbDevStatus_NotOK", "Devices: NOT OK");
    for (const auto& e : dl_.devices())
        if ((e.ErrorCode != 0 && e.actUSBErrorCount >= usbErrorLimit(e)) || e.unreadableReported)
            status_.setPanel(StatusPanel::DevStatus, notOk, StatusColor::Red);
    if (cfg_.EC71_Present && ec71_ && ec71_()) {
        ++lost;
        lostNames = "EC71";
        status_.setPanel(StatusPanel::DevStatus, notOk, StatusColor::Red);
    }
    updateSuppressFlags(now);
    deviceSummary(lostNames, lost);

    BackCount back;
    const int n = dl_.nDevices();
    for (int d = 1; d <= n; ++d) checkDevice(d, now, back);
    if (back.devices > 0 && back.dataDevices > 0) resynchronise(back.devices);

    if (cfg_.CDM_Present && cdm_) cdm_();
    flags_.deviceCheckInProgress.store(false);
    WriteDbg(kCat, "Stop", logTimer);
}

void DeviceCheck::updateSuppressFlags(TDateTime now) {
    const bool inSuppressTime = now <= programStart_ + cfg_.SuppressCaseErrors_Sec * kSecond;
    const int n = dl_.nDevices();
    for (int d = 1; d <= n; ++d)
        dl_.update(d, [inSuppressTime](TKLVDeviceListEntry& e) {
            e.bErrorMsgSuppressed = e.Type == DeviceType::Case && inSuppressTime;
        });
}

void DeviceCheck::deviceSummary(std::string& lostNames, int& lost) {
    for (const auto& e : dl_.devices()) {
        // A device whose value records cannot be read answers, but is as good as lost.
        const bool lostLink =
            e.ErrorCode != 0 && !e.bErrorMsgSuppressed && e.actUSBErrorCount >= usbErrorLimit(e);
        if (!e.bPresent || !(lostLink || e.unreadableReported)) continue;
        if (lost > 0) lostNames += ", ";
        lostNames += e.logName;
        ++lost;
    }
    if (lost == 0)
        status_.setPanel(StatusPanel::Info1, "", StatusColor::Black);
    else
        status_.setPanel(StatusPanel::Info1, "Check USB (" + num(lost) + ")  (" + lostNames + ")",
                         StatusColor::Red);
}

void DeviceCheck::checkDevice(int d, TDateTime now, BackCount& back) {
    const TKLVDeviceListEntry e = dl_.device(d);
    if (!e.bPresent) return;
    const int max = usbErrorLimit(e);

    if (e.ErrorCode != 0) {
        int counter = e.actUSBErrorCount;
        if (e.lastErrorCode == 0) {
            counter = e.actUSBErrorCount + 1;
            WriteDbg(kCat, "new error counting USBErrorCount UP to " + num(counter));
            const std::string error = FTStatusText(e.ErrorCode) + "  (" + num(e.ErrorCode) + ")";
            const std::string msg = downMessage(e, error);
            WriteDbg(kCat, msg + "; actUSBErrorCount=" + num(counter));
            // Below the maximum the error is counted again at the next check, silently.
            const bool reached = counter >= max;
            const bool suppressed = e.bErrorMsgSuppressed;
            dl_.update(d, [&](TKLVDeviceListEntry& x) {
                x.actUSBErrorCount = counter;
                x.lastErrorCode = reached ? e.ErrorCode : 0;
                if (reached) x.Message = msg + " " + dateTimeToText(now);
            });
            if (reached && !suppressed) {
                AddMsg(msg, true);
                NotifyAlarm(AlarmKind::DeviceLost, msg);
            }
            // The summary was drawn before this count; it shows the loss from now on.
            if (reached)
                status_.setPanel(StatusPanel::DevStatus,
                                 GetText("frmMain", "sbDevStatus_NotOK", "Devices: NOT OK"),
                                 StatusColor::Red);
        }
        WriteDbg(kCat,
                 "Trying to reOpen device " + e.logName + "; actUSBErrorCount=" + num(counter));
        reopen(d);
        return;
    }
    if (e.resyncRequested && e.actUSBErrorCount < max) {
        WriteDbg(kCat, "queue of " + e.logName + " to be read by a synchronisation");
        ++back.devices;
        ++back.dataDevices;
        return;
    }
    if (e.actUSBErrorCount < max) {
        dl_.update(d, [](TKLVDeviceListEntry& x) {
            x.actUSBErrorCount = 0;
            x.lastErrorCode = 0;
        });
        return;
    }

    WriteDbg(kCat, "error cleared, ErrorCode=" + num(e.ErrorCode));
    WriteDbg(kCat, "...ErrorCode/lastErrorCode=" + num(e.ErrorCode) + "/" + num(e.ErrorCode));
    const std::string msg = upMessage(e);
    WriteDbg(kCat, msg + "; actUSBErrorCount=" + num(e.actUSBErrorCount));
    if (!e.bErrorMsgSuppressed) {
        AddMsg(msg, true);
        NotifyAlarm(AlarmKind::DeviceBack, msg);
    }
    dl_.update(d, [&](TKLVDeviceListEntry& x) {
        x.lastErrorCode = e.ErrorCode;
        x.Message.clear();
        x.actUSBErrorCount = 0;
        // The count no longer marks it, but a tick that began before this check may still
        // reach the device: it stays out of the acquisition until the resynchronisation.
        x.needsResync = e.Type == DeviceType::Data;
    });
    ++back.devices;
    if (e.Type == DeviceType::Data) ++back.dataDevices;
}

void DeviceCheck::reopen(int d) {
    const TKLVDeviceListEntry e = dl_.device(d);
    std::lock_guard io(io_.of(d));
    dl_.USB_ReOpen(e.iUSBDeviceList, e.SerialNr);
    // A device that answers its identity clears its link error state through the read.
    const LinkHandle h = dl_.handleOf(d);
    dl_.link().FTWriteChars(h, "Z#");
    clock().sleepMs(50);
    dl_.link().FTReadAll(h);
}

// Sleeps ms in short slices, so that a quit does not wait for the whole pause (the quit
// path stops this timer and joins its thread). False when a quit has begun. The running
// flag tells nothing here: the resynchronisation has cleared it itself.
bool DeviceCheck::pauseUnlessQuitting(long long ms) {
    constexpr long long kSliceMs = 100;
    for (long long left = ms; left > 0; left -= kSliceMs) {
        if (flags_.quitting.load()) return false;
        clock().sleepMs(static_cast<int>(std::min(left, kSliceMs)));
    }
    return !flags_.quitting.load();
}

void DeviceCheck::resynchronise(int devicesBack) {
    flags_.systemRunning.store(false);
    {
        // Counted, not just set: a cell sequence of the window thread may hold the flag too,
        // and whichever ends first must not let the acquisition back in.
        ConfigCmdGuard configCmd(flags_.configCmdInProgress);
        const long long pauseMs = 1000LL * cfg_.syncDelayPerDevice_sec * devicesBack;
        if (pauseUnlessQuitting(std::max(0LL, pauseMs))) {
            WriteDbg("App", "Start synching with devices");
            dl_.dumpDeviceList(true);
            if (resync_) resync_();
            ++resyncs_;
            WriteDbg("App", "Finished synching with devices", dbg().general.load());
            pauseUnlessQuitting(1000);
        } else {
            // The devices keep their queues; the next start-up synchronises from them.
            WriteDbg("App", "Synching with devices left out: Kelvora is quitting");
        }
        // Whatever the synchronisation achieved, the devices are read again from here on.
        for (int d = 1; d <= dl_.nDevices(); ++d)
            dl_.update(d, [](TKLVDeviceListEntry& x) {
                x.needsResync = false;
                x.resyncRequested = false;
            });
    }
    // A quit that began meanwhile keeps the system stopped.
    if (!flags_.quitting.load()) flags_.systemRunning.store(true);
}

}  // namespace kv
