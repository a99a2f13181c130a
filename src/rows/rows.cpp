// The rows collection: the list, the row definitions file, delete, export and import, the
// periodic update and the auto-save.

#include "rows/rows.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "acquisition/cell_state.h"
#include "app/alarm_notify.h"
#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "common/strutil.h"
#include "rows/ini_sections.h"
#include "rows/row_util.h"

namespace kv {

namespace fs = std::filesystem;

namespace {

std::string beforeBar(const std::string& t) {
    const auto bar = t.find('|');
    return bar == std::string::npos ? t : t.substr(0, bar);
}

}  // namespace

std::string SafeFileName(std::string_view name) {
    std::string out;
    for (unsigned char c : name) {
        if (c < 32 || c == 127 ||
            std::string_view("/\\:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
            out += '_';
        else
            out += static_cast<char>(c);
    }
    const auto first = out.find_first_not_of(". ");
    out = first == std::string::npos ? std::string() : out.substr(first);
    while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
    if (out.size() > 200) out = firstChars(out, 100);
    return out.empty() ? "row" : out;
}

TRows::TRows(RowsEnv env) : env_(std::move(env)) {
    for (int k = 1; k <= 8; ++k)
        shortNames_[static_cast<size_t>(k)] = beforeBar(defaultRowStateText(k));
}

TRows::~TRows() {
    stopAutoSave();
}

// ---------------------------------------------------------------------------------------
// The list

int TRows::Count() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(rows_.size());
}

std::shared_ptr<TRow> TRows::At(int index) {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int>(rows_.size())) return nullptr;
    return rows_[static_cast<size_t>(index)];
}

std::vector<std::shared_ptr<TRow>> TRows::Snapshot() {
    std::lock_guard lock(mutex_);
    return rows_;
}

std::shared_ptr<TRow> TRows::findLocked(int nr) const {
    for (const auto& r : rows_)
        if (r->UniqueNr == nr) return r;
    return nullptr;
}

int TRows::NewRow(int seed) {
    std::lock_guard lock(mutex_);
    auto r = std::make_shared<TRow>(*this, seed);
    while (findLocked(r->UniqueNr)) ++r->UniqueNr;
    rows_.push_back(r);
    return r->UniqueNr;
}

std::shared_ptr<TRow> TRows::FindByUniqueNr(int nr) {
    std::lock_guard lock(mutex_);
    return findLocked(nr);
}

std::shared_ptr<TRow> TRows::FindSeries(int listNr) {
    std::lock_guard lock(mutex_);
    for (const auto& r : rows_)
        if (!r->isTemplate && r->ListNr == listNr) return r;
    return nullptr;
}

std::shared_ptr<TRow> TRows::FindTemplate(int listNr) {
    std::lock_guard lock(mutex_);
    for (const auto& r : rows_)
        if (r->isTemplate && r->ListNr == listNr) return r;
    return nullptr;
}

std::string TRows::RowName(int nr) {
    std::lock_guard lock(mutex_);
    const auto r = findLocked(nr);
    return r ? r->Name : "n/a";
}

int TRows::CountRunning() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(
        rows_.begin(), rows_.end(), [](const auto& r) { return r->State == RowState::Running; }));
}

std::string TRows::StateShortName(RowState state) {
    std::lock_guard lock(mutex_);
    const int s = toInt(state);
    if (s < 1 || s > 8) return {};
    return shortNames_[static_cast<size_t>(s)];
}

std::string TRows::DataRoot() const {
    std::string r = trimmed(slashes(env_.cfg.DataRoot));
    if (r.empty())
        r = env_.homeFolder + "/Data";
    else if (r.front() != '/')
        r = env_.homeFolder + "/" + r;
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    return r;
}

bool TRows::InsideDataRoot(const std::string& dir) const {
    std::error_code ec;
    const fs::path root = fs::weakly_canonical(DataRoot(), ec);
    if (ec) return false;
    const fs::path d = fs::weakly_canonical(dir, ec);
    if (ec) return false;
    auto r = root.begin();
    auto p = d.begin();
    for (; r != root.end(); ++r, ++p) {
        if (r->empty()) continue;  // a trailing separator
        if (p == d.end() || *p != *r) return false;
    }
    for (; p != d.end(); ++p)
        if (!p->empty()) return true;
    return false;
}

// ---------------------------------------------------------------------------------------
// Errors

void TRows::setLastError(std::string e) {
    std::lock_guard lock(mutex_);
    lastError_ = std::move(e);
}

std::string TRows::LastError() {
    std::lock_guard lock(mutex_);
    return lastError_;
}

void TRows::reportAccessError(int err, const std::string& fileName) {
    const std::string text = GetTextFmt(
        "*", "AccessError", "Runtime Error %s reading/writing to file [%s] .", num(err), fileName);
    AddMsg(text, false);
    WriteDbg("Rows", text);
    setLastError("Error");
    if (env_.hooks.errorBox) {
        RowsUnlocked u(mutex_);
        env_.hooks.errorBox(text);
    }
}

// ---------------------------------------------------------------------------------------
// Periodic update and auto-save

void TRows::UpdateAll(bool bForce) {
    std::lock_guard lock(mutex_);
    watchClock();
    // A copy: a stopping row lets go of the lock between its cells, and the list may
    // change meanwhile.
    const auto rows = rows_;
    for (const auto& r : rows)
        if (!r->isTemplate && r->bActive) r->Update(bForce);
}

void TRows::watchClock() {
    const TDateTime now = clock().now();
    const double steady = clock().steadySeconds();
    if (watchedSteady_ >= 0) {
        const double jump = (now - watchedNow_) * 86400.0 - (steady - watchedSteady_);
        if (std::fabs(jump) >= kClockJumpSec) clockJumped(jump, watchedNow_, now);
    }
    watchedNow_ = now;
    watchedSteady_ = steady;
}

namespace {

// "+1:00:00", "-0:02:05", "+1 d 0:00:00".
std::string signedDuration(double seconds) {
    const long long s = std::llround(std::fabs(seconds));
    const long long d = s / 86400, h = s % 86400 / 3600, m = s % 3600 / 60, sec = s % 60;
    char buf[48];
    if (d > 0)
        std::snprintf(buf, sizeof buf, "%c%lld d %lld:%02lld:%02lld", seconds < 0 ? '-' : '+', d, h,
                      m, sec);
    else
        std::snprintf(buf, sizeof buf, "%c%lld:%02lld:%02lld", seconds < 0 ? '-' : '+', h, m, sec);
    return buf;
}

}  // namespace

// The files keep local date-times, so a clock change cannot be undone in them; what it must
// not do is lose an impulse, put a line before the one above it, or end a row early. The
// counts go on in the cells whatever the clock says. Back: the rows take no value until the
// clock has passed their last one again (a row ends at its stop time by the clock, later
// than planned). Forward: the rows go on at the next interval from the new time, and the
// time skipped gets no values (nothing was measured in it).
void TRows::clockJumped(double seconds, TDateTime from, TDateTime to) {
    std::string t = GetTextFmt("uRows", "ClockJumped",
                               "The system clock jumped by %s (from %s to %s). No impulse is lost.",
                               signedDuration(seconds), dtText(from), dtText(to));
    t += " " + (seconds < 0 ? GetText("uRows", "ClockJumpedBack",
                                      "Running meas.series take their next value when the clock "
                                      "has passed their last one again.")
                            : GetText("uRows", "ClockJumpedForward",
                                      "Running meas.series go on from the new time; the time "
                                      "skipped has no values."));
    WriteDbg("Rows", t);
    AddMsg(t, true);
    NotifyAlarm(AlarmKind::Clock, t);
    if (seconds < 0) return;
    for (const auto& r : rows_)
        if (!r->isTemplate && r->bActive && r->State == RowState::Running && r->NextCycle < to)
            r->NextCycle = nextDue(r->NextCycle, r->intervalStep(), to);
}

bool TRows::RowAutoSaveTimer() {
    if (env_.rowAutoSaveBlocked && env_.rowAutoSaveBlocked->load()) return false;
    if (env_.flags.startupInProgress.load() || env_.flags.usbCallbackBusy.load() ||
        env_.flags.ec71CallbackBusy.load() ||
        (env_.cdmCallbackBusy && env_.cdmCallbackBusy->load()))
        return false;
    const auto settings = env_.cfg.lock.reading();
    return SaveRowFile(env_.rowFileName, false);
}

void TRows::startAutoSave() {
    autoSave_.start(std::max(env_.cfg.RowAutoSave_mSec, 1000), [this] { RowAutoSaveTimer(); });
}

void TRows::stopAutoSave() {
    autoSave_.stop();
}

// ---------------------------------------------------------------------------------------
// Row definitions file

bool TRows::backupRowFile(const std::string& fileName) {
    std::error_code ec;
    if (!fs::exists(fileName, ec)) return false;
    const fs::path dbgDir = fs::path(fileName).parent_path() / "Dbg";
    if (!fs::is_directory(dbgDir, ec)) return false;
    const fs::path dest = dbgDir / ("Kelvora_" + fileStamp(clock().now()) + ".Row");
    fs::copy_file(fileName, dest, fs::copy_options::overwrite_existing, ec);
    if (ec) WriteDbg("Rows", "Backup of " + fileName + " failed: " + ec.message());
    return !ec;
}

bool TRows::SaveRowFile(const std::string& fileName, bool backup) {
    std::lock_guard lock(mutex_);
    if (loading_ > 0) {
        // Saving now would write only the rows read so far.
        saveAfterLoad_ = true;
        return true;
    }
    lastError_.clear();
    if (backup) backupRowFile(fileName);
    std::string content = "[Current]\r\n";
    for (size_t k = 1; k <= rows_.size(); ++k)
        content += num(static_cast<long long>(k)) + "=" + num(static_cast<long long>(k)) + "\r\n";
    content += "\r\n\r\n";
    const auto rows = rows_;
    for (size_t k = 0; k < rows.size(); ++k)
        content += rows[k]->SectionText(num(static_cast<long long>(k + 1)));
    const int err = replaceFileAtomically(fileName, content);
    if (err != 0) {
        reportAccessError(err, fileName);
        NotifyAlarm(AlarmKind::WriteFailed,
                    "Row definitions not written to " + fileName + ": " + std::strerror(err));
        return false;
    }
    return true;
}

void TRows::LoadRowFile(const std::string& fileName) {
    std::lock_guard lock(mutex_);
    std::error_code ec;
    if (!fs::exists(fileName, ec)) return;
    if (env_.configIni) loadExportOptions(*env_.configIni, env_.cfg);
    IniSections file;
    if (!file.load(fileName)) {
        reportAccessError(EIO, fileName);
        return;
    }
    ++loading_;
    const std::vector<std::string> names = file.keys("Current");
    if (names.size() > static_cast<size_t>(kMaxLoadedRows)) {
        // The next save writes only the rows loaded: the others stay in a copy of the file.
        const std::string kept = fileName + ".all-rows-" + fileStamp(clock().now());
        fs::copy_file(fileName, kept, fs::copy_options::overwrite_existing, ec);
        const std::string t = GetTextFmt(
            "uRows", "RowFileTooManyRows",
            "The row definitions file %s lists %s rows; Kelvora loads the newest %s. The whole "
            "file is kept as %s.",
            fileName, num(static_cast<long long>(names.size())), num(kMaxLoadedRows),
            ec ? std::string("(copy failed: ") + ec.message() + ")" : kept);
        WriteDbg("Rows", t);
        AddMsg(t, true);
    }
    int n = 0;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (++n > kMaxLoadedRows) break;
        const std::string& sec = *it;
        if (file.readInteger(sec, "UniqueNr", 0) <= 0) {
            const std::string t =
                GetText("uRows", "invalidUniqueNr",
                        "Invalid row definition detected  (UniqueNr=-1) - skipped.");
            AddMsg(t, false);
            if (env_.hooks.errorBox) {
                RowsUnlocked u(mutex_);
                env_.hooks.errorBox(t);
            }
            continue;
        }
        const int nr = NewRow(n);
        const auto row = findLocked(nr);
        row->ReadRow(file, sec);
    }
    --loading_;
    for (int k = 1; k <= 8; ++k) {
        std::string& s = shortNames_[static_cast<size_t>(k)];
        s = beforeBar(GetText("uRows", num(k), s));
    }
    if (saveAfterLoad_) {
        saveAfterLoad_ = false;
        if (!startingUp()) SaveRowFile(fileName, true);
    }
}

// ---------------------------------------------------------------------------------------
// Deleting, exporting, importing

bool TRows::deleteDataDir(const TRow& row) {
    const std::string dir = row.DataDir;
    if (dir.empty()) return false;
    for (const auto& r : rows_) {
        if (r.get() != &row && r->DataDir == dir) {
            WriteDbg("DeleteRow", "... data directory also used by row " + r->Name + " - kept");
            return false;
        }
    }
    if (!InsideDataRoot(dir)) {
        WriteDbg("DeleteRow", "... data directory outside " + DataRoot() + " - kept");
        return false;
    }
    std::error_code ec;
    fs::remove(dir + "/" + kDataFileName, ec);
    // Only an empty directory goes; anything else in it stays.
    return ::rmdir(dir.c_str()) == 0;
}

void TRows::DeleteRow(int nr) {
    std::lock_guard lock(mutex_);
    WriteDbg("DeleteRow", "Request to delete row with UniqueNr=" + num(nr));
    const auto row = findLocked(nr);
    if (!row) return;
    WriteDbg("Rows", "Deleting row " + row->Name);
    WriteDbg("DeleteRow", "Request to delete row with UniqueNr=" + num(nr) + ", Row found");
    for (int s = 1; s <= std::min(row->NrCells, kMaxRowCells); ++s) {
        if (env_.hooks.processMessages) {
            RowsUnlocked u(mutex_);
            env_.hooks.processMessages();
        }
        const int cell = row->RowCells[static_cast<size_t>(s)].CellNr;
        if (cell > 0 && env_.cells.cell(cell).RowNr == nr) env_.cells.ClearCell(cell);
    }
    AddMsg(GetTextFmt("uRows", "DeletedRow", "Deleted meas. series %s", row->Name), false);
    row->ReleaseRTV();
    WriteDbg("DeleteRow", "Trying to delete data file and directory: " + row->DataDir);
    deleteDataDir(*row);
    rows_.erase(std::remove(rows_.begin(), rows_.end(), row), rows_.end());
}

int TRows::ExportRow(TRow& row, const std::string& fileName) {
    std::lock_guard lock(mutex_);
    lastError_.clear();
    std::string content = row.SectionText("RowDefinition");
    content += "\r\n[RowData]\r\n";
    const bool dc = decimalCommaFlag();
    for (int i = 1; i <= row.iRTV; ++i) {
        content += row.DataLine(i, dc);
        content += "\r\n";
    }
    const int err = replaceFileAtomically(fileName, content);
    if (err != 0) {
        reportAccessError(err, fileName);
        return -1;
    }
    return row.iRTV;
}

std::string TRows::ImportRow(const std::string& fileName) {
    std::lock_guard lock(mutex_);
    lastError_.clear();
    std::error_code ec;
    if (!fs::exists(fileName, ec)) {
        WriteDbg("Rows", "... File " + fileName + " not found - row NOT reloaded");
        return {};
    }
    IniSections file;
    if (!file.load(fileName)) {
        reportAccessError(EIO, fileName);
        return {};
    }
    if (!file.hasSection("RowDefinition") ||
        file.readInteger("RowDefinition", "UniqueNr", 0) <= 0) {
        const std::string t =
            GetTextFmt("uRows", "ImportNoRow",
                       "File %s holds no valid row definition - not imported.", fileName);
        AddMsg(t, false);
        WriteDbg("Rows", t);
        return {};
    }
    const int nr = NewRow(0);
    const auto row = findLocked(nr);
    row->ReadRow(file, "RowDefinition", ReadRowOptions{true});
    WriteDbg("Rows", "Reloading row " + row->Name + " from file " + fileName);
    row->iRTV = 0;
    row->iRTV0 = 0;
    for (const std::string& line : file.linesAfter("[RowData]")) {
        if (trim(line).empty()) continue;
        if (row->ParseDataLine(line, true))
            row->LastLoadedDT = row->RTV[static_cast<size_t>(row->iRTV)].dt;
    }
    row->iRTV_lastLoaded = row->iRTV;
    if (row->bActive && row->LastLoadedDT > 0)
        row->NextCycle = nextDue(row->LastLoadedDT, row->intervalStep(), clock().now());
    if (!row->MakeDataDir() || !row->SaveAllData()) return {};
    return row->Name;
}

void TRows::ResetDataDeviceQueues() {
    if (env_.hooks.resetQueuesAfterNextRead && env_.hooks.resetQueuesAfterNextRead()) return;
    DeviceList& dl = env_.devices;
    const int n = dl.nDevices();
    for (int d = 1; d <= n; ++d) {
        const TKLVDeviceListEntry e = dl.device(d);
        if (e.Type != DeviceType::Data || !e.bPresent) continue;
        RowsUnlocked u(mutex_);
        std::lock_guard io(env_.io.of(d));
        dl.protocol().clearQueue(e.FTHandle);
    }
}

// ---------------------------------------------------------------------------------------
// Lookups for the cell model and the synchronisation

std::shared_ptr<TRow> TRows::RowForCellAt(int cell, TDateTime t) {
    std::lock_guard lock(mutex_);
    for (const auto& r : rows_) {
        if (r->isTemplate) continue;
        const TDateTime end = r->realStop != 0 ? r->realStop : r->Stop;
        if (t < r->Start || t > end) continue;
        for (int s = 1; s <= std::min(r->NrCells, kMaxRowCells); ++s) {
            const RowCell& c = r->RowCells[static_cast<size_t>(s)];
            if (c.CellNr == cell && (c.State == CellState::cs_Running || isSuspended(c.State) ||
                                     c.State == CellState::cs_ControlOnly))
                return r;
        }
    }
    return nullptr;
}

std::optional<RowInfo> TRows::findRow(int uniqueNr) const {
    std::lock_guard lock(mutex_);
    const auto r = findLocked(uniqueNr);
    if (!r) return std::nullopt;
    RowInfo i;
    i.name = r->Name;
    i.state = r->State;
    i.tactSeconds = r->Tact;
    i.attritionDivider = r->AttritionDivider;
    i.plannedStop = r->Stop;
    i.lf2co2 = r->LF2CO2;
    i.withCO2 = r->withCO2;
    i.o2LeakageAlarm = r->bO2LeakageAlarm;
    i.alarmCount = r->AlarmCount;
    i.alarmHours = r->AlarmHours;
    i.countAfterAllCellsStarted = r->bCountAfterAllCellsStarted;
    i.allCellsStarted = r->bAllCellsStarted;
    return i;
}

void TRows::suspendCellForAlarm(int uniqueNr, int cell) {
    std::lock_guard lock(mutex_);
    const auto r = findLocked(uniqueNr);
    if (!r) return;
    const int slot = r->FindCellSlot(cell);
    if (slot > 0) r->SuspendCell(slot, true, r->withCO2);
}

}  // namespace kv
