#pragma once
// The live impulse counts of the cells, kept on disk between two data lines.
//
// A row writes its counts to its data file once per interval (an hour, typically); the
// acquisition counts impulses every tick and acknowledges them to the device, which then
// drops them from its queue. Without this file a crash of the program (or of the PC) would
// lose every impulse counted since the last data line: the synchronisation at the next
// start only finds the tacts the devices still queue. So every tick that changed a count
// replaces "CellCounts.Txt" in the home folder atomically:
//
//   Time=<date-time text>
//   C<cell>=<row number>;<count>
//
// one line per cell that belongs to a row, CR LF. At start-up, after the rows have reloaded
// their counts from the data files and before the synchronisation adds the queued tacts,
// a cell that still belongs to the same row (the row's unique number) and whose journalled
// count is higher gets that count back, unless the row wrote a data line at or after the
// journal's time (a line written at the quit holds a counter the operator lowered).

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "acquisition/cells.h"

namespace kv {

class CountJournal {
  public:
    CountJournal(TCells& cells, std::string folder);

    std::string path() const;
    // Writes the counts when any of them changed since the last write. False (with a debug
    // line, and once a message) when the file could not be written.
    bool write(TDateTime now);
    // Start-up: raises the live counts from the file as described above. newestValueTime
    // gives the time of a row's newest time value (0: none). Returns the number of cells
    // restored.
    int restore(const std::function<TDateTime(int rowNr)>& newestValueTime);

  private:
    struct Entry {
        int rowNr = 0;
        int count = 0;
        bool operator==(const Entry&) const = default;
    };
    using Snapshot = std::map<int, Entry>;

    Snapshot snapshot() const;

    TCells& cells_;
    std::string folder_;
    // Ticks write it; the quit path may too.
    std::mutex mutex_;
    Snapshot written_;
    bool writtenOnce_ = false;
    bool errorReported_ = false;
};

}  // namespace kv
