// A row's section of the row definitions file: the writer and the reader with its defaults
// and corrections, and the mapping of the loaded cells into the cell model.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <random>
#include <variant>

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

// ---------------------------------------------------------------------------------------
// The table of row keys: one entry per key of a row's section, in the order of the file.
// Each key has a form, which says how its value is written and read back, and a field; a
// key whose value packs several fields, or whose default comes from elsewhere, has its own
// reader or writer beside (or instead of) the form's.

// What a key's reader sees: the row's section and the configuration (some defaults).
struct KeyInput {
    const IniSections& file;
    const std::string& section;
    const Config& cfg;
    std::string text(std::string_view key, std::string_view def = "") const {
        return file.readString(section, key, def);
    }
};

struct SectionOut {
    std::string text;
    void line(std::string_view key, std::string_view value) {
        text += key;
        text += '=';
        text += value;
        text += "\r\n";
    }
};

enum class Form {
    Int,          // integer text, the no-value integer empty; a missing or bad value: def
    IntText,      // the same, read through the text-to-int conversion (def is a text)
    Number,       // the decimal number, the no-value integer as -32767; read as Int
    Flag,         // "1" / "0"; reads as on when the number is 1
    LowByteFlag,  // "1" / "0"; reads as on when the number's lowest byte is not 0
    Real,         // up to `decimals` decimals, always with "."
    DateTime,     // the program's date-time text
    Text,         // a text that reads back unchanged, cut to 80 characters when read
    Path,         // the same, not cut
    Custom,       // only its own reader and writer
};

using Field =
    std::variant<std::monostate, int TRow::*, bool TRow::*, double TRow::*, std::string TRow::*>;
using KeyReader = void (*)(TRow&, const KeyInput&);
using KeyWriter = void (*)(TRow&, std::string_view key, SectionOut&);

struct RowKey {
    std::string_view name;
    Form form;
    Field field{};
    std::string_view def{};
    int decimals = 0;
    KeyReader read = nullptr;   // instead of the form's reader
    KeyWriter write = nullptr;  // instead of the form's writer
};

template <class T>
T& at(TRow& r, const RowKey& k) {
    return r.*std::get<T TRow::*>(k.field);
}

void writeKey(TRow& r, const RowKey& k, SectionOut& out) {
    if (k.write) return k.write(r, k.name, out);
    switch (k.form) {
        case Form::Int:
        case Form::IntText:
            return out.line(k.name, intToText(at<int>(r, k)));
        case Form::Number:
            return out.line(k.name, std::to_string(at<int>(r, k)));
        case Form::Flag:
        case Form::LowByteFlag:
            return out.line(k.name, flag(at<bool>(r, k)));
        case Form::Real:
            return out.line(k.name, real(at<double>(r, k), k.decimals));
        case Form::DateTime:
            return out.line(k.name, dtText(at<double>(r, k)));
        case Form::Text:
        case Form::Path:
            return out.line(k.name, textValue(at<std::string>(r, k)));
        case Form::Custom:
            return;
    }
}

void readKey(TRow& r, const RowKey& k, const KeyInput& in) {
    if (k.read) return k.read(r, in);
    switch (k.form) {
        case Form::Int:
        case Form::Number:
            at<int>(r, k) = in.file.readInteger(in.section, k.name, textToIntDef(k.def, 0));
            return;
        case Form::IntText:
            at<int>(r, k) = textToInt(in.text(k.name, k.def));
            return;
        case Form::Flag:
            at<bool>(r, k) = textToInt(in.text(k.name, k.def)) == 1;
            return;
        case Form::LowByteFlag:
            // An empty value (the no-value integer) reads as on.
            at<bool>(r, k) = (textToInt(in.text(k.name, k.def)) & 0xFF) != 0;
            return;
        case Form::Real:
            at<double>(r, k) = textToReal(in.text(k.name));
            return;
        case Form::DateTime:
            at<double>(r, k) = textToDateTime(in.text(k.name));
            return;
        case Form::Text:
            at<std::string>(r, k) = firstChars(in.text(k.name), kMaxTextChars);
            return;
        case Form::Path:
            at<std::string>(r, k) = in.text(k.name);
            return;
        case Form::Custom:
            return;
    }
}

// --- the keys with readers or writers of their own ---------------------------------------

void readLF2CO2(TRow& r, const KeyInput& in) {
    r.LF2CO2 = textToReal(in.text("LF2CO2"));
    if (isNoValue(r.LF2CO2)) r.LF2CO2 = in.cfg.DefLF2CO2_const1;
}

// Without "realStart" the row began at its start; a start that differs from it is moved
// there (a series that was restarted keeps the moment it began).
void readRealStart(TRow& r, const KeyInput& in) {
    const std::string rs = in.text("realStart");
    r.realStart = rs.empty() ? r.Start : textToDateTime(rs);
    if (r.Start == r.realStart) return;
    WriteDbg("Rows", "+++ different row/realStart: " + dtText(r.Start) + " / " +
                         dtText(r.realStart) + ": rowStart set to realStart +++");
    r.Start = r.realStart;
}

void readSpecialCellMode(TRow& r, const KeyInput& in) {
    r.SpecialCellMode = textToInt(in.text("SpecialCellMode")) == 1 ? 1 : 0;
}

// "NrSpecialCells" and one "SC" + k per entry: the value, "|", then for each of the three
// elements its flag and its place in the five arrays, every number followed by ", ".
void writeSpecialCells(TRow& r, std::string_view key, SectionOut& out) {
    out.line(key, intToText(r.NrSpecialCells));
    const int n = std::clamp(r.NrSpecialCells, 0, kMaxSpecialCells);
    for (int k = 1; k <= n; ++k) {
        const SpecialCell& sc = r.SpecialCells[static_cast<size_t>(k)];
        std::string v = real(sc.value, -5) + "|";
        for (size_t j = 0; j < 3; ++j) {
            v += std::to_string(sc.flag[j]) + ", ";
            for (size_t a = 0; a < 5; ++a) v += std::to_string(sc.arr[a][j]) + ", ";
        }
        out.line("SC" + std::to_string(k), v);
    }
}

void readSpecialCells(TRow& r, const KeyInput& in) {
    int n = textToInt(in.text("NrSpecialCells", "0"));
    if (isNoValue(n) || n < 0) n = 0;
    r.NrSpecialCells = std::min(n, kMaxSpecialCells);
    WriteDbg("Rows", "... loading " + num(r.NrSpecialCells) + " special cells");
    for (int k = 1; k <= r.NrSpecialCells; ++k) {
        SpecialCell& sc = r.SpecialCells[static_cast<size_t>(k)];
        const std::string v = in.text("SC" + std::to_string(k));
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
                // Files from before the fourth and fifth arrays.
                sc.arr[a][j] = (a >= 3 && trim(t).empty()) ? 1 : textToInt(t);
            }
        }
    }
}

void writeState(TRow& r, std::string_view key, SectionOut& out) {
    out.line(key, std::to_string(toInt(r.State)));
}
void readState(TRow& r, const KeyInput& in) {
    r.State = static_cast<RowState>(textToInt(in.text("State")));
}

template <size_t K>
void writeComment(TRow& r, std::string_view key, SectionOut& out) {
    out.line(key, textValue(r.Comment[K]));
}
template <size_t K>
void readComment(TRow& r, const KeyInput& in) {
    r.Comment[K] = firstChars(in.text("Comment/" + std::to_string(K + 1)), kMaxTextChars);
}

void writePassWd(TRow& r, std::string_view key, SectionOut& out) {
    out.line(key, encodeRowPassword(r.PassWd));
}
void readPassWd(TRow& r, const KeyInput& in) {
    r.PassWd = decodePassword(in.file.readRaw(in.section, "PassWd", "")).substr(0, kMaxPassWdChars);
}

// Units, duration and interval: "SIDuration, SIInterval, Duration, Interval".
void writeDurations(TRow& r, std::string_view key, SectionOut& out) {
    out.line(key, std::to_string(toInt(r.SIDuration)) + ", " + std::to_string(toInt(r.SIInterval)) +
                      ", " + real(r.Duration, -5) + ", " + real(r.Interval, -5));
}
void readDurations(TRow& r, const KeyInput& in) {
    if (!in.file.hasKey(in.section, "eXtDurInt")) {
        r.SIDuration = r.SIInterval = static_cast<TimeUnit>(NoValueInt);
        r.Duration = r.Interval = NoValueReal;
        return;
    }
    const std::string v = in.text("eXtDurInt");
    const auto d = split(v, ',');
    r.SIDuration = static_cast<TimeUnit>(textToInt(field(d, 0)));
    r.SIInterval = static_cast<TimeUnit>(textToInt(field(d, 1)));
    r.Duration = textToReal(field(d, 2));
    r.Interval = textToReal(field(d, 3));
}

// The same in days: "DurDays, IntDays".
void writeDays(TRow& r, std::string_view key, SectionOut& out) {
    out.line(key, real(r.DurDays, -20) + ", " + real(r.IntDays, -20));
}
void readDays(TRow& r, const KeyInput& in) {
    const std::string v = in.text("intDurInt");
    const auto d = split(v, ',');
    r.DurDays = textToReal(field(d, 0));
    r.IntDays = textToReal(field(d, 1));
    // An older or damaged file without the day values: take them from the units.
    if (isNoValue(r.IntDays) || r.IntDays <= 0) r.GetIntervalDays();
    if (isNoValue(r.DurDays) || r.DurDays < 0) {
        const double fs = unitSeconds(r.SIDuration);
        r.DurDays = (fs > 0 && !isNoValue(r.Duration)) ? r.Duration * fs * kSecond : 0;
    }
}

// The chart's time axis: "from date, from time, to date, to time, step, unit".
void writeXValues(TRow& r, std::string_view key, SectionOut& out) {
    out.line(key, dateToText(r.XFromDate) + ", " + timeToText(r.XFromTime) + ", " +
                      dateToText(r.XToDate) + ", " + timeToText(r.XToTime) + ", " +
                      real(r.XStep, -5) + ", " + intToText(toInt(r.XUnit)));
}
void readXValues(TRow& r, const KeyInput& in) {
    const std::string v = in.text("X-Values");
    if (trim(v).empty()) {
        r.XFromDate = r.Start;
        r.XFromTime = 0;
        r.XToDate = r.Stop;
        r.XToTime = 0;
        r.XStep = 1.0;
        r.XUnit = TimeUnit::Days;
        return;
    }
    const auto d = split(v, ',');
    r.XFromDate = textToDate(field(d, 0));
    r.XFromTime = textToTime(field(d, 1));
    r.XToDate = textToDate(field(d, 2));
    r.XToTime = textToTime(field(d, 3));
    r.XStep = textToReal(field(d, 4));
    r.XUnit = static_cast<TimeUnit>(textToInt(field(d, 5)));
}

// The value axes: minimum, maximum and step of the count, O2 and CO2 axes.
void writeYValues(TRow& r, std::string_view key, SectionOut& out) {
    std::string y;
    for (size_t k = 0; k < r.YValues.size(); ++k) y += (k ? ", " : "") + real(r.YValues[k], -5);
    out.line(key, y);
}
void readYValues(TRow& r, const KeyInput& in) {
    const std::string v = in.text("Y-Values");
    if (trim(v).empty()) {
        const Config& c = in.cfg;
        r.YValues = {c.Cnt_Y.min, c.Cnt_Y.max, c.Cnt_Y.step, c.O2_Y.min,  c.O2_Y.max,
                     c.O2_Y.step, c.CO2_Y.min, c.CO2_Y.max,  c.CO2_Y.step};
        return;
    }
    const auto d = split(v, ',');
    for (size_t k = 0; k < r.YValues.size(); ++k) r.YValues[k] = textToReal(field(d, k));
}

void writeLegendPosition(TRow& r, std::string_view key, SectionOut& out) {
    out.line(key, intToText(r.LegendPosition[0]) + ", " + intToText(r.LegendPosition[1]));
}
void readLegendPosition(TRow& r, const KeyInput& in) {
    const std::string v = in.text("LegendPosition");
    const auto d = split(v, ',');
    r.LegendPosition = {0, 0};
    if (!trim(v).empty()) r.LegendPosition = {textToInt(field(d, 0)), textToInt(field(d, 1))};
}

// The three axis titles, separated by "|".
void writeYTexts(TRow& r, std::string_view key, SectionOut& out) {
    out.line(key, textValue(fieldValue(r.YTexts[0]) + "|" + fieldValue(r.YTexts[1]) + "|" +
                            fieldValue(r.YTexts[2])));
}
void readYTexts(TRow& r, const KeyInput& in) {
    const std::string v = in.text("Y-Texts");
    if (trim(v).empty() || v == "|") {
        r.YTexts = {in.cfg.Cnt_Y.text, in.cfg.O2_Y.text, in.cfg.CO2_Y.text};
        return;
    }
    const auto d = split(v, '|');
    for (size_t k = 0; k < 3; ++k) r.YTexts[k] = field(d, k);
}

// The lag-phase figures: a file without them (or with a figure that is no positive number)
// keeps the rule's defaults.
void readLagFigure(const KeyInput& in, std::string_view key, double& target) {
    const double v = textToReal(in.text(key));
    if (!isNoValue(v) && std::isfinite(v) && v > 0) target = v;
}
// Written only when they differ from the defaults, so that a file of a row that keeps them
// is written back as it was read.
void writeLagFigure(std::string_view key, double v, double def, SectionOut& out) {
    if (v != def) out.line(key, real(v, -5));
}
void writeLagRateHours(TRow& r, std::string_view key, SectionOut& out) {
    writeLagFigure(key, r.LagRateHours, 3, out);
}
void writeLagRatePercent(TRow& r, std::string_view key, SectionOut& out) {
    writeLagFigure(key, r.LagRatePercent, 25, out);
}
void writeLagLinearHours(TRow& r, std::string_view key, SectionOut& out) {
    writeLagFigure(key, r.LagLinearHours, 24, out);
}
void writeEvalWindow(TRow& r, std::string_view key, SectionOut& out) {
    if (!r.bEvalWindow) out.line(key, "0");
}
void readEvalWindow(TRow& r, const KeyInput& in) {
    r.bEvalWindow = textToInt(in.text("EvalWindow", "1")) != 0;
}
void readLagRateHours(TRow& r, const KeyInput& in) {
    readLagFigure(in, "LagRateHours", r.LagRateHours);
}
void readLagRatePercent(TRow& r, const KeyInput& in) {
    readLagFigure(in, "LagRatePercent", r.LagRatePercent);
}
void readLagLinearHours(TRow& r, const KeyInput& in) {
    readLagFigure(in, "LagLinearHours", r.LagLinearHours);
}

RowKey custom(std::string_view name, KeyReader read, KeyWriter write) {
    return {name, Form::Custom, {}, {}, 0, read, write};
}

// Every key of a row's section but "RowSection" (the section's own name) and the cells,
// which follow them.
const std::vector<RowKey>& rowKeys() {
    using R = TRow;
    using enum Form;
    static const std::vector<RowKey> keys = {
        {"UniqueNr", Number, &R::UniqueNr, "-1"},
        {"isTemplate", Flag, &R::isTemplate, "0"},
        {"Tact", Int, &R::Tact, "0"},
        {"LF2CO2", Real, &R::LF2CO2, {}, -7, readLF2CO2},
        {"AttritionDivider", Int, &R::AttritionDivider, "1"},
        // "?" (missing) is decided once AlarmCount is known, see correctLoadedKeys().
        {"bO2LeakageAlarm", Flag, &R::bO2LeakageAlarm, "?"},
        {"AlarmCount", Int, &R::AlarmCount, "95"},
        {"AlarmHours", Int, &R::AlarmHours, "1"},
        {"RowMode", Int, &R::RowMode, "0"},
        {"Created", DateTime, &R::Created},
        {"Start", DateTime, &R::Start},
        {"realStart", DateTime, &R::realStart, {}, 0, readRealStart},
        {"Stop", DateTime, &R::Stop},
        {"orgStop", DateTime, &R::orgStop},
        {"realStop", DateTime, &R::realStop},
        {"SpecialCellMode", Number, &R::SpecialCellMode, {}, 0, readSpecialCellMode},
        custom("NrSpecialCells", readSpecialCells, writeSpecialCells),
        custom("State", readState, writeState),
        {"bCountAfterAllCellsStarted", LowByteFlag, &R::bCountAfterAllCellsStarted, "0"},
        {"bAllCellsStarted", LowByteFlag, &R::bAllCellsStarted, "1"},
        {"Name", Text, &R::Name},
        {"SampleDate", Text, &R::SampleDate},
        {"SampleTemp", Text, &R::SampleTemp},
        {"SampleAnalytiker", Text, &R::SampleAnalytiker},
        custom("Comment/1", readComment<0>, writeComment<0>),
        custom("Comment/2", readComment<1>, writeComment<1>),
        custom("Comment/3", readComment<2>, writeComment<2>),
        custom("PassWd", readPassWd, writePassWd),
        custom("eXtDurInt", readDurations, writeDurations),
        custom("intDurInt", readDays, writeDays),
        {"ZeroNeeded", IntText, &R::ZeroNeeded, "1"},
        {"withCO2", LowByteFlag, &R::withCO2, "0"},
        {"ContinueCellControl", LowByteFlag, &R::ContinueCellControl, "0"},
        {"storeEC71_T", LowByteFlag, &R::storeEC71_T, "0"},
        {"CO2Mean", LowByteFlag, &R::CO2Mean, "0"},
        // Made a folder of this installation, see correctLoadedKeys().
        {"DataDir", Path, &R::DataDir},
        {"Saved", Flag, &R::Saved, ""},
        custom("X-Values", readXValues, writeXValues),
        custom("Y-Values", readYValues, writeYValues),
        custom("LegendPosition", readLegendPosition, writeLegendPosition),
        custom("Y-Texts", readYTexts, writeYTexts),
        // The evaluation's settings, added later: older files read as the defaults.
        custom("EvalWindow", readEvalWindow, writeEvalWindow),
        custom("LagRateHours", readLagRateHours, writeLagRateHours),
        custom("LagRatePercent", readLagRatePercent, writeLagRatePercent),
        custom("LagLinearHours", readLagLinearHours, writeLagLinearHours),
    };
    return keys;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Writer

std::string TRow::SectionText(const std::string& sec) {
    std::lock_guard lock(owner_.mutex());
    RowSection = sec;
    SectionOut out;
    out.text.reserve(4096 + static_cast<size_t>(NrCells) * 120);
    out.text += "[" + sec + "]\r\n";
    out.line("RowSection", sec);
    for (const RowKey& k : rowKeys()) writeKey(*this, k, out);
    out.text += cellLines();
    out.text += "\r\n\r\n";
    return std::move(out.text);
}

// "Cells" and one "C" + slot per cell, its fields separated by "|".
std::string TRow::cellLines() {
    const int n = std::clamp(NrCells, 0, kMaxRowCells);
    std::string o = "Cells=" + intToText(n) + "\r\n";
    const bool dev = co2DevicePresent();
    for (int s = 1; s <= n; ++s) {
        RowCell& c = RowCells[static_cast<size_t>(s)];
        // With a conductivity meter the start value is the starting conductivity in
        // millionths; without one the CO2 raw value.
        std::string startValue;
        if (dev) {
            if (c.cdm_LF_0 < 0) c.cdm_LF_0 = -1.0;
            startValue = intToText(roundToInt(c.cdm_LF_0 * 1000000.0, NoValueInt));
        } else {
            startValue = intToText(c.aiCO2_start);
        }
        o += "C" + std::to_string(s) + "=" + (c.bMapped ? "" : "??") + std::to_string(c.CellNr) +
             "|" + fieldValue(c.Name) + "|" + real(c.Vol, -3) + "|" + dtText(c.StartTime) + "|" +
             dtText(c.StopTime) + "|" + chartSelText(c.ChartSel1) + "|" +
             std::to_string(toInt(c.State)) + "|" + std::to_string(c.Mode) + "|" +
             real(c.Index, -3) + "|" + real(c.PTC, -3) + "|" + real(c.BTH1, -3) + "|" +
             real(c.TS, -3) + "|" + intToText(c.RowMode) + "|" + startValue + "|" +
             chartSelText(c.ChartSel2) + "|" + real(c.CO2Factor, -8) + "\r\n";
    }
    return o;
}

// ---------------------------------------------------------------------------------------
// Reader

void TRow::ReadRow(const IniSections& f, const std::string& sec, const ReadRowOptions& options) {
    std::lock_guard lock(owner_.mutex());
    RowSection = sec;
    WriteDbg("Rows",
             "Loading row in definition with UniqueNr=" + num(f.readInteger(sec, "UniqueNr", -1)));
    const KeyInput in{f, sec, env().cfg};
    for (const RowKey& k : rowKeys()) readKey(*this, k, in);
    WriteDbg("Rows", "... loaded name/UniqueNr=" + Name + "/" + num(UniqueNr));
    correctLoadedKeys(f, sec, options);
    readCells(f, sec);
    if (options.import) importIdentity();
    mapLoadedCells(options);
    if (State >= RowState::Running) {
        AllocRTV();
        Reload();
    }
}

// The corrections that need more than one key.
void TRow::correctLoadedKeys(const IniSections& f, const std::string& sec,
                             const ReadRowOptions& options) {
    // A file from before the switch: the alarm is on where a limit is set.
    if (f.readString(sec, "bO2LeakageAlarm", "?") == "?") bO2LeakageAlarm = AlarmCount > 0;
    DataDir = normaliseDataDir(DataDir);
    // An import chooses its own folder (importIdentity).
    if (!options.import) confineDataDir();
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
        readCellFields(d, c, dev);
        if (slot == 1 && !trim(field(d, 3)).empty() && c.StartTime != Start) {
            WriteDbg("Rows", "+++ different row/RowCells[1].Start: " + dtText(Start) + " / " +
                                 dtText(c.StartTime) + ": rowStart set to RowCells[1].Start +++");
            Start = c.StartTime;
        }
    }
    for (int s = slot + 1; s <= kMaxRowCells; ++s) {
        RowCell& c = RowCells[static_cast<size_t>(s)];
        if (c.CellNr != 0) clearSlot(c);
    }
    NrCells = slot;
}

// Fields 2 to 16 of a cell entry; a field missing from an older file keeps its default.
void TRow::readCellFields(const std::vector<std::string_view>& d, RowCell& c, bool co2Device) {
    c.CellTact = Tact;
    c.Name = firstChars(field(d, 1), kMaxTextChars);
    c.Vol = textToReal(field(d, 2));
    c.StartTime = textToDateTime(field(d, 3));
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
    if (co2Device)
        c.cdm_LF_0 = start * 0.000001;
    else
        c.aiCO2_start = start;
    if (present(d, 14)) c.ChartSel2 = parseChartSel(field(d, 14), 2);
    c.CO2Factor = 1.0;
    if (present(d, 15)) {
        const double fct = textToReal(field(d, 15));
        if (!isNoValue(fct)) c.CO2Factor = fct;
    }
    // A stopped row's cells are stopped, whatever the file says of them.
    c.State =
        (State == RowState::StoppedOld || State == RowState::Stopped) ? CellState::cs_Stopped : s;
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
