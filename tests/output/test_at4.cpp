#include <gtest/gtest.h>

#include <filesystem>

#include "output/at4.h"
#include "output_fixture.h"

using namespace kv;
using kvtest::checkXlsx;
using kvtest::t;
using kvtest::templatePath;

namespace {

class At4Test : public kvtest::OutputFixture {};

std::string num(double v) {
    return realToText(v, 0, -12);
}

}  // namespace

TEST_F(At4Test, HourTableTakesNearHitsAndInterpolatesBetweenValues) {
    // Tact 30: one impulse is 0.25 mg O2, so the raw value is count / 4.
    auto r = row("R", 6);
    add(*r, at(10, 0, 0), {0, 0, 0, 0, 0, 0});
    add(*r, at(10, 0, 3), {40, 40, 40, 40, 40, 40});                // 10 mg
    add(*r, at(11, 30, 0), {160, NoValueInt, 160, 160, 160, 160});  // 40 mg
    add(*r, at(12, 0, 0), {200, 200, 200, 200, 200, 200});          // 50 mg
    add(*r, at(16, 30, 0), {600, 600, 600, 600, 600, 600});         // 150 mg
    At4Table table;
    TransferRowValues_to_at4(*r, table);
    EXPECT_EQ(table.nCols, 4);  // cells 5 and 6 are not evaluated
    EXPECT_EQ(table.fullHours, 6);
    auto v = [&](int h, int k) { return table.hours[static_cast<size_t>(h)].values[k]; };
    // Hour 0: 10:00:00 and 10:00:03 are both hits; the closer one counts.
    EXPECT_DOUBLE_EQ(v(0, 0), 0.0);
    // Hour 1 (11:00): between 10:00:03 and 11:30:00, two thirds of the way.
    EXPECT_NEAR(v(1, 0), 10 + 30 * 3597.0 / 5397.0, 1e-6);
    EXPECT_NEAR(v(1, 0), 30.0, 0.01);
    EXPECT_TRUE(isNoValue(v(1, 1)));  // a neighbour without a value gives none
    EXPECT_DOUBLE_EQ(v(2, 0), 50.0);  // 12:00:00 itself
    EXPECT_NEAR(v(6, 3), 50 + 100 * 4.0 / 4.5, 1e-6);
    EXPECT_TRUE(isNoValue(v(7, 0)));  // beyond fullHours
    EXPECT_EQ(table.hours[30].day, 1);
    EXPECT_EQ(table.hours[30].hourOfDay, 6);
    const std::string log = this->log();
    EXPECT_NE(log.find("Start TransferRowValues_to_at4"), std::string::npos);
    EXPECT_NE(log.find("fullHours=6"), std::string::npos);
    EXPECT_NE(log.find("  1 01.03.2026 11:00:00 i0=2, i1=3; values=   29.99"), std::string::npos);
    EXPECT_NE(log.find("Stop TransferRowValues_to_at4"), std::string::npos);

    // A value 4 s after the full hour is taken as it stands.
    auto hit = row("Hit", 1);
    add(*hit, at(10, 0, 0), {0});
    add(*hit, at(11, 0, 4), {100});
    add(*hit, at(12, 0, 0), {200});
    TransferRowValues_to_at4(*hit, table);
    EXPECT_DOUBLE_EQ(table.hours[1].values[0], 25.0);
    EXPECT_EQ(table.nCols, 1);

    // Twelve days of data: the table keeps hours 0..240.
    auto longRow = row("Long", 1);
    add(*longRow, at(0, 0) - 20, {0});
    add(*longRow, at(0, 0) - 8, {1152});  // 288 mg after 288 h
    TransferRowValues_to_at4(*longRow, table);
    EXPECT_EQ(table.fullHours, kAt4MaxHour);
    EXPECT_NEAR(table.hours[240].values[0], 240.0, 1e-6);

    // No time values: nothing to evaluate.
    auto empty = row("Empty", 2);
    TransferRowValues_to_at4(*empty, table);
    EXPECT_EQ(table.fullHours, 0);
    EXPECT_TRUE(isNoValue(table.hours[0].values[0]));
}

TEST_F(At4Test, RefusesFewerThanSixFullHours) {
    auto r = row("Short", 2);
    for (int m = 0; m <= 5 * 60 + 59; m += 30) add(*r, at(10, 0) + m / 1440.0, {m, m});
    add(*r, at(15, 59), {400, 400});
    std::string file;
    EXPECT_EQ(ExportAt4(*r, &file), "Too less data (5 hours min).");
    EXPECT_EQ(file, "");
    EXPECT_TRUE(hasMessage("Too less data (5 hours min)."));
    EXPECT_TRUE(filesIn(resultDir()).empty());
    EXPECT_NE(log().find("at4_Rows <= 5"), std::string::npos);
}

TEST_F(At4Test, FillsTheTemplateAtItsNames) {
    auto r = row("Row 7/A:1", 6);
    r->SampleDate = "01.03.2026";
    r->SampleTemp = "4";
    r->SampleAnalytiker = "Dr. K";
    for (int s = 1; s <= 6; ++s) {
        r->RowCells[static_cast<size_t>(s)].Vol = 12.5 * s;
        r->RowCells[static_cast<size_t>(s)].TS = s == 3 ? 0 : 33.333;
    }
    // Hourly values for 99 hours, ended before now: cell k has consumed h * k mg at hour h.
    const double start = at(10, 0) - 10;
    for (int h = 0; h <= 99; ++h) {
        std::vector<int> counts;
        for (int k = 1; k <= 6; ++k) counts.push_back(4 * h * k);
        add(*r, start + h / 24.0, counts);
    }
    std::string file;
    ASSERT_EQ(ExportAt4(*r, &file), "");
    EXPECT_EQ(file, resultDir() + "/Row 7_A_1_AT4.xlsx");
    EXPECT_TRUE(hasMessage("Data [Row 7/A:1] saved to " + file));

    const std::string t0 = num(start);
    EXPECT_EQ(
        checkXlsx(dir_, file,
                  {t("sheets", "AT4|Report|Evaluation"), t("text", "AT4", "D3", "Row 7/A:1"),
                   t("text", "AT4", "D4", "01.03.2026"), t("text", "AT4", "D5", "Dr. K"),
                   t("date", "AT4", "D6", t0), t("date", "Report", "C4", t0),
                   t("number", "Report", "C5", "4"), t("text", "Report", "C6", "Dr. K"),
                   t("number", "AT4", "D9", "12.5"), t("number", "AT4", "G9", "50"),
                   t("number", "AT4", "D10", "33.33"), t("empty", "AT4", "F10"),
                   t("number", "AT4", "D19", "0"), t("number", "AT4", "E20", "2"),
                   t("number", "AT4", "G115", "384"),  // hour 96, cell 4
                   t("number", "AT4", "D118", "99"),   // the last full hour
                   t("empty", "AT4", "D119"),
                   // The template's evaluation is still there.
                   t("hasref", "AT4", "D14", "D13"), t("hasref", "AT4", "H20", "D20"),
                   t("hasref", "Report", "D9", "AT4!D14"), t("charts", "AT4", "1"),
                   // The evaluation's table, numbers as numbers: cell 1 uses 1 mg/h
                   // from the start (no lag phase but the first quarter hour), 96 mg
                   // in 96 h per 12.5 g at 33.333 % dry matter.
                   t("text", "Evaluation", "A1", "Series"),
                   t("text", "Evaluation", "B1", "Row 7/A:1"), t("text", "Evaluation", "B2", "AT4"),
                   t("number", "Evaluation", "A6", "1"), t("number", "Evaluation", "C6", "0.25"),
                   t("number", "Evaluation", "E6", realToText(96 / (12.5 * 0.33333), 0, 15)),
                   t("text", "Evaluation", "G6", "yes"), t("number", "Evaluation", "A8", "3"),
                   t("empty", "Evaluation", "E8")}),
        "");
    EXPECT_NE(log().find("fnXLS := [" + file + "]"), std::string::npos);

    // A template that lacks a name the export needs is an error the user sees.
    cfg_.Template_AT4 = templatePath("301F.xlsx");
    const std::string err = ExportAt4(*r);
    EXPECT_NE(err.find("AnalysenNr"), std::string::npos) << err;
    EXPECT_TRUE(hasMessage(err));
}

TEST_F(At4Test, AFourDayRunKeepsTheHourItIsEvaluatedAt) {
    // A row's values run from its first to its last time value, which it takes at the
    // planned stop: a four-day run has exactly 96 full hours, and hour 96 is the one the
    // AT4 evaluation reads. It is written with the others.
    auto r = row("Four days", 1);
    const double start = at(10, 0) - 5;
    for (int h = 0; h <= 96; ++h) add(*r, start + h / 24.0, {4 * h});
    std::string file;
    ASSERT_EQ(ExportAt4(*r, &file), "");
    EXPECT_EQ(checkXlsx(dir_, file, {t("number", "AT4", "D115", "96"), t("empty", "AT4", "D116")}),
              "");
}
