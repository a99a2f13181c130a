// The row data file "KLVdata.1": one text line per time value, appended while the row runs
// and read back when the program starts again.
//
// Every append opens the file, writes whole lines, flushes them to the disk (fsync) and
// closes it, so a line that Update reports as written survives a crash; a new file's
// directory is flushed too. A rewrite goes through a temporary file and a rename, so a
// crash mid-rewrite keeps the previous file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "acquisition/cell_state.h"
#include "app/alarm_notify.h"
#include "app/debuglog.h"
#include "app/inifile.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "common/fileio.h"
#include "common/strutil.h"
#include "rows/row_util.h"
#include "rows/rows.h"

namespace kv {

namespace fs = std::filesystem;

namespace {

// Appends `lines` to the data file, creating it with `header` when it is new or empty. A
// previous line left unfinished by a crash is closed first, so it cannot swallow the new
// one. A write that fails (a full or read-only disk) is cut back to the file's previous
// end, so the file never keeps half a line. Returns 0 or the errno of the failure; `after`
// receives the file's identity and size once the lines are in.
int appendToDataFile(const std::string& path, const std::string& header, const std::string& lines,
                     DataFileIdentity& after) {
    int fd = -1;
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt)
        fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    std::string out;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return e;
    }
    if (st.st_size == 0) {
        out = header + "\r\n";
    } else {
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') out = "\r\n";
    }
    out += lines;
    int err = writeAllTo(fd, out);
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (err != 0) {
        // Best effort: on a read-only disk nothing was written, and nothing can be cut.
        if (::ftruncate(fd, st.st_size) == 0) ::fsync(fd);
    } else {
        after = {static_cast<unsigned long long>(st.st_dev),
                 static_cast<unsigned long long>(st.st_ino),
                 static_cast<long long>(st.st_size) + static_cast<long long>(out.size())};
    }
    if (::close(fd) != 0 && err == 0) err = errno;
    // A new file: its directory entry must reach the disk too, or a crash could lose the
    // whole file with the lines fsync just wrote.
    if (err == 0 && st.st_size == 0) syncDirectoryOf(path);
    return err;
}

// Longest data line read; a longer one is skipped (its length is all that is kept).
constexpr size_t kMaxDataLine = 64 * 1024;

// One line without its "\n", at most kMaxDataLine + 1 characters of it kept (a longer line
// is read to its end but comes back with kMaxDataLine + 1 characters). False at the end.
bool readBoundedLine(std::istream& in, std::string& line) {
    line.clear();
    bool any = false;
    for (int c; (c = in.get()) != std::char_traits<char>::eof();) {
        any = true;
        if (c == '\n') return true;
        if (line.size() <= kMaxDataLine) line.push_back(static_cast<char>(c));
    }
    return any;
}

// The file at path as it is now; size -1 when there is none.
DataFileIdentity identityOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
            static_cast<long long>(st.st_size)};
}

bool isDirectory(const std::string& p) {
    std::error_code ec;
    return fs::is_directory(p, ec);
}

// Creates one directory level (flushing the new entry in its parent); 0 or the errno.
int makeDir(const std::string& p) {
    if (isDirectory(p)) return 0;
    if (::mkdir(p.c_str(), 0755) != 0) return errno == EEXIST ? 0 : errno;
    syncDirectoryOf(p);
    return 0;
}

}  // namespace

std::string TRow::DataFileName() const {
    // Without a directory there is no file (and never one at the file system's root).
    return DataDir.empty() ? std::string() : DataDir + "/" + kDataFileName;
}

void TRow::reportAccessError(int err, const std::string& fileName) {
    owner_.reportAccessError(err, fileName);
}

bool TRow::MakeDataDir() {
    std::lock_guard lock(owner_.mutex());
    const std::string root = owner_.DataRoot();
    if (int e = makeDir(root)) {
        reportAccessError(e, root);
        return false;
    }
    if (DataDir.empty()) DataDir = root + "/" + num(UniqueNr);
    if (int e = makeDir(DataDir)) {
        reportAccessError(e, DataDir);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Lines

std::string TRow::HeaderLine() const {
    std::lock_guard lock(owner_.mutex());
    const int n = std::min(NrCells, kMaxRowCells);
    std::string h = "Date/Time";
    for (int s = 1; s <= n; ++s) h += ";O2 " + num(RowCells[static_cast<size_t>(s)].CellNr);
    h += ";T";
    if (withCO2) {
        for (int s = 1; s <= n; ++s) h += ";LF " + num(RowCells[static_cast<size_t>(s)].CellNr);
        if (storeEC71_T)
            for (int s = 1; s <= n; ++s)
                h += ";T(LF) " + num(RowCells[static_cast<size_t>(s)].CellNr);
    }
    return h;
}

std::string TRow::DataLine(int i, bool decimalComma) const {
    std::lock_guard lock(owner_.mutex());
    const int n = std::min(NrCells, kMaxRowCells);
    const RTVElement& e = RTV[static_cast<size_t>(i)];
    std::string l = dtText(e.dt);
    l.reserve(l.size() + static_cast<size_t>(n) * 7 + 8);
    for (int s = 1; s <= n; ++s) {
        l += ';';
        l += intToText(RowCells[static_cast<size_t>(s)].Values.count(i));
    }
    l += ';';
    if (e.T != NoValueInt) l += realToText(e.T / 10.0, 0, 1, decimalComma);
    if (withCO2) {
        for (int s = 1; s <= n; ++s) {
            l += ';';
            l += intToText(RowCells[static_cast<size_t>(s)].Values.lf(i));
        }
        if (storeEC71_T)
            for (int s = 1; s <= n; ++s) {
                l += ';';
                l +=
                    realToText(RowCells[static_cast<size_t>(s)].Values.tlf(i), 0, -5, decimalComma);
            }
    }
    return l;
}

bool TRow::ParseDataLine(std::string_view line, bool roundTemperature) {
    std::lock_guard lock(owner_.mutex());
    const int n = std::min(NrCells, kMaxRowCells);
    size_t pos = 0;
    bool more = true;
    auto next = [&]() -> std::string_view {
        if (!more) return {};
        const size_t semi = line.find(';', pos);
        std::string_view f;
        if (semi == std::string_view::npos) {
            f = line.substr(pos);
            more = false;
        } else {
            f = line.substr(pos, semi - pos);
            pos = semi + 1;
        }
        return f;
    };
    const TDateTime dt = textToDateTime(next());
    if (dt <= 0) return false;
    const int i = iRTV + 1;
    ensureEntry(i);
    RTVElement& e = RTV[static_cast<size_t>(i)];
    e.dt = dt;
    for (int s = 1; s <= n; ++s)
        RowCells[static_cast<size_t>(s)].Values.setCount(i, textToInt(next()));
    const double t = textToReal(next());
    e.T = isNoValue(t)
              ? NoValueInt
              : (roundTemperature ? tenthsOf(t) : roundToInt(std::trunc(10.0 * t), NoValueInt));
    lastValidTemp = e.T;
    if (withCO2) {
        for (int s = 1; s <= n; ++s) {
            RowCell& c = RowCells[static_cast<size_t>(s)];
            const int lf = textToInt(next());
            c.Values.setLf(i, lf);
            c.LastLF = lf;
            c.LF_Last = lf;
            c.Values.setTlf(i, 0.0);
        }
        if (storeEC71_T)
            for (int s = 1; s <= n; ++s)
                RowCells[static_cast<size_t>(s)].Values.setTlf(i, textToReal(next()));
    }
    iRTV = i;
    return true;
}

// ---------------------------------------------------------------------------------------
// Writers

bool TRow::appendLines(int from, int to, bool forceFirst) {
    if (from < 1) from = 1;
    if (to > iRTV) to = iRTV;
    if (from > to) return true;
    const bool dc = decimalCommaFlag();
    std::string lines;
    for (int i = from; i <= to; ++i) {
        if (i == from && forceFirst) lines += "\r\n";
        lines += DataLine(i, dc);
        lines += "\r\n";
    }
    const std::string fn = DataFileName();
    restoreDataFileIfChanged(fn, from - 1);
    const int err = appendToDataFile(fn, HeaderLine(), lines, dataFile_);
    if (err != 0) {
        if (!writeErrorReported_) {
            reportAccessError(err, fn);
            AddMsg(GetTextFmt("uRows", "DataLinesKept",
                              "Meas.series %s: data lines cannot be written to %s (%s). Counting "
                              "goes on; the lines are kept and written when the file can be "
                              "written again.",
                              Name, fn, std::strerror(err)),
                   true);
            NotifyAlarm(AlarmKind::WriteFailed, "Meas.series " + Name +
                                                    ": data line not written to " + fn + ": " +
                                                    std::strerror(err));
        }
        writeErrorReported_ = true;
        return false;
    }
    if (writeErrorReported_) {
        const std::string t =
            GetTextFmt("uRows", "DataLinesWritten",
                       "Meas.series %s: data lines are written to %s again.", Name, fn);
        WriteDbg("Rows", t);
        AddMsg(t, false);
    }
    writeErrorReported_ = false;
    return true;
}

bool TRow::writeUnsavedLines(bool forceFirst) {
    if (iRTV_lastSaved >= iRTV) return true;
    if (DataDir.empty() && !MakeDataDir()) return false;
    if (!appendLines(iRTV_lastSaved + 1, iRTV, forceFirst)) return false;
    iRTV_lastSaved = iRTV;
    return true;
}

void TRow::restoreDataFileIfChanged(const std::string& fn, int keepUpTo) {
    if (dataFile_.size < 0) return;  // nothing written or read yet
    const DataFileIdentity now = identityOf(fn);
    const bool gone = now.size < 0;
    if (!gone && now.dev == dataFile_.dev && now.ino == dataFile_.ino && now.size >= dataFile_.size)
        return;
    dataFile_ = {};
    std::string kept;
    if (!gone) {
        // Someone else's file (or a cut copy of ours): it stays, under a name of its own.
        kept = fn + ".replaced-" + fileStamp(clock().now());
        if (::rename(fn.c_str(), kept.c_str()) != 0) kept.clear();
    }
    std::string t;
    if (bIncompleteLoad) {
        // Memory holds only the first RTVSize lines: the file cannot be put back whole.
        t = GetTextFmt("uRows", "DataFileLostIncomplete",
                       "Meas.series %s: data file %s was deleted or replaced while the row ran; "
                       "new lines go to a new file.",
                       Name, fn);
    } else {
        const bool dc = decimalCommaFlag();
        std::string content = HeaderLine() + "\r\n";
        for (int i = 1; i <= std::min(keepUpTo, iRTV); ++i) {
            content += DataLine(i, dc);
            content += "\r\n";
        }
        const std::string err = writeFileAtomically(fn, content);
        if (!err.empty())
            WriteDbg("Rows", err);
        else
            dataFile_ = identityOf(fn);
        t = GetTextFmt("uRows", "DataFileRestored",
                       "Meas.series %s: data file %s was deleted or replaced while the row ran; "
                       "its lines were written again from memory.",
                       Name, fn);
    }
    if (!kept.empty())
        t += " " +
             GetTextFmt("uRows", "DataFileKeptAs", "The file found there is kept as %s.", kept);
    WriteDbg("Rows", t);
    AddMsg(t, true);
    NotifyAlarm(AlarmKind::WriteFailed, t);
}

bool TRow::DFLine(int i, bool bForce) {
    std::lock_guard lock(owner_.mutex());
    if (i < 1 || i > iRTV) return false;
    if (DataDir.empty() && !MakeDataDir()) return false;
    return appendLines(i, i, bForce);
}

bool TRow::SaveSynchronizedData(int iStart) {
    std::lock_guard lock(owner_.mutex());
    const bool log = dbg().rows.load();
    const std::string cat = "SaveSynchronizedData(" + num(iStart) + ")";
    const std::string state =
        "R=" + Name + ", iRTV_lastLoaded/iRTV=" + num(iRTV_lastLoaded) + "/" + num(iRTV);
    WriteDbg(cat + ".Start", state);
    if (iStart <= 0) {
        iStart = iRTV_lastLoaded + 1;
        WriteDbg(cat + ".Start", "iRTV_Start set to iRTV_lastLoaded +1");
    }
    if (log)
        for (int a = iStart; a <= iRTV; ++a)
            WriteDbg(cat, "... calling DFLine(" + num(a) + ", False)");
    bool ok = DataDir.empty() ? MakeDataDir() : true;
    ok = ok && appendLines(iStart, iRTV, false);
    if (ok) iRTV_lastSaved = iRTV;
    if (log) {
        WriteDbg("SaveSynchronizedData", "ALL");
        for (int i = 1; i <= iRTV; ++i)
            WriteDbg("SaveSynchronizedData",
                     "iRTV/dt=" + num(i) + "/" + dtText(RTV[static_cast<size_t>(i)].dt));
    }
    WriteDbg(cat + ".Stop", state);
    return ok;
}

bool TRow::SaveAllData() {
    std::lock_guard lock(owner_.mutex());
    WriteDbg("SaveAllData", "R=" + Name + ", iRTV=" + num(iRTV));
    if (dbg().rows.load())
        for (int i = 1; i <= iRTV; ++i)
            WriteDbg("TRow.SaveAllData", "... calling DFLine(" + num(i) + ", False)");
    if (DataDir.empty() && !MakeDataDir()) return false;
    const bool ok = appendLines(1, iRTV, false);
    if (ok) iRTV_lastSaved = iRTV;
    return ok;
}

bool TRow::RewriteDataFile() {
    std::lock_guard lock(owner_.mutex());
    if (DataDir.empty() && !MakeDataDir()) return false;
    if (bIncompleteLoad) {
        // Memory holds only the first RTVSize lines of the file; a rewrite would drop the
        // rest. The lines not yet in the file are appended instead.
        WriteDbg("Rows", "Row " + Name + ": data file was not read to its end - not rewritten, " +
                             "lines " + num(iRTV_lastSaved + 1) + ".." + num(iRTV) + " appended");
        const bool ok = appendLines(iRTV_lastSaved + 1, iRTV, false);
        if (ok) iRTV_lastSaved = iRTV;
        return ok;
    }
    const bool dc = decimalCommaFlag();
    std::string content = HeaderLine() + "\r\n";
    for (int i = 1; i <= iRTV; ++i) {
        content += DataLine(i, dc);
        content += "\r\n";
    }
    const std::string fn = DataFileName();
    const std::string err = writeFileAtomically(fn, content);
    if (!err.empty()) {
        WriteDbg("Rows", err);
        reportAccessError(EIO, fn);
        return false;
    }
    dataFile_ = identityOf(fn);
    iRTV_lastSaved = iRTV;
    return true;
}

// ---------------------------------------------------------------------------------------
// Reload

void TRow::Reload() {
    std::lock_guard lock(owner_.mutex());
    LastLoadedDT = 0;
    iRTV_lastSaved = 0;
    if (DataDir.empty()) MakeDataDir();
    const std::string fn = DataFileName();
    remakeMissingDataDir(fn);
    removeLeftoverTemporary(fn);
    repairTornLastLine(fn);
    const TDateTime now = clock().now();
    bool rewrite = false;
    const bool complete = readDataFile(fn, now, rewrite);
    dataFile_ = identityOf(fn);
    // A file that was not read to its end keeps its lines: rewriting it from memory would
    // drop those beyond RTVSize. The file as it was stays beside it: the lines left out
    // were stored, and only the series in memory has no place for them.
    if (rewrite && complete) {
        std::error_code ec;
        const std::string copy = fn + ".before-rewrite-" + fileStamp(now);
        fs::copy_file(fn, copy, fs::copy_options::overwrite_existing, ec);
        if (ec) WriteDbg("Rows", "copy of " + fn + " not kept: " + ec.message());
        RewriteDataFile();
        WriteDbg("Rows", "+++ Reloading row " + Name + ": iRTV(" + num(iRTV) +
                             "): rewriting data file due to d/t errors");
    }
    if (State != RowState::Running && State != RowState::StoppedControl) return;
    WriteDbg("Rows", "... row is running");
    if (now <= Stop || State == RowState::StoppedControl)
        restartAfterReload(now);
    else
        StopRow("TRow.Reload/Now>=Stop (" + dtText(now) + "/" + dtText(Stop) + ")");
}

void TRow::repairTornLastLine(const std::string& fn) {
    const int fd = ::open(fn.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    char last = '\n';
    if (::fstat(fd, &st) != 0 || st.st_size == 0 || ::pread(fd, &last, 1, st.st_size - 1) != 1 ||
        last == '\n') {
        ::close(fd);
        return;
    }
    // The end of the last complete line, read backwards in blocks (a torn line is short,
    // but a file of a single huge line must not be read whole either).
    constexpr off_t kBlock = 4096;
    off_t end = 0;  // new size: just past the last line end
    std::string block;
    for (off_t pos = st.st_size; pos > 0 && end == 0;) {
        const off_t from = std::max<off_t>(0, pos - kBlock);
        block.resize(static_cast<size_t>(pos - from));
        if (::pread(fd, block.data(), block.size(), from) != static_cast<ssize_t>(block.size()))
            break;
        const auto nl = block.rfind('\n');
        if (nl != std::string::npos) end = from + static_cast<off_t>(nl) + 1;
        pos = from;
    }
    const long long cut = static_cast<long long>(st.st_size - end);
    std::string torn(static_cast<size_t>(std::min<long long>(cut, 200)), '\0');
    if (::pread(fd, torn.data(), torn.size(), end) < 0) torn.clear();
    const bool ok = ::ftruncate(fd, end) == 0 && ::fsync(fd) == 0;
    ::close(fd);
    const std::string t = GetTextFmt(
        "uRows", "DataFileTornLine",
        "Meas.series %s: the last line of data file %s was cut short (a write broke off); %s "
        "characters removed, the complete lines kept.",
        Name, fn, num(cut));
    WriteDbg("Rows", t + (ok ? "" : " (the file could not be shortened)") + " Removed: {" +
                         replaceAll(replaceAll(torn, "\r", "\\r"), std::string(1, '\0'), "") + "}");
    AddMsg(t, false);
}

// A temporary file of an atomic replace that a crash left behind: never read, and removed,
// so that it cannot be mistaken for data later.
void TRow::removeLeftoverTemporary(const std::string& fn) {
    removeLeftoverTemporaryOf(fn);
}

void TRow::remakeMissingDataDir(const std::string& fn) {
    std::error_code ec;
    if (fs::exists(fn, ec) || isDirectory(DataDir) || makeDir(DataDir) != 0) return;
    WriteDbg("Rows", "... DataDir " + DataDir + " not found - new dir created");
    AddMsg(GetTextFmt("uRows", "RowReload_DataDirNotFound",
                      "Meas.series %s data directory %s missing - new dir created.", Name, DataDir),
           false);
}

// The data file into the time vector; rewrite is set when lines out of order were left
// out. False when the file holds more lines than RTVSize: it was not read to its end.
bool TRow::readDataFile(const std::string& fn, TDateTime now, bool& rewrite) {
    bIncompleteLoad = false;
    std::ifstream in(fn, std::ios::binary);
    if (!in) {
        WriteDbg("Rows", "... File " + fn + " not found - row NOT reloaded");
        AddMsg(GetTextFmt("uRows", "RowReload_fnNotFound", "Meas.series %s data file %s missing.",
                          Name, fn),
               false);
        iRTV = iRTV0 = iRTV_lastLoaded = 0;
        return true;
    }
    iRTV = iRTV0 = 0;
    WriteDbg("Rows", "Reloading row " + Name + " from file " + fn);
    // Lines dated far outside the row's span (a damaged date) are not taken: the
    // synchronisation fills the time vector from the last line on, and a line from years
    // back would make it create millions of entries. A line after now but inside the span
    // is taken: the clock may be behind the data (a computer whose clock battery died).
    const TDateTime earliest = spanStart() - 1.0,
                    latest = std::max(now, std::max(Stop, realStop)) + 1.0;
    bool complete = true;
    std::string line;
    int tooLong = 0;
    while (readBoundedLine(in, line)) {
        if (line.size() > kMaxDataLine) {
            // Not a line this program wrote (120 cells need a few kB): skipped unread, so
            // that a damaged file of one huge line costs neither memory nor a rewrite.
            ++tooLong;
            continue;
        }
        if (line.find("Dat") != std::string::npos) continue;
        if (trim(line).empty()) continue;
        if (iRTV + 1 > RTVSize) {
            reportFullTimeVector();
            complete = false;
            bIncompleteLoad = true;
            break;
        }
        reloadLine(line, earliest, latest, rewrite);
    }
    if (tooLong > 0) {
        const std::string t =
            GetTextFmt("uRows", "RowReload_LineTooLong",
                       "Meas.series %s: %s line(s) of data file %s longer than %s characters "
                       "skipped; the file is not rewritten.",
                       Name, num(tooLong), fn, num(static_cast<long long>(kMaxDataLine)));
        WriteDbg("Rows", t);
        AddMsg(t, true);
        bIncompleteLoad = true;  // never rewritten from memory: the skipped text stays
        complete = false;
    }
    iRTV_lastLoaded = iRTV_lastSaved = iRTV;
    WriteDbg("Rows", "Reloading row " + Name + ": lastValidTemp=" + num(lastValidTemp));
    if (iRTV > 0 && RTV[static_cast<size_t>(iRTV)].dt > now + kClockBehindSec * kSecond) {
        const std::string t =
            GetTextFmt("uRows", "ClockBehindData",
                       "The system clock (%s) is behind the data of meas.series %s (last line %s). "
                       "Please check the clock. Counting goes on; the series takes its next "
                       "value when the clock has passed its last line.",
                       dtText(now), Name, dtText(RTV[static_cast<size_t>(iRTV)].dt));
        WriteDbg("Rows", t);
        AddMsg(t, true);
        NotifyAlarm(AlarmKind::Clock, t);
    }
    return complete;
}

void TRow::reportFullTimeVector() {
    const std::string t = "!!! Reloading row " + Name + ": iRTV(" + num(iRTV) + ") > RTVSize(" +
                          num(RTVSize) + ") !!!";
    WriteDbg("Rows", t);
    AddMsg(t, false);
    if (env().hooks.errorBox) {
        RowsUnlocked u(owner_.mutex());
        env().hooks.errorBox(t);
    }
}

// One data line, taken unless its date-time is unreadable, far off or earlier than the
// previous line's (then rewrite is set).
void TRow::reloadLine(std::string_view l, TDateTime earliest, TDateTime latest, bool& rewrite) {
    const TDateTime dt = textToDateTime(l.substr(0, l.find(';')));
    if (dt <= 0) {
        // A damaged line without a readable time cannot be placed in the series.
        WriteDbg("Rows", "+++ Reloading row " + Name + ": iRTV(" + num(iRTV) +
                             "): unreadable date/time ignored");
        return;
    }
    if (dt < earliest || dt > latest) {
        WriteDbg("Rows", "+++ Reloading row " + Name + ": iRTV(" + num(iRTV) + "): date/time (" +
                             dtText(dt) + ") outside " + dtText(earliest) + " .. " +
                             dtText(latest) + " ignored");
        return;
    }
    if (iRTV >= 2 && RTV[static_cast<size_t>(iRTV)].dt > dt) {
        WriteDbg("Rows", "+++ Reloading row " + Name + ": iRTV(" + num(iRTV) +
                             "): smaller date/time (" + dtText(dt) + ") than last d/t (" +
                             dtText(RTV[static_cast<size_t>(iRTV)].dt) +
                             " detected and ignored !!!");
        iRTV_lastLoaded = iRTV;
        rewrite = true;
        return;
    }
    if (ParseDataLine(l, true)) LastLoadedDT = dt;
}

void TRow::restartAfterReload(TDateTime now) {
    if (iRTV > 0) {
        for (int s = 1; s <= std::min(NrCells, kMaxRowCells); ++s) {
            const RowCell& c = RowCells[static_cast<size_t>(s)];
            const CellState st = c.State;
            if (!isUnderRowControl(st)) continue;
            // A cell another row has taken keeps that row's count and settings.
            if (!ownsCell(c)) continue;
            const int last = c.Values.count(iRTV);
            if (last != NoValueInt) env().cells.SetCellCount(c.CellNr, last);
            const bool co2 = withCO2;
            const int aiStart = c.aiCO2_start, lastLf = c.Values.lf(iRTV), lastLF = c.LastLF;
            const double lfLast = c.LF_Last, tlf = c.Values.tlf(iRTV);
            const int rowMode = c.RowMode;
            env().cells.update(c.CellNr, [&](TCell& m) {
                m.LFFlag = co2;
                m.aiCO2_start = aiStart;
                m.aiCO2_last = lastLf;
                if (co2) {
                    m.aiCO2 = lastLF;
                    m.cdm_LF_Last = lfLast * 0.000001;
                    m.cdm_T = tlf;
                }
                m.RowMode = rowMode;
            });
            env().cells.SetCellMethod(c.CellNr, c.Mode, c.Index, c.PTC, c.BTH1);
        }
    }
    bActive = true;
    // With the clock behind the last line the next value comes after that line.
    NextCycle = LastLoadedDT <= 0     ? now
                : LastLoadedDT >= now ? LastLoadedDT + intervalStep()
                                      : nextDue(LastLoadedDT, intervalStep(), now);
    AddMsg(GetTextFmt("uRows", "RowReload", "Meas.series %s reloaded and restarted.", Name), false);
}

}  // namespace kv
