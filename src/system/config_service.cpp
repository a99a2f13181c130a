#include "system/config_service.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "app/debuglog.h"
#include "app/messages.h"
#include "app/password.h"
#include "app/texts.h"
#include "co2/winsio.h"
#include "common/escapes.h"
#include "common/numtext.h"
#include "common/strutil.h"

namespace kv {

namespace {

constexpr const char* kCat = "ConfigDlg";
// The longest the pause waits for a periodic tick to leave its work.
constexpr auto kTickWait = std::chrono::seconds(30);

const char* const kCO2Options[] = {"USB/AD", "CDM 210", "EC71"};
const char* const kUnits[] = {"min", "h", "d"};

std::string intText(int v) {
    return std::to_string(v);
}
// Reals as the dialog shows them: up to `decimals` decimals, trailing zeros stripped.
std::string realText(double v, int decimals) {
    return realToText(v, 0, -decimals);
}
std::string flag(bool on) {
    return on ? "1" : "0";
}

// A whole number, blanks around it allowed.
bool wholeNumber(std::string_view text, int& out) {
    const std::string t = trimmed(text);
    if (t.empty()) return false;
    size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
    if (i == t.size()) return false;
    for (size_t j = i; j < t.size(); ++j)
        if (t[j] < '0' || t[j] > '9') return false;
    if (t.size() > 10) return false;
    const long long v = std::stoll(t);
    if (v < -2147483647LL || v > 2147483647LL) return false;
    out = static_cast<int>(v);
    return true;
}
bool isNumber(std::string_view text) {
    const double v = textToReal(text);
    return !isNoValue(v) && std::isfinite(v);
}
bool isOn(const std::string& text) {
    return yesNoLetter(text) || text == "-1";
}

std::string get(const ConfigForm& f, const std::string& key) {
    const auto it = f.find(key);
    return it == f.end() ? std::string() : it->second;
}

int unitIndex(const std::string& text, int def) {
    for (int i = 0; i < 3; ++i)
        if (iequals(trimmed(text), kUnits[i])) return i;
    int v = 0;
    if (wholeNumber(text, v) && v >= 0 && v <= 2) return v;
    return def;
}

struct AxisNames {
    const char* min;
    const char* max;
    const char* step;
    const char* text;
};
constexpr AxisNames kCntAxis{"goCntYMin", "goCntYMax", "goCntYDelta", "goCnt_yText"};
constexpr AxisNames kO2Axis{"goO2YMin", "goO2YMax", "goO2YDelta", "goO2_yText"};
constexpr AxisNames kCO2Axis{"goCO2YMin", "goCO2YMax", "goCO2YDelta", "goCO2_yText"};

void putAxis(ConfigForm& f, const AxisNames& n, const ChartAxis& a) {
    f[n.min] = realText(a.min, 5);
    f[n.max] = realText(a.max, 5);
    f[n.step] = realText(a.step, 5);
    f[n.text] = a.text;
}
// A real whose text the operator left as the dialog showed it keeps its full value: the
// dialog shows some with fewer decimals than the settings hold.
double realOf(const ConfigForm& f, const ConfigForm& shown, const std::string& key, double now) {
    const std::string t = get(f, key);
    return t == get(shown, key) ? now : textToReal(t);
}

void takeAxis(const ConfigForm& f, const ConfigForm& shown, const AxisNames& n, ChartAxis& a) {
    a.min = realOf(f, shown, n.min, a.min);
    a.max = realOf(f, shown, n.max, a.max);
    a.step = realOf(f, shown, n.step, a.step);
    a.text = get(f, n.text);
}

std::string meterKey(int m, const char* tail) {
    return "EC71_" + std::to_string(m) + tail;
}
std::string portKey(int m) {
    return "ec71_" + std::to_string(m) + "_COMx";
}

// Integer fields: the close check refuses a text that is no whole number, so that nothing
// is copied back as a silent default.
const std::vector<std::string>& integerFields() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v = {
            "NrCases",        "FT_BaudRate",     "cdm_ReadDisplay_Retries",
            "cdm_mmTimerInt", "EC71_mmTimerInt", "EC71_maxReadData",
            "EC71_nCals",     "prtTopMargin",    "prtLeftMargin",
            "prtfValue",      "csvfValue",       "Row_Mode",
            "Row_Tact"};
        for (int m = 1; m <= kMaxEC71Meters; ++m) {
            v.push_back(meterKey(m, "_firstCell"));
            v.push_back(meterKey(m, "_lastCell"));
        }
        return v;
    }();
    return names;
}
const std::vector<std::string>& realFields() {
    static const std::vector<std::string> names = {"cdm_mux_Loop_Duration",
                                                   "cdm_mux_Sample_Delay",
                                                   "cdm_mux_Sample_ReadDisplay_Delay",
                                                   "cdm_mux_ReadDisplay_Read_Delay",
                                                   "cdm_mux_Read_Delay",
                                                   "EC71_setMUX_Start_Delay",
                                                   "EC71_mux_Sample_Delay",
                                                   "EC71_mux_Sample_Read_Delay",
                                                   "EC71_mux_Read_Delay",
                                                   "EC71_mux_Loop_Duration",
                                                   "LF2CO2_const1"};
    return names;
}

const char* const kDebugFields[] = {"bDebug",         "bDebug_USB",   "bDebug_Print",
                                    "bDebug_Display", "bDisplay_mA",  "bDebug_USB_Data",
                                    "bDebug_Rows",    "bDebug_Cells", "bDebug_FT",
                                    "bDebug_Sync",    "bDebug_RS232"};

bool isHexText(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    });
}

OpResult invalid(const std::string& what) {
    return OpResult::failed(GetText("*", "InvalidValue", "Invalid value entered !") + " (" + what +
                            ")");
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The form

const std::vector<std::string>& ConfigService::fieldNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v = {"NrCells",
                                      "NrCases",
                                      "FT_BaudRate",
                                      "CO2_Option",
                                      "cdm_COMx",
                                      "cdm_cmd_Init",
                                      "cdm_cmd_Close",
                                      "cdm_cmd_Sample",
                                      "cdm_cmd_ReadDisplay",
                                      "cdm_ReadDisplay_Retries",
                                      "cdm_mmTimerInt",
                                      "cdm_mux_Loop_Duration",
                                      "cdm_mux_Sample_Delay",
                                      "cdm_mux_Sample_ReadDisplay_Delay",
                                      "cdm_mux_ReadDisplay_Read_Delay",
                                      "cdm_mux_Read_Delay",
                                      "EC71_Present"};
        for (int m = 1; m <= kMaxEC71Meters; ++m) {
            v.push_back(portKey(m));
            v.push_back(meterKey(m, "_firstCell"));
            v.push_back(meterKey(m, "_lastCell"));
        }
        for (const char* n : {"EC71_mmTimerInt",
                              "EC71_setMUX_Start_Delay",
                              "EC71_mux_Sample_Delay",
                              "EC71_mux_Sample_Read_Delay",
                              "EC71_mux_Read_Delay",
                              "EC71_maxReadData",
                              "EC71_mux_Loop_Duration",
                              "EC71_nCals",
                              "EC71_CalibrationUnit",
                              "EC71_CalibrationValue1",
                              "EC71_CalibrationValue2",
                              "EC71_CalibrationValue3",
                              "LF2CO2_const1",
                              "QuitPwd",
                              "confirmQuitPwd",
                              "ConfigPwd",
                              "confirmConfigPwd",
                              "MasterPwd",
                              "confirmMasterPwd",
                              "DataRoot",
                              "ConfirmExit",
                              "csvColSep",
                              "csvStrDelim",
                              "DecimalComma",
                              "csvfValue",
                              "prtTopMargin",
                              "prtLeftMargin",
                              "prtfValue"})
            v.emplace_back(n);
        for (const AxisNames* a : {&kCntAxis, &kO2Axis, &kCO2Axis})
            for (const char* n : {a->min, a->max, a->step, a->text}) v.emplace_back(n);
        for (const char* n : kDebugFields) v.emplace_back(n);
        for (const char* n : {"Row_Mode", "Row_Duration", "Row_SIDuration", "Row_Interval",
                              "Row_SIInterval", "Row_Tact", "Row_ZeroNeeded", "Row_withCO2"})
            v.emplace_back(n);
        return v;
    }();
    return names;
}

ConfigForm ConfigService::formOf(const Config& c) {
    ConfigForm f;
    f["NrCells"] = intText(c.Cells);
    f["NrCases"] = intText(c.Cases);
    f["FT_BaudRate"] = intText(c.FT_Baudrate);
    f["CO2_Option"] = c.EC71_Present  ? kCO2Options[2]
                      : c.CDM_Present ? kCO2Options[1]
                                      : kCO2Options[0];
    f["cdm_COMx"] = formatSerialPort(c.CDM_Port);
    f["cdm_cmd_Init"] = c.CDM_Cmd_Init;
    f["cdm_cmd_Close"] = c.CDM_Cmd_Close;
    f["cdm_cmd_Sample"] = c.CDM_Cmd_Sample;
    f["cdm_cmd_ReadDisplay"] = c.CDM_Cmd_ReadDisplay;
    f["cdm_ReadDisplay_Retries"] = intText(c.CDM_ReadDisplay_Retries);
    f["cdm_mmTimerInt"] = intText(c.cdm_mmTimerInt);
    // The CDM timings with two decimals, the EC71 timings with up to five.
    f["cdm_mux_Loop_Duration"] = realToText(c.CDM_MUX_Loop_Duration, 0, 2);
    f["cdm_mux_Sample_Delay"] = realToText(c.CDM_MUX_Sample_Delay, 0, 2);
    f["cdm_mux_Sample_ReadDisplay_Delay"] = realToText(c.CDM_Sample_ReadDisplay_Delay, 0, 2);
    f["cdm_mux_ReadDisplay_Read_Delay"] = realToText(c.CDM_ReadDisplay_Read_Delay, 0, 2);
    f["cdm_mux_Read_Delay"] = realToText(c.CDM_Read_Delay, 0, 2);
    f["EC71_Present"] = flag(c.EC71_Present);
    for (int m = 1; m <= kMaxEC71Meters; ++m) {
        const EC71MeterSettings& s = c.ec71Meters[size_t(m - 1)];
        f[portKey(m)] = s.portSet ? formatSerialPort(s.port) : std::string();
        f[meterKey(m, "_firstCell")] = s.portSet ? intText(s.firstCell) : std::string();
        f[meterKey(m, "_lastCell")] = s.portSet ? intText(s.lastCell) : std::string();
    }
    f["EC71_mmTimerInt"] = intText(c.EC71_mmTimerInt);
    f["EC71_setMUX_Start_Delay"] = realText(c.EC71_setMUX_Start_Delay, 5);
    f["EC71_mux_Sample_Delay"] = realText(c.EC71_Sample_Delay, 5);
    f["EC71_mux_Sample_Read_Delay"] = realText(c.EC71_Sample_Read_Delay, 5);
    f["EC71_mux_Read_Delay"] = realText(c.EC71_Read_Delay, 5);
    f["EC71_maxReadData"] = intText(c.EC71_maxReadData);
    f["EC71_mux_Loop_Duration"] = realText(c.EC71_Loop_Duration, 5);
    f["EC71_nCals"] = intText(c.EC71_NrOfCalibrationPoints);
    f["EC71_CalibrationUnit"] = c.EC71_CalibrationUnit;
    for (int i = 0; i < 3; ++i)
        f["EC71_CalibrationValue" + std::to_string(i + 1)] =
            realText(c.EC71_CalibrationValues[size_t(i)], 5);
    f["LF2CO2_const1"] = realText(c.DefLF2CO2_const1, 5);
    f["QuitPwd"] = f["confirmQuitPwd"] = c.passwordQuit;
    f["ConfigPwd"] = f["confirmConfigPwd"] = c.passwordConfig;
    f["MasterPwd"] = f["confirmMasterPwd"] = c.passwordMaster;
    f["DataRoot"] = c.DataRoot;
    f["ConfirmExit"] = flag(c.ConfirmQuit);
    f["csvColSep"] = c.csvColSep;
    f["csvStrDelim"] = c.csvStrDelim;
    f["DecimalComma"] = flag(decimalCommaFlag());
    f["csvfValue"] = intText(c.csvfValue);
    f["prtTopMargin"] = intText(c.marginTop / 10);
    f["prtLeftMargin"] = intText(c.marginLeft / 10);
    f["prtfValue"] = intText(c.prtfValue);
    putAxis(f, kCntAxis, c.Cnt_Y);
    putAxis(f, kO2Axis, c.O2_Y);
    putAxis(f, kCO2Axis, c.CO2_Y);
    f["bDebug"] = flag(c.bDebug);
    f["bDebug_USB"] = flag(c.bDebug_USB);
    f["bDebug_Print"] = flag(c.bDebug_Print);
    f["bDebug_Display"] = flag(dbg().copyToMessages.load());
    f["bDisplay_mA"] = flag(c.bDisplay_mA);
    f["bDebug_USB_Data"] = flag(c.bDebug_USB_Data);
    f["bDebug_Rows"] = flag(c.bDebug_Rows);
    f["bDebug_Cells"] = flag(c.bDebug_Cells);
    f["bDebug_FT"] = flag(c.bDebug_FT);
    f["bDebug_Sync"] = flag(c.bDebug_Sync);
    f["bDebug_RS232"] = flag(c.bDebug_RS232);
    f["Row_Mode"] = intText(c.DefRowMode);
    f["Row_Duration"] = realText(c.DefRowDuration, 5);
    f["Row_SIDuration"] = kUnits[std::clamp(static_cast<int>(c.DefRowSIDuration), 0, 2)];
    f["Row_Interval"] = realText(c.DefRowInterval, 5);
    f["Row_SIInterval"] = kUnits[std::clamp(static_cast<int>(c.DefRowSIInterval), 0, 2)];
    f["Row_Tact"] = intText(c.DefRowTact);
    f["Row_ZeroNeeded"] = flag(c.DefRowZeroNeeded != 0);
    f["Row_withCO2"] = flag(c.DefRowWithCO2 != 0);
    return f;
}

CloseCheck ConfigService::check(const ConfigForm& f, bool withCO2) {
    const std::string invalidText = GetText("*", "InvalidValue", "Invalid value entered !");
    auto fail = [](std::string message, std::string field) {
        return CloseCheck{false, std::move(message), std::move(field)};
    };
    // 1. The number of cells: whole groups of six, at most 120.
    int cells = 0;
    if (!wholeNumber(get(f, "NrCells"), cells) || cells < 1 || cells > kMaxCells || cells % 6 != 0)
        return fail(invalidText, "NrCells");
    // 2. Every password as its confirmation. A password longer than the stored form holds
    // would be cut on saving and then never match what the operator types.
    struct Pwd {
        const char* field;
        const char* confirm;
        const char* key;
        const char* def;
    };
    for (const Pwd& p : {Pwd{"QuitPwd", "confirmQuitPwd", "QuitPwdConfirmation",
                             "Quit password is not confirmed !"},
                         Pwd{"ConfigPwd", "confirmConfigPwd", "ConfigPwdConfirmation",
                             "Config password is not confirmed !"},
                         Pwd{"MasterPwd", "confirmMasterPwd", "MasterPwdConfirmation",
                             "Master password is not confirmed !"}}) {
        if (get(f, p.field) != get(f, p.confirm))
            return fail(GetText("uConfigDlg", p.key, p.def), p.confirm);
        if (get(f, p.field).size() > kMaxPasswordLength) return fail(invalidText, p.field);
    }
    // 3. The data root, and the fields that must hold numbers.
    if (trimmed(get(f, "DataRoot")).empty()) return fail(invalidText, "DataRoot");
    std::vector<const char*> numbers = {kCntAxis.min, kCntAxis.max, kCntAxis.step,
                                        kO2Axis.min,  kO2Axis.max,  kO2Axis.step};
    if (withCO2) numbers.insert(numbers.end(), {kCO2Axis.min, kCO2Axis.max, kCO2Axis.step});
    numbers.insert(numbers.end(), {"Row_Duration", "Row_Interval"});
    int whole = 0;
    if (!wholeNumber(get(f, "csvfValue"), whole)) return fail(invalidText, "csvfValue");
    for (const char* n : numbers)
        if (!isNumber(get(f, n))) return fail(invalidText, n);
    for (const std::string& n : integerFields()) {
        const std::string t = get(f, n);
        // A meter's cell fields may stay empty together with its port.
        if (trimmed(t).empty() && n.rfind("EC71_", 0) == 0) continue;
        if (!wholeNumber(t, whole)) return fail(invalidText, n);
    }
    for (const std::string& n : realFields())
        if (!isNumber(get(f, n))) return fail(invalidText, n);
    for (int i = 1; i <= 3; ++i) {
        const std::string t = get(f, "EC71_CalibrationValue" + std::to_string(i));
        if (!trimmed(t).empty() && !isNumber(t))
            return fail(invalidText, "EC71_CalibrationValue" + std::to_string(i));
    }
    return {};
}

void ConfigService::applyForm(const ConfigForm& f, Config& c) {
    const ConfigForm shown = formOf(c);
    auto intOf = [&](const char* key, int def) { return textToIntDef(trimmed(get(f, key)), def); };
    auto on = [&](const char* key) { return isOn(get(f, key)); };
    c.Cells = intOf("NrCells", c.Cells);
    c.Cases = intOf("NrCases", c.Cases);
    c.FT_Baudrate = intOf("FT_BaudRate", c.FT_Baudrate);
    if (c.withCO2) {
        const std::string option = trimmed(get(f, "CO2_Option"));
        c.CDM_Present = iequals(option, kCO2Options[1]) || option == "1";
        c.EC71_Present = iequals(option, kCO2Options[2]) || option == "2";
    }
    parseSerialPort(get(f, "cdm_COMx"), c.CDM_Port);
    c.CDM_Cmd_Init = get(f, "cdm_cmd_Init");
    c.CDM_Cmd_Close = get(f, "cdm_cmd_Close");
    c.CDM_Cmd_Sample = get(f, "cdm_cmd_Sample");
    c.CDM_Cmd_ReadDisplay = get(f, "cdm_cmd_ReadDisplay");
    c.CDM_ReadDisplay_Retries = intOf("cdm_ReadDisplay_Retries", c.CDM_ReadDisplay_Retries);
    c.cdm_mmTimerInt = intOf("cdm_mmTimerInt", c.cdm_mmTimerInt);
    c.CDM_MUX_Loop_Duration = realOf(f, shown, "cdm_mux_Loop_Duration", c.CDM_MUX_Loop_Duration);
    c.CDM_MUX_Sample_Delay = realOf(f, shown, "cdm_mux_Sample_Delay", c.CDM_MUX_Sample_Delay);
    c.CDM_Sample_ReadDisplay_Delay =
        realOf(f, shown, "cdm_mux_Sample_ReadDisplay_Delay", c.CDM_Sample_ReadDisplay_Delay);
    c.CDM_ReadDisplay_Read_Delay =
        realOf(f, shown, "cdm_mux_ReadDisplay_Read_Delay", c.CDM_ReadDisplay_Read_Delay);
    c.CDM_Read_Delay = realOf(f, shown, "cdm_mux_Read_Delay", c.CDM_Read_Delay);

    c.EC71_Present = on("EC71_Present");
    c.EC71_NrDevices = 0;
    for (int m = 1; m <= kMaxEC71Meters; ++m) {
        EC71MeterSettings& s = c.ec71Meters[size_t(m - 1)];
        const std::string port = trimmed(get(f, portKey(m)));
        s.portSet = !port.empty();
        if (s.portSet) {
            parseSerialPort(port, s.port);
            // The number of the last port field that is filled, whatever lies before it.
            c.EC71_NrDevices = m;
        }
        // Empty cell fields keep the range the meter had.
        s.firstCell = textToIntDef(trimmed(get(f, meterKey(m, "_firstCell"))), s.firstCell);
        s.lastCell = textToIntDef(trimmed(get(f, meterKey(m, "_lastCell"))), s.lastCell);
    }
    for (int i = 0; i < 3; ++i)
        c.EC71_CalibrationValues[size_t(i)] =
            realOf(f, shown, "EC71_CalibrationValue" + std::to_string(i + 1),
                   c.EC71_CalibrationValues[size_t(i)]);
    c.EC71_mmTimerInt = intOf("EC71_mmTimerInt", c.EC71_mmTimerInt);
    c.EC71_setMUX_Start_Delay =
        realOf(f, shown, "EC71_setMUX_Start_Delay", c.EC71_setMUX_Start_Delay);
    c.EC71_Sample_Delay = realOf(f, shown, "EC71_mux_Sample_Delay", c.EC71_Sample_Delay);
    c.EC71_Sample_Read_Delay =
        realOf(f, shown, "EC71_mux_Sample_Read_Delay", c.EC71_Sample_Read_Delay);
    c.EC71_Read_Delay = realOf(f, shown, "EC71_mux_Read_Delay", c.EC71_Read_Delay);
    c.EC71_Loop_Duration = realOf(f, shown, "EC71_mux_Loop_Duration", c.EC71_Loop_Duration);
    c.EC71_maxReadData = intOf("EC71_maxReadData", c.EC71_maxReadData);
    c.EC71_NrOfCalibrationPoints = intOf("EC71_nCals", c.EC71_NrOfCalibrationPoints);
    c.EC71_CalibrationUnit = get(f, "EC71_CalibrationUnit");
    c.DefLF2CO2_const1 = realOf(f, shown, "LF2CO2_const1", c.DefLF2CO2_const1);

    c.passwordQuit = get(f, "QuitPwd");
    c.passwordConfig = get(f, "ConfigPwd");
    c.passwordMaster = get(f, "MasterPwd");
    c.DataRoot = trimmed(get(f, "DataRoot"));
    c.csvDecimalComma = on("DecimalComma");
    c.csvStrDelim = get(f, "csvStrDelim");
    c.csvColSep = get(f, "csvColSep");
    c.csvfValue = intOf("csvfValue", c.csvfValue);
    c.marginLeft = intOf("prtLeftMargin", c.marginLeft / 10) * 10;
    c.marginTop = intOf("prtTopMargin", c.marginTop / 10) * 10;
    c.prtfValue = intOf("prtfValue", c.prtfValue);
    c.ConfirmQuit = on("ConfirmExit");
    takeAxis(f, shown, kCntAxis, c.Cnt_Y);
    takeAxis(f, shown, kO2Axis, c.O2_Y);
    takeAxis(f, shown, kCO2Axis, c.CO2_Y);

    c.DefRowMode = intOf("Row_Mode", c.DefRowMode);
    c.DefRowDuration = realOf(f, shown, "Row_Duration", c.DefRowDuration);
    c.DefRowSIDuration = static_cast<TimeUnit>(
        unitIndex(get(f, "Row_SIDuration"), static_cast<int>(c.DefRowSIDuration)));
    c.DefRowInterval = realOf(f, shown, "Row_Interval", c.DefRowInterval);
    c.DefRowSIInterval = static_cast<TimeUnit>(
        unitIndex(get(f, "Row_SIInterval"), static_cast<int>(c.DefRowSIInterval)));
    c.DefRowTact = intOf("Row_Tact", c.DefRowTact);
    c.DefRowZeroNeeded = on("Row_ZeroNeeded") ? 1 : 0;
    c.DefRowWithCO2 = on("Row_withCO2") ? 1 : 0;

    c.bDebug = on("bDebug");
    c.bDebug_USB = on("bDebug_USB");
    c.bDebug_Print = on("bDebug_Print");
    c.bDisplay_mA = on("bDisplay_mA");
    c.bDebug_USB_Data = on("bDebug_USB_Data");
    c.bDebug_Rows = on("bDebug_Rows");
    c.bDebug_Cells = on("bDebug_Cells");
    c.bDebug_FT = on("bDebug_FT");
    c.bDebug_Sync = on("bDebug_Sync");
    c.bDebug_RS232 = on("bDebug_RS232");
}

// ---------------------------------------------------------------------------------------
// The session

ConfigService::ConfigService(TKelvora& kelvora, FrontEnd& ui) : k_(kelvora), ui_(ui) {}

ConfigService::~ConfigService() {
    if (open_) cancel();
}

ConfigForm ConfigService::form() const {
    return formOf(k_.cfg);
}

OpResult ConfigService::needOpen() const {
    if (open_) return OpResult::done();
    return OpResult::failed("the configuration is not open");
}

OpResult ConfigService::authorize() {
    if (!passwordPromptNeeded(k_.cfg.passwordConfig)) return OpResult::done();
    std::string entry;
    const std::string title =
        GetText("frmPasswd", "ConfigurationTitle", "Enter configuration password");
    if (!ui_.askPassword(title, entry) ||
        !checkPassword(entry, k_.cfg.passwordConfig, k_.cfg.passwordMaster))
        return OpResult::failed("configuration password refused");
    return OpResult::done();
}

OpResult ConfigService::open() {
    if (open_) return OpResult::failed("the configuration is open already");
    if (k_.startupInProgress.load() || k_.quitting.load())
        return OpResult::failed("Kelvora is starting or quitting");
    // One session at a time: a second one would resume the acquisition under the first.
    bool expected = false;
    if (!k_.configSessionOpen.compare_exchange_strong(expected, true))
        return OpResult::failed("the configuration is open in another window or command");
    if (const OpResult r = authorize(); !r.ok) {
        k_.configSessionOpen = false;
        return r;
    }
    WriteDbg(kCat, "open: acquisition paused");
    pause();
    open_ = true;
    masterOnOpen_ = k_.cfg.passwordMaster;
    confirmedMaster_.clear();
    return OpResult::done();
}

void ConfigService::waitForTicks() {
    const auto until = std::chrono::steady_clock::now() + kTickWait;
    // The ticks run on their own threads in real time; a tick that is under way finishes
    // its exchange before the dialog talks to the devices.
    while ((k_.callbacksBusy() || k_.deviceCheckInProgress.load()) &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (k_.callbacksBusy()) WriteDbg(kCat, "a periodic tick is still busy; going on");
    k_.ec71Cycle.waitIdle();
}

void ConfigService::pause() {
    k_.systemRunning = false;
    waitForTicks();
    k_.devices.sendInitToDataDevices(0);
    const TKLVDeviceList list = k_.devices.devices();
    for (size_t d = 0; d < list.size(); ++d) {
        if (!list[d].bPresent) continue;
        const int times = list[d].Type == DeviceType::CO2 ? 3 : 2;
        for (int i = 0; i < times; ++i) k_.devices.protocol().sendL(list[d].FTHandle);
    }
}

void ConfigService::resume() {
    const TKLVDeviceList list = k_.devices.devices();
    for (const TKLVDeviceListEntry& e : list)
        if (e.bPresent && e.Type == DeviceType::CO2) k_.devices.protocol().sendM(e.FTHandle);
    if (k_.cfg.EC71_Present) {
        for (TEC71* m : ec71MetersInUse(k_.cfg, k_.ec71Meters())) {
            const HCOM h = m ? m->hCOM.load() : 0;
            if (h <= 0) continue;
            const int rc = m->sendFrame(1, h);
            WriteDbg(kCat, m->deviceTag() + ": initialisation frame " + okText(rc == 0));
        }
    }
    k_.devices.sendInitToDataDevices(1);
    k_.systemRunning = true;
    k_.configSessionOpen = false;
    WriteDbg(kCat, "closed: acquisition running");
}

OpResult ConfigService::cancel() {
    if (!open_) return needOpen();
    if (k_.cfg.EC71_Present) k_.relays.allOff();
    resume();
    open_ = false;
    return OpResult::done();
}

bool ConfigService::masterChangeAllowed(const std::string& newText) {
    if (newText == masterOnOpen_ || masterOnOpen_.empty() || newText == confirmedMaster_)
        return true;
    std::string entry;
    if (!ui_.askPassword(GetText("frmPasswd", "MasterTitle", "Enter old master password"), entry))
        return false;
    if (!checkPassword(entry, masterOnOpen_, masterOnOpen_)) return false;
    confirmedMaster_ = newText;
    return true;
}

OpResult ConfigService::accept(const ConfigForm& form, bool askSave) {
    if (!open_) return needOpen();
    const CloseCheck c = check(form, k_.cfg.withCO2);
    if (!c.ok) {
        OpResult r = OpResult::failed(c.message);
        r.lines.push_back("field: " + c.field);
        return r;
    }
    if (get(form, "MasterPwd") != masterOnOpen_ && !masterChangeAllowed(get(form, "MasterPwd")))
        return OpResult::failed("the old master password was not given");

    Config next = k_.cfg;
    applyForm(form, next);
    const bool restartNeeded = next.Cells != k_.cfg.Cells || next.Cases != k_.cfg.Cases ||
                               next.FT_Baudrate != k_.cfg.FT_Baudrate;
    // The grid's mA limits, for every cell whose two texts are numbers.
    std::vector<std::pair<int, std::pair<int, int>>> limits;
    for (size_t i = 0; i < adGrid_.size(); ++i) {
        int lo = 0, up = 0;
        if (wholeNumber(adGrid_[i].lower, lo) && wholeNumber(adGrid_[i].upper, up))
            limits.push_back({static_cast<int>(i + 1), {lo, up}});
    }
    {
        // One step: a tick holds the settings from before or from after, never a mixture.
        const auto changing = k_.cfg.lock.changing();
        for (const auto& [cell, lu] : limits) {
            next.cell(cell).AD_Lower = lu.first;
            next.cell(cell).AD_Upper = lu.second;
        }
        k_.cfg = next;
        for (int m = 1; m <= kMaxEC71Meters; ++m) k_.ec71[size_t(m - 1)]->configure(k_.cfg, m);
        for (const auto& [cell, lu] : limits)
            k_.acq.cells.update(cell, [&](TCell& t) {
                t.AD_Lower = lu.first;
                t.AD_Upper = lu.second;
            });
        applyDebugSwitches(k_.cfg);
        dbg().copyToMessages = isOn(get(form, "bDebug_Display"));
        setDecimalCommaFlag(k_.cfg.csvDecimalComma);
    }
    WriteDbg(kCat, "settings copied back");
    OpResult r = OpResult::done();
    if (restartNeeded) r.lines.push_back("Please restart Kelvora after this change !");
    if (k_.cfg.EC71_Present) k_.relays.allOff();

    bool save = !askSave;
    if (askSave) {
        const std::string q = GetText("frmConfigDlg", "SaveChanges",
                                      "Save changes to configuration file ?\n\n"
                                      "It is recommended to make a backup of the "
                                      "configuration file before.");
        save = ui_.ask(q, false) == Answer::Yes;
    }
    if (save) {
        bool saved = false;
        {
            // The save resets the stored decimal-comma key in the settings it writes.
            const auto changing = k_.cfg.lock.changing();
            saved = saveConfigFull(k_.ini, k_.cfg);
        }
        saved = saved &&
                k_.ec71Calibration.save(k_.ini, k_.cfg.Cells, k_.cfg.EC71_NrOfCalibrationPoints);
        if (!saved) {
            resume();
            open_ = false;
            return OpResult::failed("the configuration file could not be written: " +
                                    k_.ini.lastError());
        }
        r.lines.push_back("configuration saved");
    }
    resume();
    open_ = false;
    return r;
}

// ---------------------------------------------------------------------------------------
// Hardware page

std::vector<TUSBDeviceListEntry> ConfigService::attachedDevices() const {
    std::vector<TUSBDeviceListEntry> out;
    const int n = k_.devices.nUSBDevices();
    for (int i = 1; i <= n; ++i) out.push_back(k_.devices.usbDevice(i));
    return out;
}

std::vector<DeviceGridRow> ConfigService::deviceGrid(int cells, int cases) const {
    std::vector<DeviceGridRow> rows;
    const TKLVDeviceList list = k_.devices.devices();
    const int firstCell = k_.cfg.firstCell, firstCase = k_.cfg.firstCase;
    auto byCell = [&](DeviceType type, int cell) {
        for (size_t d = 0; d < list.size(); ++d)
            if (list[d].Type == type && cell >= list[d].physCellNr_From &&
                cell <= list[d].physCellNr_To)
                return static_cast<int>(d + 1);
        return 0;
    };
    auto fill = [&](DeviceGridRow& r, int d, bool withMaster) {
        r.device = d;
        if (d == 0) {
            r.caseNr = r.serialNr = "n/a";
            r.master = r.present = "-";
            return;
        }
        const TKLVDeviceListEntry& e = list[size_t(d - 1)];
        r.caseNr = std::to_string(e.Case + firstCase - 1);
        r.serialNr = e.SerialNr;
        r.master = withMaster ? flag(e.Master) : "-";
        r.present = flag(e.bPresent);
    };
    for (int c = 1; c + 5 <= std::min(cells, kMaxCells); c += 6) {
        DeviceGridRow r;
        r.label = std::to_string(c + firstCell - 1) + "-" + std::to_string(c + 5 + firstCell - 1);
        fill(r, byCell(DeviceType::Data, c), true);
        rows.push_back(r);
    }
    for (int cs = 1; cs <= cases; ++cs) {
        DeviceGridRow r;
        r.label = "Case#" + std::to_string(cs + firstCase - 1);
        int d = 0;
        for (size_t i = 0; i < list.size() && d == 0; ++i)
            if (list[i].Type == DeviceType::Case && list[i].Case == cs) d = static_cast<int>(i + 1);
        fill(r, d, false);
        rows.push_back(r);
    }
    if (k_.cfg.withCO2) {
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].Type != DeviceType::CO2) continue;
            DeviceGridRow r;
            r.label = "CO2 " + std::to_string(list[i].logCellNr_From) + "-" +
                      std::to_string(list[i].logCellNr_To);
            fill(r, static_cast<int>(i + 1), false);
            rows.push_back(r);
        }
    }
    return rows;
}

OpResult ConfigService::refresh() {
    if (!open_) return needOpen();
    // The enumeration closes the handles it opened before and opens every interface again;
    // the configured devices then follow their serial numbers to the new handles. The
    // final commands of a shutdown (f0#, a#) are left out: f0# would empty the queues of
    // measurements that the devices still hold for the program.
    k_.devices.USB_Init(0);
    const TKLVDeviceList list = k_.devices.devices();
    const int n = k_.devices.nUSBDevices();
    for (const TKLVDeviceListEntry& e : list)
        for (int a = 1; a <= n; ++a)
            if (k_.devices.usbDevice(a).SerialNr == e.SerialNr) {
                k_.devices.USB_ReOpen(a, e.SerialNr);
                break;
            }
    return OpResult::done(std::to_string(std::max(n, 0)) + " interface(s) attached");
}

OpResult ConfigService::readDevice(int device, DeviceEdit& out) {
    if (!open_) return needOpen();
    if (device < 1 || device > k_.devices.nDevices())
        return OpResult::failed("no device " + std::to_string(device));
    const TKLVDeviceListEntry e = k_.devices.device(device);
    out = DeviceEdit{};
    out.device = device;
    out.type = e.Type;
    out.serialNr = e.SerialNr;
    out.caseNr = e.Case;
    out.master = e.Master;
    out.delayWrite = e.DelayInFT_Write;
    out.delayRead = e.DelayInFT_Read;
    if (e.Type == DeviceType::Data && e.bPresent) {
        std::lock_guard io(k_.acq.io.of(device));
        DeviceProtocol& p = k_.devices.protocol();
        const LinkHandle h = e.FTHandle;
        out.e = p.deviceSetting(h, "E");
        out.n = p.deviceSetting(h, "N");
        out.w = p.deviceSetting(h, "W");
        out.d = p.deviceSetting(h, "D");
        out.m = p.deviceSetting(h, "M");
        out.f1 = p.deviceSetting(h, "F1");
        out.f2 = p.deviceSetting(h, "F2");
        out.f3 = p.queueCount(h);
    }
    return OpResult::done();
}

OpResult ConfigService::writeDevice(const DeviceEdit& v) {
    if (!open_) return needOpen();
    if (v.device < 1 || v.device > k_.devices.nDevices())
        return OpResult::failed("no device " + std::to_string(v.device));
    if (!isHexText(v.serialNr))
        return OpResult::failed("The serial number may hold hexadecimal digits only (0-9, A-F).");
    const TKLVDeviceListEntry e = k_.devices.device(v.device);
    DeviceProtocol& p = k_.devices.protocol();
    if (e.Type == DeviceType::Data && e.bPresent) {
        struct Field {
            const std::string* text;
            const char* name;
        };
        int values[7] = {};
        const Field fields[7] = {{&v.e, "e"},   {&v.n, "n"},   {&v.w, "w"},  {&v.d, "d"},
                                 {&v.f1, "f1"}, {&v.f2, "f2"}, {&v.f3, "f3"}};
        for (int i = 0; i < 7; ++i)
            if (!wholeNumber(*fields[i].text, values[i])) return invalid(fields[i].name);
        {
            std::lock_guard io(k_.acq.io.of(v.device));
            const LinkHandle h = e.FTHandle;
            p.setDeviceSetting(h, 'e', values[0]);
            p.setDeviceSetting(h, 'n', values[1]);
            p.setDeviceSetting(h, 'w', values[2]);
            p.setDeviceSetting(h, 'd', values[3]);
            p.setQueueField(h, 1, values[4]);
            p.setQueueField(h, 2, values[5]);
            p.setQueueField(h, 3, values[6]);
            p.storeConfig(h);
            // The master setting, and the 1500 ms the device needs after it.
            p.sendMaster(h, v.master);
        }
        k_.devices.sendInitToDataDevices(0);
    }
    if (e.bPresent) {
        std::lock_guard io(k_.acq.io.of(v.device));
        p.storeConfig(e.FTHandle);
    }
    auto takeOver = [&v](auto& entry) {
        entry.Master = v.master;
        entry.Case = v.caseNr;
        entry.SerialNr = v.serialNr;
        entry.DelayInFT_Write = v.delayWrite;
        entry.DelayInFT_Read = v.delayRead;
    };
    k_.devices.update(v.device, [&](TKLVDeviceListEntry& entry) { takeOver(entry); });
    {
        // The next full save stores the device's new settings.
        const auto changing = k_.cfg.lock.changing();
        if (size_t(v.device) <= k_.cfg.devices.size())
            takeOver(k_.cfg.devices[size_t(v.device - 1)]);
    }
    WriteDbg(kCat, "device " + std::to_string(v.device) + " edited: SerialNr=" + v.serialNr);
    return OpResult::done();
}

OpResult ConfigService::terminal(int device, const std::string& text, std::string& answer) {
    if (!open_) return needOpen();
    if (device < 1 || device > k_.devices.nDevices())
        return OpResult::failed("no device " + std::to_string(device));
    const TKLVDeviceListEntry e = k_.devices.device(device);
    if (!e.bPresent)
        return OpResult::failed(k_.devices.fullName(device, false) + " is not present");
    std::lock_guard io(k_.acq.io.of(device));
    FTLink& link = k_.devices.link();
    link.FTReadAll(e.FTHandle);
    link.FTWriteChars(e.FTHandle, text);
    clock().sleepMs(50);
    answer = link.FTReadAll(e.FTHandle);
    return OpResult::done();
}

// ---------------------------------------------------------------------------------------
// Cells page

void ConfigService::loadAdGrid() {
    const int n = std::clamp(k_.cfg.Cells, 0, kMaxCells);
    adGrid_.assign(size_t(n), AdLimitRow{});
    for (int i = 1; i <= n; ++i) {
        const TCell c = k_.acq.cells.cell(i);
        adGrid_[size_t(i - 1)].lower = std::to_string(c.AD_Lower);
        adGrid_[size_t(i - 1)].upper = std::to_string(c.AD_Upper);
    }
    adGridLoaded_ = true;
}

std::vector<AdLimitRow>& ConfigService::adGrid() {
    if (!adGridLoaded_) loadAdGrid();
    return adGrid_;
}

int ConfigService::presentDataDeviceOf(int cell, int& k) const {
    const int d = k_.devices.dataDeviceByCell(cell, true);
    if (d == 0) return 0;
    const TKLVDeviceListEntry e = k_.devices.device(d);
    if (e.ErrorCode != 0) return 0;
    k = cell - e.physCellNr_From + 1;
    return d;
}

OpResult ConfigService::measureAd(int cell, AdColumn column) {
    if (!open_) return needOpen();
    std::vector<AdLimitRow>& grid = adGrid();
    if (cell < 1 || cell > static_cast<int>(grid.size()))
        return OpResult::failed("Cell " + std::to_string(cell) + " does not exist.");
    int k = 0;
    const int d = presentDataDeviceOf(cell, k);
    // A cell without a present device: nothing happens.
    if (d == 0) return OpResult::failed("no present data device serves the cell");
    std::string value;
    {
        std::lock_guard io(k_.acq.io.of(d));
        const LinkHandle h = k_.devices.handleOf(d);
        k_.devices.protocol().enableCurrentInput(h, k);
        value = k_.devices.protocol().currentInput(h, k);
    }
    if (value.empty()) return OpResult::failed("the device did not answer");
    AdLimitRow& row = grid[size_t(cell - 1)];
    (column == AdColumn::Actual  ? row.actual
     : column == AdColumn::Lower ? row.lower
                                 : row.upper) = value;
    return OpResult::done(value);
}

OpResult ConfigService::writeAdLimits() {
    if (!open_) return needOpen();
    std::vector<AdLimitRow>& grid = adGrid();
    int written = 0;
    for (int cell = 1; cell <= static_cast<int>(grid.size()); ++cell) {
        int lo = 0, up = 0;
        if (!wholeNumber(grid[size_t(cell - 1)].lower, lo) ||
            !wholeNumber(grid[size_t(cell - 1)].upper, up))
            continue;
        k_.acq.cells.update(cell, [&](TCell& t) {
            t.AD_Lower = lo;
            t.AD_Upper = up;
        });
        {
            const auto changing = k_.cfg.lock.changing();
            k_.cfg.cell(cell).AD_Lower = lo;
            k_.cfg.cell(cell).AD_Upper = up;
        }
        int k = 0;
        const int d = presentDataDeviceOf(cell, k);
        if (d == 0) continue;
        std::lock_guard io(k_.acq.io.of(d));
        k_.devices.protocol().setCurrentLimits(k_.devices.handleOf(d), k, lo, up);
        ++written;
    }
    return OpResult::done(std::to_string(written) + " cell(s) written to the devices");
}

OpResult ConfigService::saveTanks() {
    if (!k_.acq.tanks.write_O2TankData())
        return OpResult::failed("the O2 tank file could not be written");
    return OpResult::done(k_.acq.tanks.path() + " written");
}

// ---------------------------------------------------------------------------------------
// CO2 pages

OpResult ConfigService::cdmCommand(const std::string& command, std::string& output) {
    if (!open_) return needOpen();
    const HCOM h = k_.cdm.hWinSIO.load();
    if (h == kInvalidHCOM || !com_IsOpen(h)) return OpResult::failed("the CDM port is not open");
    com_Write(h, decodeEscapes(command));
    clock().sleepMs(1000);
    output = com_Read(h);
    return OpResult::done();
}

EC71CalibrationResult ConfigService::calibrate(int cell, CalibrationUi& ui) {
    if (!open_) {
        EC71CalibrationResult r;
        r.outcome = EC71CalibrationResult::Outcome::NoMeter;
        r.error = "the configuration is not open";
        return r;
    }
    // The cycle leaves the meter's port and the relays alone from here on.
    k_.ec71Cycle.waitIdle();
    return EC71_CalibrateCell(cell, k_.cfg, ec71MetersInUse(k_.cfg, k_.ec71Meters()), k_.relays,
                              k_.ec71Calibration, ui, &k_.ini);
}

// ---------------------------------------------------------------------------------------
// The console's calibration

std::string calibrationOutcomeText(const EC71CalibrationResult& r) {
    using O = EC71CalibrationResult::Outcome;
    std::string s;
    switch (r.outcome) {
        case O::Declined:
            s = "declined";
            break;
        case O::NoMeter:
            s = "no EC71 meter serves the cell";
            break;
        case O::Aborted:
            s = "aborted";
            break;
        case O::Cancelled:
            s = "cancelled";
            break;
        case O::Timeout:
            s = "no answer of the meter";
            break;
        case O::MeterError:
            s = "meter error";
            break;
        case O::Finished:
            s = r.stored ? "finished, calibration stored" : "finished";
            break;
    }
    if (r.rc != 0) s += " (" + std::to_string(-r.rc) + " frame(s) failed)";
    if (!r.error.empty()) s += ": " + r.error;
    return s;
}

class BackgroundCalibration::Ui : public CalibrationUi {
  public:
    explicit Ui(BackgroundCalibration& owner) : owner_(owner) {}
    bool ask(const std::string& question) override {
        setStatus(question);
        return true;
    }
    void status(const std::string& text, StatusColor) override { setStatus(text); }
    bool cancelled() override { return owner_.cancel_.load(); }
    void errorBox(const std::string& text) override {
        setStatus(text);
        AddMsg(text, true);
    }

  private:
    void setStatus(const std::string& text) {
        std::lock_guard lock(owner_.mutex_);
        owner_.status_ = text;
    }
    BackgroundCalibration& owner_;
};

BackgroundCalibration::~BackgroundCalibration() {
    cancel();
}

bool BackgroundCalibration::start(int cell, std::string& error) {
    if (running_.load()) {
        error = "a calibration is running";
        return false;
    }
    join();
    const OpResult opened = service_.open();
    if (!opened.ok) {
        error = opened.error;
        return false;
    }
    cancel_ = false;
    running_ = true;
    {
        std::lock_guard lock(mutex_);
        status_ = "starting";
        outcome_.clear();
    }
    thread_ = std::thread([this, cell] {
        Ui ui(*this);
        const EC71CalibrationResult r = service_.calibrate(cell, ui);
        service_.cancel();
        {
            std::lock_guard lock(mutex_);
            outcome_ = calibrationOutcomeText(r);
        }
        running_ = false;
    });
    return true;
}

void BackgroundCalibration::cancel() {
    cancel_ = true;
    join();
}

void BackgroundCalibration::join() {
    if (thread_.joinable()) thread_.join();
}

std::string BackgroundCalibration::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::string BackgroundCalibration::outcome() const {
    std::lock_guard lock(mutex_);
    return outcome_;
}

}  // namespace kv
