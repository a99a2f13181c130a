#include <gtest/gtest.h>

#include "app/config.h"
#include "app/debuglog.h"
#include "app/messages.h"
#include "app/password.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "common/numtext.h"
#include "support/temp_dir.h"

using namespace kv;
using kvtest::readFile;
using kvtest::TempDir;
using kvtest::writeFile;

namespace {

// The load touches process-wide state (debug switches, decimal comma, fill character);
// each test starts and ends with the program's initial values.
class ConfigTest : public ::testing::Test {
  protected:
    ConfigTest() : clock_(encodeDateTime(2026, 3, 1, 10, 0, 0)), scoped_(clock_) { reset(); }
    ~ConfigTest() override { reset(); }
    static void reset() {
        applyDebugSwitches(Config{});
        dbg().at4 = true;
        setDecimalCommaFlag(false);
        debugLog().setFillChar("\xC2\xB7");
    }
    Config load(const std::string& path) {
        IniFile ini(path);
        Config c;
        loadConfig(ini, c);
        loadExportOptions(ini, c);
        return c;
    }
    std::string iniValue(const std::string& path, std::string_view sec, std::string_view key) {
        return IniFile(path).readString(sec, key, "<missing>");
    }
    TempDir dir_;
    std::string path_ = dir_.file("Kelvora.Ini");
    ManualClock clock_;
    ScopedClock scoped_;
};

}  // namespace

TEST_F(ConfigTest, MissingFileGivesDefaults) {
    const Config c = load(path_);
    EXPECT_EQ(c.FT_Baudrate, 115200);
    EXPECT_EQ(c.Cells, 12);
    EXPECT_EQ(c.RowAutoSave_mSec, 300000);
    EXPECT_DOUBLE_EQ(c.DefLF2CO2_const2, 0.153);
    EXPECT_DOUBLE_EQ(c.CO2_upIgnore, 0.00001);
    EXPECT_EQ(c.valueWidth, 10);
    EXPECT_EQ(c.valueDecimals, -2);
    EXPECT_EQ(c.cdm_mmTimerInt, 500);
    EXPECT_EQ(c.EC71_mmTimerInt, 500);
    EXPECT_EQ(c.DeviceCheckTimer_mSec, 5000);
    EXPECT_EQ(c.CDM_Port, (SerialPortSettings{1, 9600, 0, 8, 1}));
    EXPECT_EQ(c.EC71_DataReadyIndicator, "va='estabilitat'");
    EXPECT_EQ(c.Cnt_Y, (ChartAxis{0, 250, 25, "Impulse"}));
    EXPECT_EQ(c.O2_Y.text, "n/a");
    // Without EC71_NrDevices the single-meter keys apply: one meter on COM1 for all cells.
    EXPECT_EQ(c.EC71_NrDevices, 1);
    EXPECT_TRUE(c.ec71Meters[0].portSet);
    EXPECT_EQ(c.ec71Meters[0].lastCell, 12);
    EXPECT_FALSE(c.ec71Meters[1].portSet);
    EXPECT_DOUBLE_EQ(c.EC71_CalibrationValues[1], 111.8);
    EXPECT_TRUE(isNoValue(c.EC71_CalibrationValues[2]));
    EXPECT_EQ(c.cell(1), (CellSettings{0, 1023, 0, 0.0, 1023, 100.0, 1.0, 0.0, NoValueInt}));
    EXPECT_TRUE(c.devices.empty());
    EXPECT_TRUE(c.passwordQuit.empty());
    EXPECT_EQ(c.csvColSep, " ");
    EXPECT_EQ(c.marginTop, 200);
    EXPECT_DOUBLE_EQ(c.disEnableTimeMark, clock_.now());
    EXPECT_FALSE(dbg().at4.load());   // on only until the configuration is read
    EXPECT_TRUE(decimalCommaFlag());  // csvDecimalComma defaults to on
}

TEST_F(ConfigTest, ValueFormsAsWrittenByHand) {
    writeFile(path_,
              "[Kelvora]\r\n"
              "CDM_Present=Ja\r\n"
              "EC71_Present=no\r\n"
              "ValueWidth=8\r\n"
              "CDM_Port=2,19200,E,7,2\r\n"
              "CDM_mmTimerInt=750\r\n"
              "bDebug_Rows=-1\r\n"
              "bDebug_FT=0\r\n"
              "dbg_fillCh=-+\r\n"
              "DefVolume=312,5\r\n"
              "EC71_Loop_Duration=450.5\r\n"
              "EC71_NrStartValues=12\r\n"
              "EC71_DeepDiveFactor=0.05\r\n"
              "C3=100, 900\r\n"
              "C4=10,20,5,1.5,1000,90.25,1.1,0.2,777\r\n"
              "CO2_Default_maxADC=1000\r\n"
              "[FT232R]\r\n"
              "DisEnableInterval(Sec)=30\r\n"
              "[General]\r\n"
              "TraderInfo6=Lab 6\r\n"
              "[Graphics]\r\n"
              "O2_Y=0, 40, 5, O2, mg/l\r\n"
              "[USB]\r\n"
              "Devices=2\r\n"
              "[USBDevice-1]\r\n"
              "SerialNr=FT12AB\r\n"
              "Type=1\r\n"
              "Master=2\r\n"
              "physCells=7, 12\r\n"
              "lastTactTime=08.12.2026 03:12:30\r\n"
              "[USBDevice-2]\r\n"
              "Type=2\r\n"
              "lastTemp=20.5\r\n");
    Config c = load(path_);
    EXPECT_TRUE(c.CDM_Present);
    EXPECT_FALSE(c.EC71_Present);
    EXPECT_EQ(c.valueWidth, 8);
    EXPECT_EQ(c.valueDecimals, -2);
    EXPECT_EQ(c.CDM_Port, (SerialPortSettings{2, 19200, 2, 7, 2}));
    EXPECT_EQ(formatSerialPort(c.CDM_Port), "2, 19200, e, 7, 2");
    EXPECT_EQ(c.cdm_mmTimerInt, 750);  // keys ignore case
    EXPECT_TRUE(dbg().rows.load());
    EXPECT_FALSE(dbg().ft.load());
    EXPECT_EQ(debugLog().fillChar(), "-");
    EXPECT_DOUBLE_EQ(c.DefVolume, 312.5);
    EXPECT_DOUBLE_EQ(c.EC71_Loop_Duration, 450.5);
    EXPECT_EQ(c.EC71_NrStartValues, 10);
    EXPECT_DOUBLE_EQ(c.disEnableTimeMark, clock_.now() + 30 * kSecond);
    EXPECT_EQ(c.TraderInfo[5], "Lab 6");
    EXPECT_EQ(c.O2_Y, (ChartAxis{0, 40, 5, "O2, mg/l"}));
    // Calibration absent: the CO2_Default_* keys; present: all nine fields.
    EXPECT_EQ(c.cell(3), (CellSettings{100, 900, 0, 0.0, 1000, 100.0, 1.0, 0.0, NoValueInt}));
    EXPECT_EQ(c.cell(4), (CellSettings{10, 20, 5, 1.5, 1000, 90.25, 1.1, 0.2, 777}));
    EXPECT_EQ(formatCellSettings(c.cell(4)), "10, 20, 5, 1.5, 1000, 90.25, 1.1, 0.2, 777");
    ASSERT_EQ(c.devices.size(), 2u);
    EXPECT_EQ(c.devices[0].SerialNr, "FT12AB");
    EXPECT_FALSE(c.devices[0].Master);  // only exactly 1 is on
    EXPECT_EQ(c.devices[0].physCellNr_From, 7);
    EXPECT_EQ(c.devices[0].physCellNr_To, 12);
    EXPECT_DOUBLE_EQ(c.devices[0].lastTactTime, encodeDateTime(2026, 12, 8, 3, 12, 30));
    EXPECT_EQ(c.devices[0].maxUSBErrorCount, 1);
    EXPECT_DOUBLE_EQ(c.devices[1].lastTemp, 20.5);

    // Serial port texts: odd parity letters, missing fields and the empty text.
    SerialPortSettings p;
    EXPECT_TRUE(parseSerialPort("3, 4800, x", p));
    EXPECT_EQ(p, (SerialPortSettings{3, 4800, 0, 8, 1}));
    EXPECT_TRUE(parseSerialPort("4,1200,o,7,1", p));
    EXPECT_EQ(p.parity, 1);
    EXPECT_FALSE(parseSerialPort("  ", p));
    EXPECT_EQ(p.port, 4);

    writeFile(path_, "[Kelvora]\r\nCDM_Present=\r\nCDM_mmTimerInt=\r\n");
    c = load(path_);
    EXPECT_FALSE(c.CDM_Present);
    EXPECT_EQ(c.cdm_mmTimerInt, 500);
}

TEST_F(ConfigTest, FullSaveThenLoadGivesTheSameValues) {
    writeFile(path_, "; site notes stay\r\n[Kelvora]\r\nfirstCell=101\r\nDecimalComma=y\r\n");
    Config c = load(path_);
    setDecimalCommaFlag(true);
    c.FT_Baudrate = 57600;
    c.withCO2 = true;
    c.DefRowDuration = 2.5;
    c.DefRowMode = 1;
    c.bDebug_Sync = true;
    c.bDisplay_mA = true;
    c.Cells = 18;
    c.DefVolume = 312.5;
    c.DefLF2CO2_const1 = 9.1234;
    c.CO2_upIgnore = 0.00000125;
    c.valueWidth = 8;
    c.valueDecimals = 3;
    c.DataRoot = "/data/kelvora";
    c.CDM_Present = true;
    c.CDM_Port = {2, 19200, 2, 7, 2};
    c.CDM_Cmd_Init = "\\013INIT";
    c.CDM_MUX_Loop_Duration = 600;
    c.EC71_Present = true;
    c.EC71_NrDevices = 2;
    c.ec71Meters[0] = {true, {3, 9600, 0, 8, 1}, 1, 12};
    c.ec71Meters[1] = {true, {4, 9600, 1, 7, 2}, 13, 18};
    c.ec71Meters[2] = {false, {}, 1, 18};
    c.EC71_CalibrationValues = {1.413, 12.88, 111.8};
    c.EC71_Sample_Delay = 3;
    c.EC71_LFData_val = "'quoted'";
    c.ConfirmQuit = true;
    c.DeviceCheckTimer_mSec = 7000;
    c.Cnt_Y = {0, 500, 50, "Counts, total"};
    c.CO2_Y = {-1.5, 10, 0.5, "mg"};
    c.csvStrDelim = "";
    c.csvColSep = " ";
    c.csvfValue = 3;
    c.prtfValue = 2;
    c.marginTop = 150;
    c.marginLeft = 100;
    c.passwordQuit = "Quit \xC3\xBC";
    c.passwordConfig = std::string(30, 'c');
    c.passwordMaster = "";
    c.cell(2) = {15, 980, 10, 0.5, 1000, 99.5, 1.05, 0.125, NoValueInt};
    c.cell(18).AD_Lower = 42;
    UsbDeviceSettings data;
    data.SerialNr = "FTA1B2C3";
    data.Type = DeviceType::Data;
    data.Case = 2;
    data.Master = true;
    data.physCellNr_From = 7;
    data.physCellNr_To = 12;
    data.DelayInFT_Read = 7;
    data.lastTactNr = 12345;
    data.lastTactTime = encodeDateTime(2026, 2, 28, 23, 59, 58);
    UsbDeviceSettings caseCtl;
    caseCtl.SerialNr = "FTCASE";
    caseCtl.Type = DeviceType::Case;
    caseCtl.Case = 2;
    caseCtl.lastTemp = 20.25;
    c.devices = {data, caseCtl};

    IniFile ini(path_);
    ASSERT_TRUE(saveConfigFull(ini, c));
    EXPECT_TRUE(decimalCommaFlag());  // restored after the save
    EXPECT_FALSE(c.DecimalComma);
    EXPECT_TRUE(c.csvDecimalComma);

    const std::string text = readFile(path_);
    EXPECT_NE(text.find("; site notes stay"), std::string::npos);
    EXPECT_EQ(iniValue(path_, "Kelvora", "DecimalComma"), "0");
    EXPECT_EQ(iniValue(path_, "ExportOptions", "csvDecimalComma"), "1");
    EXPECT_EQ(iniValue(path_, "Kelvora", "CDM_Port"), "2, 19200, e, 7, 2");
    EXPECT_EQ(iniValue(path_, "Kelvora", "ValueWidth"), "8, 3");
    EXPECT_EQ(iniValue(path_, "Kelvora", "DefVolume"), "312.5");  // a point, not a comma
    EXPECT_EQ(iniValue(path_, "Kelvora", "CO2_upIgnore"), "0.00000125");
    EXPECT_EQ(iniValue(path_, "Kelvora", "withCO2"), "1");
    EXPECT_EQ(iniValue(path_, "Kelvora", "bDisplay_mA"), "-1");
    EXPECT_EQ(iniValue(path_, "Kelvora", "CDM_Present"), "1");
    EXPECT_EQ(iniValue(path_, "Kelvora", "DeviceCheckTimer(mSec)"), "7000");
    EXPECT_EQ(iniValue(path_, "Kelvora", "EC71_3_Port"), "");
    EXPECT_EQ(iniValue(path_, "Kelvora", "C19"), "<missing>");            // only cells in use
    EXPECT_EQ(iniValue(path_, "Kelvora", "firstCell"), "101");            // not a saved key
    EXPECT_EQ(iniValue(path_, "USBDevice-2", "physCells"), "<missing>");  // type 1 only
    EXPECT_EQ(iniValue(path_, "USBDevice-2", "lastTemp"), "20.25");
    EXPECT_EQ(iniValue(path_, "Printer", "top"), "15");

    // A restart keeps the decimal comma through csvDecimalComma.
    setDecimalCommaFlag(false);
    Config back = load(path_);
    EXPECT_TRUE(decimalCommaFlag());
    // The device check interval is read from [FT232R]; the save puts it into [Kelvora].
    EXPECT_EQ(back.DeviceCheckTimer_mSec, 5000);
    back.DeviceCheckTimer_mSec = c.DeviceCheckTimer_mSec;
    EXPECT_EQ(back, c);
}

TEST_F(ConfigTest, OlderSingleMeterKeysBecomeTheCurrentOnes) {
    writeFile(path_,
              "[Kelvora]\r\nCells=24\r\nEC71_Port=3,4800,o,7,2\r\n"
              "EC71_CalibrationValue-1=10.5\r\nEC71_CalibrationValue-2=100\r\n");
    Config c = load(path_);
    EXPECT_EQ(c.EC71_NrDevices, 1);
    EXPECT_EQ(c.ec71Meters[0].port, (SerialPortSettings{3, 4800, 1, 7, 2}));
    EXPECT_EQ(c.ec71Meters[0].firstCell, 1);
    EXPECT_EQ(c.ec71Meters[0].lastCell, 24);
    EXPECT_DOUBLE_EQ(c.EC71_CalibrationValues[0], 10.5);
    EXPECT_TRUE(isNoValue(c.EC71_CalibrationValues[2]));

    IniFile ini(path_);
    ASSERT_TRUE(saveConfigFull(ini, c));
    EXPECT_EQ(iniValue(path_, "Kelvora", "EC71_NrDevices"), "1");
    EXPECT_EQ(iniValue(path_, "Kelvora", "EC71_1_Port"), "3, 4800, o, 7, 2");
    EXPECT_EQ(iniValue(path_, "Kelvora", "EC71_1_CellRange"), "1, 24");
    EXPECT_EQ(iniValue(path_, "Kelvora", "EC71_CalibrationValue-1-3"), "10.5, 100,");
    EXPECT_EQ(load(path_), c);
}

TEST_F(ConfigTest, StateSaveWritesOnlyTheRunState) {
    writeFile(path_,
              "[Kelvora]\r\nFT_Baudrate=9600\r\n[Graphics]\r\nCO2_Y=0,10,1,mg\r\n"
              "[USB]\r\nDevices=2\r\n[USBDevice-1]\r\nType=1\r\nSerialNr=A\r\n"
              "[USBDevice-2]\r\nType=3\r\nSerialNr=B\r\n");
    Config c = load(path_);
    c.FT_Baudrate = 115200;
    c.CO2_Y.max = 99;
    c.O2_Y = {0, 80, 10, "O2"};
    c.devices[0].lastTactNr = 4711;
    c.devices[0].lastTactTime = encodeDateTime(2026, 3, 1, 9, 30, 0);
    c.devices[1].lastTactNr = 99;
    c.cell(5).AD_Upper = 800;
    setDecimalCommaFlag(true);
    IniFile ini(path_);
    ASSERT_TRUE(saveConfigState(ini, c));
    EXPECT_TRUE(decimalCommaFlag());

    EXPECT_EQ(iniValue(path_, "Kelvora", "FT_Baudrate"), "9600");
    EXPECT_EQ(iniValue(path_, "Graphics", "CO2_Y"), "0,10,1,mg");
    EXPECT_EQ(iniValue(path_, "Graphics", "O2_Y"), "0, 80, 10, O2");
    EXPECT_EQ(iniValue(path_, "USBDevice-1", "lastTactNr"), "4711");
    EXPECT_EQ(iniValue(path_, "USBDevice-2", "lastTactNr"), "<missing>");
    EXPECT_EQ(iniValue(path_, "Kelvora", "C5"), "0, 800, 0, 0, 1023, 100, 1, 0");
    EXPECT_EQ(iniValue(path_, "PassWd", "Quit"), "<missing>");
    const Config back = load(path_);
    EXPECT_DOUBLE_EQ(back.devices[0].lastTactTime, c.devices[0].lastTactTime);
    EXPECT_EQ(back.cell(5), c.cell(5));
}

TEST_F(ConfigTest, GarbageGivesDefaultsAndNoCrash) {
    writeFile(path_,
              "\x01\x02 binary junk\r\n"
              "[Kelvora\r\n"
              "=\r\n"
              "[Kelvora]\r\n"
              "no equals sign here\r\n"
              "Cells=abc\r\n"
              "FT_Baudrate=12x\r\n"
              "mmTimerInt=99999999999999\r\n"
              "DefVolume=abc\r\n"
              "EC71_Loop_Duration=soon\r\n"
              "ValueWidth=wide, narrow\r\n"
              "CDM_Port=garbage\r\n"
              "EC71_NrDevices=7\r\n"
              "EC71_2_CellRange=x\r\n"
              "C1=x,y,z,,q\r\n"
              "C2=,,,,,,,,,,,,,,,,,,,,\r\n"
              "[Graphics]\r\n"
              "Cnt_Y=,,\r\n"
              "[USB]\r\n"
              "Devices=1000\r\n"
              "[USBDevice-1]\r\n"
              "physCells=a,b\r\n"
              "lastTactTime=yesterday\r\n"
              "[PassWd]\r\n"
              "Quit=#############################################################"
              "##################################\r\n");
    const int before = messageList().total();
    const Config c = load(path_);
    EXPECT_EQ(c.Cells, 12);
    EXPECT_EQ(c.FT_Baudrate, 115200);
    EXPECT_EQ(c.mmTimerInt, 2000);
    EXPECT_TRUE(isNoValue(c.DefVolume));  // an unreadable real is "no value"
    EXPECT_DOUBLE_EQ(c.EC71_Loop_Duration, 900);
    EXPECT_EQ(c.valueWidth, 10);
    EXPECT_EQ(c.valueDecimals, -2);
    EXPECT_EQ(c.CDM_Port, (SerialPortSettings{1, 9600, 0, 8, 1}));
    EXPECT_EQ(c.EC71_NrDevices, 3);
    EXPECT_EQ(c.ec71Meters[1].firstCell, 1);
    EXPECT_EQ(c.ec71Meters[1].lastCell, 12);
    EXPECT_EQ(c.cell(1), CellSettings{});
    EXPECT_EQ(c.cell(2), CellSettings{});
    EXPECT_TRUE(isNoValue(c.Cnt_Y.max));
    EXPECT_EQ(c.Cnt_Y.text, "Impulse");
    EXPECT_EQ(c.devices.size(), static_cast<size_t>(kMaxDevices));
    EXPECT_EQ(c.devices[0].physCellNr_From, 0);
    EXPECT_DOUBLE_EQ(c.devices[0].lastTactTime, 0);
    EXPECT_EQ(c.passwordQuit, "");
    EXPECT_GT(messageList().total(), before);  // the damaged password is reported

    writeFile(path_, "[Kelvora]\r\nCells=500\r\nEC71_NrStartValues=-4\r\n");
    const Config big = load(path_);
    EXPECT_EQ(big.Cells, kMaxCells);
    EXPECT_EQ(big.EC71_NrStartValues, 0);
}

TEST_F(ConfigTest, SaveFailureIsReported) {
    const std::string path = dir_.file("missing-folder/Kelvora.Ini");
    Config c = load(path);
    setDecimalCommaFlag(true);
    const int before = messageList().total();
    IniFile ini(path);
    EXPECT_FALSE(saveConfigFull(ini, c));
    EXPECT_FALSE(saveConfigState(ini, c));
    EXPECT_TRUE(decimalCommaFlag());
    EXPECT_EQ(messageList().total(), before + 2);
    EXPECT_NE(messageList().newestFirst().front().find("could not be written"), std::string::npos);
}
