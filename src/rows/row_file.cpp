// A row's section of the row definitions file: the writer and the reader with its defaults
// and corrections, and the mapping of the loaded cells into the cell model.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "acquisition/cell_state.h"
#include "app/debuglog.h"
#include "app/messages.h"
#include "app/password.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "common/strutil.h"
#include "rows/ini_sections.h"
#include "rows/row_util.h"
#include "rows/rows.h"

namespace kv {

namespace fs = std::filesystem;

namespace {

std::string real(double v, int decimals) {
    // The row definitions file always has a decimal point, whatever the user's option.
    return realToText(v, 0, decimals, false);
}

std::string flag(bool b) {
    return b ? "1" : "0";
}

// A text value that reads back unchanged: no line breaks, and quotes around a text whose
// ends are blanks or that is itself quoted (the reader trims and unquotes).
std::string textValue(std::string v) {
    for (char& c : v)
        if (c == '\r' || c == '\n') c = ' ';
    const bool blankEnds = trim(v).size() != v.size();
    const bool looksQuoted =
        v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
    return (blankEnds || looksQuoted) ? "\"" + v + "\"" : v;
}

// A field of a "|"-separated value cannot hold the separator itself.
std::string fieldValue(std::string v) {
    for (char& c : v) {
        if (c == '|') c = '/';
        if (c == '\r' || c == '\n') c = ' ';
    }
    return v;
}

std::string chartSelText(const ChartSel& c) {
    std::string s = std::to_string(c.shown);
    for (int v : c.v) s += "," + std::to_string(v);
    return s;
}

ChartSel parseChartSel(std::string_view text, int missingLast) {
    ChartSel c;
    c.v = {1, 1, 1, missingLast, missingLast};
    const auto f = split(text, ',');
    if (!f.empty()) c.shown = textToIntDef(f[0], 0);
    for (size_t k = 0; k < 5; ++k)
        if (k + 1 < f.size()) c.v[k] = textToIntDef(f[k + 1], c.v[k]);
    return c;
}

// The empty password is stored too: 90 filler characters and the scrambled length "0".
std::string encodeRowPassword(const std::string& pw) {
    if (!pw.empty()) return encodePassword(pw);
    thread_local std::mt19937 gen{std::random_device{}()};
    std::uniform_int_distribution<int> dist(32, 241);
    std::string s(90, ' ');
    for (char& c : s) c = static_cast<char>(dist(gen));
    if (s[0] == ' ') s[0] = static_cast<char>(255);
    s += static_cast<char>(('0' - 106 + 256) % 256);
    return s;
}

std::string field(const std::vector<std::string_view>& f, size_t k) {
    return k < f.size() ? std::string(f[k]) : std::string();
}

bool present(const std::vector<std::string_view>& f, size_t k) {
    return k < f.size() && !trim(f[k]).empty();
}

// The lowest byte of the value as an integer: "1" on, "0" off, an empty value (no-value
// integer) on.
bool lowByteFlag(const IniSections& f, const std::string& sec, const char* key, const char* def) {
    return (textToInt(f.readString(sec, key, def)) & 0xFF) != 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Writer

std::string TRow::SectionText(const std::string& sec) {
    std::lock_guard lock(owner_.mutex());
    RowSection = sec;
    std::string o;
    o.reserve(4096 + static_cast<size_t>(NrCells) * 120);
    auto line = [&o](std::string_view key, const std::string& value) {
        o += key;
        o += value;
        o += "\r\n";
    };
    line("[" + sec + "]", "");
    line("RowSection=", sec);
    line("UniqueNr=", std::to_string(UniqueNr));
    line("isTemplate=", flag(isTemplate));
    line("Tact=", intToText(Tact));
    line("LF2CO2=", real(LF2CO2, -7));
    line("AttritionDivider=", intToText(AttritionDivider));
    line("bO2LeakageAlarm=", flag(bO2LeakageAlarm));
    line("AlarmCount=", intToText(AlarmCount));
    line("AlarmHours=", intToText(AlarmHours));
    line("RowMode=", intToText(RowMode));
    line("Created=", dtText(Created));
    line("Start=", dtText(Start));
    line("realStart=", dtText(realStart));
    line("Stop=", dtText(Stop));
    line("orgStop=", dtText(orgStop));
    line("realStop=", dtText(realStop));
    line("SpecialCellMode=", std::to_string(SpecialCellMode));
    const int nsc = std::clamp(NrSpecialCells, 0, kMaxSpecialCells);
    line("NrSpecialCells=", intToText(NrSpecialCells));
    for (int k = 1; k <= nsc; ++k) {
        const SpecialCell& sc = SpecialCells[static_cast<size_t>(k)];
        std::string v = real(sc.value, -5) + "|";
        for (size_t j = 0; j < 3; ++j) {
            v += std::to_string(sc.flag[j]) + ", ";
            for (size_t a = 0; a < 5; ++a) v += std::to_string(sc.arr[a][j]) + ", ";
        }
        line("SC" + std::to_string(k) + "=", v);
    }
    line("State=", std::to_string(toInt(State)));
    line("bCountAfterAllCellsStarted=", flag(bCountAfterAllCellsStarted));
    line("bAllCellsStarted=", flag(bAllCellsStarted));
    line("Name=", textValue(Name));
    line("SampleDate=", textValue(SampleDate));
    line("SampleTemp=", textValue(SampleTemp));
    line("SampleAnalytiker=", textValue(SampleAnalytiker));
    for (size_t k = 0; k < 3; ++k)
        line("Comment/" + std::to_string(k + 1) + "=", textValue(Comment[k]));
    line("PassWd=", encodeRowPassword(PassWd));
    line("eXtDurInt=", std::to_string(toInt(SIDuration)) + ", " +
                           std::to_string(toInt(SIInterval)) + ", " + real(Duration, -5) + ", " +
                           real(Interval, -5));
    line("intDurInt=", real(DurDays, -20) + ", " + real(IntDays, -20));
    line("ZeroNeeded=", intToText(ZeroNeeded));
    line("withCO2=", flag(withCO2));
    line("ContinueCellControl=", flag(ContinueCellControl));
    line("storeEC71_T=", flag(storeEC71_T));
    line("CO2Mean=", flag(CO2Mean));
    line("DataDir=", textValue(DataDir));
    line("Saved=", flag(Saved));
    line("X-Values=", dateToText(XFromDate) + ", " + timeToText(XFromTime) + ", " +
                          dateToText(XToDate) + ", " + timeToText(XToTime) + ", " +
                          real(XStep, -5) + ", " + intToText(toInt(XUnit)));
    std::string y;
    for (size_t k = 0; k < YValues.size(); ++k) y += (k ? ", " : "") + real(YValues[k], -5);
    line("Y-Values=", y);
    line("LegendPosition=", intToText(LegendPosition[0]) + ", " + intToText(LegendPosition[1]));
    line("Y-Texts=", textValue(fieldValue(YTexts[0]) + "|" + fieldValue(YTexts[1]) + "|" +
                               fieldValue(YTexts[2])));
    const int n = std::clamp(NrCells, 0, kMaxRowCells);
    line("Cells=", intToText(n));
    const bool dev = co2DevicePresent();
    for (int s = 1; s <= n; ++s) {
        RowCell& c = RowCells[static_cast<size_t>(s)];
        std::string startValue;
        if (dev) {
            if (c.cdm_LF_0 < 0) c.cdm_LF_0 = -1.0;
            startValue = intToText(roundToInt(c.cdm_LF_0 * 1000000.0, NoValueInt));
        } else {
            startValue = intToText(c.aiCO2_start);
        }
        const std::string v =
            (c.bMapped ? "" : "??") + std::to_string(c.CellNr) + "|" + fieldValue(c.Name) + "|" +
            real(c.Vol, -3) + "|" + dtText(c.StartTime) + "|" + dtText(c.StopTime) + "|" +
            chartSelText(c.ChartSel1) + "|" + std::to_string(toInt(c.State)) + "|" +
            std::to_string(c.Mode) + "|" + real(c.Index, -3) + "|" + real(c.PTC, -3) + "|" +
            real(c.BTH1, -3) + "|" + real(c.TS, -3) + "|" + intToText(c.RowMode) + "|" +
            startValue + "|" + chartSelText(c.ChartSel2) + "|" + real(c.CO2Factor, -8);
        line("C" + std::to_string(s) + "=", v);
    }
    o += "\r\n\r\n";
    return o;
}

bool TRow::WriteRow(const std::string& fileName, const std::string& sectionName, bool rewrite) {
    std::lock_guard lock(owner_.mutex());
    owner_.setLastError("");
    std::string content;
    if (!rewrite) {
        std::ifstream in(fileName, std::ios::binary);
        if (in)
            content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    content += SectionText(sectionName);
    const int err = replaceFileAtomically(fileName, content);
    if (err != 0) {
        owner_.reportAccessError(err, fileName);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Reader

void TRow::ReadRow(const IniSections& f, const std::string& sec, const ReadRowOptions& options) {
    std::lock_guard lock(owner_.mutex());
    const Config& cfg = env().cfg;
    RowSection = sec;
    UniqueNr = f.readInteger(sec, "UniqueNr", -1);
    WriteDbg("Rows", "Loading row in definition with UniqueNr=" + num(UniqueNr));
    isTemplate = textToInt(f.readString(sec, "isTemplate", "0")) == 1;
    Tact = f.readInteger(sec, "Tact", 0);
    LF2CO2 = textToReal(f.readString(sec, "LF2CO2", ""));
    if (isNoValue(LF2CO2)) LF2CO2 = cfg.DefLF2CO2_const1;
    AttritionDivider = f.readInteger(sec, "AttritionDivider", 1);
    AlarmCount = f.readInteger(sec, "AlarmCount", 95);
    AlarmHours = f.readInteger(sec, "AlarmHours", 1);
    const std::string leak = f.readString(sec, "bO2LeakageAlarm", "?");
    bO2LeakageAlarm = leak == "?" ? AlarmCount > 0 : textToInt(leak) == 1;
    RowMode = f.readInteger(sec, "RowMode", 0);

    Created = textToDateTime(f.readString(sec, "Created", ""));
    Start = textToDateTime(f.readString(sec, "Start", ""));
    const std::string rs = f.readString(sec, "realStart", "");
    realStart = rs.empty() ? Start : textToDateTime(rs);
    if (Start != realStart) {
        WriteDbg("Rows", "+++ different row/realStart: " + dtText(Start) + " / " +
                             dtText(realStart) + ": rowStart set to realStart +++");
        Start = realStart;
    }
    Stop = textToDateTime(f.readString(sec, "Stop", ""));
    orgStop = textToDateTime(f.readString(sec, "orgStop", ""));
    realStop = textToDateTime(f.readString(sec, "realStop", ""));

    Name = firstChars(f.readString(sec, "Name", ""), kMaxTextChars);
    SampleDate = firstChars(f.readString(sec, "SampleDate", ""), kMaxTextChars);
    SampleTemp = firstChars(f.readString(sec, "SampleTemp", ""), kMaxTextChars);
    SampleAnalytiker = firstChars(f.readString(sec, "SampleAnalytiker", ""), kMaxTextChars);
    for (size_t k = 0; k < 3; ++k)
        Comment[k] =
            firstChars(f.readString(sec, "Comment/" + std::to_string(k + 1), ""), kMaxTextChars);
    WriteDbg("Rows", "... loaded name/UniqueNr=" + Name + "/" + num(UniqueNr));
    PassWd = decodePassword(f.readRaw(sec, "PassWd", "")).substr(0, kMaxPassWdChars);

    if (f.hasKey(sec, "eXtDurInt")) {
        const std::string v = f.readString(sec, "eXtDurInt", "");
        const auto d = split(v, ',');
        SIDuration = static_cast<TimeUnit>(textToInt(field(d, 0)));
        SIInterval = static_cast<TimeUnit>(textToInt(field(d, 1)));
        Duration = textToReal(field(d, 2));
        Interval = textToReal(field(d, 3));
    } else {
        SIDuration = SIInterval = static_cast<TimeUnit>(NoValueInt);
        Duration = Interval = NoValueReal;
    }
    {
        const std::string v = f.readString(sec, "intDurInt", "");
        const auto d = split(v, ',');
        DurDays = textToReal(field(d, 0));
        IntDays = textToReal(field(d, 1));
        // An older or damaged file without the day values: take them from the units.
        if (isNoValue(IntDays) || IntDays <= 0) GetIntervalDays();
        if (isNoValue(DurDays) || DurDays < 0) {
            const double fs = unitSeconds(SIDuration);
            DurDays = (fs > 0 && !isNoValue(Duration)) ? Duration * fs * kSecond : 0;
        }
    }
    {
        const std::string v = f.readString(sec, "LegendPosition", "");
        const auto d = split(v, ',');
        LegendPosition = {0, 0};
        if (!trim(v).empty()) LegendPosition = {textToInt(field(d, 0)), textToInt(field(d, 1))};
    }
    ZeroNeeded = textToInt(f.readString(sec, "ZeroNeeded", "1"));
    bCountAfterAllCellsStarted = lowByteFlag(f, sec, "bCountAfterAllCellsStarted", "0");
    bAllCellsStarted = lowByteFlag(f, sec, "bAllCellsStarted", "1");
    withCO2 = lowByteFlag(f, sec, "withCO2", "0");
    ContinueCellControl = lowByteFlag(f, sec, "ContinueCellControl", "0");
    storeEC71_T = lowByteFlag(f, sec, "storeEC71_T", "0");
    CO2Mean = lowByteFlag(f, sec, "CO2Mean", "0");

    {
        const std::string v = f.readString(sec, "X-Values", "");
        if (trim(v).empty()) {
            XFromDate = Start;
            XFromTime = 0;
            XToDate = Stop;
            XToTime = 0;
            XStep = 1.0;
            XUnit = TimeUnit::Days;
        } else {
            const auto d = split(v, ',');
            XFromDate = textToDate(field(d, 0));
            XFromTime = textToTime(field(d, 1));
            XToDate = textToDate(field(d, 2));
            XToTime = textToTime(field(d, 3));
            XStep = textToReal(field(d, 4));
            XUnit = static_cast<TimeUnit>(textToInt(field(d, 5)));
        }
    }
    {
        const std::string v = f.readString(sec, "Y-Values", "");
        if (trim(v).empty()) {
            YValues = {cfg.Cnt_Y.min, cfg.Cnt_Y.max, cfg.Cnt_Y.step, cfg.O2_Y.min,  cfg.O2_Y.max,
                       cfg.O2_Y.step, cfg.CO2_Y.min, cfg.CO2_Y.max,  cfg.CO2_Y.step};
        } else {
            const auto d = split(v, ',');
            for (size_t k = 0; k < YValues.size(); ++k) YValues[k] = textToReal(field(d, k));
        }
    }
    {
        const std::string v = f.readString(sec, "Y-Texts", "");
        if (trim(v).empty() || v == "|") {
            YTexts = {cfg.Cnt_Y.text, cfg.O2_Y.text, cfg.CO2_Y.text};
        } else {
            const auto d = split(v, '|');
            for (size_t k = 0; k < 3; ++k) YTexts[k] = field(d, k);
        }
    }
    DataDir = normaliseDataDir(f.readString(sec, "DataDir", ""));
    // An import chooses its own folder below (importIdentity).
    if (!options.import) confineDataDir();
    Saved = textToInt(f.readString(sec, "Saved", "")) == 1;
    State = static_cast<RowState>(textToInt(f.readString(sec, "State", "")));
    if (options.import && (State == RowState::Running || State == RowState::StoppedControl)) {
        // An export taken while the row ran. Its cells run on in the original row, or
        // belong to another row by now; taking them up would stop or overwrite that row's
        // cells, so the copy comes in stopped and never reaches the devices.
        const std::string t = GetTextFmt(
            "uRows", "ImportRunningRow",
            "Meas.series %s was running when it was exported - imported as stopped.", Name);
        AddMsg(t, false);
        WriteDbg("Rows", t);
        State = RowState::Stopped;
    }
    SpecialCellMode = textToInt(f.readString(sec, "SpecialCellMode", "")) == 1 ? 1 : 0;

    NrSpecialCells = textToInt(f.readString(sec, "NrSpecialCells", "0"));
    if (isNoValue(NrSpecialCells) || NrSpecialCells < 0) NrSpecialCells = 0;
    NrSpecialCells = std::min(NrSpecialCells, kMaxSpecialCells);
    WriteDbg("Rows", "... loading " + num(NrSpecialCells) + " special cells");
    for (int k = 1; k <= NrSpecialCells; ++k) {
        SpecialCell& sc = SpecialCells[static_cast<size_t>(k)];
        const std::string v = f.readString(sec, "SC" + std::to_string(k), "");
        const auto bar = v.find('|');
        sc.value = textToReal(std::string_view(v).substr(0, bar));
        const auto d = split(
            bar == std::string::npos ? std::string_view() : std::string_view(v).substr(bar + 1),
            ',');
        for (size_t j = 0; j < 3; ++j) {
            const size_t b = j * 6;
            sc.flag[j] = textToInt(field(d, b));
            for (size_t a = 0; a < 5; ++a) {
                const std::string t = field(d, b + 1 + a);
                sc.arr[a][j] = (a >= 3 && trim(t).empty()) ? 1 : textToInt(t);
            }
        }
    }
    readCells(f, sec);
    if (options.import) importIdentity();
    mapLoadedCells(options);
    if (State >= RowState::Running) {
        AllocRTV();
        Reload();
    }
}

void TRow::readCells(const IniSections& f, const std::string& sec) {
    int n = f.readInteger(sec, "Cells", 0);
    if (n > kMaxRowCells) {
        WriteDbg("Rows", "+++ row " + Name + ": Cells=" + num(n) + " - only " + num(kMaxRowCells) +
                             " cells loaded");
        n = kMaxRowCells;
    }
    if (n < 0) n = 0;
    WriteDbg("Rows", "... loading " + num(n) + " cells");
    const bool dev = co2DevicePresent();
    int slot = 0;
    for (int i = 1; i <= n; ++i) {
        const std::string v = f.readString(sec, "C" + std::to_string(i), "");
        const auto d = split(v, '|');
        std::string first = field(d, 0);
        const bool mapped = first.find("??") == std::string::npos;
        if (!mapped) first = first.size() > 2 ? first.substr(2) : std::string();
        const int cellNr = textToInt(first);
        if (!TCells::validCell(cellNr)) {
            WriteDbg("Rows",
                     "+++ row " + Name + ": C" + num(i) + " has no valid cell number - skipped");
            continue;
        }
        RowCell& c = RowCells[static_cast<size_t>(++slot)];
        c = RowCell{};
        c.bMapped = mapped;
        c.CellNr = cellNr;
        c.CellTact = Tact;
        c.Name = firstChars(field(d, 1), kMaxTextChars);
        c.Vol = textToReal(field(d, 2));
        c.StartTime = textToDateTime(field(d, 3));
        if (slot == 1 && !trim(field(d, 3)).empty() && c.StartTime != Start) {
            WriteDbg("Rows", "+++ different row/RowCells[1].Start: " + dtText(Start) + " / " +
                                 dtText(c.StartTime) + ": rowStart set to RowCells[1].Start +++");
            Start = c.StartTime;
        }
        c.StopTime = textToDateTime(field(d, 4));
        c.ChartSel1 = parseChartSel(field(d, 5), 1);
        const auto s = static_cast<CellState>(textToInt(field(d, 6)));
        c.Mode = textToIntDef(field(d, 7), 0);
        c.Index = textToReal(field(d, 8));
        c.PTC = textToReal(field(d, 9));
        c.BTH1 = textToReal(field(d, 10));
        c.TS = textToReal(field(d, 11));
        c.RowMode = present(d, 12) ? textToInt(field(d, 12)) : RowMode;
        const int start = present(d, 13) ? roundToInt(textToReal(field(d, 13)), -1) : -1;
        if (dev)
            c.cdm_LF_0 = start * 0.000001;
        else
            c.aiCO2_start = start;
        if (present(d, 14)) c.ChartSel2 = parseChartSel(field(d, 14), 2);
        c.CO2Factor = 1.0;
        if (present(d, 15)) {
            const double fct = textToReal(field(d, 15));
            if (!isNoValue(fct)) c.CO2Factor = fct;
        }
        c.State = (State == RowState::StoppedOld || State == RowState::Stopped)
                      ? CellState::cs_Stopped
                      : s;
    }
    for (int s = slot + 1; s <= kMaxRowCells; ++s) {
        RowCell& c = RowCells[static_cast<size_t>(s)];
        if (c.CellNr != 0) clearSlot(c);
    }
    NrCells = slot;
}

void TRow::mapLoadedCells(const ReadRowOptions& options) {
    if (isTemplate) return;
    TCells& cells = env().cells;
    for (int s = 1; s <= NrCells; ++s) {
        RowCell& c = RowCells[static_cast<size_t>(s)];
        const CellState st = c.State;
        if (!c.bMapped || !isUnderRowControl(st)) continue;
        const int owner = cells.cell(c.CellNr).RowNr;
        if (owner != 0 && owner != UniqueNr) {
            // Taking the cell would silently detach it from the row that has it.
            WriteDbg("Rows", "+++ row " + Name + ": cell " + num(DisplayNr(s)) +
                                 " belongs to row " + owner_.RowName(owner) + " - not mapped" +
                                 (options.import ? " (import)" : ""));
            c.bMapped = false;
            continue;
        }
        cells.MapCellToRow(c.CellNr, UniqueNr);
        cells.SetCellState(c.CellNr, st);
        cells.SetCellLabel(c.CellNr, c.Name, c.Vol, c.TS);
        cells.SetCellTimes(c.CellNr, c.StartTime, c.StopTime);
        cells.SetCellCount(c.CellNr, 0);
        const int aiStart = c.aiCO2_start, rowMode = c.RowMode;
        const double lf0 = c.cdm_LF_0;
        cells.update(c.CellNr, [&](TCell& m) {
            m.aiCO2_start = aiStart;
            m.cdm_LF_0 = lf0;
            m.RowMode = rowMode;
            m.WaitForZero = -1;
            m.LastCount = 0;
        });
    }
}

std::string TRow::normaliseDataDir(std::string dir) const {
    dir = trimmed(slashes(std::move(dir)));
    if (dir.empty()) return dir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    // A folder of a Windows installation ("C:/Kelvora/Data/123") names its row folder by
    // its last part; here the row folders live in the data root.
    const bool drive =
        dir.size() >= 2 && std::isalpha(static_cast<unsigned char>(dir[0])) && dir[1] == ':';
    if (drive) {
        const auto slash = dir.rfind('/');
        const std::string last = slash == std::string::npos ? dir.substr(2) : dir.substr(slash + 1);
        if (last.empty() || last == "." || last == "..") return {};
        return owner_.DataRoot() + "/" + last;
    }
    if (dir.front() != '/') return env().homeFolder + "/" + dir;
    return dir;
}

void TRow::confineDataDir() {
    if (DataDir.empty() || owner_.InsideDataRoot(DataDir)) return;
    // A row file edited by hand or copied from elsewhere must not make the row write (or,
    // on delete, remove) files outside the data root.
    const std::string given = DataDir;
    const std::string root = owner_.DataRoot();
    DataDir = root + "/" + num(UniqueNr);
    const std::string t =
        GetTextFmt("uRows", "RowDataDirOutside",
                   "Meas.series %s: data directory %s lies outside %s - %s is used instead.", Name,
                   given, root, DataDir);
    AddMsg(t, false);
    WriteDbg("Rows", t);
}

void TRow::importIdentity() {
    bool takenNr = false, takenDir = false;
    for (const auto& r : owner_.Snapshot()) {
        if (r.get() == this) continue;
        if (r->UniqueNr == UniqueNr) takenNr = true;
        if (!DataDir.empty() && r->DataDir == DataDir) takenDir = true;
    }
    const std::string root = owner_.DataRoot();
    auto hasData = [](const std::string& dir) {
        std::error_code ec;
        return fs::exists(dir + "/" + kDataFileName, ec);
    };
    auto nrTaken = [&](int nr) {
        for (const auto& r : owner_.Snapshot())
            if (r.get() != this && r->UniqueNr == nr) return true;
        return false;
    };
    const int oldNr = UniqueNr;
    const std::string oldDir = DataDir;
    if (takenNr || takenDir || UniqueNr <= 0) {
        UniqueNr = std::max(UniqueNr, 1);
        while (nrTaken(UniqueNr) || hasData(root + "/" + num(UniqueNr))) ++UniqueNr;
    }
    const bool keepDir = !takenNr && !takenDir && !DataDir.empty() &&
                         owner_.InsideDataRoot(DataDir) && !hasData(DataDir);
    if (!keepDir) {
        while (hasData(root + "/" + num(UniqueNr)) || nrTaken(UniqueNr)) ++UniqueNr;
        DataDir = root + "/" + num(UniqueNr);
    }
    if (UniqueNr != oldNr || DataDir != oldDir)
        WriteDbg("Rows", "Import of row " + Name + ": UniqueNr " + num(oldNr) + " -> " +
                             num(UniqueNr) + ", DataDir [" + oldDir + "] -> [" + DataDir + "]");
}

}  // namespace kv
