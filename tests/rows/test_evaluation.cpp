// ThOD from formulas against independently worked figures, and the 301F and AT4
// evaluations on hand-made curves (every verdict and validity check, met and not met).

#include <gtest/gtest.h>

#include <cmath>

#include "rows/evaluation.h"
#include "rows/thod.h"

namespace {

using kv::CheckStatus;
using kv::EvalCell;
using kv::EvalInput;
using kv::Verdict;

TEST(Thod, MatchesIndependentFigures) {
    struct Case {
        const char* formula;
        bool no3;
        double expected;
    };
    // Worked by hand with C 12.011, H 1.008, N 14.007, O 15.999, Na 22.990.
    const Case cases[] = {
        {"C7H5NaO2", false, 1.665},
        {"C6H7N", false, 2.405},
        {"C6H7N", true, 3.092},
        {"C2H3NaO2", false, 0.780},
        {"C2H3NaO2\xC2\xB7"
         "3H2O",
         false, 0.470},
        {"C2H3NaO2.3H2O", false, 0.470},
        {"C6H12O6", false, 1.066},
        {"C6H12O6", true, 1.066},
    };
    for (const Case& c : cases) {
        std::string err;
        const double v = kv::thod(c.formula, c.no3, &err);
        EXPECT_NEAR(v, c.expected, 0.002) << c.formula << (c.no3 ? " NO3" : " NH4") << err;
    }
    const kv::Thod benzoate = kv::thodOfFormula("C7H5NaO2");
    ASSERT_TRUE(benzoate.ok);
    EXPECT_NEAR(benzoate.molarMass, 144.105, 0.01);
}

TEST(Thod, HalogensSulphurPhosphorusPotassiumAndGroups) {
    // Ammonium sulphate: no carbon; with nitrification 2 N to nitrate and S to sulphate.
    const kv::Thod as = kv::thodOfFormula("(NH4)2SO4");
    ASSERT_TRUE(as.ok) << as.error;
    EXPECT_NEAR(as.molarMass, 132.13, 0.02);
    // NH4: 16*(3 + 0.5*(8-6) - 4)/132.13 = 0; NO3: 16*(3 + 4 + 5 - 4)/132.13
    EXPECT_NEAR(as.nh4, 0.0, 1e-9);
    EXPECT_NEAR(as.no3, 16.0 * 8 / 132.134, 0.002);
    // Chlorobenzene C6H5Cl: 16*(12 + 0.5*(5-1))/112.55 = 1.990
    EXPECT_NEAR(kv::thod("C6H5Cl", false), 16.0 * 14 / 112.556, 0.002);
    // Potassium and sodium hydrogen phthalate count alike.
    const double k = kv::thod("C8H5KO4", false), na = kv::thod("C8H5NaO4", false);
    EXPECT_NEAR(k * 204.22, na * 188.11, 0.05);
    // Phosphorus: 5/2 per atom; blanks are ignored.
    EXPECT_NEAR(kv::thod("C H4 ", false), 16.0 * 4 / 16.043, 0.002);
    EXPECT_GT(kv::thod("C2H7O4P", false), 0.0);
}

TEST(Thod, UnreadableFormulasNameThePosition) {
    const struct {
        const char* formula;
        const char* message;
    } bad[] = {
        {"", "empty"},
        {"C6Xy6", "unknown element 'Xy' at position 3"},
        {"Co", "unknown element 'Co' at position 1"},
        {"C6H12O6)", "unexpected ')' at position 8"},
        {"(NH4", "')' expected at position 5"},
        {"c6h6", "position 1"},
        {"C2H3NaO2\xC2\xB7", "missing after the separator at position 10"},
        {"C0H2", "above 0 at position 3"},
    };
    for (const auto& b : bad) {
        const kv::Thod t = kv::thodOfFormula(b.formula);
        EXPECT_FALSE(t.ok) << b.formula;
        EXPECT_NE(t.error.find(b.message), std::string::npos) << b.formula << ": " << t.error;
        EXPECT_TRUE(kv::isNoValue(kv::thod(b.formula, false)));
    }
    EXPECT_FALSE(kv::thodOfFormula(std::string(300, 'C')).ok);
}

// --- 301F on hand-made curves --------------------------------------------------------------

// A daily series (days 0..lastDay) with a blank at `blank` mg/l and cells whose degradation
// follows the given points (linear between them); P(TC) 100 mg/l, B(Th1) 2.
class F301 : public ::testing::Test {
  protected:
    static constexpr double kPtc = 100, kBth1 = 2;

    void days(int lastDay) {
        in_.days.clear();
        for (int d = 0; d <= lastDay; ++d) in_.days.push_back(d);
        in_.finished = true;
    }
    static double curveAt(const std::vector<std::pair<double, double>>& pts, double d) {
        if (d <= pts.front().first)
            return pts.front().second * d / std::max(pts.front().first, 1e-9);
        for (size_t k = 1; k < pts.size(); ++k)
            if (d <= pts[k].first) {
                const auto [d0, v0] = pts[k - 1];
                const auto [d1, v1] = pts[k];
                return v0 + (v1 - v0) * (d - d0) / (d1 - d0);
            }
        return pts.back().second;
    }
    EvalCell& cell(int mode, double index, double blankPerDay = 1.0) {
        EvalCell c;
        c.displayNr = static_cast<int>(in_.cells.size()) + 1;
        c.mode = mode;
        c.index = index;
        c.ptc = kPtc;
        c.bth1 = kBth1;
        for (double d : in_.days) c.bod.push_back(blankPerDay * d);
        in_.cells.push_back(c);
        return in_.cells.back();
    }
    // The blank; the test cells are built on the uptake of the last one.
    void blank(double perDay = 1.0) {
        cell(kv::kCellModeBlind, kv::NoValueReal, perDay);
        base_ = perDay;
    }
    // A cell degrading along pts (day, %), on top of the blank's uptake.
    EvalCell& degrading(int mode, double index, std::vector<std::pair<double, double>> pts,
                        double offset = 0) {
        EvalCell& c = cell(mode, index, base_);
        for (size_t i = 0; i < in_.days.size(); ++i)
            c.bod[i] += (curveAt(pts, in_.days[i]) + offset) / 100.0 * kPtc * kBth1;
        return c;
    }
    const kv::EvalCheck& check(const kv::F301Evaluation& e, const std::string& begins) {
        for (const auto& c : e.checks)
            if (c.name.rfind(begins, 0) == 0) return c;
        ADD_FAILURE() << "no check " << begins;
        return e.checks.front();
    }

    EvalInput in_;
    double base_ = 1.0;
};

TEST_F(F301, WindowPassedIsReadilyBiodegradable) {
    days(28);
    blank();
    degrading(kv::kCellModeCheck, 1, {{2, 5}, {3, 13}, {13, 65}, {28, 80}});
    const auto e = kv::evaluate301F(in_);
    ASSERT_TRUE(e.ok) << e.error;
    ASSERT_EQ(e.groups.size(), 1u);
    const auto& g = e.groups[0];
    EXPECT_DOUBLE_EQ(g.day10, 3);
    EXPECT_DOUBLE_EQ(g.windowEnd, 13);
    EXPECT_DOUBLE_EQ(g.day60, 13);
    EXPECT_EQ(g.verdict, Verdict::Readily) << g.reason;
    EXPECT_EQ(g.verdictText, "readily biodegradable");
    EXPECT_NEAR(g.mean[13], 65, 1e-9);
}

TEST_F(F301, WindowFailedThoughSixtyByDay28) {
    days(28);
    blank();
    degrading(kv::kCellModeCheck, 1, {{6, 8}, {7, 10}, {17, 45}, {28, 74}});
    const auto e = kv::evaluate301F(in_);
    const auto& g = e.groups.at(0);
    EXPECT_DOUBLE_EQ(g.day10, 7);
    EXPECT_EQ(g.verdict, Verdict::NotReadily);
    EXPECT_NE(g.reason.find("window failed"), std::string::npos) << g.reason;
    EXPECT_NE(g.reason.find("45.0 % at its end"), std::string::npos) << g.reason;
    EXPECT_NE(g.reason.find("60 % reached by day 28"), std::string::npos) << g.reason;
    // Without the window criterion the same curve passes.
    in_.windowCriterion = false;
    const auto off = kv::evaluate301F(in_);
    EXPECT_EQ(off.groups.at(0).verdict, Verdict::Readily) << off.groups.at(0).reason;
}

TEST_F(F301, SixtyNeverReached) {
    days(28);
    blank();
    degrading(kv::kCellModeCheck, 1, {{5, 12}, {28, 52}});
    const auto e = kv::evaluate301F(in_);
    const auto& g = e.groups.at(0);
    EXPECT_EQ(g.verdict, Verdict::NotReadily);
    EXPECT_NE(g.reason.find("60 % not reached by day 28; highest 52.0 % on day 28"),
              std::string::npos)
        << g.reason;
    // A row still running at day 10 has no verdict yet; one ended at day 10 has.
    days(10);
    in_.cells.clear();
    blank();
    degrading(kv::kCellModeCheck, 1, {{5, 12}, {28, 52}});
    in_.finished = false;
    EXPECT_EQ(kv::evaluate301F(in_).groups.at(0).verdict, Verdict::Open);
    in_.finished = true;
    const auto ended = kv::evaluate301F(in_);
    EXPECT_EQ(ended.groups.at(0).verdict, Verdict::NotReadily);
    EXPECT_NE(ended.groups.at(0).reason.find("end of the test (day 10)"), std::string::npos);
}

TEST_F(F301, TwoGroupsByIndexAndBlankCorrection) {
    days(28);
    blank(1.0);
    blank(3.0);  // mean blank 2 mg/l per day
    base_ = 1.0;
    degrading(kv::kCellModeCheck, 1, {{2, 20}, {8, 70}});
    degrading(kv::kCellModeCheck, 2, {{20, 5}, {28, 30}});
    const auto e = kv::evaluate301F(in_);
    ASSERT_EQ(e.groups.size(), 2u);
    EXPECT_NEAR(e.blankMean[28], 56, 1e-9);
    // The check cells were built on a 1 mg/l/day blank: the mean blank of 2 takes 1/2 % a
    // day (1 mg/l of 200 mg/l ThOD) off their curves.
    EXPECT_NEAR(e.groups[0].mean[8], 70 - 8 * 0.5, 1e-9);
    EXPECT_EQ(e.groups[0].verdict, Verdict::Readily);
    EXPECT_EQ(e.groups[1].verdict, Verdict::NotReadily);
    EXPECT_EQ(e.groups[1].label, "Index 2");
}

TEST_F(F301, ValidityChecksMet) {
    days(28);
    blank(1.5);
    degrading(kv::kCellModeCheck, 1, {{3, 15}, {10, 70}, {28, 82}});
    degrading(kv::kCellModeCheck, 1, {{3, 15}, {10, 70}, {28, 82}}, 5);
    degrading(kv::kCellModeReference, kv::NoValueReal, {{2, 30}, {7, 75}});
    degrading(kv::kCellModeToxicity, kv::NoValueReal, {{4, 20}, {14, 40}});
    const auto e = kv::evaluate301F(in_);
    const auto& ref = check(e, "reference");
    EXPECT_EQ(ref.status, CheckStatus::Met) << ref.text;
    EXPECT_NEAR(ref.figure, 75, 1e-9);
    const auto& bl = check(e, "blank");
    EXPECT_EQ(bl.status, CheckStatus::Met);
    EXPECT_NEAR(bl.figure, 42, 1e-9);
    const auto& sp = check(e, "Index 1");
    EXPECT_EQ(sp.status, CheckStatus::Met) << sp.text;
    EXPECT_NEAR(sp.figure, 5, 1e-9);
    EXPECT_NE(sp.text.find("end of the window"), std::string::npos);
    // The mean (2.5 points above the first replicate) reached 10 % on day 2.
    EXPECT_DOUBLE_EQ(sp.day, 12);
    bool replicates = false;
    for (const auto& l : kv::evaluationLines(e))
        replicates |= l == "Index 1 replicates on day 28: cell 2 82.0 %, cell 3 87.0 %";
    EXPECT_TRUE(replicates);
    const auto& tox = check(e, "toxicity");
    EXPECT_EQ(tox.status, CheckStatus::Met);
    EXPECT_NEAR(tox.figure, 40, 1e-9);
}

TEST_F(F301, ValidityChecksNotMet) {
    days(28);
    blank(2.5);  // 70 mg/l at day 28
    degrading(kv::kCellModeCheck, 1, {{3, 15}, {10, 50}, {28, 60}});
    degrading(kv::kCellModeCheck, 1, {{3, 15}, {10, 50}, {28, 60}}, 25);
    degrading(kv::kCellModeReference, kv::NoValueReal, {{14, 55}, {28, 80}});
    degrading(kv::kCellModeToxicity, kv::NoValueReal, {{14, 20}, {28, 30}});
    const auto e = kv::evaluate301F(in_);
    EXPECT_EQ(check(e, "reference").status, CheckStatus::NotMet);
    EXPECT_NEAR(check(e, "reference").figure, 55, 1e-9);
    EXPECT_EQ(check(e, "blank").status, CheckStatus::NotMet);
    EXPECT_NEAR(check(e, "blank").figure, 70, 1e-9);
    EXPECT_EQ(check(e, "Index 1").status, CheckStatus::NotMet);
    EXPECT_NEAR(check(e, "Index 1").figure, 25, 1e-9);
    const auto& tox = check(e, "toxicity");
    EXPECT_EQ(tox.status, CheckStatus::NotMet);
    EXPECT_NE(tox.text.find("the test substance is inhibitory"), std::string::npos);
}

TEST_F(F301, ChecksNotApplicableAndOpen) {
    days(28);
    blank();
    degrading(kv::kCellModeCheck, 1, {{10, 5}, {28, 30}});
    auto e = kv::evaluate301F(in_);
    EXPECT_EQ(check(e, "reference").status, CheckStatus::NotApplicable);
    EXPECT_EQ(check(e, "toxicity").status, CheckStatus::NotApplicable);
    EXPECT_EQ(check(e, "Index 1").status, CheckStatus::NotApplicable);  // one replicate
    // On day 6 of a running row the checks of day 14 and 28 are still open.
    days(6);
    in_.finished = false;
    in_.cells.clear();
    blank();
    degrading(kv::kCellModeReference, kv::NoValueReal, {{14, 55}});
    degrading(kv::kCellModeToxicity, kv::NoValueReal, {{14, 20}});
    e = kv::evaluate301F(in_);
    EXPECT_EQ(check(e, "reference").status, CheckStatus::Open);
    EXPECT_EQ(check(e, "blank").status, CheckStatus::Open);
    EXPECT_EQ(check(e, "toxicity").status, CheckStatus::Open);
    // No blanks: no degradation, and the blank check is not applicable.
    in_.cells.erase(in_.cells.begin());
    e = kv::evaluate301F(in_);
    EXPECT_FALSE(e.ok);
    EXPECT_EQ(check(e, "blank").status, CheckStatus::NotApplicable);
}

TEST_F(F301, CancelledAndIncompleteCellsAreLeftOut) {
    days(28);
    blank();
    EvalCell& b = cell(kv::kCellModeBlind, kv::NoValueReal, 50);
    b.cancelled = true;
    degrading(kv::kCellModeCheck, 1, {{3, 15}, {10, 70}});
    EvalCell& noThod = degrading(kv::kCellModeCheck, 1, {{3, 15}, {10, 10}});
    noThod.bth1 = kv::NoValueReal;
    const auto e = kv::evaluate301F(in_);
    EXPECT_NEAR(e.blankMean[10], 10, 1e-9);
    EXPECT_NEAR(e.groups.at(0).mean[10], 70, 1e-9);
    EXPECT_EQ(e.groups.at(0).verdict, Verdict::Readily);
}

// --- AT4 ------------------------------------------------------------------------------------

// Hourly values of a sample that uses `lagRate` mg O2/(g·h) for `lag` hours and then
// `rate`; the table and the text name the same figures.
EvalInput at4Input(double lag, double lagRate, double rate, int hours) {
    EvalInput in;
    EvalCell c;
    c.displayNr = 1;
    c.mode = kv::kCellModeNormal;
    double v = 0;
    for (int h = 1; h <= hours; ++h) {
        v += h <= lag ? lagRate : rate;
        in.days.push_back(h / 24.0);
        c.o2PerDry.push_back(v);
    }
    in.cells.push_back(c);
    c.displayNr = 2;
    for (double& x : c.o2PerDry) x *= 1.1;
    in.cells.push_back(c);
    return in;
}

TEST(AT4, LagPhaseAndFourDaysAfterIt) {
    const auto in = at4Input(20, 0.05, 1.0, 140);
    const auto e = kv::evaluateAT4(in);
    ASSERT_TRUE(e.ok) << e.error;
    ASSERT_EQ(e.samples.size(), 2u);
    const auto& s = e.samples[0];
    ASSERT_TRUE(s.lagFound) << s.error;
    // The 3-hour rate reaches a quarter of the linear rate 0.75 h into the growth.
    EXPECT_NEAR(s.lagHours, 20.75, 0.26);
    EXPECT_NEAR(s.linearRate, 1.0, 1e-9);
    EXPECT_TRUE(s.complete);
    EXPECT_NEAR(s.at4, 96.0, 0.3);
    EXPECT_NEAR(e.samples[1].at4, 105.6, 0.4);
    EXPECT_NEAR(e.mean, (s.at4 + e.samples[1].at4) / 2, 1e-9);
    EXPECT_NEAR(e.relDeviation, 100.0 * 0.05 / 1.05, 0.05);
    EXPECT_NE(e.rule.find("3 h first reaches 25 %"), std::string::npos);
}

TEST(AT4, NotCompleteAndSettings) {
    auto in = at4Input(10, 0.0, 2.0, 60);
    auto e = kv::evaluateAT4(in);
    ASSERT_TRUE(e.samples.at(0).lagFound);
    EXPECT_FALSE(e.samples[0].complete);
    EXPECT_FALSE(e.complete);
    EXPECT_TRUE(kv::isNoValue(e.mean));
    EXPECT_NEAR(e.samples[0].hoursAfterLag, 60 - e.samples[0].lagHours, 1e-9);
    const auto lines = kv::evaluationLines(e);
    bool notComplete = false;
    for (const auto& l : lines) notComplete |= l.find("not complete") != std::string::npos;
    EXPECT_TRUE(notComplete);
    // A shorter linear part and a higher share move the end of the lag phase.
    in.lag.ratePercent = 90;
    e = kv::evaluateAT4(in);
    EXPECT_NEAR(e.samples.at(0).lagHours, 12.75, 0.26);
    EXPECT_NE(e.rule.find("reaches 90 %"), std::string::npos);
    // A flat curve never ends its lag phase.
    in = at4Input(200, 0.0, 0.0, 50);
    e = kv::evaluateAT4(in);
    EXPECT_FALSE(e.samples.at(0).lagFound);
    EXPECT_FALSE(e.samples[0].error.empty());
}

TEST(Evaluation, TableHoldsNumbersAsNumbers) {
    auto in = at4Input(20, 0.05, 1.0, 140);
    in.rowName = "Sludge";
    const auto t = kv::evaluationTable(in);
    bool found = false;
    for (const auto& r : t)
        if (!r.empty() && r[0].isNumber && r[0].number == 1) {
            found = true;
            ASSERT_GE(r.size(), 5u);
            EXPECT_TRUE(r[4].isNumber);
            EXPECT_NEAR(r[4].number, 96.0, 0.3);
        }
    EXPECT_TRUE(found);
}

}  // namespace
