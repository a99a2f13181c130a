#pragma once
// The operator's alarms: the leakage alarm that suspends a cell whose O2 consumption over
// some hours comes close to the most its device can dose (which means a leak), and the O2
// tanks that run low. Holds the alarm flag, the alarm list and the tank-low texts that the
// status bar and the alarm window show.
//
// The leakage check runs on the acquisition thread, the tank check and the alarm window's
// buttons on the window thread: the state is guarded by a mutex.

#include <mutex>
#include <string>

#include "acquisition/cells.h"
#include "acquisition/status_output.h"

namespace kv {

class Alarms {
  public:
    Alarms(TCells& cells, StatusOutput& status) : cells_(cells), status_(status) {}
    Alarms(const Alarms&) = delete;
    Alarms& operator=(const Alarms&) = delete;

    // The leakage check of cell i over `hours` alarm intervals against `limit` percent of
    // the most the device can dose; suspends the cell through its row when it fires.
    void CheckHourlyValues(int i, int limit, int hours);
    // The check alone, on a cell record the caller holds (the acquisition tick evaluates
    // under the cell table's lock and raises the alarm after releasing it).
    bool hourlyAlarmDue(const TCell& c, int i, int limit, int hours) const;
    // Message, alarm list, the row's suspend and the status bar.
    void raiseAlarm(int i, int rowNr);

    // The device check's O2 tank step: lists the cells whose tank has reached DefPrzO2Imp
    // percent, tells the operator once per run, and sets sbInfo2.
    void CheckO2Tanks();

    // The alarm window.
    std::string caption() const;
    bool alarmFlag() const;
    std::string alarmList() const;
    // The memo: the tank-low cell list (when there is one) followed by the alarm list.
    std::string memoText() const;
    void clearIndicator();  // "Clear Alarm Indicator"
    void clearList();       // "Clear Alarm List"

    bool tankLow() const;
    std::string tankLowStatus() const;
    std::string tankLowCells() const;

  private:
    TCells& cells_;
    StatusOutput& status_;

    mutable std::mutex mutex_;
    bool alarm_ = false;
    std::string alarmList_;
    bool tankLow_ = false;
    bool tankLowReported_ = false;
    std::string tankLowStatus_;
    std::string tankLowCells_;
};

}  // namespace kv
