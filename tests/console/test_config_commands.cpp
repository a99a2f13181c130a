// The configuration dialog's actions from the console, against the virtual lab: the
// pause and resume around them, the close check and the save of "config set", the mA
// limits, the device edit and the terminal.

#include <algorithm>

#include "app/password.h"
#include "console_fixture.h"
#include "sim/data_device.h"

using namespace kv;

namespace {

class ConfigCommands : public kvtest::ConsoleFixture {
  protected:
    // The close check wants a data root; the fixture's configuration has none.
    ConfigCommands() { k().cfg.DataRoot = "Data"; }
    sim::DataDevice& klv1() { return *lab_->dataDevice("KLV1"); }
    sim::DataDevice& klv2() { return *lab_->dataDevice("KLV2"); }
    // The device reads its inputs when a tact closes.
    void setAdc(sim::DataDevice& d, int k, int value) {
        d.setAdc(k, value);
        clock_.advanceMs(3100);
    }
    static size_t indexOf(const std::vector<std::string>& cmds, const std::string& c,
                          size_t from = 0) {
        for (size_t i = from; i < cmds.size(); ++i)
            if (cmds[i] == c) return i;
        return std::string::npos;
    }
    std::string iniValue(const char* section, const char* key) {
        return IniFile(home_.file("Kelvora.Ini")).readRaw(section, key, "<missing>");
    }
};

// A refused close check changes nothing and still resumes the devices; a passed one copies
// back, saves and resumes. Either way the devices see i0 and l# first and i1 last, and the
// acquisition runs again.
TEST_F(ConfigCommands, SetRunsTheCloseCheckBetweenPauseAndResume) {
    const Config before = k().cfg;
    klv1().clearReceivedCommands();
    EXPECT_EQ(error("config set NrCells=20 Row_Tact=15"), "Invalid value entered !");
    EXPECT_TRUE(k().cfg == before);
    EXPECT_TRUE(k().systemRunning.load());
    const auto cmds = klv1().receivedCommands();
    const size_t i0 = indexOf(cmds, "i0");
    ASSERT_NE(i0, std::string::npos);
    const size_t l1 = indexOf(cmds, "l", i0);
    ASSERT_NE(l1, std::string::npos);
    EXPECT_NE(indexOf(cmds, "l", l1 + 1), std::string::npos) << "l# twice to a data device";
    EXPECT_EQ(cmds.back(), "I");  // i1 read back last
    EXPECT_NE(indexOf(cmds, "i1", l1), std::string::npos);
    EXPECT_EQ(lab_->find("CASE1")->commandCount("l"), 2);

    EXPECT_EQ(error("config set QuitPwd=secret confirmQuitPwd=secreT"),
              "Quit password is not confirmed !");
    EXPECT_EQ(error("config set DataRoot="), "Invalid value entered !");
    EXPECT_EQ(error("config set goCntYMax=lots"), "Invalid value entered !");
    EXPECT_NE(error("config set NoSuchField=1").find("no field"), std::string::npos);
    EXPECT_TRUE(k().cfg == before);

    ok("config set NrCells=18 Row_Tact=15 DataRoot=Data goCntYMax=300 QuitPwd=secret");
    EXPECT_EQ(k().cfg.Cells, 18);
    EXPECT_EQ(k().cfg.DefRowTact, 15);
    EXPECT_EQ(k().cfg.Cnt_Y.max, 300);
    EXPECT_EQ(k().cfg.passwordQuit, "secret");
    EXPECT_EQ(iniValue("Kelvora", "Cells"), "18");
    EXPECT_EQ(iniValue("Kelvora", "DefRowTact"), "15");
    EXPECT_EQ(decodePassword(iniValue("PassWd", "Quit")), "secret");
    EXPECT_TRUE(k().systemRunning.load());
    // A restart-only change says so.
    EXPECT_NE(ok("config set NrCells=12").find("Please restart Kelvora after this change !"),
              std::string::npos);
}

// The configuration password guards every action; the master password opens it too.
TEST_F(ConfigCommands, ConfigurationPasswordIsAsked) {
    ok("config set ConfigPwd=open MasterPwd=boss");
    klv1().clearReceivedCommands();
    EXPECT_EQ(error("config set Row_Tact=30"), "configuration password refused");
    EXPECT_EQ(error("cell ad 1 measure password=wrong"), "configuration password refused");
    // Refused: nothing happens, not even the pause.
    EXPECT_EQ(klv1().commandCount("i0"), 0);
    EXPECT_EQ(k().cfg.DefRowTact, 3);
    ok("config set Row_Tact=30 password=open");
    EXPECT_EQ(k().cfg.DefRowTact, 30);
    ok("config get password=boss");
    // Changing the master password asks for the old one.
    EXPECT_EQ(error("config set MasterPwd=new password=open"),
              "the old master password was not given");
    EXPECT_EQ(k().cfg.passwordMaster, "boss");
    const std::string listed = ok("config get password=open");
    EXPECT_NE(listed.find("ConfigPwd=(set)"), std::string::npos);
    EXPECT_EQ(listed.find("open\n"), std::string::npos) << "a password was shown";
    EXPECT_NE(ok("config get PassWd password=open").find("Quit=(none)"), std::string::npos);
}

TEST_F(ConfigCommands, GetShowsTheFormAndTheFile) {
    const std::string form = ok("config get");
    EXPECT_NE(form.find("NrCells=12\n"), std::string::npos);
    EXPECT_NE(form.find("Row_SIDuration=d\n"), std::string::npos);
    EXPECT_NE(ok("config get USBDevice-2 physCells").find("physCells=7,12"), std::string::npos);
    EXPECT_NE(error("config get NoSection").find("no section"), std::string::npos);
}

// EC71 ports 1 and 3 filled, 2 empty: three meters in the count.
TEST_F(ConfigCommands, MeterCountIsTheLastFilledPort) {
    ok("config set ec71_1_COMx=5,9600,n,8,1 EC71_1_firstCell=1 EC71_1_lastCell=6 "
       "ec71_3_COMx=7,9600,n,8,1 EC71_3_firstCell=7 EC71_3_lastCell=12");
    EXPECT_EQ(k().cfg.EC71_NrDevices, 3);
    EXPECT_FALSE(k().cfg.ec71Meters[1].portSet);
    EXPECT_EQ(k().cfg.ec71Meters[2].port.port, 7);
    EXPECT_EQ(iniValue("Kelvora", "EC71_NrDevices"), "3");
    EXPECT_EQ(k().ec71[2]->CellFrom, 7);
}

// Set Lower / Set Upper / Measure read the cell's current input into the grid; Write puts
// the grid's limits into the cell, the settings and the device, which stores them.
TEST_F(ConfigCommands, MilliampereLimitsMeasuredAndWritten) {
    setAdc(klv1(), 2, 140);
    EXPECT_NE(ok("cell ad 2 lower").find("cell=2 lower=140 upper=1023"), std::string::npos);
    setAdc(klv1(), 2, 870);
    ok("cell ad 2 upper");
    setAdc(klv1(), 2, 512);
    EXPECT_NE(ok("cell ad 2 measure").find("lower=140 upper=870 actual=512"), std::string::npos);
    EXPECT_EQ(klv1().cellConfig(2).lower, 0) << "nothing is written before Write";
    setAdc(klv2(), 1, 99);
    ok("cell ad 7 lower");
    ok("cell ad write");
    EXPECT_EQ(klv1().cellConfig(2).lower, 140);
    EXPECT_EQ(klv1().cellConfig(2).upper, 870);
    EXPECT_EQ(klv1().storedCellConfig(2).upper, 870);
    EXPECT_EQ(klv2().storedCellConfig(1).lower, 99);
    EXPECT_EQ(k().acq.cells.cell(2).AD_Lower, 140);
    EXPECT_EQ(k().cfg.cell(2).AD_Upper, 870);
    EXPECT_NE(ok("cell ad").find("cell=7 lower=99 upper=1023"), std::string::npos);
    EXPECT_NE(error("cell ad 13 measure").find("does not exist"), std::string::npos);
}

// Every field of the device edit reaches the device, which stores it; the device list
// takes the new serial number, case, master flag and delays. A serial number that is not
// hexadecimal is refused before anything is written.
TEST_F(ConfigCommands, DeviceEditWritesEveryField) {
    const std::string shown = ok("device edit 1");
    EXPECT_NE(shown.find("serial=KLV1"), std::string::npos);
    EXPECT_NE(shown.find("e=5 n=10 w=0 d=0 m=0 f1=1 f2=1"), std::string::npos) << shown;

    EXPECT_NE(error("device edit 1 serial=KLV-1 e=9").find("hexadecimal"), std::string::npos);
    EXPECT_EQ(klv1().setting('e'), 5);
    EXPECT_EQ(k().devices.device(1).SerialNr, "KLV1");

    klv1().clearReceivedCommands();
    const std::string written =
        ok("device edit 1 serial=A1b2C3d4 case=2 master=1 delaywrite=7 delayread=6 e=9 n=12 w=30 "
           "d=1 f1=1 f2=1 f3=0");
    EXPECT_EQ(klv1().setting('e'), 9);
    EXPECT_EQ(klv1().setting('n'), 12);
    EXPECT_EQ(klv1().setting('w'), 30);
    EXPECT_EQ(klv1().setting('d'), 1);
    EXPECT_EQ(klv1().setting('m'), 1);
    EXPECT_EQ(klv1().queueSize(), 0u);
    const auto cmds = klv1().receivedCommands();
    const size_t master = indexOf(cmds, "m1");
    ASSERT_NE(master, std::string::npos);
    EXPECT_LT(indexOf(cmds, "z"), master) << "stored before the master setting";
    EXPECT_NE(indexOf(cmds, "i0", master), std::string::npos) << "i0 after the master setting";
    EXPECT_NE(indexOf(cmds, "z", master), std::string::npos) << "stored again";
    EXPECT_EQ(klv2().commandCount("i0"), 4) << "three pauses and the device edit";

    const TKLVDeviceListEntry e = k().devices.device(1);
    EXPECT_EQ(e.SerialNr, "A1b2C3d4");
    EXPECT_EQ(e.Case, 2);
    EXPECT_TRUE(e.Master);
    EXPECT_EQ(e.DelayInFT_Write, 7);
    EXPECT_EQ(e.DelayInFT_Read, 6);
    EXPECT_NE(written.find("serial=A1b2C3d4 case=2 master=1"), std::string::npos);
    EXPECT_NE(ok("device list").find("device 1: O2-data serial=A1b2C3d4"), std::string::npos);
    // The next save keeps the new serial number.
    ok("config set Row_Tact=3");
    EXPECT_EQ(iniValue("USBDevice-1", "SerialNr"), "A1b2C3d4");
}

// The terminal writes the text as it is and shows what came back.
TEST_F(ConfigCommands, TerminalShowsTheAnswer) {
    const std::string out = ok("device send 1 Z#");
    EXPECT_NE(out.find("answer: \"Z=KLV/USB V1.4.1#\""), std::string::npos) << out;
    EXPECT_NE(ok("device send 3 T2#").find("T2="), std::string::npos);
    EXPECT_NE(error("device send 9 Z#").find("no device 9"), std::string::npos);
}

TEST_F(ConfigCommands, TankSaveWritesTheFile) {
    std::filesystem::remove(home_.file("O2_TankData.Txt"));
    ok("tank save");
    EXPECT_NE(kvtest::readFile(home_.file("O2_TankData.Txt")).find("C12="), std::string::npos);
    EXPECT_NE(error("ec71 calibrate 1").find("no EC71 meter"), std::string::npos);
    EXPECT_EQ(error("ec71 cancel"), "no calibration is running");
}

}  // namespace
