#pragma once
// The configuration: every setting of the ini file beside the program, read once at
// start-up (loadConfig), the export and printer settings read with the row file
// (loadExportOptions), and the two write-backs: the full save of the configuration dialog
// and the state save at every quit.
//
// Field names are the keys' own names where those are valid identifiers; a key with
// brackets or hyphens keeps its words ("RowAutoSave(mSec)" -> RowAutoSave_mSec).

#include <array>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/inifile.h"
#include "common/clock.h"
#include "common/domain.h"
#include "common/numtext.h"

namespace kv {

inline constexpr int kMaxEC71Meters = 3;

inline constexpr std::string_view kSecKelvora = "Kelvora";
inline constexpr std::string_view kSecGeneral = "General";
inline constexpr std::string_view kSecFT232R = "FT232R";
inline constexpr std::string_view kSecExcel = "Excel";
inline constexpr std::string_view kSecCO2DeviceSoftware = "CO2-DeviceSoftware";
inline constexpr std::string_view kSecGraphics = "Graphics";
inline constexpr std::string_view kSecExportOptions = "ExportOptions";
inline constexpr std::string_view kSecPrinter = "Printer";
inline constexpr std::string_view kSecPassWd = "PassWd";
inline constexpr std::string_view kSecUSB = "USB";
// Device sections are this prefix followed by the device number (1-based).
inline constexpr std::string_view kSecUSBDevicePrefix = "USBDevice-";

// ---------------------------------------------------------------------------------------
// Value forms of the file. The readers apply the defaults; the writers produce the texts
// the file expects (reals always with a decimal point).

// Whole number; missing or non-numeric gives def.
int readIntValue(const IniFile& ini, std::string_view sec, std::string_view key, int def);
// Integer switch, non-zero = on.
bool readSwitchValue(const IniFile& ini, std::string_view sec, std::string_view key, bool def);
// On if the first character is one of 1, J, Y, j, y.
bool yesNoLetter(std::string_view text);
bool readYesNoValue(const IniFile& ini, std::string_view sec, std::string_view key,
                    std::string_view def);
// Text to real of the value, or of def when missing; unreadable gives NoValueReal.
double readRealValue(const IniFile& ini, std::string_view sec, std::string_view key,
                     std::string_view def);
// Comma-separated fields, trimmed, padded with empty fields up to minFields.
std::vector<std::string> readListValue(const IniFile& ini, std::string_view sec,
                                       std::string_view key, std::string_view def,
                                       size_t minFields);

// "-1" / "0".
void writeSwitchValue(IniFile& ini, std::string_view sec, std::string_view key, bool on);
// "1" / "0" (yes/no letters and withCO2).
void writeOneZeroValue(IniFile& ini, std::string_view sec, std::string_view key, bool on);
void writeIntValue(IniFile& ini, std::string_view sec, std::string_view key, int value);
// Up to |decimals| decimals, trailing zeros and point stripped; no value gives "".
void writeRealValue(IniFile& ini, std::string_view sec, std::string_view key, double value,
                    int decimals);
void writeListValue(IniFile& ini, std::string_view sec, std::string_view key,
                    const std::vector<std::string>& fields);
// A text whose ends are blanks, or that is itself quoted, is written in double quotes so
// that it reads back unchanged (the file's reader trims and unquotes values).
void writeTextValue(IniFile& ini, std::string_view sec, std::string_view key,
                    std::string_view value);
std::string realToIniText(double value, int decimals);

// ---------------------------------------------------------------------------------------

struct SerialPortSettings {
    int port = 1;
    int baud = 9600;
    int parity = 0;  // 0 none, 1 odd, 2 even
    int dataBits = 8;
    int stopBits = 1;
    bool operator==(const SerialPortSettings&) const = default;
};
// "2, 19200, E, 7, 2": port, baud, parity letter (n/o/e, any case; another letter gives
// none), data bits, stop bits. Fields that are missing or not numbers keep the values out
// holds. An empty text returns false and leaves out unchanged.
bool parseSerialPort(std::string_view text, SerialPortSettings& out);
// "2, 19200, e, 7, 2".
std::string formatSerialPort(const SerialPortSettings& p);

// One "USBDevice-" + n section: a measuring device and the cells it serves.
struct UsbDeviceSettings {
    std::string SerialNr;
    DeviceType Type = DeviceType::None;
    int Case = 0;
    bool Master = false;               // on only when the key is exactly 1
    double O2CorrectionFactor = 1.0;   // "O2-correctionFactor"
    double CO2CorrectionFactor = 1.0;  // "CO2-correctionFactor"
    int physCellNr_From = 0;           // "physCells", first cell; 0 when not set
    int physCellNr_To = 0;             // "physCells", last cell
    int DelayInFT_Write = 5;           // ms
    int DelayInFT_Read = 5;            // ms
    int maxUSBErrorCount = 1;
    // Updated by the device layer while running; written back by the saves.
    int lastTactNr = 0;
    TDateTime lastTactTime = 0;
    double lastTemp = NoValueReal;
    bool operator==(const UsbDeviceSettings&) const = default;
};

// Key "C" + n: manometer current limits and CO2 calibration of cell n, in the order
//   AD_Lower, AD_Upper, minADC, minLF, maxADC, maxLF, LFFactor, LFOffset, CellCount
// where everything after AD_Upper is optional.
struct CellSettings {
    int AD_Lower = 0;
    int AD_Upper = 1023;
    int minADC = 0;
    double minLF = 0.0;
    int maxADC = 1023;
    double maxLF = 100.0;
    double LFFactor = 1.0;
    double LFOffset = 0.0;
    int CellCount = NoValueInt;  // only carried through when the key holds it
    bool operator==(const CellSettings&) const = default;
};
// Parses a "C" + n value; calibration fields that are absent take the given defaults
// (the CO2_Default_* keys), the correction fields 1.0 and 0.0.
CellSettings parseCellSettings(std::string_view text, const CellSettings& defaults);
std::string formatCellSettings(const CellSettings& c);

// One chart axis of section Graphics: "min, max, step, text".
struct ChartAxis {
    double min = 0;
    double max = 250;
    double step = 25;
    std::string text;
    bool operator==(const ChartAxis&) const = default;
};

// One EC71 conductivity meter.
struct EC71MeterSettings {
    bool portSet = false;  // "EC71_" + n + "_Port" is not empty
    SerialPortSettings port;
    int firstCell = 1;  // "EC71_" + n + "_CellRange"
    int lastCell = 12;
    bool operator==(const EC71MeterSettings&) const = default;
};

// The settings change while the periodic ticks run: the configuration dialog copies its
// fields back while the acquisition, the device check, the CO2 cycles and the row auto-save
// have their timers going. Each tick holds the lock shared for its whole run and a change
// of the settings holds it exclusively, so a tick works with the settings from before a
// change or with those from after it, never with half of each. A copy of the configuration
// has a lock of its own; comparisons ignore it.
class ConfigLock {
  public:
    ConfigLock() = default;
    ConfigLock(const ConfigLock&) {}
    ConfigLock& operator=(const ConfigLock&) { return *this; }
    bool operator==(const ConfigLock&) const { return true; }

    // A tick's view. Never taken twice on one thread: a change waiting between the two
    // would block both.
    std::shared_lock<std::shared_mutex> reading() const {
        return std::shared_lock<std::shared_mutex>(mutex_);
    }
    std::unique_lock<std::shared_mutex> changing() const {
        return std::unique_lock<std::shared_mutex>(mutex_);
    }

  private:
    mutable std::shared_mutex mutex_;
};

struct Config {
    // Held by the periodic ticks (shared) and by the copy-back of changed settings.
    ConfigLock lock;

    // --- section Kelvora -----------------------------------------------------------------
    std::string DateTimeFormat = "GE";  // read by start-up
    std::string LiveFN;                 // read by start-up
    int FT_Baudrate = 115200;
    int default_maxUSBErrorCount = 1;
    bool withCO2 = false;
    bool withAttrition = false;
    int RowAutoSave_mSec = 300000;
    int DefRowMode = 0;
    double DefRowDuration = 1;
    TimeUnit DefRowSIDuration = TimeUnit::Days;
    double DefRowInterval = 1;
    TimeUnit DefRowSIInterval = TimeUnit::Hours;
    int DefRowTact = 3;
    int DefRowZeroNeeded = 1;
    int DefRowWithCO2 = 1;
    bool DefCountAfterFullStart = false;
    int max_CellWaitForZero_sec = 0;
    std::string dev_VCmd = "V1#";
    std::string dbg_fillCh = "\xC2\xB7";  // "·"

    bool bDebug = false;
    bool bDebug_Sync = false;
    bool bDebug_Rows = false;
    bool bDebug_Cells = false;
    bool bDebug_FT = false;
    bool bDebug_USB = false;
    bool bDebug_USB_Data = false;
    bool bDebug_Print = false;
    bool bDebug_RS232 = false;
    bool bDebug_mmTimerInt = false;
    bool bDebug_AT4 = false;
    bool bDisplay_mA = false;

    int syncDelayPerDevice_sec = 10;
    bool bSetCellActive = false;
    int Cells = 12;  // 1..kMaxCells
    int firstCell = 1;
    int DefMaxO2Imp = 234000;
    double DefVolume = 250;
    double DefWeight = 40;
    int DefPrzO2Imp = 75;
    int LogTemp_min = 0;
    int displayTemp = 1;
    int Manometer_maxClosedCount = 100;
    // 1: tacts a late tick missed are read back from the device's queue, taking the value
    // record's fifth field as the queue length; 0: only the newest tact is read.
    int ReadMissedTacts = 1;
    double DefLF2CO2_const1 = 9.7216;
    double DefLF2CO2_const2 = 0.1530;
    double CO2_upIgnore = 0.00001;
    double CO2_minADC = 20;
    double LF_upIgnore = 0.00001;
    int Cases = 1;
    int firstCase = 1;
    int valueWidth = 10;       // "ValueWidth", first field
    int valueDecimals = -2;    // "ValueWidth", second field
    bool DecimalComma = true;  // the key as read; the live flag is decimalCommaFlag()
    std::string DataRoot;
    int mmTimerInt = 2000;
    int cdm_mmTimerInt = 500;
    int EC71_mmTimerInt = 500;
    int DelayBetweenStartCells = 1000;
    int DelayBetweenStopCells = 1000;
    int DelayBetweenFT_Write_Read = 50;
    int delayDeviceCheck = 100;

    bool CDM_Present = false;
    SerialPortSettings CDM_Port;
    std::string CDM_Cmd_Init = "-";
    std::string CDM_Cmd_Close = "-";
    std::string CDM_Cmd_Sample = "-";
    std::string CDM_Cmd_ReadDisplay = "-";
    int CDM_ReadDisplay_Retries = 1;
    double CDM_MUX_Loop_Duration = 900;
    double CDM_MUX_Sample_Delay = 1;
    double CDM_Sample_ReadDisplay_Delay = 5;
    double CDM_ReadDisplay_Read_Delay = 1;
    double CDM_Read_Delay = 2;
    int CDM_maxEmptyReads = 3;

    bool EC71_Present = false;
    int EC71_COM_ReOpen_sec = 0;
    int EC71_NrDevices = -1;
    std::array<EC71MeterSettings, kMaxEC71Meters> ec71Meters{};
    // "EC71_CalibrationValue-1-3": one key shared by all meters.
    std::array<double, 3> EC71_CalibrationValues{12.88, 111.8, NoValueReal};
    int EC71_maxOfflineCount = 10;
    int EC71_NrOfCalibrationPoints = 1;
    std::string EC71_CalibrationUnit = "mS/cm";
    int EC71_NrStartValues = 10;  // at most 10
    double EC71_LF0_PrzDiff = 5;
    double EC71_previousLF0_PrzDiff = 1;
    double EC71_Loop_Duration = 900;
    double EC71_setMUX_Start_Delay = 600;
    double EC71_Sample_Delay = 2;
    double EC71_Sample_Read_Delay = 2;
    double EC71_Read_Delay = 2;
    int EC71_sendFrameLine_nMax = 50000;
    int EC71_maxReadData = 8;
    int EC71_maxRetryCell = 4;
    double EC71_minLFValueAccepted = 0.1;
    bool EC71_correctLFValues = false;
    double EC71_DeepDiveFactor = 0;
    std::string EC71_DataReadyIndicator = "va='estabilitat'";
    std::string EC71_LFData_Line = "no='mesura'";
    std::string EC71_LFData_val = "va='";
    std::string EC71_LFData_SI = "un='";
    std::string EC71_TempData_Line = "no='temp'";
    std::string EC71_TempData_val = "va='";
    std::string EC71_TempData_SI = "un='";

    // Defaults of the CO2 calibration of a cell whose "C" + n key has none.
    int CO2_Default_minADC = 0;
    int CO2_Default_maxADC = 1023;
    double CO2_Default_minLF = 0.0;
    double CO2_Default_maxLF = 100.0;
    // "C" + n for cells 1..kMaxCells; cellSettings[n - 1] is cell n (cell() expects 1..120).
    std::array<CellSettings, kMaxCells> cellSettings{};
    CellSettings& cell(int n) { return cellSettings[static_cast<size_t>(n - 1)]; }
    const CellSettings& cell(int n) const { return cellSettings[static_cast<size_t>(n - 1)]; }

    // --- section General -----------------------------------------------------------------
    std::string generalVersion;  // written by start-up
    std::string Title;
    std::string SubTitle;
    std::array<std::string, 6> TraderInfo{};  // TraderInfo1 .. TraderInfo6
    bool ConfirmQuit = false;
    int AlarmFactor_min = 60;
    int SuppressCaseErrors_Sec = 600;

    // --- section FT232R ------------------------------------------------------------------
    std::string DevConCmd;
    std::string USBBaseID;
    int DisEnableInterval_Sec = 0;
    // Non-zero: the tick, the synchronisation and the cell alignment talk to all devices at
    // once, each device on its own interface; 0: one device after the other (kept for
    // comparison, the benchmark measures both).
    int ParallelDevices = 1;
    bool parallelDevices() const { return ParallelDevices != 0; }
    TDateTime disEnableTimeMark = 0;  // load time + DisEnableInterval(Sec)
    // Read from FT232R; the full save writes the current interval to section Kelvora.
    int DeviceCheckTimer_mSec = 5000;

    // --- section Excel -------------------------------------------------------------------
    int excelVersion = 0;
    std::string Template_AT4;
    std::string Template_301f;
    std::string ResultPath;

    // --- section CO2-DeviceSoftware ------------------------------------------------------
    std::string co2DeviceSoftwareVersion = "V1.0.0";

    // --- section Graphics ----------------------------------------------------------------
    ChartAxis Cnt_Y;
    ChartAxis O2_Y;
    ChartAxis CO2_Y;

    // --- section ExportOptions (the values in force before the row file loads) -----------
    bool csvDecimalComma = true;
    std::string csvStrDelim = "\"";
    std::string csvColSep = ";";
    int csvfValue = -2;

    // --- section Printer (margins in tenths of a millimetre) -----------------------------
    int prtfValue = 0;
    int marginTop = 200;
    int marginLeft = 200;
    int marginRight = 200;
    int marginBottom = 200;

    // --- section PassWd (decoded) --------------------------------------------------------
    std::string passwordQuit;
    std::string passwordConfig;
    std::string passwordMaster;

    // --- section USB and the device sections ---------------------------------------------
    std::vector<UsbDeviceSettings> devices;  // devices[d - 1] is "USBDevice-" + d

    bool operator==(const Config&) const = default;
};

// Configuration load: every key above except sections ExportOptions and Printer. Also sets
// the debug switches, the decimal-comma flag, the debug-log fill character and the
// DisEnableInterval time mark, and logs EC71_DeepDiveFactor.
void loadConfig(const IniFile& ini, Config& cfg);
// Sections ExportOptions (sets the decimal-comma flag from csvDecimalComma) and Printer;
// called by the row file load when that file exists.
void loadExportOptions(const IniFile& ini, Config& cfg);

// The configuration dialog's save and the state save at quit, each in one file
// replacement. The decimal-comma flag is off while they write and restored afterwards.
// False, with a message in the message list and the debug log, when the file could not
// be written.
bool saveConfigFull(IniFile& ini, Config& cfg);
bool saveConfigState(IniFile& ini, Config& cfg);

// Sets kv::dbg() from the bDebug… fields (the configuration dialog calls it after editing
// them).
void applyDebugSwitches(const Config& cfg);

}  // namespace kv
