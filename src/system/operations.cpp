#include "system/operations.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "acquisition/cell_state.h"
#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "common/strutil.h"
#include "output/at4.h"
#include "output/export_csv.h"
#include "output/export_xls.h"
#include "output/f301.h"
#include "output/row_texts.h"
#include "rows/evaluation.h"
#include "rows/row_util.h"
#include "rows/thod.h"
#include "system/operation_checks.h"

namespace kv {

namespace fs = std::filesystem;

OpResult OpResult::done(std::string line) {
    OpResult r;
    if (!line.empty()) r.lines.push_back(std::move(line));
    return r;
}

OpResult OpResult::failed(std::string error) {
    OpResult r;
    r.ok = false;
    r.error = std::move(error);
    return r;
}

RowSpec RowSpec::defaults(const Config& cfg) {
    RowSpec s;
    s.tact = cfg.DefRowTact;
    s.duration = cfg.DefRowDuration;
    s.durationUnit = cfg.DefRowSIDuration;
    s.interval = cfg.DefRowInterval;
    s.intervalUnit = cfg.DefRowSIInterval;
    s.mode = cfg.DefRowMode;
    s.zeroNeeded = cfg.DefRowZeroNeeded != 0;
    s.withCO2 = cfg.withCO2 && cfg.DefRowWithCO2 != 0;
    return s;
}

namespace {

// Longest duration or interval accepted: beyond a century the date texts stop making sense.
constexpr double kMaxSpanDays = 36500;

bool validSpan(double value, TimeUnit unit) {
    const double f = unitSeconds(unit) / unitSeconds(TimeUnit::Days);
    return f > 0 && std::isfinite(value) && !isNoValue(value) && value > 0 &&
           value * f <= kMaxSpanDays;
}

// Start, abort and delete never overlap: the flag also keeps the device check and the
// device configuration check away while a row changes.
class RowCommandGuard {
  public:
    explicit RowCommandGuard(std::atomic<bool>& idle) : idle_(idle) {
        bool expected = true;
        owned_ = idle_.compare_exchange_strong(expected, false);
    }
    ~RowCommandGuard() {
        if (owned_) idle_ = true;
    }
    RowCommandGuard(const RowCommandGuard&) = delete;
    RowCommandGuard& operator=(const RowCommandGuard&) = delete;
    bool owned() const { return owned_; }

  private:
    std::atomic<bool>& idle_;
    bool owned_ = false;
};

OpResult inProgress(const char* section) {
    return OpResult::failed(GetText(section, "StartStopDeleteRow",
                                    "Start/Stop or Delete operation in progress - please wait."));
}

// A slot as the row dialog's "--->" makes it, before it has a physical cell in the model.
void copyCellSlot(const RowCell& from, RowCell& to) {
    to = RowCell{};
    to.CellNr = from.CellNr;
    to.Name = from.Name;
    to.Vol = from.Vol;
    to.TS = from.TS;
    to.Mode = from.Mode;
    to.RowMode = from.RowMode;
    to.Index = from.Index;
    to.PTC = from.PTC;
    to.BTH1 = from.BTH1;
    to.CO2Factor = from.CO2Factor;
    to.ChartSel1 = from.ChartSel1;
    to.ChartSel2 = from.ChartSel2;
    to.State = CellState::cs_Assigned;
    to.bMapped = false;
}

// The definition a template and a series share: comments, mode, times, tact, CO2, alarm and
// chart settings, the special cells.
void copyDefinition(const TRow& from, TRow& to) {
    to.Comment = from.Comment;
    to.RowMode = from.RowMode;
    to.Duration = from.Duration;
    to.SIDuration = from.SIDuration;
    to.Interval = from.Interval;
    to.SIInterval = from.SIInterval;
    to.Tact = from.Tact;
    to.ZeroNeeded = from.ZeroNeeded;
    to.withCO2 = from.withCO2;
    to.storeEC71_T = from.storeEC71_T;
    to.CO2Mean = from.CO2Mean;
    to.LF2CO2 = from.LF2CO2;
    to.AttritionDivider = from.AttritionDivider;
    to.AlarmCount = from.AlarmCount;
    to.AlarmHours = from.AlarmHours;
    to.bO2LeakageAlarm = from.bO2LeakageAlarm;
    to.ContinueCellControl = from.ContinueCellControl;
    to.XFromDate = from.XFromDate;
    to.XFromTime = from.XFromTime;
    to.XToDate = from.XToDate;
    to.XToTime = from.XToTime;
    to.XStep = from.XStep;
    to.XUnit = from.XUnit;
    to.LegendPosition = from.LegendPosition;
    to.YValues = from.YValues;
    to.YTexts = from.YTexts;
    to.SpecialCellMode = from.SpecialCellMode;
    to.SpecialCells = from.SpecialCells;
    to.NrSpecialCells = from.NrSpecialCells;
}

}  // namespace

Operations::Operations(TKelvora& kelvora, FrontEnd& ui) : k_(kelvora), ui_(ui) {}

// ---------------------------------------------------------------------------------------
// Helpers

int Operations::physicalCell(int cell) const {
    const int p = cell - k_.cfg.firstCell + 1;
    return (p >= 1 && p <= std::min(k_.cfg.Cells, kMaxCells)) ? p : 0;
}

int Operations::displayCell(int physical) const {
    return physical + k_.cfg.firstCell - 1;
}

std::string Operations::resolvePath(const std::string& file) const {
    if (file.empty() || file.front() == '/') return file;
    return k_.rows.env().homeFolder + "/" + file;
}

std::shared_ptr<TRow> Operations::findRow(int rowNr, bool wantTemplate, OpResult& err) {
    auto row = k_.rows.FindByUniqueNr(rowNr);
    if (!row) {
        err = OpResult::failed("No row with the number " + num(rowNr) + ".");
        return nullptr;
    }
    auto lock = k_.rows.lock();
    if (row->isTemplate != wantTemplate) {
        err = OpResult::failed(row->Name +
                               (wantTemplate ? " is not a template." : " is a template."));
        return nullptr;
    }
    return row;
}

OpResult Operations::findCell(int cell, bool needRow, CellRef& ref) {
    ref = CellRef{};
    ref.phys = physicalCell(cell);
    if (ref.phys == 0) return OpResult::failed("Cell " + num(cell) + " does not exist.");
    const int rowNr = k_.acq.cells.cell(ref.phys).RowNr;
    if (rowNr != 0) ref.row = k_.rows.FindByUniqueNr(rowNr);
    if (ref.row) ref.slot = ref.row->FindCellSlot(ref.phys);
    if (needRow && (!ref.row || ref.slot == 0))
        return OpResult::failed("Cell " + num(cell) + " belongs to no row.");
    return OpResult::done();
}

bool Operations::passwordAccepted(TRow& row, OpResult& err) {
    std::string password;
    {
        auto lock = k_.rows.lock();
        password = row.PassWd;
    }
    if (password.empty()) return true;
    std::string entry;
    if (!ui_.askPassword(GetText("frmPasswd", "RowTitle", "Enter row password"), entry)) {
        err = OpResult::failed("The row is protected by a password.");
        return false;
    }
    if (!row.CheckPassword(entry)) {
        err = OpResult::failed("Wrong password.");
        return false;
    }
    return true;
}

bool Operations::confirmed(const std::string& question) {
    return ui_.ask(question, false) == Answer::Yes;
}

bool Operations::rowLimitReached(OpResult& err) {
    if (k_.rows.Count() < kMaxRowsAndTemplates) return false;
    err = OpResult::failed(GetTextFmt("uMain", "tooManyRows",
                                      "Too many rows defined, max. %s rows possible !",
                                      num(kMaxRowsAndTemplates)));
    return true;
}

bool Operations::saveRows(bool backup) {
    return k_.rows.SaveRowFile(k_.rows.env().rowFileName, backup);
}

// Files of this installation that an export must never replace: the row definitions,
// configuration, messages and the rows' data files.
bool Operations::isProgramFile(const std::string& path) const {
    std::error_code ec;
    const fs::path target = fs::weakly_canonical(path, ec);
    if (ec) return false;
    if (target.filename() == kDataFileName) return true;
    const std::string base = k_.rows.env().homeFolder + "/Kelvora.";
    for (const char* ext : {"Ini", "Row", "Msg", "Txt", "Lock", "Live", "Sock"}) {
        const fs::path own = fs::weakly_canonical(base + ext, ec);
        if (!ec && own == target) return true;
    }
    const fs::path rowFile = fs::weakly_canonical(k_.rows.env().rowFileName, ec);
    return !ec && rowFile == target;
}

// ---------------------------------------------------------------------------------------
// The row data window

std::shared_ptr<TRow> Operations::openRowData(int rowNr, OpResult& err) {
    auto row = findRow(rowNr, false, err);
    if (!row || !passwordAccepted(*row, err)) return nullptr;
    return row;
}

OpResult Operations::exported(const std::string& error, const std::string& saved) {
    if (!error.empty()) return OpResult::failed(error);
    return OpResult::done(saved.empty() ? std::string() : "saved to " + saved);
}

OpResult Operations::exportCsv(int rowNr, const std::string& file, bool perDriedMatter,
                               bool conductivity) {
    OpResult err;
    const auto row = openRowData(rowNr, err);
    if (!row) return err;
    const std::string path = resolvePath(trimmed(file));
    if (isProgramFile(path)) return OpResult::failed("[" + path + "] is a file of Kelvora itself.");
    std::string saved;
    const std::string error = ExportCSV(*row, path, perDriedMatter, conductivity, &saved);
    return exported(error, saved);
}

OpResult Operations::exportXlsx(int rowNr, const std::string& file, bool perDriedMatter,
                                bool conductivity) {
    OpResult err;
    const auto row = openRowData(rowNr, err);
    if (!row) return err;
    const std::string path = resolvePath(trimmed(file));
    if (isProgramFile(path)) return OpResult::failed("[" + path + "] is a file of Kelvora itself.");
    std::string saved;
    const std::string error = ExportXLS(*row, path, perDriedMatter, conductivity, &saved);
    return exported(error, saved);
}

OpResult Operations::exportAt4(int rowNr) {
    OpResult err;
    const auto row = openRowData(rowNr, err);
    if (!row) return err;
    std::string saved;
    const std::string error = ExportAt4(*row, &saved);
    return exported(error, saved);
}

OpResult Operations::export301f(int rowNr) {
    OpResult err;
    const auto row = openRowData(rowNr, err);
    if (!row) return err;
    std::string saved;
    const std::string error = Export301f(*row, &saved);
    return exported(error, saved);
}

// ---------------------------------------------------------------------------------------
// Rows and templates

OpResult Operations::newRow(const RowSpec& s) {
    OpResult err;
    if (rowLimitReached(err)) return err;
    const Config& cfg = k_.cfg;
    const std::string name = trimmed(s.name);
    if (name.empty() || hasControlChars(name)) return invalidValue("name");
    if (s.tact != 3 && s.tact != 15 && s.tact != 30 && s.tact != 60) return invalidValue("tact");
    if (!validSpan(s.duration, s.durationUnit)) return invalidValue("duration");
    if (!validSpan(s.interval, s.intervalUnit)) return invalidValue("interval");
    if (s.mode != 0 && s.mode != 1) return invalidValue("mode");
    if (s.alarmHours < 0 || s.alarmHours > kHourlySlots)
        return OpResult::failed(GetTextFmt("frmRow", "txtAlarmHours", "Valid values are 0..%s",
                                           std::to_string(kHourlySlots)) +
                                " (alarm hours)");
    if (s.alarmCount < 0 || s.alarmCount > 100) return invalidValue("alarm percent");
    if (s.withCO2 && !cfg.withCO2) return OpResult::failed("CO2 is not configured.");
    const double amount = s.mode == 1 ? cfg.DefWeight : cfg.DefVolume;
    if (!(amount > 0) || isNoValue(amount)) return invalidValue(s.mode == 1 ? "mass" : "volume");
    // Cutting it would lock the operator out: the prompt would never match again.
    if (utf8Length(s.password) > kMaxPassWdChars || hasControlChars(s.password))
        return invalidValue("password");

    std::vector<int> phys;
    for (int c : s.cells) {
        const int p = physicalCell(c);
        if (p == 0) return OpResult::failed("Cell " + num(c) + " does not exist.");
        if (std::find(phys.begin(), phys.end(), p) != phys.end())
            return OpResult::failed("Cell " + num(c) + " is given twice.");
        const int owner = k_.acq.cells.cell(p).RowNr;
        if (owner != 0)
            return OpResult::failed("Cell " + num(c) + " belongs to row " + k_.rows.RowName(owner) +
                                    ".");
        phys.push_back(p);
    }
    if (static_cast<int>(phys.size()) > kMaxRowCells) return invalidValue("cells");

    const int nr = k_.rows.NewRow(0);
    const auto row = k_.rows.FindByUniqueNr(nr);
    {
        auto lock = k_.rows.lock();
        row->Name = firstChars(name, kMaxTextChars);
        row->Created = clock().now();
        row->Tact = s.tact;
        row->Duration = s.duration;
        row->SIDuration = s.durationUnit;
        row->Interval = s.interval;
        row->SIInterval = s.intervalUnit;
        row->RowMode = s.mode;
        row->ZeroNeeded = s.zeroNeeded ? 1 : 0;
        row->withCO2 = s.withCO2;
        row->LF2CO2 = cfg.DefLF2CO2_const1;
        row->bO2LeakageAlarm = s.leakageAlarm;
        row->AlarmCount = s.alarmCount;
        row->AlarmHours = s.alarmHours;
        row->ContinueCellControl = s.continueCellControl;
        row->PassWd = s.password;
        row->bCountAfterAllCellsStarted = cfg.DefCountAfterFullStart;
        for (int p : phys) {
            row->AddCell(p, NewCellName(false, displayCell(p)), amount, 0, s.mode, NoValueReal,
                         NoValueReal, NoValueReal);
        }
    }
    for (const std::string& m : row->BuildSpecialCellTable()) AddMsg(m, false);
    OpResult r = OpResult::done("Row " + name + " created (" + num(nr) + ").");
    r.rowNr = nr;
    if (!saveRows(true)) r.lines.push_back("The row definitions file could not be written.");
    return r;
}

OpResult Operations::newTemplate() {
    OpResult err;
    if (rowLimitReached(err)) return err;
    const int nr = k_.rows.NewRow(0);
    const auto row = k_.rows.FindByUniqueNr(nr);
    std::string name;
    {
        auto lock = k_.rows.lock();
        row->isTemplate = true;
        row->Created = clock().now();
        row->Name = firstChars(
            replaceFirstPercentS("Template created at: %s", dateTimeToText(row->Created)),
            kMaxTextChars);
        name = row->Name;
    }
    OpResult r = OpResult::done(name);
    r.rowNr = nr;
    saveRows(false);
    return r;
}

OpResult Operations::newFromCopy(int sourceNr, bool makeTemplate, const std::string& name) {
    OpResult err;
    const auto source = findRow(sourceNr, !makeTemplate, err);
    if (!source) return err;
    if (rowLimitReached(err)) return err;
    std::string sourceName;
    {
        auto lock = k_.rows.lock();
        sourceName = source->Name;
    }
    const std::string question =
        makeTemplate ? GetTextFmt("uMain", "txtNewTemplateFromRow",
                                  "Create new template based on row [%s] ?", sourceName)
                     : GetTextFmt("uMain", "txtNewRowFromTemplate",
                                  "Create new row based on template %s ?", sourceName);
    if (!confirmed(question)) return OpResult::failed("Cancelled.");

    const int nr = k_.rows.NewRow(0);
    const auto row = k_.rows.FindByUniqueNr(nr);
    std::string newName;
    {
        auto lock = k_.rows.lock();
        row->isTemplate = makeTemplate;
        row->State = RowState::Defined;
        row->Created = clock().now();
        copyDefinition(*source, *row);
        const std::string stamp = dateTimeToText(row->Created);
        if (makeTemplate)
            row->Name = firstChars(GetTextFmt("uMain", "NewTemplateName", "Template created: %s",
                                              stamp + " [" + sourceName + "]"),
                                   kMaxTextChars);
        else if (!trimmed(name).empty() && !hasControlChars(name))
            row->Name = firstChars(trimmed(name), kMaxTextChars);
        else
            row->Name = firstChars(GetTextFmt("uMain", "NewRowName", "Created at: %s", stamp),
                                   kMaxTextChars);
        int n = 0;
        for (int s = 1; s <= std::min(source->NrCells, kMaxRowCells); ++s) {
            const RowCell& from = source->RowCells[static_cast<size_t>(s)];
            if (from.CellNr <= 0) continue;
            RowCell& to = row->RowCells[static_cast<size_t>(++n)];
            copyCellSlot(from, to);
            if (makeTemplate) to.Name = NewCellName(true, displayCell(from.CellNr));
        }
        row->NrCells = n;
        newName = row->Name;
    }
    OpResult r = OpResult::done(newName);
    r.rowNr = nr;
    saveRows(false);
    return r;
}

OpResult Operations::templateFromRow(int rowNr) {
    return newFromCopy(rowNr, true, {});
}

OpResult Operations::rowFromTemplate(int templateNr, const std::string& name) {
    return newFromCopy(templateNr, false, name);
}

OpResult Operations::assignCell(int rowNr, int slot, int cell) {
    OpResult err;
    const auto row = findRow(rowNr, false, err);
    if (!row) return err;
    if (!passwordAccepted(*row, err)) return err;
    const int p = physicalCell(cell);
    if (p == 0) return OpResult::failed("Cell " + num(cell) + " does not exist.");
    const int owner = k_.acq.cells.cell(p).RowNr;
    if (owner != 0)
        return OpResult::failed("Cell " + num(cell) + " belongs to row " + k_.rows.RowName(owner) +
                                ".");
    RowCell slotCopy;
    {
        auto lock = k_.rows.lock();
        if (row->State >= RowState::Running)
            return OpResult::failed(row->Name + " has been started: its cells are fixed.");
        if (slot < 1 || slot > std::min(row->NrCells, kMaxRowCells))
            return OpResult::failed(row->Name + " has no cell slot " + num(slot) + ".");
        RowCell& c = row->RowCells[static_cast<size_t>(slot)];
        if (c.bMapped)
            return OpResult::failed("Slot " + num(slot) + " of " + row->Name +
                                    " already has a cell.");
        c.CellNr = p;
        c.bMapped = true;
        c.State = CellState::cs_Assigned;
        slotCopy = c;
    }
    k_.acq.cells.update(p, [&](TCell& m) {
        m.RowNr = rowNr;
        m.State = CellState::cs_Assigned;
        m.Volume = slotCopy.Vol;
        m.Method = slotCopy.Mode;
        m.RowMode = slotCopy.RowMode;
    });
    k_.acq.cells.SetCellCount(p, 0);
    saveRows(true);
    return OpResult::done();
}

OpResult Operations::bth1FromFormula(const std::string& formula, bool no3, double& bth1) {
    const Thod t = thodOfFormula(formula);
    if (!t.ok) return OpResult::failed(t.error);
    bth1 = t.value(no3);
    OpResult r;
    r.lines.push_back("ThOD(NH4) " + realToText(t.nh4, 0, 3) + " mg O2/mg");
    r.lines.push_back("ThOD(NO3) " + realToText(t.no3, 0, 3) + " mg O2/mg");
    r.lines.push_back("molar mass " + realToText(t.molarMass, 0, 3) + " g/mol");
    return r;
}

namespace {

bool positiveNumber(double v) {
    return !isNoValue(v) && std::isfinite(v) && v > 0;
}

}  // namespace

OpResult Operations::setRowCell(int rowNr, int cell, const RowCellSpec& fields) {
    auto row = k_.rows.FindByUniqueNr(rowNr);
    if (!row) return OpResult::failed("No row with the number " + num(rowNr) + ".");
    OpResult err;
    if (!passwordAccepted(*row, err)) return err;
    const int p = physicalCell(cell);
    if (p == 0) return OpResult::failed("Cell " + num(cell) + " does not exist.");
    OpResult r;
    if (fields.formula) {
        double bth1 = 0;
        const OpResult t = bth1FromFormula(*fields.formula, fields.no3, bth1);
        if (!t.ok) return t;
        r.lines = t.lines;
    }
    RowCell c;
    int slot = 0;
    {
        auto lock = k_.rows.lock();
        if (!row->isTemplate && row->State >= RowState::Running)
            return OpResult::failed(row->Name + " has been started: its cells are fixed.");
        slot = row->FindCellSlot(p);
        if (slot <= 0)
            return OpResult::failed("Cell " + num(cell) + " is not in " + row->Name + ".");
        c = row->RowCells[static_cast<size_t>(slot)];
    }
    if (c.State >= CellState::cs_Running)
        return OpResult::failed("Cell " + num(cell) + " has been started.");
    if (fields.name) {
        if (hasControlChars(*fields.name)) return invalidValue("name");
        c.Name = firstChars(*fields.name, 80);
    }
    if (fields.vol) c.Vol = *fields.vol;
    if (fields.ts) c.TS = *fields.ts;
    if (fields.mode) c.Mode = *fields.mode;
    if (fields.index) c.Index = *fields.index;
    if (fields.ptc) c.PTC = *fields.ptc;
    if (fields.bth1) c.BTH1 = *fields.bth1;
    if (fields.formula) c.BTH1 = thod(*fields.formula, fields.no3);
    // The dialog's checks, in its order.
    if (!positiveNumber(c.Vol)) return invalidValue("vol");
    if (isNoValue(c.TS) || !std::isfinite(c.TS) || c.TS < 0) return invalidValue("ts");
    if (c.Mode < 0 || c.Mode > 4) return invalidValue("mode");
    if (c.Mode == 1 && (isNoValue(c.Index) || !std::isfinite(c.Index)))
        return invalidValue("index");
    // Check, reference and toxicity-control cells are evaluated against their ThOD.
    if (c.Mode == 1 || c.Mode == 3 || c.Mode == 4) {
        if (!positiveNumber(c.PTC)) return invalidValue("ptc");
        if (!positiveNumber(c.BTH1)) return invalidValue("bth1");
    }
    std::vector<std::string> messages;
    {
        auto lock = k_.rows.lock();
        if (row->FindCellSlot(p) != slot)
            return OpResult::failed("The cells of " + row->Name + " changed.");
        RowCell& to = row->RowCells[static_cast<size_t>(slot)];
        to.Name = c.Name;
        to.Vol = c.Vol;
        to.TS = c.TS;
        to.Mode = c.Mode;
        to.Index = c.Index;
        to.PTC = c.PTC;
        to.BTH1 = c.BTH1;
        messages = row->BuildSpecialCellTable();
    }
    if (!row->isTemplate && c.bMapped) {
        k_.acq.cells.update(p, [&](TCell& m) { m.Volume = c.Vol; });
        k_.acq.cells.SetCellMethod(p, c.Mode, c.Index, c.PTC, c.BTH1);
    }
    saveRows(true);
    r.lines.push_back(
        "cell " + num(cell) + ": " + c.Name + ", " + CellModeName(c.Mode) +
        (isNoValue(c.BTH1) ? std::string() : ", B(Th1) " + realToText(c.BTH1, 0, -4)));
    for (const std::string& m : messages) r.lines.push_back(m);
    return r;
}

OpResult Operations::setEvaluationSettings(int rowNr, const EvaluationSettings& s) {
    auto row = k_.rows.FindByUniqueNr(rowNr);
    if (!row) return OpResult::failed("No row with the number " + num(rowNr) + ".");
    OpResult err;
    if (!passwordAccepted(*row, err)) return err;
    for (const auto& v : {s.lagRateHours, s.lagRatePercent, s.lagLinearHours})
        if (v && (!positiveNumber(*v) || *v > 1000)) return invalidValue("lag rule");
    if (s.lagRatePercent && *s.lagRatePercent > 100) return invalidValue("lag rule");
    {
        auto lock = k_.rows.lock();
        if (s.window) row->bEvalWindow = *s.window;
        if (s.lagRateHours) row->LagRateHours = *s.lagRateHours;
        if (s.lagRatePercent) row->LagRatePercent = *s.lagRatePercent;
        if (s.lagLinearHours) row->LagLinearHours = *s.lagLinearHours;
    }
    saveRows(true);
    return OpResult::done();
}

OpResult Operations::evaluateRow(int rowNr) {
    OpResult err;
    const auto row = openRowData(rowNr, err);
    if (!row) return err;
    OpResult r;
    r.lines = evaluationLines(evaluationInput(*row));
    return r;
}

OpResult Operations::setRowPassword(int rowNr, const std::string& newPassword) {
    OpResult err;
    auto row = k_.rows.FindByUniqueNr(rowNr);
    if (!row) return OpResult::failed("No row with the number " + num(rowNr) + ".");
    if (!passwordAccepted(*row, err)) return err;
    {
        auto lock = k_.rows.lock();
        row->PassWd = firstChars(newPassword, kMaxPassWdChars);
    }
    saveRows(true);
    return OpResult::done();
}

// ---------------------------------------------------------------------------------------
// Start, abort, delete, export, import

OpResult Operations::startRow(int rowNr, bool countAfterAllStarted) {
    return startCell(rowNr, 0, countAfterAllStarted);
}

OpResult Operations::startCell(int rowNr, int cell, bool countAfterAllStarted) {
    OpResult err;
    const auto row = findRow(rowNr, false, err);
    if (!row) return err;
    RowCommandGuard guard(k_.rowCommandIdle);
    if (!guard.owned()) return inProgress("uMain");

    std::string name;
    RowState state{};
    int slot = 0;
    bool allAssigned = true, allStarted = true;
    {
        auto lock = k_.rows.lock();
        name = row->Name;
        state = row->State;
        if (row->NrCells <= 0) return OpResult::failed(name + " has no cells.");
        for (int s = 1; s <= std::min(row->NrCells, kMaxRowCells); ++s) {
            const RowCell& c = row->RowCells[static_cast<size_t>(s)];
            if (c.CellNr <= 0 || !c.bMapped) allAssigned = false;
            if (c.State != CellState::cs_Running) allStarted = false;
        }
    }
    if (!allAssigned)
        return OpResult::failed(
            GetTextFmt("uMain", "RowStartAbort", "Not all cells of %s are assigned.", name));
    if (!passwordAccepted(*row, err)) return err;
    const bool startable = state < RowState::Running || (state == RowState::Running && !allStarted);
    if (!startable)
        return OpResult::failed(state == RowState::Running
                                    ? name + " is already running."
                                    : name + " has ended; it cannot start again.");
    if (cell != 0) {
        const int p = physicalCell(cell);
        slot = p == 0 ? 0 : row->FindCellSlot(p);
        if (slot == 0)
            return OpResult::failed("Cell " + num(cell) + " is not a cell of " + name + ".");
        CellState cellState{};
        {
            auto lock = k_.rows.lock();
            cellState = row->RowCells[static_cast<size_t>(slot)].State;
        }
        if (cellState >= CellState::cs_Running)
            return OpResult::failed("Cell " + num(cell) + " has been started already.");
        row->StartDialogStartCell(slot, countAfterAllStarted);
    } else if (!row->StartDialogStartAll(countAfterAllStarted)) {
        return OpResult::failed(name + " could not be started.");
    }
    RowState newState{};
    {
        auto lock = k_.rows.lock();
        newState = row->State;
    }
    if (newState != RowState::Running) return OpResult::failed(name + " could not be started.");
    return OpResult::done();
}

OpResult Operations::stopRow(int rowNr) {
    OpResult err;
    const auto row = findRow(rowNr, false, err);
    if (!row) return err;
    RowCommandGuard guard(k_.rowCommandIdle);
    if (!guard.owned()) return inProgress("uMain");
    std::string name;
    RowState state{};
    {
        auto lock = k_.rows.lock();
        name = row->Name;
        state = row->State;
    }
    if (!passwordAccepted(*row, err)) return err;
    if (state != RowState::Running && state != RowState::StoppedControl)
        return OpResult::failed(name + " is not running.");
    if (!confirmed(GetTextFmt("uMain", "RowAbort", "Abort %s ?", name)))
        return OpResult::failed("Cancelled.");
    row->Update(true);
    if (!row->StopRow("btnStartStopRowClick"))
        return OpResult::failed(name +
                                " cannot be stopped while devices are being disabled - "
                                "try again.");
    return OpResult::done();
}

OpResult Operations::deleteRow(int rowNr) {
    auto row = k_.rows.FindByUniqueNr(rowNr);
    if (!row) return OpResult::failed("No row with the number " + num(rowNr) + ".");
    std::string name;
    bool isTemplate = false;
    {
        auto lock = k_.rows.lock();
        name = row->Name;
        isTemplate = row->isTemplate;
    }
    OpResult err;
    if (isTemplate) {
        if (!passwordAccepted(*row, err)) return err;
        if (!confirmed(GetTextFmt("uMain", "TemplateDelete", "Delete %s ?", name)))
            return OpResult::failed("Cancelled.");
        k_.rows.DeleteRow(rowNr);
        saveRows(false);
        return OpResult::done();
    }
    RowCommandGuard guard(k_.rowCommandIdle);
    if (!guard.owned()) return inProgress("frmMain");
    if (!passwordAccepted(*row, err)) return err;
    if (!confirmed(GetTextFmt("uMain", "RowDelete", "Delete %s ?", name)))
        return OpResult::failed("Cancelled.");
    RowState state{};
    {
        auto lock = k_.rows.lock();
        state = row->State;
    }
    // A row whose cells are still controlled (running, or ended with cell control) stops
    // first, so its devices let go of the cells before the cells are cleared.
    if (state == RowState::Running || state == RowState::Suspended ||
        state == RowState::StoppedControl) {
        if (!row->StopRow("btnDeleteRowClick"))
            return OpResult::failed(name +
                                    " cannot be stopped while devices are being disabled - "
                                    "try again.");
    }
    k_.rows.DeleteRow(rowNr);
    saveRows(false);
    return OpResult::done();
}

OpResult Operations::discardNewRow(int rowNr) {
    auto row = k_.rows.FindByUniqueNr(rowNr);
    if (!row) return OpResult::failed("No row with the number " + num(rowNr) + ".");
    {
        auto lock = k_.rows.lock();
        // Only a series that has never run: anything else holds data or controls cells.
        if (row->isTemplate || row->State != RowState::Defined || row->iRTV > 0)
            return OpResult::failed(row->Name + " is not a new row.");
    }
    k_.rows.DeleteRow(rowNr);
    saveRows(false);
    return OpResult::done();
}

OpResult Operations::exportRow(int rowNr, const std::string& file) {
    return exportRow(rowNr, [&file] { return file; });
}

OpResult Operations::exportRow(int rowNr, const std::function<std::string()>& chooseFile) {
    OpResult err;
    const auto row = findRow(rowNr, false, err);
    if (!row) return err;
    std::string name;
    RowState state{};
    {
        auto lock = k_.rows.lock();
        name = row->Name;
        state = row->State;
    }
    if (state != RowState::StoppedOld && state != RowState::Stopped)
        return OpResult::failed(GetTextFmt("uMain", "RowExportNotPossible",
                                           "Export of row %s is not possible (not Done/Canceled)",
                                           name));
    // The export deletes the row: it must not run beside a start, stop or delete.
    RowCommandGuard guard(k_.rowCommandIdle);
    if (!guard.owned()) return inProgress("uMain");
    if (!passwordAccepted(*row, err)) return err;
    if (!confirmed(GetTextFmt("uMain", "RowExport", "Export and delete %s ?", name)))
        return OpResult::failed("Cancelled.");
    const std::string file = chooseFile();
    const std::string path = resolvePath(trimmed(file));
    if (trimmed(file).empty()) return invalidValue("file");
    std::error_code ec;
    if (fs::is_directory(path, ec))
        return OpResult::failed("[" + path + "] is a folder, not a file.");
    // Exporting over one of the program's own files would destroy it, and with the row
    // deleted afterwards its data too.
    if (isProgramFile(path)) return OpResult::failed("[" + path + "] is a file of Kelvora itself.");
    // The export deletes its row: replacing an earlier export would lose that one for good.
    if (fs::exists(fs::symlink_status(path, ec)))
        return OpResult::failed("[" + path + "] exists already; export to a new file.");

    const int lines = k_.rows.ExportRow(*row, path);
    if (lines < 0 || !k_.rows.LastError().empty()) {
        const std::string t = GetTextFmt("frmMain", "ExportRow_Failure",
                                         "Row [%s] NOT successfull exported to [%s] .", name, path);
        AddMsg(t, true);
        return OpResult::failed(t);
    }
    const std::string t = GetTextFmt("frmMain", "ExportRow_Success",
                                     "Row [%s] successfull exported to [%s] .", name, path) +
                          "  (" + num(lines) + " Records)";
    AddMsg(t, true);
    k_.rows.DeleteRow(rowNr);
    saveRows(false);
    return OpResult::done(t);
}

OpResult Operations::importRow(const std::string& file) {
    OpResult err;
    if (rowLimitReached(err)) return err;
    const std::string path = resolvePath(trimmed(file));
    if (trimmed(file).empty()) return invalidValue("file");
    std::vector<int> before;
    for (const auto& r : k_.rows.Snapshot()) before.push_back(r->UniqueNr);
    const std::string name = k_.rows.ImportRow(path);
    if (name.empty()) {
        // A row that got half-way in (read, but its data could not be written) goes again,
        // so a failed import leaves the installation as it was.
        for (const auto& r : k_.rows.Snapshot())
            if (std::find(before.begin(), before.end(), r->UniqueNr) == before.end())
                k_.rows.DeleteRow(r->UniqueNr);
        const std::string t =
            GetTextFmt("frmMain", "ImportRow_Failure", "Row [%s] NOT successfull imported.", path);
        AddMsg(t, true);
        return OpResult::failed(t);
    }
    const std::string t = GetTextFmt("frmMain", "ImportRow_Success",
                                     "File [%s] successfull imported to [%s] .", path, name);
    AddMsg(t, true);
    OpResult r = OpResult::done(t);
    for (const auto& row : k_.rows.Snapshot())
        if (std::find(before.begin(), before.end(), row->UniqueNr) == before.end())
            r.rowNr = row->UniqueNr;
    saveRows(false);
    return r;
}

// ---------------------------------------------------------------------------------------
// Cells

// Every change to a row's cell passes here: the cell exists, belongs to a row, and the
// row's password (if it has one) was given. Reads the cell's state in the row afterwards,
// so that the caller judges the state the user's change will meet.
OpResult Operations::rowCellForChange(int cell, CellRef& ref) {
    if (OpResult r = findCell(cell, true, ref); !r.ok) return r;
    OpResult err;
    if (!passwordAccepted(*ref.row, err)) return err;
    auto lock = k_.rows.lock();
    ref.state = ref.row->RowCells[static_cast<size_t>(ref.slot)].State;
    ref.withCO2 = ref.row->withCO2;
    return OpResult::done();
}

OpResult Operations::cellRefused(int cell, const std::string& why, CellState state) {
    return OpResult::failed("Cell " + num(cell) + " " + why + " (" + TCells::StateShortName(state) +
                            ").");
}

OpResult Operations::holdCell(int cell, bool o2, bool co2) {
    CellRef ref;
    if (OpResult r = rowCellForChange(cell, ref); !r.ok) return r;
    if (!isSuspendable(ref.state)) return cellRefused(cell, "is not running", ref.state);
    // A row without CO2 holds the O2 part only. Holding what is held already would only
    // repeat the message.
    if (!ref.withCO2) co2 = false;
    if ((!o2 || ref.state == CellState::cs_SuspendedO2) &&
        (!co2 || ref.state == CellState::cs_SuspendedCO2))
        return cellRefused(cell, "is held already", ref.state);
    ref.row->SuspendCell(ref.slot, o2, co2);
    return OpResult::done();
}

OpResult Operations::continueCell(int cell, bool o2, bool co2) {
    CellRef ref;
    if (OpResult r = rowCellForChange(cell, ref); !r.ok) return r;
    if (!isSuspended(ref.state)) return cellRefused(cell, "is not held", ref.state);
    ref.row->UnSuspendCell(ref.slot, o2, co2);
    return OpResult::done();
}

OpResult Operations::stopCell(int cell) {
    CellRef ref;
    if (OpResult r = rowCellForChange(cell, ref); !r.ok) return r;
    if (ref.state != CellState::cs_Running && ref.state != CellState::cs_Suspended)
        return cellRefused(cell, "is neither running nor held", ref.state);
    if (!confirmed(GetTextFmt("uRowForm", "StopCell", "Stop cell %s ?", num(cell))))
        return OpResult::failed("Cancelled.");
    ref.row->CancelCell(ref.slot, true);
    return OpResult::done();
}

OpResult Operations::setCellCounter(int cell, const std::string& value) {
    CellRef ref;
    if (OpResult r = rowCellForChange(cell, ref); !r.ok) return r;
    const int v = textToInt(value);
    if (isNoValue(v) || v < 0) return invalidValue("counter");
    const int old = k_.acq.cells.GetCellCount(ref.phys);
    if (v == old) return OpResult::done("Counter unchanged.");
    k_.acq.cells.SetCellCount(ref.phys, v);
    {
        auto lock = k_.rows.lock();
        RowCell& c = ref.row->RowCells[static_cast<size_t>(ref.slot)];
        c.LastCount = c.CounterValue;
        c.CounterValue = v;
    }
    const std::string t =
        GetTextFmt("frmEditCellCounter", "msgSetCellCount",
                   "Setting counter for cell %s from %s to %s", num(cell), num(old), num(v));
    AddMsg(t, true);
    return OpResult::done(t);
}

OpResult Operations::refillTank(int cell) {
    CellRef ref;
    if (OpResult r = findCell(cell, false, ref); !r.ok) return r;
    OpResult err;
    if (ref.row && !passwordAccepted(*ref.row, err)) return err;
    if (!confirmed(k_.acq.tanks.refillQuestion(ref.phys))) return OpResult::failed("Cancelled.");
    k_.acq.tanks.refill(ref.phys);
    return OpResult::done();
}

// ---------------------------------------------------------------------------------------
// The row dialog

RowDefinition RowDefinition::of(const TRow& row) {
    RowDefinition d;
    d.name = row.Name;
    d.comment = row.Comment;
    d.sampleDate = row.SampleDate;
    d.sampleTemp = row.SampleTemp;
    d.analyst = row.SampleAnalytiker;
    d.duration = row.Duration;
    d.durationUnit = row.SIDuration;
    d.interval = row.Interval;
    d.intervalUnit = row.SIInterval;
    d.tact = row.Tact;
    d.mode = row.RowMode;
    d.zeroNeeded = row.ZeroNeeded != 0;
    d.withCO2 = row.withCO2;
    d.co2Mean = row.CO2Mean;
    d.storeEC71_T = row.storeEC71_T;
    d.attritionDivider = row.AttritionDivider;
    d.lf2co2 = row.LF2CO2;
    d.leakageAlarm = row.bO2LeakageAlarm;
    d.alarmCount = row.AlarmCount;
    d.alarmHours = row.AlarmHours;
    d.continueCellControl = row.ContinueCellControl;
    return d;
}

CellParams CellParams::of(const RowCell& cell) {
    CellParams p;
    p.name = cell.Name;
    p.vol = cell.Vol;
    p.ts = cell.TS;
    p.mode = cell.Mode;
    p.index = cell.Index;
    p.ptc = cell.PTC;
    p.bth1 = cell.BTH1;
    return p;
}

namespace {

bool isTact(int t) {
    return t == 3 || t == 15 || t == 30 || t == 60;
}

bool isNumber(double v) {
    return std::isfinite(v) && !isNoValue(v);
}

}  // namespace

OpResult Operations::setRowDefinition(int rowNr, const RowDefinition& d) {
    auto row = k_.rows.FindByUniqueNr(rowNr);
    if (!row) return OpResult::failed("No row with the number " + num(rowNr) + ".");
    OpResult err;
    if (!passwordAccepted(*row, err)) return err;
    // In the dialog's order, so that the refusal names the field the dialog focuses.
    const std::string name = trimmed(d.name);
    if (name.empty() || hasControlChars(name)) return invalidValue("name");
    if (!validSpan(d.duration, d.durationUnit)) return invalidValue("duration");
    if (!validSpan(d.interval, d.intervalUnit)) return invalidValue("interval");
    if (d.attritionDivider < 1) return invalidValue("attrition divider");
    if (d.alarmHours < 0 || d.alarmHours > kHourlySlots)
        return OpResult::failed(GetTextFmt("frmRow", "txtAlarmHours", "Valid values are 0..%s",
                                           std::to_string(kHourlySlots)) +
                                " (alarm hours)");
    if (!isNumber(d.lf2co2)) return invalidValue("conductivity factor");
    if (!isTact(d.tact)) return invalidValue("tact");
    if (d.mode != 0 && d.mode != 1) return invalidValue("mode");
    if (d.alarmCount < 0 || d.alarmCount > 100) return invalidValue("alarm percent");
    for (const std::string& t :
         {d.comment[0], d.comment[1], d.comment[2], d.sampleDate, d.sampleTemp, d.analyst})
        if (hasControlChars(t)) return invalidValue("text");
    {
        auto lock = k_.rows.lock();
        TRow& r = *row;
        const bool started = !r.isTemplate && r.State >= RowState::Running;
        // What the measurement runs by stays as it started: its data file and time values
        // were laid out by these fields.
        if (started && (d.tact != r.Tact || d.mode != r.RowMode || d.withCO2 != r.withCO2 ||
                        d.duration != r.Duration || d.durationUnit != r.SIDuration ||
                        d.interval != r.Interval || d.intervalUnit != r.SIInterval))
            return OpResult::failed(r.Name +
                                    " has been started: its tact, mode, duration, interval and "
                                    "CO2 setting are fixed.");
        // Switching CO2 on needs the CO2 option; a row that has it (imported, or from before
        // the option was switched off) keeps it.
        if (d.withCO2 && !r.withCO2 && !k_.cfg.withCO2)
            return OpResult::failed("CO2 is not configured.");
        // The cells' amounts were entered in the unit of the mode.
        if (!r.isTemplate && d.mode != r.RowMode && r.NrCells > 0)
            return OpResult::failed(r.Name + " has cells: its mode is fixed.");
        r.Name = firstChars(name, kMaxTextChars);
        for (size_t k = 0; k < 3; ++k)
            r.Comment[k] = firstChars(trimmed(d.comment[k]), kMaxTextChars);
        r.SampleDate = firstChars(trimmed(d.sampleDate), kMaxTextChars);
        r.SampleTemp = firstChars(trimmed(d.sampleTemp), kMaxTextChars);
        r.SampleAnalytiker = firstChars(trimmed(d.analyst), kMaxTextChars);
        r.Duration = d.duration;
        r.SIDuration = d.durationUnit;
        r.Interval = d.interval;
        r.SIInterval = d.intervalUnit;
        r.Tact = d.tact;
        r.RowMode = d.mode;
        for (int s = 1; s <= std::min(r.NrCells, kMaxRowCells); ++s)
            r.RowCells[static_cast<size_t>(s)].RowMode = d.mode;
        r.ZeroNeeded = d.zeroNeeded ? 1 : 0;
        r.withCO2 = d.withCO2;
        r.CO2Mean = d.co2Mean;
        r.storeEC71_T = d.storeEC71_T;
        r.AttritionDivider = d.attritionDivider;
        r.LF2CO2 = d.lf2co2;
        r.bO2LeakageAlarm = d.leakageAlarm;
        r.AlarmCount = d.alarmCount;
        r.AlarmHours = d.alarmHours;
        r.ContinueCellControl = d.continueCellControl;
        r.Saved = false;
    }
    OpResult r = OpResult::done();
    for (const std::string& m : row->BuildSpecialCellTable()) {
        AddMsg(m, false);
        r.lines.push_back(m);
    }
    if (!saveRows(true)) r.lines.push_back("The row definitions file could not be written.");
    return r;
}

OpResult Operations::addRowCell(int rowNr, int cell) {
    auto row = k_.rows.FindByUniqueNr(rowNr);
    if (!row) return OpResult::failed("No row with the number " + num(rowNr) + ".");
    OpResult err;
    if (!passwordAccepted(*row, err)) return err;
    const int p = physicalCell(cell);
    if (p == 0) return OpResult::failed("Cell " + num(cell) + " does not exist.");
    int slot = 0;
    {
        auto lock = k_.rows.lock();
        TRow& r = *row;
        if (!r.isTemplate && r.State >= RowState::Running)
            return OpResult::failed(r.Name + " has been started: its cells are fixed.");
        if (r.NrCells >= kMaxRowCells) return OpResult::failed(r.Name + " has no room for a cell.");
        if (r.isTemplate) {
            if (r.FindCellSlot(p) != 0)
                return OpResult::failed("Cell " + num(cell) + " is in " + r.Name + " already.");
        } else {
            const int owner = k_.acq.cells.cell(p).RowNr;
            if (owner != 0)
                return OpResult::failed("Cell " + num(cell) + " belongs to row " +
                                        k_.rows.RowName(owner) + ".");
        }
        const double amount = r.RowMode == 1 ? k_.cfg.DefWeight : k_.cfg.DefVolume;
        slot = r.AddCell(p, NewCellName(r.isTemplate, cell), amount, 0, r.RowMode, NoValueReal,
                         NoValueReal, NoValueReal);
        if (slot < 0) return OpResult::failed(r.Name + " has no room for a cell.");
        // A template's cell stands for a cell to choose when a series is made from it.
        if (r.isTemplate) r.RowCells[static_cast<size_t>(slot)].bMapped = false;
        r.Saved = false;
    }
    saveRows(true);
    OpResult r = OpResult::done();
    r.slot = slot;
    return r;
}

OpResult Operations::removeRowCell(int rowNr, int slot) {
    auto row = k_.rows.FindByUniqueNr(rowNr);
    if (!row) return OpResult::failed("No row with the number " + num(rowNr) + ".");
    OpResult err;
    if (!passwordAccepted(*row, err)) return err;
    {
        auto lock = k_.rows.lock();
        TRow& r = *row;
        if (slot < 1 || slot > std::min(r.NrCells, kMaxRowCells) ||
            r.RowCells[static_cast<size_t>(slot)].CellNr <= 0)
            return OpResult::failed(r.Name + " has no cell slot " + num(slot) + ".");
        // A started cell has values in the data file: it stays with its row.
        if (!r.isTemplate && (r.State >= RowState::Running ||
                              r.RowCells[static_cast<size_t>(slot)].State >= CellState::cs_Running))
            return OpResult::failed(r.Name + " has been started: its cells are fixed.");
        r.DeleteCell(slot, true);
        r.Saved = false;
    }
    saveRows(true);
    return OpResult::done();
}

OpResult Operations::setRowCell(int rowNr, int slot, const CellParams& c) {
    auto row = k_.rows.FindByUniqueNr(rowNr);
    if (!row) return OpResult::failed("No row with the number " + num(rowNr) + ".");
    OpResult err;
    if (!passwordAccepted(*row, err)) return err;
    if (!isNumber(c.vol) || !(c.vol > 0)) return invalidValue("volume");
    if (!isNumber(c.ts) || c.ts < 0) return invalidValue("dried matter");
    if (c.mode < 0 || c.mode > 4) return invalidValue("cell mode");
    // Check, reference and toxicity-control cells are evaluated against their ThOD; only a
    // check cell has an index.
    const bool substance = c.mode == 1 || c.mode == 3 || c.mode == 4;
    if (c.mode == 1 && !isNumber(c.index)) return invalidValue("index");
    if (substance) {
        if (!isNumber(c.ptc) || !(c.ptc > 0)) return invalidValue("P(TC)");
        if (!isNumber(c.bth1) || !(c.bth1 > 0)) return invalidValue("B(Th1)");
    }
    if (hasControlChars(c.name)) return invalidValue("name");
    int phys = 0;
    bool inModel = false;
    {
        auto lock = k_.rows.lock();
        TRow& r = *row;
        if (slot < 1 || slot > std::min(r.NrCells, kMaxRowCells) ||
            r.RowCells[static_cast<size_t>(slot)].CellNr <= 0)
            return OpResult::failed(r.Name + " has no cell slot " + num(slot) + ".");
        RowCell& rc = r.RowCells[static_cast<size_t>(slot)];
        rc.Name = firstChars(c.name, kMaxTextChars);
        rc.Vol = c.vol;
        rc.TS = c.ts;
        rc.Mode = c.mode;
        rc.Index = c.mode == 1 ? c.index : NoValueReal;
        rc.PTC = substance ? c.ptc : NoValueReal;
        rc.BTH1 = substance ? c.bth1 : NoValueReal;
        r.Saved = false;
        phys = rc.CellNr;
        inModel = !r.isTemplate && rc.bMapped && rc.State < CellState::cs_Running &&
                  k_.acq.cells.cell(phys).RowNr == rowNr;
    }
    // A cell not yet started takes its amount and mode into the cell model, as "--->" did.
    if (inModel)
        k_.acq.cells.update(phys, [&](TCell& m) {
            m.Volume = c.vol;
            m.Method = c.mode;
        });
    OpResult r = OpResult::done();
    for (const std::string& m : row->BuildSpecialCellTable()) r.lines.push_back(m);
    saveRows(true);
    return r;
}

OpResult Operations::startRowCell(int cell) {
    CellRef ref;
    if (OpResult r = rowCellForChange(cell, ref); !r.ok) return r;
    if (ref.state >= CellState::cs_Running) return cellRefused(cell, "has been started", ref.state);
    std::string name;
    int zero = 0;
    {
        auto lock = k_.rows.lock();
        name = ref.row->Name;
        zero = ref.row->ZeroNeeded;
        if (ref.row->State < RowState::Running)
            return OpResult::failed(name +
                                    " has not been started: start it with its start dialog.");
    }
    ref.row->StartCellInRow(ref.slot, zero);
    const std::string t =
        GetTextFmt("uRowForm", "StartCell", "Row %s: cell %s started", name, num(cell));
    AddMsg(t, true);
    return OpResult::done(t);
}

// ---------------------------------------------------------------------------------------
// Message list

OpResult Operations::newMessage(const std::string& text) {
    const std::string t = trimmed(text);
    if (t.empty() || hasControlChars(t)) return invalidValue("message");
    AddMsg(t, true);
    return OpResult::done();
}

OpResult Operations::saveMessages(const std::string& file) {
    const std::string path = resolvePath(trimmed(file));
    if (trimmed(file).empty()) return invalidValue("file");
    if (isProgramFile(path)) return OpResult::failed("[" + path + "] is a file of Kelvora itself.");
    const std::string source = messageList().fileName();
    std::error_code ec;
    // Only a copy that really happened is reported as saved.
    if (source.empty() || !fs::copy_file(source, path, fs::copy_options::overwrite_existing, ec) ||
        ec) {
        const std::string t = "Messages NOT saved to " + path;
        WriteDbg("Msg", t + (ec ? ": " + ec.message() : std::string()));
        return OpResult::failed(t);
    }
    AddMsg(GetTextFmt("uMsgs", "SaveMsgs", "Messages saved to %s", path), true);
    return OpResult::done();
}

OpResult Operations::deleteMessages() {
    if (!confirmed(GetText("uMain", "DeleteMsgs", "Delete all messages ?")))
        return OpResult::failed("Cancelled.");
    if (!messageList().deleteAll())
        return OpResult::failed("The message file could not be emptied.");
    return OpResult::done();
}

}  // namespace kv
