// End to end over pseudo-terminals: kelvora-sim serves a data device, a CO2 device and an
// EC71 meter that follows the CO2 device's relays; the program side runs the EC71 cycle on
// its timer, in real time, through the tty backend and the serial layer.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "acquisition/acquisition.h"
#include "app/debuglog.h"
#include "app/inifile.h"
#include "co2/ec71_cycle.h"
#include "co2_test_util.h"
#include "sim/meters/ec71_meter.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

using namespace kv;

namespace {

class Rows : public RowLookup {
  public:
    std::optional<RowInfo> findRow(int nr) const override {
        if (nr != 1) return std::nullopt;
        RowInfo r;
        r.name = "E2E";
        r.state = kv::RowState::Running;
        r.tactSeconds = 30;
        r.withCO2 = true;
        r.lf2co2 = 9.7216;
        return r;
    }
    void suspendCellForAlarm(int, int) override {}
};

TEST(Co2OverPty, EC71CycleAgainstKelvoraSim) {
    const std::string program = kvtest::simProgram();
    // The suite's own build makes the program: missing, it is a failure, never a skip.
    ASSERT_TRUE(std::filesystem::exists(program)) << "kelvora-sim missing: " << program;
    kvtest::TempDir dir;
    debugLog().open(dir.file("t.Dbg"));
    kvtest::writeFile(dir.file("lab.ini"),
                      "[Device KLV10001]\nType=1\nCell1=rate=2\n"
                      "[Device KLV30001]\nType=3\nCell1=raw=800\n"
                      "[Meter ec71]\nType=EC71\nAbsorbers=KLV30001:KLV10001\nLF0=2.5\n"
                      "MeasureSeconds=0.2\n");
    kvtest::SimProcess sim;
    ASSERT_TRUE(sim.start(program, dir.file("lab.ini"), dir.file("byid"))) << sim.banner();
    EXPECT_NE(sim.banner().find("ec71 type=EC71"), std::string::npos) << sim.banner();

    IniFile ini(dir.file("Kelvora.Ini"));
    ini.writeString("FT232R", "Backend", "tty");
    ini.writeString("FT232R", "ByIdDir", dir.file("byid"));
    setComPortPath(5, dir.file("byid/ec71"));
    FTLink link(makeBackendFromConfig(ini));
    DeviceProtocol proto(link);
    RunFlagSet flags;
    DeviceList list(link, proto, &flags.configCmdInProgress);
    list.USB_Init(0);

    Config cfg;
    cfg.Cells = 6;
    UsbDeviceSettings data, co2;
    data.SerialNr = "KLV10001";
    data.Type = DeviceType::Data;
    co2.SerialNr = "KLV30001";
    co2.Type = DeviceType::CO2;
    data.physCellNr_From = co2.physCellNr_From = 1;
    data.physCellNr_To = co2.physCellNr_To = 6;
    data.DelayInFT_Read = co2.DelayInFT_Read = 10;
    cfg.devices = {data, co2};
    list.mapDevices(cfg);
    ASSERT_TRUE(list.device(2).bPresent);

    cfg.EC71_Present = true;
    cfg.EC71_NrDevices = 1;
    cfg.ec71Meters[0] = {true, {5, 9600, 0, 8, 1}, 1, 6};
    cfg.EC71_setMUX_Start_Delay = 0.5;
    cfg.EC71_Sample_Delay = 0.1;
    cfg.EC71_Sample_Read_Delay = 0.5;
    cfg.EC71_Read_Delay = 0.3;
    cfg.EC71_Loop_Duration = 2;
    cfg.EC71_NrStartValues = 2;
    cfg.EC71_mmTimerInt = 50;

    HeadlessStatusOutput status;
    Acquisition acq(cfg, list, flags.refs(), status, dir.path());
    Rows rows;
    acq.cells.setRowLookup(&rows);
    for (int i = 1; i <= kMaxCells; ++i) acq.cells.InitCell(i);
    acq.cells.MapCellToRow(1, 1);
    acq.cells.StartCell(1, 0, 0, NoValueReal, NoValueReal, NoValueReal, 0, 0, 250);

    TMuxCycle mux;
    TCO2Relays relays(cfg, list, acq.io, mux);
    TEC71 meter(&mux.MeasureCount);
    meter.configure(cfg, 1);
    kvtest::writeFile(dir.file("frames.ini"), sim::EC71Meter::frameSections());
    meter.Frames.load(IniFile(dir.file("frames.ini")));
    EC71CalibrationData calibration;
    meter.setCalibrationData(&calibration);
    TEC71* meters[] = {&meter};
    ASSERT_EQ(EC71_StartupCheck(cfg, meters, [&] { relays.allOff(); }), 1);

    Co2RowMemory lf0;
    TEC71Cycle cycle(cfg, acq.cells, meters, relays, mux, flags.refs(), &lf0);
    cycle.start();
    const bool determined =
        kvtest::waitUntil([&] { return acq.cells.cell(1).cdm_LF_0 >= 0; }, 30000);
    cycle.stop();
    ASSERT_TRUE(determined);
    const TCell c = acq.cells.cell(1);
    // The meter read the absorber of cell 1 through its relay: a fresh absorber, a little
    // below 2.5 mS/cm once the sample has produced some CO2.
    EXPECT_GT(c.cdm_LF_0, 2.4);
    EXPECT_LE(c.cdm_LF_0, 2.5);
    EXPECT_GT(c.cdm_LF, 2.4);
    EXPECT_DOUBLE_EQ(c.cdm_T, 20.0);
    EXPECT_GE(lf0.lastLF0(1), 0);
    EXPECT_TRUE(meter.Online.load());

    relays.allOff();
    com_Close(meter.hCOM.exchange(0));
    setComPortPath(5, "");
    list.Close_HW();
    debugLog().close();
}

}  // namespace
