#include "app/config.h"

#include <algorithm>
#include <cstdlib>
#include <variant>

#include "app/debuglog.h"
#include "app/messages.h"
#include "app/password.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "common/strutil.h"

namespace kv {

// ---------------------------------------------------------------------------------------
// Value forms

int readIntValue(const IniFile& ini, std::string_view sec, std::string_view key, int def) {
    return ini.readInteger(sec, key, def);
}

bool readSwitchValue(const IniFile& ini, std::string_view sec, std::string_view key, bool def) {
    return ini.readInteger(sec, key, def ? 1 : 0) != 0;
}

bool yesNoLetter(std::string_view text) {
    if (text.empty()) return false;
    switch (text.front()) {
        case '1':
        case 'J':
        case 'Y':
        case 'j':
        case 'y':
            return true;
        default:
            return false;
    }
}

bool readYesNoValue(const IniFile& ini, std::string_view sec, std::string_view key,
                    std::string_view def) {
    return yesNoLetter(ini.readString(sec, key, def));
}

double readRealValue(const IniFile& ini, std::string_view sec, std::string_view key,
                     std::string_view def) {
    return textToReal(ini.readString(sec, key, def));
}

std::vector<std::string> readListValue(const IniFile& ini, std::string_view sec,
                                       std::string_view key, std::string_view def,
                                       size_t minFields) {
    std::vector<std::string> fields = splitList(ini.readString(sec, key, def));
    if (fields.size() < minFields) fields.resize(minFields);
    return fields;
}

std::string realToIniText(double value, int decimals) {
    return realToText(value, 0, -std::abs(decimals), false);
}

void writeSwitchValue(IniFile& ini, std::string_view sec, std::string_view key, bool on) {
    ini.writeString(sec, key, on ? "-1" : "0");
}

void writeOneZeroValue(IniFile& ini, std::string_view sec, std::string_view key, bool on) {
    ini.writeString(sec, key, on ? "1" : "0");
}

void writeIntValue(IniFile& ini, std::string_view sec, std::string_view key, int value) {
    ini.writeInteger(sec, key, value);
}

void writeRealValue(IniFile& ini, std::string_view sec, std::string_view key, double value,
                    int decimals) {
    ini.writeString(sec, key, realToIniText(value, decimals));
}

void writeListValue(IniFile& ini, std::string_view sec, std::string_view key,
                    const std::vector<std::string>& fields) {
    ini.writeString(sec, key, join(fields, ", "));
}

void writeTextValue(IniFile& ini, std::string_view sec, std::string_view key,
                    std::string_view value) {
    const bool blankEnds = trim(value).size() != value.size();
    const bool looksQuoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                             value.back() == value.front();
    if (blankEnds || looksQuoted)
        ini.writeString(sec, key, "\"" + std::string(value) + "\"");
    else
        ini.writeString(sec, key, value);
}

// ---------------------------------------------------------------------------------------
// Serial ports, cells, axes

bool parseSerialPort(std::string_view text, SerialPortSettings& out) {
    if (trim(text).empty()) return false;
    std::vector<std::string> f = splitList(text);
    f.resize(5);
    out.port = textToIntDef(f[0], out.port);
    out.baud = textToIntDef(f[1], out.baud);
    if (!f[2].empty()) {
        switch (f[2].front()) {
            case 'o':
            case 'O':
                out.parity = 1;
                break;
            case 'e':
            case 'E':
                out.parity = 2;
                break;
            default:
                out.parity = 0;
                break;
        }
    }
    out.dataBits = textToIntDef(f[3], out.dataBits);
    out.stopBits = textToIntDef(f[4], out.stopBits);
    return true;
}

std::string formatSerialPort(const SerialPortSettings& p) {
    static constexpr const char* kParity[] = {"n", "o", "e"};
    const char* parity = (p.parity >= 0 && p.parity <= 2) ? kParity[p.parity] : "n";
    return join({std::to_string(p.port), std::to_string(p.baud), parity, std::to_string(p.dataBits),
                 std::to_string(p.stopBits)},
                ", ");
}

namespace {

// Correction factors and conductivity limits need more precision than the texts of the
// dialog show.
constexpr int kCellRealDecimals = 8;

double realOr(std::string_view text, double def) {
    const double v = textToReal(text);
    return isNoValue(v) ? def : v;
}

}  // namespace

CellSettings parseCellSettings(std::string_view text, const CellSettings& defaults) {
    CellSettings c = defaults;
    std::vector<std::string> f = splitList(text);
    f.resize(std::max<size_t>(f.size(), 9));
    c.AD_Lower = textToIntDef(f[0], defaults.AD_Lower);
    c.AD_Upper = textToIntDef(f[1], defaults.AD_Upper);
    c.minADC = textToIntDef(f[2], defaults.minADC);
    c.minLF = realOr(f[3], defaults.minLF);
    c.maxADC = textToIntDef(f[4], defaults.maxADC);
    c.maxLF = realOr(f[5], defaults.maxLF);
    c.LFFactor = realOr(f[6], 1.0);
    c.LFOffset = realOr(f[7], 0.0);
    c.CellCount = textToInt(f[8]);
    return c;
}

std::string formatCellSettings(const CellSettings& c) {
    std::vector<std::string> f = {std::to_string(c.AD_Lower),
                                  std::to_string(c.AD_Upper),
                                  std::to_string(c.minADC),
                                  realToIniText(c.minLF, kCellRealDecimals),
                                  std::to_string(c.maxADC),
                                  realToIniText(c.maxLF, kCellRealDecimals),
                                  realToIniText(c.LFFactor, kCellRealDecimals),
                                  realToIniText(c.LFOffset, kCellRealDecimals)};
    if (!isNoValue(c.CellCount)) f.push_back(std::to_string(c.CellCount));
    return join(f, ", ");
}

namespace {

// ---------------------------------------------------------------------------------------
// The table of plain keys: one entry per key with its form, default and save rule.

enum class Form { Int, Unit, Switch, SwitchOneZero, YesNo, Real, IntAsReal, Text, Port };
enum SaveRule : unsigned { kNo = 0, kFull = 1, kState = 2, kBoth = kFull | kState };

using Field = std::variant<int Config::*, TimeUnit Config::*, bool Config::*, double Config::*,
                           std::string Config::*, SerialPortSettings Config::*>;

struct ScalarKey {
    std::string_view section;
    std::string_view key;
    Form form;
    Field field;
    std::string_view def;
    unsigned save;
    int decimals = 5;
};

ScalarKey intKey(std::string_view sec, std::string_view key, int Config::*f, std::string_view def,
                 unsigned save) {
    return {sec, key, Form::Int, f, def, save};
}
// A duration or interval unit, stored as its number.
ScalarKey unitKey(std::string_view sec, std::string_view key, TimeUnit Config::*f,
                  std::string_view def, unsigned save) {
    return {sec, key, Form::Unit, f, def, save};
}
ScalarKey switchKey(std::string_view sec, std::string_view key, bool Config::*f, unsigned save) {
    return {sec, key, Form::Switch, f, "0", save};
}
ScalarKey yesNoKey(std::string_view sec, std::string_view key, bool Config::*f,
                   std::string_view def, unsigned save) {
    return {sec, key, Form::YesNo, f, def, save};
}
ScalarKey realKey(std::string_view sec, std::string_view key, double Config::*f,
                  std::string_view def, unsigned save, int decimals = 5) {
    return {sec, key, Form::Real, f, def, save, decimals};
}
// Timings the file holds as whole seconds but the program keeps as reals.
ScalarKey intAsRealKey(std::string_view sec, std::string_view key, double Config::*f,
                       std::string_view def, unsigned save) {
    return {sec, key, Form::IntAsReal, f, def, save};
}
ScalarKey textKey(std::string_view sec, std::string_view key, std::string Config::*f,
                  std::string_view def, unsigned save) {
    return {sec, key, Form::Text, f, def, save};
}

const std::vector<ScalarKey>& scalarKeys() {
    constexpr std::string_view K = kSecKelvora;
    constexpr std::string_view G = kSecGeneral;
    constexpr std::string_view F = kSecFT232R;
    using C = Config;
    static const std::vector<ScalarKey> keys = {
        textKey(K, "DateTimeFormat", &C::DateTimeFormat, "GE", kNo),
        textKey(K, "LiveFN", &C::LiveFN, "", kNo),
        intKey(K, "FT_Baudrate", &C::FT_Baudrate, "115200", kFull),
        intKey(K, "default_maxUSBErrorCount", &C::default_maxUSBErrorCount, "1", kNo),
        {K, "withCO2", Form::SwitchOneZero, &C::withCO2, "0", kFull},
        switchKey(K, "withAttrition", &C::withAttrition, kNo),
        intKey(K, "RowAutoSave(mSec)", &C::RowAutoSave_mSec, "300000", kNo),
        intKey(K, "DefRowMode", &C::DefRowMode, "0", kFull),
        realKey(K, "DefRowDuration", &C::DefRowDuration, "1", kFull, 5),
        unitKey(K, "DefRowSIDuration", &C::DefRowSIDuration, "2", kFull),
        realKey(K, "DefRowInterval", &C::DefRowInterval, "1", kFull, 5),
        unitKey(K, "DefRowSIInterval", &C::DefRowSIInterval, "1", kFull),
        intKey(K, "DefRowTact", &C::DefRowTact, "3", kFull),
        intKey(K, "DefRowZeroNeeded", &C::DefRowZeroNeeded, "1", kFull),
        intKey(K, "DefRowWithCO2", &C::DefRowWithCO2, "1", kFull),
        switchKey(K, "DefCountAfterFullStart", &C::DefCountAfterFullStart, kNo),
        intKey(K, "max_CellWaitForZero_sec", &C::max_CellWaitForZero_sec, "0", kNo),
        textKey(K, "dev_VCmd", &C::dev_VCmd, "V1#", kNo),
        textKey(K, "dbg_fillCh", &C::dbg_fillCh, "\xC2\xB7", kNo),
        switchKey(K, "bDebug", &C::bDebug, kFull),
        switchKey(K, "bDebug_Sync", &C::bDebug_Sync, kFull),
        switchKey(K, "bDebug_Rows", &C::bDebug_Rows, kFull),
        switchKey(K, "bDebug_Cells", &C::bDebug_Cells, kFull),
        switchKey(K, "bDebug_FT", &C::bDebug_FT, kFull),
        switchKey(K, "bDebug_USB", &C::bDebug_USB, kFull),
        switchKey(K, "bDebug_USB_Data", &C::bDebug_USB_Data, kFull),
        switchKey(K, "bDebug_Print", &C::bDebug_Print, kFull),
        switchKey(K, "bDebug_RS232", &C::bDebug_RS232, kFull),
        switchKey(K, "bDebug_mmTimerInt", &C::bDebug_mmTimerInt, kNo),
        switchKey(K, "bDebug_AT4", &C::bDebug_AT4, kNo),
        switchKey(K, "bDisplay_mA", &C::bDisplay_mA, kFull),
        intKey(K, "syncDelayPerDevice(sec)", &C::syncDelayPerDevice_sec, "10", kNo),
        switchKey(K, "bSetCellActive", &C::bSetCellActive, kNo),
        intKey(K, "Cells", &C::Cells, "12", kFull),
        intKey(K, "firstCell", &C::firstCell, "1", kNo),
        intKey(K, "DefMaxO2Imp", &C::DefMaxO2Imp, "234000", kNo),
        realKey(K, "DefVolume", &C::DefVolume, "250", kFull, 2),
        realKey(K, "DefWeight", &C::DefWeight, "40", kFull, 2),
        intKey(K, "DefPrzO2Imp", &C::DefPrzO2Imp, "75", kNo),
        intKey(K, "LogTemp(min)", &C::LogTemp_min, "0", kNo),
        intKey(K, "displayTemp", &C::displayTemp, "1", kNo),
        intKey(K, "Manometer_maxClosedCount", &C::Manometer_maxClosedCount, "100", kFull),
        intKey(K, "ReadMissedTacts", &C::ReadMissedTacts, "1", kNo),
        realKey(K, "DefLF2CO2_const1", &C::DefLF2CO2_const1, "9.7216", kFull, 5),
        realKey(K, "DefLF2CO2_const2", &C::DefLF2CO2_const2, "0.1530", kFull, 5),
        realKey(K, "CO2_upIgnore", &C::CO2_upIgnore, "0.00001", kFull, 8),
        realKey(K, "CO2_minADC", &C::CO2_minADC, "20", kNo),
        realKey(K, "LF_upIgnore", &C::LF_upIgnore, "0.00001", kFull, 8),
        intKey(K, "Cases", &C::Cases, "1", kFull),
        intKey(K, "firstCase", &C::firstCase, "1", kNo),
        yesNoKey(K, "DecimalComma", &C::DecimalComma, "y", kNo),  // saved as "0", see below
        textKey(K, "DataRoot", &C::DataRoot, "", kFull),
        intKey(K, "mmTimerInt", &C::mmTimerInt, "2000", kFull),
        // Both timer periods were read twice under names that differ only in letter case
        // (a 3000 ms default first, then 500 ms); keys ignore case, so one read with the
        // later default gives the same result.
        intKey(K, "cdm_mmTimerInt", &C::cdm_mmTimerInt, "500", kFull),
        intKey(K, "EC71_mmTimerInt", &C::EC71_mmTimerInt, "500", kFull),
        intKey(K, "DelayBetweenStartCells", &C::DelayBetweenStartCells, "1000", kNo),
        intKey(K, "DelayBetweenStopCells", &C::DelayBetweenStopCells, "1000", kNo),
        intKey(K, "DelayBetweenFT_Write_Read", &C::DelayBetweenFT_Write_Read, "50", kNo),
        intKey(K, "delayDeviceCheck", &C::delayDeviceCheck, "100", kNo),
        yesNoKey(K, "CDM_Present", &C::CDM_Present, "n", kFull),
        {K, "CDM_Port", Form::Port, &C::CDM_Port, "1, 9600,n,8,1", kFull},
        textKey(K, "CDM_Cmd_Init", &C::CDM_Cmd_Init, "-", kFull),
        textKey(K, "CDM_Cmd_Close", &C::CDM_Cmd_Close, "-", kFull),
        textKey(K, "CDM_Cmd_Sample", &C::CDM_Cmd_Sample, "-", kFull),
        textKey(K, "CDM_Cmd_ReadDisplay", &C::CDM_Cmd_ReadDisplay, "-", kFull),
        intKey(K, "CDM_ReadDisplay_Retries", &C::CDM_ReadDisplay_Retries, "1", kFull),
        realKey(K, "CDM_MUX-Loop-Duration", &C::CDM_MUX_Loop_Duration, "900", kFull),
        realKey(K, "CDM_MUX-Sample-Delay", &C::CDM_MUX_Sample_Delay, "1", kFull),
        realKey(K, "CDM_Sample-ReadDisplay-Delay", &C::CDM_Sample_ReadDisplay_Delay, "5", kFull),
        realKey(K, "CDM_ReadDisplay-Read-Delay", &C::CDM_ReadDisplay_Read_Delay, "1", kFull),
        realKey(K, "CDM_Read-Delay", &C::CDM_Read_Delay, "2", kFull),
        intKey(K, "CDM_maxEmptyReads", &C::CDM_maxEmptyReads, "3", kFull),
        yesNoKey(K, "EC71_Present", &C::EC71_Present, "n", kFull),
        intKey(K, "EC71_COM_ReOpen(sec)", &C::EC71_COM_ReOpen_sec, "0", kNo),
        intKey(K, "EC71_maxOfflineCount", &C::EC71_maxOfflineCount, "10", kNo),
        intKey(K, "EC71_NrOfCalibrationPoints", &C::EC71_NrOfCalibrationPoints, "1", kFull),
        textKey(K, "EC71_CalibrationUnit", &C::EC71_CalibrationUnit, "mS/cm", kFull),
        intKey(K, "EC71_NrStartValues", &C::EC71_NrStartValues, "10", kNo),
        realKey(K, "EC71_LF0_PrzDiff", &C::EC71_LF0_PrzDiff, "5", kNo),
        realKey(K, "EC71_previousLF0_PrzDiff", &C::EC71_previousLF0_PrzDiff, "1", kNo),
        intAsRealKey(K, "EC71_Loop_Duration", &C::EC71_Loop_Duration, "900", kFull),
        intAsRealKey(K, "EC71_setMUX_Start_Delay", &C::EC71_setMUX_Start_Delay, "600", kFull),
        intAsRealKey(K, "EC71_Sample_Delay", &C::EC71_Sample_Delay, "2", kFull),
        intAsRealKey(K, "EC71_Sample_Read_Delay", &C::EC71_Sample_Read_Delay, "2", kFull),
        intAsRealKey(K, "EC71_Read_Delay", &C::EC71_Read_Delay, "2", kFull),
        intKey(K, "EC71_sendFrameLine_nMax", &C::EC71_sendFrameLine_nMax, "50000", kFull),
        intKey(K, "EC71_maxReadData", &C::EC71_maxReadData, "8", kFull),
        intKey(K, "EC71_maxRetryCell", &C::EC71_maxRetryCell, "4", kFull),
        realKey(K, "EC71_minLFValueAccepted", &C::EC71_minLFValueAccepted, "0.1", kFull),
        switchKey(K, "EC71_correctLFValues", &C::EC71_correctLFValues, kNo),
        realKey(K, "EC71_DeepDiveFactor", &C::EC71_DeepDiveFactor, "0", kNo),
        textKey(K, "EC71_DataReadyIndicator", &C::EC71_DataReadyIndicator, "va='estabilitat'",
                kFull),
        textKey(K, "EC71_LFData_Line", &C::EC71_LFData_Line, "no='mesura'", kFull),
        textKey(K, "EC71_LFData_val", &C::EC71_LFData_val, "va='", kFull),
        textKey(K, "EC71_LFData_SI", &C::EC71_LFData_SI, "un='", kFull),
        textKey(K, "EC71_TempData_Line", &C::EC71_TempData_Line, "no='temp'", kFull),
        textKey(K, "EC71_TempData_val", &C::EC71_TempData_val, "va='", kFull),
        textKey(K, "EC71_TempData_SI", &C::EC71_TempData_SI, "un='", kFull),
        intKey(K, "CO2_Default_minADC", &C::CO2_Default_minADC, "0", kNo),
        intKey(K, "CO2_Default_maxADC", &C::CO2_Default_maxADC, "1023", kNo),
        realKey(K, "CO2_Default_minLF", &C::CO2_Default_minLF, "0.0", kNo),
        realKey(K, "CO2_Default_maxLF", &C::CO2_Default_maxLF, "100.0", kNo),

        textKey(G, "Version", &C::generalVersion, "", kNo),
        textKey(G, "Title", &C::Title, "", kNo),
        textKey(G, "SubTitle", &C::SubTitle, "", kNo),
        switchKey(G, "ConfirmQuit", &C::ConfirmQuit, kFull),
        intKey(G, "AlarmFactor(min)", &C::AlarmFactor_min, "60", kNo),
        intKey(G, "SuppressCaseErrors(Sec)", &C::SuppressCaseErrors_Sec, "600", kNo),

        textKey(F, "DevConCmd", &C::DevConCmd, "", kNo),
        textKey(F, "USBBaseID", &C::USBBaseID, "", kNo),
        intKey(F, "DisEnableInterval(Sec)", &C::DisEnableInterval_Sec, "0", kNo),
        intKey(F, "ParallelDevices", &C::ParallelDevices, "1", kNo),
        // Saved to section Kelvora by the full save, see saveConfigFull.
        intKey(F, "DeviceCheckTimer(mSec)", &C::DeviceCheckTimer_mSec, "5000", kNo),

        intKey(kSecExcel, "Version", &C::excelVersion, "0", kNo),
        textKey(kSecExcel, "Template_AT4", &C::Template_AT4, "", kNo),
        textKey(kSecExcel, "Template_301f", &C::Template_301f, "", kNo),
        textKey(kSecExcel, "ResultPath", &C::ResultPath, "", kNo),

        textKey(kSecCO2DeviceSoftware, "Version", &C::co2DeviceSoftwareVersion, "V1.0.0", kNo),
    };
    return keys;
}

void readScalar(const IniFile& ini, const ScalarKey& k, Config& cfg) {
    switch (k.form) {
        case Form::Int:
            cfg.*std::get<int Config::*>(k.field) =
                readIntValue(ini, k.section, k.key, textToIntDef(k.def, 0));
            break;
        case Form::Unit:
            cfg.*std::get<TimeUnit Config::*>(k.field) =
                static_cast<TimeUnit>(readIntValue(ini, k.section, k.key, textToIntDef(k.def, 0)));
            break;
        case Form::Switch:
        case Form::SwitchOneZero:
            cfg.*std::get<bool Config::*>(k.field) =
                readSwitchValue(ini, k.section, k.key, textToIntDef(k.def, 0) != 0);
            break;
        case Form::YesNo:
            cfg.*std::get<bool Config::*>(k.field) = readYesNoValue(ini, k.section, k.key, k.def);
            break;
        case Form::Real:
            cfg.*std::get<double Config::*>(k.field) = readRealValue(ini, k.section, k.key, k.def);
            break;
        case Form::IntAsReal: {
            // A fractional value is kept rather than thrown away for the default.
            const double v = readRealValue(ini, k.section, k.key, k.def);
            cfg.*std::get<double Config::*>(k.field) = isNoValue(v) ? textToReal(k.def) : v;
            break;
        }
        case Form::Text:
            cfg.*std::get<std::string Config::*>(k.field) = ini.readString(k.section, k.key, k.def);
            break;
        case Form::Port: {
            SerialPortSettings& p = cfg.*std::get<SerialPortSettings Config::*>(k.field);
            p = SerialPortSettings{};
            parseSerialPort(k.def, p);
            parseSerialPort(ini.readString(k.section, k.key, k.def), p);
            break;
        }
    }
}

void writeScalar(IniFile& ini, const ScalarKey& k, const Config& cfg) {
    switch (k.form) {
        case Form::Int:
            writeIntValue(ini, k.section, k.key, cfg.*std::get<int Config::*>(k.field));
            break;
        case Form::Unit:
            writeIntValue(ini, k.section, k.key, toInt(cfg.*std::get<TimeUnit Config::*>(k.field)));
            break;
        case Form::Switch:
            writeSwitchValue(ini, k.section, k.key, cfg.*std::get<bool Config::*>(k.field));
            break;
        case Form::SwitchOneZero:
        case Form::YesNo:
            writeOneZeroValue(ini, k.section, k.key, cfg.*std::get<bool Config::*>(k.field));
            break;
        case Form::Real:
        case Form::IntAsReal:
            writeRealValue(ini, k.section, k.key, cfg.*std::get<double Config::*>(k.field),
                           k.decimals);
            break;
        case Form::Text:
            writeTextValue(ini, k.section, k.key, cfg.*std::get<std::string Config::*>(k.field));
            break;
        case Form::Port:
            ini.writeString(k.section, k.key,
                            formatSerialPort(cfg.*std::get<SerialPortSettings Config::*>(k.field)));
            break;
    }
}

void writeScalars(IniFile& ini, const Config& cfg, SaveRule rule) {
    for (const ScalarKey& k : scalarKeys())
        if (k.save & rule) writeScalar(ini, k, cfg);
}

// ---------------------------------------------------------------------------------------
// Keys with a shape of their own

void logConfigProblem(const std::string& text) {
    WriteDbg("Config", text, true);
    AddMsg(text, true);
}

int clampLogged(int value, int lo, int hi, std::string_view key) {
    const int c = std::clamp(value, lo, hi);
    if (c != value)
        WriteDbg("Config",
                 std::string(key) + "=" + std::to_string(value) + " out of range, using " +
                     std::to_string(c),
                 true);
    return c;
}

void loadValueWidth(const IniFile& ini, Config& cfg) {
    const auto f = readListValue(ini, kSecKelvora, "ValueWidth", "10,-2", 2);
    cfg.valueWidth = textToIntDef(f[0], 10);
    cfg.valueDecimals = textToIntDef(f[1], -2);
}

std::vector<std::string> rangeFields(int first, int last) {
    return {std::to_string(first), std::to_string(last)};
}

std::string meterKey(int n, std::string_view what) {
    return "EC71_" + std::to_string(n) + "_" + std::string(what);
}

void readCalibrationValues(const std::vector<std::string>& f, Config& cfg) {
    for (size_t i = 0; i < cfg.EC71_CalibrationValues.size(); ++i)
        cfg.EC71_CalibrationValues[i] = textToReal(i < f.size() ? f[i] : "");
}

void loadEC71Meters(const IniFile& ini, Config& cfg) {
    constexpr std::string_view K = kSecKelvora;
    cfg.ec71Meters = {};
    for (auto& m : cfg.ec71Meters) m.lastCell = cfg.Cells;
    cfg.EC71_NrDevices = readIntValue(ini, K, "EC71_NrDevices", -1);
    if (cfg.EC71_NrDevices == -1) {
        // Files of the single-meter era; the next full save writes the current keys.
        EC71MeterSettings& m = cfg.ec71Meters[0];
        m.portSet = parseSerialPort(ini.readString(K, "EC71_Port", "1,9600,n,8,1"), m.port);
        m.firstCell = 1;
        m.lastCell = cfg.Cells;
        readCalibrationValues({ini.readString(K, "EC71_CalibrationValue-1", "12.88"),
                               ini.readString(K, "EC71_CalibrationValue-2", "111.8"),
                               ini.readString(K, "EC71_CalibrationValue-3", "")},
                              cfg);
        cfg.EC71_NrDevices = 1;
        return;
    }
    cfg.EC71_NrDevices = clampLogged(cfg.EC71_NrDevices, 0, kMaxEC71Meters, "EC71_NrDevices");
    for (int n = 1; n <= kMaxEC71Meters; ++n) {
        EC71MeterSettings& m = cfg.ec71Meters[static_cast<size_t>(n - 1)];
        m.portSet = parseSerialPort(ini.readString(K, meterKey(n, "Port"), ""), m.port);
        const auto r =
            readListValue(ini, K, meterKey(n, "CellRange"), "1, " + std::to_string(cfg.Cells), 2);
        m.firstCell = textToIntDef(r[0], 1);
        m.lastCell = textToIntDef(r[1], cfg.Cells);
    }
    readCalibrationValues(readListValue(ini, K, "EC71_CalibrationValue-1-3", "12.88, 111.8, ", 3),
                          cfg);
}

void saveEC71Meters(IniFile& ini, const Config& cfg) {
    constexpr std::string_view K = kSecKelvora;
    writeIntValue(ini, K, "EC71_NrDevices", cfg.EC71_NrDevices);
    for (int n = 1; n <= kMaxEC71Meters; ++n) {
        const EC71MeterSettings& m = cfg.ec71Meters[static_cast<size_t>(n - 1)];
        ini.writeString(K, meterKey(n, "Port"), m.portSet ? formatSerialPort(m.port) : "");
        writeListValue(ini, K, meterKey(n, "CellRange"), rangeFields(m.firstCell, m.lastCell));
    }
    std::vector<std::string> cal;
    for (double v : cfg.EC71_CalibrationValues) cal.push_back(realToIniText(v, 5));
    writeListValue(ini, K, "EC71_CalibrationValue-1-3", cal);
}

// Axis texts after the third comma are taken whole, so a text may itself hold commas.
ChartAxis parseAxis(std::string_view text, std::string_view emptyText) {
    ChartAxis a;
    std::string_view rest = text;
    double* values[] = {&a.min, &a.max, &a.step};
    for (double* v : values) {
        const size_t comma = rest.find(',');
        *v = textToReal(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    }
    a.text = trimmed(rest);
    if (a.text.empty()) a.text = emptyText;
    return a;
}

std::string formatAxis(const ChartAxis& a) {
    return join(
        {realToIniText(a.min, 5), realToIniText(a.max, 5), realToIniText(a.step, 5), a.text}, ", ");
}

void loadGraphics(const IniFile& ini, Config& cfg) {
    constexpr std::string_view S = kSecGraphics;
    constexpr std::string_view kDefault = "0,250,25";
    cfg.Cnt_Y = parseAxis(ini.readString(S, "Cnt_Y", kDefault), "Impulse");
    cfg.O2_Y =
        parseAxis(ini.readString(S, "O2_Y", kDefault), GetText("uGraphicWdw", "yAxeText", "n/a"));
    cfg.CO2_Y =
        parseAxis(ini.readString(S, "CO2_Y", kDefault), GetText("uGraphicWdw", "y2AxeText", "n/a"));
}

std::string readPassword(const IniFile& ini, std::string_view key) {
    std::string password;
    if (!decodePassword(ini.readRaw(kSecPassWd, key, ""), password))
        logConfigProblem(GetTextFmt("uConfig", "PasswordDamaged",
                                    "Stored password %s is damaged and is ignored !", key));
    return password;
}

void loadPasswords(const IniFile& ini, Config& cfg) {
    cfg.passwordQuit = readPassword(ini, "Quit");
    cfg.passwordConfig = readPassword(ini, "Config");
    cfg.passwordMaster = readPassword(ini, "Master");
}

void savePasswords(IniFile& ini, const Config& cfg) {
    ini.writeString(kSecPassWd, "Quit", encodePassword(cfg.passwordQuit));
    ini.writeString(kSecPassWd, "Config", encodePassword(cfg.passwordConfig));
    ini.writeString(kSecPassWd, "Master", encodePassword(cfg.passwordMaster));
}

std::string deviceSection(size_t index) {
    return std::string(kSecUSBDevicePrefix) + std::to_string(index + 1);
}

UsbDeviceSettings loadDevice(const IniFile& ini, const std::string& s, const Config& cfg) {
    UsbDeviceSettings d;
    d.SerialNr = ini.readString(s, "SerialNr", "");
    d.Type = static_cast<DeviceType>(readIntValue(ini, s, "Type", 0));
    d.Case = readIntValue(ini, s, "Case", 0);
    d.Master = readIntValue(ini, s, "Master", 0) == 1;
    d.O2CorrectionFactor = readRealValue(ini, s, "O2-correctionFactor", "1");
    d.CO2CorrectionFactor = readRealValue(ini, s, "CO2-correctionFactor", "1");
    const auto cells = readListValue(ini, s, "physCells", "", 2);
    d.physCellNr_From = textToIntDef(cells[0], 0);
    d.physCellNr_To = textToIntDef(cells[1], 0);
    d.DelayInFT_Write = readIntValue(ini, s, "DelayInFT_Write", 5);
    d.DelayInFT_Read = readIntValue(ini, s, "DelayInFT_Read", 5);
    d.maxUSBErrorCount = readIntValue(ini, s, "maxUSBErrorCount", cfg.default_maxUSBErrorCount);
    d.lastTactNr = readIntValue(ini, s, "lastTactNr", 0);
    d.lastTactTime = textToDateTime(ini.readString(s, "lastTactTime", ""));
    d.lastTemp = readRealValue(ini, s, "lastTemp", "");
    return d;
}

void loadDevices(const IniFile& ini, Config& cfg) {
    const int n =
        clampLogged(readIntValue(ini, kSecUSB, "Devices", 0), 0, kMaxDevices, "[USB] Devices");
    cfg.devices.clear();
    for (size_t i = 0; i < static_cast<size_t>(n); ++i)
        cfg.devices.push_back(loadDevice(ini, deviceSection(i), cfg));
}

void saveDeviceTact(IniFile& ini, const std::string& s, const UsbDeviceSettings& d) {
    writeIntValue(ini, s, "lastTactNr", d.lastTactNr);
    ini.writeString(s, "lastTactTime", dateTimeToText(d.lastTactTime));
}

void saveDevicesFull(IniFile& ini, const Config& cfg) {
    const size_t n = std::min<size_t>(cfg.devices.size(), kMaxDevices);
    writeIntValue(ini, kSecUSB, "Devices", static_cast<int>(n));
    for (size_t i = 0; i < n; ++i) {
        const UsbDeviceSettings& d = cfg.devices[i];
        const std::string s = deviceSection(i);
        writeTextValue(ini, s, "SerialNr", d.SerialNr);
        writeIntValue(ini, s, "Type", toInt(d.Type));
        writeIntValue(ini, s, "Case", d.Case);
        if (d.Type == DeviceType::Data) {
            writeOneZeroValue(ini, s, "Master", d.Master);
            writeListValue(ini, s, "physCells", rangeFields(d.physCellNr_From, d.physCellNr_To));
        }
        writeIntValue(ini, s, "DelayInFT_Write", d.DelayInFT_Write);
        writeIntValue(ini, s, "DelayInFT_Read", d.DelayInFT_Read);
        if (d.Type == DeviceType::Data) saveDeviceTact(ini, s, d);
        if (d.Type == DeviceType::Case) writeRealValue(ini, s, "lastTemp", d.lastTemp, 2);
    }
}

void saveDevicesState(IniFile& ini, const Config& cfg) {
    const size_t n = std::min<size_t>(cfg.devices.size(), kMaxDevices);
    for (size_t i = 0; i < n; ++i)
        if (cfg.devices[i].Type == DeviceType::Data)
            saveDeviceTact(ini, deviceSection(i), cfg.devices[i]);
}

std::string cellKey(int n) {
    return "C" + std::to_string(n);
}

void loadCells(const IniFile& ini, Config& cfg) {
    CellSettings defaults;
    defaults.minADC = cfg.CO2_Default_minADC;
    defaults.maxADC = cfg.CO2_Default_maxADC;
    defaults.minLF = cfg.CO2_Default_minLF;
    defaults.maxLF = cfg.CO2_Default_maxLF;
    for (int n = 1; n <= kMaxCells; ++n)
        cfg.cell(n) = parseCellSettings(ini.readString(kSecKelvora, cellKey(n), ""), defaults);
}

void saveCells(IniFile& ini, const Config& cfg) {
    const int n = std::clamp(cfg.Cells, 0, kMaxCells);
    for (int i = 1; i <= n; ++i)
        ini.writeString(kSecKelvora, cellKey(i), formatCellSettings(cfg.cell(i)));
}

// Every real goes to the file with a decimal point, whatever the user's display choice.
class DecimalCommaOff {
  public:
    DecimalCommaOff() : saved_(decimalCommaFlag()) { setDecimalCommaFlag(false); }
    ~DecimalCommaOff() { setDecimalCommaFlag(saved_); }
    DecimalCommaOff(const DecimalCommaOff&) = delete;
    DecimalCommaOff& operator=(const DecimalCommaOff&) = delete;
    bool saved() const { return saved_; }

  private:
    bool saved_;
};

bool commitSave(IniFile& ini, IniFile::Batch& batch) {
    if (batch.commit()) return true;
    logConfigProblem(GetTextFmt("uConfig", "SaveFailed",
                                "Configuration file [%s] could not be written: %s", ini.path(),
                                ini.lastError()));
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------

void applyDebugSwitches(const Config& cfg) {
    DebugSwitches& d = dbg();
    d.general = cfg.bDebug;
    d.mmTimerInt = cfg.bDebug_mmTimerInt;
    d.sync = cfg.bDebug_Sync;
    d.rows = cfg.bDebug_Rows;
    d.cells = cfg.bDebug_Cells;
    d.ft = cfg.bDebug_FT;
    d.usb = cfg.bDebug_USB;
    d.usbData = cfg.bDebug_USB_Data;
    d.print = cfg.bDebug_Print;
    d.at4 = cfg.bDebug_AT4;
    d.rs232 = cfg.bDebug_RS232;
}

void loadConfig(const IniFile& ini, Config& cfg) {
    for (const ScalarKey& k : scalarKeys()) readScalar(ini, k, cfg);
    for (size_t i = 0; i < cfg.TraderInfo.size(); ++i)
        cfg.TraderInfo[i] = ini.readString(kSecGeneral, "TraderInfo" + std::to_string(i + 1), "");

    cfg.Cells = clampLogged(cfg.Cells, 1, kMaxCells, "Cells");
    cfg.EC71_NrStartValues = std::clamp(cfg.EC71_NrStartValues, 0, 10);
    if (cfg.dbg_fillCh.empty()) cfg.dbg_fillCh = "\xC2\xB7";
    loadValueWidth(ini, cfg);

    applyDebugSwitches(cfg);
    debugLog().setFillChar(cfg.dbg_fillCh);
    setDecimalCommaFlag(cfg.DecimalComma);
    cfg.csvDecimalComma = cfg.DecimalComma;

    loadEC71Meters(ini, cfg);
    WriteDbg("DeepDiveFactor", "EC71_DeepDiveFactor=" + realToIniText(cfg.EC71_DeepDiveFactor, 5),
             true);
    cfg.disEnableTimeMark = clock().now() + cfg.DisEnableInterval_Sec * kSecond;

    loadGraphics(ini, cfg);
    loadPasswords(ini, cfg);
    loadDevices(ini, cfg);
    loadCells(ini, cfg);
}

void loadExportOptions(const IniFile& ini, Config& cfg) {
    constexpr std::string_view E = kSecExportOptions;
    cfg.csvDecimalComma = readYesNoValue(ini, E, "csvDecimalComma", "1");
    setDecimalCommaFlag(cfg.csvDecimalComma);
    cfg.csvStrDelim = ini.readString(E, "csvStrDelim", "");
    cfg.csvColSep = ini.readString(E, "csvColSep", " ");
    cfg.csvfValue = readIntValue(ini, E, "csvfValue", 1);

    constexpr std::string_view P = kSecPrinter;
    cfg.prtfValue = readIntValue(ini, P, "prtfValue", 0);
    cfg.marginTop = readIntValue(ini, P, "top", 20) * 10;
    cfg.marginLeft = readIntValue(ini, P, "left", 20) * 10;
    cfg.marginRight = readIntValue(ini, P, "right", 20) * 10;
    cfg.marginBottom = readIntValue(ini, P, "bottom", 20) * 10;
}

bool saveConfigFull(IniFile& ini, Config& cfg) {
    DecimalCommaOff commaOff;
    IniFile::Batch batch(ini);
    constexpr std::string_view K = kSecKelvora;

    writeScalars(ini, cfg, kFull);
    writeListValue(ini, K, "ValueWidth",
                   {std::to_string(cfg.valueWidth), std::to_string(cfg.valueDecimals)});
    // The decimal comma lives on in csvDecimalComma, which the row file load applies last.
    cfg.DecimalComma = false;
    cfg.csvDecimalComma = commaOff.saved();
    writeOneZeroValue(ini, K, "DecimalComma", false);
    writeIntValue(ini, K, "DeviceCheckTimer(mSec)", cfg.DeviceCheckTimer_mSec);
    saveEC71Meters(ini, cfg);
    saveCells(ini, cfg);

    ini.writeString(kSecGraphics, "Cnt_Y", formatAxis(cfg.Cnt_Y));
    ini.writeString(kSecGraphics, "O2_Y", formatAxis(cfg.O2_Y));
    ini.writeString(kSecGraphics, "CO2_Y", formatAxis(cfg.CO2_Y));

    constexpr std::string_view E = kSecExportOptions;
    writeOneZeroValue(ini, E, "csvDecimalComma", cfg.csvDecimalComma);
    writeTextValue(ini, E, "csvStrDelim", cfg.csvStrDelim);
    writeTextValue(ini, E, "csvColSep", cfg.csvColSep);
    writeIntValue(ini, E, "csvfValue", cfg.csvfValue);

    writeIntValue(ini, kSecPrinter, "prtfValue", cfg.prtfValue);
    writeIntValue(ini, kSecPrinter, "top", cfg.marginTop / 10);
    writeIntValue(ini, kSecPrinter, "left", cfg.marginLeft / 10);

    savePasswords(ini, cfg);
    saveDevicesFull(ini, cfg);
    return commitSave(ini, batch);
}

bool saveConfigState(IniFile& ini, Config& cfg) {
    DecimalCommaOff commaOff;
    IniFile::Batch batch(ini);
    writeScalars(ini, cfg, kState);
    saveDevicesState(ini, cfg);
    ini.writeString(kSecGraphics, "Cnt_Y", formatAxis(cfg.Cnt_Y));
    ini.writeString(kSecGraphics, "O2_Y", formatAxis(cfg.O2_Y));
    saveCells(ini, cfg);
    return commitSave(ini, batch);
}

}  // namespace kv
