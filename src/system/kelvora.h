#pragma once
// TKelvora: the composition root of the run-time state — the configuration values and the
// run-state flags, and (as the subsystems join) the device list, the cell table and the
// CO2 interfaces. Created once at start-up, lives until the program ends.
//
// The flags keep their original meaning — a periodic callback skips its tick while a
// conflicting flag is set — but are atomics, and every structure written from more than
// one thread carries its own lock.

#include <atomic>
#include <memory>

#include "acquisition/acquisition.h"
#include "acquisition/status_output.h"
#include "app/config.h"
#include "app/inifile.h"
#include "device/device_list.h"
#include "device/ft_backend.h"
#include "device/ftlink.h"
#include "device/protocol.h"

namespace kv {

class TKelvora {
public:
    // The link backend comes from [FT232R] Backend=; simPorts are the virtual lab's
    // devices for the "sim" backend. homeFolder holds the O2 tank file and temperature log.
    TKelvora(IniFile& ini, const std::string& homeFolder,
             std::vector<std::shared_ptr<sim::SimPort>> simPorts = {})
        : ini(ini),
          link(makeBackendFromConfig(ini, std::move(simPorts))),
          protocol(link),
          devices(link, protocol, &configCmdInProgress),
          acq(cfg, devices, runFlags(), status, homeFolder) {}

    RunFlags runFlags() {
        return {systemRunning,   startupInProgress, configCmdInProgress, deviceCheckInProgress,
                usbCallbackBusy, ec71CallbackBusy,  rowCommandIdle,      quitting};
    }

    IniFile& ini;
    Config cfg;

    std::atomic<bool> startupInProgress{false};
    std::atomic<bool> systemRunning{false};
    std::atomic<bool> configCmdInProgress{false};
    std::atomic<bool> deviceCheckInProgress{false};
    // Set by each periodic callback while it works; the quit path waits for all three.
    std::atomic<bool> usbCallbackBusy{false};
    std::atomic<bool> cdmCallbackBusy{false};
    std::atomic<bool> ec71CallbackBusy{false};
    // Set when the quit path has begun.
    std::atomic<bool> quitting{false};
    // Cleared by the front end while it starts or stops a series.
    std::atomic<bool> rowCommandIdle{false};
    // The periodic row auto-save does nothing until start-up has finished.
    std::atomic<bool> rowAutoSaveBlocked{true};

    FTLink link;
    DeviceProtocol protocol;
    DeviceList devices;
    // What the main window would show; the headless program keeps and logs the texts.
    HeadlessStatusOutput status;
    Acquisition acq;

    bool callbacksBusy() const {
        return usbCallbackBusy.load() || cdmCallbackBusy.load() || ec71CallbackBusy.load();
    }
};

}  // namespace kv
