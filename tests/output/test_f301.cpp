#include <gtest/gtest.h>

#include "output/f301.h"
#include "output_fixture.h"

using namespace kv;
using kvtest::checkXlsx;
using kvtest::t;

namespace {

class F301Test : public kvtest::OutputFixture {
  protected:
    // Six cells, three time values; BOD = count x 2.5 mg/l (100 ml, tact 30).
    std::shared_ptr<TRow> testRow(bool co2) {
        auto r = row("B/301:F", 6);
        r->Comment = {"first", "second", "third"};
        r->Start = at(9, 0);
        r->Stop = at(9, 0) + 4;
        r->Duration = 4;
        r->SIDuration = kv::TimeUnit::Days;
        r->Interval = 1.5;
        r->SIInterval = kv::TimeUnit::Hours;
        r->withCO2 = co2;
        r->LF2CO2 = 1.023;  // raw 0..1023 -> 0..100 mS/cm -> x 1.023 mg
        for (int s = 1; s <= 6; ++s) r->RowCells[static_cast<size_t>(s)].aiCO2_start = 1000;
        add(*r, at(10, 30), {1, 2, 3, 4, 5, 6}, 215, {990, 990, 990, 990, 990, 990});
        add(*r, at(12, 0), {2, 4, 6, 8, 10, 12}, NoValueInt, {980, 980, 980, 980, 980, 980});
        add(*r, at(13, 30), {3, 6, 9, 12, 15, NoValueInt}, 220, {900, 900, 900, 900, 900, -1});
        return r;
    }
};

}  // namespace

TEST_F(F301Test, FillsConfigurationCellListAndRawData) {
    auto r = testRow(true);
    std::string file;
    ASSERT_EQ(Export301f(*r, &file), "");
    EXPECT_EQ(file, resultDir() + "/B_301_F_301f.xlsx");
    EXPECT_TRUE(hasMessage("Data [B/301:F] saved to " + file));

    const std::string cfg = "Test-Configuration", o2 = "O2-RawData", co2 = "CO2-RawData";
    std::vector<std::string> expect = {
        t("text", cfg, "B3", "B/301:F"), t("text", cfg, "B4", "first"),
        t("text", cfg, "B5", "second"), t("text", cfg, "B6", "third"),
        t("text", cfg, "B7", r->StateText()), t("date", cfg, "B8", realToText(at(9, 0), 0, -12)),
        t("text", cfg, "B9", "4 d"), t("text", cfg, "B10", "1.5 h"),
        t("date", cfg, "B11", realToText(at(9, 0) + 4, 0, -12)), t("number", cfg, "B12", "6"),
        // The cell list: one inserted line per cell, the template's lines below moved down.
        t("number", cfg, "A19", "1"), t("number", cfg, "B19", "100"),
        t("number", cfg, "C19", "7.5"), t("text", cfg, "D19", "Cell 1"),
        t("number", cfg, "H19", "1"), t("number", cfg, "A24", "6"), t("empty", cfg, "C24"),
        t("empty", cfg, "A25"), t("merged", cfg, "A28:D28"),
        t("text", cfg, "A28", "Results per cell: see the sheet Evaluation"),
        t("hasref", cfg, "B29", "Evaluation!$G$8"),
        t("hasref", "Evaluation", "B8", "'Test-Configuration'!$A$19:$A$26"),
        // O2: cell numbers, temperature column, one line per time value.
        t("number", o2, "B5", "1"), t("number", o2, "G5", "6"),
        t("text", o2, "H5",
          "Temp [\xC2\xB0"
          "C]"),
        t("date", o2, "A6", realToText(at(10, 30), 0, -12)), t("number", o2, "B6", "2.5"),
        t("number", o2, "F8", "37.5"), t("empty", o2, "G8"), t("number", o2, "H6", "21.5"),
        t("empty", o2, "H7"), t("number", o2, "H8", "22"), t("empty", o2, "A9"),
        // CO2 produced: (1000 - raw) / 10 mg.
        t("number", co2, "B5", "1"), t("number", co2, "B6", "1"), t("number", co2, "C8", "10"),
        t("empty", co2, "G8"),
        t("text", co2, "H5",
          "Temp [\xC2\xB0"
          "C]")};
    EXPECT_EQ(checkXlsx(dir_, file, expect), "");

    // Without CO2 the CO2 sheet stays as the template has it.
    auto plain = testRow(false);
    plain->Name = "plain";
    ASSERT_EQ(Export301f(*plain, &file), "");
    EXPECT_EQ(checkXlsx(dir_, file,
                        {t("number", o2, "B6", "2.5"), t("empty", co2, "B5"), t("empty", co2, "A6"),
                         t("text", co2, "A1", "OECD 301F - CO2 raw data"),
                         t("hasref", co2, "B2", "'Test-Configuration'!B3")}),
              "");
}

TEST_F(F301Test, EvaluationTableBesideTheTemplatesOwnEvaluation) {
    // A blank, two replicates of test substance 1 (P(TC) 100 mg/l, B(Th1) 2) and a reference
    // (B(Th1) 1) on days 1 to 3; BOD = count x 2.5 mg/l.
    auto r = row("Verdict", 4);
    const double t0 = at(9, 0);
    r->Start = r->realStart = t0;
    const int modes[] = {2, 1, 1, 3};
    const double bth1[] = {NoValueReal, 2, 2, 1};
    for (int s = 1; s <= 4; ++s) {
        RowCell& c = r->RowCells[static_cast<size_t>(s)];
        c.Mode = modes[s - 1];
        c.Index = c.Mode == 1 ? 1 : NoValueReal;
        c.PTC = c.Mode == 2 ? NoValueReal : 100;
        c.BTH1 = bth1[s - 1];
    }
    r->BuildSpecialCellTable();
    // Degradation 30, 70, 80 % (test) and 20, 65, 70 % (reference).
    add(*r, t0 + 1, {2, 26, 26, 10});
    add(*r, t0 + 2, {4, 60, 60, 30});
    add(*r, t0 + 3, {6, 70, 70, 34});
    std::string file;
    ASSERT_EQ(Export301f(*r, &file), "");
    const std::string ev = "Evaluation";
    EXPECT_EQ(checkXlsx(dir_, file,
                        {t("sheets", "O2-RawData|CO2-RawData|Test-Configuration|Evaluation"),
                         // The template's own evaluation is untouched; the table is at column I.
                         t("text", ev, "A1", "OECD 301F - evaluation per cell"),
                         t("hasref", ev, "D4", "AVERAGEIF"), t("text", ev, "I1", "Series"),
                         t("text", ev, "J1", "Verdict"), t("text", ev, "J2", "OECD 301F"),
                         t("text", ev, "I6", "Index 1"), t("text", ev, "J6", "2, 3"),
                         t("number", ev, "K6", "1"), t("number", ev, "L6", "11"),
                         t("number", ev, "M6", "2"), t("number", ev, "N6", "80"),
                         t("number", ev, "Q6", "3"), t("text", ev, "R6", "readily biodegradable"),
                         t("text", ev, "I7", "Reference"), t("number", ev, "M7", "2"),
                         t("text", ev, "I10", "reference substance >= 60 % ThOD by day 14"),
                         t("text", ev, "J10", "met"), t("number", ev, "K10", "70"),
                         t("text", ev, "L10", "%"), t("number", ev, "M10", "3"),
                         t("text", ev, "I11", "blank O2 uptake <= 60 mg/l at day 28"),
                         t("text", ev, "J11", "open"), t("number", ev, "K11", "15"),
                         // Day by day: the blank and each group's mean.
                         t("text", ev, "I15", "Day"), t("number", ev, "I16", "1"),
                         t("number", ev, "J16", "5"), t("number", ev, "K16", "30"),
                         t("number", ev, "L18", "70")}),
              "");
}
