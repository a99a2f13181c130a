#pragma once
// The cells-and-acquisition subsystem in one object, as the device manager holds it: the
// cell table, the alarms, the O2 tank file and temperature log, the acquisition cycle and
// the device check, sharing one set of device locks.
//
// Built after the configuration and the device list exist (it keeps references to both);
// the rows, the status outputs' window side and the CO2 hooks are attached before the
// timers start.

#include <string>

#include "acquisition/acquisition_cycle.h"
#include "acquisition/alarms.h"
#include "acquisition/cells.h"
#include "acquisition/count_journal.h"
#include "acquisition/device_check.h"
#include "acquisition/device_io.h"
#include "acquisition/o2tanks.h"

namespace kv {

class Acquisition {
  public:
    // homeFolder: where "O2_TankData.Txt", "TempLog.Txt" and "CellCounts.Txt" live.
    Acquisition(const Config& cfg, DeviceList& devices, RunFlags flags, StatusOutput& status,
                std::string homeFolder)
        : cells(cfg, devices, flags, status, io),
          alarms(cells, status),
          tanks(cells, homeFolder),
          tempLog(devices, homeFolder),
          journal(cells, homeFolder),
          cycle(cfg, devices, cells, alarms, tanks, tempLog, flags, status, io),
          check(cfg, devices, alarms, flags, status, io) {
        cycle.setCountJournal(&journal);
    }

    // Both timers; stop() returns when neither callback runs.
    void startTimers() {
        cycle.start();
        check.start();
    }
    void stopTimers() {
        check.stop();
        cycle.stop();
    }

    DeviceIoLocks io;
    TCells cells;
    Alarms alarms;
    O2TankFile tanks;
    TempLog tempLog;
    CountJournal journal;
    AcquisitionCycle cycle;
    DeviceCheck check;
};

}  // namespace kv
