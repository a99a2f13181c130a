#pragma once
// TKelvora: the composition root of the run-time state — the configuration values and the
// run-state flags, the device list, the cell table and acquisition, the rows, and the CO2
// interfaces. Created once at start-up, lives until the program ends.
//
// The flags keep their original meaning — a periodic callback skips its tick while a
// conflicting flag is set — but are atomics, and every structure written from more than
// one thread carries its own lock.

#include <array>
#include <atomic>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "acquisition/status_output.h"
#include "app/config.h"
#include "app/inifile.h"
#include "co2/cdm.h"
#include "co2/cdm_cycle.h"
#include "co2/ec71.h"
#include "co2/ec71_calibration.h"
#include "co2/ec71_cycle.h"
#include "co2/mux_cycle.h"
#include "co2/relays.h"
#include "device/device_list.h"
#include "device/ft_backend.h"
#include "device/ftlink.h"
#include "device/protocol.h"
#include "rows/rows.h"

namespace kv {

// The CO2 cycles keep a row's starting conductivity in the row itself.
class RowsCo2Access : public Co2RowAccess {
  public:
    explicit RowsCo2Access(TRows& rows) : rows_(rows) {}
    double lastLF0(int rowNr) const override;
    void setLastLF0(int rowNr, double lf0) override;
    void setCellLF0(int rowNr, int cell, double lf0) override;

  private:
    TRows& rows_;
};

class TKelvora {
  public:
    // The link backend comes from [FT232R] Backend=; simPorts, when given, are the virtual
    // lab's devices and select the "sim" backend. homeFolder holds the O2 tank file, the
    // temperature log and (by default) the rows' data.
    TKelvora(IniFile& ini, const std::string& homeFolder, const std::string& rowFileName,
             RowsHooks rowsHooks, std::vector<std::shared_ptr<sim::SimPort>> simPorts = {});

    RunFlags runFlags() {
        return {systemRunning,   startupInProgress, configCmdInProgress, deviceCheckInProgress,
                usbCallbackBusy, ec71CallbackBusy,  rowCommandIdle,      quitting};
    }

    // All three EC71 meter objects; the configuration says how many are in use
    // (EC71_NrDevices), and the cycle and the checks use that many.
    std::span<TEC71* const> ec71Meters() const { return ec71Ptrs; }

    bool callbacksBusy() const {
        return usbCallbackBusy.load() || cdmCallbackBusy.load() || ec71CallbackBusy.load();
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
    // A configuration session (the dialog or a console command) is open; a second one
    // waits its turn.
    std::atomic<bool> configSessionOpen{false};
    // The periodic row auto-save does nothing until start-up has finished.
    std::atomic<bool> rowAutoSaveBlocked{true};

    FTLink link;
    DeviceProtocol protocol;
    DeviceList devices;
    // What the main window would show; the headless program keeps and logs the texts.
    HeadlessStatusOutput status;
    Acquisition acq;
    TRows rows;

    // CO2: the relays of the CO2 devices, the CDM meter or up to three EC71 meters, and
    // their measuring cycles.
    TMuxCycle mux;
    TCdmLink cdm;
    std::array<std::unique_ptr<TEC71>, kMaxEC71Meters> ec71;
    const std::array<TEC71*, kMaxEC71Meters> ec71Ptrs;
    EC71CalibrationData ec71Calibration;
    TCO2Relays relays;
    RowsCo2Access rowsCo2;
    TCdmCycle cdmCycle;
    TEC71Cycle ec71Cycle;
};

}  // namespace kv
