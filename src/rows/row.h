#pragma once
// A measurement series ("row") or a template: its definition, the cells assigned to it, its
// time vector with one value per cell and interval, the special-cell table of the
// degradation evaluation, and the operations on all of them.
//
// Tables are 1-based as everywhere in the files: cell slots 1..120, time values 1..iRTV.
//
// Rows are owned by TRows. Every field is guarded by the rows lock (TRows::lock()); the
// operations below take it themselves, a caller that reads or changes fields directly
// must hold it.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/cell_state.h"
#include "common/clock.h"
#include "common/domain.h"
#include "common/numtext.h"

namespace kv {

class TRows;
class IniSections;
struct RowsEnv;

inline constexpr int kMaxRowCells = 120;
inline constexpr int kMaxSpecialCells = 120;
inline constexpr int kRTVSpare = 1000;
// The value of the special-cell entry that stands for the reference cells.
inline constexpr double kReferenceIndex = -9999.9;

// A data file as its row last wrote or read it: another file (or none) at the next append
// means the file was deleted or replaced under the running row.
// A reload whose last line is this many seconds after now tells that the clock is behind.
inline constexpr double kClockBehindSec = 120.0;

struct DataFileIdentity {
    unsigned long long dev = 0, ino = 0;
    long long size = -1;  // -1: no file known
};

struct RTVElement {
    TDateTime dt = 0;
    int T = NoValueInt;  // tenths of a degree
};

// A cell's values, one per time value. The CO2 value and the conductivity temperature are
// kept only once a row stores them, so a large O2-only row costs four bytes per value.
class CellValues {
  public:
    int size() const { return static_cast<int>(count_.size()); }
    void resize(int n);
    void reserve(int n);
    void clear();

    // An index outside the values reads as no value (count), -1 (lf) or 0 (tlf), and a
    // write there is ignored: a slot whose array is shorter than the time vector must not
    // take the program down.
    int count(int i) const { return inRange(i) ? count_[static_cast<size_t>(i)] : NoValueInt; }
    void setCount(int i, int v) {
        if (inRange(i)) count_[static_cast<size_t>(i)] = v;
    }
    void addCount(int i, int v) {
        if (inRange(i)) count_[static_cast<size_t>(i)] += v;
    }
    // -1 (not measured) where nothing was stored.
    int lf(int i) const { return lf_.empty() || !inRange(i) ? -1 : lf_[static_cast<size_t>(i)]; }
    void setLf(int i, int v);
    double tlf(int i) const {
        return tlf_.empty() || !inRange(i) ? 0.0 : tlf_[static_cast<size_t>(i)];
    }
    void setTlf(int i, double v);

  private:
    bool inRange(int i) const { return i >= 0 && i < size(); }

    std::vector<int> count_;
    std::vector<int> lf_;
    std::vector<double> tlf_;
};

// Chart line settings of one curve: shown, then line style, colour, symbol, legend box and
// axis.
struct ChartSel {
    int shown = 0;
    std::array<int, 5> v{1, 1, 1, 1, 1};
    bool operator==(const ChartSel&) const = default;
};

struct RowCell {
    int CellNr = 0;  // cell model number; 0 = slot empty
    bool bMapped = true;
    std::string Name;
    double Vol = 0;  // ml, or g when the row's RowMode is 1
    double TS = 0;   // dried matter, percent
    int CellTact = 0;
    CellState State = CellState::cs_Free;
    TDateTime StartTime = 0;
    TDateTime StopTime = 0;
    int NValues = 0;
    CellValues Values;
    int CounterValue = 0;
    int LastCount = 0;
    int aiCO2_start = -1;
    int LastLF = 0;
    double cdm_LF_0 = -1.0;
    double LF_Last = -1.0;
    int Mode = 0;  // 0 normal, 1 check, 2 blind, 3 reference
    int RowMode = 0;
    double Index = NoValueReal;
    double PTC = NoValueReal;
    double BTH1 = NoValueReal;
    double CO2Factor = 1.0;
    ChartSel ChartSel1;
    ChartSel ChartSel2{0, {1, 1, 1, 2, 2}};
};

struct SpecialCell {
    double value = 0;
    std::array<int, 3> flag{};
    // arr[a][j]: element j (0..2) of the a-th array (0..4).
    std::array<std::array<int, 3>, 5> arr{};
    bool operator==(const SpecialCell&) const = default;
};

// Options of ReadRow.
struct ReadRowOptions {
    // The row comes from an export file: its identity and data directory are checked
    // against this installation before anything is mapped or reloaded.
    bool import = false;
};

// The name of a new cell of a series or template, from the language texts ("uRowForm",
// "NewCellName" / "NewCellName_Template", default "Cell ##") with the number users see: a text
// with "%s" takes the number there, one without it has the number in place of its first "##".
// Without that, every new cell of a row would be named "Cell ##" alike.
std::string NewCellName(bool forTemplate, int displayNr);

class TRow : public std::enable_shared_from_this<TRow> {
  public:
    // Created by TRows::NewRow.
    TRow(TRows& owner, int seed);
    TRow(const TRow&) = delete;
    TRow& operator=(const TRow&) = delete;

    // --- definition --------------------------------------------------------------------
    std::string RowSection;
    bool isTemplate = false;
    int ListNr = 0;
    int UniqueNr = 0;
    std::array<RowCell, kMaxRowCells + 1> RowCells{};  // [0] unused
    int NrCells = 0;
    int RTVSize = 0;
    std::vector<RTVElement> RTV;  // [0] unused; holds at least iRTV + 1 elements
    int iRTV = 0;
    int iRTV0 = 0;
    int iRTV_lastLoaded = 0;
    int iRTV_lastSaved = 0;
    // Reload stopped at RTVSize: the data file holds lines that are not in memory, so it
    // is only ever appended to, never rewritten from memory.
    bool bIncompleteLoad = false;
    int lastValidTemp = 0;
    std::string Name;
    std::string SampleDate;
    std::string SampleTemp;
    std::string SampleAnalytiker;
    std::array<std::string, 3> Comment{};  // Comment/1 .. Comment/3
    double Duration = 1.0;
    TimeUnit SIDuration = TimeUnit::Days;
    double Interval = 1.0;
    TimeUnit SIInterval = TimeUnit::Hours;
    int Tact = 3;
    int RowMode = 0;
    int ZeroNeeded = 0;
    bool withCO2 = false;
    bool storeEC71_T = false;
    bool CO2Mean = false;
    int AttritionDivider = 1;
    int AlarmCount = 95;
    int AlarmHours = 1;
    bool bO2LeakageAlarm = false;
    double LF2CO2 = 0;
    double last_LF_0 = -1.0;
    bool bCountAfterAllCellsStarted = false;
    bool bAllCellsStarted = false;
    bool ContinueCellControl = false;
    TDateTime XFromDate = 0, XFromTime = 0, XToDate = 0, XToTime = 0;
    double XStep = 1.0;
    TimeUnit XUnit = TimeUnit::Days;
    std::array<int, 2> LegendPosition{};
    std::array<double, 9> YValues{};      // YValues 1..9 at [0..8]
    std::array<std::string, 3> YTexts{};  // YTexts 1..3 at [0..2]
    std::string DataDir;
    std::string PassWd;  // plain text; scrambled only in the file
    bool bActive = false;
    bool Saved = true;
    RowState State = RowState::Defined;
    TDateTime Created = 0, Start = 0, realStart = 0, Stop = 0, orgStop = 0, realStop = 0;
    double DurDays = 0, IntDays = 0;
    double CycleIncrement = 0;
    TDateTime NextCycle = 0;
    TDateTime LastLoadedDT = 0;
    int SpecialCellMode = 0;
    std::array<SpecialCell, kMaxSpecialCells + 1> SpecialCells{};  // [0] unused
    int NrSpecialCells = 0;
    // The evaluation: the 10-day window decides the 301F verdict (off for substances it
    // does not apply to); the three figures of the AT4 lag-phase rule.
    bool bEvalWindow = true;
    double LagRateHours = 3;
    double LagRatePercent = 25;
    double LagLinearHours = 24;

    // --- cells (row.cpp) ---------------------------------------------------------------
    // Slot 1..120, or -1 when the row is full or the number is not a cell.
    int AddCell(int cellNr, const std::string& name, double vol, int mode, int rowMode,
                double index, double ptc, double bth1);
    void DeleteCell(int slot, bool releaseInModel);
    int FindCellSlot(int cellNr) const;
    std::string CellsOfMode(int mode, double index) const;
    std::string StateText() const;
    // The number users see for a slot's cell.
    int DisplayNr(int slot) const;
    // Rebuilds the special-cell table; returns the configuration messages for the user
    // (one per missing kind of cell).
    std::vector<std::string> BuildSpecialCellTable();
    // The row password prompt's check (an empty row password passes everything).
    bool CheckPassword(std::string_view entry) const;

    // --- lifecycle (row_lifecycle.cpp) ----------------------------------------------------
    // False when the data directory cannot be made: the row does not start.
    bool StartRow(bool forceCO2Cycle);
    void StartCellInRow(int slot, int zeroNeeded);
    // False when the stop was refused (devices are being disabled).
    bool StopRow(const std::string& reason);
    // mode: the row's state; RowState::StoppedControl keeps the cell under control.
    void StopCell(int slot, RowState mode, TDateTime stopTime);
    void SuspendCell(int slot, bool o2, bool co2);
    void UnSuspendCell(int slot, bool o2, bool co2);
    void CancelCell(int slot, bool tellUser);
    // The start dialog's two actions. Both return true when the dialog closes.
    bool StartDialogStartCell(int slot, bool countAfterAllCellsStarted);
    bool StartDialogStartAll(bool countAfterAllCellsStarted);

    // --- time values (row_values.cpp) ------------------------------------------------------
    void AllocRTV();
    void ReleaseRTV();
    // False when a due data line could not be written (it is tried again at the next call).
    bool Update(bool bForce);
    void fillRTV(TDateTime upTo);
    int get_iRTV(TDateTime dt) const;
    double GetIntervalDays();
    // A usable interval: IntDays, but never less than one second.
    double intervalStep() const;
    // When the row's values begin: the earlier of Start and realStart.
    TDateTime spanStart() const;

    // Value functions: slot 1..NrCells, i 1..iRTV (or -1 for the start value where named).
    double O2Consumption(int slot, int i) const;
    double BOD(int slot, int i) const;
    double O2PerDriedMatter(int slot, int i) const;
    double ConductivityFromRaw(int slot, int i) const;  // i = -1: start value
    double CO2FromRaw(int slot, int i) const;           // i = -1: start value
    double CO2FromConductivity(int slot, int i) const;  // i = -1: start value
    double CO2ProducedWithDevice(int slot, int i) const;
    double CO2ProducedWithoutDevice(int slot, int i) const;
    // One of the two above, by the configured CO2 meters.
    double CO2Produced(int slot, int i) const;
    double SpecificBOD(int k, int i) const;
    double Degradation(int k, int i) const;
    double MeanBODCheck(int k, int i) const;
    double MeanBODReference(int i) const;

    // --- data file (row_datafile.cpp) ------------------------------------------------------
    // False (with the error reported) when a directory could not be made.
    bool MakeDataDir();
    std::string DataFileName() const;
    // False (with the error reported) when the line did not reach the disk.
    bool DFLine(int i, bool bForce);
    bool SaveSynchronizedData(int iStart);
    bool SaveAllData();
    bool RewriteDataFile();
    void Reload();
    // The header line and data line i, without the line end.
    std::string HeaderLine() const;
    std::string DataLine(int i, bool decimalComma) const;
    // Reads one data line into element iRTV + 1; false when its date-time is unreadable.
    bool ParseDataLine(std::string_view line, bool roundTemperature);

    // --- row definitions file (row_file.cpp) ------------------------------------------------
    // The row's section as the row definitions file holds it (CR LF line ends); also sets
    // RowSection.
    std::string SectionText(const std::string& sectionName);
    void ReadRow(const IniSections& file, const std::string& sectionName,
                 const ReadRowOptions& options = {});

    // Makes sure element n exists in the time vector and in every cell's values, growing
    // RTVSize when n passes it (a full vector is never written past).
    void ensureEntry(int n);

    TRows& owner() { return owner_; }
    const TRows& owner() const { return owner_; }

  private:
    RowsEnv& env() const;
    bool co2DevicePresent() const;
    void releaseCellInModel(int cellNr);
    // The slot's cell is attached to this row in the cell model (mapped, and the model's
    // RowNr is ours): only then may the row start, stop, suspend or overwrite it.
    bool ownsCell(const RowCell& c) const;
    // Gives a slot that has just taken a cell one value per time vector entry.
    void sizeValues(RowCell& c);
    // Keeps DataDir inside DataRoot (after symbolic links and ".." are resolved).
    void confineDataDir();
    void clearSlot(RowCell& c);
    // Sets the in-row state of a cell found by its number (not by a slot kept across an
    // unlocked wait).
    void setStateOfCell(int cellNr, CellState state);
    void suffixFor(bool& o2, bool& co2, std::string& suffix, bool forContinue) const;
    void changeSuspension(int slot, bool suspend, bool o2, bool co2);
    // The cell's absorber switched away from the conductivity meters (lock not held).
    void co2RelayOff(int cellNr) const;
    double co2FactorOfCell(int cellNr) const;
    int caseTemperatureTenths(int cellNr) const;
    void restartAfterReload(TDateTime now);
    void remakeMissingDataDir(const std::string& fileName);
    bool readDataFile(const std::string& fileName, TDateTime now, bool& rewrite);
    void reportFullTimeVector();
    void reloadLine(std::string_view line, TDateTime earliest, TDateTime latest, bool& rewrite);
    bool takeTimeValue(bool bForce);
    void takeCellValue(RowCell& rc, int n, bool co2Device);
    void storeCO2Raw(RowCell& rc, int n, int raw, int aiLast);
    void storeConductivity(RowCell& rc, int n, double lf0, double x, double temperature);
    std::string cellLines();
    void correctLoadedKeys(const IniSections& file, const std::string& sec,
                           const ReadRowOptions& options);
    void readCells(const IniSections& file, const std::string& sec);
    void readCellFields(const std::vector<std::string_view>& fields, RowCell& c, bool co2Device);
    void mapLoadedCells(const ReadRowOptions& options);
    void importIdentity();
    std::string normaliseDataDir(std::string dir) const;
    bool appendLines(int from, int to, bool forceFirst);
    // The time values not yet in the data file, appended; true when none is left over.
    bool writeUnsavedLines(bool forceFirst);
    // Before an append: a data file deleted or replaced since this row last wrote it is
    // put back from memory (a replacing file is kept beside it).
    void restoreDataFileIfChanged(const std::string& fileName, int keepUpTo);
    // A cut last line (a power cut mid-write) is cut off the file, so that the complete
    // lines stay and the next line starts on a line of its own.
    void repairTornLastLine(const std::string& fileName);
    void removeLeftoverTemporary(const std::string& fileName);
    void reportAccessError(int err, const std::string& fileName);

    TRows& owner_;
    // A data line that could not be written is reported once until a write succeeds.
    bool writeErrorReported_ = false;
    DataFileIdentity dataFile_;
};

}  // namespace kv
