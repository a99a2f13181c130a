// The CDM measuring cycle in virtual time against the virtual CDM and the lab.

#include <gtest/gtest.h>

#include <thread>

#include "co2_cycle_fixture.h"

using namespace kv;
using kv::sim::MeterFault;
using kvtest::Co2CycleTest;

namespace {

class CdmCycle : public Co2CycleTest {};

const std::vector<int> kCellWalk = {muxst_SetMUX, muxst_StartSample, muxst_ReadDisplay,
                                    muxst_ReadData};

// A cycle over running cells, an assigned cell of a CO2 row and a cell with its CO2
// suspended; the correction with LFFactor/LFOffset, the starting conductivity, the no-rise
// rule, and the CO2 values against the lab over three cycles.
TEST_F(CdmCycle, MeasuresCorrectsAndFollowsTheLab) {
    buildCdm();
    dbg().cells = true;
    startCell(1, 1);
    startCell(2, 1);
    kv::RowInfo withCO2;
    withCO2.withCO2 = true;
    rows_.set(3, withCO2);
    acq_->cells.MapCellToRow(3, 3);
    startCell(4, 1);
    acq_->cells.SuspendCell(4, false, true);
    acq_->cells.update(2, [](TCell& c) {
        c.LFFactor = 2.0;
        c.LFOffset = 10.0;
    });

    ASSERT_TRUE(runCycle());
    std::vector<int> first = {muxst_Wait};
    first.insert(first.end(), kCellWalk.begin(), kCellWalk.end());
    EXPECT_EQ(walkOf(1), first);
    EXPECT_EQ(walkOf(2), kCellWalk);
    EXPECT_EQ(walkOf(3), kCellWalk);  // assigned, not started: measured
    EXPECT_EQ(walkOf(4), std::vector<int>{muxst_SetMUX});
    EXPECT_EQ(cdmMeter_->samples(), 3);
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);
    EXPECT_EQ(absorbers_->overlaps(), 0);

    auto given = readings_->given();
    ASSERT_EQ(given.size(), 3u);
    EXPECT_NEAR(cell(1).cdm_LF, given[0].lf, 6e-4);  // the display shows 4.999
    const double x = given[1].lf;
    EXPECT_NEAR(cell(2).cdm_LF, 2 * x / (1 - 10 * x / 1000), 3e-3);
    EXPECT_DOUBLE_EQ(cell(1).cdm_T, 20.0);
    // Running cells take their first reading as their start; an assigned cell does not.
    EXPECT_DOUBLE_EQ(cell(1).cdm_LF_0, cell(1).cdm_LF);
    EXPECT_NEAR(lf0Rows_.cellLF0(1, 1), cell(1).cdm_LF, 1e-12);
    EXPECT_LT(cell(3).cdm_LF_0, 0);
    EXPECT_EQ(cdm_.emptyReads, 1);  // every display reading ends with an empty read

    // A reading above the last one is not taken.
    const double last = cell(1).cdm_LF;
    readings_->push(last * 1.01);
    ASSERT_TRUE(runCycle());
    EXPECT_DOUBLE_EQ(cell(1).cdm_LF, last);
    EXPECT_NE(log().find("Setting LF of cell 1 from "), std::string::npos);
    EXPECT_NE(log().find(" due to LF_upIgnore"), std::string::npos);

    ASSERT_TRUE(runCycle());
    given = readings_->given();
    // The CO2 of the cell is what its absorber took up between the first and the last
    // reading (readings shown with three decimals).
    ASSERT_EQ(given.size(), 9u);
    const double truth = (given[0].lf - given[6].lf) * kvtest::kLF2CO2;
    EXPECT_GT(truth, 0.2);
    EXPECT_NEAR(acq_->cells.CO2Produced(1), truth, 0.015);
}

// A CDM that falls silent is reported lost in the third display reading without data,
// reinitialised until it answers, reported back and measures again.
TEST_F(CdmCycle, LostAndEstablishedAgain) {
    cfg_.CDM_maxEmptyReads = 3;
    cfg_.CDM_ReadDisplay_Retries = 1;
    buildCdm();
    startCell(1, 1);
    ASSERT_TRUE(runCycle());
    ASSERT_EQ(cdm_.emptyReads, 1);

    cdmMeter_->setFault(MeterFault::Silent);
    clearStates();
    ASSERT_TRUE(tickUntil([&] { return !cdm_.Online.load(); }, 3000));
    int readings = 0;
    for (auto [c, s] : states()) readings += s == muxst_ReadData;
    EXPECT_EQ(readings, 3);
    EXPECT_TRUE(hasMessage("Connection to CDM-Device lost !"));
    clearStates();
    tick();
    EXPECT_EQ(walkOf(1), std::vector<int>{muxst_RequestReConnect});
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);

    // The device check closes the port of a lost CDM; the reconnect opens it again.
    cdmCycle_->deviceCheck();
    EXPECT_EQ(cdm_.hWinSIO.load(), kInvalidHCOM);
    EXPECT_FALSE(cdm_.ReportedOnline.load());
    clearStates();
    for (int i = 0; i < 6; ++i) tick();
    EXPECT_NE(cdm_.hWinSIO.load(), kInvalidHCOM);
    EXPECT_EQ(walkOf(1), (std::vector<int>{muxst_TestReConnect, muxst_RequestReConnect,
                                           muxst_TestReConnect, muxst_RequestReConnect,
                                           muxst_TestReConnect, muxst_RequestReConnect}));
    EXPECT_FALSE(hasMessage("established again"));

    cdmMeter_->setFault(MeterFault::None);
    const int samples = cdmMeter_->samples();
    ASSERT_TRUE(tickUntil([&] { return cdmMeter_->samples() > samples; }, 50));
    EXPECT_TRUE(cdm_.Online.load());
    EXPECT_TRUE(hasMessage("Connection to CDM-Device established again !"));
    ASSERT_TRUE(runCycle());
    EXPECT_GT(cell(1).cdm_LF, 4.0);
    EXPECT_EQ(cdm_.emptyReads, 1);
}

// Unreadable displays are retried and then given up for the cycle; a forced new cycle
// switches the relay of the cell in the middle of its measurement off and starts at cell 1.
TEST_F(CdmCycle, BadDisplaysAndForcedCycle) {
    cfg_.CDM_ReadDisplay_Retries = 2;
    buildCdm();
    startCell(1, 1);
    startCell(2, 1);
    for (MeterFault f : {MeterFault::Garbage, MeterFault::Echo}) {
        cdmMeter_->setFault(f);
        clearStates();
        ASSERT_TRUE(runCycle());
        const std::vector<int> w = walkOf(1);
        // Read display, read data: three times for cell 1, then on to cell 2.
        EXPECT_EQ(std::count(w.begin(), w.end(), muxst_ReadData), 3);
        EXPECT_EQ(walkOf(2).front(), muxst_SetMUX);
        EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);
    }
    EXPECT_TRUE(cdm_.Online.load());  // it does answer, just nonsense
    cdmMeter_->setFault(MeterFault::None);

    ASSERT_TRUE(tickUntil([&] { return mux_.NextState == muxst_ReadDisplay; }));
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 1);
    cdmCycle_->forceNewCycle();
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);
    EXPECT_EQ(mux_.NextState.load(), muxst_Wait);
    EXPECT_EQ(mux_.muxCell.load(), 1);
    EXPECT_NE(log().find("FORCE NEW CDM CYCLE"), std::string::npos);
    ASSERT_TRUE(runCycle());
    EXPECT_EQ(absorbers_->overlaps(), 0);

    // A row start while a tick runs does not wait for it (it may hold the rows' lock that
    // the tick needs): the tick resets the cycle when it ends.
    ASSERT_TRUE(tickUntil([&] { return mux_.NextState == muxst_ReadDisplay; }));
    cdmCycle_->setStateObserver(
        [&](int, int) { std::thread([&] { cdmCycle_->forceNewCycle(); }).join(); });
    tick();
    cdmCycle_->setStateObserver(nullptr);
    EXPECT_EQ(mux_.NextState.load(), muxst_Wait);
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);

    // Row starts from the window thread while the timer thread ticks.
    std::thread timer([&] {
        for (int i = 0; i < 300; ++i) tick(false);
    });
    for (int i = 0; i < 30; ++i) {
        cdmCycle_->forceNewCycle();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    timer.join();
    ASSERT_TRUE(runCycle());
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);
}

}  // namespace
