#pragma once
// TRows: every measurement series and template of the installation, the row definitions
// file they are kept in, export and import of a single row, the periodic update that the
// acquisition tick calls and the row auto-save.
//
// Threads: the window thread (row commands, dialogs, start-up, synchronisation), the
// acquisition thread (UpdateAll, the cell model's row lookups, the leakage alarm), the
// device check (resynchronisation) and the auto-save timer all reach the rows. One lock
// guards them (lock()); every operation here takes it. Code that reads or changes row
// fields directly holds it for as long as it uses a row. Long operations let go of it
// while they wait (RowsUnlocked), so a row pointer stays valid only through its
// shared_ptr.

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/row_lookup.h"
#include "common/periodic_timer.h"
#include "rows/row.h"
#include "rows/rows_env.h"
#include "rows/rows_mutex.h"

namespace kv {

inline constexpr int kMaxLoadedRows = 356;
inline constexpr const char* kDataFileName = "KLVdata.1";

// A row name made safe as a file name: no path separators, no characters that file
// systems refuse, no leading dots; "row" when nothing is left.
std::string SafeFileName(std::string_view name);

class TRows : public RowLookup {
  public:
    explicit TRows(RowsEnv env);
    ~TRows() override;
    TRows(const TRows&) = delete;
    TRows& operator=(const TRows&) = delete;

    RowsEnv& env() { return env_; }
    const RowsEnv& env() const { return env_; }
    RowsMutex& mutex() { return mutex_; }
    std::unique_lock<RowsMutex> lock() { return std::unique_lock<RowsMutex>(mutex_); }

    // --- the list ------------------------------------------------------------------------
    int Count();
    std::shared_ptr<TRow> At(int index);  // 0-based list position; null outside
    std::vector<std::shared_ptr<TRow>> Snapshot();
    // UniqueNr of a new row with the defaults, appended to the list. The number is made
    // unique in the list (rows created within the same 0.864 s would otherwise share it).
    int NewRow(int seed);
    std::shared_ptr<TRow> FindByUniqueNr(int nr);
    // The series (template) at a position of the main window's lists, which set ListNr
    // while they are filled.
    std::shared_ptr<TRow> FindSeries(int listNr);
    std::shared_ptr<TRow> FindTemplate(int listNr);
    std::string RowName(int nr);
    int CountRunning();

    // --- operations -------------------------------------------------------------------------
    // Every tick: each running row whose interval is due takes its time value. A change of
    // the system clock since the last call (summer time, a time server's correction, a
    // clock set by hand) is reported first; after a jump forward the rows' next values come
    // at the next interval from the new time, without values for the time skipped.
    void UpdateAll(bool bForce);
    // A jump of the date-time of this many seconds (steady time did not pass).
    static constexpr double kClockJumpSec = 60.0;
    void DeleteRow(int nr);
    // False, with the "AccessError" message and LastError() "Error", when it failed.
    bool SaveRowFile(const std::string& fileName, bool backup);
    void LoadRowFile(const std::string& fileName);
    // The number of data lines written, or -1 on a write error.
    int ExportRow(TRow& row, const std::string& fileName);
    // The imported row's name, or "" on failure.
    std::string ImportRow(const std::string& fileName);
    // The global last-error text of the row file writers: "Error" after a failed write,
    // cleared when a write starts.
    std::string LastError();

    // The auto-save: one turn (skipped while an acquisition callback works or start-up
    // has not finished); true when the file was written.
    bool RowAutoSaveTimer();
    // Runs RowAutoSaveTimer every RowAutoSave(mSec) ms on a timer thread.
    void startAutoSave();
    void stopAutoSave();

    // The part before "|" of the state texts, refreshed by every load.
    std::string StateShortName(RowState state);

    // The data root: DataRoot with "/" separators; an empty or relative one lies in the home
    // folder.
    std::string DataRoot() const;
    // The folder lies below the data root (symbolic links resolved).
    bool InsideDataRoot(const std::string& dir) const;
    bool startingUp() const { return env_.flags.startupInProgress.load(); }

    // --- for the synchronisation --------------------------------------------------------------
    // The first non-template row whose span contains t and that has cell i in a running,
    // suspended or control-only state; null when there is none.
    std::shared_ptr<TRow> RowForCellAt(int cell, TDateTime t);

    // --- RowLookup -------------------------------------------------------------------------------
    std::optional<RowInfo> findRow(int uniqueNr) const override;
    void suspendCellForAlarm(int uniqueNr, int cell) override;

    // "f" = "0" to every present data device: their queues start anew. With the acquisition
    // running, each device's after the next tick has read what its queue holds.
    void ResetDataDeviceQueues();

    // Used by the rows' own operations.
    void reportAccessError(int err, const std::string& fileName);
    void setLastError(std::string e);

  private:
    std::shared_ptr<TRow> findLocked(int nr) const;
    void watchClock();
    void clockJumped(double seconds, TDateTime from, TDateTime to);
    bool backupRowFile(const std::string& fileName);
    bool deleteDataDir(const TRow& row);

    RowsEnv env_;
    mutable RowsMutex mutex_;
    std::vector<std::shared_ptr<TRow>> rows_;
    std::string lastError_;
    int loading_ = 0;
    bool saveAfterLoad_ = false;
    std::array<std::string, 9> shortNames_{};  // [1..8]
    PeriodicTimer autoSave_;
    // The date-time and steady time at the previous update (steady -1: none yet).
    TDateTime watchedNow_ = 0;
    double watchedSteady_ = -1;
};

}  // namespace kv
