// The EC71 measuring cycle in virtual time against the virtual meter and the lab.

#include <gtest/gtest.h>

#include <cmath>

#include "co2_cycle_fixture.h"

using namespace kv;
using kv::sim::MeterFault;
using kvtest::Co2CycleTest;
using kvtest::kEC71Com;

namespace {

const std::vector<int> kMeasureWalk = {muxst_SetMUX,
                                       muxst_SendCalibrationData_Preamble,
                                       muxst_SendCalibrationData_cal1,
                                       muxst_SendCalibrationData_cal2,
                                       muxst_SendCalibrationData_Postamble,
                                       muxst_SendMeasureData,
                                       muxst_PrepareForMeasure,
                                       muxst_GetDeviceReadySignal,
                                       muxst_StartSample,
                                       muxst_ReadData,
                                       muxst_SampleFinished};

int count(const std::vector<std::string>& lines, const std::string& what) {
    int n = 0;
    for (const auto& l : lines) n += l.find(what) != std::string::npos;
    return n;
}

class EC71Cycle : public Co2CycleTest {};

// Three cycles over a lab with two CO2 cells, a cell of a row without CO2, a cell with its
// CO2 suspended and two free cells: the walk per cell, what the meter receives, the stored
// conductivities against the absorbers, LF_0 from the start values, and the CO2 values
// against the lab's ground truth.
TEST_F(EC71Cycle, MeasuresTheCO2CellsAndFollowsTheLab) {
    buildEC71();
    startCell(1, 1);
    startCell(2, 1);
    startCell(3, 2, false);
    startCell(4, 1);
    acq_->cells.SuspendCell(4, false, true);
    ASSERT_EQ(cell(4).State, CellState::cs_SuspendedCO2);

    ASSERT_TRUE(runCycle());  // from the start: state 0, then the first cycle
    std::vector<int> expected = {muxst_Wait};
    expected.insert(expected.end(), kMeasureWalk.begin(), kMeasureWalk.end());
    EXPECT_EQ(walkOf(1), expected);
    EXPECT_EQ(walkOf(2), kMeasureWalk);
    EXPECT_EQ(walkOf(3), std::vector<int>{muxst_SetMUX});
    EXPECT_EQ(walkOf(4), std::vector<int>{muxst_SetMUX});
    EXPECT_EQ(ec71Meter_->measurements(), 2);
    const auto lines = ec71Meter_->received();
    EXPECT_EQ(count(lines, "<sC ce='1'>"), 1);
    EXPECT_EQ(count(lines, "<sM ce='2'/>"), 1);
    EXPECT_EQ(count(lines, "<sT/>"), 2);
    EXPECT_EQ(count(lines, "<fM/>"), 2);
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);
    EXPECT_EQ(absorbers_->overlaps(), 0);

    // Each stored value is what the meter read from the absorber of that very cell.
    auto given = readings_->given();
    ASSERT_EQ(given.size(), 2u);
    EXPECT_NEAR(cell(1).cdm_LF, given[0].lf, 1e-4);
    EXPECT_NEAR(cell(2).cdm_LF, given[1].lf, 1e-4);
    EXPECT_DOUBLE_EQ(cell(1).cdm_T, 20.0);
    EXPECT_LT(cell(1).cdm_LF, 5.0);  // the sample has produced CO2 already
    EXPECT_EQ(cell(1).nStartValues, 1);
    EXPECT_LT(cell(1).cdm_LF_0, 0);
    EXPECT_TRUE(mux_.newCO2Value.load());

    const double co2AtFirst = absorbers_->co2Mg(0, 1);
    ASSERT_TRUE(runCycle());
    ASSERT_TRUE(runCycle());
    given = readings_->given();
    ASSERT_EQ(given.size(), 6u);
    // LF_0: the largest of three close start values is the first.
    EXPECT_NEAR(cell(1).cdm_LF_0, given[0].lf, 1e-4);
    EXPECT_NEAR(cell(2).cdm_LF_0, given[1].lf, 1e-4);
    EXPECT_NEAR(lf0Rows_.cellLF0(1, 1), cell(1).cdm_LF_0, 1e-12);
    // The row keeps the value of its later cell (held to 1 % above the earlier one).
    EXPECT_NEAR(lf0Rows_.lastLF0(1), cell(2).cdm_LF_0, 1e-12);
    EXPECT_NEAR(cell(1).cdm_LF, given[4].lf, 1e-4);
    // The cell's CO2 is the CO2 its absorber took up since the first reading.
    const double truth = absorbers_->co2Mg(0, 1) - co2AtFirst;
    EXPECT_GT(truth, 0.1);
    EXPECT_NEAR(acq_->cells.CO2Produced(1), truth, 0.02 * truth + 0.005);
    EXPECT_EQ(absorbers_->overlaps(), 0);
}

// A meter that refuses a line, and a meter that falls silent, go through close, reopen and
// reinitialisation and are measuring again afterwards.
TEST_F(EC71Cycle, NakAndSilenceLeadThroughReconnect) {
    buildEC71();
    startCell(1, 1);
    startCell(2, 1);
    ASSERT_TRUE(tickUntil([&] { return mux_.NextState == muxst_SendCalibrationData_cal1; }));
    ec71Meter_->nakNextLines(1);
    clearStates();
    ASSERT_TRUE(runCycle());
    const std::vector<int> w = walkOf(1);
    auto at = std::find(w.begin(), w.end(), muxst_RequestReConnect);
    ASSERT_NE(at, w.end());
    ASSERT_GE(w.end() - at, 4);
    EXPECT_EQ(*(at + 1), muxst_RequestReConnect_ReOpen);
    EXPECT_EQ(*(at + 2), muxst_ReInit);
    EXPECT_EQ(*(at + 3), muxst_SetMUX);
    EXPECT_EQ(w.back(), muxst_SampleFinished);
    EXPECT_TRUE(meters_[0]->Online.load());
    EXPECT_TRUE(mux_.gl_EC71_Restart.load());
    EXPECT_EQ(ec71Meter_->measurements(), 2);
    EXPECT_GT(cell(1).cdm_LF, 0);
    // The reinitialisation told the meter the serial number and the cell once more.
    EXPECT_GE(count(ec71Meter_->received(), "<cS ns='S0001'"), 1);

    // Silence: eight failed frames take the meter offline, the reconnect's initialisation
    // fails and is retried a minute later; when the meter speaks again, all is well.
    ec71Meter_->setFault(MeterFault::Silent);
    clearStates();
    ASSERT_TRUE(tickUntil([&] { return meters_[0]->OfflineCount.load() >= 1; }, 400));
    EXPECT_FALSE(meters_[0]->Online.load());
    EXPECT_EQ(meters_[0]->StatusText(), "... initialize failed");
    EXPECT_EQ(mux_.NextState.load(), muxst_RequestReConnect);
    const double due = (mux_.NextActivate.load() - clock_.now()) / kSecond;
    EXPECT_NEAR(due, 60, 1);
    ec71Meter_->setFault(MeterFault::None);
    const int before = ec71Meter_->measurements();
    ASSERT_TRUE(tickUntil([&] { return ec71Meter_->measurements() > before; }, 400));
    EXPECT_TRUE(meters_[0]->Online.load());
    EXPECT_EQ(meters_[0]->StatusText(), "");
    ASSERT_TRUE(runCycle());
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);
    EXPECT_EQ(absorbers_->overlaps(), 0);
}

// No-rise correction, dive rejection, the smallest accepted value and the retries of a
// cell without a usable reading, with readings the test chooses.
TEST_F(EC71Cycle, CorrectionsAndImplausibleReadings) {
    cfg_.EC71_correctLFValues = true;
    cfg_.EC71_DeepDiveFactor = 0.05;
    buildEC71();
    cfg_.EC71_Loop_Duration = 120;  // readings two minutes apart
    cfg_.EC71_setMUX_Start_Delay = 0;
    cfg_.EC71_NrStartValues = 2;
    startCell(1, 1);
    for (double v : {2.40, 2.40, 2.50, 2.20, 2.35}) readings_->push(v);
    std::vector<double> stored;
    for (int c = 0; c < 5; ++c) {
        ASSERT_TRUE(runCycle());
        stored.push_back(cell(1).cdm_LF);
    }
    EXPECT_NEAR(cell(1).cdm_LF_0, 2.40, 1e-9);
    EXPECT_NEAR(stored[2], 2.40, 1e-9);  // a rise is not taken
    EXPECT_NEAR(stored[3], 2.40, 1e-9);  // -0.1 per minute: a dive
    EXPECT_NEAR(stored[4], 2.35, 1e-9);  // -0.025 per minute: kept
    EXPECT_NEAR(cell(1).Gradients[size_t(cell(1).nStartValues)], -0.025, 0.002);
    const std::string lg = log();
    EXPECT_NE(lg.find("LF-Correction: mux_LF / lastLF = 2.5 / 2.4"), std::string::npos);
    EXPECT_NE(lg.find("LF-Correction (DeepDive): mux_LF / lastLF = 2.2 / 2.4"), std::string::npos);

    // 0.05 is below EC71_minLFValueAccepted: the cell is measured again from its
    // calibration data, and after EC71_maxRetryCell repetitions left without a value.
    cfg_.EC71_maxRetryCell = 2;
    for (int i = 0; i < 3; ++i) readings_->push(0.05);
    clearStates();
    const int before = ec71Meter_->measurements();
    ASSERT_TRUE(runCycle());
    EXPECT_EQ(ec71Meter_->measurements() - before, 3);
    EXPECT_NEAR(cell(1).cdm_LF, 2.35, 1e-9);
    EXPECT_TRUE(mux_.IgnoreFlag.load());
    const std::vector<int> w = walkOf(1);
    EXPECT_EQ(std::count(w.begin(), w.end(), muxst_SendCalibrationData_Preamble), 3);
    // Past the limit the cycle moves to the next cell at once, with a fresh count.
    EXPECT_EQ(w.back(), muxst_ReadData);
    EXPECT_EQ(walkOf(2), std::vector<int>{muxst_SetMUX});
    EXPECT_EQ(mux_.CellRetryCount.load(), 0);
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);
    // The next good reading clears the flag again.
    readings_->push(2.30);
    ASSERT_TRUE(runCycle());
    EXPECT_NEAR(cell(1).cdm_LF, 2.30, 1e-9);
    EXPECT_FALSE(mux_.IgnoreFlag.load());
}

// Two meters with ranges that leave cells 5 and 6 out: they are reported when the
// configuration is loaded and skipped by the cycle; cell 4 is measured by meter 2.
TEST_F(EC71Cycle, CellsOutsideEveryRangeAreRefusedAndSkipped) {
    cfg_.ec71Meters[1] = {true, {kEC71Com + 2, 9600, 0, 8, 1}, 4, 4};
    buildEC71(2);
    meters_[0]->CellFrom = 1;
    meters_[0]->CellTo = 3;
    meters_[0]->CellRangeText = "1-3";
    EXPECT_EQ(EC71_CheckCellRanges(cfg_, meterPtrs_, cfg_.firstCell), (std::vector<int>{5, 6}));
    EXPECT_TRUE(hasMessage("Cell 5 lies in no EC71 cell range"));
    EXPECT_TRUE(hasMessage("Cell 6 lies in no EC71 cell range"));
    EXPECT_EQ(ec71Cycle_->meterForCell(2), 1);
    EXPECT_EQ(ec71Cycle_->meterForCell(4), 2);
    EXPECT_EQ(ec71Cycle_->meterForCell(5), 0);

    startCell(2, 1);
    startCell(4, 1);
    startCell(5, 1);
    ASSERT_TRUE(runCycle());
    EXPECT_EQ(ec71Meter_->measurements(), 1);
    EXPECT_EQ(ec71Meter2_->measurements(), 1);
    EXPECT_EQ(ec71Meter2_->cell(), 4);
    EXPECT_EQ(walkOf(5), std::vector<int>{muxst_SetMUX});
    EXPECT_GT(cell(4).cdm_LF, 0);
    EXPECT_LT(cell(5).cdm_LF, 0);
}

// A meter that answers with noise or echoes every byte never crashes a tick nor holds it;
// the cycle keeps reconnecting and measures again once the meter is well.
TEST_F(EC71Cycle, GarbageAndEchoNeverStopTheCycle) {
    buildEC71();
    startCell(1, 1);
    for (MeterFault f : {MeterFault::Garbage, MeterFault::Echo, MeterFault::NakThenAck}) {
        ec71Meter_->setFault(f);
        const TDateTime start = clock_.now();
        for (int i = 0; i < 150; ++i) tick();
        // Ticks run and virtual time moves on: nothing hangs in a loop of its own.
        EXPECT_GT(clock_.now() - start, 30 * kSecond);
        EXPECT_LT(mux_.cntReadData.load(), cfg_.EC71_maxReadData + 2);
    }
    ec71Meter_->setFault(MeterFault::None);
    const int before = ec71Meter_->measurements();
    ASSERT_TRUE(tickUntil([&] { return ec71Meter_->measurements() > before; }, 800));
    ASSERT_TRUE(runCycle());
    EXPECT_GT(cell(1).cdm_LF, 0.1);
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);
}

// The periodic restart closes, reopens and reinitialises the meter when its time has come.
TEST_F(EC71Cycle, PeriodicReopen) {
    cfg_.EC71_COM_ReOpen_sec = 3600;
    buildEC71();
    startCell(1, 1);
    const TDateTime opened = meters_[0]->OpenTime.load();
    ASSERT_TRUE(runCycle());
    clearStates();
    clock_.set(opened + 3601 * kSecond);
    ASSERT_TRUE(tickUntil([&] { return meters_[0]->OpenTime.load() > opened + 3600 * kSecond; }));
    ASSERT_TRUE(tickUntil([&] { return mux_.NextState == muxst_SetMUX; }, 50));
    const std::vector<int> w = walkOf(1);
    EXPECT_NE(std::find(w.begin(), w.end(), muxst_RequestReConnect_ReOpen), w.end());
    EXPECT_TRUE(meters_[0]->Online.load());
}

}  // namespace
