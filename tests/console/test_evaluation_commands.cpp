// thod, row cell and row evaluate: a 301F set-up defined headless, with the cell parameter
// dialog's checks, and the evaluation printed one figure a line.

#include <gtest/gtest.h>

#include "console/console_fixture.h"

namespace {

using kvtest::ConsoleFixture;

bool anyContains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(ConsoleFixture, ThodPrintsBothValuesAndNamesABadPosition) {
    const std::string t = ok("thod C6H7N");
    EXPECT_TRUE(anyContains(t, "ThOD(NH4) 2.405 mg O2/mg")) << t;
    EXPECT_TRUE(anyContains(t, "ThOD(NO3) 3.092 mg O2/mg")) << t;
    EXPECT_TRUE(anyContains(t, "molar mass 93.129 g/mol")) << t;
    EXPECT_TRUE(anyContains(ok("thod C6H7N no3"), "with nitrification 3.092"));
    EXPECT_TRUE(anyContains(error("thod C6Xy"), "unknown element 'Xy' at position 3"));
    EXPECT_TRUE(anyContains(error("thod"), "usage"));
}

TEST_F(ConsoleFixture, RowCellSetsUpA301FSeriesWithTheDialogsChecks) {
    ok("row new Test cells=1-6");
    ok("row cell Test 1 name=Blank1 mode=blind");
    ok("row cell Test 2 name=Blank2 mode=blind");
    const std::string ref = ok("row cell Test 3 name=Ref mode=reference ptc=100 formula=C7H5NaO2");
    EXPECT_TRUE(anyContains(ref, "ThOD(NH4) 1.665")) << ref;
    ok("row cell Test 4 mode=check index=1 ptc=100 formula=C6H7N no3");
    ok("row cell Test 5 mode=check index=2 ptc=50 bth1=1.066 vol=250");
    ok("row cell Test 6 mode=toxicity ptc=200 bth1=1.8");
    auto r = row("Test");
    {
        auto lock = k().rows.lock();
        EXPECT_EQ(r->RowCells[1].Mode, 2);
        EXPECT_EQ(r->RowCells[1].Name, "Blank1");
        EXPECT_NEAR(r->RowCells[3].BTH1, 1.665, 0.001);
        EXPECT_NEAR(r->RowCells[4].BTH1, 3.092, 0.001);
        EXPECT_DOUBLE_EQ(r->RowCells[5].Vol, 250);
        EXPECT_EQ(r->RowCells[6].Mode, 4);
        EXPECT_EQ(r->SpecialCellMode, 1);
        // Two test substances and the reference entry.
        EXPECT_EQ(r->NrSpecialCells, 3);
    }
    // The dialog's checks, in its order, and what the command line adds.
    EXPECT_TRUE(anyContains(error("row cell Test 4 vol=0"), "Invalid value entered ! (vol)"));
    EXPECT_TRUE(anyContains(error("row cell Test 4 ts=-1"), "(ts)"));
    EXPECT_TRUE(anyContains(error("row cell Test 1 mode=check"), "(index)"));
    EXPECT_TRUE(anyContains(error("row cell Test 1 mode=check index=3"), "(ptc)"));
    EXPECT_TRUE(anyContains(error("row cell Test 1 mode=reference ptc=5"), "(bth1)"));
    EXPECT_TRUE(anyContains(error("row cell Test 4 formula=C6H7Q"), "position 5"));
    EXPECT_TRUE(anyContains(error("row cell Test 4 formula=C6H7N bth1=2"), "not both"));
    EXPECT_TRUE(anyContains(error("row cell Test 4 mode=sludge"), "mode="));
    EXPECT_TRUE(anyContains(error("row cell Test 9"), "not in Test"));
    EXPECT_TRUE(anyContains(error("row cell Nope 1 mode=blind"), "no row"));
    {
        auto lock = k().rows.lock();
        EXPECT_EQ(r->RowCells[1].Mode, 2);  // a refused change changes nothing
        EXPECT_NEAR(r->RowCells[4].BTH1, 3.092, 0.001);
    }
    // Stored, and read back by the next start.
    k().rows.SaveRowFile(k().rows.env().rowFileName, false);
    const std::string file = kvtest::readFile(home_.file("Kelvora.Row"));
    EXPECT_TRUE(anyContains(file, "|4|")) << "toxicity mode stored";

    // Not before the evaluation has values; the settings change and are kept.
    const std::string e = ok("row evaluate Test window=off lag=2/30/12");
    EXPECT_TRUE(anyContains(e, "OECD 301F evaluation, 10-day window not applied")) << e;
    EXPECT_TRUE(anyContains(e, "check reference substance >= 60 % ThOD by day 14: open")) << e;
    {
        auto lock = k().rows.lock();
        EXPECT_FALSE(r->bEvalWindow);
        EXPECT_DOUBLE_EQ(r->LagRatePercent, 30);
    }
    EXPECT_TRUE(anyContains(error("row evaluate Test window=maybe"), "on or off"));
    EXPECT_TRUE(anyContains(error("row evaluate Test lag=3/25"), "hours/percent/hours"));
    EXPECT_TRUE(anyContains(error("row evaluate Test lag=3/200/24"), "lag rule"));

    // Once started, the cells are fixed.
    ok("row start Test");
    EXPECT_TRUE(anyContains(error("row cell Test 1 name=Late"), "has been started"));
}

TEST_F(ConsoleFixture, RowEvaluateOfASeriesWithoutSpecialCellsIsAT4) {
    ok("row new Sludge cells=7-8 mode=1");
    ok("row cell Sludge 7 vol=20 ts=30");
    const std::string e = ok("row evaluate Sludge");
    EXPECT_TRUE(anyContains(e, "AT4 evaluation")) << e;
    EXPECT_TRUE(anyContains(e, "rule: The lag phase ends when")) << e;
}

}  // namespace
