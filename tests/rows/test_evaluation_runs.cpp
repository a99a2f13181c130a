// The evaluations on whole runs of the virtual lab in virtual time: the example lab
// descriptions' 28-day 301F set-up and their AT4 test, through the acquisition, the rows
// and their data files, with the verdicts and figures the descriptions make.

#include <gtest/gtest.h>

#include "rows/evaluation.h"
#include "rows/thod.h"
#include "rows_fixture.h"

namespace kvtest {
namespace {

using kv::kSecond;
using kv::TDateTime;

class EvaluationRunTest : public RowsFixture {
  protected:
    void startLab(const std::string& example) {
        std::string err;
        lab_ =
            kv::sim::Lab::fromFile(std::string(KELVORA_SOURCE_DIR) + "/examples/" + example, &err);
        ASSERT_TRUE(lab_) << err;
        // A tick every 30 s: the device queue holds the ten tacts between, which the tick
        // reads back, and four weeks take a fifteenth of the ticks (80,000; under the race
        // checker each costs a millisecond).
        cfg_.mmTimerInt = 30000;
        build(lab_->ports(), {device("KLVDEMO1", kv::DeviceType::Data, 1, 6),
                              device("KLVDEMO2", kv::DeviceType::Data, 7, 12),
                              device("KLVDEMO3", kv::DeviceType::Case)});
        nextTick_ = clock_.now();
    }
    void runUntil(TDateTime end) {
        while (clock_.now() < end) {
            nextTick_ += cfg_.mmTimerInt / 1000.0 * kSecond;
            if (clock_.now() < nextTick_) clock_.set(nextTick_);
            acq_->cycle.mmTimerCallback();
        }
    }
    struct CellDef {
        int mode;
        double index, ptc, bth1;
    };
    std::shared_ptr<kv::TRow> startRow(const std::string& name, const std::vector<CellDef>& defs,
                                       double days, int rowMode, double vol, double ts) {
        std::vector<int> nrs;
        for (size_t k = 0; k < defs.size(); ++k) nrs.push_back(static_cast<int>(k) + 1);
        auto r = newRow(name, nrs);
        auto lock = rows().lock();
        r->Tact = 3;
        r->Interval = 1;
        r->SIInterval = kv::TimeUnit::Hours;
        r->Duration = days;
        r->SIDuration = kv::TimeUnit::Days;
        r->RowMode = rowMode;
        for (size_t k = 0; k < defs.size(); ++k) {
            kv::RowCell& c = r->RowCells[k + 1];
            c.Mode = defs[k].mode;
            c.Index = defs[k].index;
            c.PTC = defs[k].ptc;
            c.BTH1 = defs[k].bth1;
            c.Vol = vol;
            c.TS = ts;
            c.RowMode = rowMode;
        }
        r->BuildSpecialCellTable();
        EXPECT_TRUE(r->StartDialogStartAll(false));
        return r;
    }
    static const kv::EvalCheck& check(const kv::F301Evaluation& e, const std::string& begins) {
        for (const auto& c : e.checks)
            if (c.name.rfind(begins, 0) == 0) return c;
        ADD_FAILURE() << "no check " << begins;
        return e.checks.front();
    }

    std::unique_ptr<kv::sim::Lab> lab_;
    TDateTime nextTick_ = 0;
};

TEST_F(EvaluationRunTest, Oecd301FOfTheExampleLabOverFourWeeks) {
    startLab("lab-301f.ini");
    const double none = kv::NoValueReal;
    const double benzoate = kv::thod("C7H5NaO2", false), aniline = kv::thod("C6H7N", false),
                 glucose = kv::thod("C6H12O6", false);
    const double mixture = (100 * aniline + 100 * benzoate) / 200;
    auto r = startRow("301F",
                      {{kv::kCellModeBlind, none, none, none},
                       {kv::kCellModeBlind, none, none, none},
                       {kv::kCellModeReference, none, 100, benzoate},
                       {kv::kCellModeReference, none, 100, benzoate},
                       {kv::kCellModeCheck, 1, 100, aniline},
                       {kv::kCellModeCheck, 1, 100, aniline},
                       {kv::kCellModeCheck, 2, 100, glucose},
                       {kv::kCellModeCheck, 2, 100, glucose},
                       {kv::kCellModeToxicity, none, 200, mixture}},
                      28, 0, 250, 0);
    const TDateTime start = r->Start, stop = r->Stop;

    // Day by day as the data grow: on day 4 the reference has passed, the test
    // substances have no verdict yet.
    runUntil(start + 4);
    auto e = kv::evaluate301F(kv::evaluationInput(*r));
    ASSERT_TRUE(e.ok) << e.error;
    EXPECT_EQ(check(e, "reference").status, kv::CheckStatus::Met);
    EXPECT_EQ(check(e, "blank").status, kv::CheckStatus::Open);
    ASSERT_EQ(e.groups.size(), 2u);
    EXPECT_EQ(e.groups[1].verdict, kv::Verdict::Open);

    runUntil(stop + 120 * kSecond);
    ASSERT_EQ(r->State, kv::RowState::Stopped);
    e = kv::evaluate301F(kv::evaluationInput(*r));
    ASSERT_TRUE(e.ok) << e.error;
    const auto& g1 = e.groups[0];
    const auto& g2 = e.groups[1];
    EXPECT_EQ(g1.verdict, kv::Verdict::Readily) << g1.reason;
    EXPECT_NEAR(g1.lastValue, 100.0 * 48 / (0.25 * 100 * aniline), 3);
    EXPECT_NEAR(g1.day60, 5.5, 1.0);
    EXPECT_EQ(g2.verdict, kv::Verdict::NotReadily) << g2.reason;
    EXPECT_NE(g2.reason.find("window failed"), std::string::npos) << g2.reason;
    EXPECT_NEAR(g2.day10, 7, 1.0);
    EXPECT_NEAR(g2.day60, 22, 1.5);
    EXPECT_NEAR(g2.lastValue, 100.0 * 20 / (0.25 * 100 * glucose), 3);
    const auto& ref = check(e, "reference");
    EXPECT_EQ(ref.status, kv::CheckStatus::Met) << ref.text;
    EXPECT_NEAR(e.reference.at(0).lastValue, 100.0 * 35 / (0.25 * 100 * benzoate), 3);
    const auto& blank = check(e, "blank");
    EXPECT_EQ(blank.status, kv::CheckStatus::Met);
    EXPECT_NEAR(blank.figure, 0.012 * 24 * 28 / 0.25, 2.5);
    EXPECT_EQ(check(e, "Index 1").status, kv::CheckStatus::Met);
    EXPECT_EQ(check(e, "Index 2").status, kv::CheckStatus::Met);
    const auto& tox = check(e, "toxicity");
    EXPECT_EQ(tox.status, kv::CheckStatus::Met) << tox.text;
    EXPECT_NEAR(tox.figure, 100.0 * 80 / (0.25 * 200 * mixture), 3);
}

TEST_F(EvaluationRunTest, At4OfTheExampleLab) {
    startLab("lab-at4.ini");
    const CellDef sample{kv::kCellModeNormal, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal};
    auto r = startRow("AT4", {sample, sample, sample, sample}, 5.5, 1, 20, 50);
    runUntil(r->Start + 3);
    auto e = kv::evaluateAT4(kv::evaluationInput(*r));
    ASSERT_TRUE(e.ok) << e.error;
    EXPECT_FALSE(e.complete);
    runUntil(r->Stop + 120 * kSecond);
    e = kv::evaluateAT4(kv::evaluationInput(*r));
    ASSERT_TRUE(e.ok) << e.error;
    ASSERT_EQ(e.samples.size(), 4u);
    // 24 h at 0.1 mg/h, then 4.1 mg/h: the rule ends the lag phase within the hour after.
    for (int k = 0; k < 3; ++k) {
        const auto& s = e.samples[static_cast<size_t>(k)];
        ASSERT_TRUE(s.complete) << s.error;
        EXPECT_NEAR(s.lagHours, 24.75, 0.75) << k;
        EXPECT_NEAR(s.at4, 4.1 * 96 / 10, 39.4 * 0.03) << k;
    }
    // The replayed curve: 30 h lag at 0.15 mg/h, then 3 mg/h.
    EXPECT_NEAR(e.samples[3].lagHours, 30.75, 0.75);
    EXPECT_NEAR(e.samples[3].at4, 3.0 * 96 / 10, 28.8 * 0.03);
    EXPECT_TRUE(e.complete);
    EXPECT_LT(e.relDeviation, 30);
}

}  // namespace
}  // namespace kvtest
