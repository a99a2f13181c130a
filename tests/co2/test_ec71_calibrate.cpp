// Calibration of a cell's electrode with the virtual EC71 meter.

#include <gtest/gtest.h>

#include <deque>

#include "co2/ec71_calibrate.h"
#include "co2_cycle_fixture.h"

using namespace kv;
using kv::sim::MeterFault;
using Outcome = kv::EC71CalibrationResult::Outcome;

namespace {

// Answers the questions from a list (Yes when it runs out) and keeps what it was shown.
class ScriptedUi : public CalibrationUi {
  public:
    std::deque<bool> answers;
    std::vector<std::string> questions, statuses, boxes;
    int cancelAfterPolls = -1;

    bool ask(const std::string& q) override {
        questions.push_back(q);
        if (answers.empty()) return true;
        const bool a = answers.front();
        answers.pop_front();
        return a;
    }
    void status(const std::string& text, StatusColor) override { statuses.push_back(text); }
    bool cancelled() override { return cancelAfterPolls >= 0 && polls_++ >= cancelAfterPolls; }
    void errorBox(const std::string& text) override { boxes.push_back(text); }

  private:
    int polls_ = 0;
};

class EC71Calibrate : public kvtest::Co2CycleTest {
  protected:
    EC71CalibrationResult calibrate(int cell, ScriptedUi& ui, IniFile* ini = nullptr) {
        return EC71_CalibrateCell(cell, cfg_, meterPtrs_, *relays_, calibration_, ui, ini);
    }
};

// One point: the question, the frames, the values the meter reports stored for the cell
// and written to the calibration section, all relays off; the next measurement of the cell
// hands the new values back to the meter.
TEST_F(EC71Calibrate, OnePointStoredAndUsedByTheCycle) {
    buildEC71();
    IniFile ini(dir_.file("Kelvora.Ini"));
    ScriptedUi ui;
    const EC71CalibrationResult r = calibrate(3, ui, &ini);
    EXPECT_EQ(r.outcome, Outcome::Finished);
    EXPECT_EQ(r.rc, 0);
    ASSERT_EQ(ui.questions.size(), 1u);
    EXPECT_EQ(ui.questions[0],
              "Perform Calibration for Cell 3 ?\nCalibration ready for 12.88 mS/cm ?");
    EXPECT_EQ(ui.statuses.front(), "Calibrate cell# 3: ");
    EXPECT_TRUE(ui.boxes.empty());

    const TCalibration p = calibration_.get(3).Calibration[0];
    EXPECT_NEAR(p.mesura, 12.88 * 1.002, 1e-3);
    EXPECT_EQ(p.mesuraSI, "mS/cm");
    EXPECT_NEAR(p.temp, 20.0, 1e-9);
    EXPECT_NEAR(p.m, 1.002, 1e-12);
    EXPECT_NEAR(p.b, 0.01, 1e-12);
    EXPECT_TRUE(isNoValue(calibration_.get(2).Calibration[0].mesura));
    EXPECT_EQ(ini.readRaw(kSecEC71CalibrationData, "C3-1", ""),
              "C;20;s;30;mS/cm;12.906;%;1.2;1.002;0.01");

    const auto lines = ec71Meter_->received();
    for (const char* tag : {"<iC/>", "<sK n1='12.88'", "<pC/>", "<sA/>", "<cF/>"})
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(tag) != std::string::npos;
        })) << tag;
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);

    startCell(3, 1);
    ASSERT_TRUE(runCycle());
    const auto after = ec71Meter_->received();
    EXPECT_TRUE(std::any_of(after.begin(), after.end(), [](const std::string& l) {
        return l.find("<cb nu='1' me='12.906' meSI='mS/cm'") != std::string::npos;
    }));
}

// Two points: a No to the second standard aborts; a silent meter times out after 200 s;
// the cancel button ends the waits. Every way out leaves the relays off.
TEST_F(EC71Calibrate, AbortTimeoutAndCancel) {
    cfg_.EC71_NrOfCalibrationPoints = 2;
    buildEC71(1, [] {
        kv::sim::EC71MeterOptions o;
        o.calibrationPoints = 2;
        return o;
    }());
    ScriptedUi no;
    no.answers = {true, true, false};
    EC71CalibrationResult r = calibrate(2, no);
    EXPECT_EQ(r.outcome, Outcome::Aborted);
    ASSERT_EQ(no.questions.size(), 3u);
    EXPECT_EQ(no.questions[0], "Perform Calibration for Cell 2 ?");
    EXPECT_EQ(no.questions[2], "Calibration ready for 111.8 mS/cm ?");
    EXPECT_EQ(no.statuses.back(), "Calibration aborted.");
    EXPECT_FALSE(r.stored);
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);

    ScriptedUi declined;
    declined.answers = {false};
    EXPECT_EQ(calibrate(2, declined).outcome, Outcome::Declined);

    ScriptedUi yes;
    EXPECT_EQ(calibrate(2, yes).outcome, Outcome::Finished);
    EXPECT_TRUE(calibrate(2, yes).stored);

    ec71Meter_->setFault(MeterFault::Silent);
    ScriptedUi waits;
    const TDateTime start = clock_.now();
    r = calibrate(2, waits);
    EXPECT_EQ(r.outcome, Outcome::Timeout);
    EXPECT_GE((clock_.now() - start) / kSecond, 200);
    EXPECT_NE(r.rc, 0);
    ASSERT_EQ(waits.boxes.size(), 1u);
    EXPECT_EQ(waits.boxes[0], "Timeout during Calibration");
    EXPECT_EQ(waits.statuses.back(), "Calibration aborted due to Timeout waiting for Frame <oC>");
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);

    ScriptedUi cancel;
    cancel.cancelAfterPolls = 3;
    EXPECT_EQ(calibrate(2, cancel).outcome, Outcome::Cancelled);
    EXPECT_EQ(cancel.statuses.back(), "Calibration aborted.");
    EXPECT_EQ(lab_->co2Device("KLV30001")->relayMask(), 0);

    ScriptedUi none;
    EXPECT_EQ(calibrate(9, none).outcome, Outcome::NoMeter);  // beyond the 6 cells
}

}  // namespace
