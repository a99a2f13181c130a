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

#include <functional>
#include <memory>
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
    OpResult exportXlsx(int rowNr, const std::string& file);
    // The evaluation workbooks, written into the result folder.
    OpResult exportAt4(int rowNr);
    OpResult export301f(int rowNr);

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
