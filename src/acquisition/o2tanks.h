#pragma once
// The O2 tank bookkeeping file "O2_TankData.Txt" and the temperature log "TempLog.Txt",
// both in the program's home folder.
//
// Tank file, one line per cell, CR LF:  C3=1200, 14.03.2026, 234000, 1200
//   total impulses, date of the last refill, tank content and impulses since the refill.
// The date is the program's date text (day.month.year, or year-month-day for any other
// DateTimeFormat), read back in either form; an empty date means "never refilled". The file
// is replaced atomically, so a crash mid-write leaves the previous one.
//
// Temperature log: a header "d/t;1;2" (the case numbers of the case control devices) when
// the file is created, then one line per entry: date-time text and each case temperature
// with one decimal. Each line is flushed when written.

#include <mutex>
#include <string>

#include "acquisition/cells.h"
#include "device/device_list.h"

namespace kv {

class O2TankFile {
  public:
    O2TankFile(TCells& cells, std::string folder);

    std::string path() const;
    // Sets the tank fields of the cells named in the file; a missing file leaves the
    // defaults and tells the operator.
    void read_O2TankData();
    // False, with a debug line (and once a message), when the file could not be written.
    bool write_O2TankData();
    // The refill question, and the refill itself once the operator confirmed.
    std::string refillQuestion(int i) const;
    void refill(int i);
    // The tank line of cell i as the file holds it (without the line end).
    std::string tankLine(int i) const;
    // "12.5%" of the used tank content; "" without a content.
    static std::string usedPercentText(const TCell& c);

  private:
    TCells& cells_;
    std::string folder_;
    // The tank file is written from the acquisition thread and the window thread.
    std::mutex writeMutex_;
    bool writeErrorReported_ = false;
};

class TempLog {
  public:
    TempLog(DeviceList& devices, std::string folder);

    std::string path() const;
    void write_TempLog(TDateTime now);
    TDateTime lastLogTime() const;

  private:
    DeviceList& dl_;
    std::string folder_;
    mutable std::mutex mutex_;
    TDateTime lastLog_ = 0;
};

}  // namespace kv
