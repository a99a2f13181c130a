#pragma once
// What the rows need from the rest of the program. The rows sit above the cell model and
// the device list and below the CO2 meters and the windows: the parts below are passed in
// by reference, the parts above as hooks. Every hook may be left empty.

#include <atomic>
#include <functional>
#include <string>

#include "acquisition/cells.h"
#include "acquisition/device_io.h"
#include "acquisition/run_flags.h"
#include "app/config.h"
#include "app/inifile.h"
#include "device/device_list.h"

namespace kv {

struct RowsHooks {
    // An error box with an OK button (window front end); the text also went to the
    // message list.
    std::function<void(const std::string&)> errorBox;
    // Lets the window system handle pending events during long row operations.
    std::function<void()> processMessages;
    // The main window's status line.
    std::function<void(const std::string&)> setStatusText;
    // Asks the main window to repaint its lists (a row stopped by itself).
    std::function<void()> refreshRequest;
    // The CO2 part begins a new measuring cycle at once (a CO2 row was started).
    std::function<void()> forceCO2Cycle;
    // Switches the CO2 relay of a cell off: once for the CDM, once more for the EC71 meters.
    std::function<void(int cell, bool ec71)> co2RelayOff;
    // The device link's disabling state; a row is not stopped while it is above 0.
    std::function<int()> disEnableCurrentDeviceState;
    // Leaves the start of the data devices' new queues to the acquisition, after its next
    // read of each; false (or no hook): the rows send it at once.
    std::function<bool()> resetQueuesAfterNextRead;
};

struct RowsEnv {
    Config& cfg;
    // The configuration file: the export and printer options are read from it whenever
    // the row definitions file is loaded. May be null (tests).
    IniFile* configIni;
    TCells& cells;
    DeviceList& devices;
    DeviceIoLocks& io;
    RunFlags flags;
    // TKelvora's flags that RunFlags does not carry; may be null.
    std::atomic<bool>* cdmCallbackBusy = nullptr;
    std::atomic<bool>* rowAutoSaveBlocked = nullptr;
    // The home folder: where an empty or relative DataRoot points to, and where "Dbg/"
    // receives the row file backups.
    std::string homeFolder;
    // The row definitions file ("Kelvora.Row"), saved by the row operations.
    std::string rowFileName;
    RowsHooks hooks;
};

}  // namespace kv
