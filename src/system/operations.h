#pragma once
// The operations object: everything the main window and the row dialogs do to rows,
// templates, cells, O2 tanks and the message list, with the guards, password checks,
// questions and messages of those windows. Both front ends call it; questions and password
// prompts go to the FrontEnd, refusals and failures come back in the result, so the window
// front end shows them in a box and the console prints them.
//
// Runs on the window thread, one operation at a time. The acquisition, the device check
// and the auto-save run alongside, so row fields are read and changed under the rows lock,
// and that lock is never held while the front end is asked something.

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "system/frontend.h"
#include "system/kelvora.h"

namespace kv {

struct OpResult {
    bool ok = true;
    // The refusal or failure, shown to the operator ("error: " + error on the console).
    std::string error;
    // What the operation reports besides (the created row's name, a counter change).
    std::vector<std::string> lines;
    // UniqueNr of the row or template the operation created; 0 when none.
    int rowNr = 0;
    // The cell slot the operation made (addRowCell); 0 when none.
    int slot = 0;

    static OpResult done(std::string line = {});
    static OpResult failed(std::string error);
};

// The row dialog's fields for a new series.
struct RowSpec {
    std::string name;
    std::vector<int> cells;  // cell numbers as users see them (firstCell counts)
    int tact = 3;            // seconds: 3, 15, 30 or 60
    double duration = 1;
    TimeUnit durationUnit = TimeUnit::Days;
    double interval = 1;
    TimeUnit intervalUnit = TimeUnit::Hours;
    int mode = 0;  // 0 amounts by volume (mg/l), 1 by mass (g)
    bool withCO2 = false;
    bool zeroNeeded = false;
    bool leakageAlarm = false;
    int alarmCount = 95;  // percent
    int alarmHours = 1;
    bool continueCellControl = false;
    std::string password;  // empty: not protected

    // The configured defaults for a new series (DefRow...); CO2 only with the CO2 option.
    static RowSpec defaults(const Config& cfg);
};

// The cell parameter dialog's fields for one cell of a series; what is not given stays.
struct RowCellSpec {
    std::optional<std::string> name;
    std::optional<double> vol;  // ml, or g in a row by mass
    std::optional<double> ts;   // dry matter, %
    std::optional<int> mode;    // 0 normal, 1 check, 2 blind, 3 reference, 4 toxicity control
    std::optional<double> index;
    std::optional<double> ptc;   // mg/l
    std::optional<double> bth1;  // mg O2/mg
    // Instead of bth1: the substance's formula; no3: with nitrification.
    std::optional<std::string> formula;
    bool no3 = false;
};

// The figures of the 301F window and the AT4 lag-phase rule of a series.
struct EvaluationSettings {
    std::optional<bool> window;
    std::optional<double> lagRateHours, lagRatePercent, lagLinearHours;
};

// The row dialog's definition fields of a series or template, taken over all at once when
// the dialog ends with OK.
struct RowDefinition {
    std::string name;
    std::array<std::string, 3> comment{};
    std::string sampleDate, sampleTemp, analyst;
    double duration = 1;
    TimeUnit durationUnit = TimeUnit::Days;
    double interval = 1;
    TimeUnit intervalUnit = TimeUnit::Hours;
    int tact = 3;
    int mode = 0;
    bool zeroNeeded = false;
    bool withCO2 = false;
    bool co2Mean = false;
    bool storeEC71_T = false;
    int attritionDivider = 1;
    double lf2co2 = 0;
    bool leakageAlarm = false;
    int alarmCount = 95;
    int alarmHours = 1;
    bool continueCellControl = false;

    // The row's fields; the caller holds the rows lock.
    static RowDefinition of(const TRow& row);
};

// The cell parameter dialog's fields of one cell slot.
struct CellParams {
    std::string name;
    double vol = 0;  // ml, or g in a row by mass
    double ts = 0;   // dried matter, percent (rows by mass)
    int mode = 0;    // 0 normal, 1 check, 2 blind, 3 reference, 4 toxicity control
    double index = NoValueReal, ptc = NoValueReal, bth1 = NoValueReal;  // check cells only

    static CellParams of(const RowCell& cell);
};

// One curve of a series' chart, in the order of the Graphics page's list: every slot's O2
// curve, every slot's CO2 curve (rows with CO2), then the special cells' curves.
struct CurveSetting {
    enum class Kind { O2, CO2, Special };
    Kind kind = Kind::O2;
    int slot = 0;       // row cell slot, or special cell number
    int element = 0;    // special cell: 0..2
    std::string label;  // "O2 Cell 1", "Special 2.1"
    int shown = 0;
    // Line style (1..5), colour (1..15), symbol (1..6), legend box (1, 2), axis (1 left,
    // 2 right).
    std::array<int, 5> settings{};

    // The row's curves; the caller holds the rows lock.
    static std::vector<CurveSetting> of(const TRow& row);
};
// A curve button of the Graphics page: what it does to one curve's shown flag and settings.
using CurveChange = std::function<void(int& shown, std::array<int, 5>& settings)>;

// The Graphics page's axes and legend of a series' chart.
struct ChartAxes {
    TDateTime from = 0, to = 0;
    double step = 0;
    TimeUnit unit = TimeUnit::Hours;
    std::array<double, 6> y{};            // left axis minimum, maximum, step; then the right axis
    std::array<std::string, 2> titles{};  // left and right axis
    int legendLeftRight = 0, legendTopBottom = 0;  // 0 left / top, 1 right / bottom

    // The row's; the caller holds the rows lock.
    static ChartAxes of(const TRow& row);
};

// The most rows and templates together. The row definitions file loads no more than this,
// so a row beyond it would vanish at the next start.
inline constexpr int kMaxRowsAndTemplates = kMaxLoadedRows;

class Operations {
  public:
    Operations(TKelvora& kelvora, FrontEnd& ui);

    // --- rows and templates --------------------------------------------------------------
    OpResult newRow(const RowSpec& rowDef);
    OpResult newTemplate();
    OpResult templateFromRow(int rowNr);
    // The new series has the template's definition and cells; its cells are not yet
    // assigned to physical cells (assignCell). An empty name gives "Created at: ...".
    OpResult rowFromTemplate(int templateNr, const std::string& name = {});
    // Assigns a cell slot that has no physical cell yet to the free cell `cell`.
    OpResult assignCell(int rowNr, int slot, int cell);
    OpResult setRowPassword(int rowNr, const std::string& newPassword);
    // The cell parameter dialog's OK for cell `cell` (as users see it) of a series that has
    // not started (or of a template): its checks in the dialog's order, then the
    // special-cell table is rebuilt (its configuration messages come back as lines).
    OpResult setRowCell(int rowNr, int cell, const RowCellSpec& fields);
    // The dialog's formula field: B(Th1) of the formula, in mg O2/mg (nitrification with
    // no3); the result's error names the unreadable position. Lines: both values and the
    // molar mass.
    static OpResult bth1FromFormula(const std::string& formula, bool no3, double& bth1);
    OpResult setEvaluationSettings(int rowNr, const EvaluationSettings& s);

    // --- the row dialog -------------------------------------------------------------------
    // Takes over the definition fields after the dialog's checks (name, duration, interval,
    // attrition divider, alarm hours, conversion factor; the first that fails is the
    // refusal). A started series keeps its tact, mode, times and CO2 setting. Rebuilds the
    // special-cell table (its notes in the result's lines) and saves with backup.
    OpResult setRowDefinition(int rowNr, const RowDefinition& def);
    // "--->": the cell `cell` (as users see it) joins the row at once with the default
    // name and amount; result.slot is its slot. A series takes only free cells and only
    // before it runs; a template's cell ("??" in the file) never touches the cell model.
    OpResult addRowCell(int rowNr, int cell);
    // "<---": the slot leaves the row (a series releases its cell; not once it runs).
    OpResult removeRowCell(int rowNr, int slot);
    // The cell parameter dialog's OK, after its checks (volume > 0, dried matter >= 0, an
    // index for a check cell, and P(TC) > 0 and B(Th1) > 0 for check, reference and
    // toxicity-control cells).
    OpResult setRowCell(int rowNr, int slot, const CellParams& params);
    // The row dialog's "start": the one cell, without the start dialog's choices; only a
    // cell that has not been started.
    OpResult startRowCell(int cell);

    // The start dialog: every cell, or the one cell `cell`.
    OpResult startRow(int rowNr, bool countAfterAllStarted);
    OpResult startCell(int rowNr, int cell, bool countAfterAllStarted);
    // Aborts a running series after storing its current values.
    OpResult stopRow(int rowNr);
    // A series (stopped first when it runs) or a template.
    OpResult deleteRow(int rowNr);
    // Export and delete a finished series; a relative file name lies in the home folder.
    OpResult exportRow(int rowNr, const std::string& file);
    // The same, the file chosen (by the window's file dialog) once the password and the
    // question have been answered; an empty choice cancels.
    OpResult exportRow(int rowNr, const std::function<std::string()>& chooseFile);
    // A new series whose row dialog was cancelled: deleted without questions. Refused for a
    // series that has run or holds values.
    OpResult discardNewRow(int rowNr);
    OpResult importRow(const std::string& file);

    // --- cells (numbers as users see them) -------------------------------------------------
    OpResult holdCell(int cell, bool o2, bool co2);
    OpResult continueCell(int cell, bool o2, bool co2);
    OpResult stopCell(int cell);
    OpResult setCellCounter(int cell, const std::string& value);
    OpResult refillTank(int cell);

    // --- the row data window: values, exports, evaluations, printouts ---------------------
    // The series whose values a front end shows, prints or exports, once its row password
    // was given (the row data window asks for it); nullptr with the refusal in err.
    std::shared_ptr<TRow> openRowData(int rowNr, OpResult& err);
    // The exports of the row data window. A relative file name lies in the home folder; a
    // file of the program itself is refused. The result's line names the file written.
    OpResult exportCsv(int rowNr, const std::string& file, bool perDriedMatter, bool conductivity);
    // The spreadsheet takes the data window's choices as the CSV file does.
    OpResult exportXlsx(int rowNr, const std::string& file, bool perDriedMatter = false,
                        bool conductivity = false);
    // The evaluation workbooks, written into the result folder.
    OpResult exportAt4(int rowNr);
    OpResult export301f(int rowNr);
    // The 301F or AT4 evaluation of the series as text, one line per figure.
    OpResult evaluateRow(int rowNr);

    // --- the Graphics page: chart settings of a series (no password, as the page asks none;
    // the row auto-save stores them) ----------------------------------------------------------
    // Applies `change` to the curves at these positions of CurveSetting::of (0-based); the
    // settings must stay in their ranges.
    OpResult changeChartCurves(int rowNr, const std::vector<int>& curves,
                               const CurveChange& change);
    OpResult setChartAxes(int rowNr, const ChartAxes& axes);

    // --- message list ---------------------------------------------------------------------
    OpResult newMessage(const std::string& text);
    OpResult saveMessages(const std::string& file);
    OpResult deleteMessages();

    // --- lookups for the front ends -----------------------------------------------------------
    // The physical number of a cell users see as `cell`; 0 when no such cell is configured.
    int physicalCell(int cell) const;
    int displayCell(int physical) const;
    // A relative file name is taken in the home folder.
    std::string resolvePath(const std::string& file) const;
    // The new series' fields as the configuration presets them.
    RowSpec rowDefaults() const { return RowSpec::defaults(k_.cfg); }
    // For the front ends' read-only views (status, cell table, row list); every change of
    // state goes through the operations above.
    TKelvora& kelvora() { return k_; }

  private:
    struct CellRef {
        int phys = 0;
        std::shared_ptr<TRow> row;
        int slot = 0;
        CellState state{};  // the cell's state in the row (rowCellForChange only)
        bool withCO2 = false;
    };

    std::shared_ptr<TRow> findRow(int rowNr, bool wantTemplate, OpResult& err);
    OpResult findCell(int cell, bool needRow, CellRef& ref);
    bool passwordAccepted(TRow& row, OpResult& err);
    OpResult rowCellForChange(int cell, CellRef& ref);
    static OpResult cellRefused(int cell, const std::string& why, CellState state);
    bool confirmed(const std::string& question);
    bool rowLimitReached(OpResult& err);
    bool saveRows(bool backup);
    bool isProgramFile(const std::string& path) const;
    OpResult newFromCopy(int sourceNr, bool makeTemplate, const std::string& name);
    // An export's result: the file written, or the error text of the output module.
    static OpResult exported(const std::string& error, const std::string& saved);

    TKelvora& k_;
    FrontEnd& ui_;
};

}  // namespace kv
