// The EC71 parts in the order the program builds and starts them: the meter objects and
// the cycle exist before the configuration is loaded; start-up loads it, configures the
// meters, checks them, and only then does the cycle measure.

#include <gtest/gtest.h>

#include "app/config.h"
#include "co2_cycle_fixture.h"
#include "sim/meters/sim_co2_ports.h"

using namespace kv;
using kvtest::Co2CycleTest;

namespace {

// Two meters, cells 1-3 on COM5 and 4-6 on COM7, the lab's data and CO2 device, the
// frames of the virtual meter.
std::string configText() {
    return "[Kelvora]\n"
           "Cells=6\n"
           "DecimalComma=n\n"
           "EC71_Present=y\n"
           "EC71_NrDevices=2\n"
           "EC71_1_Port=5,9600,n,8,1\n"
           "EC71_1_CellRange=1,3\n"
           "EC71_2_Port=7,9600,n,8,1\n"
           "EC71_2_CellRange=4,6\n"
           "EC71_setMUX_Start_Delay=10\n"
           "EC71_Loop_Duration=600\n"
           "EC71_NrStartValues=3\n"
           "EC71_sendFrameLine_nMax=300\n"
           "[USB]\n"
           "Devices=2\n"
           "[USBDevice-1]\n"
           "SerialNr=KLV10001\nType=1\nCase=1\nphysCells=1,6\n"
           "[USBDevice-2]\n"
           "SerialNr=KLV30001\nType=3\nCase=1\nphysCells=1,6\n" +
           sim::EC71Meter::frameSections();
}

class EC71StartupOrder : public Co2CycleTest {
  protected:
    ~EC71StartupOrder() override { setDecimalCommaFlag(false); }
};

// The cycle is built with the configuration not yet loaded (no meter count, no ranges).
// After the load, the meter configuration and the start-up check, it measures every cell
// with the meter of its range, and the device check watches meter 1.
TEST_F(EC71StartupOrder, CycleBuiltBeforeTheConfigurationUsesTheLoadedMeters) {
    buildLab();
    cfg_ = Config{};
    for (int n = 0; n < kMaxEC71Meters; ++n)
        meters_.push_back(std::make_unique<TEC71>(&mux_.MeasureCount));
    for (auto& m : meters_) meterPtrs_.push_back(m.get());
    ec71Cycle_ = std::make_unique<TEC71Cycle>(cfg_, acq_->cells, meterPtrs_, *relays_, mux_,
                                              flags_.refs(), rowAccess_);
    EXPECT_EQ(ec71Cycle_->meterForCell(1), 0) << "no meter is in use before the load";

    // Start-up: the configuration, then each meter's settings, frames and calibration data.
    kvtest::writeFile(dir_.file("Kelvora.Ini"), configText());
    IniFile ini(dir_.file("Kelvora.Ini"));
    loadConfig(ini, cfg_);
    ASSERT_EQ(cfg_.EC71_NrDevices, 2);
    ASSERT_EQ(cfg_.Cells, 6);
    for (int n = 1; n <= kMaxEC71Meters; ++n) {
        TEC71& m = *meters_[size_t(n - 1)];
        m.configure(cfg_, n);
        m.Frames.load(ini);
        m.setCalibrationData(&calibration_);
    }
    calibration_.load(ini, cfg_.Cells, cfg_.EC71_NrOfCalibrationPoints);
    EXPECT_TRUE(EC71_CheckCellRanges(cfg_, meterPtrs_, cfg_.firstCell).empty());

    // The virtual meters of the configured ports, then the start-up check of the meters.
    const auto sim = sim::createSimCo2Meters(cfg_, *lab_, absorberParams_);
    ASSERT_NE(sim->ec71(1), nullptr);
    ASSERT_NE(sim->ec71(2), nullptr);
    EXPECT_EQ(sim->ec71(3), nullptr);
    EXPECT_EQ(sim->cdm(), nullptr);
    EXPECT_EQ(EC71_StartupCheck(cfg_, meterPtrs_, [this] { relays_->allOff(); }), 2);
    EXPECT_EQ(meters_[2]->hCOM.load(), 0) << "the third meter object is not in use";
    EXPECT_EQ(log().find("... checking EC71"), std::string::npos) << "start-up writes it";
    EXPECT_NE(log().find("... .. EC71 should be present (2 devices)"), std::string::npos);

    for (int i = 1; i <= 6; ++i) startCell(i, 1);
    ASSERT_TRUE(runCycle());
    EXPECT_EQ(ec71Cycle_->meterForCell(3), 1);
    EXPECT_EQ(ec71Cycle_->meterForCell(4), 2);
    EXPECT_EQ(sim->ec71(1)->measurements(), 3);
    EXPECT_EQ(sim->ec71(2)->measurements(), 3);
    EXPECT_EQ(sim->ec71(1)->cell(), 3);
    EXPECT_EQ(sim->ec71(2)->cell(), 6);
    for (int i = 1; i <= 6; ++i) {
        const double truth = sim->absorbersOfEC71(i <= 3 ? 1 : 2)->conductivity(0, i);
        EXPECT_NEAR(cell(i).cdm_LF, truth, 0.02) << "cell " << i;
    }
    EXPECT_EQ(absorbers_->overlaps(), 0);

    // The device check looks at meter 1: online it stays quiet; offline for
    // EC71_maxOfflineCount checks it is reported lost.
    EXPECT_FALSE(ec71Cycle_->deviceCheck());
    meters_[0]->Online = false;
    bool lost = false;
    for (int k = 0; k < cfg_.EC71_maxOfflineCount && !lost; ++k) lost = ec71Cycle_->deviceCheck();
    EXPECT_TRUE(lost);
    EXPECT_TRUE(hasMessage("Connection to CO2-Device lost !"));
}

}  // namespace
